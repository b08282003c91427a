# Volumes whose deleted files have a known fate (sourced by make-fixtures after fixture-fat.sh and fixture-exfat.sh).
#
# Of the deleted files, some keep every unit free, some lose their first unit, some only later ones, some all of
# them. Where each file lay is taken with istat while it is live; after the deletions and the new writes, the
# allocation of those units (blkls -e) gives the verdict, and the bytes still there must agree: a unit that is
# free holds the original bytes, one in use does not. The manifest gets "verdict" and "bytesInUse" per file.

VPY=""
VORIG=""

write_verdict_py() {
  VPY=$WORK/verdict.py
  cat >"$VPY" <<'PYEOF'
import json, math, re, subprocess, sys

TSK = {'FAT32': ['-f', 'fat32'], 'exFAT': ['-f', 'exfat'], 'ext4': ['-f', 'ext4']}

def run(cmd):
    return subprocess.run(cmd, capture_output=True, text=True, errors='replace', check=True).stdout

def fls(fs, raw):
    # path (with a leading '/') -> (inode, deleted)
    out = {}
    for line in run(['fls', '-r', '-p'] + TSK[fs] + [raw]).splitlines():
        m = re.match(r'^\S+ (\* )?(\d+)(?:\(realloc\))?:\t(.*)$', line)
        if m:
            out.setdefault(('/' + m.group(3), bool(m.group(1))), m.group(2))
    return out

def unit_bytes(fs, raw):
    text = run(['fsstat'] + TSK[fs] + [raw])
    key = 'Block Size' if fs == 'ext4' else 'Sector Size'
    return int(re.search(r'^%s: (\d+)' % key, text, re.M).group(1))

def units_of(fs, raw, inode):
    # The units istat lists (sectors on FAT and exFAT, blocks on ext4), and the size it gives.
    text = run(['istat'] + TSK[fs] + [raw, inode])
    size = int(re.search(r'^[Ss]ize: (\d+)', text, re.M).group(1))
    m = re.search(r'^(?:Sectors|Direct Blocks):\n((?:[\d ]+\n)*)', text, re.M)
    units = [int(u) for u in m.group(1).split()] if m else []
    return size, [u for u in units if u]

def snap(fs, raw, out, paths):
    live = fls(fs, raw)
    ub = unit_bytes(fs, raw)
    res = {'unit': ub, 'files': {}}
    for p in paths:
        size, units = units_of(fs, raw, live[(p, False)])
        need = math.ceil(size / ub)
        assert len(units) >= need, (p, size, units)
        res['files'][p] = {'size': size, 'units': units[:need], 'inode': int(live[(p, False)])}
    json.dump(res, open(out, 'w'), indent=1)

def truth(fs, raw, snapfile, origdir, manifest):
    s = json.load(open(snapfile))
    ub = s['unit']
    alloc = {}
    for line in run(['blkls', '-l', '-e'] + TSK[fs] + [raw]).splitlines():
        a, _, flag = line.partition('|')
        if a.isdigit():
            alloc[int(a)] = flag == 'a'
    listed = fls(fs, raw)
    data = open(raw, 'rb').read()
    m = json.load(open(manifest, encoding='utf-8'))
    byPath = {f['path']: f for f in m['files']}
    for p, f in s['files'].items():
        orig = open(origdir + p, 'rb').read()
        assert len(orig) == f['size'], p
        inode = listed.get((p, True))
        # Linux wipes a removed ext4 entry's name: fls finds only the inode, among its orphans.
        wiped = not inode and ('/$OrphanFiles/OrphanFile-%d' % f['inode'], True) in listed
        if wiped:
            inode = str(f['inode'])
        assert inode, p + ' is not listed as deleted'
        assert fs != 'ext4' or int(inode) == f['inode'], p + ': its inode was used again'
        dsize, dunits = units_of(fs, raw, inode)
        inUse, differs = [], []
        for i, u in enumerate(f['units']):
            piece = orig[i * ub:(i + 1) * ub]
            inUse.append(alloc[u])
            differs.append(data[u * ub:u * ub + len(piece)] != piece)
        # A unit in use was written with other bytes; a free one still holds the file's.
        assert inUse == differs, (p, inUse, differs)
        used = sum(min(ub, f['size'] - i * ub) for i, b in enumerate(inUse) if b)
        # ext4 as the kernel removes: no extents and size 0 left on the inode.
        cleared = fs == 'ext4' and f['units'] and not dunits
        if cleared:
            assert dsize == 0, p
            verdict = 'overwritten'
        elif not any(inUse):
            verdict = 'recoverable'
        elif inUse[0] or all(inUse):
            verdict = 'overwritten'
        else:
            verdict = 'partial'
        e = byPath[p]
        assert e['deleted'] and e['sha256'], p
        e['verdict'] = verdict
        e['bytesInUse'] = used
        if cleared:
            e['mapCleared'] = True
        if wiped:
            e['nameWiped'] = True
            e['inode'] = f['inode']
        print('%-12s %-45s %3d units, %2d in use, %6d bytes in use%s%s' %
              (verdict, p, len(inUse), sum(inUse), used, ' (map cleared)' if cleared else '',
               ' (name wiped)' if wiped else ''))
    for e in m['files']:
        if not e['deleted']:
            assert (e['path'], False) in listed, e['path']
            e['verdict'] = 'intact'
        assert 'verdict' in e, e['path'] + ': deleted without a verdict'
    with open(manifest, 'w', encoding='utf-8') as f:
        json.dump(m, f, ensure_ascii=False, indent=1)
        f.write('\n')

def cluster(fs, raw, snapfile, path, index):
    # The cluster number of a file's INDEX-th cluster (FAT32 with one sector per cluster).
    s = json.load(open(snapfile))
    boot = open(raw, 'rb').read(512)
    reserved = int.from_bytes(boot[14:16], 'little')
    fats = boot[16]
    fatsz = int.from_bytes(boot[36:40], 'little')
    assert boot[13] == 1
    print(s['files'][path]['units'][index] - (reserved + fats * fatsz) + 2)

op, a = sys.argv[1], sys.argv[2:]
if op == 'snap':
    snap(a[0], a[1], a[2], a[3:])
elif op == 'truth':
    truth(*a)
elif op == 'expect':  # manifest PATH=VERDICT...: what the steps were meant to leave
    m = {f['path']: f.get('verdict') for f in json.load(open(a[0], encoding='utf-8'))['files']}
    for pv in a[1:]:
        p, _, v = pv.rpartition('=')
        if m.get(p) != v:
            sys.exit('%s: %s came out %s, not %s' % (a[0], p, m.get(p), v))
elif op == 'cluster':
    cluster(a[0], a[1], a[2], a[3], int(a[4]))
else:
    sys.exit('unknown op ' + op)
PYEOF
}

