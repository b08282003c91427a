# ext2, ext3 and ext4 volumes through mke2fs -d and debugfs (sourced by make-fixtures).

# ext_stage DIR SEED BLOCKBYTES: the staged tree that mke2fs -d copies in.
ext_stage() {
  local d=$1 s=$2 bs=$3
  rm -rf "$d"
  mkdir -p "$d/docs" "$d/a/b/c/d" "$d/sizes" "$d/photos" "$d/links" "$d/old/sub" "$d/special"
  gen "$d/docs/readme.txt" 1800 $((s + 1)) text
  gen "$d/docs/Readme.txt" 700 $((s + 2)) text
  gen "$d/docs/README.txt" 701 $((s + 3)) text
  gen "$d/docs/Café Menü.txt" 800 $((s + 4)) text
  gen "$d/docs/日本語のファイル.txt" 1500 $((s + 5)) text
  gen "$d/a/b/c/d/deep.txt" 2500 $((s + 6)) text
  gen "$d/sizes/empty.dat" 0 $((s + 10))
  gen "$d/sizes/one.bin" 1 $((s + 11))
  gen "$d/sizes/s511.bin" 511 $((s + 12))
  gen "$d/sizes/s512.bin" 512 $((s + 13))
  gen "$d/sizes/s4097.bin" 4097 $((s + 14))
  gen "$d/sizes/ten_thousand.bin" 10000 $((s + 15))
  gen "$d/sizes/thirteen_blocks.bin" $((13 * bs + 100)) $((s + 16))
  # Past 12 direct and one block of indirect pointers: needs the double-indirect block on block-mapped volumes.
  gen "$d/sizes/double_indirect.bin" $(((12 + bs / 4 + 40) * bs + 123)) $((s + 17))
  cp "$ASSETS/photo1.jpg" "$d/photos/IMG_0001.JPG"
  cp "$ASSETS/logo.png" "$d/photos/logo.png"
  cp "$ASSETS/minutes.odt" "$d/docs/minutes.odt"
  # A sparse file: data at 0, 300 KiB and 900 KiB of a 1 MiB file.
  truncate -s 1048576 "$d/sizes/sparse.bin"
  gen "$WORK/sp" 4096 $((s + 18))
  dd if="$WORK/sp" of="$d/sizes/sparse.bin" bs=1024 seek=0 conv=notrunc status=none
  dd if="$WORK/sp" of="$d/sizes/sparse.bin" bs=1024 seek=300 conv=notrunc status=none
  dd if="$WORK/sp" of="$d/sizes/sparse.bin" bs=1024 seek=900 conv=notrunc status=none
  ln -s ../docs/readme.txt "$d/links/fast_link"
  ln -s "../a/b/c/d/deep.txt/../../../../../docs/this/is/a/slow/symlink/with/a/target/longer/than/sixty/bytes" \
    "$d/links/slow_link"
  ln "$d/docs/readme.txt" "$d/links/hard_link.txt"
  mkfifo "$d/special/fifo"
  gen "$d/old/gone.txt" 3000 $((s + 20)) text
  gen "$d/old/sub/gone2.bin" $((5 * bs + 10)) $((s + 21))
  gen "$d/docs/deleted.bin" $((20 * bs)) $((s + 22))
  gen "$d/docs/Deleted with a longer name.txt" 1200 $((s + 23)) text
  find "$d" -exec touch -h -d "@$((SOURCE_DATE_EPOCH - 86400))" {} +
}

# Small files and folders that an inline_data volume keeps in their inodes: within the block map's 60 bytes,
# and past them (continued in the inode's "system.data" attribute).
ext_stage_inline() {
  local d=$1 s=$2
  mkdir -p "$d/inline/small dir"
  gen "$d/inline/tiny.txt" 20 $((s + 30)) text
  gen "$d/inline/ninety.bin" 90 $((s + 31))
  gen "$d/inline/small dir/one.txt" 1 $((s + 32)) text
  find "$d/inline" -exec touch -h -d "@$((SOURCE_DATE_EPOCH - 86400))" {} +
}

