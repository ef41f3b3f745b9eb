#!/usr/bin/python3
"""The control page in headless chromium against the real cortaviad and
endpoint-sim, inside the test LAN (run through scripts/testlan.sh). One
browser session for every case, to keep the suite short."""
import argparse
import glob
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import traceback
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select, WebDriverWait

NEVER = 30  # seconds: a wide bound for "it never comes" on a loaded machine
TX, RX = 12, 100
DEVICES = TX + RX + 2
CARDS = RX + 1

parser = argparse.ArgumentParser()
parser.add_argument('--cortaviad', required=True)
parser.add_argument('--sim', required=True)
parser.add_argument('--cli', required=True)
parser.add_argument('--shots', help='folder for the desktop and phone screenshots')
args = parser.parse_args()

LAN_NS = os.environ.get('CV_LAN_NS')
if not LAN_NS:
    sys.exit('run inside scripts/testlan.sh')

children = []
temp = tempfile.mkdtemp(prefix='cv-web-')


def wait(what, done, timeout=NEVER):
    end = time.monotonic() + timeout
    while True:
        value = done()
        if value:
            return value
        if time.monotonic() > end:
            raise AssertionError(f'{what}: not within {timeout} s')
        time.sleep(0.05)


def start_sim():
    state = os.path.join(temp, 'sim')
    os.makedirs(state)
    # A venue: 12 transmitters (tx-001 .. tx-012 on channels 0000 .. 0011)
    # and 100 receivers, one more that goes away, one transmitter that
    # clashes with tx-003 on channel 0002.
    p = subprocess.Popen(['ip', 'netns', 'exec', LAN_NS, args.sim, '--tx', str(TX), '--rx', str(RX),
                          '--node', 'rx ip=198.18.3.1 hostname_id=goner channel=0000',
                          '--node', 'tx ip=198.18.1.99 channel=0002',
                          '--state-dir', state, '--ready-file', state + '/ready'],
                         stdout=subprocess.PIPE, text=True)
    children.append(p)
    wait('endpoint-sim ready', lambda: 'ready' in p.stdout.readline())
    return state


def wire(sim_state, address):
    data = b''
    for f in sorted(glob.glob(f'{sim_state}/{address}/conn-*.bin')):
        with open(f, 'rb') as fh:
            data += fh.read()
    return data


def get(base, path, token=None):
    req = urllib.request.Request(base + path)
    if token:
        req.add_header('Authorization', 'Bearer ' + token)
    try:
        with urllib.request.urlopen(req, timeout=10) as r:
            return r.status, json.loads(r.read() or b'null')
    except urllib.error.HTTPError as e:
        return e.code, None
    except OSError:
        return 0, None


def call(base, method, path, body=None):
    req = urllib.request.Request(base + path, method=method,
                                 data=None if body is None else json.dumps(body).encode(),
                                 headers={'Content-Type': 'application/json'})
    with urllib.request.urlopen(req, timeout=30) as r:
        return json.loads(r.read())


def make_token(state, name='page', role='admin'):
    """A named token, as an operator makes one: its first line is the token."""
    os.makedirs(state, exist_ok=True)
    out = subprocess.run([args.cortaviad, 'token', 'add', name, '--role', role, '--state-dir', state],
                         check=True, capture_output=True, text=True).stdout
    return out.splitlines()[0].strip()


def start_daemon(state, listen, devices=DEVICES):
    token = None
    if not listen.startswith('127.'):
        token = make_token(state)
    p = subprocess.Popen([args.cortaviad, '--state-dir', state, '--poll', '1', '--http', listen,
                          '--control', 'off'])
    children.append(p)
    base = 'http://' + listen

    def ready():
        s, h = get(base, '/api/v1/health', token)
        return s == 200 and h['ready'] and h['devices'] == devices
    wait(f'cortaviad on {listen} found the fleet', ready)
    return p, base, token


def stop(p):
    p.send_signal(signal.SIGTERM)
    try:
        p.wait(10)
    except subprocess.TimeoutExpired:
        p.kill()
        p.wait()


def browser():
    options = webdriver.ChromeOptions()
    options.binary_location = '/usr/bin/chromium'
    for flag in ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
                 '--disable-background-networking', '--disable-component-update', '--disable-sync',
                 '--disable-dev-shm-usage', '--window-size=1280,1000',
                 '--user-data-dir=' + tempfile.mkdtemp(prefix='profile-', dir=temp)]:
        options.add_argument(flag)
    return webdriver.Chrome(service=Service('/usr/bin/chromedriver'), options=options)


# ---- the cases ------------------------------------------------------------

results = []


def case(name):
    def run(fn):
        t = time.monotonic()
        try:
            fn()
            results.append((name, None, time.monotonic() - t))
            print(f'[ ok ] {name} ({time.monotonic() - t:.1f} s)', flush=True)
        except Exception:
            results.append((name, traceback.format_exc(), time.monotonic() - t))
            print(f'[FAIL] {name}\n{traceback.format_exc()}', flush=True)
        return fn
    return run