v_expect() { # v_expect NAME PATH=VERDICT...
  local name=$1
  shift
  python3 "$VPY" expect "$OUT/$name.manifest.json" "$@"
}

# Keeps what was written, for the byte comparison after the deletions.
v_keep() { mkdir -p "$(dirname "$VORIG$1")"; cp "$2" "$VORIG$1"; }

# ---- FAT32 through mtools ---------------------------------------------------------------------------------------

vf_put() { # vf_put PATH SIZE SEED [kind]
  fat_put "$@"
  v_keep "$1" "$WORK/put.tmp"
}

# mtools starts looking for free clusters after the one FSInfo names as the last allocated (its "next free" field).
vf_point_at() { # vf_point_at IMAGE CLUSTER
  python3 -c 'import sys
with open(sys.argv[1], "r+b") as f:
    f.seek(512 + 492)
    f.write((int(sys.argv[2]) - 1).to_bytes(4, "little"))' "$1" "$2"
}

build_verdict_fat() {
  local name=fat32-verdict img=$WORK/fat32-verdict.img snap=$WORK/fat32-verdict.snap s=8800 c
  log_open "$name"
  VORIG=$WORK/orig-$name
  rm -rf "$VORIG"
  MT="$img@@0"
  mkfs_fat "$img" 32 $FAT32_MIN_SECTORS 32320888 VERDICT32
  local d
  for d in /Live /Docs /New; do fat_md "$d"; done
  vf_put /Live/notes.txt 1500 $((s + 1)) text
  vf_put "/Live/Budget 2023.bin" 5000 $((s + 2))
  fat_put_file /Live/photo.jpg "$ASSETS/photo4.jpg"
  # Contiguous on a fresh volume, one after the other; long names, so fls gives deleted names whole.
  vf_put "/Docs/All taken.bin" $((8 * 512)) $((s + 10))
  vf_put "/Docs/Head taken.bin" $((12 * 512 - 40)) $((s + 11))
  vf_put "/Docs/Tail taken.bin" $((16 * 512 - 7)) $((s + 12))
  vf_put /Live/spacer.txt 700 $((s + 3)) text
  vf_put "/Docs/Middle taken.bin" $((10 * 512)) $((s + 13))
  vf_put "/Docs/Head under a folder.bin" $((6 * 512 + 1)) $((s + 14))
  vf_put "/Docs/Kept whole.bin" $((20 * 512 - 100)) $((s + 15))
  vf_put "/Docs/Small kept.txt" 300 $((s + 16)) text
  vf_put /Live/last.txt 900 $((s + 4)) text
  local del=("/Docs/All taken.bin" "/Docs/Head taken.bin" "/Docs/Tail taken.bin" "/Docs/Middle taken.bin"
    "/Docs/Head under a folder.bin" "/Docs/Kept whole.bin" "/Docs/Small kept.txt")
  python3 "$VPY" snap FAT32 "$img" "$snap" "${del[@]}"
  for d in "${del[@]}"; do fat_del "$d"; done

  # New files go to /New (mtools reuses freed slots in /Docs), each where the FSInfo hint points.
  c=$(python3 "$VPY" cluster FAT32 "$img" "$snap" "/Docs/All taken.bin" 0)
  vf_point_at "$img" "$c"
  vf_put /New/WHOLE.BIN $((8 * 512)) $((s + 20))
  c=$(python3 "$VPY" cluster FAT32 "$img" "$snap" "/Docs/Head taken.bin" 0)
  vf_point_at "$img" "$c"
  vf_put /New/HEAD.BIN 1000 $((s + 21))
  c=$(python3 "$VPY" cluster FAT32 "$img" "$snap" "/Docs/Tail taken.bin" 10)
  vf_point_at "$img" "$c"
  vf_put /New/TAIL.BIN $((6 * 512)) $((s + 22))
  c=$(python3 "$VPY" cluster FAT32 "$img" "$snap" "/Docs/Middle taken.bin" 4)
  vf_point_at "$img" "$c"
  vf_put /New/MIDDLE.BIN 1024 $((s + 23))
  c=$(python3 "$VPY" cluster FAT32 "$img" "$snap" "/Docs/Head under a folder.bin" 0)
  vf_point_at "$img" "$c"
  fat_md /New/SUB
  log_cmd "mdel the 7 files of /Docs; the FSInfo next-free hint pointed at a deleted file's cluster before each write to /New: WHOLE.BIN over all of 'All taken.bin', HEAD.BIN over the first 2 clusters of 'Head taken.bin', TAIL.BIN over clusters 10-15 of 'Tail taken.bin', MIDDLE.BIN over clusters 4-5 of 'Middle taken.bin', the folder /New/SUB over the first cluster of 'Head under a folder.bin'"
  fat_finish "$img" 32
  manifest_volume "$name" FAT32 "$img"
  python3 "$VPY" truth FAT32 "$img" "$snap" "$VORIG" "$OUT/$name.manifest.json"
  v_expect "$name" "/Docs/All taken.bin=overwritten" "/Docs/Head taken.bin=overwritten" \
    "/Docs/Tail taken.bin=partial" "/Docs/Middle taken.bin=partial" "/Docs/Head under a folder.bin=overwritten" \
    "/Docs/Kept whole.bin=recoverable" "/Docs/Small kept.txt=recoverable"
  compress_to "$img" "$OUT/$name.img.zst"
}

