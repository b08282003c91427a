#!/usr/bin/env bash
# Scans a 2 GiB FAT32 volume on the results page and prints the longest gap between event-loop ticks of the UI
# thread (target: under 100 ms). Makes the image with mkfs.fat and mtools (apt-get install dosfstools mtools).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
cmake --build "$build" --target gui-scan-gap >/dev/null
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
img="$work/fat32-2g.img"
truncate -s 2G "$img"
mkfs.fat -F 32 -n BENCH "$img" >/dev/null
# The FAT parsers accept the OEM names that Windows and the BSDs write, as cards formatted by cameras carry.
printf 'MSDOS5.0' | dd of="$img" bs=1 seek=3 conv=notrunc status=none
printf 'MSDOS5.0' | dd of="$img" bs=1 seek=$((6 * 512 + 3)) conv=notrunc status=none
if command -v mcopy >/dev/null; then
  # About 100,000 small files in 100 nested folders (FILES overrides), so the walk has real work to do.
  files=${FILES:-100000}
  per=$(( (files + 99) / 100 ))
  python3 - "$work/src" 100 "$per" <<'PY'
import os, sys
root, dirs, per = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
for d in range(1, dirs + 1):
    sub = os.path.join(root, f"dir{d}", "sub")
    os.makedirs(sub, exist_ok=True)
    for f in range(1, per + 1):
        with open(os.path.join(sub, f"file{f}.bin"), "wb") as out:
            out.write(bytes((f * 37 + i) & 0xFF for i in range(f % 97 + 1)))
PY
  MTOOLS_SKIP_CHECK=1 mcopy -s -i "$img" "$work/src"/* ::/
fi
QT_QPA_PLATFORM=offscreen "$build/gui-scan-gap" "$img" FAT32