# Runs a debugfs command file against IMAGE (read-write) and fails on errors it prints.
ext_debugfs() {
  local img=$1 cmds=$2
  debugfs -w -f "$cmds" "$img" >"$WORK/debugfs.out" 2>&1
  if grep -E "^debugfs: .*: (File not found|.*error|.*Could not)" "$WORK/debugfs.out" >&2; then
    echo "debugfs reported an error on $img" >&2
    exit 1
  fi
}

# Setting ctime and crtime of every inode: mke2fs -d copies them from the staged files, which are "now".
ext_fix_times() {
  local img=$1 stage=$2 cmds=$WORK/times.cmds p
  : >"$cmds"
  echo "sif / ctime @$SOURCE_DATE_EPOCH" >>"$cmds"
  while IFS= read -r p; do
    p=${p#.}
    echo "sif \"$p\" ctime @$((SOURCE_DATE_EPOCH - 86400))" >>"$cmds"
    echo "sif \"$p\" crtime @$((SOURCE_DATE_EPOCH - 86400))" >>"$cmds"
    echo "sif \"$p\" atime @$((SOURCE_DATE_EPOCH - 86400))" >>"$cmds"
  done < <(cd "$stage" && find . -mindepth 1 | LC_ALL=C sort)
  debugfs -w -f "$cmds" "$img" >/dev/null 2>&1
}

# build_ext NAME TYPE MIB BLOCK UUID EXTRA-MKE2FS-OPTIONS...
build_ext() {
  local name=$1 type=$2 mib=$3 bs=$4 uuid=$5
  shift 5
  local img=$WORK/$name.img stage=$WORK/stage-$name s
  s=$((7000 + ${#name} * 100 + mib))
  log_open "$name"
  ext_stage "$stage" "$s" "$bs"
  [[ $name != *inline* ]] || ext_stage_inline "$stage" "$s"
  python3 "$GEN" logtree "$LOG" "$stage" /
  rm -f "$img"
  truncate -s $((mib * 1048576)) "$img"
  mke2fs -q -F -t "$type" -b "$bs" -U "$uuid" -E "hash_seed=$uuid,root_owner=0:0" -L "${name^^}" "$@" \
    -d "$stage" "$img"
  log_cmd "truncate -s ${mib}M; mke2fs -t $type -b $bs -U $uuid -E hash_seed=$uuid -L ${name^^} $* -d STAGE"
  ext_fix_times "$img" "$stage"

  # A fragmented file: one-block files with every other one removed, then a file that has to fill the holes
  # (on ext4 it needs more extents than the inode holds, so its extent tree gets a level).
  local cmds=$WORK/$name.cmds i
  : >"$cmds"
  echo "mkdir /frag" >>"$cmds"
  echo "cd /frag" >>"$cmds"
  for i in $(seq 0 23); do
    gen "$WORK/one$i" "$bs" $((s + 300 + i))
    echo "write $WORK/one$i $(printf 'piece%02d.bin' "$i")" >>"$cmds"
  done
  for i in $(seq 1 2 23); do echo "rm $(printf 'piece%02d.bin' "$i")" >>"$cmds"; done
  gen "$WORK/frag" $((12 * bs + 77)) $((s + 350))
  echo "write $WORK/frag fragmented.bin" >>"$cmds"
  ext_debugfs "$img" "$cmds"
  log_dir /frag
  for i in $(seq 0 23); do log_file "$(printf '/frag/piece%02d.bin' "$i")" "$WORK/one$i"; done
  for i in $(seq 1 2 23); do log_del "$(printf '/frag/piece%02d.bin' "$i")"; done
  log_file /frag/fragmented.bin "$WORK/frag"
  log_cmd "debugfs: mkdir /frag, write 24 one-block files, rm every other one, write fragmented.bin (12 blocks + 77 bytes)"

  # Deletions: single files, then a whole folder (files first, rmdir last).
  : >"$cmds"
  for p in /docs/deleted.bin "/docs/Deleted with a longer name.txt" /old/sub/gone2.bin /old/gone.txt; do
    echo "rm \"$p\"" >>"$cmds"
    log_del "$p"
  done
  echo "rmdir /old/sub" >>"$cmds"
  echo "rmdir /old" >>"$cmds"
  log_del /old
  ext_debugfs "$img" "$cmds"
  log_cmd "debugfs: rm /docs/deleted.bin, rm '/docs/Deleted with a longer name.txt', rm /old/sub/gone2.bin, rm /old/gone.txt, rmdir /old/sub, rmdir /old"

  e2fsck -fn "$img" >"$WORK/fsck.out" 2>&1 || { cat "$WORK/fsck.out" >&2; exit 1; }
  if [[ $type == ext4 ]]; then
    debugfs -R "ex /frag/fragmented.bin" "$img" 2>/dev/null >"$WORK/$name.extents"
    if ! grep -q "^ *0/ *1" "$WORK/$name.extents"; then
      cat "$WORK/$name.extents" >&2
      echo "fragmented.bin on $name has no extent tree of depth 1" >&2
      exit 1
    fi
  fi
  manifest_volume "$name" "$type" "$img"
  compress_to "$img" "$OUT/$name.img.zst"
}

build_ext_all() {
  build_ext ext2 ext2 8 1024 00000000-0000-4000-8000-0000000e0002
  build_ext ext3 ext3 16 4096 00000000-0000-4000-8000-0000000e0003
  build_ext ext4 ext4 16 4096 00000000-0000-4000-8000-0000000e0004 -O ^64bit
  # Several block groups and 64-byte group descriptors.
  build_ext ext4-64bit ext4 32 1024 00000000-0000-4000-8000-0000000e0064 -O 64bit -g 8192 -N 2048
  build_ext_inline
  build_ext_metabg
}

# Descriptor blocks spread over the volume (meta_bg): the groups past the first 16 are described by a block at
# the start of group 16, not by the table after the superblock.
build_ext_metabg() {
  local name=ext4-metabg img=$WORK/ext4-metabg.img stage=$WORK/stage-metabg d f ino ipg
  local uuid=00000000-0000-4000-8000-0000000e00b6
  log_open "$name"
  rm -rf "$stage"
  mkdir -p "$stage"
  for d in $(seq 0 79); do
    mkdir -p "$stage/dir$d"
    for f in 0 1 2; do gen "$stage/dir$d/f$f.txt" $((100 + d * 3 + f)) $((9000 + d * 3 + f)) text; done
  done
  find "$stage" -exec touch -h -d "@$((SOURCE_DATE_EPOCH - 86400))" {} +
  python3 "$GEN" logtree "$LOG" "$stage" /
  rm -f "$img"
  truncate -s 42M "$img"
  mke2fs -q -F -t ext4 -b 1024 -g 2048 -N 336 -O meta_bg,^resize_inode -U "$uuid" \
    -E "hash_seed=$uuid,root_owner=0:0" -L EXT4-METABG -d "$stage" "$img"
  log_cmd "truncate -s 42M; mke2fs -t ext4 -b 1024 -g 2048 -N 336 -O meta_bg,^resize_inode -U $uuid -d STAGE (80 folders of 3 files)"
  ext_fix_times "$img" "$stage"
  # Removals in groups the second descriptor block describes.
  printf 'rm /dir79/f2.txt\nrm /dir70/f0.txt\n' >"$WORK/$name.cmds"
  ext_debugfs "$img" "$WORK/$name.cmds"
  log_del /dir79/f2.txt
  log_del /dir70/f0.txt
  log_cmd "debugfs: rm /dir79/f2.txt, rm /dir70/f0.txt"
  e2fsck -fn "$img" >"$WORK/fsck.out" 2>&1 || { cat "$WORK/fsck.out" >&2; exit 1; }
  ipg=$(dumpe2fs -h "$img" 2>/dev/null | awk '/^Inodes per group:/ {print $4}')
  ino=$(debugfs -R "stat /dir79/f1.txt" "$img" 2>/dev/null | sed -n 's/^Inode: *\([0-9]*\).*/\1/p')
  if (((ino - 1) / ipg < 16)); then
    echo "$name: the last file (inode $ino) is not in a group of the second descriptor block" >&2
    exit 1
  fi
  manifest_volume "$name" ext4 "$img"
  compress_to "$img" "$OUT/$name.img.zst"
}

# Files and folders inside their inodes.
build_ext_inline() {
  build_ext ext4-inline ext4 16 4096 00000000-0000-4000-8000-0000000e0016 -O ^64bit,inline_data
}
