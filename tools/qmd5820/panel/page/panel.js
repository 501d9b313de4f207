// The test panel's page: requests to the panel's server (each carrying the run's token),
// the live stream of the chosen board, and the Boards, Channels, Digital I/O and Simulated
// board pages. pages.js has the database, acquisition and calibration pages.
'use strict';

const token = new URLSearchParams(location.search).get('token') || '';
const panel = { board: 0, info: null, types: [], assigned: [], handlers: [], stats: { events: 0 } };
window.panel = panel;

function $(id) { return document.getElementById(id); }

function say(text, ok) {
  const m = $('message');
  m.textContent = text || '';
  m.className = ok ? 'ok' : '';
}

async function api(method, path, body) {
  const options = { method, headers: { 'X-Panel-Token': token } };
  if (body !== undefined) {
    options.headers['Content-Type'] = 'application/json';
    options.body = typeof body === 'string' ? body : JSON.stringify(body);
  }
  const response = await fetch('/api/' + path, options);
  const data = await response.json().catch(() => ({ error: response.statusText }));
  if (!response.ok) throw new Error(data.error || response.statusText);
  return data;
}

// A library result {code, error}: says the error; true on success.
function ok(result, done) {
  if (result && result.code !== 0 && result.code !== undefined) {
    say('code ' + result.code + ': ' + (result.error || ''));
    return false;
  }
  if (done) say(done, true);
  return true;
}

function boardPath(rest) { return 'board/' + panel.board + '/' + rest; }

// ---- the live stream ------------------------------------------------------------------------
// One tab of the browser holds the event stream of a board (the Web Locks API elects it) and
// passes each snapshot to the other tabs: the browser's few connections per server are not
// used up by ten tabs watching at once.
let channel = null;
let stream = null;
function onSnapshot(snapshot) {
  if (snapshot.board !== panel.board) return;
  panel.stats.events++;
  panel.stats.last = snapshot;
  for (const handler of panel.handlers) handler(snapshot);
}

function connect() {
  if (channel) channel.close();
  if (stream) stream.close();
  const board = panel.board;
  channel = new BroadcastChannel('qmd5820-panel-' + location.port + '-' + board);
  channel.onmessage = (e) => onSnapshot(e.data);
  const open = () => new Promise((resolve) => {
    if (board !== panel.board) { resolve(); return; }
    stream = new EventSource('/api/board/' + board + '/live?token=' + encodeURIComponent(token));
    const mine = channel;
    stream.onopen = () => { $('state').textContent = 'live'; $('state').className = 'state live'; };
    stream.onerror = () => { $('state').textContent = 'reconnecting…'; $('state').className = 'state lost'; };
    stream.onmessage = (e) => {
      const snapshot = JSON.parse(e.data);
      onSnapshot(snapshot);
      mine.postMessage(snapshot);
    };
    // Held while this tab shows the board; a tab that switches boards gives it up.
    const watch = setInterval(() => {
      if (board !== panel.board) { clearInterval(watch); if (stream) stream.close(); resolve(); }
    }, 200);
  });
  if (navigator.locks) {
    $('state').textContent = 'live (through another tab)';
    navigator.locks.request('qmd5820-panel-' + location.port + '-' + board, open);
  } else {
    open();
  }
}

// ---- Boards -----------------------------------------------------------------------------------
async function loadBoards() {
  const data = await api('GET', 'boards');
  $('library').textContent = 'Library ' + data.library + ', ' + data.boards.length + ' board(s).';
  const select = $('board');
  const chosen = panel.board;
  select.innerHTML = '';
  const body = $('boards-table').tBodies[0];
  body.innerHTML = '';
  for (const b of data.boards) {
    select.add(new Option('board ' + b.index + ' ' + (b.identifier || ''), b.index));
    const row = body.insertRow();
    const cells = [b.index, b.identifier || '?', b.serial ?? '', b.revision || '', b.driver || '',
      b.firmware || '', b.channels ?? '', b.open ? (b.busy ? 'open, ' + b.busy : 'open') : 'closed'];
    for (const c of cells) row.insertCell().textContent = c;
    const button = document.createElement('button');
    button.textContent = b.open ? 'Close' : 'Open';
    button.onclick = async () => {
      ok(await api('POST', 'board/' + b.index + '/' + (b.open ? 'close' : 'open')), 'done');
      await loadBoards();
      await loadChannels();
    };
    row.insertCell().appendChild(button);
  }
  select.value = chosen;
}

async function line(action) {
  say(action === 'test' ? 'testing the line (0.5 s)…' : action + '…', true);
  const data = await api('POST', boardPath('line/' + action));
  if (!ok(data.result, 'done')) return;
  const l = data.line;
  $('line-status').textContent = 'status 0x' + l.status.toString(16).padStart(2, '0') + ': ' +
    (l.short_circuit ? 'SHORT CIRCUIT latched (rearm to clear)' : 'no short circuit') + '; detection ' +
    (l.detection_responds ? 'responds under the test' : 'does NOT respond under the test');
}

