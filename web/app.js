// The control page: every receiver, its source, the scenes and the wall,
// kept live from the event stream. Everything goes through the public API.
import { call, openEvents, path, setToken, savedToken, Unauthorized, ApiError } from './api.js';

const $ = (id) => document.getElementById(id);
const EVENTS = ['online', 'offline', 'changed', 'route', 'conflict', 'scene-recalled', 'failed'];

const state = {
  devices: [], routes: [], conflicts: [], labels: {}, scenes: [],
  pending: new Map(),   // rx mac -> {kind: 'switching'|'failed', text}
  wallScene: '',
};
let stream = null;
let reloadTimer = 0;
let retryTimer = 0;

function el(tag, props = {}, ...children) {
  const node = document.createElement(tag);
  for (const [k, v] of Object.entries(props)) {
    if (k === 'class') node.className = v;
    else if (k === 'text') node.textContent = v;
    else if (k.startsWith('on')) node.addEventListener(k.slice(2), v);
    else if (v !== undefined && v !== null && v !== false) node.setAttribute(k, v === true ? '' : v);
  }
  for (const c of children) node.append(c);
  return node;
}

const byMac = (mac) => state.devices.find((d) => d.mac === mac);
const transmitters = () => state.devices.filter((d) => d.kind === 'tx')
  .sort((a, b) => sourceName(a).localeCompare(sourceName(b), undefined, { numeric: true }));
const receivers = () => state.devices.filter((d) => d.kind === 'rx')
  .sort((a, b) => (a.number ?? 1e9) - (b.number ?? 1e9) || displayName(a).localeCompare(displayName(b), undefined, { numeric: true }));

export function sourceName(tx) {
  return state.labels[tx.mac] || tx.hostname_id || tx.address;
}
function displayName(rx) { return rx.hostname_id || rx.address; }
function nameOfMac(mac) { const d = byMac(mac); return d ? sourceName(d) : mac; }

function conflictOn(channel) { return state.conflicts.find((c) => c.channel === channel); }

// What a receiver shows, in words.
function showing(rx) {
  const route = state.routes.find((r) => r.rx === rx.mac);
  const channel = route ? route.channel : rx.channel;
  if (route && route.tx) return { tx: route.tx, text: nameOfMac(route.tx) };
  const clash = conflictOn(channel);
  if (clash) return { tx: '', text: `conflict on channel ${channel}: ${clash.transmitters.map(nameOfMac).join(' or ')}`, conflict: true };
  return { tx: '', text: `nothing (channel ${channel})` };
}

function setConnection(text, lost) {
  const c = $('connection');
  c.textContent = text;
  c.classList.toggle('lost', !!lost);
}

function showNotice(text) {
  $('notice').textContent = text;
  $('notice').hidden = !text;
}

// ---- Access ------------------------------------------------------------

function askForToken(message) {
  closeStream();
  $('content').hidden = true;
  $('access').hidden = false;
  if (message) $('access-message').textContent = message;
  setConnection('Not connected: access token needed', true);
  $('token-input').focus();
}

$('token-form').addEventListener('submit', (e) => {
  e.preventDefault();
  const t = $('token-input').value.trim();
  if (!t) return;
  setToken(t);
  $('token-input').value = '';
  $('access').hidden = true;
  start();
});

// ---- Loading -----------------------------------------------------------

async function load() {
  const [devices, routes, conflicts, labels, scenes] = await Promise.all([
    call('GET', '/devices'), call('GET', '/routes'), call('GET', '/conflicts'),
    call('GET', '/labels'), call('GET', '/scenes'),
  ]);
  Object.assign(state, { devices, routes, conflicts, labels, scenes });
  render();
}

