// The plant's pages: one document, three views chosen by the address's
// hash (#/overview, #/machine/<station>/<address>, #/alarms). Everything
// comes from the service's own /api/; nothing from elsewhere.
'use strict';

const $ = (id) => document.getElementById(id);
let lang = localStorage.getItem('tav-lang') === 'en' ? 'en' : 'zh';
const t = (key) => (window.TEXTS[lang] && window.TEXTS[lang][key]) || window.TEXTS.zh[key] || key;
const state = { user: null, role: null, csrf: '', machines: [], events: null, chart: null, view: null };

function applyTexts() {
  document.documentElement.lang = lang === 'en' ? 'en' : 'zh-CN';
  document.title = t('title');
  document.querySelectorAll('[data-t]').forEach((el) => { el.textContent = t(el.dataset.t); });
  $('lang-switch').textContent = t('other');
}

function pad(n, w = 2) { return String(n).padStart(w, '0'); }
function timeText(ms) {
  if (ms === null || ms === undefined) return '';
  const d = new Date(ms);
  return `${d.getFullYear()}-${pad(d.getMonth() + 1)}-${pad(d.getDate())} ` +
    `${pad(d.getHours())}:${pad(d.getMinutes())}:${pad(d.getSeconds())}`;
}
function num(v, digits = 2) { return typeof v === 'number' ? v.toFixed(digits) : '–'; }
function el(tag, props = {}, ...children) {
  const e = document.createElement(tag);
  Object.assign(e, props);
  for (const c of children) e.append(c instanceof Node ? c : document.createTextNode(c ?? ''));
  return e;
}

async function api(path, options = {}) {
  const headers = Object.assign({}, options.headers || {});
  if (options.method === 'POST') {
    headers['X-CSRF-Token'] = state.csrf;
    headers['Content-Type'] = 'application/json';
  }
  const res = await fetch(path, Object.assign({}, options, { headers, credentials: 'same-origin' }));
  let body = null;
  try { body = await res.json(); } catch (e) { body = null; }
  if (res.status === 401 && path !== '/api/login') showLogin();
  return { status: res.status, body };
}

// ---- session ----
async function loadSession() {
  const r = await api('/api/session');
  if (r.status !== 200 || !r.body) return false;
  state.csrf = r.body.csrf;
  state.user = r.body.user;
  state.role = r.body.role;
  $('user-name').textContent = state.user ? `${state.user}` : '';
  $('logout').hidden = !state.user;
  return !!state.user;
}

function showLogin() {
  state.user = null;
  stopEvents();
  for (const id of ['page-overview', 'page-machine', 'page-alarms']) $(id).hidden = true;
  $('page-login').hidden = false;
  $('logout').hidden = true;
  $('user-name').textContent = '';
  $('login-name').focus();
}

$('login-form').addEventListener('submit', async (ev) => {
  ev.preventDefault();
  $('login-error').textContent = '';
  if (!state.csrf) await loadSession();
  const r = await api('/api/login', {
    method: 'POST', body: JSON.stringify({ name: $('login-name').value, password: $('login-password').value })
  });
  $('login-password').value = '';
  if (r.status !== 200) {
    $('login-error').textContent = r.status === 401 ? t('loginFailed') : (r.body && r.body.error) || String(r.status);
    if (r.status === 403) await loadSession();
    return;
  }
  state.csrf = r.body.csrf;
  await loadSession();
  $('page-login').hidden = true;
  route();
});

$('logout').addEventListener('click', async () => {
  await api('/api/logout', { method: 'POST' });
  await loadSession();
  showLogin();
});

$('lang-switch').addEventListener('click', () => {
  lang = lang === 'zh' ? 'en' : 'zh';
  localStorage.setItem('tav-lang', lang);
  applyTexts();
  route();
});

