#!/usr/bin/python3
# g1 publish --influx against the bridge a user would write (bench/g1_influx_bridge.py, Debian's
# python3-influxdb), inside the sandbox (scripts/bench.sh runs it there): Debian's influxd on
# loopback behind a small recording proxy, and SENDERS simulators (127.0.0.K) sending valid G1 at
# RATE a second for SECONDS (after WARM_S uncounted), first through one bridge, then the same load
# through the other. Prints for each: points lost, the delay from the send call to influxd's
# answer to the write that carried the point (p50, p99; the proxy's own hop included, the same
# for both), the bridge's CPU time per datagram, and the ratios. Nothing passes or fails on time.
# Usage: influx_bench.py G1|python [SECONDS [SENDERS [RATE]]]
import gzip
import http.client
import http.server
import json
import os
import select
import signal
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bridge_bench import (G1_PORT, PYTHON, START_S, WARM_S, FIRST_TIME_US, TIME_STEP_US, cpu_ns,  # noqa: E402
                          datagram, percentile, read_line, refuse_outside_sandbox, wait_for_port)

HERE = os.path.dirname(os.path.abspath(__file__))
INFLUXD = "/usr/bin/influxd"
INFLUX_PORT, RPC_PORT, PROXY_PORT = 18086, 18088, 18087
DATABASE = "bench"
DRAIN_S = 2.0  # after the last send; what comes later counts as lost
PROBE_PERIOD_S = 0.1


def proxy(listen_port, influx_port):
    """Forwards each write to influxd; keeps its body and the time influxd answered, says "first"
    at the first written, and at SIGINT prints [sender, time in ms, answered ns] per point."""
    kept, lock, local = [], threading.Lock(), threading.local()

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, *_):
            pass

        def do_POST(self):
            body = self.rfile.read(int(self.headers["Content-Length"]))
            if not hasattr(local, "influx"):
                local.influx = http.client.HTTPConnection("127.0.0.1", influx_port)
            headers = {k: v for k, v in self.headers.items()
                       if k.lower() in ("content-type", "content-encoding", "authorization")}
            local.influx.request("POST", self.path, body, headers)
            answer = local.influx.getresponse()
            said = answer.read()
            done = time.monotonic_ns()
            if 200 <= answer.status < 300:
                with lock:
                    if not kept:
                        print("first", flush=True)
                    kept.append((body, self.headers.get("Content-Encoding"), done))
            self.send_response(answer.status)
            self.send_header("Content-Length", str(len(said)))
            self.end_headers()
            self.wfile.write(said)

    server = http.server.ThreadingHTTPServer(("127.0.0.1", listen_port), Handler)
    signal.signal(signal.SIGINT, lambda *_: threading.Thread(target=server.shutdown).start())
    print("listening", flush=True)
    server.serve_forever()
    for body, encoding, done in kept:
        text = gzip.decompress(body) if encoding == "gzip" else body
        for line in text.decode().splitlines():
            tags, fields = line.split(" ")[:2]
            sender = tags.split("sender=")[1].split(",")[0]
            time_s = float(fields.split("time_s=")[1].split(",")[0])
            print(json.dumps([sender, int(time_s * 1000 + 0.5 + 1e-6), done]))