sim = start_sim()
state = os.path.join(temp, 'state')
daemon, base, _ = start_daemon(state, '127.0.0.1:8570')
devices = {d['address']: d for d in get(base, '/api/v1/devices')[0] and get(base, '/api/v1/devices')[1]}
mac = {a: d['mac'] for a, d in devices.items()}
# A scene with a wall, saved by a control system, for the wall picture.
call(base, 'PUT', '/api/v1/scenes/Wall', {
    'routes': [{'rx': mac['198.18.2.1'], 'tx': mac['198.18.1.1']},
               {'rx': mac['198.18.2.2'], 'tx': mac['198.18.1.1']}],
    'wall': {'rows': 1, 'columns': 2, 'bezel': {'ow': 1220, 'oh': 710, 'vw': 1210, 'vh': 680},
             'placements': [{'row': 0, 'column': 0, 'mac': mac['198.18.2.1']},
                            {'row': 0, 'column': 1, 'address': '198.18.2.2'}]}})

driver = browser()
driver.get(base + '/')


def card(address):
    return driver.find_element(By.CSS_SELECTOR, f'.card[data-mac="{mac[address]}"]')


def shows(address):
    return card(address).find_element(By.CSS_SELECTOR, '.source').text


def name_of(address):
    d = devices[address]
    return d['hostname_id'] or d['address']


wait('every receiver has a card', lambda: len(driver.find_elements(By.CSS_SELECTOR, '.card')) == CARDS)
first_render = driver.execute_script('return window.cvFirstRender')
print(f'       {CARDS} cards, first render {first_render:.0f} ms after navigation', flush=True)


@case('every control has an accessible name')
def _():
    # One card stands for the hundred made alike (each name asked of the browser costs a round trip).
    controls = driver.find_elements(By.CSS_SELECTOR, ':is(button, select, input, textarea, a[href], [tabindex])'
                                    ':not(.card:not(:first-child) *)')
    assert len(controls) >= 12, len(controls)
    nameless = [c.get_attribute('outerHTML')[:120] for c in controls
                if c.is_displayed() and not (c.accessible_name or '').strip()]
    assert not nameless, nameless
    # And the label is a real <label>, not a placeholder standing in for one.
    unlabelled = driver.execute_script("""
        return [...document.querySelectorAll('select, input')]
          .filter(c => c.offsetParent && c.labels.length === 0).map(c => c.id);""")
    assert not unlabelled, unlabelled


CONTRAST = """
function rgba(text) {
  const m = text.match(/rgba?\\(([^)]+)\\)/);
  const [r, g, b, a = 1] = m[1].split(',').map(Number);
  return [r, g, b, a];
}
function over(top, bottom) {
  const a = top[3];
  return [0, 1, 2].map(i => top[i] * a + bottom[i] * (1 - a)).concat(1);
}
function background(node) {
  const layers = [];
  for (let n = node; n && n.nodeType === 1; n = n.parentElement) {
    const c = rgba(getComputedStyle(n).backgroundColor);
    if (c[3] > 0) layers.push(c);
    if (c[3] === 1) break;
  }
  let bg = [255, 255, 255, 1];
  for (const layer of layers.reverse()) bg = over(layer, bg);
  return bg;
}
function luminance([r, g, b]) {
  const f = v => { v /= 255; return v <= 0.03928 ? v / 12.92 : ((v + 0.055) / 1.055) ** 2.4; };
  return 0.2126 * f(r) + 0.7152 * f(g) + 0.0722 * f(b);
}
const bad = [];
for (const node of document.querySelectorAll('body *')) {
  if (!node.offsetParent || node.closest(':disabled') || node.closest('svg')) continue;
  if (![...node.childNodes].some(c => c.nodeType === 3 && c.textContent.trim())) continue;
  const style = getComputedStyle(node);
  const bg = background(node);
  const fg = over(rgba(style.color), bg);
  const [l1, l2] = [luminance(fg), luminance(bg)].sort((a, b) => b - a);
  const ratio = (l1 + 0.05) / (l2 + 0.05);
  const size = parseFloat(style.fontSize), bold = Number(style.fontWeight) >= 700;
  const need = size >= 24 || (bold && size >= 18.66) ? 3 : 4.5;
  if (ratio < need) bad.push(`${node.tagName}.${node.className} "${node.textContent.trim().slice(0, 30)}" ${ratio.toFixed(2)}`);
}
return bad;
"""


@case('every text on the page meets the WCAG AA contrast')
def _():
    low = driver.execute_script(CONTRAST)
    assert not low, low
    # The check itself finds grey on white.
    driver.execute_script("const p = document.createElement('p'); p.id = 'pale'; p.textContent = 'pale';"
                          "p.style.color = '#999'; document.querySelector('main').append(p);")
    try:
        assert any('pale' in x for x in driver.execute_script(CONTRAST))
    finally:
        driver.execute_script("document.getElementById('pale').remove()")


HELPERS = CONTRAST.split('const bad = [];')[0]
FOCUS_RING = HELPERS + """
const ring = rgba(getComputedStyle(document.documentElement).getPropertyValue('--focus').trim()
  .replace(/^#(..)(..)(..)$/, (_, r, g, b) => `rgb(${parseInt(r, 16)},${parseInt(g, 16)},${parseInt(b, 16)})`));
const bad = [];
for (const node of document.querySelectorAll('button, select, input, a[href], summary, td[tabindex]')) {
  if (!node.offsetParent) continue;
  // The ring is drawn outside the control, on what is behind it (a matrix cell: inside, on the cell).
  const bg = background(node.matches('td') ? node : node.parentElement);
  const [l1, l2] = [luminance(ring), luminance(bg)].sort((a, b) => b - a);
  const ratio = (l1 + 0.05) / (l2 + 0.05);
  if (ratio < 3) bad.push(`${node.tagName}#${node.id}.${node.className} ${ratio.toFixed(2)}`);
}
return bad;
"""