// ---- live updates ----
// One stream per view; after a restart of the service the browser's own
// retry may give up (a refused connection), so a closed stream is opened
// again here, and a lost login sends the user to the login form.
function startEvents(query) {
  stopEvents();
  const open = () => {
    const es = new EventSource('/api/events' + query);
    state.events = es;
    es.addEventListener('open', () => { $('live-status').className = 'live-on'; $('live-status').textContent = t('live'); });
    es.addEventListener('overview', (ev) => onLive(JSON.parse(ev.data)));
    es.addEventListener('error', async () => {
      $('live-status').className = 'live-off';
      $('live-status').textContent = t('reconnecting');
      if (es.readyState === EventSource.CLOSED && state.events === es) {
        state.events = null;
        setTimeout(async () => {
          if (state.events || !state.user) return;
          if (await loadSession()) open(); else showLogin();
        }, 2000);
      }
    });
  };
  open();
}
function stopEvents() {
  if (state.events) state.events.close();
  state.events = null;
}
// A live event carries each machine in a short form, only what a tile
// shows (docs/plant-api.md): read back into the overview's own shape.
function liveMachines(data) {
  return data.machines.map((a) => ({
    station: data.stations[a[0]], address: a[1], name: a[2], zone: a[3], severity: a[4],
    axes: a[5].map((v, i) => ({ axis: 'xyz'[i], iso_v: v })), speed: a[6], temperature: a[7], last_seen: a[8],
    alarms: (a[9] || []).map(([id, severity, acknowledged]) => ({ alarm_id: id, severity, acknowledged }))
  }));
}
function onLive(data) {
  const machines = liveMachines(data);
  if (state.view === 'overview') renderTiles(machines);
  else if (state.view === 'machine') onMachineLive(machines[0]);
  else if (state.view === 'alarms' && state.onAlarmsLive) state.onAlarmsLive(machines);
}

// ---- overview ----
async function loadStations(selectId) {
  const r = await api('/api/stations');
  if (r.status !== 200) return;
  const select = $(selectId);
  const chosen = select.value;
  while (select.options.length > 1) select.remove(1);
  for (const s of r.body.stations) select.add(new Option(s.station, s.station));
  select.value = chosen;
}

// A tile's texts, in the order of its lines.
function tileTexts(m) {
  return [m.name || `#${m.address}`, `${m.station} · ${m.address}`, `${t('zone')} ${m.zone || '–'}`,
    t('sev_' + m.severity), m.axes.map((x) => `${x.axis.toUpperCase()} ${num(x.iso_v)}`).join('  '),
    `${t('speed')} ${num(m.speed, 0)}  ${t('temperature')} ${num(m.temperature, 1)}`,
    m.alarms.length ? `${t('alarms')} ${m.alarms.length}` : '', timeText(m.last_seen)];
}
const TILE_LINES = ['tile-name', 'tile-station', 'zone', 'tile-severity', '', '', 'tile-alarms', 'tile-seen'];

function tile(m) {
  const a = el('a', {
    className: 'tile', href: `#/machine/${encodeURIComponent(m.station)}/${m.address}`,
    id: `tile-${m.station}-${m.address}`
  }, ...TILE_LINES.map((c) => el('div', { className: c })));
  a.dataset.station = m.station;
  a.dataset.address = m.address;
  updateTile(a, m);
  return a;
}

// Only what changed is written: a plant's every tile changes each second,
// and making them anew each time costs the browser more than the page is worth.
function updateTile(a, m) {
  const set = (node, key, value) => { if (node[key] !== value) node[key] = value; };
  set(a, 'className', `tile sev-${m.severity}`);
  set(a.dataset, 'zone', m.zone || '');
  set(a.dataset, 'severity', m.severity);
  const lines = a.children;
  set(lines[2], 'className', `zone zone-${m.zone || 'none'}`);
  tileTexts(m).forEach((text, i) => set(lines[i], 'textContent', text));
}

function renderTiles(machines) {
  const station = $('station-filter').value;
  const shown = machines.filter((m) => !station || m.station === station);
  const box = $('tiles');
  const known = new Map(Array.from(box.children, (a) => [a.id, a]));
  const next = shown.map((m) => {
    const a = known.get(`tile-${m.station}-${m.address}`);
    if (!a) return tile(m);
    updateTile(a, m);
    return a;
  });
  // Moved only when the order changed (a machine got worse or better).
  const now = box.children;
  if (now.length !== next.length || next.some((a, i) => now[i] !== a)) box.replaceChildren(...next);
  $('overview-count').textContent = `${shown.length} ${t('machines')}`;
}

async function showOverview() {
  state.view = 'overview';
  $('page-overview').hidden = false;
  const [, r] = await Promise.all([loadStations('station-filter'), api('/api/overview')]);
  if (r.status === 200) renderTiles(r.body.machines);
  startEvents('');
}
$('station-filter').addEventListener('change', () => {
  const s = $('station-filter').value;
  $('export-overview-csv').href = '/api/overview.csv' + (s ? '?station=' + encodeURIComponent(s) : '');
  if (state.view === 'overview') api('/api/overview').then((r) => r.status === 200 && renderTiles(r.body.machines));
});

