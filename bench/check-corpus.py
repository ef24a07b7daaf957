#!/usr/bin/env python3
"""Writes a corpus of releases for comparing two builds of quillet-check.

    bench/check-corpus.py OUT_FOLDER [COUNT] [SEED]

Each release is a zip archive in the packer's layout (and, where the host
can hold its names, the same release extracted into a folder), made at
random from a seed: files in folders, with names in ASCII, West-European
letters or CJK; both lists and $md5.bin right, or spoiled one way or
several (a line dropped, added, repeated, in another case or in the walk's
form; a folder line missing or naming nothing; the digest wrong, short or
gone); entries stored or deflated, with or without folder entries, UTF-8
or legacy names, Zip64 fields, data descriptors; and now and then damage
(a CRC, a data byte, a local name, a cut-off end, a repeated or unsafe
name). OUT_FOLDER/cases.txt lists every release, one a line, as
"NAME RULES" where RULES is "rules" when the release holds what the device
rules judge (characters, reserved names, a trailing dot or space, names
differing only in case, long paths, links), "plain" otherwise.
"""
import hashlib
import os
import random
import struct
import sys
import zlib

ASCII = 'abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-'
LATIN = 'éèüöäßçñÉÜÖ'
CJK = '地図日本語道路'
SPECIAL = ['?', '*', ':', '<', '|', '"', '\x01', '\x1b']
RESERVED = ['CON', 'nul.txt', 'COM1.log', 'lpt9', 'aux.dat', 'CLOCK$']


def utf16_units(text):
    return len(text.encode('utf-16-le')) // 2


class Zip:
    def __init__(self, zip64, descriptor):
        self.out = bytearray()
        self.central = []
        self.zip64 = zip64
        self.descriptor = descriptor
        self.local = []

    def add(self, name, data, method, utf8, unix_mode=0):
        raw = name.encode('utf-8') if utf8 else name.encode('cp437')
        flags = 0x800 if utf8 and not raw.isascii() else 0
        if self.descriptor:
            flags |= 0x08
        packed = data
        if method == 8:
            packer = zlib.compressobj(6, zlib.DEFLATED, -15)
            packed = packer.compress(data) + packer.flush()
        crc = zlib.crc32(data)
        offset = len(self.out)
        self.local.append(offset)
        local_extra = struct.pack('<HHQQ', 1, 16, len(data), len(packed)) if self.zip64 else b''
        mark = 0xFFFFFFFF if self.zip64 else None
        self.out += struct.pack('<IHHHHHIIIHH', 0x04034B50, 45, flags, method, 0, 0,
                                0 if self.descriptor else crc,
                                mark if mark else (0 if self.descriptor else len(packed)),
                                mark if mark else (0 if self.descriptor else len(data)),
                                len(raw), len(local_extra))
        self.out += raw + local_extra + packed
        if self.descriptor:
            if self.zip64:
                self.out += struct.pack('<IIQQ', 0x08074B50, crc, len(packed), len(data))
            else:
                self.out += struct.pack('<IIII', 0x08074B50, crc, len(packed), len(data))
        extra = struct.pack('<HHQQQ', 1, 24, len(data), len(packed), offset) if self.zip64 else b''
        made_by = (3 << 8 | 45) if unix_mode else 45
        self.central.append(bytearray(struct.pack(
            '<IHHHHHHIIIHHHHHII', 0x02014B50, made_by, 45, flags, method, 0, 0, crc,
            mark if mark else len(packed), mark if mark else len(data), len(raw), len(extra), 0,
            0, 0, unix_mode << 16, mark if mark else offset) + raw + extra))

    def bytes(self):
        start = len(self.out)
        out = bytearray(self.out)
        for record in self.central:
            out += record
        size = len(out) - start
        count = len(self.central)
        if self.zip64:
            here = len(out)
            out += struct.pack('<IQHHIIQQQQ', 0x06064B50, 44, 45, 45, 0, 0, count, count, size,
                               start)
            out += struct.pack('<IIQI', 0x07064B50, 0, here, 1)
        out += struct.pack('<IHHHHIIH', 0x06054B50, 0, 0, min(count, 0xFFFF), min(count, 0xFFFF),
                           size, start, 0)
        return bytes(out)


