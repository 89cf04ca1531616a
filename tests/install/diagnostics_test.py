#!/usr/bin/env python3
"""PLATFORM_DEBUG makes the platform say why something failed, in the modules that used to
swallow the failure, and nothing is said without it. Uses an installed tree whose DV filter
library is removed after registration: the deck's device provider then cannot be loaded."""
import os
import re
import subprocess
import sys

import tamsel_chain

LINE = re.compile(r'^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[tid \d+\] (\w+): (error|warning|info|debug): (.*)$')


def log_lines(stderr, problems, when):
    lines = []
    for line in stderr.splitlines():
        match = LINE.match(line)
        if match is None:
            problems.append('%s: not a log line: %r' % (when, line))
        else:
            lines.append(match.groups())
    return lines


def main():
    build_dir = sys.argv[1]
    problems = []
    with tamsel_chain.scratch_dir('tamsel-diag-', problems) as work:
        prefix = os.path.join(work, 'prefix')
        subprocess.run(['cmake', '--install', build_dir, '--prefix', prefix], check=True,
                       stdout=subprocess.DEVNULL)
        graphinfo = os.path.join(prefix, 'bin', 'graphinfo')
        env = tamsel_chain.clean_env(os.path.join(work, 'state'))
        os.makedirs(env['PLATFORM_STATE_DIR'])

        quiet = tamsel_chain.run([graphinfo], env)  # registers the platform's filters
        if quiet.stderr:
            problems.append('silent by default, yet: %r' % quiet.stderr)

        dvfilters = os.path.join(prefix, 'lib', 'tamsel', 'dvfilters.so')
        os.remove(dvfilters)
        quiet = tamsel_chain.run([graphinfo], env)
        if quiet.stderr:
            problems.append('silent by default even when failing, yet: %r' % quiet.stderr)

        loud = tamsel_chain.run([graphinfo], dict(env, PLATFORM_DEBUG='*:2'))
        said = log_lines(loud.stderr, problems, '*:2')
        wanted = [
            # A missing server is found before the loader is asked.
            ('com', 'error', 'server %s: No such file or directory' % dvfilters),
            ('com', 'warning', 'no class object from %s' % dvfilters),
            ('streaming', 'warning', 'cannot be created'),
        ]
        for category, level, text in wanted:
            if not any(c == category and l == level and text in m for c, l, m in said):
                problems.append('*:2 did not say %s: %s: ...%s...; it said:\n%s'
                                % (category, level, text, loud.stderr))
        if any(level in ('info', 'debug') for _, level, _ in said):
            problems.append('*:2 wrote info or debug lines:\n' + loud.stderr)

        only = tamsel_chain.run([graphinfo], dict(env, PLATFORM_DEBUG='streaming:4'))
        categories = {c for c, _, _ in log_lines(only.stderr, problems, 'streaming:4')}
        if categories != {'streaming'}:
            problems.append('streaming:4 wrote categories %s' % sorted(categories))

        # A file that is no library: the loader's own reason reaches the log.
        bogus = os.path.join(work, 'not-a-library.so')
        with open(bogus, 'w') as f:
            f.write('not an ELF file\n')
        regsvr = tamsel_chain.run([os.path.join(prefix, 'bin', 'regsvr'), bogus],
                                  dict(env, PLATFORM_DEBUG='com:1'), expect=1)
        reasons = [m for c, l, m in log_lines(
            '\n'.join(l for l in regsvr.stderr.splitlines() if not l.startswith('regsvr:')),
            problems, 'regsvr') if c == 'com' and l == 'error']
        if not any(m.startswith('LoadLibrary %s: ' % bogus) and len(m) > len(bogus) + 20
                   for m in reasons):
            problems.append('regsvr on a non-library logged no reason: %r' % regsvr.stderr)
    return tamsel_chain.report(problems)


if __name__ == '__main__':
    sys.exit(main())