@case('the focus ring stands out 3:1 on every background and every button has a name of its own')
def _():
    from selenium.webdriver.common.keys import Keys
    low = driver.execute_script(FOCUS_RING)
    assert not low, low
    # The ring is the one drawn when the keyboard moves the focus.
    driver.find_element(By.ID, 'scene-name').click()
    driver.switch_to.active_element.send_keys(Keys.TAB)
    style = driver.execute_script('const s = getComputedStyle(document.activeElement);'
                                  'return [s.outlineStyle, s.outlineWidth, s.outlineColor]')
    assert style[0] == 'solid' and float(style[1][:-2]) >= 2 and style[2] == 'rgb(74, 29, 150)', style
    names = driver.execute_script("""
        return [...document.querySelectorAll('button')].filter(b => b.offsetParent)
          .map(b => (b.getAttribute('aria-label') || b.textContent).replace(/\\s+/g, ' ').trim());""")
    dupes = sorted({n for n in names if names.count(n) > 1})
    assert not dupes, dupes
    assert len(names) > CARDS, len(names)
    assert 'Save label for 198.18.1.99' in names and f'Rename {name_of("198.18.2.47")}' in names
    assert driver.title == 'Cortavia at 127.0.0.1', driver.title


@case('choosing a source routes the receiver and the card shows it after the read-back')
def _():
    before = wire(sim, '198.18.2.1')
    target = '198.18.1.2'
    # Times in the page itself: from the change to the card's new text.
    driver.execute_script("""
        const [cardNode, want] = arguments;
        window.cvSeen = {switching: false};
        document.addEventListener('change', () => { window.cvSeen.t0 = performance.now(); }, {capture: true, once: true});
        new MutationObserver(() => {
          if (cardNode.classList.contains('switching')) window.cvSeen.switching = true;
          if (!window.cvSeen.t1 && !cardNode.classList.contains('switching') &&
              cardNode.querySelector('.source').textContent === want) window.cvSeen.t1 = performance.now();
        }).observe(cardNode, {subtree: true, childList: true, characterData: true, attributes: true});
    """, card('198.18.2.1'), name_of(target))
    Select(card('198.18.2.1').find_element(By.TAG_NAME, 'select')).select_by_value(mac[target])
    seen = wait('card shows the new source', lambda: driver.execute_script('return window.cvSeen.t1 && window.cvSeen'))
    assert seen['switching'], 'the card never showed that it was switching'
    print(f'       click to card: {seen["t1"] - seen["t0"]:.0f} ms', flush=True)
    sent = wire(sim, '198.18.2.1')[len(before):]
    for line in [b'astparam s reset_ch_on_boot n\r\n\0', b'astparam save\r\n\0', b'e e_reconnect::0001\r\n\0']:
        assert line in sent, (line, sent)
    assert shows('198.18.2.1') == name_of(target)
    assert 'failed' not in card('198.18.2.1').get_attribute('class')


@case('a route made with cortavia-cli set appears on the page')
def _():
    assert shows('198.18.2.2') == name_of('198.18.1.2')
    subprocess.run([args.cli, 'set', '198.18.2.2', '--channel', '0000'], check=True,
                   stdout=subprocess.DEVNULL)
    done = time.monotonic()
    wait('card follows the change', lambda: shows('198.18.2.2') == name_of('198.18.1.1'))
    print(f'       command line to card: {(time.monotonic() - done) * 1000:.0f} ms (poll 1 s)', flush=True)


@case('a conflict of two transmitters on one channel is shown')
def _():
    box = driver.find_element(By.ID, 'conflicts')
    assert box.is_displayed()
    assert '0002' in box.text, box.text
    assert 'conflict on channel 0002' in shows('198.18.2.3'), shows('198.18.2.3')


@case('a label names the transmitter everywhere on the page')
def _():
    row = driver.find_element(By.CSS_SELECTOR, f'#sources li[data-mac="{mac["198.18.1.1"]}"]')
    field = row.find_element(By.TAG_NAME, 'input')
    field.clear()
    field.send_keys('Blu-ray')
    row.find_element(By.TAG_NAME, 'button').click()
    wait('the card uses the label', lambda: shows('198.18.2.2') == 'Blu-ray')
    devices['198.18.1.1']['hostname_id'] = 'Blu-ray'
    assert json.load(open(state + '/labels.json'))[mac['198.18.1.1']] == 'Blu-ray'
    # A control character cannot be typed; pasted text can carry one.
    driver.execute_script("arguments[0].value = 'two\\u0001lines'", field)
    row.find_element(By.TAG_NAME, 'button').click()
    wait('a bad label is refused by name', lambda: 'label:' in row.find_element(By.CSS_SELECTOR, '.status').text)
    assert json.load(open(state + '/labels.json'))[mac['198.18.1.1']] == 'Blu-ray'
    assert shows('198.18.2.2') == 'Blu-ray'
    field.clear()
    field.send_keys('Blu-ray\n')
    wait('saved again', lambda: row.find_element(By.CSS_SELECTOR, '.status').text == 'Saved')


