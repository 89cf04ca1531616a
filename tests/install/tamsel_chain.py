"""Runs the whole chain from a set of installed programs: register tamsel.ax, list it, record a
few seconds from headless Tamsel on the virtual deck. Shared by the install tests.

Every wait is bounded; every process started here is stopped again, also on failure.
"""
import contextlib
import json
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time

DV_FRAME_BYTES = 120000  # one NTSC DV frame
DECK_NAME = 'Microsoft DV Camera and VCR'
SOURCE_NAME = 'Velora Color Bar'


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


@contextlib.contextmanager
def scratch_dir(prefix, problems):
    """A fresh temporary directory for one test's work, removed afterwards with all in it. A
    Failure or a failed command ends the work and goes to `problems`."""
    work = tempfile.mkdtemp(prefix=prefix)
    try:
        yield work
    except (Failure, subprocess.CalledProcessError) as failure:
        problems.append(str(failure))
    finally:
        shutil.rmtree(work, ignore_errors=True)


def report(problems, passed=None):
    """Prints each problem, or `passed` when there is none; the exit status for them."""
    for line in problems:
        print('FAILED:', line)
    if not problems and passed:
        print(passed)
    return 1 if problems else 0


def clean_env(state_dir, machine_wide=False, **extra):
    """The environment of a fresh user: own state, no diagnostics, no display, no build paths.
    The machine-wide registry is the real one only when machine_wide is set; otherwise none
    (an installed package's registrations must not show through)."""
    env = {k: v for k, v in os.environ.items()
           if k not in ('PLATFORM_DEBUG', 'LD_LIBRARY_PATH', 'DISPLAY', 'WAYLAND_DISPLAY',
                        'PLATFORM_MACHINE_DIR')}
    env['PLATFORM_STATE_DIR'] = state_dir
    if not machine_wide:
        env['PLATFORM_MACHINE_DIR'] = os.path.join(state_dir, 'machine')
    env['QT_QPA_PLATFORM'] = 'offscreen'
    env['XDG_RUNTIME_DIR'] = state_dir
    env.update(extra)
    return env


def run(args, env, expect=0, cwd='/'):
    result = subprocess.run(args, env=env, cwd=cwd, capture_output=True, text=True, timeout=120)
    if expect is not None:
        check(result.returncode == expect,
              '%s: status %d, expected %d\n%s%s' % (' '.join(args), result.returncode, expect,
                                                    result.stdout, result.stderr))
    return result


def graphinfo_json(bin_dir, env):
    return json.loads(run([os.path.join(bin_dir, 'graphinfo'), '--json'], env).stdout)


def stop(process, sig=signal.SIGTERM):
    """Sends sig and waits (bounded); kills it if it does not end. Returns its status."""
    if process.poll() is None:
        process.send_signal(sig)
        try:
            process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
    return process.returncode


def run_chain(bin_dir, server_dir, work_dir, tamsel_seconds=4, machine_wide=False, bare=False):
    """Returns the deck's report and the user's state directory. Raises Failure with the reason otherwise. With machine_wide
    the user registers nothing: tamsel.ax must be found in the machine-wide registry. With bare
    Tamsel runs as scripts/run.sh starts it on a machine without a login session (offscreen, no
    XDG_RUNTIME_DIR, TMPDIR a folder of its own): it must say nothing and leave nothing there."""
    state = tempfile.mkdtemp(prefix='state-', dir=work_dir)
    env = clean_env(state, machine_wide=machine_wide)
    tamsel_env = dict(env)
    if bare:
        del tamsel_env['XDG_RUNTIME_DIR']
        tamsel_env['TMPDIR'] = tempfile.mkdtemp(prefix='tmp-', dir=work_dir)

    if not machine_wide:
        run([os.path.join(bin_dir, 'regsvr'), os.path.join(server_dir, 'tamsel.ax')], env)
    facts = graphinfo_json(bin_dir, env)
    names = [f['name'] for f in facts['filters']]
    # The platform's own filters come from dvfilters.so, which it finds on its own.
    for name in (SOURCE_NAME, 'DV Video Encoder', 'DV Muxer'):
        check(name in names, '%s not registered: %s' % (name, names))
    check(facts['devices'] == [], 'a device before the deck started: %s' % facts['devices'])

    tape = os.path.join(work_dir, 'tape.dv')
    deck_out = open(os.path.join(work_dir, 'deck.log'), 'w+')
    deck = subprocess.Popen([os.path.join(bin_dir, 'dvdeck'), '--tape', tape], env=env, cwd='/',
                            stdout=deck_out, stderr=subprocess.STDOUT)
    tamsel = None
    try:
        for _ in range(100):
            if any(d['name'] == DECK_NAME for d in graphinfo_json(bin_dir, env)['devices']):
                break
            check(deck.poll() is None, 'dvdeck ended early')
            time.sleep(0.1)
        else:
            raise Failure('the deck was never listed')

        tamsel_out = open(os.path.join(work_dir, 'tamsel.log'), 'w+')
        tamsel = subprocess.Popen([os.path.join(bin_dir, 'Tamsel')], env=tamsel_env, cwd='/',
                                  stdout=tamsel_out, stderr=subprocess.STDOUT)
        for _ in range(tamsel_seconds * 10):
            if tamsel.poll() is not None:
                break
            time.sleep(0.1)
        early = tamsel.poll()
        status = stop(tamsel)
        tamsel_out.seek(0)
        said = tamsel_out.read()
        check(early is None, 'Tamsel ended on its own (status %s): %s' % (early, said))
        check(status == 0, 'Tamsel ended with status %d after SIGTERM: %s' % (status, said))
        if bare:
            check(said == '', 'a normal headless run of Tamsel printed: %r' % said)
            left = os.listdir(tamsel_env['TMPDIR'])
            check(left == [], 'Tamsel left %s in its TMPDIR' % left)
    finally:
        if tamsel is not None:
            stop(tamsel, signal.SIGKILL)
            tamsel_out.close()
        stop(deck)
        deck_out.seek(0)
        report = deck_out.read()
        deck_out.close()
    match = re.search(r'^frames: (\d+)$', report, re.M)
    check(match is not None and int(match.group(1)) > 0, 'nothing recorded:\n' + report)
    size = os.path.getsize(tape)
    check(size == int(match.group(1)) * DV_FRAME_BYTES,
          'tape holds %d bytes for %s frames' % (size, match.group(1)))
    return report, state
