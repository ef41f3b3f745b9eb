// The control page: every receiver, its source, the scenes and the wall,
// kept live from the event stream. Everything goes through the public API.
import {
  call, openEvents, path, tryToken, keepToken, forgetToken, currentToken, savedToken, Unauthorized, ApiError,
} from './api.js';

const $ = (id) => document.getElementById(id);

const state = {
  devices: [], routes: [], conflicts: [], labels: {}, rooms: {}, scenes: [],
  pending: new Map(),   // rx mac -> {kind: 'switching'|'failed'|'draft', text}
  wallScene: '',
  stale: false,         // the connection was lost: the page shows the last known state
  loaded: false,
  filter: '',
  view: (() => { try { return localStorage.getItem('cortavia-view') === 'matrix' ? 'matrix' : 'cards'; } catch { return 'cards'; } })(),
};
let stream = null;
let lastEventId = '';
let retryTimer = 0;
let fetchTimer = 0;
let tokenOnTrial = '';  // 'typed' or 'link' while a new token is being tried
const dirty = new Set();

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
const hidden = (text) => el('span', { class: 'vh', text });
function setText(node, text) { if (node.textContent !== text) node.textContent = text; }

// ---- Derived views, rebuilt once per change ---------------------------

let index = { byMac: new Map(), routeByRx: new Map(), txs: [], rxs: [], options: [], optionsKey: '' };
const collator = new Intl.Collator(undefined, { numeric: true });

function reindex() {
  const byMac = new Map(state.devices.map((d) => [d.mac, d]));
  const routeByRx = new Map(state.routes.map((r) => [r.rx, r]));
  const txs = state.devices.filter((d) => d.kind === 'tx').sort((a, b) => collator.compare(sourceName(a), sourceName(b)));
  const rxs = state.devices.filter((d) => d.kind === 'rx')
    .sort((a, b) => (a.number ?? 1e9) - (b.number ?? 1e9) || collator.compare(displayName(a), displayName(b)));
  const options = [['', 'Nothing'], ...txs.map((t) => [t.mac, sourceName(t)])];
  index = { byMac, routeByRx, txs, rxs, options, optionsKey: JSON.stringify(options) };
}

// Sources are named by label, else hostname ID, else address.
export function sourceName(tx) { return state.labels[tx.mac] || tx.hostname_id || tx.address; }
function displayName(rx) { return state.labels[rx.mac] || rx.hostname_id || rx.address; }
function nameOfMac(mac, fallback) {
  const d = index.byMac.get(mac);
  return d ? (d.kind === 'tx' ? sourceName(d) : displayName(d)) : (fallback || mac);
}
function conflictOn(channel) { return state.conflicts.find((c) => c.channel === channel); }

// What a receiver shows, in words.
function showing(rx) {
  const route = index.routeByRx.get(rx.mac);
  const channel = route ? route.channel : rx.channel;
  if (route && route.tx) return { tx: route.tx, text: nameOfMac(route.tx, route.tx_hostname_id) };
  const clash = conflictOn(channel);
  if (clash) return { tx: '', text: `conflict on channel ${channel}: ${clash.transmitters.map((m) => nameOfMac(m)).join(' or ')}`, conflict: true };
  return { tx: '', text: `nothing (channel ${channel})` };
}

// ---- Connection --------------------------------------------------------

function setConnection(text, lost) {
  const c = $('connection');
  setText(c, text);
  c.classList.toggle('lost', !!lost);
}

function showNotice(text) {
  $('notice').textContent = text;
  $('notice').hidden = !text;
}

// Lost: every card says its state is the last one known, until the
// stream is back.
function setStale(stale) {
  setConnection(stale ? 'Connection to the service lost: what you see may be out of date. Reconnecting…' : 'Live', stale);
  if (state.stale === stale) return;
  state.stale = stale;
  document.body.classList.toggle('stale', stale);
  if (state.loaded) render();
}

// ---- Access ------------------------------------------------------------

const ACCESS_MESSAGE = $('access-message').innerHTML;
function askForToken(message) {
  closeStream();
  $('content').hidden = true;
  $('access').hidden = false;
  if (message) $('access-message').textContent = message;
  else $('access-message').innerHTML = ACCESS_MESSAGE;
  setConnection('Not connected: access token needed', true);
  $('token-input').focus();
}