@case('the wall of a scene is drawn to scale with each receiver in its cell')
def _():
    Select(driver.find_element(By.ID, 'wall-scene')).select_by_value('Wall')
    picture = driver.find_element(By.CSS_SELECTOR, '#wall svg')
    view = driver.execute_script("return arguments[0].getAttribute('viewBox')", picture)
    assert view == '0 0 2440 710', view
    cells = picture.find_elements(By.CSS_SELECTOR, '.cell')
    assert len(cells) == 2
    assert name_of('198.18.2.2') in cells[1].text, cells[1].text
    screen = cells[0].find_element(By.CSS_SELECTOR, '.screen')
    assert (screen.get_attribute('width'), screen.get_attribute('height')) == ('1210', '680')


@case('numbers go on the screens and off again')
def _():
    before = wire(sim, '198.18.2.3')
    driver.find_element(By.ID, 'identify-on').click()
    wait('numbers shown', lambda: 'shown' in driver.find_element(By.ID, 'identify-status').text)
    driver.find_element(By.ID, 'identify-off').click()
    wait('numbers hidden', lambda: 'hidden' in driver.find_element(By.ID, 'identify-status').text)
    assert len(wire(sim, '198.18.2.3')) > len(before)


@case('the current routing is saved as a scene and recalled with one button')
def _():
    driver.find_element(By.ID, 'scene-name').send_keys('Evening')
    driver.find_element(By.CSS_SELECTOR, '#capture-form button').click()
    recall = wait('scene listed', lambda: driver.find_elements(By.XPATH, '//button[text()="Recall Evening"]'))[0]
    saved = {r['rx']: r['tx'] for r in get(base, '/api/v1/scenes/Evening')[1]['routes']}
    assert saved[mac['198.18.2.1']] == mac['198.18.1.2']
    call(base, 'PUT', '/api/v1/routes/' + mac['198.18.2.1'], {'tx': mac['198.18.1.1']})
    wait('route from elsewhere shows', lambda: shows('198.18.2.1') == 'Blu-ray')
    recall.click()
    wait('recalled', lambda: 'Recalled Evening' in driver.find_element(By.ID, 'scene-status').text)
    wait('card back on the scene\'s source', lambda: shows('198.18.2.1') == name_of('198.18.1.2'))


@case('deleting a scene asks first')
def _():
    driver.find_element(By.ID, 'scene-name').send_keys('Spare')
    driver.find_element(By.CSS_SELECTOR, '#capture-form button').click()
    delete = wait('listed', lambda: driver.find_elements(By.XPATH, '//button[text()="Delete Spare"]'))[0]
    delete.click()
    alert = driver.switch_to.alert
    assert 'Spare' in alert.text
    alert.dismiss()
    time.sleep(0.3)
    assert get(base, '/api/v1/scenes/Spare')[0] == 200
    delete = driver.find_element(By.XPATH, '//button[text()="Delete Spare"]')
    delete.click()
    driver.switch_to.alert.accept()
    wait('gone', lambda: not driver.find_elements(By.XPATH, '//button[text()="Delete Spare"]'))
    assert get(base, '/api/v1/scenes/Spare')[0] == 404


@case('a scene, a label and a room saved elsewhere appear at once; rooms fold and are searched')
def _():
    call(base, 'PUT', '/api/v1/scenes/Remote', {'routes': [{'rx': mac['198.18.2.20'], 'tx': mac['198.18.1.2']}]})
    wait('the scene is listed', lambda: driver.find_elements(By.XPATH, '//button[text()="Recall Remote"]'))
    call(base, 'DELETE', '/api/v1/scenes/Remote')
    wait('and gone', lambda: not driver.find_elements(By.XPATH, '//button[text()="Recall Remote"]'))
    for n, room in [(47, 'Bar'), (48, 'Bar'), (90, 'Lecture hall')]:
        call(base, 'PUT', f'/api/v1/labels/{mac[f"198.18.2.{n}"]}', {'label': f'Screen {n}', 'room': room})
    wait('the label names the card', lambda: card('198.18.2.90').find_element(By.CSS_SELECTOR, '.title').text == 'Screen 90')
    devices['198.18.2.47']['hostname_id'] = 'Screen 47'
    bar = driver.find_element(By.CSS_SELECTOR, 'details.room[data-room="Bar"]')
    assert '(2 displays)' in bar.find_element(By.TAG_NAME, 'summary').text
    assert bar.find_elements(By.CSS_SELECTOR, f'.card[data-mac="{mac["198.18.2.47"]}"]')
    rooms = [r.get_attribute('data-room') for r in driver.find_elements(By.CSS_SELECTOR, '#groups > .room')]
    assert rooms == ['Bar', 'Lecture hall', ''], rooms
    bar.find_element(By.TAG_NAME, 'summary').click()
    assert not driver.execute_script('return arguments[0].checkVisibility()', card('198.18.2.47'))
    field = driver.find_element(By.ID, 'filter')
    field.send_keys('lecture')
    wait('found by room', lambda: driver.find_element(By.ID, 'filter-count').text == f'1 of {CARDS} displays')
    field.clear()
    field.send_keys(' ')
    bar.find_element(By.TAG_NAME, 'summary').click()
    assert driver.execute_script('return arguments[0].checkVisibility()', card('198.18.2.47'))
    # And the page gives one: the dialog on the card.
    card('198.18.2.48').find_element(By.CSS_SELECTOR, 'button.rename').click()
    label = driver.find_element(By.ID, 'rename-label')
    label.clear()
    label.send_keys('Bar TV 2')
    room = driver.find_element(By.ID, 'rename-room')
    room.clear()
    room.send_keys('Bar\n')
    wait('renamed', lambda: card('198.18.2.48').find_element(By.CSS_SELECTOR, '.title').text == 'Bar TV 2')
    assert json.load(open(state + '/labels.json'))[mac['198.18.2.48']] == {'label': 'Bar TV 2', 'room': 'Bar'}
    assert get(base, '/api/v1/rooms')[1][mac['198.18.2.48']] == 'Bar'


