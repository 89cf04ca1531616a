#!/usr/bin/env python3
"""graphinfo --json prints the same facts as the text output, as JSON that parses, with texts
that need escaping kept exactly. The text is rebuilt from the JSON and compared line by line."""
import json
import os
import subprocess
import sys

import tamsel_chain

ODD_NAME = 'Odd "quoted" back\\slash\ttab\x01 \u00dcber \u2713'
ODD_PIN = 'In "one" \u00fc'
# register_odd_filter writes these bytes into the registry; each byte that is no UTF-8 character
# must come out as U+FFFD (a cut-short character as one).
BAD_NAME = 'Bad \ufffd name \ufffd \ufffd\ufffd\ufffd \ufffd\ufffd end'
BAD_PIN = 'Pin \ufffd'
FORMAT_VERSION = 1


def flags(pin):
    text = pin['direction']
    for flag in ('rendered', 'zero', 'many'):
        if pin[flag]:
            text += ', ' + flag
    return text


def as_text(facts):
    lines = ['Registered filters:']
    for f in facts['filters']:
        lines += ['  ' + f['name'], '    class  ' + f['class']]
        if not f['detailsReadable']:
            lines.append('    (details unreadable)')
            continue
        lines.append('    merit  0x%08X' % f['merit'])
        if not f['pins']:
            lines.append('    no pins')
        for pin in f['pins']:
            lines.append('    pin "%s": %s' % (pin['name'], flags(pin)))
            if pin['connectsTo'] is not None:
                lines.append('      connects to %s "%s"' % (pin['connectsTo']['filter'],
                                                          pin['connectsTo']['pin']))
            lines += ['      type %s / %s' % (t['major'], t['minor']) for t in pin['types']]
    if not facts['filters']:
        lines.append('  none')
    lines.append('Video input devices:')
    for d in facts['devices']:
        lines.append('  ' + (d['name'] or '(unnamed)') +
                     ('  [%s]' % d['devicePath'] if d['devicePath'] else ''))
    if not facts['devices']:
        lines.append('  no devices')
    return '\n'.join(lines) + '\n'


def compare(bin_dir, env, problems, when):
    text = tamsel_chain.run([os.path.join(bin_dir, 'graphinfo')], env).stdout
    raw = subprocess.run([os.path.join(bin_dir, 'graphinfo'), '--json'], env=env,
                         capture_output=True, timeout=120).stdout
    try:
        facts = json.loads(raw.decode('utf-8'))  # strict: any byte that is not UTF-8 fails
    except ValueError as error:
        problems.append('%s: not JSON in UTF-8 (%s):\n%r' % (when, error, raw))
        return None
    if facts.get('formatVersion') != FORMAT_VERSION:
        problems.append('%s: formatVersion %r, expected %d' % (when, facts.get('formatVersion'),
                                                              FORMAT_VERSION))
    if as_text(facts) != text:
        problems.append('%s: JSON and text differ:\n%s\n---\n%s' % (when, as_text(facts), text))
    return facts


def main():
    build_dir, helper = sys.argv[1], sys.argv[2]
    problems = []
    deck = None
    with tamsel_chain.scratch_dir('tamsel-json-', problems) as work:
        try:
            env = tamsel_chain.clean_env(work)
            facts = compare(build_dir, env, problems, 'empty registry')

            tamsel_chain.run([os.path.join(build_dir, 'regsvr'), os.path.join(build_dir, 'tamsel.ax')], env)
            tamsel_chain.run([helper], env)
            deck = subprocess.Popen([os.path.join(build_dir, 'dvdeck'), '--tape',
                                     os.path.join(work, 'tape.dv')], env=env,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            for _ in range(100):
                if tamsel_chain.graphinfo_json(build_dir, env)['devices']:
                    break
                tamsel_chain.time.sleep(0.1)
            facts = compare(build_dir, env, problems, 'filters and a deck')
            if facts is not None:
                by_name = {f['name']: f for f in facts['filters']}
                odd = by_name.get(ODD_NAME)
                if odd is None:
                    problems.append('the odd filter is missing: %s' % list(by_name))
                else:
                    pin = odd['pins'][0] if odd['pins'] else {}
                    expected = {'name': ODD_PIN, 'direction': 'input', 'rendered': True,
                                'zero': True, 'many': True,
                                'connectsTo': {'filter': '{E436EBB2-524F-11CE-9F53-0020AF0BA770}',
                                               'pin': 'Other\tpin'}}
                    if odd['merit'] != 0x00600800 or {k: pin.get(k) for k in expected} != expected:
                        problems.append('odd filter read back as %s' % odd)
                    minors = sorted((t['major'], t['minor'], t['minorGuid']) for t in pin.get('types', []))
                    unnamed = '{0F3E2D1C-5B4A-4987-A6B5-C4D3E2F10A0B}'
                    if minors != sorted([('Video', unnamed, unnamed), ('any', 'any', '{00000000-0000-0000-0000-000000000000}')]):
                        problems.append('odd pin types read back as %s' % minors)
                bad = by_name.get(BAD_NAME)
                if bad is None:
                    problems.append('the filter named in bytes that are not UTF-8 is missing or '
                                    'not replaced as it should be: %s' % list(by_name))
                elif [p['name'] for p in bad['pins']] != [BAD_PIN]:
                    problems.append('its pin read back as %s' % bad['pins'])
                if by_name.get('No pins', {}).get('pins') != []:
                    problems.append('a filter without pins: %s' % by_name.get('No pins'))
                if [d['name'] for d in facts['devices']] != [tamsel_chain.DECK_NAME]:
                    problems.append('devices: %s' % facts['devices'])
            bad = tamsel_chain.run([os.path.join(build_dir, 'graphinfo'), '--jsn'], env, expect=None)
            if bad.returncode != 2 or bad.stdout:
                problems.append('graphinfo --jsn: status %d, output %r' % (bad.returncode, bad.stdout))
        finally:
            if deck is not None:
                tamsel_chain.stop(deck)
    return tamsel_chain.report(problems)


if __name__ == '__main__':
    sys.exit(main())
