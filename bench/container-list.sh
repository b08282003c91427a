#!/usr/bin/env bash
# What reading through a container costs: `salvora-cli list` of the 100,000-file FAT32 bench image, raw and as
# an E01 (ewfacquire, fast deflate), side by side in one run, warm cache, best of $runs.
# Usage: bench/container-list.sh [BUILD_DIR]. Needs ewf-tools, dosfstools and mtools.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
cli=$build/salvora-cli
runs=${RUNS:-5}
source "$root/bench/lib.sh"
for t in ewfacquire mcopy mkfs.fat "$cli"; do
  command -v "$t" >/dev/null || [[ -x $t ]] || { echo "container-list.sh: missing $t" >&2; exit 1; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
make_fat32_bench_image "$work/fat32.img" "$work/src"
rm -rf "$work/src"
ewfacquire -u -q -t "$work/fat32" -f encase6 -c deflate:fast "$work/fat32.img" >/dev/null
cat "$work/fat32.img" "$work"/fat32.E0* >/dev/null
entries=$("$cli" list "$work/fat32.img" | wc -l)
[[ $entries == $("$cli" list "$work/fat32.E01" | wc -l) ]] || { echo "container-list.sh: listings differ" >&2; exit 1; }
raw=$(best "$cli" list "$work/fat32.img")
e01=$(best "$cli" list "$work/fat32.E01")
printf 'entries %s; E01 %s bytes for %s raw\n' "$entries" "$(cat "$work"/fat32.E0* | wc -c)" "$(stat -c %s "$work/fat32.img")"
printf 'list raw %.3f s, E01 %.3f s: the container costs %.2fx\n' "$raw" "$e01" "$(echo "$e01 / $raw" | bc -l)"
printf 'peak memory raw %s KiB, E01 %s KiB\n' "$(peak "$cli" list "$work/fat32.img")" "$(peak "$cli" list "$work/fat32.E01")"
