// g1 serve end to end, inside the sandbox (scripts/checks/serve.sh starts it there): the host
// emulator flies the circuit under Wine with the plug-in loaded, g1 serve receives its
// broadcasts and headless Chromium shows the page. Then twenty readers and one that stops
// reading, at 120 Hz; last, g1.exe serve under Wine for one reader. Everything speaks to
// 127.0.0.1 only.
// Usage: node serve_e2e.mjs --g1 PATH --g1exe PATH --host PATH --plugin PATH --out DIR
import { spawn } from 'node:child_process';
import { mkdirSync } from 'node:fs';
import http from 'node:http';
import { join } from 'node:path';
import { setTimeout as sleep } from 'node:timers/promises';
import { launchBrowser } from './browser.mjs';

const HTTP_PORT = 8080;
const PAGE = `http://127.0.0.1:${HTTP_PORT}/`;
const READERS = 20;
const MAX_WRITES_PER_SECOND = 60;
const NO_DATA_MS = 2000;

const options = {};
for (let i = 2; i < process.argv.length; i += 2) {
  options[process.argv[i].replace(/^--/, '')] = process.argv[i + 1];
}
for (const needed of ['g1', 'g1exe', 'host', 'plugin', 'out']) {
  if (!options[needed]) {
    console.error('usage: node serve_e2e.mjs --g1 PATH --g1exe PATH --host PATH --plugin PATH --out DIR');
    process.exit(2);
  }
}
mkdirSync(options.out, { recursive: true });

const failures = [];
function check(ok, text) {
  console.log(`serve check: ${ok ? 'ok  ' : 'FAIL'} ${text}`);
  if (!ok) failures.push(text);
}

// A child whose output is collected; `exited` resolves to its exit code.
function start(command, args) {
  const child = spawn(command, args, { stdio: ['ignore', 'pipe', 'pipe'] });
  const run = { child, out: '', err: '', outAt: 0 };
  child.stdout.on('data', (d) => { run.out += d; run.outAt = Date.now(); });
  child.stderr.on('data', (d) => { run.err += d; });
  run.exited = new Promise((resolve) => child.on('close', (code) => resolve(code)));
  return run;
}

async function waitFor(predicate, timeoutMs, what) {
  const end = Date.now() + timeoutMs;
  while (Date.now() < end) {
    if (await predicate()) return true;
    await sleep(50);
  }
  throw new Error(`timed out after ${timeoutMs} ms waiting for ${what}`);
}

// Whether `predicate` came true within `timeoutMs`, for a check to report either way.
async function eventually(predicate, timeoutMs) {
  return waitFor(predicate, timeoutMs, '').then(() => true, () => false);
}

// Flies the circuit; resolves to the host's own figures once it has ended.
async function fly(rate, seconds) {
  const host = start('wine', [options.host, options.plugin, '--scenario', 'circuit',
    '--rate', String(rate), '--seconds', String(seconds)]);
  const code = await host.exited;
  const summary = host.out.match(/sent (\d+) frames \(\d+ records\) in ([\d.]+) s, ([\d.]+) Hz/);
  if (code !== 0 || !summary) throw new Error(`tessel-host failed (${code}): ${host.out}${host.err}`);
  return { frames: Number(summary[1]), seconds: Number(summary[2]), rate: Number(summary[3]) };
}

// One reader of the event stream that counts what it gets.
function openReader(page = PAGE) {
  const reader = { datagrams: 0, health: null, buffer: '', closed: false };
  const headers = { Accept: 'text/event-stream' };  // as the page's own EventSource asks
  reader.request = http.get(`${page}events`, { headers }, (response) => {
    response.setEncoding('utf8');
    response.on('data', (chunk) => {
      reader.buffer += chunk;
      let end;
      while ((end = reader.buffer.indexOf('\n\n')) >= 0) {
        const event = reader.buffer.slice(0, end);
        reader.buffer = reader.buffer.slice(end + 2);
        if (event.startsWith('event: datagram\n')) reader.datagrams++;
        if (event.startsWith('event: health\n')) {
          reader.health = JSON.parse(event.slice(event.indexOf('data: ') + 6));
        }
      }
    });
    response.on('end', () => { reader.closed = true; });
  });
  reader.request.on('error', () => { reader.closed = true; });
  return reader;
}