$('token-form').addEventListener('submit', (e) => {
  e.preventDefault();
  const t = $('token-input').value.trim();
  if (!t) return;
  tryToken(t);
  tokenOnTrial = 'typed';
  $('token-input').value = '';
  start();
});

$('forget-token').addEventListener('click', () => {
  forgetToken();
  $('forget-token').hidden = true;
  closeStream();
  state.loaded = false;
  start();
});

// A pairing link (…/#token=…) signs in; the token leaves the address bar at once.
function tokenFromLink() {
  const m = location.hash.match(/[#&]token=([^&]+)/);
  if (!m) return false;
  history.replaceState(null, '', location.pathname + location.search);
  tryToken(decodeURIComponent(m[1]));
  tokenOnTrial = 'link';
  return true;
}
window.addEventListener('hashchange', () => { if (tokenFromLink()) { closeStream(); start(); } });

// ---- Loading -----------------------------------------------------------

const RESOURCES = {
  devices: '/devices', routes: '/routes', conflicts: '/conflicts', labels: '/labels', rooms: '/rooms', scenes: '/scenes',
};

async function load(which = Object.keys(RESOURCES)) {
  const values = await Promise.all(which.map((k) => call('GET', RESOURCES[k])));
  which.forEach((k, i) => { state[k] = values[i] || (k === 'labels' || k === 'rooms' ? {} : []); });
  render();
}

function failedToLoad(err) {
  if (err instanceof Unauthorized) {
    const trial = tokenOnTrial;
    tokenOnTrial = '';
    let message = null;
    if (trial) {
      // A refused token is dropped, never kept.
      tryToken(savedToken());
      message = trial === 'typed'
        ? 'The service did not accept the token you typed. Check it, or ask for a new one (cortaviad token add NAME --role operator).'
        : 'The service did not accept the token in the pairing link. Enter a current one, or open a new pairing link (cortaviad token add NAME --role operator).';
    } else if (savedToken()) {
      forgetToken();
      message = 'The service did not accept this browser\'s saved token, so it was forgotten. Enter a current one, or open a new pairing link (cortaviad token add NAME --role operator).';
    }
    $('forget-token').hidden = !savedToken();
    askForToken(message);
    return;
  }
  if (err instanceof ApiError && err.status === 503) {
    showNotice('The service is still scanning the network for the first time…');
  } else {
    showNotice(`Cannot reach the service: ${err.message}. Trying again…`);
    setStale(true);
  }
  clearTimeout(retryTimer);
  retryTimer = setTimeout(start, 2000);
}

function refetch(...which) {
  for (const w of which) dirty.add(w);
  clearTimeout(fetchTimer);
  fetchTimer = setTimeout(() => {
    const list = [...dirty];
    dirty.clear();
    load(list).catch(failedToLoad);
  }, 30);
}

function closeStream() {
  if (stream) { stream.close(); stream = null; }
}

// A failure stays on a card until the next state of that receiver arrives.
function settled(mac) {
  const p = state.pending.get(mac);
  if (p && p.kind === 'failed') state.pending.delete(mac);
}
function clearFailures() {
  for (const [mac, p] of state.pending) if (p.kind === 'failed') state.pending.delete(mac);
}

function onEvent(type, e) {
  if (e.lastEventId) lastEventId = e.lastEventId;
  let data = {};
  try { data = JSON.parse(e.data); } catch { data = {}; }
  switch (type) {
    case 'snapshot':
      // A service still on its first scan knows less than this page does.
      if (data.ready === false) {
        setStale(true);
        closeStream();
        lastEventId = '';
        clearTimeout(retryTimer);
        retryTimer = setTimeout(start, 1000);
        return;
      }
      for (const k of ['devices', 'routes', 'conflicts', 'scenes', 'labels', 'rooms']) if (data[k]) state[k] = data[k];
      clearFailures();
      render();
      return;
    case 'route': {
      const i = state.routes.findIndex((r) => r.rx === data.rx);
      if (i >= 0) state.routes[i] = data; else state.routes.push(data);
      const rx = index.byMac.get(data.rx);
      if (rx && data.channel) rx.channel = data.channel;
      settled(data.rx);
      render();
      return;
    }
    case 'label':
      if (data.label) state.labels[data.mac] = data.label; else delete state.labels[data.mac];
      if (data.room) state.rooms[data.mac] = data.room; else delete state.rooms[data.mac];
      render();
      return;
    case 'online': case 'offline': case 'changed': case 'forgotten':
      settled(data.mac);
      return refetch('devices', 'routes', 'conflicts');
    case 'conflict': case 'conflict-cleared':
      return refetch('conflicts', 'routes');
    case 'scene-saved': case 'scene-deleted': case 'scene-recalled':
      return refetch('scenes');
    default:
      return refetch('routes', 'devices');
  }
}

const EVENTS = ['snapshot', 'route', 'label', 'online', 'offline', 'changed', 'forgotten', 'conflict',
  'conflict-cleared', 'scene-saved', 'scene-deleted', 'scene-recalled', 'failed'];

function listen() {
  closeStream();
  // A new stream takes up from the last event seen; the first one starts
  // from what was just loaded.
  const resume = lastEventId;
  let first = !resume;
  stream = openEvents(resume);
  stream.addEventListener('open', () => {
    // Back after a loss: the whole picture again, whatever the stream
    // replays (a restarted service numbers its events afresh).
    const back = state.stale;
    setStale(false);
    showNotice('');
    if (back) clearFailures();
    if (first || back) { first = false; refetch(...Object.keys(RESOURCES)); }
  });
  stream.addEventListener('error', () => {
    setStale(true);
    if (stream && stream.readyState === EventSource.CLOSED) {
      // Refused outright (a token, a restart): find out why, then start over.
      closeStream();
      clearTimeout(retryTimer);
      retryTimer = setTimeout(start, 2000);
    }
  });
  for (const type of EVENTS) stream.addEventListener(type, (e) => onEvent(type, e));
}

async function start() {
  clearTimeout(retryTimer);
  try {
    await load();
    if (tokenOnTrial) { keepToken(); tokenOnTrial = ''; }
    state.loaded = true;
    $('forget-token').hidden = !savedToken();
    $('access').hidden = true;
    $('content').hidden = false;
    showNotice('');
    listen();
    if (!window.cvFirstRender) window.cvFirstRender = performance.now();
  } catch (err) {
    failedToLoad(err);
  }
}

// ---- Displays ----------------------------------------------------------

const cards = new Map();  // mac -> card node

function makeCard(mac) {
  const id = `source-${mac.replaceAll(':', '')}`;
  const select = el('select', { id });
  const node = el('article', { class: 'card', 'data-mac': mac, 'aria-labelledby': `${id}-title` },
    el('h3', { id: `${id}-title`, class: 'title' }),
    el('p', { class: 'meta' }, el('span', { class: 'number' }), el('span', { class: 'badge' }),
      el('span', { class: 'address' }), el('span', { class: 'room' })),
    el('p', { class: 'shows' }, 'Shows: ', el('strong', { class: 'source' })),
    el('div', { class: 'pick' }, el('label', { for: id, class: 'select-label' }),
      el('button', { type: 'button', class: 'secondary rename', onclick: () => openRename(mac) }, 'Rename', hidden(''))),
    select,
    el('p', { class: 'status', role: 'status', 'aria-live': 'polite' }));
  wireSourceControl(select, mac);
  return node;
}

// The Source list routes on commit only: a click in the open list, Enter,
// or the list closing on a choice. Arrow keys on the closed list only
// pick; the card says how to switch, and leaving the list drops the pick.
const STEP_KEYS = new Set(['ArrowUp', 'ArrowDown', 'ArrowLeft', 'ArrowRight', 'Home', 'End', 'PageUp', 'PageDown']);
function wireSourceControl(select, mac) {
  let stepped = false;
  select.addEventListener('keydown', (e) => {
    if (e.key === 'Enter') {
      const p = state.pending.get(mac);
      if (p && p.kind === 'draft') { e.preventDefault(); route(mac, select.value); }
      return;
    }
    if (e.key === 'Escape') { dropDraft(mac); return; }
    if (!e.altKey && (STEP_KEYS.has(e.key) || e.key.length === 1)) stepped = true;
  });
  select.addEventListener('change', () => {
    if (stepped) {
      stepped = false;
      const rx = index.byMac.get(mac);
      if (rx && select.value === showing(rx).tx) { dropDraft(mac); return; }
      state.pending.set(mac, { kind: 'draft', tx: select.value,
        text: `Press Enter to switch to ${select.value ? nameOfMac(select.value) : 'nothing'}` });
      renderCard(mac);
      return;
    }
    route(mac, select.value);
  });
  select.addEventListener('blur', () => dropDraft(mac));
}
function dropDraft(mac) {
  if (state.pending.get(mac)?.kind !== 'draft') return;
  state.pending.delete(mac);
  renderCard(mac);
}

function searchText(d) {
  return [displayName(d), d.hostname_id, d.address, d.number != null ? `no. ${d.number} #${d.number} ${d.number}` : '',
    state.rooms[d.mac], state.labels[d.mac]].filter(Boolean).join(' ').toLowerCase();
}

function renderCard(mac) {
  const d = index.byMac.get(mac);
  if (!d) return null;
  let node = cards.get(mac);
  if (!node) { node = makeCard(mac); cards.set(mac, node); }
  const shown = showing(d);
  const pending = state.pending.get(mac);
  const name = displayName(d);
  setText(node.querySelector('.title'), name);
  setText(node.querySelector('.number'), d.number != null ? `No. ${d.number}` : 'No number');
  const badge = node.querySelector('.badge');
  const stale = state.stale;
  setText(badge, stale ? `last known: ${d.online ? 'online' : 'offline'}` : d.online ? 'online' : 'offline');
  badge.className = `badge ${stale ? 'stale' : d.online ? 'online' : 'offline'}`;
  const second = [d.hostname_id !== name ? d.hostname_id : '', d.address !== name ? d.address : ''].filter(Boolean).join(', ');
  setText(node.querySelector('.address'), second);
  setText(node.querySelector('.room'), state.rooms[mac] ? `Room: ${state.rooms[mac]}` : '');
  setText(node.querySelector('.source'), shown.text);
  node.classList.toggle('offline', !d.online);
  node.classList.toggle('stale', stale);
  node.classList.toggle('conflict', !!shown.conflict);
  node.classList.toggle('switching', pending?.kind === 'switching');
  node.classList.toggle('failed', pending?.kind === 'failed');
  node.setAttribute('aria-busy', pending?.kind === 'switching' ? 'true' : 'false');
  setText(node.querySelector('.select-label'), `Source for ${name}`);
  setText(node.querySelector('.rename .vh'), ` ${name}`);
  node.dataset.search = searchText(d);

  const select = node.querySelector('select');
  // Rebuilt only when the list changed, so an open list is not disturbed.
  if (select.dataset.options !== index.optionsKey) {
    select.replaceChildren(...index.options.map(([value, text]) => el('option', { value, text })));
    select.dataset.options = index.optionsKey;
  }
  // Focused or not, the list shows the truth (or the choice being made).
  const want = pending && pending.kind !== 'failed' ? pending.tx : shown.tx;
  if (select.value !== want) select.value = want;

  const status = node.querySelector('.status');
  const statusText = pending ? pending.text : stale ? 'Not live: shown as last known' : '';
  setText(status, statusText);
  status.className = `status ${pending ? pending.kind : stale ? 'stale' : ''}`;
  return node;
}

let routeSeq = 0;

async function route(rxMac, txMac) {
  const target = txMac ? nameOfMac(txMac) : 'nothing';
  // The list stays usable while it switches (a disabled control drops the
  // keyboard focus); the latest choice is the one the card reports.
  const seq = ++routeSeq;
  state.pending.set(rxMac, { kind: 'switching', tx: txMac, seq, text: `Switching to ${target}…` });
  renderCard(rxMac);
  renderMatrixRow(rxMac);
  const latest = () => state.pending.get(rxMac)?.seq === seq;
  try {
    const r = await call('PUT', `/routes/${path(rxMac)}`, { tx: txMac || null });
    const i = state.routes.findIndex((x) => x.rx === rxMac);
    if (i >= 0) state.routes[i] = r; else state.routes.push(r);
    const rx = index.byMac.get(rxMac);
    if (rx) rx.channel = r.channel;
    if (latest()) state.pending.delete(rxMac);
  } catch (err) {
    if (err instanceof Unauthorized) { state.pending.delete(rxMac); askForToken(); return; }
    const step = err.body && err.body.step ? ` at step “${err.body.step}”` : '';
    if (latest()) state.pending.set(rxMac, { kind: 'failed', seq, text: `Switching to ${target} failed${step}: ${err.message}` });
  }
  render();
}

function renderConflicts() {
  const list = $('conflict-list');
  const key = JSON.stringify(state.conflicts) + index.optionsKey;
  if (list.dataset.key === key) return;
  list.dataset.key = key;
  list.replaceChildren(...state.conflicts.map((c) => el('li', {
    text: `Channel ${c.channel} is used by ${c.transmitters.length} transmitters: ${c.transmitters.map((m) => nameOfMac(m)).join(', ')}. A display on it may show either.`,
  })));
  $('conflicts').hidden = state.conflicts.length === 0;
}

// Keeps the nodes (and the focus in them) in place; only order and
// membership change.
function arrange(box, nodes) {
  nodes.forEach((n, i) => { if (box.children[i] !== n) box.insertBefore(n, box.children[i] || null); });
  while (box.children.length > nodes.length) box.lastChild.remove();
}

const groups = new Map();  // room ('' for none) -> {node, grid, summary}
const NO_ROOM = 'No room';

function group(room, folding) {
  let g = groups.get(room);
  if (g && g.folding !== folding) { g.node.remove(); g = null; }
  if (!g) {
    const grid = el('div', { class: 'cards' });
    if (folding) {
      const summary = el('summary', {}, el('span', { class: 'room-name' }), ' ', el('span', { class: 'count' }));
      const node = el('details', { class: 'room', open: true, 'data-room': room }, summary, grid);
      g = { node, grid, summary, folding };
    } else {
      g = { node: el('div', { class: 'room', 'data-room': room }, grid), grid, folding };
    }
    groups.set(room, g);
  }
  return g;
}

function renderCards() {
  const rxs = index.rxs;
  const byRoom = new Map();
  for (const rx of rxs) {
    const room = state.rooms[rx.mac] || '';
    if (!byRoom.has(room)) byRoom.set(room, []);
    byRoom.get(room).push(renderCard(rx.mac));
  }
  for (const mac of [...cards.keys()]) if (!index.byMac.has(mac)) { cards.get(mac).remove(); cards.delete(mac); }
  // Rooms in name order, the displays without one last; no rooms, no folds.
  const rooms = [...byRoom.keys()].sort((a, b) => (a === '') - (b === '') || collator.compare(a, b));
  const folding = rooms.some((r) => r !== '');
  const nodes = rooms.map((room) => {
    const g = group(room, folding);
    arrange(g.grid, byRoom.get(room));
    if (g.summary) setText(g.summary.querySelector('.room-name'), room || NO_ROOM);
    return g.node;
  });
  for (const [room, g] of groups) if (!byRoom.has(room)) { g.node.remove(); groups.delete(room); }
  arrange($('groups'), nodes);
  $('no-displays').hidden = rxs.length > 0;
  $('rooms').replaceChildren(...rooms.filter(Boolean).map((r) => el('option', { value: r })));
  applyFilter();
}

// ---- Finding a display -------------------------------------------------

function applyFilter() {
  const words = state.filter.toLowerCase().split(/\s+/).filter(Boolean);
  let shown = 0;
  for (const node of cards.values()) {
    const match = words.every((w) => node.dataset.search.includes(w));
    if (node.hidden === match) node.hidden = !match;
    if (match) shown++;
  }
  for (const g of groups.values()) {
    const visible = [...g.grid.children].filter((c) => !c.hidden).length;
    g.node.hidden = visible === 0;
    if (g.summary) setText(g.summary.querySelector('.count'), `(${visible} display${visible === 1 ? '' : 's'})`);
    // A search opens the rooms it finds something in.
    if (g.summary && words.length && visible && !g.node.open) g.node.open = true;
  }
  if (matrixBuilt) for (const [mac, row] of matrixRows) row.hidden = cards.get(mac)?.hidden ?? false;
  setText($('filter-count'), words.length ? `${shown} of ${cards.size} displays` : '');
}

$('filter').addEventListener('input', (e) => {
  state.filter = e.target.value;
  applyFilter();
  window.cvFiltered = performance.now();
});

// ---- Matrix (desk) -----------------------------------------------------

const wide = window.matchMedia('(min-width: 1024px)');
let matrixBuilt = '';
const matrixRows = new Map();  // rx mac -> row

function setView(view) {
  state.view = view;
  try { localStorage.setItem('cortavia-view', view); } catch { /* this page only */ }
  renderView();
}
$('view-cards').addEventListener('click', () => setView('cards'));
$('view-matrix').addEventListener('click', () => setView('matrix'));
wide.addEventListener('change', () => renderView());

function renderView() {
  const matrix = wide.matches && state.view === 'matrix';
  $('view-cards').setAttribute('aria-pressed', String(!matrix));
  $('view-matrix').setAttribute('aria-pressed', String(matrix));
  $('groups').hidden = matrix;
  $('matrix').hidden = !matrix;
  if (matrix) renderMatrix();
}

function renderMatrix() {
  if ($('matrix').hidden) return;
  const key = index.optionsKey + index.rxs.map((r) => r.mac).join();
  if (matrixBuilt !== key) {
    const focusedCell = document.activeElement?.closest?.('#matrix td');
    const at = focusedCell ? [focusedCell.dataset.rx, focusedCell.dataset.tx] : null;
    matrixRows.clear();
    const head = el('tr', {}, el('th', { scope: 'col', text: 'Display' }),
      ...index.options.map(([, text]) => el('th', { scope: 'col', text })));
    const rows = index.rxs.map((rx) => {
      const row = el('tr', { 'data-rx': rx.mac }, el('th', { scope: 'row', class: 'rx-name' }),
        ...index.options.map(([tx]) => el('td', { role: 'gridcell', tabindex: '-1', 'data-rx': rx.mac, 'data-tx': tx })));
      matrixRows.set(rx.mac, row);
      return row;
    });
    const table = el('table', { role: 'grid', 'aria-label': 'Sources by display: choose a cell to switch', 'aria-readonly': 'true' },
      el('thead', {}, head), el('tbody', {}, ...rows));
    table.addEventListener('click', (e) => { const c = e.target.closest('td'); if (c) commitCell(c); });
    table.addEventListener('keydown', matrixKey);
    $('matrix').replaceChildren(table);
    matrixBuilt = key;
    const cell = at && $('matrix').querySelector(`td[data-rx="${at[0]}"][data-tx="${at[1]}"]`);
    rovingTo(cell || $('matrix').querySelector('td'), !!cell);
  }
  for (const rx of index.rxs) renderMatrixRow(rx.mac);
  applyFilter();
}

function renderMatrixRow(mac) {
  const row = matrixRows.get(mac);
  const rx = index.byMac.get(mac);
  if (!row || !rx) return;
  setText(row.querySelector('.rx-name'), displayName(rx));
  const p = state.pending.get(mac);
  const now = showing(rx).tx;
  for (const cell of row.querySelectorAll('td')) {
    const current = cell.dataset.tx === now;
    const switching = p?.kind === 'switching' && p.tx === cell.dataset.tx;
    cell.setAttribute('aria-selected', String(current));
    cell.classList.toggle('current', current);
    cell.classList.toggle('switching', switching);
    cell.classList.toggle('failed', p?.kind === 'failed' && current);
    setText(cell, switching ? '…' : current ? '●' : '');
  }
  row.classList.toggle('offline', !rx.online);
}

function rovingTo(cell, focus) {
  if (!cell) return;
  for (const c of $('matrix').querySelectorAll('td[tabindex="0"]')) c.tabIndex = -1;
  cell.tabIndex = 0;
  if (focus) cell.focus();
}

function commitCell(cell) {
  rovingTo(cell, true);
  const rx = index.byMac.get(cell.dataset.rx);
  if (rx && showing(rx).tx !== cell.dataset.tx) route(cell.dataset.rx, cell.dataset.tx);
}

function matrixKey(e) {
  const cell = e.target.closest('td');
  if (!cell) return;
  const row = cell.parentElement;
  const visibleRows = [...row.parentElement.children].filter((r) => !r.hidden);
  const r = visibleRows.indexOf(row), c = [...row.children].indexOf(cell);
  let next = null;
  if (e.key === 'ArrowRight') next = row.children[Math.min(c + 1, row.children.length - 1)];
  else if (e.key === 'ArrowLeft') next = row.children[Math.max(c - 1, 1)];
  else if (e.key === 'ArrowDown') next = visibleRows[Math.min(r + 1, visibleRows.length - 1)]?.children[c];
  else if (e.key === 'ArrowUp') next = visibleRows[Math.max(r - 1, 0)]?.children[c];
  else if (e.key === 'Home') next = row.children[1];
  else if (e.key === 'End') next = row.lastElementChild;
  else if (e.key === 'Enter' || e.key === ' ') { e.preventDefault(); commitCell(cell); return; }
  else return;
  e.preventDefault();
  rovingTo(next, true);
}

// ---- Naming a display --------------------------------------------------

let renaming = '';
function openRename(mac) {
  const d = index.byMac.get(mac);
  if (!d) return;
  renaming = mac;
  setText($('rename-title'), `Name and room for ${displayName(d)}`);
  $('rename-label').value = state.labels[mac] || d.hostname_id || '';
  $('rename-room').value = state.rooms[mac] || '';
  setStatus('rename-status', '');
  $('rename').showModal();
}
async function saveRename(remove) {
  const mac = renaming;
  const label = $('rename-label').value.trim(), room = $('rename-room').value.trim();
  try {
    if (remove) { if (state.labels[mac]) await call('DELETE', `/labels/${path(mac)}`); }
    else await call('PUT', `/labels/${path(mac)}`, { label, room: room || null });
    $('rename').close();
    cards.get(mac)?.querySelector('.rename')?.focus();
  } catch (err) {
    if (err instanceof Unauthorized) { $('rename').close(); return askForToken(); }
    setStatus('rename-status', err.message, true);
  }
}
$('rename-form').addEventListener('submit', (e) => { e.preventDefault(); saveRename(false); });
$('rename-clear').addEventListener('click', () => saveRename(true));
$('rename-cancel').addEventListener('click', () => $('rename').close());

// ---- Scenes ------------------------------------------------------------

function setStatus(id, text, failed) {
  $(id).textContent = text;
  $(id).className = `status ${failed ? 'failed' : ''}`;
}

// Each display's result, in words, and its card marked when it failed.
function perDisplay(results, doing) {
  const bad = results.filter((r) => !r.ok);
  const offline = (r) => r.step === 'offline';
  for (const r of bad) {
    state.pending.set(r.rx, { kind: 'failed',
      text: offline(r) ? `${doing} failed: the display is offline` : `${doing} failed${r.step ? ` at ${r.step}` : ''}: ${r.error || 'no answer'}` });
  }
  const names = bad.slice(0, 3).map((r) => `${nameOfMac(r.rx)} ${offline(r) ? 'is offline' : `failed${r.step ? ` at ${r.step}` : ''}`}`);
  if (bad.length > 3) names.push(`${bad.length - 3} more failed`);
  return { bad, text: names.join(', ') };
}
const resultsOf = (err) => (Array.isArray(err.body) ? err.body : Array.isArray(err.body?.results) ? err.body.results : null);

async function recall(name, button) {
  // Busy without disabling: a disabled button would drop the keyboard focus.
  if (button.getAttribute('aria-disabled') === 'true') return;
  button.setAttribute('aria-disabled', 'true');
  setStatus('scene-status', `Recalling ${name}…`);
  try {
    const results = await call('POST', `/scenes/${path(name)}/recall`);
    setStatus('scene-status', `Recalled ${name}: ${results.length} of ${results.length} switched`);
    state.wallScene = name;
  } catch (err) {
    if (err instanceof Unauthorized) { button.removeAttribute('aria-disabled'); return askForToken(); }
    const results = resultsOf(err);
    if (results) {
      const { bad, text } = perDisplay(results, `Recalling ${name}`);
      setStatus('scene-status', `${name}: ${results.length - bad.length} of ${results.length} switched; ${text}`, true);
      state.wallScene = name;
      render();
    } else {
      setStatus('scene-status', `Recalling ${name} failed: ${err.message}`, true);
    }
  }
  button.removeAttribute('aria-disabled');
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
  refetch('scenes');
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
  refetch('scenes');
});

const sceneRows = new Map();
function renderScenes() {
  const rows = state.scenes.map((s) => {
    let row = sceneRows.get(s.name);
    if (!row) {
      const recallButton = el('button', { type: 'button', class: 'recall', text: `Recall ${s.name}` });
      recallButton.addEventListener('click', () => recall(s.name, recallButton));
      row = el('li', { 'data-scene': s.name },
        el('span', { class: 'name', text: s.name }), el('span', { class: 'count' }),
        recallButton,
        el('button', { type: 'button', class: 'danger', text: `Delete ${s.name}`, onclick: () => removeScene(s.name) }));
      sceneRows.set(s.name, row);
    }
    setText(row.querySelector('.count'), `${s.routes.length} display${s.routes.length === 1 ? '' : 's'}${s.wall ? ', wall' : ''}`);
    return row;
  });
  const names = new Set(state.scenes.map((s) => s.name));
  for (const n of [...sceneRows.keys()]) if (!names.has(n)) sceneRows.delete(n);
  arrange($('scenes'), rows);
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
  const names = scene ? JSON.stringify([scene, index.rxs.map((d) => [d.mac, d.address, displayName(d), d.number])]) : '';
  if ($('wall').dataset.key === names && names) return;
  $('wall').dataset.key = names;
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
    setStatus('identify-status', on ? `Numbers shown on ${results.length} of ${results.length} screens` : `Numbers hidden on ${results.length} of ${results.length} screens`);
  } catch (err) {
    if (err instanceof Unauthorized) return askForToken();
    const results = resultsOf(err);
    if (results) {
      const { bad, text } = perDisplay(results, on ? 'Showing its number' : 'Hiding its number');
      setStatus('identify-status', `Numbers ${on ? 'shown' : 'hidden'} on ${results.length - bad.length} of ${results.length} screens; ${text}`, true);
      render();
    } else {
      setStatus('identify-status', `Identify failed: ${err.message}`, true);
    }
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
    // The event stream brings it to this page as to every other.
    if (label) state.labels[mac] = label; else delete state.labels[mac];
    render();
  } catch (err) {
    if (err instanceof Unauthorized) return askForToken();
    status.textContent = err.message;
    status.className = 'status failed';
  }
}

