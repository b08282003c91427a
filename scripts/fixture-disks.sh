# Partitioned disks: MBR with an EBR chain, the same with sector 0 zeroed, and GPT (sourced by make-fixtures).
# Each partition is formatted in a file of its own with the real mkfs, filled, then copied into the disk at its start.

# A few files, one deleted short name and one deleted long name.
fat_populate_small() {
  local s=$1
  fat_md /Docs
  fat_md /Photos
  fat_put /Docs/readme.txt 1800 $((s + 1)) text
  fat_put "/Docs/Quarterly report for the board.txt" 5000 $((s + 2)) text
  fat_put /Docs/DATA.BIN $((64 * 512 + 5)) $((s + 3))
  fat_put_file /Photos/IMG_0001.JPG "$ASSETS/photo1.jpg"
  fat_put /OLD.TXT 1000 $((s + 4)) text
  fat_put "/Docs/Deleted long name.txt" 2000 $((s + 5)) text
  fat_del /OLD.TXT
  fat_del "/Docs/Deleted long name.txt"
}

exfat_populate_small() {
  local s=$1
  ex_md /Docs
  ex_md /Photos
  ex_put /Docs/readme.txt 1800 $((s + 1)) text
  ex_put "/Docs/Café Menü.txt" 5000 $((s + 2)) text
  ex_put /Docs/data.bin $((20 * 4096 + 5)) $((s + 3))
  ex_put_file /Photos/IMG_0002.JPG "$ASSETS/photo2.jpg"
  ex_put /old.txt 1000 $((s + 4)) text
  ex_put "/Docs/Deleted long name.txt" 2000 $((s + 5)) text
  sync
  ex_rm /old.txt
  ex_rm "/Docs/Deleted long name.txt"
}

# part_fat OUTIMG BITS SECTORS VOLID LABEL HIDDEN SEED [populate function]
part_fat() {
  local img=$1 bits=$2 sectors=$3 id=$4 label=$5 hidden=$6 seed=$7 fill=${8:-fat_populate_small}
  MT="$img@@0"
  mkfs_fat "$img" "$bits" "$sectors" "$id" "$label" "$hidden"
  "$fill" "$seed"
  fat_finish "$img" "$bits"
}

# part_exfat OUTIMG SECTORS LABEL SEED [populate function]
part_exfat() {
  local img=$1 sectors=$2 label=$3 seed=$4 fill=${5:-exfat_populate_small} dev
  rm -f "$img"
  truncate -s $((sectors * 512)) "$img"
  dev=$(loop_attach "$img")
  exfat_mkfs_mount "$dev" "$label"
  "$fill" "$seed"
  exfat_umount
  loop_detach "$dev"
  fsck.exfat -n "$img" >"$WORK/fsck.out" 2>&1 || { cat "$WORK/fsck.out" >&2; exit 1; }
}

# part_ext4 OUTIMG SECTORS UUID SEED
part_ext4() {
  local img=$1 sectors=$2 uuid=$3 s=$4 stage=$WORK/stage-part
  rm -rf "$stage"
  mkdir -p "$stage/docs" "$stage/photos"
  gen "$stage/docs/readme.txt" 1800 $((s + 1)) text
  gen "$stage/docs/report 2023.txt" 5000 $((s + 2)) text
  gen "$stage/docs/data.bin" 30000 $((s + 3))
  cp "$ASSETS/photo4.jpg" "$stage/photos/IMG_0004.JPG"
  gen "$stage/old.txt" 1000 $((s + 4)) text
  find "$stage" -exec touch -h -d "@$((SOURCE_DATE_EPOCH - 86400))" {} +
  python3 "$GEN" logtree "$LOG" "$stage" /
  rm -f "$img"
  truncate -s $((sectors * 512)) "$img"
  mke2fs -q -F -t ext4 -b 1024 -U "$uuid" -E "hash_seed=$uuid,root_owner=0:0" -L PARTEXT4 -d "$stage" "$img"
  log_cmd "mke2fs -t ext4 -b 1024 -U $uuid -L PARTEXT4 -d STAGE"
  ext_fix_times "$img" "$stage"
  printf 'rm /old.txt\n' >"$WORK/part.cmds"
  ext_debugfs "$img" "$WORK/part.cmds"
  log_del /old.txt
  log_cmd "debugfs: rm /old.txt"
  e2fsck -fn "$img" >"$WORK/fsck.out" 2>&1 || { cat "$WORK/fsck.out" >&2; exit 1; }
}