# ---- exFAT through the FUSE driver ------------------------------------------------------------------------------

vx_put() { # vx_put PATH SIZE SEED [kind]
  ex_put "$@"
  v_keep "$1" "$WORK/put.tmp"
}

build_verdict_exfat() {
  local name=exfat-verdict img=$WORK/exfat-verdict.img snap=$WORK/exfat-verdict.snap s=8900 dev
  log_open "$name"
  VORIG=$WORK/orig-$name
  rm -rf "$VORIG"
  rm -f "$img"
  truncate -s $((8 * 1048576)) "$img"
  dev=$(loop_attach "$img")
  exfat_mkfs_mount "$dev" VERDICTX
  local d
  for d in /Live /Docs /New; do ex_md "$d"; done
  vx_put /Live/notes.txt 1500 $((s + 1)) text
  vx_put "/Live/Budget 2023.bin" 5000 $((s + 2))
  ex_put_file /Live/photo.jpg "$ASSETS/photo4.jpg"
  # The driver gives a new file the lowest free cluster and goes on upwards, so the holes fill in disk order.
  vx_put "/Docs/All taken.bin" $((3 * 4096)) $((s + 10))
  vx_put "/Docs/Tail taken.bin" $((6 * 4096 - 9)) $((s + 11))
  vx_put /Live/spacer.txt 700 $((s + 3)) text
  vx_put "/Docs/Head under a folder.bin" $((5 * 4096 + 3)) $((s + 12))
  vx_put /Live/spacer2.txt 800 $((s + 4)) text
  vx_put "/Docs/Kept whole.bin" $((7 * 4096 - 100)) $((s + 13))
  vx_put "/Docs/Small kept.txt" 300 $((s + 14)) text
  vx_put /Live/last.txt 900 $((s + 5)) text
  exfat_umount
  local del=("/Docs/All taken.bin" "/Docs/Tail taken.bin" "/Docs/Head under a folder.bin" "/Docs/Kept whole.bin"
    "/Docs/Small kept.txt")
  python3 "$VPY" snap exFAT "$img" "$snap" "${del[@]}"
  frozen mount.exfat-fuse -o noatime "$dev" "$MNT" >/dev/null 2>&1
  MOUNTS+=("$MNT")
  for d in "${del[@]}"; do ex_rm "$d"; done
  sync
  # New files go to /New (the driver reuses freed entries in /Docs).
  vx_put /New/whole.bin $((3 * 4096)) $((s + 20))
  # The first two clusters of "Tail taken.bin" are held by a copy of its own first 8 KiB while tail.bin takes the
  # other four; the copy is removed after, so those two clusters are free and hold the file's bytes.
  head -c 8192 "$VORIG/Docs/Tail taken.bin" >"$WORK/head.tmp"
  ex_put_file /New/holder.bin "$WORK/head.tmp"
  v_keep /New/holder.bin "$WORK/head.tmp"
  sync
  vx_put /New/tail.bin $((4 * 4096)) $((s + 21))
  sync
  ex_md /New/Sub
  exfat_umount
  python3 "$VPY" snap exFAT "$img" "$WORK/exfat-holder.snap" /New/holder.bin
  frozen mount.exfat-fuse -o noatime "$dev" "$MNT" >/dev/null 2>&1
  MOUNTS+=("$MNT")
  ex_rm /New/holder.bin
  log_cmd "rm the 5 files of /Docs; write /New/whole.bin (over 'All taken.bin'), /New/holder.bin (a copy of the first 8 KiB of 'Tail taken.bin', over them), /New/tail.bin (over its last 4 clusters), mkdir /New/Sub (over the first cluster of 'Head under a folder.bin'); rm /New/holder.bin"
  exfat_umount
  loop_detach "$dev"
  fsck.exfat -n "$img" >"$WORK/fsck.out" 2>&1 || { cat "$WORK/fsck.out" >&2; exit 1; }
  manifest_volume "$name" exFAT "$img"
  python3 - "$snap" "$WORK/exfat-holder.snap" <<'EOF'
import json, sys
s, h = json.load(open(sys.argv[1])), json.load(open(sys.argv[2]))
assert h['files']['/New/holder.bin']['units'] == s['files']['/Docs/Tail taken.bin']['units'][:16], 'holder.bin is elsewhere'
s['files'].update(h['files'])
json.dump(s, open(sys.argv[1], 'w'), indent=1)
EOF
  python3 "$VPY" truth exFAT "$img" "$snap" "$VORIG" "$OUT/$name.manifest.json"
  v_expect "$name" "/Docs/All taken.bin=overwritten" "/Docs/Tail taken.bin=partial" \
    "/Docs/Head under a folder.bin=overwritten" "/Docs/Kept whole.bin=recoverable" "/Docs/Small kept.txt=recoverable" \
    /New/holder.bin=recoverable
  compress_to "$img" "$OUT/$name.img.zst"
}

