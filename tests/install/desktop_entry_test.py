#!/usr/bin/env python3
"""The desktop entry is valid and its icon exists in every hicolor size, showing the picture the
window itself uses (app/icon_128.png, app/icon_128_16.png) enlarged by whole factors."""
import os
import re
import struct
import subprocess
import sys
import zlib


def read_png(path):
    """(width, height, rows of RGBA pixel tuples) of an 8-bit RGBA, non-interlaced PNG."""
    data = open(path, 'rb').read()
    if data[:8] != b'\x89PNG\r\n\x1a\n':
        raise ValueError(path + ': not a PNG')
    pos, idat, header = 8, b'', None
    while pos < len(data):
        length, kind = struct.unpack('>I4s', data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if zlib.crc32(kind + body) & 0xffffffff != struct.unpack('>I', data[pos + 8 + length:pos + 12 + length])[0]:
            raise ValueError(path + ': bad CRC in ' + kind.decode())
        if kind == b'IHDR':
            header = struct.unpack('>IIBBBBB', body)
        elif kind == b'IDAT':
            idat += body
        pos += 12 + length
    width, height, depth, colour, _, _, interlace = header
    if (depth, colour, interlace) != (8, 6, 0):
        raise ValueError(path + ': not 8-bit RGBA')
    raw = zlib.decompress(idat)
    stride = width * 4
    rows, previous = [], bytearray(stride)
    for y in range(height):
        kind = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for x in range(stride):
            a = line[x - 4] if x >= 4 else 0
            b = previous[x]
            c = previous[x - 4] if x >= 4 else 0
            if kind == 1:
                line[x] = (line[x] + a) & 255
            elif kind == 2:
                line[x] = (line[x] + b) & 255
            elif kind == 3:
                line[x] = (line[x] + (a + b) // 2) & 255
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[x] = (line[x] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        rows.append([tuple(line[i:i + 4]) for i in range(0, stride, 4)])
        previous = line
    return width, height, rows


def main():
    source_dir = sys.argv[1]
    entry_path = os.path.join(source_dir, 'packaging', 'tamsel.desktop')
    problems = []
    validated = subprocess.run(['desktop-file-validate', entry_path], capture_output=True, text=True)
    if validated.returncode != 0 or validated.stdout.strip():
        problems.append('desktop-file-validate: ' + validated.stdout + validated.stderr)
    entry = open(entry_path).read()
    for key in ('Name', 'Exec', 'Icon', 'Categories', 'Comment', r'Name\[ja\]', r'Comment\[ja\]'):
        if not re.search(r'^%s=\S' % key, entry, re.M):
            problems.append('the entry has no ' + key)
    icon = re.search(r'^Icon=(\S+)', entry, re.M).group(1)

    drawings = {16: read_png(os.path.join(source_dir, 'app', 'icon_128_16.png'))[2],
                32: read_png(os.path.join(source_dir, 'app', 'icon_128.png'))[2]}
    for size in (16, 32, 48, 64, 128, 256):
        path = os.path.join(source_dir, 'packaging', 'icons', 'hicolor', '%dx%d' % (size, size),
                            'apps', icon + '.png')
        try:
            width, height, rows = read_png(path)
        except (OSError, ValueError) as error:
            problems.append(str(error))
            continue
        if (width, height) != (size, size):
            problems.append('%s is %dx%d' % (path, width, height))
            continue
        drawing = drawings[16] if size % 32 else drawings[32]
        factor = size // len(drawing)
        if any(rows[y][x] != drawing[y // factor][x // factor]
               for y in range(size) for x in range(size)):
            problems.append('%s is not the window\'s icon enlarged %d times' % (path, factor))
    for line in problems:
        print('FAILED:', line)
    return 1 if problems else 0


if __name__ == '__main__':
    sys.exit(main())