place() { # place PARTIMG DISK STARTSECTOR
  dd if="$1" of="$2" bs=512 seek="$3" conv=notrunc,sparse status=none
}

# MBR: FAT16 (0x06) and FAT32 (0x0C) primaries, then an extended partition (0x05) with FAT32 (0x0B), ext4 (0x83)
# and exFAT (0x07) logical partitions.
build_mbr_disk() {
  local disk=$WORK/mbr.img spec=$WORK/mbr.parts
  local p1=2048 p2=69632 ext=137216 l5=139264 l6=208896 l7=227328 total=245760
  log_open mbr-p1
  part_fat "$WORK/mbr-p1.img" 16 $FAT16_SECTORS 0A0B0001 MBRFAT16 $p1 8100
  log_open mbr-p2
  part_fat "$WORK/mbr-p2.img" 32 $FAT32_MIN_SECTORS 0A0B0002 MBRFAT32 $p2 8200
  log_open mbr-l5
  part_fat "$WORK/mbr-l5.img" 32 $FAT32_MIN_SECTORS 0A0B0005 LOGFAT32 $l5 8500
  log_open mbr-l6
  part_ext4 "$WORK/mbr-l6.img" 16384 00000000-0000-4000-8000-00000000b006 8600
  log_open mbr-l7
  part_exfat "$WORK/mbr-l7.img" 16384 LOGEXFAT 8700

  log_open mbr
  rm -f "$disk"
  truncate -s $((total * 512)) "$disk"
  cat >"$WORK/mbr.sfdisk" <<EOF
label: dos
label-id: 0x5a1f0001
unit: sectors

start=$p1, size=$FAT16_SECTORS, type=6
start=$p2, size=$FAT32_MIN_SECTORS, type=c
start=$ext, size=$((total - 2048 - ext)), type=5
start=$l5, size=$FAT32_MIN_SECTORS, type=b
start=$l6, size=16384, type=83
start=$l7, size=16384, type=7
EOF
  sfdisk -q "$disk" <"$WORK/mbr.sfdisk"
  log_cmd "sfdisk (dos, label-id 0x5a1f0001): $(grep start= "$WORK/mbr.sfdisk" | tr '\n' ';')"
  place "$WORK/mbr-p1.img" "$disk" $p1
  place "$WORK/mbr-p2.img" "$disk" $p2
  place "$WORK/mbr-l5.img" "$disk" $l5
  place "$WORK/mbr-l6.img" "$disk" $l6
  place "$WORK/mbr-l7.img" "$disk" $l7
  log_cmd "each partition formatted in its own file (mkfs.fat -h START, mke2fs, mkfs.exfat on a loop device) and copied in with dd"
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\n' \
    $p1 $FAT16_SECTORS FAT16 "$WORK/mbr-p1.log" 0x06 "" primary \
    $p2 $FAT32_MIN_SECTORS FAT32 "$WORK/mbr-p2.log" 0x0C "" primary \
    $ext $((total - 2048 - ext)) extended - 0x05 "" primary \
    $l5 $FAT32_MIN_SECTORS FAT32 "$WORK/mbr-l5.log" 0x0B "" logical \
    $l6 16384 ext4 "$WORK/mbr-l6.log" 0x83 "" logical \
    $l7 16384 exFAT "$WORK/mbr-l7.log" 0x07 "" logical >"$spec"
  manifest_disk mbr "$disk" "$spec"
  compress_to "$disk" "$OUT/mbr.img.zst"

  # The same disk without its MBR: only a boot-sector scan finds the volumes.
  cp "$disk" "$WORK/mbr-zeroed.img"
  dd if=/dev/zero of="$WORK/mbr-zeroed.img" bs=512 count=1 conv=notrunc status=none
  log_open mbr-zeroed
  log_cmd "copy of mbr.img with sector 0 zeroed (dd if=/dev/zero bs=512 count=1 conv=notrunc); the EBR chain is intact"
  manifest_disk mbr-zeroed "$WORK/mbr-zeroed.img" "$spec"
  compress_to "$WORK/mbr-zeroed.img" "$OUT/mbr-zeroed.img.zst"
}

