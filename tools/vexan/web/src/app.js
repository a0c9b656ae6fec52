// The dashboard page of `vexan serve --http`: bus view, event log, node view
// and PDO plot over the server's JSON API and its event stream.
'use strict';

const $ = (id) => document.getElementById(id);
const state = {
  boards: [],
  nodes: new Map(),          // net -> [node summary]
  events: [],                // newest last, as received
  held: [],                  // events that came while the log was paused
  paused: false,
  unseen: 0,
  readOnly: false,
  lastEventId: 0,
  od: { key: '', entries: [], values: new Map() },
  pdo: { source: null, mapping: [], series: [], times: [], paused: false, plot: null, points: 0 },
};

// ---- small helpers

function el(tag, attrs = {}, ...children) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs)) {
    if (v === undefined || v === null || v === false) continue;
    if (k === 'class') e.className = v;
    else if (k === 'text') e.textContent = v;
    else if (k.startsWith('on')) e.addEventListener(k.slice(2), v);
    else e.setAttribute(k, v === true ? '' : v);
  }
  for (const c of children) if (c !== null && c !== undefined) e.append(c);
  return e;
}

const hex = (n, digits) => '0x' + Number(n).toString(16).toUpperCase().padStart(digits, '0');
const hexPlain = (n, digits) => Number(n).toString(16).toUpperCase().padStart(digits, '0');
const timeOf = (iso) => (iso ? new Date(iso).toLocaleTimeString([], { hour12: false }) + '.' + iso.slice(20, 23) : '');

async function api(path, body) {
  const options = body === undefined ? {} : {
    method: 'POST', headers: { 'Content-Type': 'application/json' }, body: JSON.stringify(body),
  };
  const res = await fetch(path, options);
  let data = null;
  try { data = await res.json(); } catch (e) { data = { error: res.statusText }; }
  if (!res.ok) {
    const err = new Error(data && data.error ? data.error : res.statusText);
    err.body = data;
    throw err;
  }
  return data;
}

function stateBadge(node) {
  const code = node.state === null || node.state === undefined ? 'u' : node.state;
  return el('span', { class: 'state s' + code, 'data-state': code, text: node.state_name });
}

// ---- views and keyboard

const views = ['bus', 'events', 'node', 'pdo'];
function route() {
  const [view, net, node] = (location.hash.slice(1) || 'bus').split('/');
  const current = views.includes(view) ? view : 'bus';
  for (const v of views) {
    $('view-' + v).hidden = v !== current;
    $('tab-' + v).setAttribute('aria-selected', String(v === current));
    $('tab-' + v).tabIndex = v === current ? 0 : -1;
  }
  if (current === 'events') { state.unseen = 0; $('event-count').textContent = ''; }
  if (current === 'node') {
    if (net && node) $('node-select').value = net + '/' + node;
    loadObjects();
  }
  if (current === 'pdo' && net && node) $('pdo-node').value = net + '/' + node;
}
window.addEventListener('hashchange', route);
// Arrow keys move between the tabs, as in any tab list.
document.querySelector('nav').addEventListener('keydown', (e) => {
  if (e.key !== 'ArrowRight' && e.key !== 'ArrowLeft') return;
  const tabs = views.map((v) => $('tab-' + v));
  const at = tabs.indexOf(document.activeElement);
  if (at < 0) return;
  const next = tabs[(at + (e.key === 'ArrowRight' ? 1 : tabs.length - 1)) % tabs.length];
  next.focus();
  location.hash = next.getAttribute('href');
  e.preventDefault();
});
for (const form of document.querySelectorAll('form')) form.addEventListener('submit', (e) => e.preventDefault());

// ---- bus view

async function loadBoards() {
  const { boards } = await api('/api/boards');
  state.boards = boards;
  await Promise.all(boards.map((b) => loadNodes(b.net)));
}

async function loadNodes(net) {
  const { nodes } = await api(`/api/boards/${net}/nodes`);
  const before = new Map((state.nodes.get(net) || []).map((n) => [n.node, n]));
  state.nodes.set(net, nodes);
  renderBoards(before, net);
  renderNodeChoices();
}

let nodeTimers = new Map();
// Several events in a row refresh a board's nodes once.
function refreshNodesSoon(net) {
  if (nodeTimers.has(net)) return;
  nodeTimers.set(net, setTimeout(() => {
    nodeTimers.delete(net);
    loadNodes(net).catch(() => {});
  }, 50));
}