def encode_list(lines, count=None):
    out = struct.pack('<H', len(lines) if count is None else count)
    for line in lines:
        out += line.encode('utf-16-le') + b'\n\x00'
    return out


def folded(text):
    return text.upper()


def random_name(rng, pool):
    length = rng.choice([1, 3, 6, 12, 30])
    return ''.join(rng.choice(pool) for _ in range(length))


def make_release(rng, number):
    """A release: its entries (name -> bytes), the lists' lines, the digest,
    and whether it holds what the device rules judge."""
    rules = False
    pools = [ASCII, ASCII, ASCII + LATIN, ASCII + CJK]
    folders = ['']
    for _ in range(rng.randint(0, 5)):
        parent = rng.choice(folders)
        folders.append((parent + '/' if parent else '') + random_name(rng, rng.choice(pools)))
    files = {}
    order = []
    # A third of the releases hold one name the device rules judge.
    judged = rng.randrange(40) if rng.random() < 0.3 else -1
    for number in range(rng.randint(0, 25)):
        folder = rng.choice(folders)
        name = random_name(rng, rng.choice(pools)) + rng.choice(['', '.dat', '.bin'])
        if number == judged:
            name = rng.choice([name + rng.choice(SPECIAL) + 'x', rng.choice(RESERVED),
                               name + rng.choice(['.', ' ']), random_name(rng, ASCII) * 30])
        path = (folder + '/' if folder else '') + name
        if path in files:
            continue
        size = rng.choice([0, 1, 100, 3000, 70000])
        data = (rng.choice([b'text ', b'map ', bytes([rng.randrange(256)])]) * size)[:size]
        if rng.random() < 0.3:
            data = bytes(rng.randrange(256) for _ in range(min(size, 500)))
        files[path] = data
        order.append(path)
    if rng.random() < 0.05 and order:  # a twin differing only in case
        twin = order[0].swapcase()
        if twin != order[0] and twin not in files:
            files[twin] = b'twin'
            order.append(twin)
    if rng.random() < 0.15:
        files['$FileList-cfg.txt'] = b'configuration'
        order.insert(rng.randint(0, len(order)), '$FileList-cfg.txt')
    for path in files:
        components = path.split('/')
        if (utf16_units(path) + 11 > 255 or len(path.encode()) > 255 or
                any(c in path for c in SPECIAL) or any(c.endswith(('.', ' ')) for c in components)
                or any(c.split('.')[0].upper() in ('CON', 'NUL', 'COM1', 'LPT9', 'AUX', 'CLOCK$')
                       for c in components)):
            rules = True
    lower = {}
    for path in list(files) + [f for f in folders if f]:
        key = folded(path)
        if key in lower and lower[key] != path:
            rules = True
        lower.setdefault(key, path)
    file_lines = ['$FileList.txt', '$FolderList.txt'] + [p.replace('/', '\\') for p in order]
    # As the packer lists them: every folder that holds something, a folder
    # holding only a folder too.
    held = []
    for path in order:
        parent = path.rsplit('/', 1)[0] if '/' in path else ''
        while parent and parent not in held:
            held.append(parent)
            parent = parent.rsplit('/', 1)[0] if '/' in parent else ''
    folder_lines = ['FlashDrive\\' + f.replace('/', '\\') for f in held]
    return files, order, file_lines, folder_lines, rules


def spoil_lists(rng, file_lines, folder_lines):
    kind = rng.randrange(12)
    if kind == 0 and len(file_lines) > 2:
        del file_lines[rng.randrange(2, len(file_lines))]
    elif kind == 1:
        file_lines.insert(rng.randint(0, len(file_lines)), 'NAVI\\gone.dat')
    elif kind == 2 and len(file_lines) > 2:
        file_lines.append(file_lines[rng.randrange(2, len(file_lines))])
    elif kind == 3 and len(file_lines) > 2:
        at = rng.randrange(2, len(file_lines))
        line = file_lines[at]
        changed = ''.join(c.swapcase() if c.isascii() else c for c in line)
        file_lines[at] = changed
    elif kind == 4 and len(file_lines) > 2:
        at = rng.randrange(2, len(file_lines))
        file_lines[at] = 'FlashDrive\\' + file_lines[at]
    elif kind == 5 and folder_lines:
        del folder_lines[rng.randrange(len(folder_lines))]
    elif kind == 6:
        folder_lines.append('FlashDrive\\Nowhere')
    elif kind == 7 and folder_lines:
        folder_lines[0] = folder_lines[0][len('FlashDrive\\'):]
    elif kind == 8 and len(file_lines) > 3:
        rng.shuffle(file_lines)
    elif kind == 9 and folder_lines:
        folder_lines.append(folder_lines[0].upper())


