// The script of the g1 serve page: takes the event stream (/events) and draws the attitude and
// heading indicators, the current values, the link's health and strip charts of the last
// minute. The values arrive already in display units and formatted; the page only shows them,
// in the rows and order of the field table that g1 serve sends first. It shows one sender: the
// one picked (events?sender=a.b.c.d, kept in the address's #), or the first g1 serve heard.
// When g1 serve plays a recording, a timeline shows where the replay stands and sends the
// controls (POST playback?...); every page follows the replay's state as g1 serve tells it.
'use strict';

const NO_DATA_MS = 2000;      // no datagram for this long: the "no data" state
const CHART_SPAN_S = 60;
const STATE_CHECK_MS = 250;
// After a refusal (every reader in use), the first wait before trying again; each one after is
// twice as long, up to the longest.
const RETRY_FIRST_MS = 1000;
const RETRY_LONGEST_MS = 30000;
const VISIBLE_PITCH_DEG = 40;  // from the centre of the attitude indicator to its edge
const SKIP_MS = 10000;         // the timeline's back and forward buttons

// The fields the drawing reads, by their names in the table that g1 serve sends first.
const NAMED = { time: 'time_s', bank: 'bank', pitch: 'pitch', heading: 'true_heading' };
// A chart's caption is its title, then each line's colour naming the field: by what the
// field's label adds to the title ("velocity x": "x", with the unit after the title), or by
// the whole label where the title is not where the labels start ("degrees").
const CHARTS = {
  velocity: { title: 'velocity', fields: ['velocity_x', 'velocity_y', 'velocity_z'] },
  attitude: { title: 'degrees', fields: [NAMED.bank, NAMED.pitch, NAMED.heading],
    wraps: [false, false, true] },
  rotation: { title: 'angular velocity',
    fields: ['angular_velocity_x', 'angular_velocity_y', 'angular_velocity_z'] },
  acceleration: { title: 'acceleration',
    fields: ['acceleration_x', 'acceleration_y', 'acceleration_z'] },
};
const LINES = ['x', 'y', 'z'];  // the colours of a chart's three lines, as the style names them

const fieldRows = document.getElementById('field-rows');
let fieldElements = [];
let fieldTable = '';  // the table the rows were built from, as it came
const at = {};        // NAMED's keys -> positions in a datagram's values
const statElements = {};
for (const element of document.querySelectorAll('[data-stat]')) {
  statElements[element.dataset.stat] = element;
}
const attitudeCanvas = document.getElementById('attitude');
const headingCanvas = document.getElementById('heading');
const chartCanvases = [...document.querySelectorAll('canvas[data-chart]')];
const picker = document.getElementById('sender-picker');
const IPV4 = /^\d{1,3}(\.\d{1,3}){3}$/;

const view = {
  connected: false,
  lastDatagramAt: -Infinity,  // performance.now() of the last fresh datagram
  values: null,               // the latest thirteen numbers
  samples: [],                // [time, ...13 numbers], oldest first
  firstSample: 0,             // samples before this index are out of the window
  dirty: true,
  sender: null,               // the address whose values are shown
  chosen: IPV4.test(location.hash.slice(1)) ? location.hash.slice(1) : null,  // picked, or the first heard
  senders: [],                // from the health event: address, rate, gap, idle time, datagrams
  source: null,
  replay: null,               // a recording's playback as g1 serve last told it, and when
};

function css(name) {
  return getComputedStyle(document.documentElement).getPropertyValue(name).trim();
}

const colours = { x: css('--x'), y: css('--y'), z: css('--z'), text: css('--text'),
  muted: css('--muted'), panel: css('--panel') };

// --- the stream -------------------------------------------------------------------------------

