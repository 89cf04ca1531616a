#!/usr/bin/env python3
"""Programs and tests honour TMPDIR and leave nothing in /tmp: each runs in a mount namespace of
its own whose /tmp is an empty tmpfs, with TMPDIR a scratch folder elsewhere; /tmp must still be
empty afterwards, and the scratch folder empty too (what a run makes there, it removes)."""
import os
import shutil
import subprocess
import sys
import tempfile

import tamsel_chain

# Relative to the build folder; each command must end with status 0, except Tamsel, which waits
# on its failure message (nothing is registered) until SIGTERM ends it.
TEST_PROGRAMS = ['platform_support_tests', 'color_bar_stream_test', 'registration_path_test',
                 'platform_registry_tests --gtest_filter=Regsvr.*:Graphinfo.*:RegistryFiles.*']


def in_private_tmp(command, env, work, keep):
    """Runs the shell command with a fresh, empty /tmp; returns (status, output, what /tmp held).
    keep: the entry of the real /tmp that holds the build (a checkout under /tmp), bound back into
    the empty one so the programs are there; it is not counted as left behind."""
    bind = ''
    if keep:
        held = os.path.join(work, 'real-tmp')
        os.makedirs(held, exist_ok=True)
        bind = ('mount --bind /tmp %s && ' % held)
    script = bind + 'mount -t tmpfs -o mode=1777 tamsel-tmp /tmp && '
    if keep:
        script += 'mkdir /tmp/%s && mount --bind %s/%s /tmp/%s && ' % (keep, held, keep, keep)
    script += '{ %s; } >&2; status=$?; ls -A /tmp; exit $status' % command
    done = subprocess.run(['unshare', '--mount', '--propagation', 'private', 'sh', '-c', script],
                          env=env, capture_output=True, text=True, timeout=600)
    return done.returncode, done.stderr, [name for name in done.stdout.split() if name != keep]


def main():
    build_dir = sys.argv[1]
    problems = []
    if shutil.which('unshare') is None:
        problems.append('unshare (util-linux) is missing')
        return tamsel_chain.report(problems)
    # The work lies outside /tmp, which the namespace hides. The scratch TMPDIR is like /tmp
    # (short, sticky and open to the other users some tests run as, as /tmp is).
    work = tempfile.mkdtemp(prefix='tamsel-tmpdir-', dir='/var/tmp')
    try:
        os.chmod(work, 0o755)
        scratch = os.path.join(work, 'tmp')
        os.mkdir(scratch)
        os.chmod(scratch, 0o1777)
        env = tamsel_chain.clean_env(os.path.join(work, 'state'))
        os.mkdir(env['PLATFORM_STATE_DIR'], 0o700)
        env['TMPDIR'] = scratch
        del env['XDG_RUNTIME_DIR']
        commands = [os.path.join(build_dir, p) for p in TEST_PROGRAMS] + [
            '%s --help' % os.path.join(build_dir, 'Tamsel'),
            os.path.join(build_dir, 'graphinfo'),
            '%s %s' % (os.path.join(build_dir, 'regsvr'), os.path.join(build_dir, 'tamsel.ax')),
            'timeout -s TERM 3 %s; [ $? -eq 124 ]' % os.path.join(build_dir, 'Tamsel'),
        ]
        real = os.path.realpath(build_dir)
        keep = real.split('/')[2] if real.startswith('/tmp/') else None
        for command in commands:
            status, said, left = in_private_tmp(command, env, work, keep)
            if status != 0:
                problems.append('%s: status %d\n%s' % (command, status, said.strip()[-3000:]))
            if left:
                problems.append('%s left in /tmp: %s' % (command, left))
            if os.listdir(scratch):
                problems.append('%s left in TMPDIR: %s' % (command, os.listdir(scratch)))
                for name in os.listdir(scratch):
                    shutil.rmtree(os.path.join(scratch, name), ignore_errors=True)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return tamsel_chain.report(problems, 'nothing left in /tmp or TMPDIR')


if __name__ == '__main__':
    sys.exit(main())