function failedToLoad(err) {
  if (err instanceof Unauthorized) {
    askForToken(savedToken()
      ? 'The service did not accept the saved access token. Enter the current one, or open a new pairing link (cortaviad token add).'
      : null);
    return;
  }
  if (err instanceof ApiError && err.status === 503) {
    showNotice('The service is still scanning the network for the first time…');
  } else {
    showNotice(`Cannot reach the service: ${err.message}. Trying again…`);
    setConnection('Connection to the service lost: reconnecting…', true);
  }
  clearTimeout(retryTimer);
  retryTimer = setTimeout(start, 2000);
}

function scheduleReload() {
  clearTimeout(reloadTimer);
  reloadTimer = setTimeout(() => load().catch(failedToLoad), 30);
}

function closeStream() {
  if (stream) { stream.close(); stream = null; }
}

function listen() {
  closeStream();
  stream = openEvents();
  stream.addEventListener('open', () => {
    setConnection('Live', false);
    showNotice('');
    scheduleReload();   // whatever happened while the stream was down
  });
  stream.addEventListener('error', () => {
    setConnection('Connection to the service lost: reconnecting…', true);
    if (stream && stream.readyState === EventSource.CLOSED) {
      // Refused outright (a token, a restart): find out why, then start over.
      closeStream();
      clearTimeout(retryTimer);
      retryTimer = setTimeout(start, 2000);
    }
  });
  for (const type of EVENTS) stream.addEventListener(type, scheduleReload);
}

async function start() {
  clearTimeout(retryTimer);
  try {
    await load();
    $('access').hidden = true;
    $('content').hidden = false;
    showNotice('');
    listen();
  } catch (err) {
    failedToLoad(err);
  }
}

// ---- Displays ----------------------------------------------------------

function card(rx) {
  let node = document.querySelector(`.card[data-mac="${rx.mac}"]`);
  if (!node) {
    const id = `source-${rx.mac.replaceAll(':', '')}`;
    const select = el('select', { id, onchange: () => route(rx.mac, select.value) });
    node = el('article', { class: 'card', 'data-mac': rx.mac, 'aria-labelledby': `${id}-title` },
      el('h3', { id: `${id}-title`, class: 'title' }),
      el('p', { class: 'meta' }, el('span', { class: 'number' }), el('span', { class: 'badge' }), el('span', { class: 'address' })),
      el('p', { class: 'shows' }, 'Shows: ', el('strong', { class: 'source' })),
      el('label', { for: id, class: 'select-label' }, 'Source'),
      select,
      el('p', { class: 'status', role: 'status', 'aria-live': 'polite' }));
  }
  const d = byMac(rx.mac) || rx;
  const shown = showing(d);
  // A failure stays on the card until the receiver shows something else.
  if (state.pending.get(d.mac)?.kind === 'failed' && state.pending.get(d.mac).shown !== shown.text) state.pending.delete(d.mac);
  const pending = state.pending.get(d.mac);
  node.querySelector('.title').textContent = displayName(d);
  node.querySelector('.number').textContent = d.number != null ? `No. ${d.number}` : 'No number';
  const badge = node.querySelector('.badge');
  badge.textContent = d.online ? 'online' : 'offline';
  badge.className = `badge ${d.online ? 'online' : 'offline'}`;
  node.querySelector('.address').textContent = d.hostname_id ? d.address : '';
  node.querySelector('.source').textContent = shown.text;
  node.classList.toggle('offline', !d.online);
  node.classList.toggle('conflict', !!shown.conflict);
  node.classList.toggle('switching', pending?.kind === 'switching');
  node.classList.toggle('failed', pending?.kind === 'failed');
  node.setAttribute('aria-busy', pending?.kind === 'switching' ? 'true' : 'false');
  node.querySelector('.select-label').textContent = `Source for ${displayName(d)}`;

  const select = node.querySelector('select');
  const want = pending?.kind === 'switching' ? pending.tx : shown.tx;
  const options = [['', 'Nothing'], ...transmitters().map((t) => [t.mac, sourceName(t)])];
  // Rebuilt only when the list changed, so an open list is not disturbed.
  const signature = JSON.stringify(options);
  if (select.dataset.options !== signature) {
    select.replaceChildren(...options.map(([value, text]) => el('option', { value, text })));
    select.dataset.options = signature;
  }
  if (document.activeElement !== select || pending) select.value = want;

  const status = node.querySelector('.status');
  status.textContent = pending ? pending.text : '';
  status.className = `status ${pending ? pending.kind : ''}`;
  return node;
}

