#!/usr/bin/env python3
"""No program or library, in the build folder or installed, takes a library from the folder it is
run in: every run path entry is absolute or starts with $ORIGIN (an empty entry is the current
directory to the loader), and a library planted where a user runs the programs is never loaded.
sim1394 adds no empty element to LD_LIBRARY_PATH either.

Arguments: the build folder and the planted library (a constructor that appends to
$TAMSEL_PLANTED_MARKER)."""
import os
import re
import shutil
import subprocess
import sys
import tempfile

import tamsel_chain
from tamsel_chain import check

# Libraries the programs need that are not in the build folder: libplatform.so needs SQLite,
# dvfilters.so (loaded by graphinfo and regsvr) libiec61883.
PLANTED_NAMES = ('libsqlite3.so.0', 'libiec61883.so.0')
RUN_PATH = re.compile(r'\((?:RPATH|RUNPATH)\)\s+Library (?:rpath|runpath): \[(.*)\]')


def linked_elf_files(top):
    """Programs and shared libraries below `top` (not object files or archives)."""
    for folder, _, names in os.walk(top):
        for name in sorted(names):
            path = os.path.join(folder, name)
            if os.path.islink(path) or not os.path.isfile(path):
                continue
            with open(path, 'rb') as f:
                header = f.read(18)
            # e_type (little-endian) 2 is a program, 3 a shared object.
            if header[:4] == b'\x7fELF' and len(header) == 18 and header[16] in (2, 3):
                yield path


def run_path_problems(top):
    problems, count = [], 0
    for path in linked_elf_files(top):
        count += 1
        dynamic = subprocess.run(['readelf', '-d', path], capture_output=True, text=True,
                                 check=True).stdout
        for entry in RUN_PATH.findall(dynamic):
            for item in entry.split(':'):
                if not (item.startswith('/') or item.startswith('$ORIGIN') or
                        item.startswith('${ORIGIN}')):
                    problems.append('%s has run path [%s]: entry %r is %s' % (
                        path, entry, item, 'empty (the current directory)' if item == ''
                        else 'relative to the current directory'))
    check(count > 0, 'no programs or libraries found below %s' % top)
    return problems


def plant(folder, library):
    for name in PLANTED_NAMES:
        shutil.copy(library, os.path.join(folder, name))


def run_from(folder, args, env, must_succeed=True):
    """Runs args in folder; returns what the loader said it tried (LD_DEBUG=libs)."""
    result = subprocess.run(args, cwd=folder, env=dict(env, LD_DEBUG='libs'),
                            capture_output=True, text=True, timeout=120)
    check(not must_succeed or result.returncode == 0, '%s (run in %s): status %d\n%s%s' % (
        ' '.join(args), folder, result.returncode, result.stdout, result.stderr))
    return [line for line in result.stderr.splitlines() if 'trying file=' in line]


def check_nothing_planted_loads(bin_dir, server_dir, work, library):
    """Runs the programs in a folder holding the planted libraries; none may load them. The
    programs bind every symbol at load time (-z now), so a planted library without SQLite's
    symbols would stop them before its constructor ran: what shows it is the loader's own account
    of the files it tried, and the marker where a constructor gets to run."""
    where = tempfile.mkdtemp(prefix='planted-', dir=work)
    plant(where, library)
    marker = os.path.join(work, 'marker-' + os.path.basename(where))
    state = tempfile.mkdtemp(prefix='state-', dir=work)
    env = tamsel_chain.clean_env(state, TAMSEL_PLANTED_MARKER=marker)

    # A file tried in that folder, or by a relative path (an empty or relative run path entry
    # is the folder the program runs in).
    def tried_planted(tried):
        files = [line.split('trying file=', 1)[1] for line in tried]
        return [f for f in files if f.startswith(where + '/') or not f.startswith('/')]

    # The plant works: named on LD_LIBRARY_PATH, the loader tries it for the programs (which then
    # fail, as it is no SQLite), and a lazily bound load runs its constructor.
    tried = run_from(where, [os.path.join(bin_dir, 'regsvr'), '--version'],
                     dict(env, LD_LIBRARY_PATH=where), must_succeed=False)
    check(tried_planted(tried), 'the loader did not try the planted library even from '
          'LD_LIBRARY_PATH: %s' % tried[:5])
    subprocess.run([sys.executable, '-c', 'import ctypes; ctypes.CDLL("libsqlite3.so.0")'],
                   cwd=where, env=dict(env, LD_LIBRARY_PATH=where), capture_output=True,
                   timeout=60)
    check(os.path.exists(marker), 'the planted library\'s constructor did not run when loaded')
    if os.path.exists(marker):
        os.remove(marker)

    runs = [[os.path.join(bin_dir, 'regsvr'), os.path.join(server_dir, 'tamsel.ax')],
            [os.path.join(bin_dir, 'graphinfo'), '--json'],
            [os.path.join(bin_dir, 'dvdeck'), '--help']]
    for args in runs:
        tried = run_from(where, args, env)
        check(not tried_planted(tried) and not os.path.exists(marker),
              '%s looked for libraries in the folder it ran in (%s): %s' % (
                  ' '.join(args), ', '.join(PLANTED_NAMES), tried_planted(tried)[:3]))


def check_sim1394_library_path(build_dir, work):
    """sim1394 puts its folder first and passes on only the non-empty inherited elements."""
    show = [sys.executable, '-c', 'import os; print(os.environ["LD_LIBRARY_PATH"])']
    first = os.path.join(build_dir, 'sim1394-lib')
    cases = [(None, [first]), ('', [first]), (':/opt/a::/opt/b:', [first, '/opt/a', '/opt/b'])]
    for inherited, expected in cases:
        env = tamsel_chain.clean_env(tempfile.mkdtemp(prefix='state-', dir=work))
        if inherited is not None:
            env['LD_LIBRARY_PATH'] = inherited
        result = subprocess.run([os.path.join(build_dir, 'sim1394'), '--'] + show, env=env,
                                cwd=work, capture_output=True, text=True, timeout=120)
        check(result.returncode == 0, 'sim1394 failed: %s' % result.stderr)
        got = result.stdout.strip().split(':')
        check(got == expected, 'sim1394 with LD_LIBRARY_PATH %r passed on %r, expected %r' % (
            inherited, result.stdout.strip(), ':'.join(expected)))


def main():
    build_dir = os.path.realpath(sys.argv[1])
    library = os.path.realpath(sys.argv[2])
    problems = []
    with tamsel_chain.scratch_dir('tamsel-run-path-', problems) as work:
        problems += run_path_problems(build_dir)
        check_nothing_planted_loads(build_dir, build_dir, work, library)

        prefix = os.path.join(work, 'prefix')
        subprocess.run(['cmake', '--install', build_dir, '--prefix', prefix],
                       check=True, stdout=subprocess.DEVNULL)
        problems += run_path_problems(prefix)
        check_nothing_planted_loads(os.path.join(prefix, 'bin'),
                                    os.path.join(prefix, 'lib', 'tamsel'), work, library)
        check_sim1394_library_path(build_dir, work)
    return tamsel_chain.report(problems, 'no run path takes libraries from the current folder')


if __name__ == '__main__':
    sys.exit(main())
