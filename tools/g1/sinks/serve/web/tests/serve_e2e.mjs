// g1 serve end to end, inside the sandbox (scripts/checks/serve.sh starts it there): the host
// emulator flies the circuit under Wine with the plug-in loaded, g1 serve receives its
// broadcasts and headless Chromium shows the page. Then twenty readers and one that stops
// reading, at 120 Hz; g1.exe serve under Wine for one reader; two simulators on one network
// (127.0.0.1 and 127.0.0.2) and a page opened late; a recording of both debriefed with
// g1 serve --replay; last, a stderr that nobody reads. Everything speaks to 127.0.0.1 only.
// Usage: node serve_e2e.mjs --g1 PATH --g1exe PATH --host PATH --plugin PATH --out DIR
//   [--part wine|native]
import { spawn } from 'node:child_process';
import { mkdirSync, readFileSync, statSync } from 'node:fs';
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
    console.error('usage: node serve_e2e.mjs --g1 PATH --g1exe PATH --host PATH --plugin PATH --out DIR' +
      ' [--part wine|native]');
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

// Flies the circuit with `g1 send --fly` (the plug-in's own bytes, as the record check shows),
// for a g1.exe under Wine: no second Wine program beside it. Resolves to the datagrams sent.
async function flyNatively(rate, seconds) {
  const sender = start(options.g1, ['send', '--fly', 'circuit', '--rate', String(rate),
    '--seconds', String(seconds)]);
  const code = await sender.exited;
  const summary = sender.err.match(/g1 send: (\d+) datagrams to /);
  if (code !== 0 || !summary) throw new Error(`g1 send failed (${code}): ${sender.err}`);
  return { frames: Number(summary[1]) };
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

// Sends G1 from 127.0.0.2 at 30 Hz for `seconds`: a second simulator whose velocity x is always
// 4242.424 m/s, a value the circuit never shows.
const SECOND_SENDER = '127.0.0.2';
const SECOND_VELOCITY = '4242.424';
function openSecondSender(udpPort, seconds) {
  const program = [
    'import socket, sys, time',
    's = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)',
    `s.bind(("${SECOND_SENDER}", 0))`,
    'start = time.monotonic()',
    `while time.monotonic() - start < ${seconds}:`,
    '    t = int((time.monotonic() - start) * 1e6)',
    `    s.sendto(f"G1,{t},4242424,0,0,100,50,1000,0,0,0,0,0,-9810,".encode(), ("127.0.0.1", ${udpPort}))`,
    '    time.sleep(1 / 30)',
  ].join('\n');
  return start('python3', ['-c', program]);
}

// g1 serve with a stderr that nobody reads (a pipe of the smallest size, filled by the log of a
// few dozen pages): it must go on serving and receiving, stay bounded and end on Ctrl+C, and on
// a second Ctrl+C at once. Prints one line of JSON with what it saw.
function unreadStderrRun(httpPort, udpPort) {
  const program = `
import atexit, fcntl, json, os, signal, socket, subprocess, sys, time
g1 = sys.argv[1]
def serve_with_unread_stderr():
    r, w = os.pipe()
    fcntl.fcntl(w, 1031, 4096)  # F_SETPIPE_SZ
    p = subprocess.Popen([g1, "serve", "--bind", "127.0.0.1", "--http", "${httpPort}",
                          "--port", "${udpPort}"], stdout=subprocess.DEVNULL, stderr=w)
    started.append(p)
    os.close(w)
    end = time.monotonic() + 10
    while time.monotonic() < end:
        try:
            socket.create_connection(("127.0.0.1", ${httpPort}), 1).close()
            return p, r
        except OSError:
            time.sleep(0.05)
    raise SystemExit("g1 serve did not start")
# Two lines of log a page: 200 of them fill the pipe many times over. A page that gets no answer
# (the server stuck on its log) ends the run.
def stream(timeout=5, source="127.0.0.1"):
    s = socket.create_connection(("127.0.0.1", ${httpPort}), timeout, (source, 0))
    s.sendall(b"GET /events HTTP/1.1\\r\\nHost: 127.0.0.1\\r\\nAccept: text/event-stream\\r\\n\\r\\n")
    return s
# Each page from an address of its own, as the server counts connections per address.
def pages(n):
    for i in range(n):
        s = stream(source=f"127.0.{1 + i // 250}.{1 + i % 250}")
        got = b""
        while b"retry:" not in got:
            chunk = s.recv(4096)
            if not chunk: raise OSError("closed")
            got += chunk
        # Gone only once the server has seen it go (it closes its side then): one page at a time.
        s.shutdown(socket.SHUT_WR)
        while s.recv(4096): pass
        s.close()
def rss_kb(p):
    return int(open(f"/proc/{p.pid}/status").read().split("VmRSS:")[1].split()[0])
def ended(p, limit):
    start = time.monotonic()
    try:
        return p.wait(limit), round(time.monotonic() - start, 2)
    except subprocess.TimeoutExpired:
        return None, limit
started = []  # every g1 serve of the run, ended with it whatever happens
atexit.register(lambda: [p.kill() for p in started])
out = {}
p, r = serve_with_unread_stderr()
pages(200)
reader = stream(10)
before = rss_kb(p)
sent = 10000
subprocess.run([g1, "send", "--fly", "circuit", "--rate", "1000", "--count", str(sent), "--to",
                "127.0.0.1:${udpPort}"], stderr=subprocess.DEVNULL, check=True)
got, heard, end = b"", -1, time.monotonic() + 10
while heard < sent and time.monotonic() < end:
    try:
        got = (got + reader.recv(65536))[-65536:]
    except OSError:
        break
    at = got.rfind(b"event: health\\ndata: ")
    done = got.find(b"\\n", at + 20) if at >= 0 else -1
    if done > 0: heard = json.loads(got[at + 20:done])["datagrams"]
out.update(sent=sent, heard=heard, rss_growth_kb=rss_kb(p) - before)
# Read again, stderr gets the count of the lines dropped.
os.set_blocking(r, False)
log, end = b"", time.monotonic() + 10
while b"log lines dropped" not in log and time.monotonic() < end:
    try:
        log += os.read(r, 65536)
    except BlockingIOError:
        time.sleep(0.05)
out["dropped_told"] = b"log lines dropped" in log
p.kill()
p.wait()  # its port free before the next one binds it
for presses in (1, 2):
    p, r = serve_with_unread_stderr()
    pages(200)
    p.send_signal(signal.SIGINT)
    if presses == 2:
        time.sleep(0.1)  # the second press, while the first one's ending waits for the log
        p.send_signal(signal.SIGINT)
    out[f"code_{presses}"], out[f"s_{presses}"] = ended(p, 10)
print(json.dumps(out), flush=True)
`;
  return start('python3', ['-c', program, options.g1]);
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

// The recording the debrief shows: two simulators, made while the live sections run.
async function recordForDebrief(children) {
  const capture = join(options.out, 'flight.pcap');
  const recorder = start(options.g1, ['record', capture, '--port', '50030', '--seconds', '14']);
  children.push(recorder);
  await waitFor(() => recorder.err.includes('50030'), 10000, 'g1 record to start');
  const flying = start(options.g1, ['send', '--fly', 'circuit', '--to', '127.0.0.1:50030',
    '--seconds', '12']);
  children.push(flying);
  // The circuit first, so the timeline starts with it; the other simulator a moment later.
  await waitFor(() => statSync(capture, { throwIfNoEntry: false })?.size > 4000, 5000,
    'the recording to begin');
  children.push(openSecondSender(50030, 10));
  await recorder.exited;
  return capture;
}

// A recorded flight of two simulators on the page of g1 serve --replay, on a phone's screen: its
// timeline pauses, seeks (the values then those of g1 listen's line of that moment, the charts
// the flight up to it), plays, speeds up and loops, and the picker shows the other simulator.
async function debrief(children, recording) {
  const capture = await recording;
  // Its values as g1 listen gives them for the same recording, played fast.
  const listened = start(options.g1, ['listen', '--csv', '--replay', capture, '--sender',
    '127.0.0.1', '--speed', '8']);
  children.push(listened);
  if ((await listened.exited) !== 0) throw new Error(`g1 listen --replay failed: ${listened.err}`);
  const lines = listened.out.trim().split('\n').slice(1);
  // The circuit's datagram of each moment, from the file as g1 record wrote it (raw IPv4):
  // the last one at or before the moment on the recording's clock.
  const file = readFileSync(capture);
  const records = [];
  for (let at = 24; at + 16 <= file.length; at += 16 + file.readUInt32LE(at + 8)) {
    const ip = at + 16;
    records.push({ us: file.readUInt32LE(at) * 1e6 + file.readUInt32LE(at + 4),
      from: [...file.subarray(ip + 12, ip + 16)].join('.'),
      time: file.subarray(ip + 28, at + 16 + file.readUInt32LE(at + 8)).toString().split(',')[1] });
  }
  const momentTime = (ms) => records.filter((r) => r.from === '127.0.0.1' &&
    r.us <= records[0].us + ms * 1000).pop().time / 1e6;

  const url = `http://127.0.0.1:${HTTP_PORT + 4}/`;
  const serving = start(options.g1, ['serve', '--replay', capture, '--bind', '127.0.0.1',
    '--http', String(HTTP_PORT + 4)]);
  children.push(serving);
  await waitFor(() => serving.err.includes('instruments at'), 10000, 'g1 serve --replay');
  const page = await context.newPage();
  await page.setViewportSize({ width: 320, height: 640 });
  await page.goto(url);
  const state = () => pageText(page, '[data-stat="state"]');
  const position = () => page.locator('#seek').evaluate((s) => Number(s.value));
  await waitFor(async () => (await state()) === 'playing', 10000, 'the replay to play');
  const length = await page.locator('#seek').evaluate((s) => Number(s.max));
  check(length > 11000 && length < 15000 && (await pageText(page, '#length')) === `0:${String(Math.floor(length / 1000)).padStart(2, '0')}`,
    `the timeline shows the flight's length: ${length} ms`);
  await page.getByRole('button', { name: 'Pause' }).click();
  await waitFor(async () => (await state()) === 'paused', 5000, 'the replay to pause');
  const still = await fieldTexts(page);
  check(!(await eventually(async () => (await fieldTexts(page))[0] !== still[0], 700)),
    `paused, the values stand still at time ${still[0]}`);
  for (const ms of [2500, 9000, 4000]) {
    await page.locator('#seek').evaluate((s, to) => {
      s.value = String(to);
      s.dispatchEvent(new Event('input'));
      s.dispatchEvent(new Event('change'));
    }, ms);
    const time = momentTime(ms);
    const line = lines.find((l) => Math.abs(Number(l.split(',')[0]) - time) < 0.0005) || '';
    let shown = [];
    const same = await eventually(async () => {
      shown = await fieldTexts(page);
      return compareWithListen(shown, line);
    }, 3000);
    const span = await page.evaluate(() => {
      const s = view.samples.slice(view.firstSample);
      return s.length ? s[s.length - 1][at.time] - s[0][at.time] : -1;
    });
    // The charts hold the flight up to the moment (under a minute), a sample each 0.1 s.
    check(same && Math.abs(span - (time - Number(lines[0].split(',')[0]))) < 0.125,
      `sought to ${ms} ms: time ${shown[0]} (${time} due), charts over ${span.toFixed(2)} s, listen's line ${line}`);
  }
  await page.getByRole('button', { name: 'Play' }).click();
  await waitFor(async () => (await state()) === 'playing', 5000, 'the replay to play again');
  await page.selectOption('#speed', '4');
  const from = await position();
  const began = Date.now();
  await waitFor(async () => (await position()) >= from + 3000, 5000, 'four times the pace');
  const took = Date.now() - began;
  check(took >= 450 && took <= 1500, `at 4x, 3 s of the flight went by in ${took} ms`);
  await page.locator('#loop').check();
  check(await eventually(async () => (await position()) < from, 8000),
    'looped, the replay started over after its end');
  await page.selectOption('#sender-picker', SECOND_SENDER);
  check(await eventually(async () => (await pageText(page, '[data-field="2"]')) === SECOND_VELOCITY, 5000),
    'the picker shows the second simulator of the recording');
  const small = await page.$$eval('#timeline button, #timeline select, #seek',
    (all) => all.filter((e) => e.getBoundingClientRect().height < 44).length);
  check(small === 0 && await page.evaluate(() => document.documentElement.scrollWidth <= 320),
    `the timeline fits 320 px, every control at least 44 px high (${small} smaller)`);
  await page.screenshot({ path: join(options.out, 'replay-320.png'), fullPage: true });
  serving.child.kill('SIGINT');
  check((await serving.exited) === 0, 'g1 serve --replay ended cleanly on Ctrl+C');
}

// The sections that run Wine programs (the host emulator, g1.exe) and the rest apart, so that the
// rest can run beside other Wine programs: --part wine or --part native; both without it.
const live = options.part !== 'native';
const rest = options.part !== 'wine';
const serve = start(options.g1, ['serve', '--bind', '127.0.0.1', '--http', String(HTTP_PORT)]);
const listen = start(options.g1, ['listen', '--csv']);
const { context, close } = await launchBrowser();
let sleeper = null;
const readers = [];
const children = [];  // ended when the check ends
try {
  await waitFor(() => serve.err.includes('instruments at'), 10000, 'g1 serve to start');
  await waitFor(() => listen.err.includes('g1 listen: on'), 10000, 'g1 listen to start');
  const recording = rest ? recordForDebrief(children) : null;
  recording?.catch(() => {});  // said where the debrief waits for it

  if (live) {
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
    // The sandbox's broadcasts come from 0.0.0.0: the page names that "this machine".
    const address = await page.evaluate(() => view.sender);
    const named = await pageText(page, '[data-stat="sender"]');
    check(named === (address === '0.0.0.0' ? 'this machine' : address),
      `the sender, ${address}, shown as ${named}`);
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
    const third = await flyNatively(60, 3);
    await eventually(() => windowsReader.health && windowsReader.health.datagrams === third.frames,
      10000);
    const windowsHeard = windowsReader.health ? windowsReader.health.datagrams : -1;
    // The web side takes each sender's latest datagram: those that come together on a loaded
    // machine (one receive, one late wake of its thread) are one event.
    check(windowsHeard === third.frames && windowsReader.datagrams >= 0.6 * third.frames,
      `g1.exe serve under Wine: received ${windowsHeard} of ${third.frames} datagrams, ` +
      `a reader got ${windowsReader.datagrams} events`);
    windowsReader.request.destroy();
    windows.child.kill('SIGINT');
    const windowsCode = await windows.exited;
    check(windowsCode === 0, `g1.exe serve ended cleanly on Ctrl+C (exit code ${windowsCode})`);

  }
  if (rest) {
    // --- two simulators on one network, and a page opened late ---------------------------------
    const twoPage = `http://127.0.0.1:${HTTP_PORT + 2}/`;
    const two = start(options.g1, ['serve', '--bind', '127.0.0.1', '--http', String(HTTP_PORT + 2),
      '--port', '50020']);
    children.push(two);
    await waitFor(() => two.err.includes('instruments at'), 10000, 'the second g1 serve to start');
    const watcher = openReader(twoPage);
    readers.push(watcher);
    children.push(start(options.g1, ['send', '--fly', 'circuit', '--to', '127.0.0.1:50020',
      '--seconds', '40']));
    // Six seconds of flight before the second simulator and the page come.
    await waitFor(() => watcher.health && watcher.health.senders.length === 1 &&
      watcher.health.senders[0].datagrams >= 360, 20000, 'six seconds of the first simulator');
    children.push(openSecondSender(50020, 30));
    await waitFor(() => watcher.health.senders.length === 2, 10000, 'the second simulator heard');
    const late = await context.newPage();
    await late.goto(twoPage);
    // The charts hold the flight so far from the start: the history comes before any datagram.
    const chartSpan = () => late.evaluate(() => {
      const s = view.samples.slice(view.firstSample);
      return s.length === 0 ? -1 : s[s.length - 1][at.time] - s[0][at.time];
    });
    let span = -1;
    await waitFor(async () => (span = await chartSpan()) >= 0, 10000, 'the late page\'s charts');
    check(span >= 5, `a page opened six seconds into the flight charts ${span.toFixed(1)} s at once`);
    await waitFor(async () => (await pageText(late, '[data-stat="state"]')) === 'live', 10000,
      'the late page to go live');
    // It shows the first simulator heard, and only that one, with a picker of both.
    const velocityX = () => pageText(late, '[data-field="2"]');
    const senderShown = () => pageText(late, '[data-stat="sender"]');
    const steadily = async (sender, velocity) => {
      for (let i = 0; i < 10; i++) {
        if ((await senderShown()) !== sender || velocity((await velocityX()))) return false;
        await sleep(100);
      }
      return true;
    };
    check(await steadily('127.0.0.1', (v) => v === SECOND_VELOCITY),
      'with two simulators the page shows the first heard (127.0.0.1), not the other\'s values');
    await waitFor(async () => (await late.locator('#senders').isVisible()), 5000, 'the picker');
    const choiceText = await late.$$eval('#sender-picker option', (all) =>
      all.map((o) => `${o.value}: ${o.textContent}`).join(' | '));
    check(/^127\.0\.0\.1: .* Hz .*\| 127\.0\.0\.2: .* Hz /.test(choiceText),
      `the picker lists both simulators with their rates: ${choiceText}`);
    await late.selectOption('#sender-picker', SECOND_SENDER);
    await waitFor(async () => (await velocityX()) === SECOND_VELOCITY, 5000,
      'the page to show the second simulator');
    check(await steadily(SECOND_SENDER, (v) => v !== SECOND_VELOCITY),
      'picked, the second simulator\'s values stay on the page');
    two.child.kill('SIGINT');
    check((await two.exited) === 0, 'the second g1 serve ended cleanly on Ctrl+C');

    await debrief(children, recording);

    // --- a stderr that nobody reads ---------------------------------------------------------------
    const unread = unreadStderrRun(HTTP_PORT + 3, 50021);
    children.push(unread);
    await unread.exited;
    let seen = null;
    try { seen = JSON.parse(unread.out.trim().split('\n').pop()); } catch { seen = null; }
    if (!seen) throw new Error(`the unread stderr run failed: ${unread.out}${unread.err}`);
    check(seen.heard === seen.sent,
      `with stderr full, g1 serve received ${seen.heard} of ${seen.sent} datagrams at 1000 a second`);
    check(seen.rss_growth_kb < 4096, `and its memory grew ${seen.rss_growth_kb} kB over them`);
    check(seen.dropped_told, 'read again, its stderr told how many log lines were dropped');
    check(seen.code_1 === 0 && seen.s_1 < 5, `Ctrl+C ended it in ${seen.s_1} s (exit code ${seen.code_1})`);
    check(seen.code_2 === 130 && seen.s_2 < 1,
      `a second Ctrl+C ended it at once, in ${seen.s_2} s (exit code ${seen.code_2})`);
  }
} catch (error) {
  check(false, error.message);
} finally {
  for (const c of children) c.child.kill('SIGKILL');
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
