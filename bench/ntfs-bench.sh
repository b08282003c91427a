#!/usr/bin/env bash
# NTFS listing and recovery against The Sleuth Kit on the same warm image: a 1 GiB NTFS volume (mkntfs) holding
# about 25,000 files in 100 folders written through ntfs-3g, a few hundred of them deleted, made once and cached
# in bench/.cache (making it needs root, a loop device and FUSE; without them the bench says so and stops).
# `fls -r -p` beside the list, `tsk_recover -e` beside saving every file. Prints wall times, the ratios
# peer_time / our_time (target: at least 1) and peak memory (/usr/bin/time).
#   SALVORA_BUILD   build directory (default: build); salvora-cli is built there when missing
#   BENCH_RUNS      timed runs of each side, best one counts (default: 3)
#   NTFS_DIRS / NTFS_FILES   folders and files per folder (default: 100 / 250)
#   BENCH_OUT       where recovered files go (default: /dev/shm when writable)
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
root="$(dirname "$here")"
build="${SALVORA_BUILD:-$root/build}"
runs="${BENCH_RUNS:-3}"
dirs="${NTFS_DIRS:-100}"
files="${NTFS_FILES:-250}"
img="$here/.cache/ntfs-${dirs}x${files}.img"
out_base="${BENCH_OUT:-/dev/shm}"
[[ -d "$out_base" && -w "$out_base" ]] || out_base="${TMPDIR:-/tmp}"
tmp="$(mktemp -d -p "$out_base")"
mnt=""
trap '[[ -n $mnt ]] && umount "$mnt" 2>/dev/null; rm -rf "$tmp"' EXIT

for t in fls tsk_recover mkntfs ntfs-3g; do
    command -v "$t" >/dev/null || { echo "ntfs-bench: $t is needed (sleuthkit, ntfs-3g)" >&2; exit 1; }
done
if [[ ! -x "$build/salvora-cli" ]]; then
    cmake -S "$root" -B "$build" -G Ninja >/dev/null
    cmake --build "$build" --target salvora-cli >/dev/null
fi
mkdir -p "$here/.cache"
if [[ ! -f "$img" ]]; then
    if [[ $(id -u) != 0 || ! -e /dev/fuse ]]; then
        echo "ntfs-bench: making the image needs root and /dev/fuse (ntfs-3g); run it once as root" >&2
        exit 1
    fi
    echo "making $img ($dirs folders x $files files)"
    truncate -s 1G "$img.part"
    mkntfs -F -Q -q -L BENCH "$img.part" 2>/dev/null
    mnt="$tmp/mnt"
    mkdir -p "$mnt"
    ntfs-3g "$img.part" "$mnt"
    python3 - "$mnt" "$dirs" "$files" <<'PY'
import os, random, sys
mnt, dirs, files = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
rnd = random.Random(7)
for d in range(dirs):
    path = os.path.join(mnt, "folder%03d" % d)
    os.makedirs(path)
    for f in range(files):
        size = rnd.choice((700, 3000, 9000, 20000))
        with open(os.path.join(path, "file%04d.dat" % f), "wb") as out:
            out.write(rnd.randbytes(size))
# Every 100th file deleted, so both sides have deleted names to list.
for d in range(dirs):
    for f in range(0, files, 100):
        os.remove(os.path.join(mnt, "folder%03d" % d, "file%04d.dat" % f))
PY
    umount "$mnt"
    mnt=""
    mv "$img.part" "$img"
fi
cat "$img" >/dev/null  # warm the page cache for both sides

source "$here/lib.sh"

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