// ---- alarms tables ----
function alarmsTable(table, rows, active) {
  const head = active
    ? ['station', 'time', 'address', 'machine', 'axis', 'quantity', 'value', 'limit', 'severity', 'state', 'comment', '']
    : ['station', 'time', 'address', 'machine', 'axis', 'quantity', 'value', 'limit', 'severity', 'event', 'who', 'comment'];
  const thead = el('tr', {}, ...head.map((h) => el('th', {}, h ? t(h) : '')));
  const body = rows.map((a) => {
    const when = active ? Date.parse(a.raised) : a.time;
    const cells = [a.station, timeText(when), a.address, a.name || '', (a.axis || '').toUpperCase(),
      a.quantity_text || a.quantity, num(a.value, 3), num(a.limit, 3), t('sev_' + a.severity)];
    const tr = el('tr', { className: `sev-${a.severity}` }, ...cells.map((c) => el('td', {}, String(c))));
    tr.dataset.alarmId = a.alarm_id;
    tr.dataset.station = a.station;
    if (active) {
      tr.append(el('td', { className: 'alarm-state' }, a.state_text || (a.acknowledged ? t('acked') : '')),
        el('td', {}, a.comment || ''));
      const cell = el('td');
      const pending = sentAcks.has(`${a.station}/${a.alarm_id}`) && !a.acknowledged;
      if (pending) cell.append(el('span', { className: 'ack-pending' }, t('ackSent')));
      else if (state.role === 'operator' && !a.acknowledged) {
        const b = el('button', { className: 'ack-button', type: 'button' }, t('ack'));
        b.dataset.station = a.station;
        b.dataset.alarmId = a.alarm_id;
        b.addEventListener('click', () => openAck(a));
        cell.append(b);
      }
      tr.append(cell);
    } else {
      tr.append(el('td', {}, a.event_text || a.event || ''), el('td', {}, a.who || ''), el('td', {}, a.comment || ''));
    }
    return tr;
  });
  table.replaceChildren(el('thead', {}, thead), el('tbody', {}, ...body));
}

// ---- acknowledgement ----
const sentAcks = new Set();
let ackTarget = null;
function openAck(a) {
  ackTarget = a;
  $('ack-what').textContent = `${a.station} · ${a.name || a.address} · ${a.quantity_text || a.quantity} ` +
    `${(a.axis || '').toUpperCase()} · ${t('sev_' + a.severity)}`;
  $('ack-comment').value = '';
  $('ack-error').textContent = '';
  $('ack-dialog').showModal();
}
$('ack-cancel').addEventListener('click', () => $('ack-dialog').close());
$('ack-form').addEventListener('submit', async (ev) => {
  ev.preventDefault();
  const a = ackTarget;
  const r = await api(`/api/alarms/${encodeURIComponent(a.station)}/${a.alarm_id}/acknowledge`, {
    method: 'POST', body: JSON.stringify({ comment: $('ack-comment').value })
  });
  if (r.status !== 202) {
    $('ack-error').textContent = (r.body && r.body.error) || String(r.status);
    return;
  }
  // Shown as sent until the station's own list says acknowledged.
  sentAcks.add(`${a.station}/${a.alarm_id}`);
  $('ack-dialog').close();
  refreshAlarms();
});

