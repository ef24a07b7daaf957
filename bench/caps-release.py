#!/usr/bin/env python3
"""Writes a release archive at the caps, one the check passes.

    bench/caps-release.py OUT.zip [CHANGED_EVERY [RENAMED_EVERY]]

131,071 entries, the most a release may hold: 65,535 folders (the most
the packer's walk scans), 65,533 files, one in each of the first 65,533
folders, and the three top-level files; a file list of 65,535 lines (the
files and both lists), a folder list naming the 65,533 folders that hold a
file, $md5.bin the digest of the listed files. Each path takes about 200
bytes (folders and files named in about 100). Written as 7za writes an
archive of more than 65,535 entries: a Zip64 end record, no Zip64 field
in an entry. With CHANGED_EVERY, every such file holds other contents,
and with RENAMED_EVERY every such file has another name (a new release of
the same files, a share of them changed).
"""
import hashlib
import struct
import sys
import zlib

FOLDERS = 65535
FILES = 65533


def encode_list(texts):
    data = bytearray(struct.pack('<H', len(texts)))
    for text in texts:
        data += (text + '\n').encode('utf-16-le')
    return bytes(data)


def folder_name(i):
    return ('d%05d_' % i) + 'f' * 94


def file_name(i, renamed=False):
    return folder_name(i) + '/' + ('%s%05d_' % ('r' if renamed else 'p', i)) + 'x' * 90 + '.dat'


def main():
    path = sys.argv[1]
    every = int(sys.argv[2]) if len(sys.argv) > 2 else 0
    renamed_every = int(sys.argv[3]) if len(sys.argv) > 3 else 0
    names = [file_name(i, renamed_every and i % renamed_every == 1) for i in range(FILES)]
    contents = []
    for i in range(FILES):
        text = 'point of interest %d\n' % i
        if every and i % every == 0:
            text += 'changed\n'
        contents.append(text.encode())
    file_lines = ['$FileList.txt', '$FolderList.txt'] + \
        [name.replace('/', '\\') for name in names]
    file_list = encode_list(file_lines)
    folder_list = encode_list(['FlashDrive\\' + folder_name(i) for i in range(FILES)])
    digest = hashlib.md5(file_list + folder_list + b''.join(contents)).digest()

    out = open(path, 'wb')
    central = []

    def add(name, data, method=8):
        offset = out.tell()
        packed = data
        if method == 8:
            packer = zlib.compressobj(6, zlib.DEFLATED, -15)
            packed = packer.compress(data) + packer.flush()
        crc = zlib.crc32(data)
        raw = name.encode()
        out.write(struct.pack('<IHHHHHIIIHH', 0x04034B50, 20, 0, method, 0, 0, crc,
                              len(packed), len(data), len(raw), 0))
        out.write(raw)
        out.write(packed)
        attributes = 0x10 if name.endswith('/') else 0x20
        central.append(struct.pack('<IHHHHHHIIIHHHHHII', 0x02014B50, 20, 20, 0, method, 0, 0,
                                   crc, len(packed), len(data), len(raw), 0, 0, 0, 0,
                                   attributes, offset) + raw)

    add('$FileList.txt', file_list)
    add('$FolderList.txt', folder_list)
    add('$md5.bin', digest, 0)
    for i in range(FOLDERS):
        add(folder_name(i) + '/', b'', 0)
        if i < FILES:
            add(names[i], contents[i])
    start = out.tell()
    for record in central:
        out.write(record)
    size = out.tell() - start
    count = len(central)
    end64 = out.tell()
    out.write(struct.pack('<IQHHIIQQQQ', 0x06064B50, 44, 45, 45, 0, 0, count, count, size, start))
    out.write(struct.pack('<IIQI', 0x07064B50, 0, end64, 1))
    out.write(struct.pack('<IHHHHIIH', 0x06054B50, 0, 0, 0xFFFF, 0xFFFF, size, start, 0))
    out.close()


if __name__ == '__main__':
    main()