@case('the page is used with the keyboard alone, and a skip link passes a hundred displays')
def _():
    from selenium.webdriver.common.keys import Keys
    # From the top of the page, as after loading it.
    driver.execute_script("const h = document.getElementById('venue'); h.tabIndex = -1; h.focus();")
    reached = []
    for _ in range(40):
        driver.switch_to.active_element.send_keys(Keys.TAB)
        reached.append(driver.switch_to.active_element.get_attribute('id') or
                       driver.switch_to.active_element.text)
    first_select = card('198.18.2.1').find_element(By.TAG_NAME, 'select').get_attribute('id')
    for want in ['Scenes', 'Wall', 'Recall Wall', 'filter', first_select]:
        assert want in reached, (want, reached)
    # The skip link to the wall, then the next Tab is in the wall, not in a card.
    link = driver.find_element(By.CSS_SELECTOR, '.skip a[href="#wall-title"]')
    driver.execute_script('arguments[0].focus()', link)
    driver.switch_to.active_element.send_keys(Keys.ENTER)
    wait('the wall heading has the focus', lambda: driver.switch_to.active_element.get_attribute('id') == 'wall-title')
    for _ in range(4):
        driver.switch_to.active_element.send_keys(Keys.TAB)
        if driver.switch_to.active_element.get_attribute('id') == 'identify-on':
            break
    assert driver.switch_to.active_element.get_attribute('id') == 'identify-on'
    # A button pressed with Enter does what a click does, and keeps the focus.
    recall = driver.find_element(By.XPATH, '//button[text()="Recall Wall"]')
    driver.execute_script('arguments[0].focus()', recall)
    driver.switch_to.active_element.send_keys(Keys.ENTER)
    wait('recalled from the keyboard', lambda: 'Recalled Wall' in driver.find_element(By.ID, 'scene-status').text)
    assert driver.switch_to.active_element == recall, driver.switch_to.active_element.get_attribute('outerHTML')
    wait('its routes show', lambda: shows('198.18.2.1') == name_of('198.18.1.1')
         and shows('198.18.2.2') == name_of('198.18.1.1'))


@case('arrow keys on a closed Source list pick without switching, Enter switches, and a focused list follows the truth')
def _():
    from selenium.webdriver.common.keys import Keys
    node = card('198.18.2.6')
    select = node.find_element(By.TAG_NAME, 'select')
    driver.execute_script("""
        window.cvSwitched = 0;
        new MutationObserver(() => { if (arguments[0].classList.contains('switching')) window.cvSwitched++; })
          .observe(arguments[0], {attributes: true, attributeFilter: ['class']});""", node)
    driver.execute_script('arguments[0].focus()', select)
    select.send_keys(Keys.DOWN)
    select.send_keys(Keys.DOWN)
    status = node.find_element(By.CSS_SELECTOR, '.status')
    wait('the card says how to switch', lambda: 'Press Enter' in status.text)
    picked = Select(select).first_selected_option
    picked_mac, picked_name = picked.get_attribute('value'), picked.text
    assert picked_name != shows('198.18.2.6') and picked_name in status.text, (picked_name, status.text)
    assert driver.execute_script('return window.cvSwitched') == 0
    select.send_keys(Keys.ENTER)
    wait('Enter switched', lambda: shows('198.18.2.6') == picked_name and 'switching' not in node.get_attribute('class'))
    assert driver.execute_script('return window.cvSwitched') == 1
    # Still focused: a route made elsewhere shows in the list itself.
    assert driver.switch_to.active_element == select
    call(base, 'PUT', '/api/v1/routes/' + mac['198.18.2.6'], {'tx': mac['198.18.1.1']})
    wait('the focused list follows', lambda: select.get_attribute('value') == mac['198.18.1.1'])
    assert driver.switch_to.active_element == select
    # So choosing the earlier source again is a change, and it switches.
    Select(select).select_by_value(picked_mac)
    wait('chosen again, switched again', lambda: shows('198.18.2.6') == picked_name)


@case('screenshot at desktop width')
def _():
    if args.shots:
        os.makedirs(args.shots, exist_ok=True)
        driver.execute_script('window.scrollTo(0, 0)')
        height = driver.execute_script('return document.documentElement.scrollHeight')
        driver.set_window_size(1280, min(height + 140, 2400))
        driver.save_screenshot(os.path.join(args.shots, 'web-desktop.png'))


