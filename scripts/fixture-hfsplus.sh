# HFS+ images (sourced by make-fixtures). xorriso makes an ISO whose HFS+ volume lies inside it at an offset;
# hfsplus.py takes that volume out and rebuilds its catalog by byte surgery for what no Linux tool makes: a
# catalog in two and in more than eight extents, a file in more than eight extents (extents-overflow records),
# a folder record overwritten (its files become orphans), a leaf node outside the catalog that only a volume
# scan finds, and a hard link through the private data folder.

hfs_stage() {
  local d=$1
  rm -rf "$d"
  mkdir -p "$d/docs/sub" "$d/deep/a/b" "$d/photos"
  gen "$d/a.txt" 1200 801 text
  gen "$d/empty.txt" 0 802
  gen "$d/linked.txt" 3000 803 text
  gen "$d/docs/big.bin" 100000 804
  gen "$d/docs/readme.txt" 700 805 text
  gen "$d/docs/sub/Café.txt" 900 806 text
  gen "$d/docs/sub/note.txt" 500 807 text
  gen "$d/deep/a/b/c.txt" 2500 808 text
  gen "$d/photos/pic.bin" 20000 809
  # Over 1 MiB, so the advance scan records the volume.
  gen "$d/photos/large.bin" 1300000 810
  local i=0
  while IFS= read -r -d '' f; do
    stamp "$f" $((SOURCE_DATE_EPOCH - 86400 * i - 3600 * i - 61 * i))
    i=$((i + 1))
  done < <(find "$d" -type f -print0 | sort -z)
  find "$d" -type d -exec touch -h -d "@$((SOURCE_DATE_EPOCH - 7200))" {} +
}

build_hfsplus_all() {
  need_tools xorriso fls icat python3 zstd
  local stage=$WORK/hfs-stage iso=$WORK/hfsplus-iso.img
  hfs_stage "$stage"
  rm -f "$iso"
  # libfaketime would report every file's time as "now": NO_FAKE_STAT keeps the staged times.
  frozen env NO_FAKE_STAT=1 xorriso -as mkisofs -hfsplus -V HFSFIX -o "$iso" "$stage" 2>/dev/null
  write_hfs_py
  python3 "$WORK/hfsplus.py" "$iso" "$WORK" "$stage"
  for name in hfsplus-iso hfsplus-patched hfsplus-cat2; do
    compress_to "$WORK/$name.img" "$OUT/$name.img.zst"
    python3 "$WORK/hfsplus.py" --manifest "$WORK/$name.json" "$WORK/$name.img" "$OUT/$name.manifest.json"
  done
}

