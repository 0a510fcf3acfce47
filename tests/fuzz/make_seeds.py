#!/usr/bin/env python3
"""Writes the fuzz targets' seed inputs from what the lab's presets and image
builder produce: usage make_seeds.py QSLAB OUTDIR.  Each seed is the target's
parameter bytes followed by a real layout, trimmed of its erased tail so
that the fuzzer works on small inputs.  Minimise the result with -merge=1
before committing it."""
import glob, os, struct, subprocess, sys, tempfile

qslab, out = sys.argv[1], sys.argv[2]
work = tempfile.mkdtemp()
fixtures = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'fixtures', 'cms')

def run(*args):
    subprocess.run([qslab, *args], check=True, stdout=subprocess.DEVNULL)

def trimmed(data, keep=32):
    data = data.rstrip(b'\xff')
    return data + b'\xff' * ((-len(data)) % 4 + keep)

def seed(target, name, data):
    os.makedirs(os.path.join(out, target), exist_ok=True)
    with open(os.path.join(out, target, name), 'wb') as f:
        f.write(data)

def read(path):
    with open(path, 'rb') as f:
        return f.read()

lab = os.path.join(work, 'lab')
run('create', lab, '--adapter', 'birch:2', '--adapter', 'cedar:2', '--adapter', 'dogwood:1',
    '--adapter', 'dogwood2:1', '--adapter', 'oem:1')
damaged = os.path.join(work, 'damaged')
run('create', damaged, '--adapter', 'cedar:1', '--damaged-config', 'truncated-segment',
    '--adapter', 'dogwood:1', '--damaged-config', 'bad-generation')
flash = lambda d, pattern: sorted(glob.glob(os.path.join(d, 'flash', pattern)))

# Images: plain ones of a few kinds, iPXE ROMs and signed envelopes.
for i, (kind, sub) in enumerate([('mcfw', '25'), ('bootrom', '7'), ('phy', '9')]):
    path = os.path.join(work, f'image{i}')
    run('image', '--type', kind, '--subtype', sub, '--version', '7.4.3.1008', '--size', '256', '-o', path)
    seed('image', f'plain-{kind}', read(path))
for size in (512, 1024):
    path = os.path.join(work, f'ipxe{size}')
    run('image', '--ipxe', '--size', str(size), '-o', path)
    seed('image', f'ipxe-{size}', read(path))
for der in glob.glob(os.path.join(fixtures, '*.der')):
    name = os.path.basename(der)[:-4]
    seed('image', f'signed-{name}', read(der))
    seed('cms', name, read(der))

# TLV blocks: every BD20 configuration the presets carry.
tlv_files = flash(lab, 'a[2-5]-*cfg*.bin') + flash(damaged, '*dynamic-cfg*.bin')
for i, path in enumerate(tlv_files):
    body = trimmed(read(path))
    name = os.path.basename(os.path.dirname(os.path.dirname(path))) + '-' + os.path.basename(path)[:-4]
    op = i % 5
    tag = struct.pack('<I', 0x10060000 + 0x100 * (i % 4))
    seed('tlv', name, bytes([op, i % 3]) + tag + bytes([8, i & 1]) + body)
    seed('dynamic_cfg', name, bytes([1 + 2 * (i % 2), i % 10]) + bytes(12) + b'V0' + bytes([9]) + body)

# BD20 boards answer version lookups from their bundle metadata first
# (setup bit 0x40: a length byte in 8-byte units, then the metadata).
meta = trimmed(read(flash(lab, 'a5-bundle-metadata-00.bin')[0]))
meta += b'\xff' * ((-len(meta)) % 8)
config = trimmed(read(flash(lab, 'a5-dynamic-cfg-00.bin')[0]))
seed('dynamic_cfg', 'oem-bundle-metadata', bytes([0x43, 2]) + bytes(12) + b'V0' + bytes([5, len(meta) // 8]) + meta + config)

# Birch: header and items, then the VPD record moved up behind them.
birch = read(flash(lab, 'a1-dynamic-cfg-00-p0.bin')[0])
length, = struct.unpack_from('<H', birch, 4)
vpd_at, vpd_len = struct.unpack_from('<II', birch, 8)
small = bytearray(birch[:length] + b'\xff' * 16 + birch[vpd_at:vpd_at + vpd_len])
struct.pack_into('<I', small, 8, length + 16)
small[7] = 0
small[7] = (-sum(small[:length])) & 0xFF
seed('dynamic_cfg', 'birch', bytes([0, 2]) + bytes(12) + b'V1' + bytes([5]) + bytes(small))
seed('dynamic_cfg', 'birch-truncated', bytes([4, 0]) + bytes(12) + b'A0' + bytes([0]) + bytes(small[:length // 2]))

# VPD records: the dynamic records the configurations hold.
records = [bytes(small[length + 16:])]
for path in flash(lab, 'a[2-5]-dynamic-cfg-00.bin'):
    data = read(path)
    at = data.find(b'\x90', 20)
    size, = struct.unpack_from('<H', data, at + 1)
    records.append(data[at:at + size + 4])
for i, record in enumerate(records):
    seed('vpd', f'record-{i}', bytes([i * 0x41 & 0xFF, ord('V'), ord(str(i)), 10, 16]) + record)

# Discovery: the sysfs VPD files, and the static configurations ESXi reads.
for i, path in enumerate(sorted(glob.glob(os.path.join(lab, 'root', 'sys', 'devices', '*', '*', 'vpd')))[:4]):
    seed('discovery_vpd', f'sysfs-vpd-{i}', bytes([0]) + read(path))
seed('discovery_vpd', 'birch-static-cfg', bytes([0]) + trimmed(read(flash(lab, 'a1-static-cfg-00-p0.bin')[0])))
seed('discovery_vpd', 'cedar-static-cfg', bytes([1]) + trimmed(read(flash(lab, 'a2-static-cfg-00.bin')[0])))

# /proc/mtd as the lab's driver lists the partitions.
mtd = read(os.path.join(lab, 'root', 'proc', 'mtd')).split(b'\n')
seed('proc_mtd', 'proc-mtd', b'\n'.join(mtd[:12]) + b'\n')

# Status records: no error, an error, a verification verdict, short ones.
status = lambda *words: b''.join(struct.pack('<I', w) for w in words)
seed('status_record', 'ok', status(0xBD2057A7, 20, 0, 1, 0))
seed('status_record', 'eperm', status(0xBD2057A7, 20, 1, 0, 0))
seed('status_record', 'verify-failed', status(0xBD2057A7, 16, 0, 7))
seed('status_record', 'short', status(0xBD2057A7, 12)[:6])