def use_matrix():
    from selenium.webdriver.common.keys import Keys
    toggle = driver.find_element(By.ID, 'view-matrix')
    driver.execute_script('arguments[0].focus()', toggle)
    driver.switch_to.active_element.send_keys(Keys.ENTER)
    grid = wait('the matrix', lambda: driver.find_element(By.ID, 'matrix').is_displayed()
                and driver.find_element(By.ID, 'matrix'))
    assert not driver.find_element(By.ID, 'groups').is_displayed()
    driver.switch_to.active_element.send_keys(Keys.TAB)
    cell = driver.switch_to.active_element
    rows = [r.get_attribute('data-rx') for r in grid.find_elements(By.CSS_SELECTOR, 'tbody tr')]
    assert cell.tag_name == 'td' and cell.get_attribute('data-rx') == rows[0], cell.get_attribute('outerHTML')
    columns = [c.text for c in grid.find_elements(By.CSS_SELECTOR, 'thead th')]
    # Down to 198.18.2.3's row, right to tx-002's column.
    keys = [Keys.DOWN] * rows.index(mac['198.18.2.3']) + [Keys.HOME] + [Keys.RIGHT] * (columns.index('tx-002') - 1)
    for key in keys:
        driver.switch_to.active_element.send_keys(key)
    cell = driver.switch_to.active_element
    assert cell.get_attribute('data-rx') == mac['198.18.2.3'] and cell.get_attribute('data-tx') == mac['198.18.1.2'], \
        cell.get_attribute('outerHTML')
    cell.send_keys(Keys.ENTER)
    wait('routed and marked', lambda: 'current' in cell.get_attribute('class'))
    assert {r['rx']: r['tx'] for r in get(base, '/api/v1/routes')[1]}[mac['198.18.2.3']] == mac['198.18.1.2']
    # The card (hidden behind the matrix) says the same.
    assert card('198.18.2.3').find_element(By.CSS_SELECTOR, '.source').get_attribute('textContent') == name_of('198.18.1.2')
    # It follows the same live state.
    call(base, 'PUT', '/api/v1/routes/' + mac['198.18.2.3'], {'tx': mac['198.18.1.1']})
    wait('moved by a route elsewhere', lambda: 'current' not in cell.get_attribute('class'))
    if args.shots:
        driver.execute_script('window.scrollTo(0, 0)')
        driver.save_screenshot(os.path.join(args.shots, 'web-matrix.png'))


@case('on the desk the matrix is used by keyboard only')
def _():
    from selenium.webdriver.common.keys import Keys
    try:
        use_matrix()
    finally:
        driver.find_element(By.ID, 'view-cards').click()
        wait('cards again', lambda: driver.find_element(By.ID, 'groups').is_displayed())


@case('an endpoint taken off the network greys out; routing it, a recall and numbers each name it as failed')
def _():
    from selenium.webdriver.common.keys import Keys
    call(base, 'PUT', '/api/v1/scenes/Quiz', {'routes': [
        {'rx': mac['198.18.2.10'], 'tx': mac['198.18.1.4']}, {'rx': mac['198.18.2.11'], 'tx': mac['198.18.1.4']},
        {'rx': mac['198.18.3.1'], 'tx': mac['198.18.1.4']}]})
    recall = wait('scene listed', lambda: driver.find_elements(By.XPATH, '//button[text()="Recall Quiz"]'))[0]
    subprocess.run(['ip', '-n', LAN_NS, 'route', 'del', 'local', '198.18.3.0/24', 'dev', 'lo'], check=True)
    goner = card('198.18.3.1')
    status = goner.find_element(By.CSS_SELECTOR, '.status')
    try:
        wait('greyed out', lambda: 'offline' in goner.get_attribute('class'))
        assert 'offline' in goner.find_element(By.CSS_SELECTOR, '.badge').text
        Select(goner.find_element(By.TAG_NAME, 'select')).select_by_value(mac['198.18.1.2'])
        wait('the failure is shown', lambda: 'failed' in status.get_attribute('class'))
        assert 'failed at step' in status.text and 'connect' in status.text, status.text
        assert 'failed' in goner.get_attribute('class')
        low = driver.execute_script(CONTRAST)  # greyed out and failed, still readable
        assert not low, low
        # A recall says which of its displays switched, and marks the one that did not.
        driver.execute_script('arguments[0].focus()', recall)
        driver.switch_to.active_element.send_keys(Keys.ENTER)
        told = driver.find_element(By.ID, 'scene-status')
        wait('per display', lambda: 'switched' in told.text)
        assert 'Quiz: 2 of 3 switched; goner is offline' in told.text, told.text
        assert 'Recalling Quiz failed: the display is offline' in status.text, status.text
        assert shows('198.18.2.10') == shows('198.18.2.11') == name_of('198.18.1.4')
        assert driver.switch_to.active_element == recall
        # Numbers: the offline screen is named, not passed over.
        driver.find_element(By.ID, 'identify-on').click()
        told = driver.find_element(By.ID, 'identify-status')
        wait('numbers per display', lambda: ' of ' in told.text)
        assert f'Numbers shown on {CARDS - 1} of {CARDS} screens; goner is offline' in told.text, told.text
        assert 'Showing its number failed' in status.text, status.text
    finally:
        subprocess.run(['ip', '-n', LAN_NS, 'route', 'add', 'local', '198.18.3.0/24', 'dev', 'lo'], check=True)
    wait('online again', lambda: 'offline' not in goner.get_attribute('class'))
    wait('and the failure cleared with it', lambda: 'failed' not in goner.get_attribute('class'))


PHONE = {'width': 360, 'height': 740, 'deviceScaleFactor': 1, 'mobile': True}


