# NTFS volumes through mkntfs and ntfs-3g on a loop device (sourced by make-fixtures). The file helpers of
# fixture-exfat.sh (ex_md, ex_put, ex_put_file, ex_rm) work on any mounted volume at $MNT and are reused here.

NT_DEV=""
nt_mount() {
  MNT=$WORK/mnt
  mkdir -p "$MNT"
  frozen ntfs-3g -o streams_interface=windows,noatime "$NT_DEV" "$MNT"
  MOUNTS+=("$MNT")
}
nt_umount() { exfat_umount; }

# nt_attrib PATH HEXBITS: ORs Windows attribute bits (0x2 hidden, 0x4 system, 0x800 compressed) into PATH.
nt_attrib() {
  python3 -c 'import os, sys
p, bits = sys.argv[1], int(sys.argv[2], 16)
v = int.from_bytes(os.getxattr(p, "system.ntfs_attrib_be"), "big")
os.setxattr(p, "system.ntfs_attrib_be", (v | bits).to_bytes(4, "big"))' "$MNT$1" "$2"
}
nt_has_attrib() { # nt_has_attrib PATH HEXBITS
  python3 -c 'import os, sys
v = int.from_bytes(os.getxattr(sys.argv[1], "system.ntfs_attrib_be"), "big")
sys.exit(0 if v & int(sys.argv[2], 16) else 1)' "$MNT$1" "$2"
}

# nt_stream FILE NAME SIZE SEED [kind]: a named data stream written through the "file:name" path.
nt_stream() {
  gen "$WORK/put.tmp" "$3" "$4" "${5:-bin}"
  cp "$WORK/put.tmp" "$MNT$1:$2"
  log_stream "$1" "$2" "$WORK/put.tmp"
}

# nt_fill DIR: zero-filled files until the volume is full (zeros cost nothing once compressed).
nt_fill() {
  local d=$1 i=0 f
  ex_md "$d"
  while :; do
    f=$(printf '%s/zeros%03d.bin' "$d" "$i")
    dd if=/dev/zero of="$MNT$f" bs=1M count=1 status=none 2>/dev/null || break
    i=$((i + 1))
  done
  sync
  for f in "$MNT$d"/zeros*.bin; do log_file "${f#"$MNT"}" "$f"; done
}

# nt_runs IMAGE INODE: the runs "lcn+count" of the unnamed $DATA as The Sleuth Kit lists them.
nt_runs() {
  istat -f ntfs "$1" "$2" | python3 -c 'import sys
toks, on = [], False
for l in sys.stdin.read().splitlines():
    if l.startswith("Type:"):
        on = "$DATA" in l and "Name: N/A" in l
        continue
    if on and l.strip() and all(t.isdigit() for t in l.split()):
        toks += [int(t) for t in l.split()]
runs = []  # a sparse stretch is listed as zeros: one run "0+count"
for t in toks:
    if runs and (t == runs[-1][0] == 0 or t and t == runs[-1][0] + runs[-1][1]):
        runs[-1][1] += 1
    else:
        runs.append([t, 1])
print(" ".join("%d+%d" % tuple(r) for r in runs))'
}
nt_inode() { ifind -f ntfs -n "$2" "$1"; } # nt_inode IMAGE PATH

