# FAT16 and FAT32 volumes through mkfs.fat and mtools (sourced by make-fixtures).

# 65824 sectors with 512-byte clusters gives a FAT16 whose FAT is 256 sectors long, as Windows makes them.
FAT16_SECTORS=65824
FAT32_MIN_SECTORS=67584 # 33 MiB: just above the 65525-cluster floor of FAT32 with 512-byte clusters

# mkfs_fat IMAGE BITS SECTORS VOLID LABEL HIDDEN: a fresh volume in its own file.
mkfs_fat() {
  local img=$1 bits=$2 sectors=$3 id=$4 label=$5 hidden=${6:-0}
  rm -f "$img"
  truncate -s $((sectors * 512)) "$img"
  frozen mkfs.fat -F "$bits" -s 1 -i "$id" -n "$label" -h "$hidden" "$img" >/dev/null
  log_cmd "truncate -s $((sectors * 512)); mkfs.fat -F $bits -s 1 -i $id -n $label -h $hidden"
}

fat_finish() { # fat_finish IMAGE BITS: OEM name and a consistency check
  local img=$1 bits=$2
  if [[ $bits == 32 ]]; then patch_oem "$img" 0 6; else patch_oem "$img" 0; fi
  log_cmd "OEM name at byte 3 patched to MSDOS5.0$([[ $bits == 32 ]] && echo ' (and in the backup boot sector 6)')"
  fsck.fat -n "$img" >"$WORK/fsck.out" 2>&1 || {
    cat "$WORK/fsck.out" >&2
    echo "fsck.fat found faults in $img" >&2
    exit 1
  }
}

# The Windows Recycle Bin of one user: $I index files (version 1 and 2) beside their $R content files.
fat_recycle_bin() {
  local s=$1 sid=/\$RECYCLE.BIN/S-1-5-21-1-1-1-1001
  local ft=$(((SOURCE_DATE_EPOCH - 7200 + 11644473600) * 10000000))
  fat_md /\$RECYCLE.BIN
  fat_md "$sid"
  gen "$WORK/r1" 1234 $((s + 900)) text
  python3 "$GEN" recycle-i "$WORK/i1" 1 1234 "$ft" 'C:\Users\Alice\Documents\budget.txt'
  fat_put_file "$sid/\$IABC123.txt" "$WORK/i1"
  fat_put_file "$sid/\$RABC123.txt" "$WORK/r1"
  python3 "$GEN" recycle-i "$WORK/i2" 2 "$(stat -c %s "$ASSETS/photo3.jpg")" "$ft" \
    'C:\Users\Alice\Pictures\Holiday in Brittany.jpg'
  fat_put_file "$sid/\$IDEF456.jpg" "$WORK/i2"
  fat_put_file "$sid/\$RDEF456.jpg" "$ASSETS/photo3.jpg"
  printf '[.ShellClassInfo]\r\nCLSID={645FF040-5081-101B-9F08-00AA002F954E}\r\n' >"$WORK/desktop.ini"
  fat_put_file "$sid/desktop.ini" "$WORK/desktop.ini"
  fat_attr "+h +s" /\$RECYCLE.BIN
  fat_attr "+h +s" "$sid/desktop.ini"
}