function renderBoards(before, changedNet) {
  const host = $('boards');
  $('no-boards').hidden = state.boards.length > 0;
  host.replaceChildren(...state.boards.map((b) => {
    const can = b.can ? `CAN ${b.can.state_name} (tx ${b.can.tx_errors}, rx ${b.can.rx_errors}, overruns ${b.can.overruns})` : 'CAN status unknown';
    const rows = (state.nodes.get(b.net) || []).map((n) => {
      const old = b.net === changedNet && before ? before.get(n.node) : undefined;
      const changed = old && (old.state !== n.state || (old.last_emcy || {}).time !== (n.last_emcy || {}).time);
      const emcy = n.last_emcy
        ? el('span', { class: 'emcy', title: n.last_emcy.time }, `${n.last_emcy.code_hex} ${n.last_emcy.meaning}` +
            (n.last_emcy.error_register_bits.length ? ` [${n.last_emcy.error_register_bits.join(', ')}]` : ''))
        : el('span', { class: 'muted', text: '–' });
      const nmt = el('span', { class: 'nmt' },
        ...[['start', 'Start'], ['preop', 'Pre-op'], ['stop', 'Stop'], ['reset', 'Reset']].map(([cmd, label]) =>
          el('button', { type: 'button', class: 'write', 'data-cmd': cmd, 'aria-label': `${label} node ${n.node}`,
            onclick: () => nmtCommand(b.net, n.node, cmd) }, label)));
      return el('tr', { class: changed ? 'flash' : null, 'data-node': n.node, 'data-net': b.net },
        el('td', {}, el('a', { href: `#node/${b.net}/${n.node}`, text: String(n.node) })),
        el('td', {}, stateBadge(n)),
        el('td', { text: n.device_name || '' }),
        el('td', { class: 'hide-narrow when', text: n.last_bootup ? timeOf(n.last_bootup) : '–' }),
        el('td', {}, emcy),
        el('td', {}, nmt));
    });
    return el('article', { class: 'board', 'data-net': b.net },
      el('h3', {}, `Net ${b.net}`, el('span', { class: 'muted', text: `slot ${b.slot} · master ${b.master_id} · ${b.source}` })),
      el('div', { class: 'meta', text: `firmware ${b.firmware || '?'} · ${can}` }),
      el('table', {},
        el('thead', {}, el('tr', {}, ...['node', 'state', 'device', 'boot-up', 'last EMCY', ''].map((h, i) =>
          el('th', { class: i === 3 ? 'hide-narrow' : null, text: h })))),
        el('tbody', {}, ...rows)),
      el('div', { class: 'toolbar' },
        el('button', { type: 'button', class: 'write', onclick: () => syncNow(b.net) }, 'SYNC'),
        el('span', { class: 'nmt' }, el('button', { type: 'button', class: 'write', onclick: () => nmtCommand(b.net, 0, 'start') }, 'Start all')),
        el('output', { id: `board-out-${b.net}`, 'aria-live': 'polite' })));
  }));
}

async function nmtCommand(net, node, command) {
  const out = $(`board-out-${net}`);
  try {
    await api(`/api/boards/${net}/nodes/${node}/nmt`, { command });
    if (out) { out.className = 'ok'; out.textContent = `${command} ${node === 0 ? 'all' : 'node ' + node}: done`; }
    refreshNodesSoon(net);
  } catch (e) {
    if (out) { out.className = 'error'; out.textContent = e.message; }
  }
}

async function syncNow(net, out = $(`board-out-${net}`)) {
  try {
    await api(`/api/boards/${net}/sync`, {});
    if (out) { out.className = 'ok'; out.textContent = 'SYNC sent'; }
  } catch (e) {
    if (out) { out.className = 'error'; out.textContent = e.message; }
  }
}

// ---- event log

const masterKinds = new Set(['master_sdo_read', 'master_sdo_write', 'master_rx_pdo', 'master_remote_pdo']);