# The MFT grows in place while the clusters after it are free, so the volume is filled (the fill spills into the
# MFT zone right behind the MFT), the fill outside the zone is freed, and the next records have to go elsewhere.
nt_tree() { # nt_tree SEED FIRST LAST: /Tree/dNN with 100 small files each (most of them resident)
  local s=$1 n
  for n in $(seq "$2" "$3"); do
    rm -rf "$WORK/tree"
    python3 "$GEN" genmany "$WORK/tree" 100 f $((s + 10000 + n * 100))
    ex_md "$(printf '/Tree/d%02d' "$n")"
    cp -r "$WORK/tree/." "$MNT$(printf '/Tree/d%02d' "$n")/"
    python3 "$GEN" logtree "$LOG" "$WORK/tree" "$(printf '/Tree/d%02d' "$n")"
  done
}
nt_fragment_mft() { # nt_fragment_mft IMAGE SEED DIRS
  local img=$1 s=$2 dirs=$3 f lcn zone_end kept=0
  ex_md /Tree
  nt_tree "$s" 0 4
  nt_fill /Fill
  zone_end=$(fsstat -f ntfs "$img" | python3 -c 'import re, sys
t = sys.stdin.read()
last = int(re.search(r"Total Cluster Range: 0 - (\d+)", t).group(1))
mft = int(re.search(r"First Cluster of MFT: (\d+)", t).group(1))
print(mft + (last + 1) // 8)')
  for f in "$MNT"/Fill/zeros*.bin; do
    f=${f#"$MNT"}
    lcn=$(nt_runs "$img" "$(nt_inode "$img" "$f")" | cut -d+ -f1)
    if [[ -n $lcn && $lcn -lt $zone_end ]]; then kept=$((kept + 1)); else ex_rm "$f"; fi
  done
  log_cmd "the volume filled with /Fill/zeros*.bin; those outside the MFT zone deleted ($kept kept), so the MFT grows around them"
  sync
  nt_tree "$s" 5 $((dirs - 1))
  sync
  echo "ntfs: MFT runs: $(nt_runs "$img" 0)" >&2
}

# A file in the holes left by every other small file, with nothing else free. The holes are at least 1 KiB, as
# smaller files stay in their records.
nt_fragmented() { # nt_fragmented SEED CLUSTER
  local s=$1 c=$2 i
  ((c >= 1024)) || c=1024
  ex_md /Frag
  for i in $(seq 0 15); do ex_put "$(printf '/Frag/hole%02d.bin' "$i")" "$c" $((s + 500 + i)); done
  ex_put /Frag/after.bin $((2 * c)) $((s + 520))
  : >"$MNT/Frag/fragmented.bin"  # its record and index entry exist before the volume is full
  nt_fill /Filler
  for i in $(seq 1 2 15); do ex_rm "$(printf '/Frag/hole%02d.bin' "$i")"; done
  sync
  # Written a hole at a time: with small clusters ntfs-3g asks for more than is free when given it all at once.
  gen "$WORK/put.tmp" $((8 * c - 300)) $((s + 521))
  python3 -c 'import sys
d = open(sys.argv[1], "rb").read()
with open(sys.argv[2], "r+b") as f:
    for i in range(0, len(d), int(sys.argv[3])):
        f.write(d[i:i + int(sys.argv[3])])
        f.flush()' "$WORK/put.tmp" "$MNT/Frag/fragmented.bin" "$c"
  touch -d "@$((SOURCE_DATE_EPOCH - 86400 * ((s + 521) % 700) - 37 * (s + 521)))" "$MNT/Frag/fragmented.bin"
  log_file /Frag/fragmented.bin "$WORK/put.tmp"
  ex_rm /Filler
  log_cmd "/Frag/fragmented.bin written with only the 8 holes of /Frag/hole*.bin free; /Filler deleted after it"
}

nt_recycle_bin() {
  local s=$1 sid=/\$Recycle.Bin/S-1-5-21-1-1-1-1001
  local ft=$(((SOURCE_DATE_EPOCH - 7200 + 11644473600) * 10000000))
  ex_md /\$Recycle.Bin
  ex_md "$sid"
  gen "$WORK/r1" 1234 $((s + 900)) text
  python3 "$GEN" recycle-i "$WORK/i1" 1 1234 "$ft" 'C:\Users\Alice\Documents\budget.txt'
  ex_put_file "$sid/\$IABC123.txt" "$WORK/i1"
  ex_put_file "$sid/\$RABC123.txt" "$WORK/r1"
  python3 "$GEN" recycle-i "$WORK/i2" 2 "$(stat -c %s "$ASSETS/photo3.jpg")" "$ft" \
    'C:\Users\Alice\Pictures\Holiday in Brittany.jpg'
  ex_put_file "$sid/\$IDEF456.jpg" "$WORK/i2"
  ex_put_file "$sid/\$RDEF456.jpg" "$ASSETS/photo3.jpg"
  printf '[.ShellClassInfo]\r\nCLSID={645FF040-5081-101B-9F08-00AA002F954E}\r\n' >"$WORK/desktop.ini"
  ex_put_file "$sid/desktop.ini" "$WORK/desktop.ini"
  nt_attrib /\$Recycle.Bin 0x6
  log_attr /\$Recycle.Bin "+h +s"
  nt_attrib "$sid/desktop.ini" 0x6
  log_attr "$sid/desktop.ini" "+h +s"
}

nt_compressed() { # nt_compressed SEED CLUSTER: ntfs-3g compresses only with clusters up to 4 KiB
  local s=$1 c=$2 f
  if ((c > 4096)); then
    log_cmd "no compressed folder: ntfs-3g cannot compress with $c-byte clusters"
    return
  fi
  ex_md /Compressed
  nt_attrib /Compressed 0x800
  log_attr /Compressed compressed
  ex_put /Compressed/report.txt 60000 $((s + 60)) text
  ex_put /Compressed/pattern.bin 100000 $((s + 61))
  ex_put /Compressed/tiny.txt 300 $((s + 62)) text
  ex_put /Compressed/gone.txt 45000 $((s + 63)) text
  for f in report.txt pattern.bin tiny.txt gone.txt; do
    nt_has_attrib "/Compressed/$f" 0x800 || { echo "ntfs: /Compressed/$f was not compressed" >&2; exit 1; }
    log_attr "/Compressed/$f" compressed
  done
}

nt_sparse() { # 40 MiB long, data only in its first and last 8 KiB
  python3 - "$WORK/sparse.tmp" "$MNT/Sizes/sparse.bin" "$1" <<'PY'
import random, sys
rnd = random.Random(int(sys.argv[3]))
head, tail = rnd.randbytes(8192), rnd.randbytes(8192)
for p in sys.argv[1:3]:
    with open(p, 'wb') as f:
        f.write(head)
        f.seek(40 * 1048576 - len(tail))
        f.write(tail)
PY
  nt_has_attrib /Sizes/sparse.bin 0x200 || { echo "ntfs: /Sizes/sparse.bin is not sparse" >&2; exit 1; }
  log_file /Sizes/sparse.bin "$WORK/sparse.tmp"
  log_attr /Sizes/sparse.bin sparse
}

# ntfs-3g takes the lowest free record after a mount, so the first file made after the remount lands in the record
# of the file deleted before it.
nt_reuse_record() { # nt_reuse_record IMAGE -> sets NT_REUSED
  local img=$1 rec i name
  rec=$(nt_inode "$img" /victim.txt)
  ex_rm /victim.txt
  nt_umount
  nt_mount
  for i in $(seq 0 63); do
    name=$(printf 'new%02d.txt' "$i")
    ex_put "/Reuse/$name" 200 $((9000 + i)) text
    sync
    if istat -f ntfs "$img" "$rec" | grep -q "^Name: $name\$"; then
      log_cmd "remounted; /victim.txt (MFT record $rec) deleted before it, its record reused by /Reuse/$name"
      NT_REUSED="$rec /victim.txt /Reuse/$name"
      return
    fi
  done
  echo "ntfs: record $rec of /victim.txt was not reused" >&2
  exit 1
}

nt_populate() { # nt_populate IMAGE SEED CLUSTER TREEDIRS
  local img=$1 s=$2 c=$3 dirs=$4 d i
  # The first file takes the first user record; it is reused at the end.
  ex_put /victim.txt 5000 $((s + 1)) text
  nt_fragment_mft "$img" "$s" "$dirs"
  nt_fragmented "$s" "$c"
  for d in /Documents /Documents/Work /Documents/Work/Projects /Documents/Work/Projects/2023 \
    /Documents/Work/Projects/2023/Reports /Photos /Sizes /Streams /Reuse /OldTree /OldTree/sub /OldTree/sub/deeper; do
    ex_md "$d"
  done
  ex_put /Sizes/empty.dat 0 $((s + 2))
  ex_put /Sizes/one.bin 1 $((s + 3))
  ex_put /Sizes/resident700.bin 700 $((s + 4))
  ex_put /Sizes/s4097.bin 4097 $((s + 5))
  ex_put /Sizes/one_mib.bin 1048576 $((s + 6))
  ex_put "/Sizes/Three and a bit MiB.bin" $((3 * 1048576 + 1234)) $((s + 7))
  nt_sparse $((s + 8))
  ex_put /Documents/Work/Projects/2023/Reports/summary.txt 5000 $((s + 10)) text
  ex_put "/Documents/Café Menü.txt" 800 $((s + 12)) text
  ex_put "/Documents/日本語のファイル.txt" 1500 $((s + 13)) text
  ex_put "/Documents/Ελληνικά και Über.txt" 900 $((s + 14)) text
  ex_put "/Documents/Отчёт за квартал.txt" 1100 $((s + 15)) text
  local long="Long name "
  while ((${#long} < 251)); do long+="x"; done
  ex_put "/Documents/${long}.txt" 3000 $((s + 16)) text
  ex_put_file /Photos/IMG_0001.JPG "$ASSETS/photo1.jpg"
  ex_put_file "/Photos/Beach day.jpg" "$ASSETS/photo2.jpg"
  ex_put_file /Documents/invoice.pdf "$ASSETS/invoice.pdf"
  printf '[ZoneTransfer]\r\nZoneId=3\r\n' >"$WORK/zone.tmp"
  cp "$WORK/zone.tmp" "$MNT/Documents/invoice.pdf:Zone.Identifier"
  log_stream /Documents/invoice.pdf Zone.Identifier "$WORK/zone.tmp"
  ex_put /Streams/file.txt 500 $((s + 30)) text
  nt_stream /Streams/file.txt stream 300 $((s + 31)) text
  nt_stream /Streams/file.txt big 20000 $((s + 32))
  ex_put /Streams/gone.txt 600 $((s + 33)) text
  nt_stream /Streams/gone.txt note 400 $((s + 34)) text
  nt_recycle_bin "$s"
  nt_compressed "$s" "$c"
  # Deletions.
  ex_put /OldTree/sub/deeper/a.txt 1500 $((s + 50)) text
  ex_put /OldTree/sub/b.bin 20000 $((s + 51))
  ex_put /OldTree/c.txt 300 $((s + 52)) text
  ex_put /Documents/deleted.bin $((40 * 4096 + 17)) $((s + 53))
  ex_put "/Documents/Deleted report with a long name.txt" 2200 $((s + 54)) text
  sync
  ex_rm /Documents/deleted.bin
  ex_rm "/Documents/Deleted report with a long name.txt"
  ex_rm /Streams/gone.txt
  ex_rm /Tree/d03/f042.txt
  ex_rm /OldTree
  [[ -d $MNT/Compressed ]] && ex_rm /Compressed/gone.txt
  sync
  nt_reuse_record "$img"
}

# build_ntfs NAME CLUSTER MIB TREEDIRS
build_ntfs() {
  local name=$1 c=$2 mib=$3 dirs=$4 img
  img=$WORK/$name.img
  log_open "$name"
  rm -f "$img"
  truncate -s $((mib * 1048576)) "$img"
  NT_DEV=$(loop_attach "$img")
  frozen mkntfs -F -Q -q -c "$c" -L "SALVORA$((c / 512))" "$NT_DEV" >/dev/null 2>&1
  log_cmd "mkntfs -F -Q -c $c -L SALVORA$((c / 512)); ntfs-3g -o streams_interface=windows on a loop device"
  nt_mount
  nt_populate "$img" $((8000 + c % 9973)) "$c" "$dirs"
  nt_umount
  loop_detach "$NT_DEV"
  ntfsfix -n "$img" >"$WORK/fsck.out" 2>&1 || { cat "$WORK/fsck.out" >&2; exit 1; }
  manifest_volume "$name" NTFS "$img"
  python3 - "$OUT/$name.manifest.json" "$c" "$NT_REUSED" "$(nt_runs "$img" 0)" <<'PY'
import json, sys
path, c, reused, runs = sys.argv[1:]
m = json.load(open(path, encoding='utf-8'))
rec, old, new = reused.split(' ', 2)
m['cluster_size'] = int(c)
m['mft_runs'] = runs.split()
m['reused_record'] = {'record': int(rec), 'deleted': old, 'now': new}
json.dump(m, open(path, 'w', encoding='utf-8'), ensure_ascii=False, indent=1)
open(path, 'a').write('\n')
PY
  compress_to "$img" "$OUT/$name.img.zst"
}

# build_ntfs_noboot NAME SECTORS...: ntfs-4k with the given sectors zeroed ("last" is the backup boot sector).
build_ntfs_noboot() {
  local name=$1 img sec note=""
  shift
  img=$WORK/$name.img
  zstd -d -q -f -o "$img" "$OUT/ntfs-4k.img.zst"
  python3 - "$OUT/ntfs-4k.manifest.json" "$OUT/$name.manifest.json" "$name" <<'PY'
import json, sys
m = json.load(open(sys.argv[1], encoding='utf-8'))
m['image'] = sys.argv[3] + '.img.zst'
json.dump(m, open(sys.argv[2], 'w', encoding='utf-8'), ensure_ascii=False, indent=1)
PY
  for sec in "$@"; do
    if [[ $sec == last ]]; then
      sec=$(($(stat -c %s "$img") / 512 - 1))
      note+=" and its last sector $sec (the backup boot sector)"
    else
      note+=" sector $sec"
    fi
    dd if=/dev/zero of="$img" bs=512 seek="$sec" count=1 conv=notrunc status=none
  done
  damage_note "$name" "$img" "ntfs-4k.img with${note# and}${note:+ }zeroed"
  compress_to "$img" "$OUT/$name.img.zst"
}

build_ntfs_all() {
  build_ntfs ntfs-4k 4096 48 25
  build_ntfs ntfs-512 512 32 15
  build_ntfs ntfs-64k 65536 64 10
  build_ntfs_noboot ntfs-noboot 0
  build_ntfs_noboot ntfs-nobootboth 0 last
}
