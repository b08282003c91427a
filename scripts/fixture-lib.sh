# Shared helpers for scripts/make-fixtures (sourced, not run).
#
# Every image is built in $WORK and logged to a JSON-lines file ($LOG): the commands' gist, each file written
# (path, size, sha256), each folder made, attribute changes and deletions. manifest_finish turns that log into
# tests/fixtures/NAME.manifest.json. Content comes from a seeded generator, times are frozen with libfaketime,
# so two runs give the same bytes wherever the tools allow.

set -euo pipefail

export LC_ALL=C.UTF-8 TZ=UTC
export SOURCE_DATE_EPOCH=1700000000          # 2023-11-14 22:13:20 UTC
export E2FSPROGS_FAKE_TIME=$SOURCE_DATE_EPOCH
export MTOOLS_SKIP_CHECK=1 MTOOLS_NO_VFAT=0
FIXTIME="2023-11-14 22:13:20"
FAKETIME_LIB=$(ls /usr/lib/*/faketime/libfaketime.so.1 2>/dev/null | head -n1 || true)

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
OUT=$REPO/tests/fixtures
SAMPLES=$REPO/samples
WORK=${FIXTURE_WORK:-/tmp/salvora-fix-work}
ASSETS=$WORK/assets
GEN=$WORK/gen.py
CONVERT=/usr/bin/convert

need_tools() {
  local missing=()
  for t in "$@"; do command -v "$t" >/dev/null 2>&1 || missing+=("$t"); done
  if ((${#missing[@]})); then
    echo "make-fixtures: missing tools: ${missing[*]}" >&2
    exit 1
  fi
}

# Runs a command with the wall clock frozen at $FIXTIME (mtools, mkfs.exfat and the exFAT driver stamp "now").
frozen() {
  if [[ -n $FAKETIME_LIB ]]; then
    LD_PRELOAD=$FAKETIME_LIB FAKETIME="$FIXTIME" FAKETIME_DONT_FAKE_MONOTONIC=1 "$@"
  else
    "$@"
  fi
}

# ---- log -------------------------------------------------------------------------------------------------------
LOG=""
log_open() { LOG=$WORK/$1.log; : >"$LOG"; }
log_cmd() { python3 "$GEN" logcmd "$LOG" "$*"; }
log_dir() { python3 "$GEN" logdir "$LOG" "$1"; }
log_del() { python3 "$GEN" logdel "$LOG" "$1"; }
log_attr() { python3 "$GEN" logattr "$LOG" "$1" "$2"; }
log_file() { python3 "$GEN" logfile "$LOG" "$1" "$2"; } # image path, local file
log_stream() { python3 "$GEN" logstream "$LOG" "$1" "$2" "$3"; } # file's image path, stream name, local file

# gen LOCAL SIZE SEED [bin|text]: deterministic content. "bin" stamps every 512-byte block with the seed and block
# number over a seeded 4 KiB pattern, so each sector is unique yet the image still compresses well.
gen() { python3 "$GEN" gen "$1" "$2" "$3" "${4:-bin}"; }

# Sets a local file's time before it is copied with its time kept (mcopy -m, cp -p, mke2fs -d).
stamp() { touch -h -d "@$2" "$1"; }

# ---- FAT through mtools -----------------------------------------------------------------------------------------
# MT is "image@@byteoffset". Paths are absolute inside the volume ("/a/b.txt").
MT=""
fat_md() {
  frozen mmd -i "$MT" "::$1"
  log_dir "$1"
}
# fat_put IMAGEPATH SIZE SEED [kind] [mtime]
fat_put() {
  local dst=$1 size=$2 seed=$3 kind=${4:-bin} t=${5:-}
  local tmp=$WORK/put.tmp
  rm -f "$tmp"
  gen "$tmp" "$size" "$seed" "$kind"
  stamp "$tmp" "${t:-$((SOURCE_DATE_EPOCH - 86400 * (seed % 700) - 37 * seed))}"
  frozen mcopy -m -i "$MT" "$tmp" "::$dst"
  log_file "$dst" "$tmp"
}
# fat_put_file IMAGEPATH LOCALFILE [mtime]
fat_put_file() {
  local dst=$1 src=$2 t=${3:-$((SOURCE_DATE_EPOCH - 3 * 86400))}
  local tmp=$WORK/put.tmp
  cp "$src" "$tmp"
  stamp "$tmp" "$t"
  frozen mcopy -m -i "$MT" "$tmp" "::$dst"
  log_file "$dst" "$tmp"
}
fat_attr() { # fat_attr "+h +s" PATH
  # shellcheck disable=SC2086
  frozen mattrib -i "$MT" $1 "::$2"
  log_attr "$2" "$1"
}
fat_del() {
  frozen mdel -i "$MT" "::$1"
  log_del "$1"
}
fat_deltree() {
  frozen mdeltree -i "$MT" "::$1"
  log_del "$1"
}

# Boot sectors made by mkfs.fat carry "mkfs.fat" as OEM name; Windows-made ones say MSDOS5.0.
patch_oem() { # patch_oem IMAGE BYTEOFFSET [backup sector]
  local img=$1 off=$2 backup=${3:-}
  printf 'MSDOS5.0' | dd of="$img" bs=1 seek=$((off + 3)) conv=notrunc status=none
  if [[ -n $backup ]]; then
    printf 'MSDOS5.0' | dd of="$img" bs=1 seek=$((off + backup * 512 + 3)) conv=notrunc status=none
  fi
}

# ---- loop devices (FUSE-mounted exFAT) ----------------------------------------------------------------------------
LOOPS=()
MOUNTS=()
cleanup_mounts() {
  local m l
  for m in "${MOUNTS[@]}"; do umount "$m" 2>/dev/null || fusermount -u "$m" 2>/dev/null || true; done
  for l in "${LOOPS[@]}"; do losetup -d "$l" 2>/dev/null || true; done
  MOUNTS=()
  LOOPS=()
}
loop_attach() { # loop_attach IMAGE [offset sizelimit] -> echo device
  local dev
  if [[ $# -ge 3 ]]; then
    dev=$(losetup -f --show -o "$2" --sizelimit "$3" "$1")
  else
    dev=$(losetup -f --show "$1")
  fi
  LOOPS+=("$dev")
  echo "$dev"
}
loop_detach() {
  losetup -d "$1"
  local keep=() l
  for l in "${LOOPS[@]}"; do [[ $l == "$1" ]] || keep+=("$l"); done
  LOOPS=("${keep[@]+"${keep[@]}"}")
}

# ---- manifests --------------------------------------------------------------------------------------------------
# manifest_volume NAME FSNAME RAWIMAGE: bare volume manifest from $WORK/NAME.log, with fls/fsstat gists.
manifest_volume() { python3 "$GEN" manifest-volume "$OUT" "$1" "$2" "$3" "$WORK/$1.log"; }
# manifest_disk NAME RAWIMAGE PARTSPEC: PARTSPEC lines "start count fs log [type] [name]".
manifest_disk() { python3 "$GEN" manifest-disk "$OUT" "$1" "$2" "$3" "${4:-$WORK/$1.log}"; }

compress_to() { # compress_to RAW DEST.zst
  zstd -19 -q -f --no-progress -o "$2" "$1"
}

write_gen_py() {
  mkdir -p "$WORK" "$ASSETS"
  cat >"$GEN" <<'PYEOF'
import hashlib, json, os, random, struct, subprocess, sys, zipfile, zlib

def sha(path):
    h = hashlib.sha256()
    with open(path, 'rb') as f:
        for chunk in iter(lambda: f.read(1 << 20), b''):
            h.update(chunk)
    return h.hexdigest()

WORDS = ('recovery sector cluster volume folder record table entry chain block deleted journal inode extent '
         'partition signature header footer report invoice holiday budget meeting notes draft final').split()

def content(size, seed, kind):
    rnd = random.Random(seed)
    if kind == 'text':
        out, n = [], 0
        line_no = 0
        while n < size:
            line_no += 1
            line = 'Line %05d of file %d: %s\n' % (line_no, seed, ' '.join(rnd.choice(WORDS) for _ in range(9)))
            out.append(line)
            n += len(line)
        return ''.join(out).encode()[:size]
    if size < 512:
        return rnd.randbytes(size)
    base = rnd.randbytes(4096)
    blocks = []
    for i in range((size + 511) // 512):
        stamp = b'SALVORA seed=%08d block=%08d\n' % (seed % 10**8, i)
        chunk = base[(i % 8) * 512:(i % 8 + 1) * 512]
        blocks.append(stamp + chunk[len(stamp):])
    return b''.join(blocks)[:size]

def append(log, obj):
    with open(log, 'a', encoding='utf-8') as f:
        f.write(json.dumps(obj, ensure_ascii=False) + '\n')

def read_log(log):
    # Walks the log in order: a deletion marks every file and folder written before it at or under its path.
    cmds, files, dirs, deleted, attrs, links, streams = [], [], [], [], {}, [], []
    lines = open(log, encoding='utf-8').read().splitlines() if log and os.path.exists(log) else []
    for line in lines:
        e = json.loads(line)
        t = e['t']
        if t == 'cmd':
            cmds.append(e['v'])
        elif t == 'file':
            files.append({'path': e['path'], 'size': e['size'], 'sha256': e['sha256'], 'deleted': False})
        elif t == 'dir':
            dirs.append({'path': e['path'], 'deleted': False})
        elif t == 'attr':
            attrs.setdefault(e['path'], []).append(e['v'])
        elif t in ('symlink', 'special'):
            links.append({k: v for k, v in e.items() if k != 't'})
        elif t == 'stream':
            streams.append({'path': e['path'], 'name': e['name'], 'size': e['size'], 'sha256': e['sha256'],
                            'deleted': False})
        elif t == 'del':
            d = e['path'].rstrip('/')
            deleted.append(e['path'])
            for o in files + dirs + streams:
                if o['path'] == d or o['path'].startswith(d + '/'):
                    o['deleted'] = True
    for o in files + dirs:
        if o['path'] in attrs:
            o['attributes'] = ' '.join(attrs[o['path']])
    out = {'commands': cmds, 'files': files, 'dirs': dirs, 'deleted': deleted}
    if links:
        out['special_files'] = links
    if streams:
        out['streams'] = streams
    return out

def run(cmd):
    try:
        return subprocess.run(cmd, capture_output=True, text=True, errors='replace').stdout
    except FileNotFoundError:
        return ''

def tsk(fs_args, raw, offset=None):
    o = ['-o', str(offset)] if offset is not None else []
    return {'fls': run(['fls', '-r', '-p'] + fs_args + o + [raw]),
            'fsstat_head': '\n'.join(run(['fsstat'] + fs_args + o + [raw]).splitlines()[:40])}

TSK_FS = {'FAT16': ['-f', 'fat16'], 'FAT32': ['-f', 'fat32'], 'exFAT': ['-f', 'exfat'],
          'ext2': ['-f', 'ext2'], 'ext3': ['-f', 'ext3'], 'ext4': ['-f', 'ext4'], 'NTFS': ['-f', 'ntfs']}

def write_manifest(outdir, name, m):
    with open(os.path.join(outdir, name + '.manifest.json'), 'w', encoding='utf-8') as f:
        json.dump(m, f, ensure_ascii=False, indent=1)
        f.write('\n')

def main():
    op = sys.argv[1]
    a = sys.argv[2:]
    if op == 'gen':
        path, size, seed, kind = a[0], int(a[1]), int(a[2]), a[3]
        with open(path, 'wb') as f:
            f.write(content(size, seed, kind))
    elif op == 'genmany':  # dir count prefix seed0 — small text files for big folders
        d, count, prefix, seed0 = a[0], int(a[1]), a[2], int(a[3])
        os.makedirs(d, exist_ok=True)
        for i in range(count):
            with open(os.path.join(d, '%s%03d.txt' % (prefix, i)), 'wb') as f:
                f.write(content(40 + (i * 37) % 900, seed0 + i, 'text'))
    elif op == 'logcmd':
        append(a[0], {'t': 'cmd', 'v': a[1]})
    elif op == 'logdir':
        append(a[0], {'t': 'dir', 'path': a[1]})
    elif op == 'logdel':
        append(a[0], {'t': 'del', 'path': a[1]})
    elif op == 'logattr':
        append(a[0], {'t': 'attr', 'path': a[1], 'v': a[2]})
    elif op == 'logfile':
        append(a[0], {'t': 'file', 'path': a[1], 'size': os.path.getsize(a[2]), 'sha256': sha(a[2])})
    elif op == 'logstream':  # log path name local: a named data stream of a file (NTFS)
        append(a[0], {'t': 'stream', 'path': a[1], 'name': a[2], 'size': os.path.getsize(a[3]),
                      'sha256': sha(a[3])})
    elif op == 'logtree':  # log a staged folder (ext: mke2fs -d): log root prefix
        log, root, prefix = a[0], a[1], a[2]
        for dp, dns, fns in sorted(os.walk(root)):
            dns.sort()
            rel = os.path.relpath(dp, root)
            base = prefix if rel == '.' else prefix.rstrip('/') + '/' + rel
            if rel != '.':
                append(log, {'t': 'dir', 'path': base})
            for fn in sorted(fns):
                p = os.path.join(dp, fn)
                ipath = base.rstrip('/') + '/' + fn
                if os.path.islink(p):
                    append(log, {'t': 'symlink', 'path': ipath, 'target': os.readlink(p)})
                    continue
                if not os.path.isfile(p):
                    append(log, {'t': 'special', 'path': ipath, 'kind': 'fifo'})
                    continue
                append(log, {'t': 'file', 'path': base.rstrip('/') + '/' + fn, 'size': os.path.getsize(p),
                             'sha256': sha(p)})
    elif op == 'recycle-i':  # out version size filetime path
        out, version, size, ft, orig = a[0], int(a[1]), int(a[2]), int(a[3]), a[4]
        name = orig.encode('utf-16-le') + b'\0\0'
        if version == 1:
            data = struct.pack('<qqQ', 1, size, ft) + name.ljust(520, b'\0')
            assert len(data) == 544
        else:
            data = struct.pack('<qqQI', 2, size, ft, len(orig) + 1) + name
        open(out, 'wb').write(data)
    elif op == 'pdf':  # out title seed
        out, title, seed = a[0], a[1], int(a[2])
        rnd = random.Random(seed)
        lines = [title] + ['%s %s %s %s' % tuple(rnd.choice(WORDS) for _ in range(4)) for _ in range(12)]
        text = 'BT /F1 14 Tf 72 760 Td 18 TL ' + ' '.join('(%s) Tj T*' % l for l in lines) + ' ET'
        stream = zlib.compress(text.encode(), 9)
        objs = [b'<< /Type /Catalog /Pages 2 0 R >>',
                b'<< /Type /Pages /Kids [3 0 R] /Count 1 >>',
                b'<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 4 0 R '
                b'/Resources << /Font << /F1 5 0 R >> >> >>',
                b'<< /Length %d /Filter /FlateDecode >>\nstream\n' % len(stream) + stream + b'\nendstream',
                b'<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>']
        body = b'%PDF-1.4\n%\xe2\xe3\xcf\xd3\n'
        offs = []
        for i, o in enumerate(objs):
            offs.append(len(body))
            body += b'%d 0 obj\n' % (i + 1) + o + b'\nendobj\n'
        xref = len(body)
        body += b'xref\n0 %d\n0000000000 65535 f \n' % (len(objs) + 1)
        body += b''.join(b'%010d 00000 n \n' % o for o in offs)
        body += b'trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n' % (len(objs) + 1, xref)
        open(out, 'wb').write(body)
    elif op in ('docx', 'odt'):  # out title seed
        out, title, seed = a[0], a[1], int(a[2])
        text = content(3000, seed, 'text').decode()
        dt = (2023, 11, 14, 22, 13, 20)
        with zipfile.ZipFile(out, 'w', zipfile.ZIP_DEFLATED) as z:
            def put(n, s, store=False):
                zi = zipfile.ZipInfo(n, dt)
                zi.compress_type = zipfile.ZIP_STORED if store else zipfile.ZIP_DEFLATED
                z.writestr(zi, s)
            if op == 'odt':
                put('mimetype', 'application/vnd.oasis.opendocument.text', store=True)
                put('META-INF/manifest.xml', '<?xml version="1.0" encoding="UTF-8"?>\n<manifest:manifest '
                    'xmlns:manifest="urn:oasis:names:tc:opendocument:xmlns:manifest:1.0" manifest:version="1.2">'
                    '<manifest:file-entry manifest:full-path="/" manifest:media-type="application/vnd.oasis.'
                    'opendocument.text"/><manifest:file-entry manifest:full-path="content.xml" manifest:media-type='
                    '"text/xml"/></manifest:manifest>')
                paras = ''.join('<text:p>%s</text:p>' % l for l in [title] + text.splitlines())
                put('content.xml', '<?xml version="1.0" encoding="UTF-8"?>\n<office:document-content xmlns:office='
                    '"urn:oasis:names:tc:opendocument:xmlns:office:1.0" xmlns:text="urn:oasis:names:tc:opendocument:'
                    'xmlns:text:1.0" office:version="1.2"><office:body><office:text>%s</office:text></office:body>'
                    '</office:document-content>' % paras)
            else:
                put('[Content_Types].xml', '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n<Types xmlns='
                    '"http://schemas.openxmlformats.org/package/2006/content-types"><Default Extension="rels" '
                    'ContentType="application/vnd.openxmlformats-package.relationships+xml"/><Default Extension="xml" '
                    'ContentType="application/xml"/><Override PartName="/word/document.xml" ContentType="application/'
                    'vnd.openxmlformats-officedocument.wordprocessingml.document.main+xml"/></Types>')
                put('_rels/.rels', '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n<Relationships xmlns='
                    '"http://schemas.openxmlformats.org/package/2006/relationships"><Relationship Id="rId1" Type='
                    '"http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument" Target='
                    '"word/document.xml"/></Relationships>')
                paras = ''.join('<w:p><w:r><w:t>%s</w:t></w:r></w:p>' % l for l in [title] + text.splitlines())
                put('word/document.xml', '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n<w:document '
                    'xmlns:w="http://schemas.openxmlformats.org/wordprocessingml/2006/main"><w:body>%s</w:body>'
                    '</w:document>' % paras)
    elif op == 'manifest-volume':
        outdir, name, fs, raw, log = a
        m = {'image': name + '.img.zst', 'kind': 'volume', 'filesystem': fs, 'raw_size': os.path.getsize(raw),
             'sha256_raw': sha(raw)}
        m.update(read_log(log))
        m.update(tsk(TSK_FS.get(fs, []), raw))
        write_manifest(outdir, name, m)
    elif op == 'manifest-disk':
        outdir, name, raw, spec, log = a
        m = {'image': name + '.img.zst', 'kind': 'disk', 'raw_size': os.path.getsize(raw), 'sha256_raw': sha(raw)}
        m.update({k: v for k, v in read_log(log).items() if k in ('commands',)})
        m['mmls'] = run(['mmls', raw])
        parts = []
        for i, line in enumerate(open(spec, encoding='utf-8')):
            f = line.rstrip('\n').split('\t')
            p = {'index': i + 1, 'start_sector': int(f[0]), 'sector_count': int(f[1]), 'filesystem': f[2]}
            if len(f) > 4 and f[4]: p['type'] = f[4]
            if len(f) > 5 and f[5]: p['name'] = f[5]
            if len(f) > 6 and f[6]: p['table'] = f[6]
            if f[3] != '-':
                p.update({k: v for k, v in read_log(f[3]).items() if k != 'commands'})
                if f[2] in TSK_FS:
                    p.update(tsk(TSK_FS[f[2]], raw, int(f[0])))
            parts.append(p)
        m['partitions'] = parts
        write_manifest(outdir, name, m)
    else:
        sys.exit('unknown op ' + op)

main()
PYEOF
}

# ---- shared assets: small real pictures and documents --------------------------------------------------------------
make_assets() {
  mkdir -p "$ASSETS"
  local i
  for i in $(seq 1 12); do
    "$CONVERT" -seed $((40 + i)) -size 320x240 plasma:fractal -blur 0x2 -quality 82 -strip \
      "$ASSETS/photo$i.jpg"
  done
  "$CONVERT" -size 200x150 gradient:navy-gold -depth 8 -strip -define png:exclude-chunks=date,time "$ASSETS/chart.png"
  "$CONVERT" -seed 7 -size 120x90 plasma:red-blue -depth 8 -strip -define png:exclude-chunks=date,time "$ASSETS/logo.png"
  "$CONVERT" -size 96x64 gradient:white-green -strip "BMP3:$ASSETS/icon.bmp"
  "$CONVERT" -seed 9 -size 80x60 plasma:fractal -strip "$ASSETS/anim.gif"
  python3 "$GEN" pdf "$ASSETS/invoice.pdf" "Invoice 2023-117" 11
  python3 "$GEN" pdf "$ASSETS/manual.pdf" "User manual" 12
  python3 "$GEN" docx "$ASSETS/letter.docx" "Letter to the bank" 13
  python3 "$GEN" odt "$ASSETS/minutes.odt" "Meeting minutes" 14
  gen "$ASSETS/notes.txt" 2345 15 text
}
