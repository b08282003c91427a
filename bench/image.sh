#!/usr/bin/env bash
# Imaging a device beside GNU ddrescue, side by side in one run:
#  1. A 2 GiB image (random filler with an empty stretch), read warm from the page cache: salvora-cli image
#     against ddrescue (sparse output, as ours is). Target: at least as fast.
#  2. A 256 MiB image served over FUSE with 1,000 bad sectors spread over it (tests/support/failing_disk_fs):
#     both tools run to the end (one retry each); times and bad bytes stated. Skipped where FUSE cannot mount.
# Usage: bench/image.sh [BUILD_DIR] (default build). Needs gddrescue, openssl, fuse3.
set -euo pipefail
REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${1:-$REPO/build}
CLI=$BUILD/salvora-cli
FS=$BUILD/tests/failing_disk_fs
WORK=${WORK:-/tmp/salvora-image-bench}
runs=${runs:-3}
for t in "$CLI" ddrescue ddrescuelog openssl; do
  command -v "$t" >/dev/null || [[ -x $t ]] || { echo "image.sh: missing $t" >&2; exit 1; }
done
rm -rf "$WORK"
mkdir -p "$WORK/mnt"
trap 'fusermount3 -u "$WORK/mnt" 2>/dev/null || true; rm -rf "$WORK"' EXIT

filler() {  # filler MIB SEED: deterministic incompressible bytes
  head -c "${1}M" /dev/zero | openssl enc -aes-128-ctr -K 000102030405060708090a0b0c0d0e0f \
    -iv "$(printf '%032x' "$2")" -nosalt 2>/dev/null
}
BIG=$WORK/big.img
{ filler 1536 1; head -c 512M /dev/zero; } >"$BIG"

best() {  # best wall time of $runs runs of "$@" (outputs removed before each)
  local b="" t0 t1 i
  for ((i = 0; i < runs; i++)); do
    rm -f "$WORK"/out.img "$WORK"/out.map
    t0=$(date +%s.%N)
    "$@" >/dev/null 2>&1 || true
    t1=$(date +%s.%N)
    b=$(echo "$t0 $t1 ${b:-}" | awk '{t = $2 - $1; if ($3 == "" || t < $3) print t; else print $3}')
  done
  echo "$b"
}

cat "$BIG" >/dev/null
CAT=$(best cat "$BIG")
OURS=$(best "$CLI" image "$BIG" "$WORK/out.img" --map "$WORK/out.map")
"$CLI" image "$BIG" "$WORK/out.img" --map "$WORK/out.map" >/dev/null 2>&1
cmp -s "$BIG" "$WORK/out.img" || { echo "image.sh: the image differs from the source" >&2; exit 1; }
THEIRS=$(best ddrescue -q -S "$BIG" "$WORK/out.img" "$WORK/out.map")
printf '\nImaging 2 GiB warm (best of %d)\n%-10s %8s %8s\n' "$runs" tool seconds MiB/s
for row in "cat $CAT" "salvora $OURS" "ddrescue $THEIRS"; do
  set -- $row
  printf '%-10s %8.2f %8.0f\n' "$1" "$2" "$(echo "2048 / $2" | bc -l)"
done
ok=1
(($(echo "$OURS <= $THEIRS" | bc -l))) || { echo "target missed: slower than ddrescue"; ok=0; }

if [[ -x $FS ]] && [[ -w /dev/fuse ]] && command -v fusermount3 >/dev/null; then
  SMALL=$WORK/small.img
  filler 256 2 >"$SMALL"
  bad=()
  for i in $(seq 0 999); do bad+=("$(( (i * 268111 % 524288) * 512 )):512"); done
  if "$FS" "$SMALL" "$WORK/mnt" "${bad[@]}" 2>/dev/null; then
    sleep 0.5
    t0=$(date +%s.%N); "$CLI" image "$WORK/mnt/disk.img" "$WORK/b1.img" --map "$WORK/b1.map" >/dev/null 2>&1 || true
    t1=$(date +%s.%N); ddrescue -q -r1 "$WORK/mnt/disk.img" "$WORK/b2.img" "$WORK/b2.map" >/dev/null 2>&1 || true
    t2=$(date +%s.%N)
    printf '\nImaging 256 MiB over FUSE with 1,000 bad sectors spread out\n'
    printf '%-10s %8.2f s, bad: %s\n' salvora "$(echo "$t1 - $t0" | bc -l)" "$(ddrescuelog -b 512 -l- "$WORK/b1.map" | wc -l) sectors"
    printf '%-10s %8.2f s, bad: %s\n' ddrescue "$(echo "$t2 - $t1" | bc -l)" "$(ddrescuelog -b 512 -l- "$WORK/b2.map" | wc -l) sectors"
    fusermount3 -u "$WORK/mnt"
  else
    echo "FUSE mount refused here: the bad-sector run is skipped"
  fi
else
  echo "no FUSE here (or $FS not built): the bad-sector run is skipped"
fi
((ok)) && echo "all targets met"
