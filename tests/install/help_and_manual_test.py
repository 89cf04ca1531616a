#!/usr/bin/env python3
"""Every program answers --help and --version (Tamsel too, without a display), and its manual
page renders without warnings and documents what --help offers."""
import gzip
import os
import re
import subprocess
import sys
import tempfile

PROGRAMS = ['Tamsel', 'regsvr', 'graphinfo', 'dvdeck', 'tamsel-stripe']
CATEGORIES = ['com', 'registry', 'streaming', 'dv', 'deck', 'ieee1394', 'tools']
# Programs parsed by the shared option parser, with command lines each must refuse as usage
# errors (status 2, the reason and the usage line on stderr, nothing on stdout).
USAGE_ERRORS = {
    'regsvr': [[], ['--bogus', 'x.so'], ['-x', 'x.so'], ['--machine=yes', 'x.so'],
               ['-u', '--repair', 'x.so'], ['a.so', 'b.so'], ['']],
    'graphinfo': [['--bogus'], ['--json=1'], ['extra'], ['--jsn']],
    'dvdeck': [[], ['--bogus'], ['--tape'], ['--stopped=1', '--tape', 't.dv'],
               ['--no-tape', '--tape', 't.dv'], ['--no-tape', '--protected'], ['--tape', 't.dv', 'x']],
}


def check_usage_errors(build_dir, name, env, problems):
    program = os.path.join(build_dir, name)
    for args in USAGE_ERRORS[name]:
        refused = run([program] + args, env)
        if refused.returncode != 2 or refused.stdout or \
                not refused.stderr.startswith(name + ': ') or \
                '\nusage: %s ' % name not in refused.stderr:
            problems.append('%s %s: status %d, stdout %r, stderr %r' % (
                name, args, refused.returncode, refused.stdout, refused.stderr))
    helped = run([program, '--help'], env).stdout
    listed = helped.split('Categories of PLATFORM_DEBUG')[-1]
    for category in CATEGORIES:
        if not re.search(r'^  %s ' % category, listed, re.M):
            problems.append('%s --help does not list the category %s' % (name, category))
    # The value of an option and the "=" form are one thing: --help after "--" is an operand.
    if run([program, '--', '--help'], env).returncode == 0:
        problems.append('%s -- --help answered --help' % name)


def run(args, env, **kwargs):
    return subprocess.run(args, env=env, capture_output=True, text=True, timeout=60, **kwargs)


def check_program(build_dir, man_dir, name, version, env, problems):
    program = os.path.join(build_dir, name)
    helped = run([program, '--help'], env)
    if helped.returncode != 0 or not helped.stdout.startswith('usage: ' + name):
        problems.append('%s --help: status %d, %r' % (name, helped.returncode, helped.stdout[:80]))
        return
    if run([program, '-h'], env).stdout != helped.stdout:
        problems.append('%s -h differs from --help' % name)
    versioned = run([program, '--version'], env)
    if versioned.returncode != 0 or versioned.stdout != '%s %s\n' % (name, version):
        problems.append('%s --version: %r' % (name, versioned.stdout))
    if 'PLATFORM_DEBUG' not in helped.stdout:
        problems.append('%s --help does not mention PLATFORM_DEBUG' % name)
    # A help text that could not be written is no success.
    with open('/dev/full', 'w') as full:
        if subprocess.run([program, '--help'], env=env, stdout=full,
                          stderr=subprocess.DEVNULL, timeout=60).returncode == 0:
            problems.append('%s --help > /dev/full ended with status 0' % name)

    page = os.path.join(man_dir, name + '.1')
    source = open(page).read()
    with gzip.open(page + '.gz', 'rt') as packed:
        if packed.read() != source:
            problems.append('%s.1.gz is not %s.1' % (name, name))
    title = re.search(r'^\.TH (\S+) 1 "[^"]*" "Tamsel ([^"]+)"', source, re.M)
    if title is None or title.group(1) != name.upper() or title.group(2) != version:
        problems.append('%s.1: title line %r' % (name, title and title.group(0)))
    groff = run(['groff', '-man', '-Tutf8', '-ww', '-z', page], dict(env, LC_ALL='C.UTF-8'))
    if groff.returncode != 0 or groff.stderr:
        problems.append('%s.1: groff: %s' % (name, groff.stderr.strip()))
    # mandoc is stricter than groff: an unparsable date, a bad macro argument.
    linted = run(['mandoc', '-T', 'lint', '-W', 'warning', page], env)
    if linted.returncode != 0 or linted.stdout or linted.stderr:
        problems.append('%s.1: mandoc -T lint: %s' % (name, (linted.stdout + linted.stderr).strip()))
    rendered = run(['man', '-l', page], dict(env, MANWIDTH='80', MANPAGER='cat',
                                            LC_ALL='C.UTF-8'))
    text = rendered.stdout.replace('\u2010', '-')
    if rendered.returncode != 0 or rendered.stderr or 'NAME' not in text:
        problems.append('%s.1: man -l: %s' % (name, rendered.stderr.strip()))
    for option in sorted(set(re.findall(r'(?<![\w-])(--?[a-z][a-z-]*)', helped.stdout.split('\n\n')[1]
                                        if '\n\n' in helped.stdout else ''))):
        if option not in text:
            problems.append('%s.1 does not document %s' % (name, option))
    for section in ('SYNOPSIS', 'DESCRIPTION', 'OPTIONS', 'EXIT STATUS', 'ENVIRONMENT',
                    'PLATFORM_DEBUG', 'PLATFORM_STATE_DIR', 'SEE ALSO'):
        if section not in text:
            problems.append('%s.1 lacks %s' % (name, section))


