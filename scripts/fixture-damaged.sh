# Damaged volumes for the advanced runs (sourced by make-fixtures): the manifest is the truth read before the
# damage (files, fls, fsstat); "damage" says what was done after it.

# damage_note NAME IMAGE TEXT: the manifest takes the damaged image's hash and the note.
damage_note() {
  python3 - "$OUT/$1.manifest.json" "$2" "$3" <<'PY'
import hashlib, json, sys
path, raw, text = sys.argv[1:]
m = json.load(open(path, encoding='utf-8'))
m['sha256_raw'] = hashlib.sha256(open(raw, 'rb').read()).hexdigest()
m['damage'] = text
json.dump(m, open(path, 'w', encoding='utf-8'), ensure_ascii=False, indent=1)
PY
}

# build_exfat_damaged NAME CLUSTER [MIB]: early files deleted (the bitmap opens with free clusters), then the
# boot region and its backup (sectors 0-23) zeroed.
build_exfat_damaged() {
  local name=$1 cluster=$2 mib=${3:-64} img dev
  img=$WORK/$name.img
  log_open "$name"
  rm -f "$img"
  truncate -s $((mib * 1048576)) "$img"
  dev=$(loop_attach "$img")
  frozen mkfs.exfat -c "$cluster" -L DAMAGED "$dev" >/dev/null
  log_cmd "mkfs.exfat -c $cluster -L DAMAGED; mount.exfat-fuse on a loop device"
  MNT=$WORK/mnt
  mkdir -p "$MNT"
  frozen mount.exfat-fuse -o noatime "$dev" "$MNT" >/dev/null 2>&1
  MOUNTS+=("$MNT")
  ex_put /first.bin 9000 7001
  ex_put /second.bin 30000 7002
  exfat_populate 7000 0
  sync
  ex_rm /first.bin
  exfat_umount
  loop_detach "$dev"
  manifest_volume "$name" exFAT "$img"
  dd if=/dev/zero of="$img" bs=512 count=24 conv=notrunc status=none
  damage_note "$name" "$img" "sectors 0-23 (the boot region and its backup) zeroed"
  compress_to "$img" "$OUT/$name.img.zst"
}

# build_fat_noboot BITS: the bare FAT fixture with its boot sector (and FAT32's backup, sector 6) zeroed.
build_fat_noboot() {
  local bits=$1 name=fat$1-noboot img
  img=$WORK/$name.img
  zstd -d -q -f -o "$img" "$OUT/fat$bits.img.zst"
  python3 - "$OUT/fat$bits.manifest.json" "$OUT/$name.manifest.json" "$name" <<'PY'
import json, sys
m = json.load(open(sys.argv[1], encoding='utf-8'))
m['image'] = sys.argv[3] + '.img.zst'
json.dump(m, open(sys.argv[2], 'w', encoding='utf-8'), ensure_ascii=False, indent=1)
PY
  dd if=/dev/zero of="$img" bs=512 count=1 conv=notrunc status=none
  [[ $bits == 32 ]] && dd if=/dev/zero of="$img" bs=512 seek=6 count=1 conv=notrunc status=none
  damage_note "$name" "$img" "fat$bits.img with the boot sector zeroed$([[ $bits == 32 ]] && echo ' (and its backup, sector 6)')"
  compress_to "$img" "$OUT/$name.img.zst"
}

# A FAT32 volume filled through mtools, then formatted again by mkfs.fat (a quick format: new FATs and root,
# the data area left as it was).
build_fat32_quickformat() {
  local name=fat32-quickformat img
  img=$WORK/$name.img
  log_open "$name"
  MT="$img@@0"
  mkfs_fat "$img" 32 131072 51515151 QUICKFMT
  fat_populate_full 5100
  fat_populate_deletions 5100
  fat_finish "$img" 32
  manifest_volume "$name" FAT32 "$img"
  frozen mkfs.fat -F 32 -s 1 -i 52525252 -n FORMATTED "$img" >/dev/null
  damage_note "$name" "$img" "mkfs.fat -F 32 -s 1 -i 52525252 -n FORMATTED over the populated volume (a quick format)"
  compress_to "$img" "$OUT/$name.img.zst"
}

build_damaged_all() {
  build_exfat_damaged exfat-4k-noboot 4K
  build_exfat_damaged exfat-32k-noboot 32K
  build_exfat_damaged exfat-1m-noboot 1M 256  # each of its 150 files and folders takes a cluster
  build_fat_noboot 16
  build_fat_noboot 32
  build_fat32_quickformat
}