def write_case(rng, out, number):
    files, order, file_lines, folder_lines, rules = make_release(rng, number)
    if rng.random() < 0.4:
        spoil_lists(rng, file_lines, folder_lines)
    file_list = encode_list(file_lines)
    folder_list = encode_list(folder_lines)
    if rng.random() < 0.05:
        file_list = encode_list(file_lines, len(file_lines) + 1)
    if rng.random() < 0.03:
        folder_list += b'\r\x00'
    contents = {'$FileList.txt': file_list, '$FolderList.txt': folder_list}
    contents.update(files)
    digest = hashlib.md5()
    for line in file_lines:
        if '$FileList-cfg.txt' in line:
            continue
        name = line.replace('\\', '/')
        if name in contents:
            digest.update(contents[name])
    md5 = digest.digest()
    roll = rng.random()
    if roll < 0.05:
        md5 = b'\x5a' * 16
    elif roll < 0.07:
        md5 = md5[:10]
    if roll > 0.97:
        md5 = None
    else:
        contents['$md5.bin'] = md5

    zip64 = rng.random() < 0.15
    descriptor = rng.random() < 0.15
    archive = Zip(zip64, descriptor)
    entries = ['$FileList.txt', '$FolderList.txt'] + (['$md5.bin'] if md5 is not None else [])
    rest = list(files)
    rng.shuffle(rest)
    entries += rest
    folder_entries = rng.random() < 0.5
    written_folders = set()
    legacy = rng.random() < 0.2
    for name in entries:
        if folder_entries and '/' in name:
            parts = name.split('/')[:-1]
            for depth in range(1, len(parts) + 1):
                folder = '/'.join(parts[:depth]) + '/'
                if folder not in written_folders:
                    written_folders.add(folder)
                    archive.add(folder, b'', 0, True)
        utf8 = True
        if legacy:
            try:
                name.encode('cp437')
                utf8 = False
            except UnicodeEncodeError:
                pass
        archive.add(name, contents[name], rng.choice([0, 8]), utf8)
    if rng.random() < 0.03:
        archive.add('../outside.txt', b'x', 0, True)
        rules = True
    if rng.random() < 0.03:
        archive.add('NAVI/link', b'../../etc', 0, True, unix_mode=0o120777)
        rules = True
    if rng.random() < 0.03 and entries:
        archive.add(entries[-1], b'again', 0, True)
    data = bytearray(archive.bytes())
    damage = rng.random()
    if damage < 0.04 and len(archive.central) > 3:
        at = data.find(archive.central[3][:46])
        data[at + 16] ^= 0x01  # a CRC-32 in the directory
    elif damage < 0.07 and archive.local:
        at = archive.local[-1] + 30
        data[at] ^= 0x20  # a local name's first letter
    elif damage < 0.09:
        data = data[:-7]
    name = 'case%04d' % number
    with open(os.path.join(out, name + '.zip'), 'wb') as f:
        f.write(data)
    lines = [(name + '.zip', rules)]
    # The same release extracted, where the names make files here.
    if damage >= 0.09 and rng.random() < 0.4:
        folder = os.path.join(out, name + '.d')
        try:
            for entry in entries:
                path = os.path.join(folder, entry)
                os.makedirs(os.path.dirname(path), exist_ok=True)
                with open(path, 'wb') as f:
                    f.write(contents[entry])
            lines.append((name + '.d', rules))
        except OSError:
            pass
    return lines


def main():
    out = sys.argv[1]
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 300
    seed = int(sys.argv[3]) if len(sys.argv) > 3 else 1
    os.makedirs(out, exist_ok=True)
    rng = random.Random(seed)
    with open(os.path.join(out, 'cases.txt'), 'w') as listing:
        for number in range(count):
            for name, rules in write_case(rng, out, number):
                listing.write('%s %s\n' % (name, 'rules' if rules else 'plain'))


if __name__ == '__main__':
    main()
