#!/usr/bin/env bash
# ext4 listing and recovery against The Sleuth Kit on the same warm image: a 1 GiB ext4 volume holding about
# 50,000 files in 200 folders (made once with mke2fs -d from a generated tree, cached in bench/.cache), with a
# few hundred of them removed by debugfs. `fls -r -p` beside the ext list, `tsk_recover -e` beside saving every
# file. Prints wall times, the ratios peer_time / our_time (target: above 1, i.e. faster than each peer) and
# peak memory (/usr/bin/time).
#   SALVORA_BUILD   build directory (default: build); the driver is built there when missing
#   BENCH_RUNS      timed runs of each side, best one counts (default: 3)
#   EXT_DIRS / EXT_FILES   folders and files per folder (default: 200 / 250)
#   BENCH_OUT       where recovered files go (default: /dev/shm when writable): a disk file system that has just
#                   deleted 50,000 files slows the next 50,000 creations far more than either side's own work
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
root="$(dirname "$here")"
build="${SALVORA_BUILD:-$root/build}"
runs="${BENCH_RUNS:-3}"
dirs="${EXT_DIRS:-200}"
files="${EXT_FILES:-250}"
img="$here/.cache/ext4-${dirs}x${files}.img"
out_base="${BENCH_OUT:-/dev/shm}"
[[ -d "$out_base" && -w "$out_base" ]] || out_base="${TMPDIR:-/tmp}"
tmp="$(mktemp -d -p "$out_base")"
trap 'rm -rf "$tmp"' EXIT

for t in fls tsk_recover mke2fs debugfs; do
    command -v "$t" >/dev/null || { echo "ext-bench: $t is needed (sleuthkit, e2fsprogs)" >&2; exit 1; }
done
if [[ ! -x "$build/salvora-cli" ]]; then
    cmake -S "$root" -B "$build" -G Ninja >/dev/null
    cmake --build "$build" --target salvora-cli >/dev/null
fi
source "$here/lib.sh"
mkdir -p "$here/.cache"
if [[ ! -f "$img" ]]; then
    echo "making $img ($dirs folders x $files files)"
    make_ext4_bench_image "$img.part" "$tmp/stage" "$dirs" "$files"
    mv "$img.part" "$img"
fi
cat "$img" >/dev/null  # warm the page cache for both sides

ours_list=$("$build/salvora-cli" list "$img" 2>/dev/null | wc -l)
fls_list=$(fls -r -p "$img" | grep -vc -e '^V/V' -e 'OrphanFile' || true)
echo "entries: ours $ours_list, fls $fls_list"

t_ours=$(best "$build/salvora-cli" list "$img")
t_fls=$(best fls -r -p "$img")
m_ours=$(peak "$build/salvora-cli" list "$img")
m_fls=$(peak fls -r -p "$img")
printf 'list:    ours %.3f s (%s KiB)   fls -r -p %.3f s (%s KiB)   ratio fls/ours %.2f\n' \
    "$t_ours" "$m_ours" "$t_fls" "$m_fls" "$(echo "$t_fls $t_ours" | awk '{print $1 / $2}')"

"$build/salvora-cli" recover "$img" --yes --out "$tmp/out" >/dev/null 2>&1 || true
ours_files=$(find "$tmp/out" -type f | wc -l)
rm -rf "$tmp/out"
tsk_recover -e "$img" "$tmp/out" >/dev/null 2>&1 || true
tsk_files=$(find "$tmp/out" -type f | wc -l)
echo "files saved: ours $ours_files, tsk_recover -e $tsk_files"

t_ours=$(best "$build/salvora-cli" recover "$img" --yes --out OUT)
t_tsk=$(best tsk_recover -e "$img" OUT)
m_ours=$(peak "$build/salvora-cli" recover "$img" --yes --out OUT)
m_tsk=$(peak tsk_recover -e "$img" OUT)
printf 'recover: ours %.3f s (%s KiB)   tsk_recover -e %.3f s (%s KiB)   ratio tsk/ours %.2f\n' \
    "$t_ours" "$m_ours" "$t_tsk" "$m_tsk" "$(echo "$t_tsk $t_ours" | awk '{print $1 / $2}')"
