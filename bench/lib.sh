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

# make_fat32_bench_image IMG SCRATCH: a 2 GiB FAT32 volume with about 100,000 small files in 100 nested folders
# (FILES overrides), made with mkfs.fat and mtools (apt-get install dosfstools mtools).
make_fat32_bench_image() {
    local img=$1 src=$2 files=${FILES:-100000}
    truncate -s 2G "$img"
    mkfs.fat -F 32 -n BENCH "$img" >/dev/null
    # The FAT parsers accept the OEM names that Windows and the BSDs write, as cards formatted by cameras carry.
    printf 'MSDOS5.0' | dd of="$img" bs=1 seek=3 conv=notrunc status=none
    printf 'MSDOS5.0' | dd of="$img" bs=1 seek=$((6 * 512 + 3)) conv=notrunc status=none
    command -v mcopy >/dev/null || return 0
    local per=$(((files + 99) / 100))
    python3 - "$src" 100 "$per" <<'PY'
import os, sys
root, dirs, per = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
for d in range(1, dirs + 1):
    sub = os.path.join(root, f"dir{d}", "sub")
    os.makedirs(sub, exist_ok=True)
    for f in range(1, per + 1):
        with open(os.path.join(sub, f"file{f}.bin"), "wb") as out:
            out.write(bytes((f * 37 + i) & 0xFF for i in range(f % 97 + 1)))
PY
    MTOOLS_SKIP_CHECK=1 mcopy -s -i "$img" "$src"/* ::/
}

# make_ext4_bench_image IMG SCRATCH DIRS FILES: a 1 GiB ext4 volume of DIRS folders with FILES files each (700 B to
# 20 KB of random bytes), made with mke2fs -d, every 100th file then removed with debugfs.
make_ext4_bench_image() {
    local img=$1 stage=$2 dirs=$3 files=$4
    python3 - "$stage" "$dirs" "$files" <<'PY'
import os, random, sys
stage, dirs, files = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
rnd = random.Random(7)
for d in range(dirs):
    path = os.path.join(stage, "folder%03d" % d)
    os.makedirs(path)
    for f in range(files):
        size = rnd.choice((700, 3000, 9000, 20000))
        with open(os.path.join(path, "file%04d.dat" % f), "wb") as out:
            out.write(rnd.randbytes(size))
PY
    truncate -s 1G "$img"
    mke2fs -q -F -t ext4 -b 4096 -d "$stage" "$img"
    local d f
    for ((d = 0; d < dirs; d += 1)); do
        for ((f = 0; f < files; f += 100)); do printf 'rm /folder%03d/file%04d.dat\n' "$d" "$f"; done
    done >"$stage.rm"
    debugfs -w -f "$stage.rm" "$img" >/dev/null 2>&1
    rm -rf "$stage" "$stage.rm"
}