write_hfs_py() {
  cat >"$WORK/hfsplus.py" <<'PY'
import hashlib, json, os, struct, subprocess, sys, unicodedata

EPOCH = 2082844800
PRIVATE = '\0\0\0\0HFS+ Private Data'
CAT_ID, EXT_ID = 4, 3


def u16s(name):
    raw = name.encode('utf-16-be')
    return list(struct.unpack('>%dH' % (len(raw) // 2), raw))


def fold(c):
    if c == 0:
        return 0xFFFF
    ch = chr(c)
    low = ch.lower()
    return ord(low) if len(low) == 1 else c


def sort_key(rec):
    return (rec['parent'], [fold(c) for c in rec['units']])


class Volume:
    def __init__(self, image, base):
        self.base = base
        vh = image[base + 1024:base + 1536]
        assert vh[:2] == b'H+'
        self.bs, self.total = struct.unpack('>II', vh[0x28:0x30])
        self.img = bytearray(image[base:base + self.total * self.bs])
        self.next = self.total

    def hdr(self):
        return memoryview(self.img)[1024:1536]

    def fork(self, off):
        h = self.img[1024 + off:1024 + off + 80]
        size, clump, blocks = struct.unpack('>QII', h[:16])
        ext = [struct.unpack('>II', h[16 + 8 * i:24 + 8 * i]) for i in range(8)]
        return size, blocks, [e for e in ext if e[1]]

    def set_fork(self, off, size, extents):
        blocks = sum(c for _, c in extents)
        first = (extents + [(0, 0)] * 8)[:8]
        rec = struct.pack('>QII', size, self.bs * 4, blocks) + b''.join(struct.pack('>II', *e) for e in first)
        self.img[1024 + off:1024 + off + 80] = rec

    def fork_bytes(self, extents, size):
        out = b''.join(bytes(self.img[s * self.bs:(s + c) * self.bs]) for s, c in extents)
        return out[:size]

    def grow(self, blocks):
        need = self.next + blocks
        if need > self.total:
            self.img.extend(bytes((need - self.total) * self.bs))
            self.total = need

    def alloc(self, n):
        self.grow(n)
        start = self.next
        self.next += n
        asize, _, aext = self.fork(0x70)
        for b in range(start, start + n):
            byte = aext[0][0] * self.bs + b // 8
            self.img[byte] |= 0x80 >> (b % 8)
        return start

    def skip(self, n):
        self.grow(n)
        start = self.next
        self.next += n
        return start

    def write(self, block, data):
        self.img[block * self.bs:block * self.bs + len(data)] = data

    def finish(self, files, folders, next_id):
        self.alloc(1)  # the last block holds the alternate volume header
        h = self.img
        free = 0
        _, _, aext = self.fork(0x70)
        for b in range(self.total):
            if not (h[aext[0][0] * self.bs + b // 8] & (0x80 >> (b % 8))):
                free += 1
        struct.pack_into('>II', h, 1024 + 0x20, files, folders)
        struct.pack_into('>II', h, 1024 + 0x2C, self.total, free)
        struct.pack_into('>I', h, 1024 + 0x40, next_id)
        h[self.total * self.bs - 1024:self.total * self.bs - 512] = h[1024:1536]


# ---- catalog records -------------------------------------------------------------------------------------------

def read_leaves(vol, fork_off):
    size, _, ext = vol.fork(fork_off)
    data = vol.fork_bytes(ext, size)
    ns = struct.unpack('>H', data[32:34])[0]
    recs = []
    for n in range(1, len(data) // ns):
        node = data[n * ns:(n + 1) * ns]
        kind, _, count = struct.unpack('>bBH', node[8:12])
        if kind != -1:
            continue
        for i in range(count):
            off = struct.unpack('>H', node[ns - 2 - 2 * i:ns - 2 * i])[0]
            klen = struct.unpack('>H', node[off:off + 2])[0]
            parent, nlen = struct.unpack('>IH', node[off + 2:off + 8])
            units = list(struct.unpack('>%dH' % nlen, node[off + 8:off + 8 + 2 * nlen]))
            d = off + 2 + klen
            rtype = struct.unpack('>H', node[d:d + 2])[0]
            length = {1: 88, 2: 248}.get(rtype) or 10 + 2 * struct.unpack('>H', node[d + 8:d + 10])[0]
            recs.append({'parent': parent, 'units': units, 'data': bytearray(node[d:d + length])})
    return recs, ns


def name_of(rec):
    return struct.pack('>%dH' % len(rec['units']), *rec['units']).decode('utf-16-be')


def rid(rec):
    return struct.unpack('>I', rec['data'][8:12])[0]


def rtype(rec):
    return struct.unpack('>H', rec['data'][0:2])[0]


def thread(rec):
    t = 3 if rtype(rec) == 1 else 4
    n = rec['units']
    data = struct.pack('>HhIH', t, 0, rec['parent'], len(n)) + struct.pack('>%dH' % len(n), *n)
    return {'parent': rid(rec), 'units': [], 'data': bytearray(data)}


def key_bytes(rec):
    n = rec['units']
    return struct.pack('>HIH', 6 + 2 * len(n), rec['parent'], len(n)) + struct.pack('>%dH' % len(n), *n)


def node(kind, height, records, ns, flink=0, blink=0):
    out = bytearray(ns)
    struct.pack_into('>IIbBH', out, 0, flink, blink, kind, height, len(records))
    at, offs = 14, []
    for r in records:
        offs.append(at)
        out[at:at + len(r)] = r
        at += len(r) + (len(r) & 1)
    offs.append(at)
    assert at <= ns - 2 * len(offs), 'node overflow'
    for i, o in enumerate(offs):
        struct.pack_into('>H', out, ns - 2 - 2 * i, o)
    return out


def header_node(ns, depth, root, leaf_recs, first, last, total, maxkey, attrs, ctype):
    rec = struct.pack('>HIIIIHHIIHIBBI', depth, root, leaf_recs, first, last, ns, maxkey, total, 0, 0, ns * 4, 0,
                      ctype, attrs) + bytes(64)
    bitmap = bytearray(ns - 14 - 106 - 128 - 8)
    for n in range(total):
        bitmap[n // 8] |= 0x80 >> (n % 8)
    return node(1, 0, [rec, bytes(128), bytes(bitmap)], ns)


def write_catalog(vol, recs, ns, layout):
    """layout 'two': header+index in the first extent, all leaves in one more; 'many': one extent per leaf."""
    recs = sorted(recs, key=sort_key)
    per_leaf = 3
    groups = [recs[i:i + per_leaf] for i in range(0, len(recs), per_leaf)]
    nleaves = len(groups)
    total = 2 + nleaves
    leaves = []
    for i, g in enumerate(groups):
        no = 2 + i
        rs = [key_bytes(r) + bytes((6 + 2 * len(r['units'])) & 1) + r['data'] for r in g]
        leaves.append(node(-1, 1, rs, ns, flink=no + 1 if i + 1 < nleaves else 0, blink=no - 1 if i else 0))
    index = node(0, 2, [key_bytes(g[0]) + struct.pack('>I', 2 + i) for i, g in enumerate(groups)], ns)
    hdr = header_node(ns, 2, 1, len(recs), 2, 1 + nleaves, total, 516, 6, 0xCF)
    bpn = ns // vol.bs
    _, _, old = vol.fork(0x110)
    extents = [(old[0][0], 2 * bpn)]
    vol.write(old[0][0], hdr + index)
    if layout == 'two':
        start = vol.alloc(nleaves * bpn)
        extents.append((start, nleaves * bpn))
        vol.write(start, b''.join(leaves))
    else:
        for leaf in leaves:
            start = vol.alloc(bpn)
            vol.skip(1)
            extents.append((start, bpn))
            vol.write(start, leaf)
    vol.set_fork(0x110, total * ns, extents)
    return extents


def write_extents_file(vol, overflow):
    """overflow: list of (fileID, startBlock, [extents])."""
    ns = vol.bs
    recs = []
    for fid, sb, ext in sorted(overflow):
        ext = (ext + [(0, 0)] * 8)[:8]
        recs.append(struct.pack('>HBBII', 10, 0, 0, fid, sb) + b''.join(struct.pack('>II', *e) for e in ext))
    leaf = node(-1, 1, recs, ns)
    hdr = header_node(ns, 1 if recs else 0, 1 if recs else 0, len(recs), 1 if recs else 0, 1 if recs else 0, 2, 10,
                      2, 0)
    start = vol.alloc(2)
    vol.write(start, hdr + leaf)
    vol.set_fork(0xC0, 2 * ns, [(start, 2)])


def file_fork(rec):
    d = rec['data']
    size = struct.unpack('>Q', d[0x58:0x60])[0]
    ext = [struct.unpack('>II', d[0x68 + 8 * i:0x70 + 8 * i]) for i in range(8)]
    return size, [e for e in ext if e[1]]


def set_file_fork(rec, size, extents, bs):
    d = rec['data']
    blocks = sum(c for _, c in extents)
    first = (extents + [(0, 0)] * 8)[:8]
    d[0x58:0xA8] = struct.pack('>QII', size, 0, blocks) + b''.join(struct.pack('>II', *e) for e in first)


def folder_rec(fid, created):
    d = struct.pack('>HHII5I', 1, 0, 0, fid, created, created, created, created, 0) + struct.pack('>IIBBHI', 0, 0, 0, 0,
                                                                                                   0o40755, 0)
    return bytearray(d + bytes(88 - len(d)))


def file_rec(fid, created, modified, mode, special, ftype, creator):
    d = struct.pack('>HHII5I', 2, 0, 0, fid, created, modified, modified, modified, 0)
    d += struct.pack('>IIBBHI', 0, 0, 0, 0, mode, special) + struct.pack('>II', ftype, creator) + bytes(8)
    d = bytearray(d + bytes(248 - len(d)))
    return d


def make(iso_path, work, stage, layout, name):
    image = open(iso_path, 'rb').read()
    base = next(p - 1024 for p in range(0, len(image), 512) if image[p:p + 2] == b'H+')
    vol = Volume(image, base)
    recs, ns = read_leaves(vol, 0x110)
    items = [r for r in recs if rtype(r) in (1, 2)]
    by_id = {rid(r): r for r in items}

    def path_of(r):
        parts = []
        while rid(r) != 2:
            parts.append(unicodedata.normalize('NFC', name_of(r)))
            r = by_id[r['parent']]
        return '/' + '/'.join(reversed(parts))

    by_path = {path_of(r): r for r in items}
    next_id = max(by_id) + 1
    overflow = []
    facts = {'orphans': [], 'deep_only': [], 'hard_links': [], 'fragmented': []}

    # A file in 13 extents: eight in its record, five in an extents-overflow record.
    big = by_path['/docs/big.bin']
    size, ext = file_fork(big)
    data = vol.fork_bytes(ext, size)
    blocks = (size + vol.bs - 1) // vol.bs
    frags, at = [], 0
    while at < blocks:
        n = min(4, blocks - at)
        start = vol.alloc(n)
        vol.skip(1)
        vol.write(start, data[at * vol.bs:(at + n) * vol.bs])
        frags.append((start, n))
        at += n
    set_file_fork(big, size, frags, vol.bs)
    overflow.append((rid(big), sum(c for _, c in frags[:8]), frags[8:]))
    facts['fragmented'].append({'path': '/docs/big.bin', 'extents': len(frags)})

    # Hard links: linked.txt's record becomes the private folder's iNode file; two link records point at it.
    target = by_path['/linked.txt']
    created = struct.unpack('>I', target['data'][0x0C:0x10])[0]
    priv_id, link_a, link_b = next_id, next_id + 1, next_id + 2
    next_id += 3
    inode_id = rid(target)
    items.append({'parent': 2, 'units': u16s(PRIVATE), 'data': folder_rec(priv_id, created)})
    target['parent'] = priv_id
    target['units'] = u16s('iNode%d' % inode_id)
    struct.pack_into('>I', target['data'], 0x2C, 2)  # link count
    for lid, parent, nm in ((link_a, 2, 'linked.txt'), (link_b, rid(by_path['/docs']), 'linked-too.txt')):
        items.append({'parent': parent, 'units': u16s(nm),
                      'data': file_rec(lid, created, created, 0o100444, inode_id, 0x686C6E6B, 0x6866732B)})
    facts['hard_links'] = ['/linked.txt', '/docs/linked-too.txt']

    # The folder record of docs/sub is overwritten: its two files lose their parent.
    sub = by_path['/docs/sub']
    items.remove(sub)
    facts['orphans'] = ['/docs/sub/Café.txt', '/docs/sub/note.txt']

    # The catalog itself, then a leaf outside it that nothing links: a folder and a file with its data.
    threads = [thread(r) for r in items]
    cat_extents = write_catalog(vol, items + threads, ns, layout)
    if len(cat_extents) > 8:
        overflow.append((CAT_ID, sum(c for _, c in cat_extents[:8]), cat_extents[8:]))
    ghost_dir, ghost_file = next_id, next_id + 1
    next_id += 2
    ghost_data = bytes((i * 7 + 3) & 0xFF for i in range(5000))
    gstart = vol.skip(3)
    vol.write(gstart, ghost_data)
    grec = {'parent': ghost_dir, 'units': u16s('ghost.bin'),
            'data': file_rec(ghost_file, created, created - 86400, 0o100600, 0, 0, 0)}
    set_file_fork(grec, len(ghost_data), [(gstart, 3)], vol.bs)
    drec = {'parent': 2, 'units': u16s('ghost'), 'data': folder_rec(ghost_dir, created)}
    gl = sorted([drec, grec, thread(drec), thread(grec)], key=sort_key)
    leaf = node(-1, 1, [key_bytes(r) + r['data'] for r in gl], ns)
    bpn = ns // vol.bs
    lstart = vol.skip(bpn)
    vol.write(lstart, leaf)
    facts['deep_only'] = ['/ghost', '/ghost/ghost.bin']

    write_extents_file(vol, overflow)
    files = sum(1 for r in items if rtype(r) == 2)
    vol.finish(files, sum(1 for r in items if rtype(r) == 1) - 1, next_id)
    out = os.path.join(work, name + '.img')
    open(out, 'wb').write(vol.img)
    facts['catalog_extents'] = len(cat_extents)
    facts['ghost_sha256'] = hashlib.sha256(ghost_data).hexdigest()
    return out, facts


def manifest(fact_path, img, dest):
    facts = json.load(open(fact_path))
    m = dict(facts)
    m['image'] = os.path.basename(img) + '.zst'
    m['raw_size'] = os.path.getsize(img)
    m['sha256_raw'] = hashlib.sha256(open(img, 'rb').read()).hexdigest()
    off = facts.get('start_sector', 0)
    fls = subprocess.run(['fls', '-f', 'hfs', '-o', str(off), '-r', '-p', img], capture_output=True, check=True)
    m['fls'] = [unicodedata.normalize('NFC', line.decode('utf-8', 'replace')) for line in fls.stdout.splitlines()]
    json.dump(m, open(dest, 'w'), indent=1, ensure_ascii=False)
    open(dest, 'a').write('\n')


def stage_files(stage):
    out = []
    for root, dirs, files in os.walk(stage):
        for f in files:
            p = os.path.join(root, f)
            rel = '/' + unicodedata.normalize('NFC', os.path.relpath(p, stage))
            st = os.stat(p)
            out.append({'path': rel, 'size': st.st_size, 'mtime': int(st.st_mtime),
                        'sha256': hashlib.sha256(open(p, 'rb').read()).hexdigest()})
    return sorted(out, key=lambda f: f['path'])


def main():
    if sys.argv[1] == '--manifest':
        manifest(sys.argv[2], sys.argv[3], sys.argv[4])
        return
    iso, work, stage = sys.argv[1:4]
    image = open(iso, 'rb').read()
    base = next(p - 1024 for p in range(0, len(image), 512) if image[p:p + 2] == b'H+')
    files = stage_files(stage)
    json.dump({'kind': 'disk', 'filesystem': 'HFS+', 'start_sector': base // 512,
               'commands': ['xorriso -as mkisofs -hfsplus -V HFSFIX'], 'files': files},
              open(os.path.join(work, 'hfsplus-iso.json'), 'w'))
    for layout, name in (('many', 'hfsplus-patched'), ('two', 'hfsplus-cat2')):
        out, facts = make(iso, work, stage, layout, name)
        facts.update({'kind': 'volume', 'filesystem': 'HFS+', 'start_sector': 0, 'files': files,
                      'commands': ['xorriso -as mkisofs -hfsplus -V HFSFIX', 'hfsplus.py: volume taken out of the '
                                   'ISO; catalog rebuilt (%s extents), big.bin in 13 extents, docs/sub folder record '
                                   'removed, unlinked leaf ghost/ghost.bin, hard links to linked.txt' % layout]})
        json.dump(facts, open(os.path.join(work, name + '.json'), 'w'))


main()
PY
}
