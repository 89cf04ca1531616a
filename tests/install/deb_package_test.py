#!/usr/bin/env python3
"""The Debian package: built with scripts/package.sh, installed with dpkg -i (which registers
tamsel.ax in the machine-wide registry), the installed Tamsel run headless on the installed
dvdeck by a user with a fresh state directory who registers nothing, then purged, leaving no
file behind (the machine-wide registry included).

The package is installed on this very system, as a user would, so the maintainer scripts run as
they really do. A tamsel package installed already is set aside first and put back afterwards:
repacked with dpkg-repack, purged, and reinstalled from that copy, with the machine-wide
registry's folder saved and restored as it was. On a machine without one the test makes that
case itself (it installs the package, with a registration of its own, and checks it is put back
unchanged), so both paths run wherever the test runs. It needs root, dpkg, dpkg-repack and
cpack, and fails saying so when one is missing; it never skips."""
import fnmatch
import glob
import os
import shutil
import sqlite3
import stat
import subprocess
import sys
import tempfile

import tamsel_chain
from tamsel_chain import check

PACKAGE = 'tamsel'
MACHINE_DIR = '/var/lib/tamsel-platform'


def state():
    """dpkg's state of the package: 'not-installed' when dpkg knows nothing of it."""
    status = subprocess.run(['dpkg-query', '-W', '-f=${db:Status-Status}', PACKAGE],
                            capture_output=True, text=True)
    return status.stdout.strip() if status.returncode == 0 and status.stdout.strip() else \
        'not-installed'


def installed():
    return state() == 'installed'


def version():
    return subprocess.run(['dpkg-query', '-W', '-f=${Version}', PACKAGE], capture_output=True,
                          text=True).stdout.strip()


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



def tree_snapshot(top):
    """Every entry below `top` with its type, mode, owner and content (or link target)."""
    if not os.path.lexists(top):
        return None
    snapshot = {}
    for folder, dirs, names in os.walk(top):
        for name in sorted(dirs + names):
            path = os.path.join(folder, name)
            info = os.lstat(path)
            if stat.S_ISLNK(info.st_mode):
                content = os.readlink(path)
            elif stat.S_ISREG(info.st_mode):
                content = open(path, 'rb').read()
            else:
                content = None
            snapshot[os.path.relpath(path, top)] = (stat.S_IFMT(info.st_mode), mode_of(info),
                                                    info.st_uid, info.st_gid, content)
    info = os.lstat(top)
    snapshot['.'] = (stat.S_IFMT(info.st_mode), mode_of(info), info.st_uid, info.st_gid, None)
    return snapshot


def mode_of(info):
    return stat.S_IMODE(info.st_mode)


def copy_tree_exactly(source, target):
    """Copies source to target (which must not exist) with modes and owners."""
    shutil.copytree(source, target, symlinks=True, copy_function=shutil.copy2)
    for folder, dirs, names in os.walk(source):
        for name in ['.'] + dirs + names:
            path = os.path.normpath(os.path.join(folder, name))
            info = os.lstat(path)
            copy = os.path.join(target, os.path.relpath(path, source))
            os.lchown(copy, info.st_uid, info.st_gid)
            if not stat.S_ISLNK(info.st_mode):
                os.chmod(copy, mode_of(info))


class InstalledPackageAside:
    """Sets an installed tamsel package aside for the test and puts it back afterwards: repacked
    with dpkg-repack, purged, and at the end reinstalled from that copy, with the machine-wide
    registry's folder restored exactly as it was (other libraries' registrations included).
    Nothing to do when no package is installed. Problems putting it back go to `problems`."""

    def __init__(self, work, problems):
        self.work = work
        self.problems = problems
        self.saved_deb = None
        self.saved_machine_dir = None
        self.version = None

    def __enter__(self):
        found = state()
        if found == 'not-installed':
            return self
        check(found == 'installed',
              'a %s package is in dpkg state "%s"; configure it (dpkg --configure -a) or purge '
              'it (dpkg --purge %s) before running this test' % (PACKAGE, found, PACKAGE))
        self.version = version()
        saved = os.path.join(self.work, 'saved-package')
        os.mkdir(saved)
        repacked = subprocess.run(['dpkg-repack', PACKAGE], cwd=saved, capture_output=True,
                                  text=True)
        debs = glob.glob(os.path.join(saved, '*.deb'))
        check(repacked.returncode == 0 and len(debs) == 1,
              'dpkg-repack %s failed, the installed package is left alone:\n%s%s' % (
                  PACKAGE, repacked.stdout, repacked.stderr))
        if os.path.lexists(MACHINE_DIR):
            self.saved_machine_dir = os.path.join(self.work, 'saved-machine-dir')
            copy_tree_exactly(MACHINE_DIR, self.saved_machine_dir)
        self.saved_deb = debs[0]
        purged = subprocess.run(['dpkg', '--purge', PACKAGE], capture_output=True, text=True)
        if purged.returncode != 0 or state() != 'not-installed':
            self.__exit__(None, None, None)
            raise tamsel_chain.Failure('cannot set the installed %s package aside '
                                       '(dpkg --purge):\n%s' % (PACKAGE, purged.stderr))
        print('set aside the installed %s %s; it is put back afterwards' % (PACKAGE, self.version))
        return self

    def __exit__(self, *_):
        if self.saved_deb is None:
            return False
        if state() != 'not-installed':
            subprocess.run(['dpkg', '--purge', PACKAGE], capture_output=True)
        restored = subprocess.run(['dpkg', '-i', self.saved_deb], capture_output=True, text=True)
        if self.saved_machine_dir is not None:
            shutil.rmtree(MACHINE_DIR, ignore_errors=True)
            copy_tree_exactly(self.saved_machine_dir, MACHINE_DIR)
        if restored.returncode != 0 or not installed() or version() != self.version:
            self.problems.append('the %s package %s that was installed could not be put back '
                                 '(its copy is %s):\n%s' % (PACKAGE, self.version, self.saved_deb,
                                                           restored.stderr))
            # Keep the copy for the administrator.
            kept = os.path.join('/var/tmp', os.path.basename(self.saved_deb))
            shutil.copy2(self.saved_deb, kept)
            self.problems.append('a copy of it is kept at ' + kept)
        self.saved_deb = None
        return False


