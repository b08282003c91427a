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
truncate -s 2G "$img"
mkfs.fat -F 32 -n BENCH "$img" >/dev/null
# The FAT parsers accept the OEM names that Windows and the BSDs write, as cards formatted by cameras carry.
printf 'MSDOS5.0' | dd of="$img" bs=1 seek=3 conv=notrunc status=none
printf 'MSDOS5.0' | dd of="$img" bs=1 seek=$((6 * 512 + 3)) conv=notrunc status=none
if command -v mcopy >/dev/null; then
  # A few thousand small files in nested folders, so the walk has work to do.
  for d in $(seq 1 20); do
    mkdir -p "$work/src/dir$d/sub"
    for f in $(seq 1 100); do head -c $((f * 37)) /dev/urandom >"$work/src/dir$d/sub/file$f.bin"; done
  done
  MTOOLS_SKIP_CHECK=1 mcopy -s -i "$img" "$work/src"/* ::/
fi
QT_QPA_PLATFORM=offscreen "$build/gui-scan-gap" "$img" FAT32