// ---- Channels ---------------------------------------------------------------------------------
let plot = null;
const plotRows = [];
function typeRange(type) {
  const t = panel.types.find((x) => x.index === type);
  return t && t.range ? t.range : 0;
}

async function loadChannels() {
  const data = await api('GET', boardPath('transducers'));
  panel.types = data.types || [];
  panel.assigned = data.assigned || [];
  const body = $('channels-table').tBodies[0];
  body.innerHTML = '';
  for (let ch = 0; ch < 16; ch++) {
    const row = body.insertRow();
    row.id = 'ch-' + ch;
    row.insertCell().textContent = ch;
    const select = document.createElement('select');
    select.add(new Option('—', -1));
    for (const t of panel.types) select.add(new Option(t.index + ' (±' + t.range + ')', t.index));
    select.value = panel.assigned[ch] ?? -1;
    select.onchange = async () => {
      const r = await api('POST', boardPath('channel'), { channel: ch, transducer: Number(select.value) });
      if (!ok(r, 'channel ' + ch + ' set')) select.value = -1;
      panel.assigned[ch] = r.code === 0 ? Number(select.value) : -1;
    };
    row.insertCell().appendChild(select);
    const value = row.insertCell(); value.className = 'num value';
    const raw = row.insertCell(); raw.className = 'num raw-col';
    const bar = row.insertCell();
    bar.innerHTML = '<div class="bar"><div class="mid"></div><div class="fill"></div></div>';
    row.insertCell().className = 'flag';
  }
  plotRows.length = 0;
  if (plot) { plot.destroy(); plot = null; }
}

function showChannels(s) {
  if (!s.channels) return;
  const now = new Date();
  const point = [now];
  const labels = ['time'];
  for (const [ch, raw, value] of s.channels) {
    const row = $('ch-' + ch);
    if (!row) continue;
    const over = (raw & 0x7fff) >= 0x7fff;
    row.querySelector('.value').textContent = value === null ? '—' : value.toFixed(4);
    row.querySelector('.raw-col').textContent = '0x' + raw.toString(16).toUpperCase().padStart(4, '0');
    const range = typeRange(panel.assigned[ch]);
    const fraction = range && value !== null ? Math.max(-1, Math.min(1, value / range)) : 0;
    const fill = row.querySelector('.fill');
    fill.style.left = (50 + Math.min(0, fraction) * 50) + '%';
    fill.style.width = Math.abs(fraction) * 50 + '%';
    row.querySelector('.flag').innerHTML = over ? '<span class="over">OVER RANGE</span>' : '';
    labels.push('ch ' + ch);
    point.push(value);
  }
  if (labels.length < 2) return;
  if (!plot || plot.getLabels().join() !== labels.join()) {
    plotRows.length = 0;
    if (plot) plot.destroy();
    plotRows.push(point);
    plot = new Dygraph($('channels-plot'), plotRows, { labels, ylabel: 'mm', legend: 'always' });
    return;
  }
  plotRows.push(point);
  while (plotRows.length && now - plotRows[0][0] > 10000) plotRows.shift();
  // The plot redraws at most 10 times a second; the numbers follow every snapshot.
  if (!plot.pending && $('page-channels').classList.contains('active')) {
    plot.pending = true;
    setTimeout(() => { plot.pending = false; plot.updateOptions({ file: plotRows }); }, 100);
  }
}

let rateCount = 0;
setInterval(() => {
  $('rate').textContent = rateCount + ' refreshes/s';
  rateCount = 0;
}, 1000);

// ---- Digital I/O and timer ------------------------------------------------------------------
function bits(id, value, onclick) {
  const box = $(id);
  if (box.children.length !== 8) {
    box.innerHTML = '';
    for (let bit = 7; bit >= 0; bit--) {
      const span = document.createElement('span');
      span.id = id + '-' + bit;
      span.textContent = bit;
      if (onclick) span.onclick = () => onclick(bit, span.classList.contains('on'));
      box.appendChild(span);
    }
  }
  for (let bit = 0; bit < 8; bit++) $(id + '-' + bit).classList.toggle('on', ((value >> bit) & 1) === 1);
}

async function toggleOutput(bit, on) {
  ok(await api('POST', boardPath('outputs'), { mask: 1 << bit, on: !on }), 'output ' + bit + (on ? ' off' : ' on'));
}

function showIo(s) {
  if (s.inputs !== undefined) bits('inputs', s.inputs);
  if (s.outputs !== undefined) bits('outputs', s.outputs, toggleOutput);
  if (s.timer_interrupts !== undefined) $('timer-count').textContent = s.timer_interrupts;
}

function parseWords(text) {
  return text.trim().split(/\s+/).filter((w) => w).map((w) => Number(w));
}

