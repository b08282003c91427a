#!/usr/bin/env bash
# Looking through the mount against saving: on the 100,000-file FAT32 bench image (made once with mkfs.fat and
# mtools, cached in bench/.cache), warm, best of $runs, side by side in one run: `mount`, every file read through
# it with tar, and the unmount, against `recover` of everything (target: within 2x of recover); and the scan alone.
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
read_through_mount() {
  "$cli" mount "$img" "$mnt"
  tar -cf - -C "$mnt" . | cat >/dev/null
  fusermount3 -u "$mnt"
  # The served process ends on the unmount; the next run needs the folder free.
  while mountpoint -q "$mnt"; do sleep 0.05; done
}
read_through_mount
t_scan=$(best "$cli" list "$img" --select /no-such-file)
t_mount=$(best read_through_mount)
t_recover=$(best "$cli" --yes recover "$img" --out OUT)
files=$("$cli" list "$img" | awk -F'\t' '$2 == "file"' | wc -l)
echo "fat32-100k.img: $files files; best of $runs"
for row in "scan alone:$t_scan" "mount + tar + unmount:$t_mount" "recover all:$t_recover"; do
  printf '%-24s %7.3f s  %.2fx recover-all\n' "${row%%:*}" "${row#*:}" "$(echo "${row#*:} / $t_recover" | bc -l)"
done