// The table of fields: a row each, in datagram order, and the positions the drawing reads. A
// page that reconnects gets it again and keeps its rows when nothing changed.
function takeFields(data) {
  if (data === fieldTable) return;
  fieldTable = data;
  const fields = JSON.parse(data).fields;
  const positions = {};
  const rows = fields.map((field, i) => {
    positions[field.name] = i;
    const row = document.createElement('tr');
    const cells = [field.label, '-', field.unit].map((text, k) => {
      const cell = document.createElement(k === 0 ? 'th' : 'td');
      cell.textContent = text;
      return cell;
    });
    cells[1].dataset.field = String(i + 1);
    row.append(...cells);
    return row;
  });
  fieldRows.replaceChildren(...rows);
  fieldElements = [...fieldRows.querySelectorAll('[data-field]')];
  for (const [key, name] of Object.entries(NAMED)) at[key] = positions[name];
  for (const chart of Object.values(CHARTS)) {
    chart.positions = chart.fields.map((name) => positions[name]);
  }
  for (const canvas of chartCanvases) {
    caption(canvas.parentElement.querySelector('figcaption'), CHARTS[canvas.dataset.chart],
      (name) => fields[positions[name]]);
  }
  view.samples = [];  // drawn with the old positions
  view.firstSample = 0;
  view.values = null;
  view.dirty = true;
}

function caption(element, chart, field) {
  const labels = chart.fields.map((name) => field(name).label);
  const prefix = chart.title + ' ';
  const named = labels.every((label) => label.startsWith(prefix));
  const lead = named ? `${chart.title}, ${field(chart.fields[0]).unit}` : chart.title;
  const parts = [`${lead}: `];
  labels.forEach((label, i) => {
    const span = document.createElement('span');
    span.className = LINES[i];
    span.textContent = named ? label.slice(prefix.length) : label;
    parts.push(...(i === 0 ? [span] : [' ', span]));
  });
  element.replaceChildren(...parts);
}

// Another sender's values: nothing of the one before stays on the page.
function showSender(sender) {
  if (sender === view.sender) return;
  view.sender = sender;
  view.samples = [];
  view.firstSample = 0;
  view.values = null;
  view.lastDatagramAt = -Infinity;
  view.dirty = true;
  setText('sender', sender ? senderName(sender) : '-');
  showSenders();
}

// A broadcast on this machine's own loopback arrives from 0.0.0.0, which reads as a fault.
function senderName(address) {
  return address === '0.0.0.0' ? 'this machine' : address;
}

// The sender's last minute at the charts' resolution, before its first datagram.
function takeHistory(message) {
  showSender(message.sender);
  view.samples = [];
  view.firstSample = 0;
  // None at all: a replay went back to before the sender's first datagram.
  if (message.v.length === 0) {
    for (const element of fieldElements) element.textContent = '-';
    view.values = null;
  }
  for (const values of message.v) remember(values);
  view.dirty = true;
}

function takeDatagram(message, fresh) {
  showSender(message.sender);
  const texts = message.v;
  for (const element of fieldElements) {
    element.textContent = texts[Number(element.dataset.field) - 1];
  }
  const values = texts.map(Number);
  view.values = values;
  if (fresh) {
    view.lastDatagramAt = performance.now();
    remember(values);
  }
  setText('datagrams', String(message.n));  // the sender's own count
  view.dirty = true;
  showState();
}

function remember(values) {
  const s = view.samples;
  const t = values[at.time];
  const newest = s.length > view.firstSample ? s[s.length - 1][at.time] : null;
  if (newest !== null && (t < newest || t - newest > CHART_SPAN_S)) {
    s.length = 0;  // the host's clock went back or jumped: a new flight
    view.firstSample = 0;
  }
  s.push(values);
  while (view.firstSample < s.length && s[view.firstSample][at.time] < t - CHART_SPAN_S) {
    view.firstSample++;
  }
  if (view.firstSample > 4096) {
    s.splice(0, view.firstSample);
    view.firstSample = 0;
  }
}