// ---- Simulated board --------------------------------------------------------------------------
async function loadSimulator() {
  if (!panel.info.simulator) return;
  const data = await api('GET', 'sim/board/' + panel.board);
  $('sim-moving').checked = data.moving;
  const body = $('sim-table').tBodies[0];
  body.innerHTML = '';
  for (const c of data.channels) {
    const row = body.insertRow();
    row.insertCell().textContent = c.channel;
    const range = c.range || 10;
    const slider = document.createElement('input');
    Object.assign(slider, { type: 'range', min: -1.1 * range, max: 1.1 * range, step: range / 1000, value: c.position });
    slider.id = 'sim-pos-' + c.channel;
    const shown = document.createElement('span');
    shown.textContent = c.position.toFixed(3);
    slider.oninput = async () => {
      shown.textContent = Number(slider.value).toFixed(3);
      await api('POST', 'sim/board/' + panel.board + '/position', { channel: c.channel, position: Number(slider.value) });
    };
    row.insertCell().appendChild(slider);
    row.insertCell().appendChild(shown);
  }
}

// ---- start ------------------------------------------------------------------------------------
function guard(fn) {
  return (...args) => fn(...args).catch((e) => say(e.message));
}

async function start() {
  panel.info = await api('GET', 'panel');
  $('mode').textContent = panel.info.read_only ? 'read-only' : '';
  $('simulator-tab').hidden = !panel.info.simulator;
  for (const button of document.querySelectorAll('#tabs button')) {
    button.onclick = () => {
      for (const b of document.querySelectorAll('#tabs button')) b.classList.toggle('active', b === button);
      for (const p of document.querySelectorAll('.page')) p.classList.toggle('active', p.id === 'page-' + button.dataset.page);
      if (button.dataset.page === 'simulator') guard(loadSimulator)();
      if (window.pageShown) window.pageShown(button.dataset.page);
    };
  }
  $('board').onchange = guard(async () => {
    panel.board = Number($('board').value);
    connect();
    await loadChannels();
    if (window.boardChanged) await window.boardChanged();
  });
  $('line-test').onclick = guard(() => line('test'));
  $('line-rearm').onclick = guard(() => line('rearm'));
  $('line-calibrate').onclick = guard(() => line('calibrate'));
  $('show-raw').onchange = () => $('channels-table').classList.toggle('show-raw', $('show-raw').checked);
  $('memory-on').onclick = guard(async () => ok(await api('POST', boardPath('output_memory/on')), 'output memory on'));
  $('memory-off').onclick = guard(async () => ok(await api('POST', boardPath('output_memory/off')), 'output memory off'));
  $('timer-start').onclick = guard(async () => ok(await api('POST', boardPath('timer/start'), {
    time_base: Number($('timer-base').value), reload: Number($('timer-reload').value), interrupts: $('timer-irq').checked,
  }), 'timer started'));
  $('timer-stop').onclick = guard(async () => ok(await api('POST', boardPath('timer/stop')), 'timer stopped'));
  $('timer-trigger').onclick = guard(async () => ok(await api('POST', boardPath('timer/trigger')), 'timer reloaded'));
  $('logic-load').onclick = guard(async () => {
    const r = await api('POST', boardPath('logic'), { words: parseWords($('logic-words').value) });
    if (ok(r, 'loaded')) $('logic-status').textContent = 'status ' + r.status;
  });
  $('sim-moving').onchange = guard(async () => ok(await api('POST', 'sim/board/' + panel.board + '/moving', { on: $('sim-moving').checked }), 'swing ' + ($('sim-moving').checked ? 'on' : 'off')));
  const sim = 'sim/board/';
  $('sim-short').onclick = guard(async () => ok(await api('POST', sim + panel.board + '/short_circuit',
    { on: true, persistent: $('sim-short-persistent').checked }), 'short circuit injected'));
  $('sim-short-clear').onclick = guard(async () => ok(await api('POST', sim + panel.board + '/short_circuit', { on: false }), 'short circuit cleared'));
  $('sim-fault').onclick = guard(async () => ok(await api('POST', sim + panel.board + '/fault', {
    kind: Number($('sim-fault-kind').value), code: Number($('sim-fault-code').value),
    nth: Number($('sim-fault-nth').value), status: Number($('sim-fault-status').value),
  }), 'fault armed'));
  $('sim-fault-clear').onclick = guard(async () => ok(await api('POST', sim + panel.board + '/fault', { kind: 0, code: 0, nth: 0, status: 0 }), 'faults removed'));
  $('sim-reset').onclick = guard(async () => {
    if (!confirm('Forget every simulated board\'s EEPROM, outputs and potentiometers?')) return;
    if (ok(await api('POST', 'sim/reset'), 'back to the factory state')) { await loadChannels(); }
  });
  panel.handlers.push(showChannels, showIo, () => rateCount++);
  await loadBoards();
  await loadChannels();
  connect();
  if (window.boardChanged) await window.boardChanged();
}

guard(start)();
