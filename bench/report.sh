#!/usr/bin/env bash
# What a report costs beside what it describes: on the 100,000-file FAT32 bench image (made once with mkfs.fat and
# mtools, cached in bench/.cache), warm, best of $runs, side by side in one run: `list`, `list --json`,
# `report --format dfxml --hash sha256` and `recover` of everything. Prints wall times and the ratios to
# recover-all (target: the hashed report costs no more than recover-all, ratio <= 1); and `list`, which judges every
# entry, against the scan alone on a copy with half the files deleted.
# Usage: bench/report.sh [BUILD_DIR]. RUNS (default 3); BENCH_OUT: where files go (default /dev/shm when writable).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
cli=$build/salvora-cli
runs=${RUNS:-3}
source "$root/bench/lib.sh"
for t in mcopy mkfs.fat "$cli"; do
  command -v "$t" >/dev/null || [[ -x $t ]] || { echo "report.sh: missing $t" >&2; exit 1; }
done
img="$root/bench/.cache/fat32-100k.img"
out_base=${BENCH_OUT:-/dev/shm}
[[ -d $out_base && -w $out_base ]] || out_base=${TMPDIR:-/tmp}
tmp=$(mktemp -d -p "$out_base")
trap 'rm -rf "$tmp"' EXIT
if [[ ! -f $img ]]; then
  mkdir -p "$(dirname "$img")"
  echo "making $img"
  make_fat32_bench_image "$img.part" "$tmp/src"
  rm -rf "$tmp/src"
  mv "$img.part" "$img"
fi
# Half of it deleted (mdeltree of dir1..dir50): the verdicts have deleted files to judge.
gone="$root/bench/.cache/fat32-100k-halfdeleted.img"
if [[ ! -f $gone ]]; then
  echo "making $gone"
  cp "$img" "$gone.part"
  MTOOLS_SKIP_CHECK=1 mdeltree -i "$gone.part" $(printf '::/dir%d ' $(seq 1 50))
  mv "$gone.part" "$gone"
fi
cat "$img" "$gone" >/dev/null
files=$("$cli" list "$img" | awk -F'\t' '$2 == "file"' | wc -l)
# The scan and walk alone (a selection nothing matches prints nothing), and the same with every entry judged.
t_scan=$(best "$cli" list "$gone" --select /no-such-file)
t_judge=$(best "$cli" list "$gone" --select /no-such-file --verdict intact,recoverable,partial,overwritten,unknown)
t_list=$(best "$cli" list "$img")
t_json=$(best "$cli" list "$img" --json)
t_report=$(best "$cli" report "$img" --format dfxml --hash sha256 --out OUT)
t_nohash=$(best "$cli" report "$img" --format dfxml --out OUT)
t_recover=$(best "$cli" --yes recover "$img" --out OUT)
printf 'files %s\n' "$files"
printf 'verdicts of %s entries, %s deleted: %.3f s against the scan alone %.3f s: %.2fx (target: a few percent)\n' \
  "$("$cli" list "$gone" | wc -l)" "$("$cli" list "$gone" --deleted | wc -l)" "$t_judge" "$t_scan" \
  "$(echo "$t_judge / $t_scan" | bc -l)"
for row in "list:$t_list" "list --json:$t_json" "report dfxml:$t_nohash" "report dfxml sha256:$t_report" "recover all:$t_recover"; do
  printf '%-22s %7.3f s  %.2fx recover-all\n' "${row%%:*}" "${row#*:}" "$(echo "${row#*:} / $t_recover" | bc -l)"
done
printf 'peak memory: report %s KiB, recover %s KiB\n' "$(peak "$cli" report "$img" --format dfxml --hash sha256 --out OUT)" \
  "$(peak "$cli" --yes recover "$img" --out OUT)"
