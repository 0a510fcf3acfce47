#!/usr/bin/env python3
"""make_seeds.py QSLAB OUTDIR: the fuzz targets' seeds from the lab's presets and image builder, each the target's
parameter bytes, then a real layout trimmed of its erased tail.  Minimise with -merge=1 before committing."""
import glob, os, struct, subprocess, sys, tempfile

qslab, out = sys.argv[1], sys.argv[2]
work = tempfile.mkdtemp()
run = lambda *args: subprocess.run([qslab, *args], check=True, stdout=subprocess.DEVNULL)
read = lambda path: open(path, 'rb').read()
flash = lambda d, pattern: sorted(glob.glob(os.path.join(d, 'flash', pattern)))
words = lambda *w: b''.join(struct.pack('<I', x) for x in w)

def trimmed(data, keep=32):
    data = data.rstrip(b'\xff')
    return data + b'\xff' * ((-len(data)) % 4 + keep)

def seed(target, name, data):
    os.makedirs(os.path.join(out, target), exist_ok=True)
    open(os.path.join(out, target, name), 'wb').write(data)

lab, damaged = os.path.join(work, 'lab'), os.path.join(work, 'damaged')
run('create', lab, *[a for p in ('birch:2', 'cedar:2', 'dogwood:1', 'dogwood2:1', 'oem:1') for a in ('--adapter', p)])
run('create', damaged, '--adapter', 'cedar:1', '--damaged-config', 'truncated-segment',
    '--adapter', 'dogwood:1', '--damaged-config', 'bad-generation')

# Images: plain ones of a few kinds, iPXE ROMs and signed envelopes.
for args, name in [(['--type', k, '--subtype', s, '--version', '7.4.3.1008', '--size', '256'], 'plain-' + k)
                   for k, s in (('mcfw', '25'), ('bootrom', '7'), ('phy', '9'))] + \
                  [(['--ipxe', '--size', str(n)], f'ipxe-{n}') for n in (512, 1024)]:
    run('image', *args, '-o', os.path.join(work, name))
    seed('image', name, read(os.path.join(work, name)))
for der in glob.glob(os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'fixtures', 'cms', '*.der')):
    name = os.path.basename(der)[:-4]
    seed('image', 'signed-' + name, read(der))
    seed('cms', name, read(der))

# TLV blocks: every BD20 configuration the presets carry.
for i, path in enumerate(flash(lab, 'a[2-5]-*cfg*.bin') + flash(damaged, '*dynamic-cfg*.bin')):
    body = trimmed(read(path))
    name = os.path.basename(os.path.dirname(os.path.dirname(path))) + '-' + os.path.basename(path)[:-4]
    seed('tlv', name, bytes([i % 5, i % 3]) + struct.pack('<I', 0x10060000 + 0x100 * (i % 4)) + bytes([8, i & 1]) + body)
    seed('dynamic_cfg', name, bytes([1 + 2 * (i % 2), i % 10]) + bytes(12) + b'V0' + bytes([9]) + body)

# BD20 boards answer from their bundle metadata first (setup bit 0x40, a length in 8-byte units).
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
for data in map(read, flash(lab, 'a[2-5]-dynamic-cfg-00.bin')):
    at = data.find(b'\x90', 20)
    records.append(data[at:at + struct.unpack_from('<H', data, at + 1)[0] + 4])
for i, record in enumerate(records):
    seed('vpd', f'record-{i}', bytes([i * 0x41 & 0xFF, ord('V'), ord(str(i)), 10, 16]) + record)

# Discovery: the sysfs VPD files, and the static configurations ESXi reads.
for i, path in enumerate(sorted(glob.glob(os.path.join(lab, 'root', 'sys', 'devices', '*', '*', 'vpd')))[:4]):
    seed('discovery_vpd', f'sysfs-vpd-{i}', bytes([0]) + read(path))
seed('discovery_vpd', 'birch-static-cfg', bytes([0]) + trimmed(read(flash(lab, 'a1-static-cfg-00-p0.bin')[0])))
seed('discovery_vpd', 'cedar-static-cfg', bytes([1]) + trimmed(read(flash(lab, 'a2-static-cfg-00.bin')[0])))

# /proc/mtd as the lab's driver lists the partitions; status records of each kind.
seed('proc_mtd', 'proc-mtd', b'\n'.join(read(os.path.join(lab, 'root', 'proc', 'mtd')).split(b'\n')[:12]) + b'\n')
for name, record in [('ok', words(0xBD2057A7, 20, 0, 1, 0)), ('eperm', words(0xBD2057A7, 20, 1, 0, 0)),
                     ('verify-failed', words(0xBD2057A7, 16, 0, 7)), ('short', words(0xBD2057A7, 12)[:6])]:
    seed('status_record', name, record)