function takeHealth(h) {
  view.senders = h.senders || [];
  // The link of the sender shown; of all senders together until one is.
  const link = view.senders.find((s) => s.sender === view.sender) || h;
  setText('rate', link.rate.toFixed(1));
  setText('gap', link.gap_ms.toFixed(1));
  setText('datagrams', String(link.datagrams));
  // The shown sender's link health, as the receiver keeps it for each sender.
  const own = link.lost !== undefined;
  setText('malformed', String(own ? link.malformed : h.malformed));
  setText('ignored', String(h.ignored));
  setText('wraps', String(own ? link.wraps : h.wraps));
  setText('gap-quantiles',
    own ? `${link.gap_p50_ms.toFixed(1)} / ${link.gap_p99_ms.toFixed(1)}` : '-');
  setText('lost', own ? String(link.lost) : '-');
  setText('pauses', own ? String(link.pauses) : '-');
  setText('drift', own ? link.drift_s.toFixed(3) : '-');
  document.getElementById('udp-port').textContent = String(h.port);
  const source = h.source || 'port';
  for (const list of document.querySelectorAll('#nodata ul[data-source]')) {
    list.hidden = list.dataset.source !== source;
  }
  document.getElementById('angles-note').textContent = h.angles === 'deg'
    ? 'Angles arrive in degrees (g1 serve --angles deg).'
    : 'Angles arrive in radians and are shown in degrees (g1 serve --angles deg if the host sends degrees).';
  showSenders();
}

// The picker, once more than one sender has been heard: address, rate and when last heard.
function showSenders() {
  // A replay's picker lists the recording's senders, heard yet or not.
  const list = view.replay ? view.replay.senders : view.senders;
  const shown = view.chosen || view.sender;
  document.getElementById('senders').hidden = list.length < 2;
  if (list.length < 2) return;
  const heard = (ms) => (ms < 1000 ? 'now' : `${Math.floor(ms / 1000)} s ago`);
  // The same senders keep their options (an open list stays open); only the texts change.
  const same = list.length === picker.options.length &&
    list.every((s, i) => s.sender === picker.options[i].value);
  if (!same) {
    picker.replaceChildren(...list.map((s) => new Option(s.sender, s.sender)));
  }
  list.forEach((s, i) => {
    const text = view.replay ? `${senderName(s.sender)} \u00b7 ${s.datagrams} datagrams`
      : `${senderName(s.sender)} \u00b7 ${s.rate.toFixed(1)} Hz \u00b7 ${heard(s.idle_ms)}`;
    if (picker.options[i].textContent !== text) picker.options[i].textContent = text;
  });
  if (shown && picker.value !== shown) picker.value = shown;
}

picker.addEventListener('change', () => {
  view.chosen = picker.value;
  history.replaceState(null, '', `#${view.chosen}`);
  showSender(null);
  connect();
});

function setText(stat, text) {
  const element = statElements[stat];
  if (element && element.textContent !== text) element.textContent = text;
}

let retryMs = RETRY_FIRST_MS;

function connect() {
  if (view.source) view.source.close();
  const source = new EventSource(view.chosen ? `events?sender=${view.chosen}` : 'events');
  view.source = source;
  view.connected = false;
  source.addEventListener('fields', (e) => takeFields(e.data));
  source.addEventListener('history', (e) => takeHistory(JSON.parse(e.data)));
  source.addEventListener('datagram', (e) => takeDatagram(JSON.parse(e.data), true));
  source.addEventListener('last', (e) => takeDatagram(JSON.parse(e.data), false));
  source.addEventListener('health', (e) => takeHealth(JSON.parse(e.data)));
  source.addEventListener('playback', (e) => takePlayback(JSON.parse(e.data)));
  source.addEventListener('open', () => {
    retryMs = RETRY_FIRST_MS;
    view.connected = true;
    showState();
  });
  source.addEventListener('error', () => {
    view.connected = false;
    showState();
    // The browser takes a lost stream up again by itself, but not a refused one (503: too many
    // pages are open). The page then tries again, each time later, and at a random point of the
    // wait so that pages refused together do not all come back together.
    if (source !== view.source || source.readyState !== EventSource.CLOSED) return;
    source.close();
    setTimeout(connect, retryMs * (0.5 + Math.random() / 2));
    retryMs = Math.min(2 * retryMs, RETRY_LONGEST_MS);
  });
}

// --- live or no data --------------------------------------------------------------------------