@case('on a phone rx-047 is found by typing and routed in three taps, and the first Recall is within two screens')
def _():
    driver.execute_cdp_cmd('Emulation.setDeviceMetricsOverride', PHONE)
    try:
        driver.execute_script('window.scrollTo(0, 0)')
        length, recall_at = driver.execute_script("""
            return [document.documentElement.scrollHeight / innerHeight,
                    document.querySelector('#scenes button').getBoundingClientRect().top + scrollY];""")
        print(f'       phone page {length:.1f} screens, first Recall at {recall_at:.0f} px', flush=True)
        assert recall_at < 2 * 740, recall_at
        field = driver.find_element(By.ID, 'filter')
        field.click()                                                   # tap 1
        driver.execute_script("""document.getElementById('filter').addEventListener('keydown',
            () => { window.cvLastKey = performance.now(); });""")
        field.send_keys('rx-047')
        count = driver.find_element(By.ID, 'filter-count')
        wait('one display left', lambda: count.text == f'1 of {CARDS} displays')
        visible = [c for c in driver.find_elements(By.CSS_SELECTOR, '.card') if c.is_displayed()]
        assert len(visible) == 1 and visible[0].get_attribute('data-mac') == mac['198.18.2.47'], visible
        took = driver.execute_script('return window.cvFiltered - window.cvLastKey')
        print(f'       last keystroke to filtered view: {took:.1f} ms', flush=True)
        Select(visible[0].find_element(By.TAG_NAME, 'select')).select_by_value(mac['198.18.1.5'])  # taps 2 and 3
        wait('routed', lambda: shows('198.18.2.47') == 'tx-005')
        # The same search finds an address (and a number).
        field.clear()
        field.send_keys('198.18.2.10')
        wait('by address', lambda: count.text == f'2 of {CARDS} displays')  # .10 and .100
        field.clear()
        field.send_keys(' ')
        wait('all back', lambda: count.text == '')
    finally:
        driver.execute_cdp_cmd('Emulation.clearDeviceMetricsOverride', {})


@case('at 360 px wide the page has no horizontal scroll')
def _():
    driver.execute_cdp_cmd('Emulation.setDeviceMetricsOverride',
                           {'width': 360, 'height': 780, 'deviceScaleFactor': 1, 'mobile': True})
    try:
        time.sleep(0.3)
        widths = driver.execute_script(
            'return [document.documentElement.scrollWidth, document.documentElement.clientWidth, '
            'Math.max(...[...document.querySelectorAll("body *")].map(e => e.getBoundingClientRect().right))]')
        assert widths[0] <= widths[1] and widths[2] <= widths[1] + 0.5, widths
        if args.shots:
            driver.execute_script('window.scrollTo(0, 0)')
            driver.save_screenshot(os.path.join(args.shots, 'web-phone.png'))
    finally:
        driver.execute_cdp_cmd('Emulation.clearDeviceMetricsOverride', {})


@case('a lost connection marks every card stale wherever the page is scrolled, and the page reconnects by itself')
def _():
    global daemon
    stop(daemon)
    wait('shown as lost', lambda: 'lost' in driver.find_element(By.ID, 'connection').get_attribute('class'))
    stale = lambda: driver.execute_script("return document.querySelectorAll('.card.stale').length")
    wait('every card stale', lambda: stale() == CARDS)
    driver.execute_script('arguments[0].scrollIntoView()', card('198.18.2.80'))
    bar = driver.execute_script("const r = document.getElementById('bar').getBoundingClientRect();"
                                "return [r.top, document.getElementById('connection').textContent]")
    assert bar[0] == 0 and 'lost' in bar[1], bar
    assert 'last known' in card('198.18.2.80').find_element(By.CSS_SELECTOR, '.badge').text
    # A switch tried while it is down fails on the card...
    Select(card('198.18.2.80').find_element(By.TAG_NAME, 'select')).select_by_value(mac['198.18.1.4'])
    wait('failed while down', lambda: 'failed' in card('198.18.2.80').get_attribute('class'))
    daemon, _, _ = start_daemon(state, '127.0.0.1:8570')
    wait('live again', lambda: driver.find_element(By.ID, 'connection').text == 'Live')
    # ...and clears when the state arrives again.
    wait('nothing stale', lambda: stale() == 0)
    wait('the failure cleared', lambda: 'failed' not in card('198.18.2.80').get_attribute('class'))
    call(base, 'PUT', '/api/v1/routes/' + mac['198.18.2.1'], {'tx': mac['198.18.1.2']})
    wait('and follows events again', lambda: shows('198.18.2.1') == name_of('198.18.1.2'))


@case('off loopback the page asks for the token once and keeps it')
def _():
    stop(daemon)
    state2 = os.path.join(temp, 'state-net')
    d2, base2, token = start_daemon(state2, '198.18.0.1:8571')
    driver.get(base2 + '/')
    form = wait('token asked for', lambda: driver.find_element(By.ID, 'access').is_displayed()
                and driver.find_element(By.ID, 'access'))
    assert 'token' in form.text
    assert not driver.find_element(By.ID, 'content').is_displayed()
    field = driver.find_element(By.ID, 'token-input')
    field.send_keys('0' * len(token) + '\n')
    wait('a wrong token is refused', lambda: 'did not accept the token you typed' in
         driver.find_element(By.ID, 'access').text)
    stored = "return localStorage.getItem('cortavia-token')"
    assert driver.execute_script(stored) is None
    field.send_keys(token + '\n')
    wait('cards with the token', lambda: len(driver.find_elements(By.CSS_SELECTOR, '.card')) == CARDS)
    wait('stream open with the token', lambda: driver.find_element(By.ID, 'connection').text == 'Live')
    driver.refresh()
    wait('kept: no second prompt', lambda: len(driver.find_elements(By.CSS_SELECTOR, '.card')) == CARDS)
    assert not driver.find_element(By.ID, 'access').is_displayed()
    assert driver.execute_script(stored) == token
    # Forgotten with one button, and asked for again.
    driver.find_element(By.ID, 'forget-token').click()
    wait('asked again', lambda: driver.find_element(By.ID, 'access').is_displayed())
    assert driver.execute_script(stored) is None
    # A pairing link signs in, and the token leaves the address bar.
    driver.get(base2 + '/#token=' + token)
    wait('signed in by the link', lambda: driver.find_element(By.ID, 'connection').text == 'Live')
    assert 'token' not in driver.current_url and driver.execute_script(stored) == token
    stop(d2)


