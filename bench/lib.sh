# Timing helpers the benchmark scripts source. They read $runs (timed runs per command) and, when set, $tmp:
# an argument "OUT" then stands for "$tmp/out", emptied before every run.

# The command with OUT replaced, in the array `cmd`.
bench_cmd() {
    cmd=("$@")
    if [[ -n ${tmp:-} ]]; then
        rm -rf "$tmp/out"
        cmd=("${@//OUT/$tmp/out}")
    fi
}

best() {  # best wall time of $runs runs of the command, after one warm-up run
    local b="" i t0 t1 cmd
    for ((i = 0; i <= runs; i++)); do
        bench_cmd "$@"
        t0=$(date +%s.%N)
        "${cmd[@]}" >/dev/null 2>&1 || true
        t1=$(date +%s.%N)
        ((i == 0)) && continue
        b=$(echo "$t0 $t1 ${b:-}" | awk '{t = $2 - $1; if ($3 == "" || t < $3) print t; else print $3}')
    done
    echo "$b"
}

peak() {  # peak resident memory in KiB of one run
    local cmd
    bench_cmd "$@"
    /usr/bin/time -f %M "${cmd[@]}" 2>&1 >/dev/null | tail -n1
}
