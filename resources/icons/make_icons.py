#!/usr/bin/env python3
"""Draws Quorvel's icons as 16-colour pixel art and writes them as PNG files.

The pictures keep to the 16-colour desktop palette. Images of the tree's image list and the
pictures the window shows are written on light grey (192, 192, 192), the colour the program treats
as transparent; the icons installed for the desktop get a real alpha channel instead.

Run from anywhere: python3 resources/icons/make_icons.py
"""
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))

PALETTE = {
    ' ': (192, 192, 192),  # transparent
    '.': (0, 0, 0),
    '#': (128, 128, 128),
    'w': (255, 255, 255),
    'y': (255, 255, 0),
    'o': (128, 128, 0),
    'b': (0, 0, 128),
    'B': (0, 0, 255),
    'c': (0, 128, 128),
    'C': (0, 255, 255),
    'r': (128, 0, 0),
    'R': (255, 0, 0),
    'g': (0, 128, 0),
    'G': (0, 255, 0),
}


def canvas(w, h):
    return [[' '] * w for _ in range(h)]


def rect(c, x0, y0, x1, y1, ch):
    for y in range(y0, y1 + 1):
        for x in range(x0, x1 + 1):
            c[y][x] = ch


def hline(c, x0, x1, y, ch):
    rect(c, x0, y, x1, y, ch)


def vline(c, x, y0, y1, ch):
    rect(c, x, y0, x, y1, ch)


def from_rows(rows):
    w = max(len(r) for r in rows)
    assert all(len(r) == w for r in rows), rows
    return [list(r) for r in rows]


def write_png(path, pixels, alpha):
    h = len(pixels)
    w = len(pixels[0])
    raw = bytearray()
    for row in pixels:
        raw.append(0)
        for ch in row:
            r, g, b = PALETTE[ch]
            raw += bytes((r, g, b))
            if alpha:
                raw.append(0 if ch == ' ' else 255)

    def chunk(kind, data):
        body = kind + data
        return struct.pack('>I', len(data)) + body + struct.pack('>I', zlib.crc32(body) & 0xFFFFFFFF)

    colour_type = 6 if alpha else 2
    png = b'\x89PNG\r\n\x1a\n'
    png += chunk(b'IHDR', struct.pack('>IIBBBBB', w, h, 8, colour_type, 0, 0, 0))
    png += chunk(b'IDAT', zlib.compress(bytes(raw), 9))
    png += chunk(b'IEND', b'')
    with open(path, 'wb') as f:
        f.write(png)


# ---- 16 x 16 tree images ------------------------------------------------------------------

COMPUTER = from_rows([
    "                ",
    "  ...........   ",
    "  .wwwwwwwww#.  ",
    "  .w.......w#.  ",
    "  .w.bbbbb.w#.  ",
    "  .w.bCbbb.w#.  ",
    "  .w.bbbbb.w#.  ",
    "  .w.bbbbb.w#.  ",
    "  .w.......w#.  ",
    "  .wwwwwwwww#.  ",
    "  .##########.  ",
    "   ..........   ",
    " .wwwwwwwwwww#. ",
    " .w#########w#. ",
    " .wwwwwwwwGw##. ",
    "  ............  ",
])

FOLDER_CLOSED = from_rows([
    "                ",
    "                ",
    "  .....         ",
    " .ywywy.        ",
    ".ywywywy......  ",
    ".wwwwwwwwwwwwo. ",
    ".wyyyyyyyyyyyo. ",
    ".wyyyyyyyyyyyo. ",
    ".wyyyyyyyyyyyo. ",
    ".wyyyyyyyyyyyo. ",
    ".wyyyyyyyyyyyo. ",
    ".wyyyyyyyyyyyo. ",
    ".wyyyyyyyyyyyo. ",
    ".oooooooooooooo.",
    " ...............",
    "                ",
])

FOLDER_OPEN = from_rows([
    "                ",
    "                ",
    "  .....         ",
    " .ywywy.        ",
    ".ywywywy......  ",
    ".wyyyyyyyyyyy.  ",
    ".wyyyyy.........",
    ".wyyyy.wwwwwwww.",
    ".wyyy.wyyyyyyyo.",
    ".wyy.wyyyyyyyo. ",
    ".wy.wyyyyyyyyo. ",
    ".w.wyyyyyyyyo.  ",
    "..wyyyyyyyyyo.  ",
    ".ooooooooooo.   ",
    " ...........    ",
    "                ",
])