// A reader that asks for the stream and then never reads: a small receive buffer, set before
// connecting, so its side fills within a second (Node's sockets cannot set one).
function openSleeper() {
  const program = [
    'import socket, time',
    's = socket.socket()',
    's.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 2048)',
    `s.connect(("127.0.0.1", ${HTTP_PORT}))`,
    's.sendall(b"GET /events HTTP/1.1\\r\\nHost: 127.0.0.1\\r\\n' +
      'Accept: text/event-stream\\r\\n\\r\\n")',
    'time.sleep(60)',
  ].join('\n');
  return start('python3', ['-c', program]);
}

const pageText = (page, selector) => page.locator(selector).first().textContent();
const fieldTexts = (page) => page.$$eval('[data-field]', (cells) =>
  cells.map((c) => [Number(c.dataset.field), c.textContent]).sort((a, b) => a[0] - b[0])
    .map(([, text]) => text));

// The page's values against listen's last CSV line: angles in degrees to one decimal, the
// time to three, the rest exactly as listen writes them.
function compareWithListen(shown, csvLine) {
  const wire = csvLine.split(',');
  const angle = (i) => Math.abs(Number(shown[i]) - Number(wire[i]) * 180 / Math.PI) <= 0.05 + 1e-9;
  const same = [];
  for (let i = 0; i < 13; i++) {
    if (i === 0) same.push(Math.abs(Number(shown[0]) - Number(wire[0])) <= 0.0005 + 1e-9);
    else if (i >= 4 && i <= 9) same.push(angle(i));
    else same.push(shown[i] === wire[i]);
  }
  return same.every(Boolean);
}

