#!/usr/bin/env bash
# HFS+ against `cat` and The Sleuth Kit on the same warm 1 GiB volume (xorriso -hfsplus over about 20,000
# files in 100 folders; the HFS+ volume lies inside the ISO at the sector the script finds):
#   deep scan (every node-size piece of the volume tested as a catalog leaf) beside `cat IMG >/dev/null`:
#     ratio cat/ours, target at least 0.8;
#   the standard list beside `fls -r -f hfs -p`: ratio fls/ours.
#   SALVORA_BUILD   build directory (default: build); the driver is built there when missing
#   BENCH_RUNS      timed runs of each side, best one counts (default: 3)
#   HFS_MIB         volume size in MiB (default: 1024)
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
root="$(dirname "$here")"
build="${SALVORA_BUILD:-$root/build}"
runs="${BENCH_RUNS:-3}"
mib="${HFS_MIB:-1024}"
img="$here/.cache/hfsplus-${mib}m.iso"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT

for t in xorriso fls; do
    command -v "$t" >/dev/null || { echo "hfs-bench: $t is needed (apt-get install xorriso sleuthkit)" >&2; exit 1; }
done
if [[ ! -x "$build/bench/hfs_bench" || ! -x "$build/salvora-cli" ]]; then
    cmake -S "$root" -B "$build" -G Ninja >/dev/null
    cmake --build "$build" --target hfs_bench salvora-cli >/dev/null
fi
mkdir -p "$here/.cache"
if [[ ! -f "$img" ]]; then
    echo "making $img (${mib} MiB)"
    stage="$tmp/stage"
    files=$((mib * 20))  # 20 files of about 51 KiB per MiB
    python3 - "$stage" "$files" <<'PY'
import os, sys
stage, files = sys.argv[1], int(sys.argv[2])
block = bytes(range(256)) * 200
for i in range(files):
    d = os.path.join(stage, 'folder%03d' % (i % 100))
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, 'file%06d.bin' % i), 'wb') as f:
        f.write(block[: 51200 - (i % 97)] + i.to_bytes(4, 'big'))
PY
    xorriso -as mkisofs -hfsplus -o "$img" "$stage" 2>/dev/null
    rm -rf "$stage"
fi
# The HFS+ volume's first sector, from the ISO's Apple partition map.
start=$(mmls "$img" | awk '/Apple_HFS/ {print $3 + 0; exit}')
cat "$img" >/dev/null  # warm the page cache for every side

source "$here/lib.sh"

echo "volume at sector $start; $("$build/bench/hfs_bench" --deep "$img" "$start")"
# `list` as a user runs it: the volume given by hand, Standard mode (the catalog walk).
vol=(--start-sector "$start" --size-mib $((($(stat -c %s "$img") - start * 512) / 1048576)) --fs HFS+)
ours=$("$build/salvora-cli" list "$img" "${vol[@]}" 2>/dev/null | wc -l)
theirs=$(fls -f hfs -o "$start" -r -p "$img" | grep -vc -e '\$ExtentsFile' -e '\$CatalogFile' -e '\$BadBlockFile' \
    -e '\$AllocationFile' -e '\$AttributesFile' -e '\$StartupFile' || true)
echo "entries listed: ours $ours (ORPHAN_ENTRY included), fls $theirs"

t_ours=$(best "$build/bench/hfs_bench" --deep "$img" "$start")
t_cat=$(best cat "$img")
printf 'deep scan: ours %.3f s   cat %.3f s   ratio cat/ours %.2f (target >= 0.8)\n' \
    "$t_ours" "$t_cat" "$(echo "$t_cat $t_ours" | awk '{print $1 / $2}')"

t_ours=$(best "$build/salvora-cli" list "$img" "${vol[@]}")
t_fls=$(best fls -f hfs -o "$start" -r -p "$img")
printf 'list:      ours %.3f s   fls -r -p %.3f s   ratio fls/ours %.2f\n' \
    "$t_ours" "$t_fls" "$(echo "$t_fls $t_ours" | awk '{print $1 / $2}')"