# GPT: Microsoft reserved partition, FAT32, exFAT and ext4, each named.
build_gpt_disk() {
  local disk=$WORK/gpt.img spec=$WORK/gpt.parts
  local msr=2048 fat=6144 exf=73728 e4=98304 total=131072
  log_open gpt-p2
  part_fat "$WORK/gpt-p2.img" 32 $FAT32_MIN_SECTORS 0C0D0002 GPTFAT32 $fat 9200
  log_open gpt-p3
  part_exfat "$WORK/gpt-p3.img" 24576 GPTEXFAT 9300
  log_open gpt-p4
  part_ext4 "$WORK/gpt-p4.img" 24576 00000000-0000-4000-8000-00000000c004 9400

  log_open gpt
  rm -f "$disk"
  truncate -s $((total * 512)) "$disk"
  sgdisk -U 5A1F0000-0000-4000-8000-00000000D15C \
    -n 1:$msr:$((fat - 1)) -t 1:0C01 -c 1:"Microsoft reserved partition" -u 1:5A1F0000-0000-4000-8000-000000000001 \
    -n 2:$fat:$((fat + FAT32_MIN_SECTORS - 1)) -t 2:0700 -c 2:"Basic data FAT32" -u 2:5A1F0000-0000-4000-8000-000000000002 \
    -n 3:$exf:$((exf + 24576 - 1)) -t 3:0700 -c 3:"Basic data exFAT" -u 3:5A1F0000-0000-4000-8000-000000000003 \
    -n 4:$e4:$((e4 + 24576 - 1)) -t 4:8300 -c 4:"Linux ext4" -u 4:5A1F0000-0000-4000-8000-000000000004 \
    "$disk" >/dev/null
  log_cmd "sgdisk -U <fixed> -n 1:$msr:+2M -t 1:0C01 -c 1:'Microsoft reserved partition'; -n 2 -t 0700 -c 'Basic data FAT32'; -n 3 -t 0700 -c 'Basic data exFAT'; -n 4 -t 8300 -c 'Linux ext4' (fixed partition GUIDs)"
  place "$WORK/gpt-p2.img" "$disk" $fat
  place "$WORK/gpt-p3.img" "$disk" $exf
  place "$WORK/gpt-p4.img" "$disk" $e4
  log_cmd "partitions formatted in files of their own and copied in with dd; the reserved partition stays zero"
  printf '%s\t%s\t%s\t%s\t%s\t%s\tgpt\n' \
    $msr $((fat - msr)) none - 0C01 "Microsoft reserved partition" \
    $fat $FAT32_MIN_SECTORS FAT32 "$WORK/gpt-p2.log" 0700 "Basic data FAT32" \
    $exf 24576 exFAT "$WORK/gpt-p3.log" 0700 "Basic data exFAT" \
    $e4 24576 ext4 "$WORK/gpt-p4.log" 8300 "Linux ext4" >"$spec"
  manifest_disk gpt "$disk" "$spec"
  compress_to "$disk" "$OUT/gpt.img.zst"
}