const sourceRows = new Map();
function renderSources() {
  const rows = index.txs.map((t) => {
    let row = sourceRows.get(t.mac);
    if (!row) {
      const id = `label-${t.mac.replaceAll(':', '')}`;
      const input = el('input', { id, maxlength: 40, autocomplete: 'off', placeholder: t.hostname_id || t.address });
      const status = el('span', { class: 'status', role: 'status', 'aria-live': 'polite' });
      row = el('li', { 'data-mac': t.mac },
        el('span', { class: 'name' }), el('span', { class: 'address' }),
        el('label', { for: id, class: 'label-for' }), input,
        el('button', { type: 'button', class: 'secondary save-label', onclick: () => saveLabel(t.mac, input, status) },
          'Save label', hidden('')),
        status);
      input.addEventListener('keydown', (e) => { if (e.key === 'Enter') saveLabel(t.mac, input, status); });
      sourceRows.set(t.mac, row);
    }
    const name = sourceName(t);
    setText(row.querySelector('.name'), name);
    setText(row.querySelector('.address'), `${[t.hostname_id, t.address].filter((x) => x && x !== name).join(', ')}${t.hostname_id === name || t.address === name ? '' : ','} channel ${t.channel}${t.online ? '' : ', offline'}`.replace(/^,\s*/, ''));
    setText(row.querySelector('.label-for'), `Label for ${t.hostname_id || t.address}`);
    setText(row.querySelector('.save-label .vh'), ` for ${t.hostname_id || t.address}`);
    const input = row.querySelector('input');
    if (document.activeElement !== input) input.value = state.labels[t.mac] || '';
    return row;
  });
  for (const mac of [...sourceRows.keys()]) if (!index.byMac.has(mac)) sourceRows.delete(mac);
  arrange($('sources'), rows);
}

function render() {
  reindex();
  renderConflicts();
  renderScenes();
  renderCards();
  renderView();
  renderWall();
  renderSources();
}

document.title = `Cortavia at ${location.hostname}`;
setText($('venue'), `Cortavia at ${location.hostname}`);
tokenFromLink();
start();