def main():
    build_dir, version = sys.argv[1], sys.argv[2]
    man_dir = os.path.join(build_dir, 'packaging', 'man')
    with tempfile.TemporaryDirectory(prefix='tamsel-help-') as state:
        return check_all(build_dir, version, man_dir, state)


def check_all(build_dir, version, man_dir, state):
    env = {k: v for k, v in os.environ.items()
           if k not in ('DISPLAY', 'WAYLAND_DISPLAY', 'QT_QPA_PLATFORM', 'PLATFORM_DEBUG')}
    env['PLATFORM_STATE_DIR'] = state
    env['PLATFORM_MACHINE_DIR'] = os.path.join(state, 'machine')
    problems = []
    for name in PROGRAMS:
        check_program(build_dir, man_dir, name, version, env, problems)
    for name in USAGE_ERRORS:
        check_usage_errors(build_dir, name, env, problems)
    # Tamsel takes no command line; it ignores what it is given, but answers --version among it.
    versioned = run([os.path.join(build_dir, 'Tamsel'), 'odd', '--bogus', '--version'], env)
    if versioned.returncode != 0 or versioned.stdout != 'Tamsel %s\n' % version:
        problems.append('Tamsel odd --bogus --version: %d %r' % (versioned.returncode,
                                                                versioned.stdout))
    # Options answered before anything else, but not when they are another option's value.
    named = run([os.path.join(build_dir, 'dvdeck'), '--name', '--help'], env)
    if named.returncode != 2:
        problems.append('dvdeck --name --help: status %d, expected the usage error 2'
                        % named.returncode)
    # The simulated bus's launcher (a test tool, no manual page) parses the same way.
    sim = os.path.join(build_dir, 'sim1394')
    versioned = run([sim, '--version'], env)
    if versioned.returncode != 0 or versioned.stdout != 'sim1394 %s\n' % version:
        problems.append('sim1394 --version: %d %r' % (versioned.returncode, versioned.stdout))
    for args in ([], ['--bogus', '--', 'true'], ['--tape'], ['--bandwidth=lots', '--', 'true'],
                 ['--node=toaster', '--', 'true']):
        refused = run([sim] + args, env)
        if refused.returncode != 2 or refused.stdout or '\nusage: sim1394 ' not in refused.stderr:
            problems.append('sim1394 %s: status %d, stderr %r' % (args, refused.returncode,
                                                                 refused.stderr))
    ran = run([sim, '--node=deck', '--tape=' + os.path.join(state, 'sim.dv'), '--', 'true'], env)
    if ran.returncode != 0 or 'deck 0' not in ran.stderr:
        problems.append('sim1394 --node=deck --tape=FILE -- true: %d %r' % (ran.returncode,
                                                                           ran.stderr))
    for line in problems:
        print('FAILED:', line)
    return 1 if problems else 0


if __name__ == '__main__':
    sys.exit(main())