function describe(e) {
  switch (e.kind) {
    case 'bootup': return 'boot-up';
    case 'emcy': {
      const bits = e.emcy.error_register_bits.length ? e.emcy.error_register_bits.join(', ') : 'no error';
      return `EMCY ${e.emcy.code_hex} ${e.emcy.meaning}; error register ${e.emcy.error_register_hex} (${bits})`;
    }
    case 'nmt_error': return `NMT error ${e.code}: ${e.meaning}`;
    case 'nmt_state': return `${e.before_name} → ${e.state_name}`;
    case 'master_sdo_read': return `another master reads ${e.index_hex}:${hexPlain(e.sub, 2)}`;
    case 'master_sdo_write': return `another master writes ${e.index_hex}:${hexPlain(e.sub, 2)} [${e.data_hex}]`;
    case 'master_rx_pdo': return `another master sent PDO ${e.cob_hex} [${e.data_hex}]`;
    case 'master_remote_pdo': return `another master asks for PDO ${e.cob_hex}`;
    default: return e.kind;
  }
}

function passes(e) {
  const kinds = new Set([...document.querySelectorAll('input[name=kind]:checked')].map((c) => c.value));
  const kind = masterKinds.has(e.kind) ? 'master' : e.kind;
  if (!kinds.has(kind)) return false;
  const node = $('event-node').value.trim();
  return node === '' || String(e.node) === node;
}

function renderEvents() {
  const rows = [];
  for (let i = state.events.length - 1; i >= 0 && rows.length < 500; --i) {
    const e = state.events[i];
    if (!passes(e)) continue;
    rows.push(el('tr', { class: 'k-' + e.kind, 'data-kind': e.kind, 'data-node': e.node },
      el('td', { text: timeOf(e.time) }), el('td', { text: String(e.net) }),
      el('td', { text: e.node === undefined ? '' : String(e.node) }), el('td', { class: 'kind', text: e.kind.replace('_', ' ') }),
      el('td', { text: describe(e) })));
  }
  $('event-rows').replaceChildren(...rows);
  $('no-events').hidden = rows.length > 0;
  $('event-held').textContent = state.paused ? `paused: ${state.held.length} held` : '';
}

function takeEvent(e) {
  if (e.id <= state.lastEventId) return;
  state.lastEventId = e.id;
  if (e.kind === 'bootup' || e.kind === 'emcy' || e.kind === 'nmt_state' || e.kind === 'nmt_error') refreshNodesSoon(e.net);
  if (state.paused) { state.held.push(e); renderEvents(); return; }
  state.events.push(e);
  if (state.events.length > 2000) state.events.splice(0, state.events.length - 2000);
  if ($('view-events').hidden) { state.unseen++; $('event-count').textContent = String(state.unseen); }
  renderEvents();
}

$('event-pause').addEventListener('click', () => {
  state.paused = !state.paused;
  $('event-pause').setAttribute('aria-pressed', String(state.paused));
  $('event-pause').textContent = state.paused ? 'Resume' : 'Pause';
  if (!state.paused) { state.events.push(...state.held); state.held = []; }
  renderEvents();
});
$('event-clear').addEventListener('click', () => { state.events = []; state.held = []; renderEvents(); });
$('event-filters').addEventListener('change', renderEvents);
$('event-node').addEventListener('input', renderEvents);

function connectEvents() {
  const source = new EventSource('/api/events' + (state.lastEventId ? `?after=${state.lastEventId}` : ''));
  source.onopen = () => { $('link').textContent = 'live'; $('link').className = 'link live'; };
  source.onmessage = (m) => { try { takeEvent(JSON.parse(m.data)); } catch (err) { /* a broken line is skipped */ } };
  source.onerror = () => {
    $('link').textContent = 'reconnecting…'; $('link').className = 'link down';
    if (source.readyState === EventSource.CLOSED) { setTimeout(connectEvents, 2000); }
  };
}

// ---- node view: the object dictionary

const typeRanges = {
  b: [0n, 1n], i8: [-(2n ** 7n), 2n ** 7n - 1n], i16: [-(2n ** 15n), 2n ** 15n - 1n], i24: [-(2n ** 23n), 2n ** 23n - 1n],
  i32: [-(2n ** 31n), 2n ** 31n - 1n], i64: [-(2n ** 63n), 2n ** 63n - 1n],
  u8: [0n, 255n], u16: [0n, 65535n], u24: [0n, 2n ** 24n - 1n], u32: [0n, 2n ** 32n - 1n], u64: [0n, 2n ** 64n - 1n],
};
for (const b of [40, 48, 56]) {
  typeRanges['i' + b] = [-(2n ** BigInt(b - 1)), 2n ** BigInt(b - 1) - 1n];
  typeRanges['u' + b] = [0n, 2n ** BigInt(b) - 1n];
}
const shortTypes = ['u8', 'u16', 'u32', 'u64', 'i8', 'i16', 'i32', 'i64', 'b', 'r32', 'r64', 'string', 'hex'];