// ---- alarms page ----
function alarmQuery() {
  const p = new URLSearchParams();
  const station = $('alarm-filter-station').value, address = $('alarm-filter-address').value.trim();
  const severity = $('alarm-filter-severity').value;
  const from = $('alarm-filter-from').value, to = $('alarm-filter-to').value;
  if (station) p.set('station', station);
  if (address) p.set('address', address);
  if (severity) p.set('severity', severity);
  if (from) p.set('from', String(new Date(from).getTime()));
  if (to) p.set('to', String(new Date(to).getTime()));
  return p.toString();
}
async function refreshAlarms() {
  if (state.view === 'machine') return loadMachineAlarms();
  if (state.view !== 'alarms') return;
  const q = alarmQuery();
  $('export-alarms-csv').href = '/api/alarms.csv' + (q ? '?' + q : '');
  const r = await api('/api/alarms' + (q ? '?' + q : ''));
  if (r.status !== 200) return;
  alarmsTable($('active-alarms'), r.body.active, true);
  alarmsTable($('alarm-events'), r.body.events, false);
}
$('alarm-filters').addEventListener('submit', (ev) => { ev.preventDefault(); refreshAlarms(); });
async function showAlarms() {
  state.view = 'alarms';
  $('page-alarms').hidden = false;
  await loadStations('alarm-filter-station');
  await refreshAlarms();
  let last = 0, listed = '';
  // The tables follow the stations' lists: at once when an alarm comes, goes
  // or changes its state there (a raise is on the page within a batch of the
  // station's message), otherwise at most every 2 s.
  startEvents('');
  state.onAlarmsLive = (machines) => {
    const now = machines.flatMap((m) => m.alarms.map((a) => `${m.station}/${a.alarm_id}/${a.severity}/${a.acknowledged}`))
      .sort().join();
    if (now === listed && Date.now() - last < 2000) return;
    listed = now;
    last = Date.now();
    refreshAlarms();
  };
}

// ---- machine page ----
const RANGES = { '1h': 3600e3, '6h': 6 * 3600e3, '1d': 86400e3, '7d': 7 * 86400e3, '30d': 30 * 86400e3, '1y': 365 * 86400e3 };
const PARAMS = ['vr', 'iso_v', 'vp', 'ar', 'ap', 'ak', 'dr', 'dp', 'temperature', 'rpm'];
const AXIS_COLOURS = ['#d62728', '#2ca02c', '#1f77b4'];
const machine = { station: '', address: 0, from: 0, to: 0, zoomed: false, shown: null, lastLiveFetch: 0 };

function seriesNames(param) {
  return param === 'temperature' || param === 'rpm' ? [param] : ['x', 'y', 'z'].map((a) => `${a}_${param}`);
}
function fillSelects() {
  const s = $('series-select'), r = $('range-select');
  const chosenS = s.value || 'vr', chosenR = r.value || '1h';
  s.replaceChildren(...PARAMS.map((p) => new Option(t('p_' + p), p)));
  r.replaceChildren(...Object.keys(RANGES).map((k) => new Option(t('range_' + k), k)));
  s.value = chosenS;
  r.value = chosenR;
}

function seriesQuery(resolution) {
  const p = new URLSearchParams({
    station: machine.station, address: String(machine.address),
    series: seriesNames($('series-select').value).join(','), from: String(Math.round(machine.from)),
    to: String(Math.round(machine.to))
  });
  if (resolution) p.set('resolution', resolution);
  return p.toString();
}

// The chart library loads beside the pages' own script: the overview, which
// draws no chart, does not wait for it.
function chartLibrary() {
  if (window.uPlot) return Promise.resolve();
  return new Promise((resolve) => $('chart-library').addEventListener('load', resolve, { once: true }));
}

async function loadSeries() {
  // About a point a pixel: the service merges aggregates beyond that.
  const points = Math.max(400, $('chart').clientWidth || 900);
  const [r] = await Promise.all([api(`/api/series?${seriesQuery()}&points=${points}`), chartLibrary()]);
  if (r.status !== 200) return;
  const d = r.body;
  machine.shown = d.resolution;
  $('chart-resolution').textContent = t('res_' + d.resolution);
  $('export-series-csv').href = '/api/series.csv?' + seriesQuery(d.resolution);
  drawChart(d);
}