def run_bridge(name, command, seconds, senders, rate):
    recorder = subprocess.Popen([PYTHON, __file__, "--proxy", str(PROXY_PORT), str(INFLUX_PORT)],
                                stdout=subprocess.PIPE, text=True)
    read_line(recorder, START_S, "the proxy did not listen")
    said = tempfile.TemporaryFile(mode="w+")
    bridge = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=said)
    sockets = []
    for k in range(1, senders + 1):
        s = __import__("socket").socket(2, 2)
        s.bind((f"127.0.0.{k}", 0))
        sockets.append(s)
    target = ("127.0.0.1", G1_PORT)
    deadline, probe = time.monotonic() + START_S, 0
    while not select.select([recorder.stdout], [], [], 0)[0]:
        if time.monotonic() > deadline or bridge.poll() is not None:
            bridge.kill()
            recorder.kill()
            sys.exit(f"influx bench: nothing through {name} within {START_S} s")
        probe += 1
        sockets[0].sendto(datagram(probe), target)
        time.sleep(PROBE_PERIOD_S)
    read_line(recorder, 1, "no first write")
    time.sleep(PROBE_PERIOD_S * 2)

    sent_at, warm, per_sender = {}, int(WARM_S * rate), int(seconds * rate)
    period_ns = 1_000_000_000 // rate
    start = time.monotonic_ns() + 10_000_000
    for j in range(warm + per_sender):
        if j == warm:
            cpu_before, influxd_before = cpu_ns(bridge.pid), cpu_ns(influxd_pid)
            counted_from = time.monotonic_ns()
        time_us = FIRST_TIME_US + j * TIME_STEP_US
        payload = datagram(time_us)
        for k, s in enumerate(sockets):
            due = start + j * period_ns + k * period_ns // senders
            left = due - time.monotonic_ns()
            if left > 200_000:
                time.sleep((left - 100_000) / 1e9)
            if j >= warm:
                sent_at[(f"127.0.0.{k + 1}", (time_us + 500) // 1000)] = time.monotonic_ns()
            s.sendto(payload, target)
    sent_s = (time.monotonic_ns() - counted_from) / 1e9
    time.sleep(DRAIN_S)
    cpu, influxd_cpu = cpu_ns(bridge.pid) - cpu_before, cpu_ns(influxd_pid) - influxd_before
    bridge.send_signal(signal.SIGINT)
    try:
        bridge.wait(timeout=START_S)
    except subprocess.TimeoutExpired:
        bridge.kill()
        bridge.wait()
    said.seek(0)
    closing = (said.read().strip().splitlines() or [""])[-1]
    recorder.send_signal(signal.SIGINT)
    records, _ = recorder.communicate(timeout=START_S * 6)
    delays = []
    for line in records.splitlines()[0:]:
        if not line.startswith("["):
            continue
        sender, ms, done = json.loads(line)
        if (sender, ms) in sent_at:
            delays.append((done - sent_at.pop((sender, ms))) / 1000)
    count = per_sender * senders
    return {"name": name, "sent": count, "rate": count / sent_s, "lost": count - len(delays),
            "p50": percentile(delays, 0.5), "p99": percentile(delays, 0.99),
            "cpu": cpu / count / 1000, "influxd_cpu": influxd_cpu / count / 1000,
            "closing": closing}


def main():
    global influxd_pid
    g1 = sys.argv[1]
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 10
    senders = int(sys.argv[3]) if len(sys.argv) > 3 else 50
    rate = int(sys.argv[4]) if len(sys.argv) > 4 else 60
    refuse_outside_sandbox()
    script = [PYTHON, os.path.join(HERE, "g1_influx_bridge.py"), "127.0.0.1", str(PROXY_PORT),
              DATABASE, str(G1_PORT)]
    first = ("script (trial)", script) if g1 == "python" else (
        "g1 publish", [g1, "publish", "--port", str(G1_PORT), "--influx",
                       f"http://127.0.0.1:{PROXY_PORT}/write?db={DATABASE}"])
    with tempfile.TemporaryDirectory() as folder:
        config = os.path.join(folder, "influxdb.conf")
        with open(config, "w") as f:
            f.write(f'reporting-disabled = true\nbind-address = "127.0.0.1:{RPC_PORT}"\n'
                    f'[meta]\n  dir = "{folder}/meta"\n[data]\n  dir = "{folder}/data"\n'
                    f'  wal-dir = "{folder}/wal"\n  query-log-enabled = false\n'
                    f'[monitor]\n  store-enabled = false\n'
                    f'[http]\n  bind-address = "127.0.0.1:{INFLUX_PORT}"\n  log-enabled = false\n')
        influxd = subprocess.Popen([INFLUXD, "-config", config], stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        influxd_pid = influxd.pid
        try:
            wait_for_port(INFLUX_PORT, influxd, "influxd")
            for _ in range(START_S * 10):
                c = http.client.HTTPConnection("127.0.0.1", INFLUX_PORT)
                try:
                    c.request("POST", f"/query?q=CREATE+DATABASE+{DATABASE}")
                    if c.getresponse().status == 200:
                        break
                except OSError:
                    pass
                time.sleep(0.1)
            print(f"influxd {subprocess.run([INFLUXD, 'version'], capture_output=True, text=True).stdout.strip()}"
                  f", on 127.0.0.1 behind a recording proxy; {senders} senders at {rate} Hz each "
                  f"for {seconds:g} s after {WARM_S} s uncounted")
            results = [run_bridge(first[0], first[1], seconds, senders, rate),
                       run_bridge("g1_influx_bridge.py", script, seconds, senders, rate)]
        finally:
            influxd.terminate()
            influxd.wait(timeout=START_S)
    a, b = results
    ratio = lambda x, y: f"{x / y:.2f}" if y > 0 else "-"  # noqa: E731
    rows = [("points sent (rate /s)", lambda r: f"{r['sent']} ({r['rate']:.0f})", None),
            ("lost", lambda r: f"{r['lost']}", "lost"),
            ("delay p50 (us)", lambda r: f"{r['p50']:.0f}", "p50"),
            ("delay p99 (us)", lambda r: f"{r['p99']:.0f}", "p99"),
            ("bridge CPU per datagram (us)", lambda r: f"{r['cpu']:.1f}", "cpu"),
            ("influxd CPU per datagram (us)", lambda r: f"{r['influxd_cpu']:.1f}", "influxd_cpu")]
    print(f"{'':30} {a['name']:>16} {b['name']:>20} {'ratio':>8}")
    for label, shown, key in rows:
        print(f"{label:30} {shown(a):>16} {shown(b):>20} {ratio(a[key], b[key]) if key else '':>8}")
    for r in results:
        print(f"{r['name']} said: {r['closing']}")


if __name__ == "__main__":
    if sys.argv[1:2] == ["--proxy"]:
        proxy(int(sys.argv[2]), int(sys.argv[3]))
    else:
        main()