// Why `text` cannot be written as `type` within the entry's limits, or ''.
function checkValue(type, text, entry) {
  const t = String(text).trim();
  if (type in typeRanges) {
    if (type === 'b' && /^(true|false)$/i.test(t)) return '';
    if (!/^[+-]?(0x[0-9a-f]+|[0-9]+)$/i.test(t)) return `'${t}' is not a whole number`;
    const negative = t.startsWith('-');
    let v = BigInt(t.replace(/^[+-]/, ''));
    const [lo, hi] = typeRanges[type];
    if (negative) v = -v;
    else if (type.startsWith('i') && /^[+]?0x/i.test(t) && v > hi && v <= 2n * hi + 1n) v -= 2n * (hi + 1n);
    if (v < lo || v > hi) return `${t} is outside ${type} (${lo}..${hi})`;
    if (entry) {
      if (entry.low_limit !== null && entry.low_limit !== undefined && v < BigInt(Math.trunc(entry.low_limit))) return `${t} is below the low limit ${entry.low_limit}`;
      if (entry.high_limit !== null && entry.high_limit !== undefined && v > BigInt(Math.trunc(entry.high_limit))) return `${t} is above the high limit ${entry.high_limit}`;
    }
    return '';
  }
  if (type === 'r32' || type === 'r64') {
    if (t === '' || Number.isNaN(Number(t))) return `'${t}' is not a number`;
    if (entry && entry.low_limit !== null && entry.low_limit !== undefined && Number(t) < entry.low_limit) return `${t} is below the low limit ${entry.low_limit}`;
    if (entry && entry.high_limit !== null && entry.high_limit !== undefined && Number(t) > entry.high_limit) return `${t} is above the high limit ${entry.high_limit}`;
    return '';
  }
  if (type === 'hex' || type === 'os' || type === 'd') {
    return /^([0-9a-f]{2}[\s:-]?)*$/i.test(t) ? '' : `'${t}' is not hex bytes`;
  }
  if (type === 'string' || type === 'vs') return /[\x00-\x1f\x7f]/.test(t) ? 'control characters cannot be written' : '';
  return '';
}

function showError(out, e) {
  out.className = 'error';
  const b = e.body || {};
  out.textContent = e.message + (b.abort_hex && !e.message.includes(b.abort_hex) ? ` (abort ${b.abort_hex} ${b.abort_meaning})` : '');
}

function renderNodeChoices() {
  const options = [];
  for (const b of state.boards) for (const n of state.nodes.get(b.net) || []) {
    options.push([`${b.net}/${n.node}`, `net ${b.net} · node ${n.node}${n.device_name ? ' · ' + n.device_name : ''}`]);
  }
  for (const id of ['node-select', 'pdo-node']) {
    const select = $(id);
    const keep = select.value;
    const key = options.map((o) => o.join('=')).join('|');
    if (select.dataset.key === key) continue;
    select.dataset.key = key;
    select.replaceChildren(...options.map(([v, label]) => el('option', { value: v, text: label })));
    if (keep && options.some(([v]) => v === keep)) select.value = keep;
  }
}

function chosenNode(id) {
  const [net, node] = ($(id).value || '').split('/').map(Number);
  return net && node ? { net, node } : null;
}

async function loadObjects() {
  const chosen = chosenNode('node-select');
  if (!chosen) return;
  const key = `${chosen.net}/${chosen.node}`;
  if (state.od.key === key) return;
  state.od = { key, entries: [], values: new Map() };
  $('od-rows').replaceChildren();
  try {
    const model = await api(`/api/boards/${chosen.net}/nodes/${chosen.node}/objects`);
    state.od.entries = model.entries;
    $('node-title').textContent = `${model.device_name || 'device'} · ${model.entries.length} entries`;
    $('od-note').textContent = '';
  } catch (e) {
    $('node-title').textContent = '';
    $('od-note').textContent = `${e.message}: use "Any object" above.`;
  }
  renderObjects();
}

