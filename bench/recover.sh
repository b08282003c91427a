#!/usr/bin/env bash
# Saving everything beside the peers, warm, side by side in one run (ours and the peer taking turns):
#  - the 100,000-file FAT32 bench image: `recover` against `tsk_recover -e` (target: at least 2.5x);
#  - the ext4 bench image (200 folders x 250 files): `recover` against `cp -a` from the kernel's read-only loop
#    mount of the same image (target: at least 2x; skipped, with the reason, where the bench cannot mount).
# Every run writes into a fresh folder of a RAM file system (a tmpfs mounted for the bench when it runs as root,
# else /dev/shm), so that neither a deletion nor the writeback of an earlier run is timed. Then each side once
# onto the disk ($DISK_OUT, default bench/.cache), for the record: there the same runs vary from 1.0 to 1.4x.
# Usage: bench/recover.sh [BUILD_DIR]. RUNS (default 3): timed runs of each, best counts, after one warm-up.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
cli=$build/salvora-cli
runs=${RUNS:-3}
source "$root/bench/lib.sh"
for t in mcopy mkfs.fat tsk_recover mke2fs debugfs "$cli"; do
  command -v "$t" >/dev/null || [[ -x $t ]] || { echo "recover.sh: missing $t" >&2; exit 1; }
done
cache=$root/bench/.cache
mkdir -p "$cache"
fat=$cache/fat32-100k.img
ext=$cache/ext4-200x250.img
ram=$(mktemp -d -p /tmp salvora-bench-ram.XXXXXX)
mnt=$(mktemp -d -p /tmp salvora-bench-mnt.XXXXXX)
disk=$(mktemp -d -p "${DISK_OUT:-$cache}")
ram_mounted=0
cleanup() {
  mountpoint -q "$mnt" && umount "$mnt"
  rm -rf "$ram"/* "$disk"
  ((ram_mounted)) && umount "$ram"
  rmdir "$mnt" "$ram"
}
trap cleanup EXIT
if [[ $(id -u) == 0 ]] && mount -t tmpfs -o size=16g salvora-bench "$ram" 2>/dev/null; then
  ram_mounted=1
  where="a tmpfs mounted for the bench"
else
  rmdir "$ram"
  ram=$(mktemp -d -p /dev/shm)
  where="/dev/shm"
fi
if [[ ! -f $fat ]]; then
  echo "making $fat"
  make_fat32_bench_image "$fat.part" "$ram/src"
  rm -rf "$ram/src"
  mv "$fat.part" "$fat"
fi
if [[ ! -f $ext ]]; then
  echo "making $ext"
  make_ext4_bench_image "$ext.part" "$ram/stage" 200 250
  mv "$ext.part" "$ext"
fi

# side FOLDER CMD...: one timed run writing into FOLDER, never used before (OUT in CMD); its seconds on stdout.
side() {
  local out=$1 t0 t1
  shift
  local cmd=("${@//OUT/$out}")
  sync
  t0=$(date +%s.%N)
  "${cmd[@]}" >/dev/null 2>&1 || true
  t1=$(date +%s.%N)
  echo "$t1 - $t0" | bc -l
}
# pair LABEL TARGET OURS_CMD -- PEER_CMD: warm-up, then $runs turns each; prints the best of both and the ratio.
pair() {
  local label=$1 target=$2 ours=() peer=() i a b best_a="" best_b=""
  shift 2
  while [[ $1 != -- ]]; do ours+=("$1"); shift; done
  shift
  peer=("$@")
  for ((i = 0; i <= runs; i++)); do
    a=$(side "$ram/run$i-ours" "${ours[@]}")
    b=$(side "$ram/run$i-peer" "${peer[@]}")
    ((i == 0)) && continue
    [[ -z $best_a ]] || (($(echo "$a < $best_a" | bc -l))) && best_a=$a
    [[ -z $best_b ]] || (($(echo "$b < $best_b" | bc -l))) && best_b=$b
  done
  rm -rf "${ram:?}"/run*
  local ratio
  ratio=$(echo "$best_b / $best_a" | bc -l)
  printf '%-34s ours %6.3f s   peer %6.3f s   %5.2fx (target %sx)%s\n' "$label" "$best_a" "$best_b" "$ratio" \
    "$target" "$( (($(echo "$ratio >= $target" | bc -l))) || echo '   target missed')"
  a=$(side "$disk/run-ours" "${ours[@]}")
  b=$(side "$disk/run-peer" "${peer[@]}")
  rm -rf "${disk:?}"/run*
  printf '%-34s ours %6.3f s   peer %6.3f s   %5.2fx (once, for the record)\n' "  the same onto the disk" "$a" "$b" \
    "$(echo "$b / $a" | bc -l)"
}

cat "$fat" "$ext" >/dev/null
echo "recover all, warm, into fresh folders on $where; best of $runs"
pair "FAT32 100k vs tsk_recover -e" 2.5 "$cli" --yes recover "$fat" --out OUT -- tsk_recover -e "$fat" OUT
if [[ $(id -u) != 0 ]]; then
  echo "ext4 vs cp -a: skipped (mounting the image needs root)"
elif ! mount -o loop,ro,noload "$ext" "$mnt" 2>/dev/null; then
  echo "ext4 vs cp -a: skipped (the image could not be loop-mounted here)"
else
  pair "ext4 200x250 vs cp -a (loop mount)" 2 "$cli" --yes recover "$ext" --out OUT -- cp -a "$mnt/." OUT
fi
