#!/usr/bin/python3
"""cortavia-cli --json against cli/cortavia-cli.schema.json: the real program
against endpoint-sim inside the test LAN (run through scripts/testlan.sh).
Every run's standard output must be one JSON array whose records match the
command's definition, each with exactly the definition's keys in the order
of its required list."""
import argparse
import atexit
import copy
import glob
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import jsonschema

NEVER = 30  # seconds: a wide bound for "it never comes" on a loaded machine

parser = argparse.ArgumentParser()
parser.add_argument('--cli', required=True)
parser.add_argument('--sim', required=True)
parser.add_argument('--schema', required=True)
args = parser.parse_args()

LAN_NS = os.environ.get('CV_LAN_NS')
if not LAN_NS:
    sys.exit('run inside scripts/testlan.sh')

with open(args.schema) as f:
    SCHEMA = json.load(f)
jsonschema.Draft202012Validator.check_schema(SCHEMA)

TX = ['198.18.1.1', '198.18.1.2']
RX = ['198.18.2.1', '198.18.2.2', '198.18.2.3']
BY_MAC = '198.18.2.3'
MAC = '02:00:C6:12:02:33'
DARK = '198.18.2.9'  # refuses every connection and answers no discovery
BEZEL = '100,100,90,90'

temp = tempfile.mkdtemp(prefix='cv-json-')
atexit.register(shutil.rmtree, temp, True)
failures = []
passed = 0
ok = set()  # names of the cases that passed


def validator(name, extra=None):
    """The schema with its items narrowed to one command's record."""
    if name not in SCHEMA['$defs']:
        raise KeyError(f'the schema has no definition {name!r}')
    schema = copy.deepcopy(SCHEMA)
    schema['items'] = {'$ref': f'#/$defs/{name}'} if extra is None else \
        {'allOf': [{'$ref': f'#/$defs/{name}'}, extra]}
    return jsonschema.Draft202012Validator(schema)


def where(path):
    return 'records' + ''.join(f'[{p}]' if isinstance(p, int) else f'.{p}' for p in path)


def schema_problems(name, records, extra=None):
    errors = sorted(validator(name, extra).iter_errors(records), key=lambda e: list(map(str, e.absolute_path)))
    return [f'schema: {where(e.absolute_path)}: {e.message}' for e in errors]


def no_duplicates(pairs):
    keys = [k for k, _ in pairs]
    dup = sorted({k for k in keys if keys.count(k) > 1})
    if dup:
        raise ValueError(f'duplicate keys {dup}')
    return dict(pairs)


def start_sim(name, *extra):
    state = os.path.join(temp, name)
    os.makedirs(state)
    p = subprocess.Popen(['ip', 'netns', 'exec', LAN_NS, args.sim, *extra,
                          '--state-dir', state, '--ready-file', state + '/ready'],
                         stdout=subprocess.PIPE, text=True)
    end = time.monotonic() + NEVER
    while 'ready' not in p.stdout.readline():
        if p.poll() is not None or time.monotonic() > end:
            stop(p)
            raise SystemExit(f'endpoint-sim {name} did not start')
    return p, state


def stop(p):
    if p.poll() is None:
        p.send_signal(signal.SIGTERM)
        try:
            p.wait(10)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()


def connections(state, address):
    """Bytes received per connection, in connection order (conn-10 after conn-9)."""
    files = glob.glob(f'{state}/{address}/conn-*.bin')
    files.sort(key=lambda f: int(re.search(r'conn-(\d+)\.bin$', f).group(1)))
    out = []
    for f in files:
        with open(f, 'rb') as fh:
            out.append(fh.read())
    return out


def wire_count(address, line):
    return sum(c.count(line) for c in connections(state, address))


