#!/usr/bin/env python3
"""Writes the desktop icon in the hicolor theme's sizes beside this script.

The icon is the one the window shows (app/make_icons.py draws it at 16 and 32 pixels). Larger
sizes are the same pixel drawing enlarged by whole factors, so every size stays sharp: 48 from the
16-pixel drawing, 64, 128 and 256 from the 32-pixel one. Run again after changing the drawing;
the PNGs are committed and the build only installs them.
"""
import importlib.util
import os

HERE = os.path.dirname(os.path.abspath(__file__))
APP = os.path.join(HERE, '..', '..', 'app')

# size -> (drawing size, factor)
SIZES = {16: (16, 1), 32: (32, 1), 48: (16, 3), 64: (32, 2), 128: (32, 4), 256: (32, 8)}


def load_app_icons():
    location = importlib.util.spec_from_file_location('make_icons', os.path.join(APP, 'make_icons.py'))
    module = importlib.util.module_from_spec(location)
    location.loader.exec_module(module)
    return module


def enlarge(rows, factor):
    return [''.join(ch * factor for ch in row) for row in rows for _ in range(factor)]


def main():
    icons = load_app_icons()
    for size, (drawing, factor) in SIZES.items():
        folder = os.path.join(HERE, 'hicolor', '%dx%d' % (size, size), 'apps')
        os.makedirs(folder, exist_ok=True)
        icons.write_png(os.path.join(folder, 'tamsel.png'), enlarge(icons.app_icon(drawing), factor))


if __name__ == '__main__':
    main()
