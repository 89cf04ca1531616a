#!/usr/bin/env python3
"""`cmake --install` lays out a tree that runs from anywhere: programs in bin/; libplatform.so, private
to Tamsel, with the in-process servers in lib/tamsel/; run paths relative to $ORIGIN. The installed
programs register, list and record on their own, with a fresh state directory."""
import os
import re
import subprocess
import sys

import tamsel_chain
from tamsel_chain import check

EXPECTED = [
    'bin/Tamsel', 'bin/regsvr', 'bin/graphinfo', 'bin/dvdeck', 'bin/tamsel-stripe',
    'lib/tamsel/libplatform.so',
    'lib/tamsel/tamsel.ax', 'lib/tamsel/colorbar.dat', 'lib/tamsel/dvfilters.so',
    'share/applications/tamsel.desktop',
    'share/man/man1/Tamsel.1.gz', 'share/man/man1/regsvr.1.gz',
    'share/man/man1/graphinfo.1.gz', 'share/man/man1/dvdeck.1.gz',
    'share/man/man1/tamsel-stripe.1.gz',
] + ['share/icons/hicolor/%dx%d/apps/tamsel.png' % (s, s) for s in (16, 32, 48, 64, 128, 256)]


def elf_files(prefix):
    for sub in ('bin', 'lib/tamsel'):
        folder = os.path.join(prefix, sub)
        for name in sorted(os.listdir(folder)):
            path = os.path.join(folder, name)
            if os.path.isfile(path):
                with open(path, 'rb') as f:
                    if f.read(4) == b'\x7fELF':
                        yield path


def check_run_paths(prefix, build_dir):
    for path in elf_files(prefix):
        dynamic = subprocess.run(['readelf', '-d', path], capture_output=True, text=True,
                                 check=True).stdout
        for entry in re.findall(r'\((?:RPATH|RUNPATH)\)\s+Library (?:rpath|runpath): \[(.*)\]',
                                dynamic):
            for item in entry.split(':'):
                check(item.startswith('$ORIGIN'), '%s has run path %s' % (path, entry))
        check(build_dir not in dynamic, '%s refers to the build directory' % path)
        # Hardened as Debian asks: bound at load time behind a read-only relocation table, and
        # the programs position-independent.
        check('BIND_NOW' in dynamic or re.search(r'\(FLAGS_1\).*\bNOW\b', dynamic),
              '%s is not linked with -z now' % path)
        headers = subprocess.run(['readelf', '-lh', path], capture_output=True, text=True,
                                 check=True).stdout
        check('GNU_RELRO' in headers, '%s has no read-only relocations (relro)' % path)
        check('DYN (' in headers, '%s is not position-independent' % path)
        # Every library it needs resolves, and libplatform.so from the installed tree.
        ldd = subprocess.run(['ldd', path], capture_output=True, text=True).stdout
        check('not found' not in ldd, '%s: %s' % (path, ldd))
        for found in re.findall(r'libplatform\.so => (.*) \(0x', ldd):
            check(os.path.realpath(found) == os.path.join(prefix, 'lib', 'tamsel', 'libplatform.so'),
                  '%s loads %s' % (path, found))


def check_desktop_entry(prefix):
    entry = open(os.path.join(prefix, 'share/applications/tamsel.desktop')).read()
    program = re.search(r'^Exec=(\S+)', entry, re.M).group(1)
    check(os.access(os.path.join(prefix, 'bin', program), os.X_OK),
          'the desktop entry starts %s, which is not installed' % program)
    icon = re.search(r'^Icon=(\S+)', entry, re.M).group(1)
    check(os.path.exists(os.path.join(prefix, 'share/icons/hicolor/32x32/apps', icon + '.png')),
          'the desktop entry\'s icon %s is not installed' % icon)


def main():
    build_dir = os.path.realpath(sys.argv[1])
    problems = []
    with tamsel_chain.scratch_dir('tamsel-install-', problems) as work:
        prefix = os.path.join(work, 'prefix with space')
        subprocess.run(['cmake', '--install', build_dir, '--prefix', prefix],
                       check=True, stdout=subprocess.DEVNULL)
        for relative in EXPECTED:
            check(os.path.isfile(os.path.join(prefix, relative)), relative + ' not installed')
        check_run_paths(prefix, build_dir)
        check_desktop_entry(prefix)
        report, _ = tamsel_chain.run_chain(os.path.join(prefix, 'bin'),
                                           os.path.join(prefix, 'lib', 'tamsel'), work, bare=True)
        print(report)
    return tamsel_chain.report(problems, 'installed tree works')


if __name__ == '__main__':
    sys.exit(main())