let routeSeq = 0;

async function route(rxMac, txMac) {
  const rx = byMac(rxMac);
  const target = txMac ? nameOfMac(txMac) : 'nothing';
  // The list stays usable while it switches (a disabled control drops the
  // keyboard focus); the latest choice is the one the card reports.
  const seq = ++routeSeq;
  state.pending.set(rxMac, { kind: 'switching', tx: txMac, seq, text: `Switching to ${target}…` });
  render();
  const latest = () => state.pending.get(rxMac)?.seq === seq;
  try {
    const r = await call('PUT', `/routes/${path(rxMac)}`, { tx: txMac || null });
    const i = state.routes.findIndex((x) => x.rx === rxMac);
    if (i >= 0) state.routes[i] = r; else state.routes.push(r);
    if (rx) rx.channel = r.channel;
    if (latest()) state.pending.delete(rxMac);
  } catch (err) {
    if (err instanceof Unauthorized) { state.pending.delete(rxMac); askForToken(); return; }
    const step = err.body && err.body.step ? ` at step “${err.body.step}”` : '';
    if (latest()) {
      state.pending.set(rxMac, { kind: 'failed', seq, shown: rx ? showing(rx).text : '',
        text: `Switching to ${target} failed${step}: ${err.message}` });
    }
  }
  render();
}

function renderConflicts() {
  const list = $('conflict-list');
  list.replaceChildren(...state.conflicts.map((c) => el('li', {
    text: `Channel ${c.channel} is used by ${c.transmitters.length} transmitters: ${c.transmitters.map(nameOfMac).join(', ')}. A display on it may show either.`,
  })));
  $('conflicts').hidden = state.conflicts.length === 0;
}

// Keeps the nodes (and the focus in them) in place; only order and
// membership change.
function arrange(box, nodes) {
  nodes.forEach((n, i) => { if (box.children[i] !== n) box.insertBefore(n, box.children[i] || null); });
  while (box.children.length > nodes.length) box.lastChild.remove();
}

function renderCards() {
  const rxs = receivers();
  arrange($('cards'), rxs.map(card));
  $('no-displays').hidden = rxs.length > 0;
}

// ---- Scenes ------------------------------------------------------------

function setStatus(id, text, failed) {
  $(id).textContent = text;
  $(id).className = `status ${failed ? 'failed' : ''}`;
}

async function recall(name, button) {
  button.disabled = true;
  setStatus('scene-status', `Recalling ${name}…`);
  try {
    const results = await call('POST', `/scenes/${path(name)}/recall`);
    const bad = results.filter((r) => !r.ok);
    setStatus('scene-status', bad.length ? `${name}: ${bad.length} of ${results.length} displays failed` : `Recalled ${name}`, bad.length > 0);
    state.wallScene = name;
  } catch (err) {
    if (err instanceof Unauthorized) return askForToken();
    const results = err.body && err.body.results;
    setStatus('scene-status', `Recalling ${name} failed: ${err.message}${results ? ` (${results.filter((r) => !r.ok).length} of ${results.length} displays)` : ''}`, true);
  }
  button.disabled = false;
  scheduleReload();
}

async function removeScene(name) {
  if (!window.confirm(`Delete the scene “${name}”? This cannot be undone.`)) return;
  try {
    await call('DELETE', `/scenes/${path(name)}`);
    setStatus('scene-status', `Deleted ${name}`);
  } catch (err) {
    if (err instanceof Unauthorized) return askForToken();
    setStatus('scene-status', `Deleting ${name} failed: ${err.message}`, true);
  }
  scheduleReload();
}

