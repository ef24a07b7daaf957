#!/usr/bin/env python3
"""Writes archives made to claim memory from quillet-check.

    bench/hostile-archive.py names OUT.zip [FILES]
        As many entries as a release may hold (default 131,068 files and
        the three top-level files), each named in 1,533 bytes (the most a
        list line can name), two files in each of 65,534 folders, every
        file's CRC-32 wrong, and lists that name none of them: every file
        draws three findings (its CRC, not listed, its folder without a
        line), each about a long name.
    bench/hostile-archive.py lists OUT.zip
        Both lists at their largest: 65,535 lines of 511 characters beyond
        ASCII (1,533 bytes of UTF-8 each), naming nothing.
    bench/hostile-archive.py findings OUT.zip
        As many findings as entries and lines can draw: 131,068 files, two
        in each of 65,534 folders, named in 300 bytes of code page 437
        beyond ASCII (each decodes to about 590 bytes), each with a Zip64
        field, a '?' and a twin differing only in case, none listed; and
        both lists of 65,535 lines that name nothing, as long as the lists
        can be while still held (8 MiB). Every file draws six findings
        (legacy code page, Zip64, '?', path length, case twin, not listed),
        every folder and every line one.
"""
import random
import struct
import sys
import zlib

NAME_BYTES = 1533
LINE_UNITS = 511


class Writer:
    def __init__(self, path):
        self.out = open(path, 'wb')
        self.central = []

    def add(self, name, data, method=8, crc=None, flags=0x800):
        offset = self.out.tell()
        if method == 8:
            packer = zlib.compressobj(6, zlib.DEFLATED, -15)
            packed = packer.compress(data) + packer.flush()
        else:
            packed = data
        crc = zlib.crc32(data) if crc is None else crc
        raw = name if isinstance(name, bytes) else name.encode()
        self.out.write(struct.pack('<IHHHHHIIIHH', 0x04034B50, 20, flags, method, 0, 0, crc,
                                   len(packed), len(data), len(raw), 0))
        self.out.write(raw)
        self.out.write(packed)
        extra = struct.pack('<HHQ', 1, 8, offset)  # the offset in a Zip64 field
        self.central.append(struct.pack('<IHHHHHHIIIHHHHHII', 0x02014B50, 45, 45, flags, method,
                                        0, 0, crc, len(packed), len(data), len(raw), len(extra),
                                        0, 0, 0, 0, 0xFFFFFFFF) + raw + extra)

    def close(self):
        start = self.out.tell()
        for record in self.central:
            self.out.write(record)
        size = self.out.tell() - start
        count = len(self.central)
        end64 = self.out.tell()
        self.out.write(struct.pack('<IQHHIIQQQQ', 0x06064B50, 44, 45, 45, 0, 0, count, count,
                                   size, start))
        self.out.write(struct.pack('<IIQI', 0x07064B50, 0, end64, 1))
        self.out.write(struct.pack('<IHHHHIIH', 0x06054B50, 0, 0, 0xFFFF, 0xFFFF, 0xFFFFFFFF,
                                   0xFFFFFFFF, 0))
        self.out.close()


def encode_list(texts):
    data = bytearray(struct.pack('<H', len(texts)))
    for text in texts:
        data += (text + '\n').encode('utf-16-le')
    return bytes(data)


def names(path, files):
    zip_file = Writer(path)
    zip_file.add('$FileList.txt', encode_list(['$FileList.txt', '$FolderList.txt']))
    zip_file.add('$FolderList.txt', encode_list(['FlashDrive\\nothing']))
    zip_file.add('$md5.bin', b'0123456789abcdef', 0)
    for i in range(files):
        folder = '%06d' % (i // 2)
        folder += 'x' * (NAME_BYTES - len(folder) - 2)
        zip_file.add('%s/%d' % (folder, i % 2), b'data %d' % i, 8, crc=i)
    zip_file.close()


def lists(path):
    rng = random.Random(1)

    def line(i, prefix=''):
        text = prefix + '%06d' % i
        return text + ''.join(chr(0x4E00 + rng.randrange(20000))
                              for _ in range(LINE_UNITS - len(text)))

    zip_file = Writer(path)
    zip_file.add('$FileList.txt', encode_list([line(i) for i in range(65535)]))
    zip_file.add('$FolderList.txt', encode_list([line(i, 'FlashDrive\\') for i in range(65535)]))
    zip_file.add('$md5.bin', b'0123456789abcdef', 0)
    zip_file.close()


def findings(path):
    zip_file = Writer(path)
    lines = ['n%062d' % i for i in range(65535)]  # 63 characters: 8 MiB a list
    zip_file.add('$FileList.txt', encode_list(lines))
    zip_file.add('$FolderList.txt', encode_list(['FlashDrive\\' + line[11:] for line in lines]))
    zip_file.add('$md5.bin', b'0123456789abcdef', 0)
    for i in range(131068):
        folder = b'%06d' % (i // 2)
        folder += b'\x82' * (300 - len(folder) - 3)
        zip_file.add(folder + (b'/A?' if i % 2 == 0 else b'/a?'), b'', 0, flags=0)
    zip_file.close()


if __name__ == '__main__':
    if sys.argv[1] == 'names':
        names(sys.argv[2], int(sys.argv[3]) if len(sys.argv) > 3 else 131068)
    elif sys.argv[1] == 'findings':
        findings(sys.argv[2])
    else:
        lists(sys.argv[2])