# The rich tree shared by the bare FAT16 and FAT32 volumes. $1 seeds the content.
fat_populate_full() {
  local s=$1 d i
  for d in /Documents /Documents/Work /Documents/Work/Projects /Documents/Work/Projects/2023 \
    /Documents/Work/Projects/2023/Reports /Photos /Photos/Vacation /Sizes /Case /Case/a /Case/b /Case/c \
    /Attrib /Many /OldTree /OldTree/sub1 /OldTree/sub2 /OldTree/sub1/deeper /ToDelete; do
    fat_md "$d"
  done
  # Sizes around sector and cluster edges (clusters are 512 bytes on both volumes).
  fat_put /Sizes/EMPTY.DAT 0 $((s + 1))
  fat_put /Sizes/one.bin 1 $((s + 2))
  fat_put /Sizes/s511.bin 511 $((s + 3))
  fat_put /Sizes/s512.bin 512 $((s + 4))
  fat_put /Sizes/s4097.bin 4097 $((s + 5))
  fat_put /Sizes/one_mib.bin 1048576 $((s + 6))
  fat_put "/Sizes/Three and a bit MiB.bin" $((3 * 1048576 + 1234)) $((s + 7))
  fat_put /Documents/Work/Projects/2023/Reports/summary.txt 5000 $((s + 10)) text
  fat_put "/Documents/Work/Projects/2023/Reports/Quarterly report for the board.txt" 7000 $((s + 11)) text
  fat_put "/Documents/Café Menü.txt" 800 $((s + 12)) text
  fat_put "/Documents/日本語のファイル.txt" 1500 $((s + 13)) text
  fat_put "/Documents/Über Straße.doc" 2600 $((s + 14))
  fat_put_file /Documents/invoice.pdf "$ASSETS/invoice.pdf"
  fat_put_file /Documents/letter.docx "$ASSETS/letter.docx"
  fat_put_file /Documents/NOTES.TXT "$ASSETS/notes.txt"
  local long="A very long file name that keeps going well past the usual length so that it needs sixteen or more"
  long+=" long-name slots in its directory, which exercises the long-name run handling of every FAT parser.txt"
  fat_put "/Documents/$long" 3000 $((s + 15)) text
  # FAT folds case, so names that differ only in case live in separate folders.
  fat_put /Case/a/readme.txt 100 $((s + 20)) text
  fat_put /Case/b/README.TXT 101 $((s + 21)) text
  fat_put /Case/c/ReadMe.txt 102 $((s + 22)) text
  for i in 1 2 4 5; do fat_put_file "/Photos/IMG_000$i.JPG" "$ASSETS/photo$i.jpg"; done
  fat_put_file "/Photos/Vacation/Beach day at Saint-Malo.jpg" "$ASSETS/photo6.jpg"
  fat_put_file /Photos/Vacation/chart.png "$ASSETS/chart.png"
  # A folder of 320 entries (every eighth with a long name) spans dozens of clusters.
  rm -rf "$WORK/many"
  python3 "$GEN" genmany "$WORK/many" 320 file $((s + 1000))
  for i in $(seq 0 8 319); do
    mv "$WORK/many/$(printf 'file%03d.txt' "$i")" "$WORK/many/$(printf 'Entry number %03d with a long name.txt' "$i")"
  done
  local f
  while IFS= read -r f; do
    stamp "$WORK/many/$f" $((SOURCE_DATE_EPOCH - 5000))
    frozen mcopy -m -i "$MT" "$WORK/many/$f" "::/Many/$f"
  done < <(cd "$WORK/many" && ls | LC_ALL=C sort)
  python3 "$GEN" logtree "$LOG" "$WORK/many" /Many
  # Attributes.
  fat_put /Attrib/readonly.txt 300 $((s + 30)) text
  fat_put /Attrib/hidden.txt 301 $((s + 31)) text
  fat_put /Attrib/SYSTEM.SYS 302 $((s + 32))
  fat_md /Attrib/HiddenDir
  fat_put /Attrib/HiddenDir/inside.txt 303 $((s + 33)) text
  fat_attr +r /Attrib/readonly.txt
  fat_attr +h /Attrib/hidden.txt
  fat_attr "+s +r" /Attrib/SYSTEM.SYS
  fat_attr +h /Attrib/HiddenDir
  fat_recycle_bin "$s"
}

# Deletions come after every write: mtools reuses freed slots, which would overwrite the deleted entries.
fat_populate_deletions() {
  local s=$1 i
  # What gets deleted: a contiguous 150-cluster file, a long-named file, a short-named root file, a few entries of
  # the big folder and a whole tree.
  fat_put /ToDelete/contig.bin $((150 * 512 - 100)) $((s + 40))
  fat_put /ToDelete/keep.txt 700 $((s + 41)) text
  fat_put "/Documents/Deleted report with a long name.txt" 2200 $((s + 42)) text
  fat_put /DELROOT.TXT 900 $((s + 43)) text
  fat_put_file /Photos/IMG_0003.JPG "$ASSETS/photo3.jpg"
  fat_put /OldTree/sub1/a.txt 1500 $((s + 50)) text
  fat_put /OldTree/sub1/b.bin 6000 $((s + 51))
  fat_put "/OldTree/sub1/deeper/Deep long name.txt" 800 $((s + 52)) text
  fat_put /OldTree/sub2/c.txt 2500 $((s + 53)) text
  fat_put /OldTree/d.txt 400 $((s + 54)) text
  fat_del /ToDelete/contig.bin
  fat_del "/Documents/Deleted report with a long name.txt"
  fat_del /DELROOT.TXT
  fat_del /Photos/IMG_0003.JPG
  for i in 16 64 104 200; do fat_del "$(printf '/Many/Entry number %03d with a long name.txt' "$i")"; done
  for i in 17 101 250; do fat_del "$(printf '/Many/file%03d.txt' "$i")"; done
  fat_deltree /OldTree
}

build_fat_bare() { # build_fat_bare 16|32
  local bits=$1 name=fat$1 img
  img=$WORK/$name.img
  log_open "$name"
  MT="$img@@0"
  if [[ $bits == 16 ]]; then
    mkfs_fat "$img" 16 $FAT16_SECTORS 16161616 SALVORA16
    fat_populate_full 1600
    fat_populate_deletions 1600
  else
    mkfs_fat "$img" 32 131072 32323232 SALVORA32
    fat_populate_full 3200
    # The root grows into clusters taken after everything else: its chain is not contiguous.
    local i
    for i in $(seq 0 39); do fat_put "$(printf '/ROOT%03d.TXT' "$i")" $((100 + i)) $((3300 + i)) text; done
    fat_put "/Root file with a long name at the end.txt" 500 3399 text
    log_cmd "40 files written to the root after the tree, so the root directory's chain is not contiguous"
    fat_populate_deletions 3200
  fi
  fat_finish "$img" "$bits"
  manifest_volume "$name" "FAT$bits" "$img"
  compress_to "$img" "$OUT/$name.img.zst"
}