function drawChart(d) {
  const box = $('chart');
  const width = Math.max(400, box.clientWidth || 900);
  const xs = d.time.map((ms) => ms / 1000);
  const data = [xs];
  const series = [{}];
  const bands = [];
  const names = Object.keys(d.series);
  // "x_vr" reads "X" (the quantity is in the selector above); a series of
  // the whole machine keeps its own name.
  const label = (name) => (/^[xyz]_/.test(name) ? name[0].toUpperCase() : t(name) || name);
  names.forEach((name, i) => {
    const colour = names.length === 1 ? '#444444' : AXIS_COLOURS[i];
    const s = d.series[name];
    if (d.resolution === 'raw') {
      data.push(s.value);
      series.push({ label: label(name), stroke: colour, width: 1.5 });
    } else {
      // The mean as the line, the minute's (hour's) min and max as a band.
      const base = data.length;
      data.push(s.min, s.max, s.mean);
      series.push({ label: label(name) + ' min', stroke: colour + '55', width: 0.5 },
        { label: label(name) + ' max', stroke: colour + '55', width: 0.5 },
        { label: label(name), stroke: colour, width: 1.5 });
      bands.push({ series: [base + 1, base], fill: colour + '22' });
    }
  });
  const opts = {
    width, height: 360, series, bands,
    scales: { x: { time: true } },
    cursor: { drag: { x: true, y: false, setScale: false } },
    hooks: {
      setSelect: [(u) => {
        if (u.select.width < 3) return;
        const from = u.posToVal(u.select.left, 'x') * 1000, to = u.posToVal(u.select.left + u.select.width, 'x') * 1000;
        u.setSelect({ left: 0, width: 0, top: 0, height: 0 }, false);
        // Zooming reads again at the span's own resolution.
        machine.from = from;
        machine.to = to;
        machine.zoomed = true;
        loadSeries();
      }]
    }
  };
  if (state.chart) state.chart.destroy();
  box.replaceChildren();
  state.chart = d.time.length ? new uPlot(opts, data, box) : null;
  if (!d.time.length) box.append(el('p', { className: 'hint' }, t('noData')));
}

function resetRange() {
  machine.to = Date.now();
  machine.from = machine.to - RANGES[$('range-select').value];
  machine.zoomed = false;
}

async function loadMachineAlarms() {
  const q = `station=${encodeURIComponent(machine.station)}&address=${machine.address}&from=0`;
  const r = await api('/api/alarms?' + q);
  if (r.status !== 200) return;
  alarmsTable($('machine-active-alarms'), r.body.active, true);
  alarmsTable($('machine-alarms'), r.body.events, false);
}

function machineSummary(m) {
  if (!m) return;
  $('machine-title').textContent = `${m.name || '#' + m.address} · ${m.station} · ${m.address}`;
  const box = $('machine-summary');
  box.className = `summary sev-${m.severity}`;
  box.dataset.severity = m.severity;
  box.replaceChildren(el('span', { className: `zone zone-${m.zone || 'none'}` }, `${t('zone')} ${m.zone || '–'}`),
    el('span', {}, t('sev_' + m.severity)),
    el('span', {}, m.axes.map((x) => `${x.axis.toUpperCase()} ${num(x.iso_v)} mm/s`).join('  ')),
    el('span', {}, `${t('speed')} ${num(m.speed, 0)} rpm`), el('span', {}, `${t('temperature')} ${num(m.temperature, 1)} ℃`),
    el('span', {}, `${t('lastSeen')} ${timeText(m.last_seen)}`));
}

function onMachineLive(m) {
  machineSummary(m);
  const now = Date.now();
  // A view that follows "now" moves on with it; a zoomed one stays put.
  if (!machine.zoomed && now - machine.lastLiveFetch >= 5000) {
    machine.lastLiveFetch = now;
    resetRange();
    loadSeries();
    loadMachineAlarms();
  }
}

async function showMachine(station, address) {
  state.view = 'machine';
  machine.station = station;
  machine.address = address;
  $('page-machine').hidden = false;
  fillSelects();
  resetRange();
  const r = await api('/api/overview?station=' + encodeURIComponent(station));
  if (r.status === 200) machineSummary(r.body.machines.find((m) => m.address === address));
  await loadSeries();
  await loadMachineAlarms();
  startEvents(`?station=${encodeURIComponent(station)}&address=${address}`);
}
$('series-select').addEventListener('change', () => loadSeries());
$('range-select').addEventListener('change', () => { resetRange(); loadSeries(); });
$('chart-reset-zoom').addEventListener('click', () => { resetRange(); loadSeries(); });

// ---- routing ----
async function route() {
  if (!state.user) return showLogin();
  $('page-login').hidden = true;
  for (const id of ['page-overview', 'page-machine', 'page-alarms']) $(id).hidden = true;
  stopEvents();
  state.onAlarmsLive = null;
  const parts = location.hash.replace(/^#\/?/, '').split('/').map(decodeURIComponent);
  document.querySelectorAll('nav a').forEach((a) => a.classList.toggle('current', location.hash.startsWith(a.getAttribute('href'))));
  if (parts[0] === 'machine' && parts.length >= 3) return showMachine(parts[1], Number(parts[2]));
  if (parts[0] === 'alarms') return showAlarms();
  return showOverview();
}
window.addEventListener('hashchange', route);

(async () => {
  applyTexts();
  await loadSession();
  route();
})();