const serve = start(options.g1, ['serve', '--bind', '127.0.0.1', '--http', String(HTTP_PORT)]);
const listen = start(options.g1, ['listen', '--csv']);
const { context, close } = await launchBrowser();
let sleeper = null;
const readers = [];
try {
  await waitFor(() => serve.err.includes('instruments at'), 10000, 'g1 serve to start');
  await waitFor(() => listen.err.includes('g1 listen: on'), 10000, 'g1 listen to start');

  // --- one page, phone-sized, through a flight at 60 Hz -----------------------------------
  const page = await context.newPage();
  await page.setViewportSize({ width: 320, height: 640 });
  const pageErrors = [];
  page.on('pageerror', (e) => pageErrors.push(e.message));
  await page.goto(PAGE);
  await waitFor(async () => (await pageText(page, '[data-stat="state"]')) === 'no data', 5000,
    'the page to say "no data" before the flight');
  check(await page.locator('#nodata').isVisible(), 'before the flight the page shows what to check');
  // The rows come from the field table g1 serve sends first, and read as they always have.
  await waitFor(async () => (await page.locator('[data-field]').count()) === 13, 5000,
    'the page to build its rows');
  const rows = await page.$$eval('tr:has([data-field])', (trs) => trs.map((tr) =>
    [...tr.cells].map((c) => c.textContent).join('|')).join(', '));
  check(rows === 'time|-|s, velocity x|-|m/s, velocity y|-|m/s, velocity z|-|m/s, bank|-|\u00b0, ' +
    'pitch|-|\u00b0, heading|-|\u00b0, angular velocity x|-|\u00b0/s, angular velocity y|-|\u00b0/s, ' +
    'angular velocity z|-|\u00b0/s, acceleration x|-|m/s\u00b2, acceleration y|-|m/s\u00b2, ' +
    'acceleration z|-|m/s\u00b2', `the values table has its thirteen rows: ${rows}`);
  const captions = await page.$$eval('.charts figcaption', (all) =>
    all.map((c) => c.textContent).join(' | '));
  check(captions === 'velocity, m/s: x y z | degrees: bank pitch heading | ' +
    'angular velocity, \u00b0/s: x y z | acceleration, m/s\u00b2: x y z',
  `the charts' captions: ${captions}`);

  const flight = fly(60, 8);
  await waitFor(async () => (await pageText(page, '[data-stat="state"]')) === 'live', 60000,
    'the page to go live');
  // The rate is counted over the last whole second: read once it is near the flight's.
  let shownRate = 0;
  await eventually(async () => {
    shownRate = Number(await pageText(page, '[data-stat="rate"]'));
    return Math.abs(shownRate - 60) <= 6;
  }, 6000);
  const first = await flight;
  check(Math.abs(shownRate - first.rate) <= 0.1 * first.rate,
    `rate shown ${shownRate} Hz, the flight's ${first.rate} Hz (within 10 %)`);
  let lastCsv = '';
  let shown = [];
  const same = await eventually(async () => {
    lastCsv = listen.out.trim().split('\n').pop();
    shown = await fieldTexts(page);
    return compareWithListen(shown, lastCsv);
  }, 5000);
  check(same,
    `the page shows the last datagram: bank ${shown[4]} deg, listen's last line ${lastCsv}`);
  check(await page.evaluate(() => document.documentElement.scrollWidth <= 320),
    'the page fits 320 px without sideways scrolling');
  await page.screenshot({ path: join(options.out, 'page-320.png'), fullPage: true });

  await waitFor(async () => (await pageText(page, '[data-stat="state"]')) === 'no data',
    NO_DATA_MS + 3000, 'the page to say "no data" after the flight');
  // From the last datagram as listen heard it: the host's own exit under Wine comes later.
  const quietFor = Date.now() - listen.outAt;
  check(quietFor >= NO_DATA_MS - 500 && (await page.locator('#nodata').isVisible()),
    `"no data" ${quietFor} ms after the last datagram, with what to check`);
  check(pageErrors.length === 0, `no script errors on the page ${pageErrors.join('; ')}`);

  // --- twenty readers and one that stops reading, at 120 Hz ---------------------------------
  for (let i = 0; i < READERS; i++) readers.push(openReader());
  sleeper = openSleeper();
  await waitFor(() => serve.err.split('opened the stream').length - 1 >= READERS + 2, 10000,
    'the readers to open the stream');
  const second = await fly(120, 8);
  const sent = first.frames + second.frames;
  await eventually(() => readers.every((r) => r.health && r.health.datagrams === sent), 10000);
  const counts = readers.map((r) => r.datagrams);
  const most = Math.ceil(MAX_WRITES_PER_SECOND * second.seconds) + 10;
  const least = Math.floor(0.85 * Math.min(MAX_WRITES_PER_SECOND, second.rate) * second.seconds);
  check(counts.every((n) => n >= least && n <= most),
    `${READERS} readers got ${Math.min(...counts)} to ${Math.max(...counts)} events in ` +
    `${second.seconds} s at ${second.rate} Hz (coalesced to at most 60 a second: ${least} to ${most})`);
  check(readers.every((r) => !r.closed), 'every reader that reads is still connected');
  check(/page 127\.0\.0\.1:\d+ dropped: it took no data/.test(serve.err),
    'the reader that stopped reading was dropped');
  const heard = readers[0].health ? readers[0].health.datagrams : -1;
  check(heard === sent, `no datagram lost: g1 serve received ${heard}, the host sent ${sent}`);

  // --- g1.exe serve under Wine, one reader ----------------------------------------------------
  const windowsPage = `http://127.0.0.1:${HTTP_PORT + 1}/`;
  const windows = start('wine', [options.g1exe, 'serve', '--bind', '127.0.0.1',
    '--http', String(HTTP_PORT + 1), '--seconds', '120']);  // a backstop: Ctrl+C ends it
  await waitFor(() => windows.err.includes('instruments at'), 30000, 'g1.exe serve to start');
  const windowsReader = openReader(windowsPage);
  readers.push(windowsReader);
  await waitFor(() => windows.err.includes('opened the stream'), 10000, 'g1.exe to take a reader');
  const third = await fly(60, 3);
  await eventually(() => windowsReader.health && windowsReader.health.datagrams === third.frames,
    10000);
  const windowsHeard = windowsReader.health ? windowsReader.health.datagrams : -1;
  check(windowsHeard === third.frames && windowsReader.datagrams >= 0.85 * third.frames,
    `g1.exe serve under Wine: received ${windowsHeard} of ${third.frames} datagrams, ` +
    `a reader got ${windowsReader.datagrams} events`);
  windowsReader.request.destroy();
  windows.child.kill('SIGINT');
  const windowsCode = await windows.exited;
  check(windowsCode === 0, `g1.exe serve ended cleanly on Ctrl+C (exit code ${windowsCode})`);
} catch (error) {
  check(false, error.message);
} finally {
  for (const r of readers) r.request.destroy();
  if (sleeper) sleeper.child.kill();
  await close();
  serve.child.kill('SIGINT');
  listen.child.kill('SIGINT');
  const code = await serve.exited;
  await listen.exited;
  check(code === 0, `g1 serve ended cleanly on Ctrl+C (exit code ${code})`);
  const summary = serve.err.split('\n').filter((l) => /^g1 serve: \d+ datagrams/.test(l)).pop();
  console.log(summary || `g1 serve said:\n${serve.err}`);
}
console.log(`serve check: ${failures.length === 0 ? 'passed' : `${failures.length} failed`}`);
process.exit(failures.length === 0 ? 0 : 1);