def run(name, argv, schema, rc, count, extra=None, expect=None, during=None):
    """Runs cortavia-cli ARGV --json (during(process) while it runs) and
    checks its output; the records, or None when the output was no JSON
    array."""
    global passed
    problems = []
    records = None
    proc = subprocess.Popen([args.cli, *argv, '--json'], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        if during:
            during(proc)
        out, err = proc.communicate(timeout=120)
    except (subprocess.TimeoutExpired, AssertionError) as e:
        proc.kill()
        out, err = proc.communicate()
        problems.append(str(e) if isinstance(e, AssertionError) else 'did not end within 120 s')
    else:
        if proc.returncode not in (rc if isinstance(rc, tuple) else (rc,)):
            problems.append(f'exit status {proc.returncode}, expected {rc}')
        try:
            records = json.loads(out.decode('utf-8'), object_pairs_hook=no_duplicates)
        except (UnicodeDecodeError, ValueError) as e:
            problems.append(f'standard output is no JSON: {e}: {out[:300]!r}')
        if records is not None and not isinstance(records, list):
            problems.append(f'standard output is a JSON {type(records).__name__}, not an array')
            records = None
    if records is not None:
        low, high = count if isinstance(count, tuple) else (count, count)
        if not low <= len(records) <= high:
            problems.append(f'{len(records)} records, expected {low}..{high}' if low != high else
                            f'{len(records)} records, expected {low}')
        problems += schema_problems(schema, records, extra)
        order = SCHEMA['$defs'][schema]['required']
        objects = [r for r in records if isinstance(r, dict)]
        lists = {tuple(r) for r in objects}
        if len(lists) > 1:
            problems.append(f'keys: records of one run differ in their keys: {sorted(lists)}')
        for keys in lists:
            if list(keys) != order and sorted(keys) == sorted(order):
                problems.append(f'keys: order {list(keys)}, expected {order}')
        if expect and not any(x.startswith('schema:') for x in problems):
            problems += expect(records)
    if problems:
        failures.append(name)
        print(f'[FAIL] {name}: cortavia-cli {" ".join(argv)} --json', flush=True)
        for x in problems[:12]:
            print(f'         {x}', flush=True)
        if len(problems) > 12:
            print(f'         ... and {len(problems) - 12} more', flush=True)
        if err:
            tail = err.decode('utf-8', 'replace').strip().splitlines()[-6:]
            print('         stderr: ' + '\n                 '.join(tail), flush=True)
    else:
        passed += 1
        ok.add(name)
        print(f'[ ok ] {name}', flush=True)
    return records


def case(name, check, needs):
    """A check of its own on what an earlier case printed; skipped when that
    case failed, as its failure is reported already."""
    global passed
    if needs not in ok:
        print(f'[skip] {name} ({needs} failed)', flush=True)
        return
    problems = check()
    if problems:
        failures.append(name)
        print(f'[FAIL] {name}', flush=True)
        for x in problems:
            print(f'         {x}', flush=True)
    else:
        passed += 1
        print(f'[ ok ] {name}', flush=True)


def by_address(records):
    return {r.get('address'): r for r in records if isinstance(r, dict)}


def statuses(want):
    """Each named address has this status (the error branch or the success one)."""
    def check(records):
        got = by_address(records)
        return [f'{a}: status {got.get(a, {}).get("status")!r}, expected {s!r}' for a, s in want.items()
                if got.get(a, {}).get('status') != s]
    return check


def write(name, text):
    path = os.path.join(temp, name)
    with open(path, 'w') as f:
        f.write(text)
    return path


# ---- the schema itself, before any real output ------------------------------

def self_check():
    """Hand-written records: one good of each definition passes; a broken one
    of each rule is refused, so a loosened schema cannot pass real output."""
    global passed
    good = {
        'scan': [{'address': TX[0], 'kind': 'tx', 'multicast': 'y', 'channel': '0000', 'hostname_id': None,
                  'number': None},
                 {'address': RX[0], 'kind': 'rx', 'multicast': 'y', 'channel': '0000', 'hostname_id': 'rx-001',
                  'number': 0}],
        'detail': [{'address': DARK, 'kind': 'rx', 'number': 3, 'hostname_id': 'dark', 'version': None, 'mac': None,
                    'state': None, 'multicast': None, 'channel': '0001', 'ip_mode': None, 'netmask': None,
                    'gateway': None, 'error': 'connect: refused'}],
        'set': [{'key': None, 'address': RX[0], 'field': 'multicast', 'requested': 'n', 'read_back': 'y',
                 'status': 'pending', 'new_address': None, 'error': None},
                {'key': DARK, 'address': DARK, 'field': None, 'requested': None, 'read_back': None,
                 'status': 'failed', 'new_address': None, 'error': 'connect: refused'}],
        'set-dry-run': [{'key': MAC, 'by': 'mac', 'plan_line': 2, 'address': BY_MAC,
                         'lines': [{'bytes': 27, 'text': 'astparam s ch_select 0001\r\n'}]}],
        'restart': [{'address': RX[0], 'status': 'back', 'seconds': 0.4, 'new_address': None, 'error': None},
                    {'address': DARK, 'status': 'not started', 'seconds': None, 'new_address': None,
                     'error': 'interrupted'}],
        'upgrade': [{'address': RX[0], 'kind': 'rx', 'file': 'webfwc.bin', 'server': '198.18.0.1',
                     'version_before': 'A7.3.1', 'version_after': 'A7.3.2', 'status': 'upgraded', 'error': None}],
        'wall': [{'address': RX[0], 'number': 0, 'row': 0, 'column': 1, 'x0': 5000, 'y0': 0, 'x1': 10000,
                  'y1': 10000, 'status': 'sent', 'error': None}],
        'wall-stretch': [{'address': RX[0], 'stretch': 'fit', 'status': 'sent', 'error': None}],
        'wall-rotate': [{'address': DARK, 'rotate': 180, 'status': 'failed', 'error': 'connect: refused'}],
        'osd': [{'address': RX[0], 'number': 0, 'osd': 'on', 'status': 'sent', 'error': None}],
    }
    problems = []
    for name, records in good.items():
        problems += [f'good {name}: {x}' for x in schema_problems(name, records)]
        if list(records[0]) != SCHEMA['$defs'][name]['required']:
            problems.append(f'good {name}: the sample keys are not the definition\'s order')

    def broken(name, i, **change):
        r = copy.deepcopy(good[name][i])
        r.update(change)
        return name, [r]
    bad = {
        'success with an error': broken('set', 0, error='late'),
        'a failure without an error': broken('set', 1, error=None),
        'a failure with an empty error': broken('restart', 1, error=''),
        'not started without a reason': broken('restart', 1, error=None),
        'a transmitter with a number': broken('scan', 0, number=1),
        'a number as a string': broken('scan', 1, number='0'),
        'an empty string for a missing value': broken('detail', 0, version=''),
        'a tile past 10000': broken('wall', 0, x1=10001),
        'a rotation as a string': broken('wall-rotate', 0, rotate='180'),
        'an unknown status': broken('osd', 0, status='ok'),
        'an address with a port': broken('wall-stretch', 0, address='198.18.2.1:24'),
        'an extra key': broken('upgrade', 0, extra=None),
    }
    missing = copy.deepcopy(good['restart'][0])
    del missing['new_address']
    bad['a left-out key'] = ('restart', [missing])
    line = copy.deepcopy(good['set-dry-run'][0])
    line['lines'][0]['bytes'] = '27'
    bad['a byte count as a string'] = ('set-dry-run', [line])
    for what, (name, records) in bad.items():
        if not schema_problems(name, records):
            problems.append(f'{name}: {what} passes')
    if problems:
        failures.append('the schema')
        print('[FAIL] the schema takes good records and refuses broken ones', flush=True)
        for x in problems:
            print(f'         {x}', flush=True)
    else:
        passed += 1
        print('[ ok ] the schema takes good records and refuses broken ones', flush=True)


self_check()

# ---- a fleet with one receiver that is never reached ------------------------

sim, state = start_sim('fleet', '--tx', '2', '--rx', '2', '--reboot-delay', '300',
                       '--node', f'rx ip={BY_MAC} mac={MAC} hostname_id=rx-003 channel=0000',
                       '--node', f'rx ip={DARK} hostname_id=dark channel=0001',
                       '--fault', f'refuse@{DARK}', '--fault', f'no-discovery@{DARK}')
try:
    fleet = TX + RX + [DARK]

    # Scan and detail: every endpoint of the node list, the dark one with its error.
    run('scan', ['scan'], 'scan', 0, len(fleet),
        expect=lambda rs: [] if set(by_address(rs)) == set(fleet) else [f'addresses {sorted(by_address(rs))}'])

    def dark_has_error(rs):
        return [f'{a}: error {r["error"]!r}' for a, r in by_address(rs).items() if (r['error'] is None) != (a != DARK)]
    run('inventory', ['inventory'], 'detail', 1, len(fleet), expect=dark_has_error)
    show = {'properties': {'number': {'type': 'null'}}}
    run('show a receiver', ['show', RX[0]], 'detail', 0, 1, extra=show)
    run('show a transmitter', ['show', TX[0]], 'detail', 0, 1, extra=show)
    run('show an endpoint that refuses', ['show', DARK], 'detail', 1, (0, 1), extra=show, expect=dark_has_error)

    # Settings, one address and plans.
    run('set a channel', ['set', RX[1], '--channel', '0000'], 'set', 0, 1,
        expect=statuses({RX[1]: 'confirmed'}))
    run('set unicast without a reboot is pending', ['set', RX[0], '--unicast'], 'set', 0, 1,
        expect=statuses({RX[0]: 'pending'}))

    settings = 'lobby-3,0001'

    def dry_lines(rs):
        out = []
        for r in rs:
            if (r['by'], r['address']) != ('mac', BY_MAC):
                out.append(f'by {r["by"]!r}, address {r["address"]!r}: the mac is {BY_MAC}\'s')
            if not r['lines']:
                out.append('no line to send')
            for line in r['lines']:
                if line['bytes'] != len(line['text'].encode('utf-8')):
                    out.append(f'{line["bytes"]} bytes for {line["text"]!r}')
        return out
    dry = run('set --plan by mac --dry-run', ['set', '--plan', write('mac.csv', f'mac,hostname_id,channel\r\n'
                                                                    f'{MAC.lower()},{settings}\r\n'), '--dry-run'],
              'set-dry-run', 0, 1, expect=dry_lines)

    before = len(connections(state, BY_MAC))
    plan = write('address.csv', f'address,hostname_id,channel\n{BY_MAC},{settings}\n{RX[0]},,\n{DARK},,0001\n')

    def plan_rows(rs):
        return statuses({RX[0]: 'nothing to set', DARK: 'failed'})(rs) + \
            [f'{r["address"]}: key {r["key"]!r}' for r in rs if r['key'] != r['address']]
    # The dark receiver does not answer: without --partial nothing goes out.
    run('set --plan by address, one endpoint dark', ['set', '--plan', plan], 'set', 1, 0)
    run('set --plan by address', ['set', '--plan', plan, '--partial'], 'set', 1, 4, expect=plan_rows)

    def dry_run_is_the_wire():
        wire = b''.join(connections(state, BY_MAC)[before:])
        out, at = [], 0
        for line in dry[0]['lines']:
            text = line['text'].encode('utf-8')
            found = wire.find(text, at)
            if found < 0:
                return out + [f'{line["text"]!r} was not sent to {BY_MAC}, or not in this order']
            at = found + len(text)
            if wire[at:at + 1] == b'\0' and not text.endswith(b'\0'):
                out.append(f'a zero byte follows {line["text"]!r} on the wire; the dry run does not show it')
        return out
    case('the dry run\'s lines are the bytes the same settings put on the wire', dry_run_is_the_wire,
         needs='set --plan by mac --dry-run')

    # Wall and numbers on the screens.
    receivers = len(RX) + 1
    run('wall quick 1x2 over every receiver', ['wall', 'quick', '1x2', '--bezel', BEZEL, '--wrap'], 'wall', 1, receivers,
        expect=statuses({RX[0]: 'sent', DARK: 'failed'}))
    run('wall place', ['wall', 'place', RX[0], '0', '1', '--size', '1x2', '--bezel', BEZEL], 'wall', 0, 1)
    layout = write('layout.json', json.dumps({
        'rows': 1, 'columns': 2, 'bezel': {'ow': 100, 'oh': 100, 'vw': 90, 'vh': 90}, 'stretch': 'fit',
        'placements': [{'row': 0, 'column': 0, 'address': RX[0]},
                       {'row': 0, 'column': 1, 'mac': MAC, 'rotate': 180}]}))
    run('wall apply of a saved layout', ['wall', 'apply', layout], 'wall', 0, 2,
        expect=statuses({RX[0]: 'sent', BY_MAC: 'sent'}))
    run('wall stretch fit', ['wall', 'stretch', 'fit', RX[0], RX[1]], 'wall-stretch', 0, 2)
    run('wall rotate 180, one receiver refusing', ['wall', 'rotate', '180', RX[0], DARK, '--partial'],
        'wall-rotate', 1, 2,
        expect=statuses({RX[0]: 'sent', DARK: 'failed'}))
    run('osd on for every receiver', ['osd', 'on'], 'osd', 1, receivers,
        expect=statuses({RX[0]: 'sent', DARK: 'failed'}))
    run('osd off for two', ['osd', 'off', RX[0], RX[1]], 'osd', 0, 2)
    run('osd on with an address the scan does not list: nothing sent', ['osd', 'on', RX[0], '198.18.2.77'], 'osd',
        1, 0)

    # Restarts last: they change what the endpoints hold.
    run('reboot one that comes back and one that refuses', ['reboot', RX[0], DARK, '--timeout', '20', '--partial'],
        'restart', 1, 2,
        expect=statuses({RX[0]: 'back', DARK: 'failed'}))
    run('factory-default --yes', ['factory-default', RX[1], '--yes', '--timeout', '20'], 'restart', 0, 1,
        expect=statuses({RX[1]: 'back'}))

    # SIGINT once the first reboot is on the wire: with one job at a time the
    # other two have not started, so their records say why.
    def stop_after_first_reboot(proc):
        end = time.monotonic() + NEVER
        while wire_count(RX[2], b'reboot\r\n') == reboots and proc.poll() is None:
            if time.monotonic() > end:
                raise AssertionError(f'{RX[2]} was not sent a reboot within {NEVER} s')
            time.sleep(0.01)
        proc.send_signal(signal.SIGINT)
    reboots = wire_count(RX[2], b'reboot\r\n')
    run('reboot stopped by SIGINT after the first of three', ['reboot', RX[2], RX[0], RX[1], '--jobs', '1'], 'restart',
        130, 3, expect=statuses({RX[2]: 'back', RX[0]: 'not started', RX[1]: 'not started'}),
        during=stop_after_first_reboot)
    run('upgrade of an endpoint that refuses', ['upgrade', DARK, '--tftp-root', temp, '--timeout', '20'], 'upgrade',
        1, 1, expect=statuses({DARK: 'failed'}))
finally:
    stop(sim)

# ---- nobody answers discovery: an empty array and exit status 1 -------------

sim, state = start_sim('silent', '--tx', '1', '--rx', '1', '--fault', 'no-discovery')
try:
    run('scan, nobody answers', ['scan'], 'scan', 1, 0)
    run('inventory, nobody answers', ['inventory'], 'detail', 1, 0)
    run('osd on, nobody answers', ['osd', 'on'], 'osd', 1, 0)
finally:
    stop(sim)

print(f'{passed} passed, {len(failures)} failed')
sys.exit(1 if failures else 0)
