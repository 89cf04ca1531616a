#!/usr/bin/env python3
"""Writes the program's icons as PNG files beside this script.

The icons are small pixel drawings, kept here as character maps so they can be changed by hand;
the PNGs are committed and the build only embeds them. Run again after editing a map.
"""
import os
import struct
import zlib

# 16-colour palette of the icons; '.' is transparent.
COLOURS = {
    '.': (0, 0, 0, 0),
    'k': (0, 0, 0, 255),        # black
    'g': (128, 128, 128, 255),  # grey
    's': (192, 192, 192, 255),  # light grey
    'w': (255, 255, 255, 255),  # white
    'y': (255, 255, 0, 255),    # yellow
    'c': (0, 255, 255, 255),    # cyan
    'G': (0, 255, 0, 255),      # green
    'm': (255, 0, 255, 255),    # magenta
    'r': (255, 0, 0, 255),      # red
    'b': (0, 0, 255, 255),      # blue
    'n': (0, 0, 128, 255),      # navy
}


def write_png(path, rows):
    height = len(rows)
    width = len(rows[0])
    raw = bytearray()
    for row in rows:
        assert len(row) == width, (path, row)
        raw.append(0)
        for ch in row:
            raw.extend(COLOURS[ch])

    def chunk(kind, data):
        body = kind + data
        return struct.pack('>I', len(data)) + body + struct.pack('>I', zlib.crc32(body) & 0xffffffff)

    png = b'\x89PNG\r\n\x1a\n'
    png += chunk(b'IHDR', struct.pack('>IIBBBBB', width, height, 8, 6, 0, 0, 0))
    png += chunk(b'IDAT', zlib.compress(bytes(raw), 9))
    png += chunk(b'IEND', b'')
    with open(path, 'wb') as f:
        f.write(png)


def canvas(size):
    return [['.'] * size for _ in range(size)]


def stamp(grid, x, y, pattern):
    for dy, line in enumerate(pattern):
        for dx, ch in enumerate(line):
            if ch != '.':
                grid[y + dy][x + dx] = ch


def rows_of(grid):
    return [''.join(r) for r in grid]


# Application icon: the seven colour bars with the letters DV over their lower half.
def app_icon(size):
    bars = 'wycGmrb'
    grid = [['.'] * size for _ in range(size)]
    for x in range(size):
        colour = bars[min(6, x * 7 // size)]
        for y in range(size):
            grid[y][x] = colour
    # Frame the picture.
    for i in range(size):
        grid[0][i] = grid[size - 1][i] = grid[i][0] = grid[i][size - 1] = 'k'
    if size == 32:
        letters = [
            'wwwwwwww...wwww......wwww',
            'wkkkkkkkww.wkkw......wkkw',
            'wkkkkkkkkw.wkkw......wkkw',
            'wkkwwwwkkkwwkkw......wkkw',
            'wkkw..wwkkwwkkw......wkkw',
            'wkkw...wkkwwkkww....wwkkw',
            'wkkw...wkkw.wkkw....wkkw.',
            'wkkw...wkkw.wkkww..wwkkw.',
            'wkkw..wwkkw..wkkw..wkkw..',
            'wkkwwwwkkkw..wwkkwwkkww..',
            'wkkkkkkkkw....wkkkkkkw...',
            'wkkkkkkkww....wwkkkkww...',
            'wwwwwwwww......wwwwww....',
        ]
        stamp(grid, 4, 16, letters)
    else:
        letters = [
            'wwwww.www.www',
            'wkkkww.wkw.wkw',
            'wkwkkw.wkw.wkw',
            'wkwwkw.wkwwkw.',
            'wkwwkw..wkkw..',
            'wkkkw...wkkw..',
            'wwwww...wwww..',
        ]
        letters = [l.ljust(14, '.') for l in letters]
        stamp(grid, 1, 8, letters)
    return rows_of(grid)


# Power symbol: a closed circle with a bar inside, black, softened by grey corner pixels.
POWER = [
    '.....gkkkkg.....',
    '...gkkg..gkkg...',
    '..gkg......gkg..',
    '.gkg...kk...gkg.',
    '.kg....kk....gk.',
    'gk.....kk.....kg',
    'kk.....kk.....kk',
    'kk.....kk.....kk',
    'kk.....kk.....kk',
    'gk.....kk.....kg',
    '.kg..........gk.',
    '.gkg........gkg.',
    '..gkg......gkg..',
    '...gkkg..gkkg...',
    '.....gkkkkg.....',
]

# Information: a blue letter i.
INFO = [
    '...bb...',
    '...bb...',
    '........',
    '........',
    '.bbbb...',
    '...bb...',
    '...bb...',
    '...bb...',
    '...bb...',
    '...bb...',
    '...bb...',
    '...bb...',
    '.bbbbbb.',
]

# Display labels: "SRC" and "DEV", each followed by a right-pointing triangle.
LABELS_SRC = [
    'kkk.kk..kkk..k..',
    'k...k.k.k....kk.',
    'kkk.kk..k....kkk',
    '..k.k.k.k....kk.',
    'kkk.k.k.kkk..k..',
]
LABELS_DEV = [
    'kk..kkk.k.k..k..',
    'k.k.k...k.k..kk.',
    'k.k.kk..k.k..kkk',
    'k.k.k...k.k..kk.',
    'kk..kkk..k...k..',
]


def main():
    here = os.path.dirname(os.path.abspath(__file__))

    write_png(os.path.join(here, 'icon_128.png'), app_icon(32))
    write_png(os.path.join(here, 'icon_128_16.png'), app_icon(16))

    grid = canvas(32)
    stamp(grid, 0, 0, POWER)
    write_png(os.path.join(here, 'icon_129.png'), rows_of(grid))

    grid = canvas(32)
    stamp(grid, 4, 1, INFO)
    write_png(os.path.join(here, 'icon_130.png'), rows_of(grid))

    grid = canvas(32)
    stamp(grid, 1, 1, LABELS_SRC)
    stamp(grid, 1, 13, LABELS_DEV)
    write_png(os.path.join(here, 'icon_131.png'), rows_of(grid))


if __name__ == '__main__':
    main()
