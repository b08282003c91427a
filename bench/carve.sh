#!/usr/bin/env bash
# Raw recovery beside its peers. Two measurements in one run:
#  1. Throughput on a 1-2 GiB image (the ground-truth volume repeated between blocks of random filler), read warm
#     from the page cache: salvora-cli carve, photorec, foremost and scalpel each write what they find; cat is
#     the ceiling.
#  2. Bit-exact files on the ground-truth image: how many originals each tool gives back byte for byte.
#  3. The search alone (salvora-cli carve without --out) against cat of the same image, five runs side by side.
# Targets: faster than each peer, at least 0.8 of cat, and at least as many bit-exact files as photorec; the
# search alone at least 0.95 of cat in every one of its runs.
# Usage: bench/carve.sh [BUILD_DIR] (default build). Needs testdisk, foremost, scalpel, zstd, openssl.
set -euo pipefail
REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${1:-$REPO/build}
CLI=$BUILD/salvora-cli
REPEATS=${REPEATS:-8}          # x (64 MiB volume + 64 MiB filler) = 1 GiB
WORK=${WORK:-/tmp/salvora-carve-bench}
for t in "$CLI" photorec foremost scalpel zstd openssl sha256sum; do
  command -v "$t" >/dev/null || [[ -x $t ]] || { echo "carve.sh: missing $t" >&2; exit 1; }
done
rm -rf "$WORK"
mkdir -p "$WORK"
trap 'rm -rf "$WORK"' EXIT

GT=$WORK/groundtruth.img
zstd -q -dc "$REPO/tests/fixtures/carve-groundtruth.img.zst" >"$GT"
MANIFEST=$REPO/tests/fixtures/carve-groundtruth.manifest.json
python3 -c 'import json,sys; [print(f["sha256"]) for f in json.load(open(sys.argv[1]))["files"]]' "$MANIFEST" \
  | sort -u >"$WORK/originals.txt"
ORIGINALS=$(wc -l <"$WORK/originals.txt")

BIG=$WORK/big.img
: >"$BIG"
for i in $(seq 1 "$REPEATS"); do
  cat "$GT" >>"$BIG"
  # Deterministic filler: AES-CTR keystream, as incompressible as a full card.
  head -c 64M /dev/zero | openssl enc -aes-128-ctr -K 000102030405060708090a0b0c0d0e0f -iv "$(printf '%032x' "$i")" \
    -nosalt 2>/dev/null >>"$BIG"
done
BIG_BYTES=$(stat -c %s "$BIG")

cat >"$WORK/scalpel.conf" <<'CONF'
gif	y	5000000		\x47\x49\x46\x38\x37\x61	\x00\x3b
gif	y	5000000		\x47\x49\x46\x38\x39\x61	\x00\x3b
jpg	y	5242880		\xff\xd8\xff???Exif		\xff\xd9	REVERSE
jpg	y	5242880		\xff\xd8\xff???JFIF		\xff\xd9	REVERSE
png	y	20000000	\x89PNG	\x49\x45\x4e\x44\xae\x42\x60\x82
bmp	y	100000	BM??\x00\x00\x00
pdf	y	5000000	%PDF  %EOF\x0d	REVERSE
pdf	y	5000000	%PDF  %EOF\x0a	REVERSE
zip	y	10000000	PK\x03\x04	\x50\x4b\x05\x06
CONF

# run TOOL IMAGE OUTDIR: the tool writes every file it finds under OUTDIR.
run() {
  local tool=$1 image=$2 out=$3
  rm -rf "$out"
  case $tool in
    salvora) "$CLI" carve "$image" --out "$out" >/dev/null 2>&1 ;;
    search) "$CLI" carve "$image" >/dev/null 2>&1 ;;
    # photorec writes its log into the folder it runs in: the bench's, not the caller's.
    photorec) mkdir -p "$out" && (cd "$WORK" && photorec /log /d "$out/rec" /cmd "$image" \
      partition_none,fileopt,everything,enable,search >/dev/null 2>&1) ;;
    foremost) foremost -Q -i "$image" -o "$out" >/dev/null 2>&1 ;;
    scalpel) scalpel -c "$WORK/scalpel.conf" -o "$out" "$image" >/dev/null 2>&1 ;;
    cat) cat "$image" >/dev/null ;;
  esac
}

seconds() {  # seconds TOOL IMAGE OUTDIR
  local start end
  start=$(date +%s.%N)
  run "$@"
  end=$(date +%s.%N)
  echo "$end - $start" | bc -l
}

exact() {  # originals found byte for byte among the files under OUTDIR
  find "$1" -type f -print0 2>/dev/null | xargs -0 -r sha256sum | cut -c1-64 | sort -u \
    | comm -12 - "$WORK/originals.txt" | wc -l
}

cat "$BIG" >/dev/null  # warm the page cache
declare -A SECS EXACT
for tool in cat salvora photorec foremost scalpel; do
  SECS[$tool]=$(seconds "$tool" "$BIG" "$WORK/out-$tool")
  rm -rf "$WORK/out-$tool"
  if [[ $tool != cat ]]; then
    run "$tool" "$GT" "$WORK/gt-$tool"
    EXACT[$tool]=$(exact "$WORK/gt-$tool")
    rm -rf "$WORK/gt-$tool"
  fi
done

MIB=$((BIG_BYTES / 1048576))
printf '\nCarving %d MiB (ground truth x%d + random filler); ground truth: %d originals\n\n' "$MIB" "$REPEATS" "$ORIGINALS"
printf '%-10s %9s %10s %10s %11s\n' tool seconds MiB/s "x cat" "bit-exact"
for tool in cat salvora photorec foremost scalpel; do
  s=${SECS[$tool]}
  printf '%-10s %9.2f %10.1f %10.2f %11s\n' "$tool" "$s" "$(echo "$MIB / $s" | bc -l)" \
    "$(echo "${SECS[cat]} / $s" | bc -l)" "${EXACT[$tool]:--}/$ORIGINALS"
done
ok=1
for peer in photorec foremost scalpel; do
  (( $(echo "${SECS[salvora]} < ${SECS[$peer]}" | bc -l) )) || { echo "target missed: slower than $peer"; ok=0; }
done
(( $(echo "${SECS[cat]} / ${SECS[salvora]} >= 0.8" | bc -l) )) || { echo "target missed: below 0.8 of cat"; ok=0; }
((EXACT[salvora] >= EXACT[photorec])) || { echo "target missed: fewer bit-exact files than photorec"; ok=0; }

# The search alone: cat and salvora-cli carve in turn, so both see the same moment's machine.
printf '\nSearch alone (no files written), %d MiB, five runs side by side\n\n' "$MIB"
printf '%-4s %9s %9s %8s\n' run cat search "x cat"
worst=""
for i in 1 2 3 4 5; do
  c=$(seconds cat "$BIG" "")
  s=$(seconds search "$BIG" "")
  r=$(echo "$c / $s" | bc -l)
  printf '%-4d %9.3f %9.3f %8.2f\n' "$i" "$c" "$s" "$r"
  if [[ -z $worst ]] || (( $(echo "$r < $worst" | bc -l) )); then worst=$r; fi
done
printf 'worst %.2f x cat\n' "$worst"
(( $(echo "$worst >= 0.95" | bc -l) )) || { echo "target missed: search alone below 0.95 of cat in a run"; ok=0; }
((ok)) && echo "all targets met"