@case('a page on another origin cannot switch a display, show numbers or save a scene')
def _():
    import http.server
    import threading
    state3 = os.path.join(temp, 'state-csrf')
    d3, base3, _ = start_daemon(state3, '127.0.0.1:8572')
    before = {a: wire(sim, a) for a in ['198.18.2.1', '198.18.2.2', '198.18.2.3']}
    target = 'http://127.0.0.1:8572/api/v1'
    attack = f"""<!doctype html><title>waiting</title><script>
    const go = (path, method, body) => fetch('{target}' + path, {{method, mode: 'no-cors',
        headers: {{'Content-Type': 'text/plain'}}, body}}).catch(() => null);
    Promise.all([
      go('/routes/198.18.2.1', 'PUT', '{{"tx":null}}'),
      go('/identify', 'POST', '{{"on":true}}'),
      go('/scenes/Pwned/capture', 'POST', ''),
      fetch('{target}/identify', {{method: 'POST', headers: {{'Content-Type': 'application/json'}},
          body: '{{"on":true}}'}}).then(r => 'read ' + r.status, e => 'blocked'),
    ]).then(r => {{ document.title = 'done ' + r[3]; }});
    </script>""".encode()

    class Attacker(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            self.send_response(200)
            self.send_header('Content-Type', 'text/html')
            self.send_header('Content-Length', str(len(attack)))
            self.end_headers()
            self.wfile.write(attack)

        def log_message(self, *a):
            pass
    server = http.server.ThreadingHTTPServer(('127.0.0.2', 8573), Attacker)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        driver.get('http://127.0.0.2:8573/')
        wait('the attacking page ran', lambda: driver.title.startswith('done'))
        assert driver.title == 'done blocked', driver.title
    finally:
        server.shutdown()
    time.sleep(1.5)  # a poll: whatever was sent would be on the wire by now
    for a, b in before.items():
        after = wire(sim, a)[len(b):]
        for line in [b'e e_reconnect', b'osd_on', b'astparam s']:
            assert line not in after, (a, line, after[-300:])
    assert not os.path.exists(os.path.join(state3, 'scenes', 'Pwned.json'))
    assert get(base3, '/api/v1/health')[0] == 200
    stop(d3)


@case('over HTTPS with a certificate made here the page loads, takes the token and follows events')
def _():
    state4 = os.path.join(temp, 'state-tls')
    os.makedirs(state4)
    cert, key = os.path.join(temp, 'cert.pem'), os.path.join(temp, 'key.pem')
    subprocess.run(['openssl', 'req', '-x509', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:prime256v1',
                    '-nodes', '-days', '2', '-subj', '/CN=198.18.0.1', '-addext', 'subjectAltName=IP:198.18.0.1',
                    '-keyout', key, '-out', cert], check=True, capture_output=True)
    token = make_token(state4)
    d4 = subprocess.Popen([args.cortaviad, '--state-dir', state4, '--poll', '1', '--http', '198.18.0.1:8574',
                           '--control', 'off', '--tls-cert', cert, '--tls-key', key])
    children.append(d4)
    import ssl
    context = ssl.create_default_context(cafile=cert)

    def health():
        req = urllib.request.Request('https://198.18.0.1:8574/api/v1/health',
                                     headers={'Authorization': 'Bearer ' + token})
        try:
            with urllib.request.urlopen(req, timeout=10, context=context) as r:
                return json.loads(r.read())
        except OSError:
            return None
    wait('the API over TLS, the certificate checked', lambda: (health() or {}).get('devices') == DEVICES)
    # Plain HTTP on the same port gets nothing.
    assert get('http://198.18.0.1:8574', '/api/v1/health', token)[0] == 0
    options_driver = webdriver.ChromeOptions()
    options_driver.binary_location = '/usr/bin/chromium'
    for flag in ['--headless', '--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-dev-shm-usage',
                 '--ignore-certificate-errors', '--user-data-dir=' + tempfile.mkdtemp(prefix='profile-', dir=temp)]:
        options_driver.add_argument(flag)
    tls_driver = webdriver.Chrome(service=Service('/usr/bin/chromedriver'), options=options_driver)
    try:
        tls_driver.get('https://198.18.0.1:8574/')
        field = wait('token asked for', lambda: tls_driver.find_element(By.ID, 'token-input').is_displayed()
                     and tls_driver.find_element(By.ID, 'token-input'))
        field.send_keys(token + '\n')
        wait('cards over TLS', lambda: len(tls_driver.find_elements(By.CSS_SELECTOR, '.card')) == CARDS)
        wait('stream over TLS', lambda: tls_driver.find_element(By.ID, 'connection').text == 'Live')
    finally:
        tls_driver.quit()
    stop(d4)

try:
    driver.quit()
finally:
    for p in children:
        if p.poll() is None:
            stop(p)
    shutil.rmtree(temp, ignore_errors=True)

failed = [r for r in results if r[1]]
print(f'{len(results) - len(failed)} of {len(results)} cases passed')
sys.exit(1 if failed else 0)