function showState() {
  const state = statElements.state;
  if (view.replay && view.connected) {
    // A recording has no live or missing link: it plays, is paused, or has ended.
    const p = view.replay;
    const text = p.ended ? 'ended' : p.paused ? 'paused' : 'playing';
    if (state.textContent !== text) {
      state.textContent = text;
      state.dataset.state = text === 'playing' ? 'live' : 'paused';
    }
    document.body.classList.remove('nodata-shown');
    return;
  }
  const quietMs = performance.now() - view.lastDatagramAt;
  const live = view.connected && quietMs < NO_DATA_MS;
  const text = live ? 'live' : 'no data';
  if (state.textContent !== text) {
    state.textContent = text;
    state.dataset.state = live ? 'live' : 'nodata';
  }
  document.body.classList.toggle('nodata-shown', !live);
  if (live) return;
  const title = document.getElementById('nodata-title');
  const detail = document.getElementById('nodata-detail');
  if (!view.connected) {
    title.textContent = 'The page has lost g1 serve';
    detail.textContent = 'Is g1 serve still running on ' + location.host +
      '? The page reconnects by itself. Once it is back, check:';
  } else {
    title.textContent = Number.isFinite(quietMs)
      ? 'No datagrams for ' + Math.floor(quietMs / 1000) + ' s'
      : 'No datagrams yet';
    detail.textContent = 'g1 serve is running but receives nothing. Check:';
  }
}

// --- a recording's timeline -----------------------------------------------------------------

const timeline = {
  section: document.getElementById('timeline'),
  play: document.getElementById('play'),
  seek: document.getElementById('seek'),
  back: document.getElementById('back'),
  forward: document.getElementById('forward'),
  position: document.getElementById('position'),
  length: document.getElementById('length'),
  speed: document.getElementById('speed'),
  loop: document.getElementById('loop'),
  recorded: document.getElementById('recorded'),
  dragging: false,     // the slider is held: it shows where it is, not where the replay is
  sending: false,      // a control is on its way; the next seek waits for it
  pendingSeek: null,
};

// m:ss, or h:mm:ss for a long flight.
function clockText(ms) {
  const total = Math.max(0, Math.floor(ms / 1000));
  const h = Math.floor(total / 3600);
  const m = Math.floor(total / 60) % 60;
  const s = String(total % 60).padStart(2, '0');
  return h > 0 ? `${h}:${String(m).padStart(2, '0')}:${s}` : `${m}:${s}`;
}

// Where the replay stands now, from what g1 serve last told and the time since.
function replayPosition() {
  const p = view.replay;
  if (p.paused) return p.position_ms;
  return Math.min(p.length_ms, p.position_ms + (performance.now() - p.at) * p.speed);
}

function takePlayback(p) {
  const first = !view.replay;
  p.at = performance.now();
  view.replay = p;
  const t = timeline;
  t.section.hidden = false;
  t.seek.max = String(p.length_ms);
  t.length.textContent = clockText(p.length_ms);
  const label = p.paused ? 'Play' : 'Pause';
  if (t.play.getAttribute('aria-label') !== label) {
    t.play.setAttribute('aria-label', label);
    t.play.textContent = p.paused ? '\u25b6' : '\u275a\u275a';
  }
  if (t.speed.value !== String(p.speed)) {
    if (![...t.speed.options].some((o) => o.value === String(p.speed))) {
      t.speed.add(new Option(`${p.speed}\u00d7`, String(p.speed)));
    }
    t.speed.value = String(p.speed);
  }
  t.loop.checked = p.loop;
  showPosition();
  showState();
  // A page opened without a sender of its own shows the one g1 serve was asked to show first.
  if (first && !view.chosen && p.sender) {
    view.chosen = p.sender;
    connect();
  }
  showSenders();
}

function showPosition() {
  const t = timeline;
  const at = t.dragging ? Number(t.seek.value) : replayPosition();
  if (!t.dragging) t.seek.value = String(Math.round(at));
  const text = clockText(at);
  if (t.position.textContent !== text) {
    t.position.textContent = text;
    t.seek.setAttribute('aria-valuetext', `${text} of ${clockText(view.replay.length_ms)}`);
    const p = view.replay;
    t.recorded.textContent = `${p.file}, recorded ${new Date(p.start_ms + at).toLocaleString()}`;
  }
}