function entryMatches(entry, query) {
  if (!query) return true;
  const q = query.toLowerCase();
  const id = `${hexPlain(entry.index, 4)}:${hexPlain(entry.subindex, 2)}`.toLowerCase();
  return id.includes(q.replace(/^0x/, '')) || (entry.name || '').toLowerCase().includes(q);
}

function renderObjects() {
  const query = $('od-search').value.trim();
  const chosen = chosenNode('node-select');
  const rows = [];
  for (const entry of state.od.entries) {
    if (!entryMatches(entry, query)) continue;
    if (rows.length >= 400) break;
    const id = `${hexPlain(entry.index, 4)}-${hexPlain(entry.subindex, 2)}`;
    const readable = entry.access !== 'wo';
    const writable = entry.access && !['ro', 'const'].includes(entry.access);
    const value = el('td', { class: 'v', id: `val-${id}`, text: state.od.values.get(id) || '' });
    const read = readable ? el('button', { type: 'button', 'aria-label': `read ${id}`, 'data-read': id,
      onclick: () => readEntry(chosen, entry, id) }, 'Read') : null;
    let write = null;
    if (writable && entry.type) {
      const input = el('input', { 'aria-label': `new value of ${id}`, 'data-input': id });
      const out = el('output', { 'aria-live': 'polite' });
      const go = () => writeEntry(chosen, entry, input, out, id);
      input.addEventListener('keydown', (e) => { if (e.key === 'Enter') go(); });
      input.addEventListener('input', () => input.classList.toggle('bad', checkValue(entry.type, input.value, entry) !== '' && input.value !== ''));
      write = el('span', {}, input, el('button', { type: 'button', class: 'write', 'data-write': id, onclick: go }, 'Write'), out);
    }
    rows.push(el('tr', { class: writable ? 'entry-rw' : 'entry-ro', 'data-id': id },
      el('td', { text: hex(entry.index, 4) }), el('td', { text: hexPlain(entry.subindex, 2) }),
      el('td', { text: entry.name }), el('td', { text: entry.type || String(entry.datatype) }),
      el('td', { text: entry.access || '' }), el('td', { class: 'v', text: entry.default === null ? '' : String(entry.default) }),
      el('td', {}, el('span', { class: 'cell' }, value, read)), el('td', {}, write)));
  }
  $('od-rows').replaceChildren(...rows);
}

async function readEntry(chosen, entry, id) {
  const cell = $(`val-${id}`);
  try {
    const r = await api(`/api/boards/${chosen.net}/nodes/${chosen.node}/sdo/${hexPlain(entry.index, 4)}/${hexPlain(entry.subindex, 2)}`);
    state.od.values.set(id, r.text);
    cell.className = 'v';
    cell.textContent = r.text;
  } catch (e) {
    cell.className = 'v error';
    cell.textContent = e.body && e.body.abort_hex ? `${e.body.abort_hex} ${e.body.abort_meaning}` : e.message;
  }
}

async function writeEntry(chosen, entry, input, out, id) {
  const problem = checkValue(entry.type, input.value, entry);
  if (problem) { out.className = 'error'; out.textContent = problem; input.classList.add('bad'); return; }
  try {
    await api(`/api/boards/${chosen.net}/nodes/${chosen.node}/sdo/${hexPlain(entry.index, 4)}/${hexPlain(entry.subindex, 2)}`,
      { value: input.value.trim() });
    out.className = 'ok'; out.textContent = 'written';
    readEntry(chosen, entry, id);
  } catch (e) { showError(out, e); }
}

$('od-search').addEventListener('input', renderObjects);
$('node-select').addEventListener('change', () => { location.hash = 'node/' + $('node-select').value; });
$('manual-type').replaceChildren(el('option', { value: '', text: 'from device file' }), ...shortTypes.map((t) => el('option', { value: t, text: t })));