def check_package(deb, work):
    """Installs, runs, removes and purges the package on this system, which has none."""
    # As Debian judges a package: no error and no warning (an override would have to say why).
    linted = subprocess.run(['lintian', '--fail-on', 'error,warning', '--tag-display-limit', '0',
                             deb], capture_output=True, text=True)
    tags = [line for line in linted.stdout.splitlines() if line[:2] in ('E:', 'W:')]
    check(linted.returncode == 0 and not tags,
          'lintian (status %d):\n%s%s' % (linted.returncode, linted.stdout, linted.stderr))
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

    check(not installed() and not os.path.lexists(MACHINE_DIR),
          'before the test: %s is in state %s, %s %s' % (
              PACKAGE, state(), MACHINE_DIR,
              'exists' if os.path.lexists(MACHINE_DIR) else 'does not exist'))
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
        _, user_state = tamsel_chain.run_chain('/usr/bin', '/usr/lib/tamsel',
                                               tempfile.mkdtemp(prefix='run-', dir=work),
                                               machine_wide=True)
        check(b'tamsel.ax' not in registered_paths(os.path.join(user_state, 'registry.db')),
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


def check_with_package_installed(deb, work, problems):
    """The case of a machine where the package is installed already, made here: installed, with
    a file of the administrator's beside the machine-wide registry, it is set aside for the
    checks and comes back as it was, the registry's folder byte for byte."""
    subprocess.run(['dpkg', '-i', deb], check=True, capture_output=True)
    try:
        with open(os.path.join(MACHINE_DIR, 'notes-of-the-administrator'), 'w') as notes:
            notes.write('kept across the package test\n')
        before = tree_snapshot(MACHINE_DIR)
        check(before is not None and 'registry.db' in before,
              'no machine-wide registry after dpkg -i')
        installed_version = version()
        with InstalledPackageAside(work, problems):
            check_package(deb, work)
        check(installed() and version() == installed_version,
              'the installed package was not put back: %s %s' % (state(), version()))
        check(tree_snapshot(MACHINE_DIR) == before,
              '%s differs from before the package was set aside' % MACHINE_DIR)
    finally:
        # Leaves the machine as it was: without the package.
        subprocess.run(['dpkg', '--purge', PACKAGE], capture_output=True)


def main():
    source_dir, build_dir = sys.argv[1], sys.argv[2]
    needs = [what for what, ok in (('root', os.geteuid() == 0),
                                   ('dpkg', shutil.which('dpkg')),
                                   ('dpkg-repack', shutil.which('dpkg-repack')),
                                   ('cpack', shutil.which('cpack'))) if not ok]
    if needs:
        print('FAILED: the package test needs %s (scripts/install-deps.sh installs the tools; '
              'run the tests as root, as CI does)' % ', '.join(needs))
        return 1

    problems = []
    with tamsel_chain.scratch_dir('tamsel-deb-', problems) as work:
        os.chmod(work, 0o755)
        made = subprocess.run(['bash', os.path.join(source_dir, 'scripts', 'package.sh'), work],
                              env=dict(os.environ, TAMSEL_BUILD_DIR=build_dir),
                              capture_output=True, text=True)
        check(made.returncode == 0, 'package.sh failed:\n' + made.stderr)
        deb = made.stdout.strip().splitlines()[-1]
        if state() == 'not-installed':
            check_package(deb, work)
            check_with_package_installed(deb, work, problems)
        else:
            with InstalledPackageAside(work, problems):
                check_package(deb, work)
    return tamsel_chain.report(problems, 'package installs, runs and purges cleanly')


if __name__ == '__main__':
    sys.exit(main())