// Sends one control; g1 serve answers with the playback's new state.
async function control(query) {
  timeline.sending = true;
  try {
    const answer = await fetch(`playback?${query}`, { method: 'POST' });
    if (answer.ok) takePlayback(await answer.json());
  } catch {
    // The stream's error handling tells the page is cut off; the state comes again with it.
  } finally {
    timeline.sending = false;
  }
  if (timeline.pendingSeek !== null) {
    const to = timeline.pendingSeek;
    timeline.pendingSeek = null;
    control(`seek=${to}`);
  }
}

// While the slider moves, the instruments follow it: one seek at a time, the latest waiting.
function seekTo(ms) {
  const to = Math.round(Math.min(Math.max(ms, 0), view.replay.length_ms));
  if (timeline.sending) timeline.pendingSeek = to;
  else control(`seek=${to}`);
}

timeline.play.addEventListener('click', () => {
  control(view.replay.paused ? 'play' : 'pause');
});
timeline.back.addEventListener('click', () => seekTo(replayPosition() - SKIP_MS));
timeline.forward.addEventListener('click', () => seekTo(replayPosition() + SKIP_MS));
timeline.speed.addEventListener('change', () => control(`speed=${timeline.speed.value}`));
timeline.loop.addEventListener('change', () => control(`loop=${timeline.loop.checked ? 1 : 0}`));
timeline.seek.addEventListener('input', () => {
  timeline.dragging = true;
  showPosition();
  seekTo(Number(timeline.seek.value));
});
timeline.seek.addEventListener('change', () => {
  timeline.dragging = false;
  seekTo(Number(timeline.seek.value));
});
for (const end of ['pointerup', 'pointercancel', 'blur']) {
  timeline.seek.addEventListener(end, () => { timeline.dragging = false; });
}

// --- drawing ----------------------------------------------------------------------------------

// Sizes the canvas to its box in device pixels; returns the context and the size.
function fit(canvas) {
  const box = canvas.getBoundingClientRect();
  const ratio = window.devicePixelRatio || 1;
  const w = Math.max(1, Math.round(box.width * ratio));
  const h = Math.max(1, Math.round(box.height * ratio));
  if (canvas.width !== w || canvas.height !== h) {
    canvas.width = w;
    canvas.height = h;
  }
  return { ctx: canvas.getContext('2d'), w, h, ratio };
}

const radians = (degrees) => degrees * Math.PI / 180;
const normalisedHeading = (degrees) => ((degrees % 360) + 360) % 360;

// The instruments' yellow pointer: a triangle on the vertical axis from its tip to its base.
function pointer(ctx, tipY, baseY, halfWidth) {
  ctx.fillStyle = '#ffd23f';
  ctx.beginPath();
  ctx.moveTo(0, tipY);
  ctx.lineTo(-halfWidth, baseY);
  ctx.lineTo(halfWidth, baseY);
  ctx.closePath();
  ctx.fill();
}

