#!/usr/bin/env python3
"""The Debian package: built with scripts/package.sh, installed with dpkg -i (which registers
tamsel.ax in the machine-wide registry), the installed Tamsel run headless on the installed
dvdeck by a user with a fresh state directory who registers nothing, then purged, leaving no
file behind (the machine-wide registry included).

Runs only as root on a machine with dpkg, and only when no tamsel package is installed already
(it must not replace a user's own); otherwise it is skipped (status 77)."""
import fnmatch
import glob
import os
import shutil
import sqlite3
import stat
import subprocess
import sys

import tamsel_chain
from tamsel_chain import check

SKIP = 77
PACKAGE = 'tamsel'
MACHINE_DIR = '/var/lib/tamsel-platform'


def installed():
    status = subprocess.run(['dpkg-query', '-W', '-f=${Status}', PACKAGE],
                            capture_output=True, text=True)
    return status.returncode == 0 and 'installed' in status.stdout.split()


def excluded_by_dpkg():
    """path-exclude patterns of dpkg's configuration (slim images leave out manuals and docs),
    less the path-include ones."""
    excludes, includes = [], []
    for config in ['/etc/dpkg/dpkg.cfg'] + sorted(glob.glob('/etc/dpkg/dpkg.cfg.d/*')):
        try:
            for line in open(config):
                words = line.split()
                if len(words) == 2 and words[0] in ('path-exclude', 'path-include'):
                    (excludes if words[0] == 'path-exclude' else includes).append(words[1].lstrip('='))
        except OSError:
            pass
    return lambda path: (any(fnmatch.fnmatch(path, p) for p in excludes) and
                         not any(fnmatch.fnmatch(path, p) for p in includes))


def mode(path):
    return stat.S_IMODE(os.stat(path).st_mode)


def check_machine_registry():
    """postinst registered tamsel.ax machine-wide: readable by every user, writable by root."""
    database = os.path.join(MACHINE_DIR, 'registry.db')
    check(os.path.isfile(database), database + ' missing after dpkg -i')
    check(mode(MACHINE_DIR) == 0o755, '%s has mode %o' % (MACHINE_DIR, mode(MACHINE_DIR)))
    check(mode(database) == 0o644, '%s has mode %o' % (database, mode(database)))
    check(os.stat(database).st_uid == 0, database + ' is not root\'s')
    check(b'/usr/lib/tamsel/tamsel.ax' in registered_paths(database),
          'tamsel.ax is not registered in ' + database)


def registered_paths(database):
    """Every value of the store at `database` joined, to look for a server path in."""
    if not os.path.exists(database):
        return b''
    db = sqlite3.connect('file:%s?mode=ro' % database, uri=True)
    try:
        return b'\n'.join(bytes(row[0]) for row in db.execute('SELECT data FROM vals'))
    finally:
        db.close()


def main():
    source_dir, build_dir = sys.argv[1], sys.argv[2]
    if os.geteuid() != 0 or shutil.which('dpkg') is None or shutil.which('cpack') is None:
        print('skipped: needs root, dpkg and cpack')
        return SKIP
    if installed():
        print('skipped: a %s package is installed already' % PACKAGE)
        return SKIP

    problems = []
    with tamsel_chain.scratch_dir('tamsel-deb-', problems) as work:
        made = subprocess.run(['bash', os.path.join(source_dir, 'scripts', 'package.sh'), work],
                              env=dict(os.environ, TAMSEL_BUILD_DIR=build_dir),
                              capture_output=True, text=True)
        check(made.returncode == 0, 'package.sh failed:\n' + made.stderr)
        deb = made.stdout.strip().splitlines()[-1]
        fields = subprocess.run(['dpkg-deb', '-f', deb, 'Depends'], capture_output=True,
                                text=True, check=True).stdout
        # Worked out from the linked libraries, not written by hand.
        for library in ('libsqlite3-0', 'libqt6widgets6', 'libavcodec', 'libraw1394'):
            check(library in fields, 'Depends lacks %s: %s' % (library, fields))
        contents = subprocess.run(['dpkg-deb', '--fsys-tarfile', deb], capture_output=True,
                                  check=True).stdout
        files = [line[1:] for line in subprocess.run(
            ['tar', '-t'], input=contents, capture_output=True, check=True
        ).stdout.decode().splitlines() if not line.endswith('/')]

        try:
            subprocess.run(['dpkg', '-i', deb], check=True, capture_output=True)
            check(installed(), 'dpkg -i did not install the package')
            excluded = excluded_by_dpkg()
            for path in files:
                check(os.path.exists(path) or excluded(path), path + ' missing after dpkg -i')
            page = '/usr/share/man/man1/graphinfo.1.gz'
            if not excluded(page):
                man = subprocess.run(['man', '-w', 'graphinfo'], capture_output=True, text=True)
                check(man.stdout.strip() == page, 'man finds graphinfo at %r' % man.stdout)
            check_machine_registry()
            # A user who registers nothing finds the filter through the machine-wide registry.
            _, state = tamsel_chain.run_chain('/usr/bin', '/usr/lib/tamsel', work,
                                              machine_wide=True)
            check(b'tamsel.ax' not in registered_paths(os.path.join(state, 'registry.db')),
                  "tamsel.ax was registered in the user's own store")
        finally:
            # Removing unregisters (prerm) and keeps the machine-wide registry until the purge.
            removed = subprocess.run(['dpkg', '--remove', PACKAGE], capture_output=True, text=True)
            kept = os.path.isfile(os.path.join(MACHINE_DIR, 'registry.db'))
            left_registered = registered_paths(os.path.join(MACHINE_DIR, 'registry.db'))
            purged = subprocess.run(['dpkg', '--purge', PACKAGE], capture_output=True, text=True)
        check(removed.returncode == 0, 'dpkg --remove failed:\n' + removed.stderr)
        check(kept, 'the machine-wide registry went with dpkg --remove, before the purge')
        check(b'tamsel.ax' not in left_registered, 'tamsel.ax still registered after removal')
        check(purged.returncode == 0, 'dpkg --purge failed:\n' + purged.stderr)
        check(not installed(), 'the package is still installed')
        left = [path for path in files + ['/usr/lib/tamsel', '/usr/share/doc/tamsel', MACHINE_DIR]
                if os.path.lexists(path)]
        check(not left, 'left behind: %s' % left)
    return tamsel_chain.report(problems, 'package installs, runs and purges cleanly')


if __name__ == '__main__':
    sys.exit(main())
