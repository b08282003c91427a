#!/usr/bin/env bash
# Looking through the mount against saving: on the 100,000-file FAT32 bench image (made once with mkfs.fat and
# mtools, cached in bench/.cache), warm, best of $runs, side by side in one run: `mount` and every file read
# through it with tar (target: within 2x of `recover` of everything), the unmount after it, and the scan alone.
# Usage: bench/mount.sh [BUILD_DIR]. RUNS (default 3); BENCH_OUT: where recover writes (default /dev/shm).
# Needs /dev/fuse (and fusermount3 without root).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
cli=$build/salvora-cli
runs=${RUNS:-3}
source "$root/bench/lib.sh"
for t in mcopy mkfs.fat fusermount3 tar "$cli"; do
  command -v "$t" >/dev/null || [[ -x $t ]] || { echo "mount.sh: missing $t" >&2; exit 1; }
done
img="$root/bench/.cache/fat32-100k.img"
out_base=${BENCH_OUT:-/dev/shm}
[[ -d $out_base && -w $out_base ]] || out_base=${TMPDIR:-/tmp}
tmp=$(mktemp -d -p "$out_base")
mnt=$(mktemp -d)
trap 'fusermount3 -u -z "$mnt" 2>/dev/null || true; rmdir "$mnt"; rm -rf "$tmp"' EXIT
if [[ ! -f $img ]]; then
  mkdir -p "$(dirname "$img")"
  echo "making $img"
  make_fat32_bench_image "$img.part" "$tmp/src"
  rm -rf "$tmp/src"
  mv "$img.part" "$img"
fi
cat "$img" >/dev/null

# GNU tar does not read the files when its archive is /dev/null: the archive goes through a pipe.
# One run: "MOUNT_AND_READ UNMOUNT" seconds. The unmount is timed apart: it is the kernel dropping the 100,000
# inodes and pages it cached, which no reading waits for.
read_through_mount() {
  local t0 t1 t2
  t0=$(date +%s.%N)
  "$cli" mount "$img" "$mnt" >/dev/null 2>&1
  tar -cf - -C "$mnt" . | cat >/dev/null
  t1=$(date +%s.%N)
  fusermount3 -u "$mnt"
  # The served process ends on the unmount; the next run needs the folder free.
  while mountpoint -q "$mnt"; do sleep 0.01; done
  t2=$(date +%s.%N)
  echo "$(echo "$t1 - $t0" | bc -l) $(echo "$t2 - $t1" | bc -l)"
}
read_through_mount >/dev/null
t_scan=$(best "$cli" list "$img" --select /no-such-file)
# Side by side: a read through the mount, then a recover, $runs times; the best of each counts.
t_read="" t_unmount="" t_recover=""
for ((i = 0; i < runs; i++)); do
  read -r r u < <(read_through_mount)
  s0=$(date +%s.%N)
  "$cli" --yes recover "$img" --out "$tmp/out" >/dev/null 2>&1 || true
  s1=$(date +%s.%N)
  # Removing 100,000 files leaves the kernel freeing them for a while: not in the next timed run.
  rm -rf "$tmp/out"
  sleep 2
  c=$(echo "$s1 - $s0" | bc -l)
  [[ -z $t_read ]] || (($(echo "$r < $t_read" | bc -l))) && t_read=$r
  [[ -z $t_unmount ]] || (($(echo "$u < $t_unmount" | bc -l))) && t_unmount=$u
  [[ -z $t_recover ]] || (($(echo "$c < $t_recover" | bc -l))) && t_recover=$c
done
files=$("$cli" list "$img" | awk -F'\t' '$2 == "file"' | wc -l)
echo "fat32-100k.img: $files files; best of $runs"
for row in "scan alone:$t_scan" "mount + tar of every file:$t_read" "then the unmount:$t_unmount" \
  "recover all:$t_recover"; do
  printf '%-26s %7.3f s  %.2fx recover-all\n' "${row%%:*}" "${row#*:}" "$(echo "${row#*:} / $t_recover" | bc -l)"
done
(($(echo "$t_read <= 2 * $t_recover" | bc -l))) || echo "target missed: reading through the mount above 2x recover"