function manualPath() {
  const chosen = chosenNode('node-select');
  const index = $('manual-index').value.trim().replace(/^0x/i, '');
  const sub = $('manual-sub').value.trim().replace(/^0x/i, '');
  if (!chosen || !/^[0-9a-f]{1,4}$/i.test(index) || !/^[0-9a-f]{1,2}$/i.test(sub)) return null;
  return `/api/boards/${chosen.net}/nodes/${chosen.node}/sdo/${index}/${sub}`;
}
$('manual-read').addEventListener('click', async () => {
  const out = $('manual-out');
  const path = manualPath();
  if (!path) { out.className = 'error'; out.textContent = 'index: 1..4 hex digits, sub: 1..2'; return; }
  const type = $('manual-type').value;
  try {
    const r = await api(path + (type ? `?type=${type}` : ''));
    out.className = 'ok';
    out.textContent = `${r.text} (${r.type}${r.name ? ', ' + r.name : ''})`;
  } catch (e) { showError(out, e); }
});
$('manual-write').addEventListener('click', async () => {
  const out = $('manual-out');
  const path = manualPath();
  const type = $('manual-type').value;
  if (!path) { out.className = 'error'; out.textContent = 'index: 1..4 hex digits, sub: 1..2'; return; }
  const problem = type ? checkValue(type, $('manual-value').value, null) : '';
  if (problem) { out.className = 'error'; out.textContent = problem; return; }
  try {
    const body = { value: $('manual-value').value.trim() };
    if (type) body.type = type;
    await api(path, body);
    out.className = 'ok'; out.textContent = 'written';
  } catch (e) { showError(out, e); }
});

// ---- PDO view

async function listPdos() {
  const chosen = chosenNode('pdo-node');
  const out = $('pdo-out');
  if (!chosen) return;
  try {
    const { tpdos } = await api(`/api/boards/${chosen.net}/nodes/${chosen.node}/pdos`);
    $('pdo-list').replaceChildren(...(tpdos.length ? tpdos.map((p, i) => el('label', {},
      el('input', { type: 'checkbox', name: 'pdo', value: p.cob, checked: i === 0 }),
      ` ${p.cob_hex} (TPDO ${p.number || '?'}: ${p.fields.map((f) => f.name || `${f.index_hex}:${hexPlain(f.sub, 2)}`).join(', ') || 'no fields'})`))
      : [el('span', { class: 'muted', text: 'No transmit PDO installed for this node: install one by its number.' })]));
  } catch (e) { showError(out, e); }
}

$('pdo-refresh').addEventListener('click', listPdos);
$('pdo-node').addEventListener('change', listPdos);
$('pdo-install').addEventListener('click', async () => {
  const chosen = chosenNode('pdo-node');
  const out = $('pdo-out');
  const number = Number($('pdo-number').value);
  if (!chosen || !Number.isInteger(number) || number < 1 || number > 512) { out.className = 'error'; out.textContent = 'TPDO number 1..512'; return; }
  try {
    const r = await api(`/api/boards/${chosen.net}/nodes/${chosen.node}/pdos`, { number });
    out.className = 'ok'; out.textContent = `TPDO ${number} installed on ${r.cob_hex}`;
    listPdos();
  } catch (e) { showError(out, e); }
});
$('pdo-sync').addEventListener('click', () => { const c = chosenNode('pdo-node'); if (c) syncNow(c.net, $('pdo-out')); });

function stopPdo() {
  if (state.pdo.source) { state.pdo.source.close(); state.pdo.source = null; }
  $('pdo-start').textContent = 'Start';
}

function startPdo() {
  const chosen = chosenNode('pdo-node');
  const cobs = [...document.querySelectorAll('input[name=pdo]:checked')].map((c) => Number(c.value));
  if (!chosen || cobs.length === 0) { $('pdo-out').className = 'error'; $('pdo-out').textContent = 'choose a transmit PDO first'; return; }
  stopPdo();
  const source = new EventSource(`/api/boards/${chosen.net}/pdo/stream?cob=${cobs.map((c) => hex(c, 3)).join(',')}&period_ms=${$('pdo-period').value}`);
  state.pdo.source = source;
  $('pdo-start').textContent = 'Stop';
  source.addEventListener('mapping', (m) => setupPlot(JSON.parse(m.data).pdos));
  source.onmessage = (m) => takeSample(JSON.parse(m.data));
  source.onerror = () => { if (source.readyState === EventSource.CLOSED) stopPdo(); };
}

