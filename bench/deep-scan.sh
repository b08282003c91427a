#!/usr/bin/env bash
# The advanced-input page's FAT-copy search (`find-tables`) and the advanced entry scan (`list --mode advanced`,
# no geometry given: it is inferred) on a 1 GiB FAT32 volume whose boot sector is zeroed, and the whole advanced
# run of a 1 GiB exFAT volume (32 KiB clusters) whose boot region is zeroed, each against `cat IMG > /dev/null`
# on the same warm image. Prints each throughput and the ratios salvora_throughput / cat_throughput (target:
# >= 0.8 each). The FAT32 `list` runs with --max 1 so its own search ends at the first FAT copy.
#   SALVORA_BUILD   build directory (default: build); salvora-cli is built there if missing
#   BENCH_RUNS      timed runs of each side, best one counts (default: 3)
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
root="$(dirname "$here")"
build="${SALVORA_BUILD:-$root/build}"
runs="${BENCH_RUNS:-3}"
img="$here/.cache/deep-1g.img"
mib=1024

if [[ ! -x "$build/salvora-cli" ]]; then
    cmake -S "$root" -B "$build" -G Ninja >/dev/null
    cmake --build "$build" --target salvora-cli >/dev/null
fi
mkdir -p "$here/.cache"
if [[ ! -f "$img" || "$(stat -c %s "$img")" -ne $((mib * 1048576)) ]]; then
    echo "making $img ($mib MiB FAT32, 4 KiB clusters, pseudo-random data region, boot sector zeroed)"
    rm -f "$img"
    truncate -s $((mib * 1048576)) "$img"
    mkfs.fat -F 32 -s 8 -n DEEPBENCH "$img" >/dev/null
    data=$(python3 -c "
import struct
b = open('$img', 'rb').read(512)
r, n, f = struct.unpack_from('<H', b, 14)[0], b[16], struct.unpack_from('<I', b, 36)[0]
print(r + n * f)")
    # Deterministic pseudo-random content after the root cluster, as a used card would hold.
    openssl enc -aes-128-ctr -nosalt -pass pass:salvora -pbkdf2 </dev/zero 2>/dev/null |
        head -c $(((mib * 2048 - data - 8) * 512)) |
        dd of="$img" bs=1M seek=$(((data + 8) * 512)) oflag=seek_bytes conv=notrunc status=none ||
        true # openssl ends on SIGPIPE once head has its bytes
    dd if=/dev/zero of="$img" bs=512 count=1 conv=notrunc status=none
fi

ximg="$here/.cache/deep-exfat-1g.img"
if [[ ! -f "$ximg" || "$(stat -c %s "$ximg")" -ne $((mib * 1048576)) ]]; then
    echo "making $ximg ($mib MiB exFAT, 32 KiB clusters, pseudo-random heap past the root, boot region zeroed)"
    rm -f "$ximg"
    truncate -s $((mib * 1048576)) "$ximg"
    mkfs.exfat -c 32K -L DEEPBENCH "$ximg" >/dev/null
    heap=$(python3 -c "
import struct
b = open('$ximg', 'rb').read(512)
print(struct.unpack_from('<I', b, 88)[0] * 512 + 8 * 32768)")
    openssl enc -aes-128-ctr -nosalt -pass pass:salvora -pbkdf2 </dev/zero 2>/dev/null |
        head -c $((mib * 1048576 - heap)) |
        dd of="$ximg" bs=1M seek="$heap" oflag=seek_bytes conv=notrunc status=none || true
    dd if=/dev/zero of="$ximg" bs=512 count=24 conv=notrunc status=none
fi

volume=("$img" --start-sector 0 --size-mib "$mib" --fs FAT32)
xvolume=("$ximg" --start-sector 0 --size-mib "$mib" --fs FAT64)
cli="$build/salvora-cli"

source "$here/lib.sh"

bytes=$((mib * 1048576))
t_cat=$(best cat "$img")
t_find=$(best "$cli" find-tables "${volume[@]}")
t_scan=$(best "$cli" list "${volume[@]}" --mode advanced --max 1)
t_xcat=$(best cat "$ximg")
t_xscan=$(best "$cli" list "${xvolume[@]}" --mode advanced)
awk -v b="$bytes" -v c="$t_cat" -v f="$t_find" -v s="$t_scan" -v xc="$t_xcat" -v xs="$t_xscan" 'BEGIN{
    printf "cat:                    %.3f s  %.0f MiB/s\n", c, b / c / 1048576
    printf "find-tables:            %.3f s  %.0f MiB/s\n", f, b / f / 1048576
    printf "advanced entry scan:    %.3f s  %.0f MiB/s  (list --mode advanced)\n", s, b / s / 1048576
    printf "ratio find-tables / cat = %.2f\n", c / f
    printf "ratio advanced scan / cat = %.2f\n", c / s
    printf "exFAT cat:              %.3f s  %.0f MiB/s\n", xc, b / xc / 1048576
    printf "exFAT advanced run:     %.3f s  %.0f MiB/s  (list --mode advanced)\n", xs, b / xs / 1048576
    printf "ratio exFAT advanced run / cat = %.2f\n", xc / xs
}'