function drawAttitude(bank, pitch) {
  const { ctx, w, h, ratio } = fit(attitudeCanvas);
  const r = Math.min(w, h) / 2 - 2 * ratio;
  const perDegree = r / VISIBLE_PITCH_DEG;
  ctx.clearRect(0, 0, w, h);
  ctx.save();
  ctx.translate(w / 2, h / 2);
  ctx.beginPath();
  ctx.arc(0, 0, r, 0, 2 * Math.PI);
  ctx.clip();

  // The world turns the other way round: banking right lifts the horizon's right end.
  ctx.save();
  ctx.rotate(-radians(bank));
  const horizon = pitch * perDegree;
  ctx.fillStyle = '#2f74c0';
  ctx.fillRect(-2 * r, -4 * r, 4 * r, 4 * r + horizon);
  ctx.fillStyle = '#8a5a2b';
  ctx.fillRect(-2 * r, horizon, 4 * r, 4 * r);
  ctx.strokeStyle = '#ffffff';
  ctx.fillStyle = '#ffffff';
  ctx.lineWidth = 2 * ratio;
  ctx.beginPath();
  ctx.moveTo(-2 * r, horizon);
  ctx.lineTo(2 * r, horizon);
  ctx.stroke();
  ctx.lineWidth = 1.2 * ratio;
  ctx.font = `${Math.round(r / 9)}px sans-serif`;
  ctx.textBaseline = 'middle';
  for (let p = -60; p <= 60; p += 5) {
    if (p === 0) continue;
    const y = horizon - p * perDegree;
    const half = (p % 10 === 0 ? 0.25 : 0.12) * r;
    ctx.beginPath();
    ctx.moveTo(-half, y);
    ctx.lineTo(half, y);
    ctx.stroke();
    if (p % 10 === 0) {
      ctx.textAlign = 'left';
      ctx.fillText(String(Math.abs(p)), half + 4 * ratio, y);
    }
  }
  ctx.restore();

  // Bank scale, fixed, and the pointer that turns with the horizon.
  ctx.strokeStyle = '#ffffff';
  ctx.lineWidth = 1.5 * ratio;
  for (const mark of [-60, -45, -30, -20, -10, 0, 10, 20, 30, 45, 60]) {
    const a = radians(mark - 90);
    const inner = mark % 30 === 0 ? 0.82 : 0.88;
    ctx.beginPath();
    ctx.moveTo(Math.cos(a) * r * inner, Math.sin(a) * r * inner);
    ctx.lineTo(Math.cos(a) * r * 0.96, Math.sin(a) * r * 0.96);
    ctx.stroke();
  }
  ctx.save();
  ctx.rotate(-radians(bank));
  pointer(ctx, -r * 0.80, -r * 0.70, r * 0.05);
  ctx.restore();

  // The aircraft, fixed in the middle.
  ctx.strokeStyle = '#ffd23f';
  ctx.lineWidth = 4 * ratio;
  ctx.beginPath();
  ctx.moveTo(-r * 0.5, 0);
  ctx.lineTo(-r * 0.18, 0);
  ctx.lineTo(-r * 0.09, r * 0.08);
  ctx.lineTo(0, 0);
  ctx.lineTo(r * 0.09, r * 0.08);
  ctx.lineTo(r * 0.18, 0);
  ctx.lineTo(r * 0.5, 0);
  ctx.stroke();
  ctx.restore();

  ctx.strokeStyle = colours.muted;
  ctx.lineWidth = 2 * ratio;
  ctx.beginPath();
  ctx.arc(w / 2, h / 2, r, 0, 2 * Math.PI);
  ctx.stroke();
}

function drawHeading(heading) {
  const { ctx, w, h, ratio } = fit(headingCanvas);
  const r = Math.min(w, h) / 2 - 2 * ratio;
  const shown = normalisedHeading(heading);
  ctx.clearRect(0, 0, w, h);
  ctx.save();
  ctx.translate(w / 2, h / 2);
  ctx.fillStyle = '#0b0d10';
  ctx.beginPath();
  ctx.arc(0, 0, r, 0, 2 * Math.PI);
  ctx.fill();

  // The card turns so that the heading stands under the mark at the top.
  ctx.save();
  ctx.rotate(-radians(shown));
  ctx.strokeStyle = '#ffffff';
  ctx.fillStyle = '#ffffff';
  ctx.textAlign = 'center';
  ctx.textBaseline = 'middle';
  for (let d = 0; d < 360; d += 5) {
    const long = d % 10 === 0;
    ctx.lineWidth = (long ? 1.6 : 1) * ratio;
    ctx.beginPath();
    ctx.moveTo(0, -r * 0.97);
    ctx.lineTo(0, -r * (long ? 0.86 : 0.91));
    ctx.stroke();
    if (d % 30 === 0) {
      const label = { 0: 'N', 90: 'E', 180: 'S', 270: 'W' }[d] ?? String(d / 10);
      ctx.font = `${label.length === 1 && d % 90 === 0 ? 'bold ' : ''}${Math.round(r / 6.5)}px sans-serif`;
      ctx.fillText(label, 0, -r * 0.74);
    }
    ctx.rotate(radians(5));
  }
  ctx.restore();

  pointer(ctx, -r * 0.86, -r * 1.0, r * 0.06);
  ctx.fillStyle = colours.text;
  ctx.font = `bold ${Math.round(r / 4.5)}px sans-serif`;
  ctx.textAlign = 'center';
  ctx.textBaseline = 'middle';
  ctx.fillText(shown.toFixed(0).padStart(3, '0') + '\u00b0', 0, 0);
  ctx.restore();
}