$('capture-form').addEventListener('submit', async (e) => {
  e.preventDefault();
  const name = $('scene-name').value.trim();
  if (!name) return;
  try {
    await call('POST', `/scenes/${path(name)}/capture`);
    setStatus('scene-status', `Saved the current routing as ${name}`);
    $('scene-name').value = '';
  } catch (err) {
    if (err instanceof Unauthorized) return askForToken();
    setStatus('scene-status', `Saving ${name} failed: ${err.message}`, true);
  }
  scheduleReload();
});

function renderScenes() {
  const signature = JSON.stringify(state.scenes.map((s) => [s.name, s.routes.length, !!s.wall]));
  if ($('scenes').dataset.scenes === signature) return;
  $('scenes').dataset.scenes = signature;
  $('scenes').replaceChildren(...state.scenes.map((s) => {
    const recallButton = el('button', { type: 'button', text: `Recall ${s.name}` });
    recallButton.addEventListener('click', () => recall(s.name, recallButton));
    return el('li', { 'data-scene': s.name },
      el('span', { class: 'name', text: s.name }),
      el('span', { class: 'count', text: `${s.routes.length} display${s.routes.length === 1 ? '' : 's'}${s.wall ? ', wall' : ''}` }),
      recallButton,
      el('button', { type: 'button', class: 'danger', text: `Delete ${s.name}`, onclick: () => removeScene(s.name) }));
  }));
  $('no-scenes').hidden = state.scenes.length > 0;
}

// ---- Wall --------------------------------------------------------------

const SVG = 'http://www.w3.org/2000/svg';
function svg(tag, attrs = {}, text) {
  const n = document.createElementNS(SVG, tag);
  for (const [k, v] of Object.entries(attrs)) n.setAttribute(k, v);
  if (text !== undefined) n.textContent = text;
  return n;
}

// Each monitor is ow x oh outside with its vw x vh picture centred: the
// picture is drawn in the units the bezel values are given in.
export function wallPicture(wall, nameAt) {
  const rows = wall.rows || 1, columns = wall.columns || 1;
  const b = wall.bezel || {};
  const ow = b.ow || 1, oh = b.oh || 1;
  const vw = Math.min(b.vw || ow, ow), vh = Math.min(b.vh || oh, oh);
  const width = columns * ow, height = rows * oh;
  const picture = svg('svg', { viewBox: `0 0 ${width} ${height}`, role: 'img',
    'aria-label': `Wall of ${rows} by ${columns} screens` });
  const size = Math.max(Math.min(vw, vh) / 7, 1);
  for (let r = 0; r < rows; ++r) {
    for (let c = 0; c < columns; ++c) {
      const p = (wall.placements || []).find((x) => x.row === r && x.column === c);
      const x = c * ow, y = r * oh;
      const g = svg('g', { class: 'cell', 'data-row': r, 'data-column': c });
      g.append(svg('rect', { class: 'bezel', x, y, width: ow, height: oh }));
      g.append(svg('rect', { class: `screen${p ? '' : ' empty'}`, x: x + (ow - vw) / 2, y: y + (oh - vh) / 2, width: vw, height: vh }));
      const label = p ? nameAt(p) : { name: 'empty', number: '' };
      const cx = x + ow / 2, cy = y + oh / 2;
      if (label.number !== '') g.append(svg('text', { x: cx, y: cy - size * 0.2, 'text-anchor': 'middle', 'font-size': size * 1.6, 'font-weight': 700 }, String(label.number)));
      g.append(svg('text', { x: cx, y: cy + size * 1.4, 'text-anchor': 'middle', 'font-size': size }, label.name));
      g.append(svg('title', {}, `Row ${r + 1}, column ${c + 1}: ${label.name}`));
      picture.append(g);
    }
  }
  return picture;
}

