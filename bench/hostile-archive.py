#!/usr/bin/env python3
"""Writes an archive made to claim memory: as many entries as a release may
hold, each named in 1,533 bytes (the most a list line can name), two files
in each of 65,532 folders, every file's CRC-32 wrong, and lists that name
none of them. Every file then draws three findings (its CRC, not listed,
its folder without a line), each about a long name.

    bench/hostile-archive.py OUT.zip [FILES]   (default 131,068 files)
"""
import struct
import sys
import zlib

NAME_BYTES = 1533


def lines(texts):
    data = struct.pack('<H', len(texts))
    for text in texts:
        data += (text + '\n').encode('utf-16-le')
    return data


def main():
    path = sys.argv[1]
    files = int(sys.argv[2]) if len(sys.argv) > 2 else 131068
    central = []
    with open(path, 'wb') as out:
        def add(name, data, method=8, crc=None):
            offset = out.tell()
            if method == 8:
                packer = zlib.compressobj(6, zlib.DEFLATED, -15)
                packed = packer.compress(data) + packer.flush()
            else:
                packed = data
            crc = zlib.crc32(data) if crc is None else crc
            raw = name.encode()
            out.write(struct.pack('<IHHHHHIIIHH', 0x04034B50, 20, 0x800, method, 0, 0, crc,
                                  len(packed), len(data), len(raw), 0))
            out.write(raw)
            out.write(packed)
            # The offset in a Zip64 field: the archive passes 4 GiB only
            # with far longer names, but the field costs nothing.
            extra = struct.pack('<HHQ', 1, 8, offset)
            central.append(struct.pack('<IHHHHHHIIIHHHHHII', 0x02014B50, 45, 45, 0x800, method,
                                       0, 0, crc, len(packed), len(data), len(raw), len(extra),
                                       0, 0, 0, 0, 0xFFFFFFFF) + raw + extra)

        add('$FileList.txt', lines(['$FileList.txt', '$FolderList.txt']))
        add('$FolderList.txt', lines(['FlashDrive\\nothing']))
        add('$md5.bin', b'0123456789abcdef', 0)
        for i in range(files):
            folder = '%06d' % (i // 2)
            folder += 'x' * (NAME_BYTES - len(folder) - 3)
            add('%s/%d' % (folder, i % 2) + ('f' if len(folder) + 2 < NAME_BYTES else ''),
                b'data %d' % i, 8, crc=i)
        start = out.tell()
        for record in central:
            out.write(record)
        size = out.tell() - start
        count = len(central)
        end64 = out.tell()
        out.write(struct.pack('<IQHHIIQQQQ', 0x06064B50, 44, 45, 45, 0, 0, count, count, size,
                              start))
        out.write(struct.pack('<IIQI', 0x07064B50, 0, end64, 1))
        out.write(struct.pack('<IHHHHIIH', 0x06054B50, 0, 0, 0xFFFF, 0xFFFF, 0xFFFFFFFF,
                              0xFFFFFFFF, 0))


if __name__ == '__main__':
    main()
