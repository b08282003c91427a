# exFAT volumes through mkfs.exfat and the FUSE driver on a loop device (sourced by make-fixtures).

MNT=""
# exfat_mkfs_mount DEVICE LABEL: formats and mounts at $MNT with the clock frozen (the volume serial and every
# time stamp come from "now").
exfat_mkfs_mount() {
  local dev=$1 label=$2
  frozen mkfs.exfat -L "$label" "$dev" >/dev/null
  log_cmd "mkfs.exfat -L $label (4 KiB clusters); mount.exfat-fuse on a loop device"
  MNT=$WORK/mnt
  mkdir -p "$MNT"
  frozen mount.exfat-fuse -o noatime "$dev" "$MNT" >/dev/null 2>&1
  MOUNTS+=("$MNT")
}
exfat_umount() {
  sync
  umount "$MNT"
  local keep=() m
  for m in "${MOUNTS[@]}"; do [[ $m == "$MNT" ]] || keep+=("$m"); done
  MOUNTS=("${keep[@]+"${keep[@]}"}")
}
ex_md() {
  mkdir "$MNT$1"
  log_dir "$1"
}
# ex_put PATH SIZE SEED [kind]
ex_put() {
  local dst=$1 size=$2 seed=$3 kind=${4:-bin}
  gen "$WORK/put.tmp" "$size" "$seed" "$kind"
  cp "$WORK/put.tmp" "$MNT$dst"
  touch -d "@$((SOURCE_DATE_EPOCH - 86400 * (seed % 700) - 37 * seed))" "$MNT$dst"
  log_file "$dst" "$WORK/put.tmp"
}
ex_put_file() {
  cp "$2" "$MNT$1"
  touch -d "@$((SOURCE_DATE_EPOCH - 3 * 86400))" "$MNT$1"
  log_file "$1" "$2"
}
ex_rm() {
  rm -rf "$MNT$1"
  log_del "$1"
}

# A file whose clusters are scattered: fill a folder with one-cluster files, free every other one, then write a file
# that has to take the holes.
ex_fragmented() {
  local s=$1 i
  ex_md /Frag
  for i in $(seq 0 15); do ex_put "$(printf '/Frag/hole%02d.bin' "$i")" 4096 $((s + 500 + i)); done
  ex_put /Frag/after.bin 8192 $((s + 520))
  sync
  for i in $(seq 1 2 15); do ex_rm "$(printf '/Frag/hole%02d.bin' "$i")"; done
  sync
  ex_put /Frag/fragmented.bin $((12 * 4096 + 300)) $((s + 521))
}

exfat_populate() { # exfat_populate SEED FULL(0|1)
  local s=$1 full=$2 d i
  for d in /Documents /Documents/Work /Documents/Work/Projects /Documents/Work/Projects/2023 /Photos /Sizes \
    /Case /Case/a /Case/b /OldTree /OldTree/sub; do
    ex_md "$d"
  done
  ex_put /Sizes/empty.dat 0 $((s + 1))
  ex_put /Sizes/one.bin 1 $((s + 2))
  ex_put /Sizes/s511.bin 511 $((s + 3))
  ex_put /Sizes/s512.bin 512 $((s + 4))
  ex_put /Sizes/s4097.bin 4097 $((s + 5))
  ex_put /Sizes/one_mib.bin 1048576 $((s + 6))
  [[ $full == 1 ]] && ex_put "/Sizes/Three and a bit MiB.bin" $((3 * 1048576 + 1234)) $((s + 7))
  ex_put /Documents/Work/Projects/2023/summary.txt 5000 $((s + 10)) text
  ex_put "/Documents/Café Menü.txt" 800 $((s + 12)) text
  ex_put "/Documents/日本語のファイル.txt" 1500 $((s + 13)) text
  ex_put "/Documents/Ελληνικά και Über.txt" 900 $((s + 14)) text
  local long="A very long exFAT file name that keeps going well past the usual length so that its entry set"
  long+=" needs fifteen or more file-name entries, which exercises the name assembly of every exFAT parser.txt"
  ex_put "/Documents/$long" 3000 $((s + 15)) text
  ex_put /Case/a/readme.txt 100 $((s + 20)) text
  ex_put /Case/b/README.TXT 101 $((s + 21)) text
  ex_put_file /Photos/IMG_0001.JPG "$ASSETS/photo1.jpg"
  ex_put_file "/Photos/Beach day.jpg" "$ASSETS/photo2.jpg"
  ex_put_file /Documents/invoice.pdf "$ASSETS/invoice.pdf"
  # More than 40 entries in the root: its directory spans several clusters.
  for i in $(seq 0 59); do ex_put "$(printf '/Root file number %03d.txt' "$i")" $((200 + i * 7)) $((s + 100 + i)) text; done
  ex_fragmented "$s"
  # Recycle Bin pair (the content file keeps its $R name on disk).
  local sid=/\$RECYCLE.BIN/S-1-5-21-1-1-1-1001 ft=$(((SOURCE_DATE_EPOCH - 7200 + 11644473600) * 10000000))
  ex_md /\$RECYCLE.BIN
  ex_md "$sid"
  gen "$WORK/r1" 1234 $((s + 900)) text
  python3 "$GEN" recycle-i "$WORK/i1" 2 1234 "$ft" 'D:\Reports\budget 2023.txt'
  ex_put_file "$sid/\$IXYZ789.txt" "$WORK/i1"
  ex_put_file "$sid/\$RXYZ789.txt" "$WORK/r1"
  # Deletions.
  ex_put /OldTree/sub/a.txt 1500 $((s + 50)) text
  ex_put /OldTree/b.bin 20000 $((s + 51))
  ex_put /Documents/deleted.bin $((40 * 4096 + 17)) $((s + 52))
  ex_put "/Documents/Deleted report with a long name.txt" 2200 $((s + 53)) text
  sync
  ex_rm /Documents/deleted.bin
  ex_rm "/Documents/Deleted report with a long name.txt"
  ex_rm "/Root file number 007.txt"
  ex_rm /OldTree
}

build_exfat_bare() {
  local name=exfat img dev
  img=$WORK/$name.img
  log_open "$name"
  rm -f "$img"
  truncate -s $((64 * 1048576)) "$img"
  dev=$(loop_attach "$img")
  exfat_mkfs_mount "$dev" SALVORAX
  exfat_populate 6400 1
  exfat_umount
  loop_detach "$dev"
  fsck.exfat -n "$img" >"$WORK/fsck.out" 2>&1 || { cat "$WORK/fsck.out" >&2; exit 1; }
  manifest_volume "$name" exFAT "$img"
  compress_to "$img" "$OUT/$name.img.zst"
}