function renderWall() {
  const select = $('wall-scene');
  const walls = state.scenes.filter((s) => s.wall);
  if (!walls.some((s) => s.name === state.wallScene)) state.wallScene = walls[0]?.name || '';
  const options = walls.map((s) => [s.name, s.name]);
  if (!options.length) options.push(['', 'No scene has a wall']);
  const signature = JSON.stringify(options);
  if (select.dataset.options !== signature) {
    select.replaceChildren(...options.map(([value, text]) => el('option', { value, text })));
    select.dataset.options = signature;
  }
  select.value = state.wallScene;
  select.disabled = walls.length === 0;
  const scene = walls.find((s) => s.name === state.wallScene);
  if (!scene) { $('wall').replaceChildren(el('p', { text: 'Save a scene with a wall layout (cortavia-cli wall) to see it here.' })); return; }
  $('wall').replaceChildren(wallPicture(scene.wall, (p) => {
    const d = state.devices.find((x) => (p.mac && x.mac === p.mac.toLowerCase()) || (p.address && x.address === p.address));
    return d ? { name: displayName(d), number: d.number ?? '' } : { name: p.mac || p.address, number: '' };
  }));
}

$('wall-scene').addEventListener('change', (e) => { state.wallScene = e.target.value; renderWall(); });

async function identify(on) {
  setStatus('identify-status', on ? 'Showing numbers…' : 'Hiding numbers…');
  try {
    const results = await call('POST', '/identify', { on });
    const bad = results.filter((r) => !r.ok);
    setStatus('identify-status', bad.length ? `${bad.length} of ${results.length} displays did not answer` : on ? 'Numbers shown on every screen' : 'Numbers hidden', bad.length > 0);
  } catch (err) {
    if (err instanceof Unauthorized) return askForToken();
    setStatus('identify-status', `Identify failed: ${err.message}`, true);
  }
}
$('identify-on').addEventListener('click', () => identify(true));
$('identify-off').addEventListener('click', () => identify(false));

// ---- Sources -----------------------------------------------------------

async function saveLabel(mac, input, status) {
  const label = input.value.trim();
  try {
    if (label) await call('PUT', `/labels/${path(mac)}`, { label });
    else if (state.labels[mac]) await call('DELETE', `/labels/${path(mac)}`);
    status.textContent = label ? 'Saved' : 'Label removed';
    status.className = 'status';
  } catch (err) {
    if (err instanceof Unauthorized) return askForToken();
    status.textContent = err.message;
    status.className = 'status failed';
  }
  await load().catch(failedToLoad);
}

function renderSources() {
  const list = $('sources');
  const txs = transmitters();
  const rows = txs.map((t) => {
    let row = list.querySelector(`li[data-mac="${t.mac}"]`);
    if (!row) {
      const id = `label-${t.mac.replaceAll(':', '')}`;
      const input = el('input', { id, maxlength: 40, autocomplete: 'off', placeholder: t.address });
      const status = el('span', { class: 'status', role: 'status', 'aria-live': 'polite' });
      row = el('li', { 'data-mac': t.mac },
        el('span', { class: 'name' }), el('span', { class: 'address' }),
        el('label', { for: id, class: 'label-for' }), input,
        el('button', { type: 'button', class: 'secondary', onclick: () => saveLabel(t.mac, input, status) }, 'Save label'),
        status);
      input.addEventListener('keydown', (e) => { if (e.key === 'Enter') saveLabel(t.mac, input, status); });
    }
    row.querySelector('.name').textContent = sourceName(t);
    row.querySelector('.address').textContent = `${t.address}, channel ${t.channel}${t.online ? '' : ', offline'}`;
    row.querySelector('.label-for').textContent = `Label for ${t.address}`;
    const input = row.querySelector('input');
    if (document.activeElement !== input) input.value = state.labels[t.mac] || '';
    return row;
  });
  arrange(list, rows);
}

function render() {
  renderConflicts();
  renderCards();
  renderScenes();
  renderWall();
  renderSources();
}

start();