function setupPlot(pdos) {
  state.pdo.mapping = pdos;
  state.pdo.times = [];
  state.pdo.series = [];
  state.pdo.points = 0;
  const series = [{ label: 'time' }];
  const colours = ['#1f5fbf', '#d1495b', '#2e8540', '#edae49', '#6b5fb3', '#00798c', '#8c564b', '#e377c2'];
  const rows = [];
  for (const p of pdos) for (const [i, f] of p.fields.entries()) {
    const label = `${p.cob_hex} ${f.name || f.index_hex + ':' + hexPlain(f.sub, 2)}`;
    series.push({ label, stroke: colours[(series.length - 1) % colours.length], width: 2 });
    state.pdo.series.push([]);
    rows.push(el('tr', {}, el('td', { text: p.cob_hex }), el('td', { text: f.name || `${f.index_hex}:${hexPlain(f.sub, 2)}` }),
      el('td', { id: `pv-${p.cob}-${i}`, text: '–' })));
  }
  $('pdo-values').replaceChildren(...rows);
  if (state.pdo.plot) state.pdo.plot.destroy();
  const box = $('pdo-plot');
  box.replaceChildren();
  state.pdo.plot = new uPlot({ width: Math.max(300, box.clientWidth - 16), height: 260, series,
    scales: { x: { time: true } }, axes: [{}, {}] }, [[], ...state.pdo.series], box);
}

function takeSample(sample) {
  if (state.pdo.paused || !state.pdo.plot) return;
  let column = 0;
  let any = false;
  const values = [];
  for (const p of sample.pdos) {
    const mapping = state.pdo.mapping.find((m) => m.cob === p.cob);
    const count = mapping ? mapping.fields.length : 0;
    for (let i = 0; i < count; ++i) {
      const v = p.received ? p.values[i] : null;
      values.push(v);
      if (v !== null && v !== undefined) any = true;
      const cell = $(`pv-${p.cob}-${i}`);
      if (cell && v !== null && v !== undefined) cell.textContent = String(v);
      column++;
    }
  }
  if (!any) return;  // nothing received yet: no point
  state.pdo.times.push(sample.t / 1000);
  values.forEach((v, i) => state.pdo.series[i].push(v === undefined ? null : v));
  state.pdo.points++;
  const from = sample.t / 1000 - Number($('pdo-window').value);
  while (state.pdo.times.length && state.pdo.times[0] < from) { state.pdo.times.shift(); state.pdo.series.forEach((s) => s.shift()); }
  state.pdo.plot.setData([state.pdo.times, ...state.pdo.series]);
  $('pdo-points').textContent = `${state.pdo.points} points`;
  $('pdo-plot').dataset.points = String(state.pdo.points);
}

$('pdo-start').addEventListener('click', () => (state.pdo.source ? stopPdo() : startPdo()));
$('pdo-pause').addEventListener('click', () => {
  state.pdo.paused = !state.pdo.paused;
  $('pdo-pause').setAttribute('aria-pressed', String(state.pdo.paused));
  $('pdo-pause').textContent = state.pdo.paused ? 'Resume' : 'Pause';
});
$('pdo-csv').addEventListener('click', () => {
  const names = [];
  for (const p of state.pdo.mapping) for (const f of p.fields) names.push(`${p.cob_hex} ${f.name || f.index_hex + ':' + f.sub}`);
  const quote = (s) => `"${String(s).replace(/"/g, '""')}"`;
  const lines = [['time', ...names].map(quote).join(',')];
  state.pdo.times.forEach((t, i) => lines.push([new Date(t * 1000).toISOString(), ...state.pdo.series.map((s) => (s[i] ?? ''))].join(',')));
  const link = el('a', { href: URL.createObjectURL(new Blob([lines.join('\n') + '\n'], { type: 'text/csv' })), download: 'pdo.csv' });
  document.body.append(link);
  link.click();
  link.remove();
});
window.addEventListener('resize', () => {
  if (state.pdo.plot) state.pdo.plot.setSize({ width: Math.max(300, $('pdo-plot').clientWidth - 16), height: 260 });
});

// ---- start

async function start() {
  route();
  try {
    const info = await api('/api/info');
    state.readOnly = info.read_only;
    $('readonly').hidden = !info.read_only;
    document.body.classList.toggle('readonly', info.read_only);
  } catch (e) { /* shown by the link state */ }
  try {
    const { events } = await api('/api/events/recent');
    for (const e of events) takeEvent(e);
    state.unseen = 0; $('event-count').textContent = '';
  } catch (e) { /* the stream brings what comes next */ }
  connectEvents();
  await loadBoards().catch((e) => { $('link').textContent = e.message; $('link').className = 'link down'; });
  route();
  if (!$('view-pdo').hidden) listPdos();
  // A slow look at everything, beside the events, for what no event tells (CAN status).
  setInterval(() => loadBoards().catch(() => {}), 5000);
}
start();
