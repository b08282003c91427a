#!/usr/bin/env bash
# Advance scan throughput against `cat IMG > /dev/null` on the same warm 2 GiB image.
# Prints both throughputs and the ratio advance_scan_throughput / cat_throughput (target: >= 0.8).
#   SALVORA_BUILD   build directory (default: build); built here if the programs are missing
#   BENCH_RUNS      timed runs of each side, best one counts (default: 3)
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
root="$(dirname "$here")"
build="${SALVORA_BUILD:-$root/build}"
runs="${BENCH_RUNS:-3}"
img="$here/.cache/advance-2g.img"
mib=2048

if [[ ! -x "$build/bench/advance_scan_bench" ]]; then
    cmake -S "$root" -B "$build" -G Ninja >/dev/null
    cmake --build "$build" --target advance_scan_bench salvora-cli >/dev/null
fi
mkdir -p "$here/.cache"
if [[ ! -f "$img" || "$(stat -c %s "$img")" -ne $((mib * 1048576)) ]]; then
    echo "making $img ($mib MiB of pseudo-random bytes with boot sectors in it)"
    "$build/bench/advance_scan_bench" --make "$img" "$mib"
fi

# The CLI once it has the `volumes` command, else the driver. Both read every sector (no skip), as cat does.
cli="$build/salvora-cli"
if [[ -x "$cli" ]] && "$cli" volumes --help >/dev/null 2>&1; then
    scan=("$cli" volumes "$img" --advance --no-skip)
    what="salvora-cli volumes --advance --no-skip"
else
    scan=("$build/bench/advance_scan_bench" "$img")
    what="advance_scan_bench"
fi

source "$here/lib.sh"

bytes=$((mib * 1048576))
t_cat=$(best cat "$img")
t_scan=$(best "${scan[@]}")
awk -v b="$bytes" -v c="$t_cat" -v s="$t_scan" -v w="$what" 'BEGIN{
    printf "cat:           %.3f s  %.0f MiB/s\n", c, b / c / 1048576
    printf "advance scan:  %.3f s  %.0f MiB/s  (%s)\n", s, b / s / 1048576, w
    printf "ratio advance_scan_throughput / cat_throughput = %.2f\n", c / s
}'
