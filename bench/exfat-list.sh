#!/usr/bin/env bash
# exFAT listing and recovery against The Sleuth Kit on the same warm synthetic image (about 50,000 files in 200
# folders, 4 KiB clusters): `fls -r -p` beside the exFAT list, `tsk_recover -e` beside recovering every file.
# Prints wall times, the ratios peer_time / our_time (target: above 1, i.e. faster than each peer) and peak memory.
#   SALVORA_BUILD   build directory (default: build); built here if the driver is missing
#   BENCH_RUNS      timed runs of each side, best one counts (default: 3)
#   EXFAT_DIRS / EXFAT_FILES   folders and files per folder (default: 200 / 250)
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
root="$(dirname "$here")"
build="${SALVORA_BUILD:-$root/build}"
runs="${BENCH_RUNS:-3}"
dirs="${EXFAT_DIRS:-200}"
files="${EXFAT_FILES:-250}"
img="$here/.cache/exfat-${dirs}x${files}.img"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT

for t in fls tsk_recover; do
    command -v "$t" >/dev/null || { echo "exfat-list: $t (sleuthkit) is needed" >&2; exit 1; }
done
if [[ ! -x "$build/bench/exfat_bench" ]]; then
    cmake -S "$root" -B "$build" -G Ninja >/dev/null
    cmake --build "$build" --target exfat_bench >/dev/null
fi
mkdir -p "$here/.cache"
if [[ ! -f "$img" ]]; then
    echo "making $img ($dirs folders x $files files)"
    "$build/bench/exfat_bench" --make "$img" "$dirs" "$files"
fi
cat "$img" >/dev/null  # warm the page cache for both sides

source "$here/lib.sh"

ours_list=$("$build/bench/exfat_bench" --list "$img" | wc -l)
fls_list=$(fls -f exfat -r -p "$img" | grep -vc -e '^v/v' -e '^V/V' -e 'Volume Label Entry' -e '\$ALLOC_BITMAP' -e '\$UPCASE_TABLE' || true)
echo "entries: ours $ours_list, fls $fls_list"

t_ours=$(best "$build/bench/exfat_bench" --list "$img")
t_fls=$(best fls -f exfat -r -p "$img")
m_ours=$(peak "$build/bench/exfat_bench" --list "$img")
m_fls=$(peak fls -f exfat -r -p "$img")
printf 'list:    ours %.3f s (%s KiB)   fls -r -p %.3f s (%s KiB)   ratio fls/ours %.2f\n' \
    "$t_ours" "$m_ours" "$t_fls" "$m_fls" "$(echo "$t_fls $t_ours" | awk '{print $1 / $2}')"

t_ours=$(best "$build/bench/exfat_bench" --recover "$img" OUT)
t_tsk=$(best tsk_recover -f exfat -e "$img" OUT)
m_ours=$(peak "$build/bench/exfat_bench" --recover "$img" OUT)
m_tsk=$(peak tsk_recover -f exfat -e "$img" OUT)
printf 'recover: ours %.3f s (%s KiB)   tsk_recover -e %.3f s (%s KiB)   ratio tsk/ours %.2f\n' \
    "$t_ours" "$m_ours" "$t_tsk" "$m_tsk" "$(echo "$t_tsk $t_ours" | awk '{print $1 / $2}')"