PAGE = from_rows([
    "                ",
    "  .........     ",
    "  .wwwwwww..    ",
    "  .wwwwwww.w.   ",
    "  .w.....w....  ",
    "  .wwwwwwwwww.  ",
    "  .w.......ww.  ",
    "  .wwwwwwwwww.  ",
    "  .w........w.  ",
    "  .wwwwwwwwww.  ",
    "  .w......www.  ",
    "  .wwwwwwwwww.  ",
    "  .w........w.  ",
    "  .wwwwwwwwww.  ",
    "  ............  ",
    "                ",
])


# ---- the application icon: a folder with a settings panel ---------------------------------

def app_icon_32():
    c = canvas(32, 32)
    # back of the folder with its tab
    hline(c, 3, 11, 5, '.')
    rect(c, 2, 6, 12, 7, 'y')
    c[6][2] = '.'
    c[6][12] = '.'
    vline(c, 1, 7, 27, '.')
    hline(c, 12, 28, 8, '.')
    rect(c, 2, 8, 11, 9, 'y')
    rect(c, 2, 9, 28, 26, 'y')
    hline(c, 2, 28, 9, 'w')
    vline(c, 2, 9, 26, 'w')
    vline(c, 29, 8, 27, '.')
    vline(c, 28, 10, 26, 'o')
    hline(c, 1, 29, 27, '.')
    hline(c, 3, 28, 26, 'o')
    for x in range(4, 12, 2):
        c[6][x] = 'w'
    # a settings panel on the folder: three sliders
    rect(c, 12, 12, 25, 23, 'w')
    hline(c, 12, 25, 12, 'w')
    hline(c, 12, 25, 24, '.')
    vline(c, 26, 12, 24, '.')
    vline(c, 11, 12, 24, '#')
    hline(c, 11, 26, 11, '#')
    for y, knob in ((14, 15), (18, 21), (22, 18)):
        hline(c, 13, 24, y, '#')
        rect(c, knob, y - 1, knob + 1, y + 1, 'b')
        c[y - 1][knob] = 'B'
    # the shadow line under the front
    hline(c, 2, 30, 28, ' ')
    return c


def app_icon_16():
    c = [row[:] for row in FOLDER_CLOSED]
    # a tiny slider panel
    rect(c, 6, 7, 12, 11, 'w')
    hline(c, 6, 12, 12, '.')
    vline(c, 13, 7, 12, '.')
    hline(c, 7, 11, 8, '#')
    hline(c, 7, 11, 10, '#')
    c[8][8] = 'b'
    c[10][10] = 'b'
    return c


# ---- the warning icon: a yellow triangle with a black exclamation mark --------------------

def warning_32():
    c = canvas(32, 32)
    apex_y, base_y = 2, 28
    for y in range(apex_y, base_y + 1):
        half = (y - apex_y) * 14 // (base_y - apex_y)
        x0, x1 = 15 - half, 16 + half
        rect(c, x0, y, x1, y, 'y')
        c[y][x0] = '.'
        c[y][x1] = '.'
    hline(c, 1, 30, base_y, '.')
    hline(c, 2, 30, base_y + 1, '#')  # shadow
    for y in range(apex_y + 1, base_y + 1):
        half = (y - apex_y) * 14 // (base_y - apex_y)
        c[y][min(31, 17 + half)] = '#'
    rect(c, 15, 10, 16, 20, '.')
    rect(c, 15, 23, 16, 24, '.')
    return c


def main():
    images = {
        'computer': COMPUTER,
        'folder-closed': FOLDER_CLOSED,
        'folder-open': FOLDER_OPEN,
        'page': PAGE,
        'quorvel-32': app_icon_32(),
        'quorvel-16': app_icon_16(),
        'warning': warning_32(),
    }
    for name, pixels in images.items():
        write_png(os.path.join(HERE, name + '.png'), pixels, alpha=False)
    # The desktop's icons under hicolor/ are drawn from quorvel.svg by make_app_icons.sh.


if __name__ == '__main__':
    main()