# ---- ext4 through mke2fs -d, the kernel and debugfs --------------------------------------------------------------

build_verdict_ext4() {
  local name=ext4-verdict img=$WORK/ext4-verdict.img snap=$WORK/ext4-verdict.snap s=9000 stage=$WORK/stage-verdict
  local uuid=00000000-0000-4000-8000-0000000e0777 bs=4096 cmds=$WORK/ext4-verdict.cmds d f i
  log_open "$name"
  VORIG=$WORK/orig-$name
  rm -rf "$VORIG" "$stage"
  mkdir -p "$stage/live/deeper" "$stage/docs" "$stage/new"
  gen "$stage/live/notes.txt" 1500 $((s + 1)) text
  gen "$stage/live/report.txt" 2600 $((s + 3)) text
  gen "$stage/live/deeper/inner.bin" 9000 $((s + 4))
  gen "$stage/live/budget.bin" 5000 $((s + 2))
  cp "$ASSETS/photo4.jpg" "$stage/live/photo.jpg"
  find "$stage" -exec touch -h -d "@$((SOURCE_DATE_EPOCH - 86400))" {} +
  python3 "$GEN" logtree "$LOG" "$stage" /
  rm -f "$img"
  truncate -s $((8 * 1048576)) "$img"
  # No journal: the kernel's one mount would leave transactions stamped with the wall clock.
  mke2fs -q -F -t ext4 -b $bs -O ^has_journal -U "$uuid" -E "hash_seed=$uuid,root_owner=0:0" -L EXT4-VERDICT \
    -d "$stage" "$img"
  log_cmd "truncate -s 8M; mke2fs -t ext4 -b $bs -O ^has_journal -U $uuid -E hash_seed=$uuid -L EXT4-VERDICT -d STAGE"
  ext_fix_times "$img" "$stage"

  # debugfs takes the lowest free blocks, so files written one after the other lie in that order.
  local del=(/docs/all_taken.bin /docs/tail_taken.bin /docs/head_under_a_folder.bin /docs/kept_whole.bin
    /docs/small_kept.txt /docs/kernel_removed.bin)
  local sizes=($((3 * bs)) $((6 * bs - 9)) $((5 * bs + 3)) $((7 * bs - 100)) 300 $((4 * bs + 11)))
  : >"$cmds"
  for i in "${!del[@]}"; do
    f=$VORIG${del[$i]}
    mkdir -p "$(dirname "$f")"
    gen "$f" "${sizes[$i]}" $((s + 10 + i)) "$([[ $f == *.txt ]] && echo text || echo bin)"
    echo "write $f ${del[$i]}" >>"$cmds"
  done
  ext_debugfs "$img" "$cmds"
  for f in "${del[@]}"; do log_file "$f" "$VORIG$f"; done
  log_cmd "debugfs: write ${del[*]}"
  python3 "$VPY" snap ext4 "$img" "$snap" "${del[@]}"

  # The kernel's removal: its blocks go back to the bitmap and the inode keeps neither extents nor size.
  local mnt=$WORK/mnt-ext4 ino
  ino=$(debugfs -R "stat /docs/kernel_removed.bin" "$img" 2>/dev/null | sed -n 's/^Inode: *\([0-9]*\).*/\1/p')
  mkdir -p "$mnt"
  mount -o loop,noatime,noinit_itable "$img" "$mnt"
  MOUNTS+=("$mnt")
  rm "$mnt/docs/kernel_removed.bin"
  umount "$mnt"
  unset 'MOUNTS[-1]'
  log_del /docs/kernel_removed.bin
  log_cmd "mount (Linux ext4), rm /docs/kernel_removed.bin, umount; its times and the mount fields set back with debugfs"
  {
    echo "sif <$ino> dtime $SOURCE_DATE_EPOCH"
    for f in "<$ino>" /docs; do
      for d in mtime ctime; do echo "sif $f $d $SOURCE_DATE_EPOCH"; echo "sif $f ${d}_extra 0"; done
    done
    echo "ssv mtime $SOURCE_DATE_EPOCH"
    echo "ssv wtime $SOURCE_DATE_EPOCH"
    echo "ssv mnt_count 0"
    echo "ssv kbytes_written 0"
    echo "ssv last_mounted \"\""
  } >"$cmds"
  ext_debugfs "$img" "$cmds"

  # debugfs removes as e2fsprogs does: blocks freed, extents and size left. The holes fill in disk order; setb
  # keeps the first two blocks of tail_taken.bin from tail.bin and the folder, freeb gives them back unwritten.
  # debugfs would also give the new files the removed files' inodes: seti holds them, freei frees them after.
  local tb inodes
  tb=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["files"]["/docs/tail_taken.bin"]["units"][0])' "$snap")
  inodes=$(python3 -c 'import json,sys; print(" ".join("<%d>" % f["inode"] for f in json.load(open(sys.argv[1]))["files"].values()))' "$snap")
  mkdir -p "$VORIG/new"
  gen "$VORIG/new/whole.bin" $((3 * bs)) $((s + 20))
  gen "$VORIG/new/tail.bin" $((4 * bs)) $((s + 21))
  {
    for f in "${del[@]:0:5}"; do echo "rm $f"; done
    for i in $inodes; do echo "seti $i"; done
    echo "write $VORIG/new/whole.bin /new/whole.bin"
    echo "setb $tb 2"
    echo "write $VORIG/new/tail.bin /new/tail.bin"
    echo "mkdir /new/sub"
    echo "freeb $tb 2"
    for i in $inodes; do echo "freei $i"; done
  } >"$cmds"
  ext_debugfs "$img" "$cmds"
  for d in "${del[@]:0:5}"; do log_del "$d"; done
  log_file /new/whole.bin "$VORIG/new/whole.bin"
  log_file /new/tail.bin "$VORIG/new/tail.bin"
  log_dir /new/sub
  log_cmd "debugfs: rm the other 5 files of /docs; write /new/whole.bin (over all_taken.bin); setb the first 2 blocks of tail_taken.bin, write /new/tail.bin (over its last 4), mkdir /new/sub (over the first block of head_under_a_folder.bin), freeb those 2 blocks; the removed files' inodes held with seti meanwhile and freed with freei"
  e2fsck -fn "$img" >"$WORK/fsck.out" 2>&1 || { cat "$WORK/fsck.out" >&2; exit 1; }
  manifest_volume "$name" ext4 "$img"
  python3 "$VPY" truth ext4 "$img" "$snap" "$VORIG" "$OUT/$name.manifest.json"
  v_expect "$name" /docs/all_taken.bin=overwritten /docs/tail_taken.bin=partial \
    /docs/head_under_a_folder.bin=overwritten /docs/kept_whole.bin=recoverable /docs/small_kept.txt=recoverable \
    /docs/kernel_removed.bin=overwritten
  compress_to "$img" "$OUT/$name.img.zst"
}

build_verdict_all() {
  write_verdict_py
  build_verdict_fat
  build_verdict_exfat
  build_verdict_ext4
}
