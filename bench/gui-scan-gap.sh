#!/usr/bin/env bash
# Scans a 2 GiB FAT32 volume on the results page and prints the longest gap between event-loop ticks of the UI
# thread (target: under 100 ms). Makes the image with mkfs.fat and mtools (apt-get install dosfstools mtools).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
cmake --build "$build" --target gui-scan-gap >/dev/null
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
img="$work/fat32-2g.img"
source "$root/bench/lib.sh"
make_fat32_bench_image "$img" "$work/src"
QT_QPA_PLATFORM=offscreen "$build/gui-scan-gap" "$img" FAT32