function drawChart(canvas, chart) {
  const { ctx, w, h, ratio } = fit(canvas);
  ctx.clearRect(0, 0, w, h);
  const s = view.samples;
  const first = view.firstSample;
  if (s.length - first < 2) return;
  const tEnd = s[s.length - 1][at.time];
  const tStart = tEnd - CHART_SPAN_S;
  const value = (sample, i) => (chart.wraps && chart.wraps[i]
    ? normalisedHeading(sample[chart.positions[i]]) : sample[chart.positions[i]]);
  let low = Infinity;
  let high = -Infinity;
  for (let k = first; k < s.length; k++) {
    for (let i = 0; i < 3; i++) {
      const v = value(s[k], i);
      if (v < low) low = v;
      if (v > high) high = v;
    }
  }
  if (high - low < 1e-6) { low -= 1; high += 1; }
  const pad = (high - low) * 0.08;
  low -= pad;
  high += pad;
  const left = 48 * ratio;
  const x = (t) => left + (t - tStart) / CHART_SPAN_S * (w - left - 2 * ratio);
  const y = (v) => h - 2 * ratio - (v - low) / (high - low) * (h - 4 * ratio);

  ctx.font = `${11 * ratio}px sans-serif`;
  ctx.fillStyle = colours.muted;
  ctx.textAlign = 'right';
  ctx.textBaseline = 'top';
  ctx.fillText(high.toFixed(1), left - 4 * ratio, 0);
  ctx.textBaseline = 'bottom';
  ctx.fillText(low.toFixed(1), left - 4 * ratio, h);
  ctx.strokeStyle = '#39414c';
  ctx.lineWidth = ratio;
  ctx.strokeRect(left, 0.5 * ratio, w - left - ratio, h - ratio);
  if (low < 0 && high > 0) {
    ctx.beginPath();
    ctx.moveTo(left, y(0));
    ctx.lineTo(w, y(0));
    ctx.stroke();
  }

  const step = Math.max(1, Math.floor((s.length - first) / (w - left)));
  const lineColours = [colours.x, colours.y, colours.z];
  ctx.lineWidth = 1.5 * ratio;
  for (let i = 0; i < 3; i++) {
    ctx.strokeStyle = lineColours[i];
    ctx.beginPath();
    let previous = null;
    for (let k = first; k < s.length; k += step) {
      const v = value(s[k], i);
      const jump = previous !== null && chart.wraps && chart.wraps[i] && Math.abs(v - previous) > 180;
      if (previous === null || jump) ctx.moveTo(x(s[k][at.time]), y(v));
      else ctx.lineTo(x(s[k][at.time]), y(v));
      previous = v;
    }
    ctx.stroke();
  }
}

function draw() {
  if (view.replay) showPosition();
  if (view.dirty) {
    view.dirty = false;
    const v = view.values;
    drawAttitude(v ? v[at.bank] : 0, v ? v[at.pitch] : 0);
    drawHeading(v ? v[at.heading] : 0);
    for (const canvas of chartCanvases) drawChart(canvas, CHARTS[canvas.dataset.chart]);
  }
  requestAnimationFrame(draw);
}

window.addEventListener('resize', () => { view.dirty = true; });
setInterval(showState, STATE_CHECK_MS);
showState();
connect();
requestAnimationFrame(draw);
