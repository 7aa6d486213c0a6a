#!/usr/bin/python3
# g1 publish against the bridge users write today (bench/g1_bridge.py), inside the sandbox
# (scripts/bench.sh runs it there): Debian's mosquitto on loopback, one subscriber on
# tessel/+/g1, and SENDERS simulators, each from its own address 127.0.0.K, sending valid G1
# datagrams by unicast at RATE a second for SECONDS (after WARM_S uncounted), first through one
# bridge, then the same load through the other. Prints for each: loss, latency from the send
# call to the subscriber's arrival (p50, p99, the share later than 1 ms), the bridge's and the broker's CPU time per
# datagram (the scheduler's count over each one's threads), and the ratios. Nothing passes or
# fails on time.
# Debian's /usr/bin/python3: the subscriber uses its python3-paho-mqtt.
# Usage: bridge_bench.py G1|python [SECONDS [SENDERS [RATE]]]
#   G1: the g1 program (runs `g1 publish`); "python": the script in both places, to try the bench.
import json
import os
import re
import select
import signal
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
PYTHON = "/usr/bin/python3"  # Debian's, with paho
MOSQUITTO = "/usr/sbin/mosquitto"
BROKER_PORT = 18883
G1_PORT = 50993
TOPIC = "tessel/+/g1"
START_S = 10            # how long the broker, the subscriber or a bridge may take to be ready
DRAIN_S = 1.0           # after the last send; what comes later counts as lost
WARM_S = 6              # the load runs this long before it is counted
PROBE_PERIOD_S = 0.1    # a probe datagram this often until one reaches the subscriber
TIME_STEP_US = 16667    # each sender's time field advances by one 60 Hz frame per datagram
FIRST_TIME_US = 1000000  # probes carry smaller times, so they never match a measured datagram
VALUES = "50000,0,-1000,120,-35,1571,10,20,30,0,0,-9810,"  # positions 2 to 13, plausible flight


def refuse_outside_sandbox():
    why = subprocess.run(
        ["bash", "-c", ". scripts/lib/sandbox_check.sh && tessel_netns_refusal"],
        cwd=ROOT, capture_output=True, text=True).stdout.strip()
    if why:
        sys.exit(f"bridge bench: refusing to run outside the project's sandbox ({why}); "
                 "./run bench runs me in the sandbox")


def cpu_ns(pid):
    """The scheduler's count of CPU time over the process's threads, in nanoseconds."""
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/schedstat") as f:
                total += int(f.read().split()[0])
        except FileNotFoundError:
            pass  # a thread that ended in between
    return total


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))] if ordered else 0


def datagram(time_us):
    return f"G1,{time_us},{VALUES}".encode()


def wait_for_port(port, process, what):
    deadline = time.monotonic() + START_S
    while time.monotonic() < deadline:
        if process.poll() is not None:
            sys.exit(f"bridge bench: {what} ended at start (status {process.returncode})")
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.5).close()
            return
        except OSError:
            time.sleep(0.05)
    sys.exit(f"bridge bench: {what} did not listen within {START_S} s")


def read_line(process, timeout_s, what):
    ready, _, _ = select.select([process.stdout], [], [], timeout_s)
    if not ready:
        sys.exit(f"bridge bench: {what} within {timeout_s} s")
    line = process.stdout.readline()
    if not line:
        sys.exit(f"bridge bench: the subscriber ended: {what}")
    return line


def subscribe(port):
    """The subscriber, in a process of its own: says when subscribed and when the first message
    came, then keeps (topic, time field, arrival) of each until SIGINT and prints them."""
    import paho.mqtt.client as mqtt
    got = []
    if hasattr(mqtt, "CallbackAPIVersion"):
        client = mqtt.Client(mqtt.CallbackAPIVersion.VERSION1)
    else:
        client = mqtt.Client()

    def on_connect(c, userdata, flags, rc):
        c.subscribe(TOPIC, qos=0)

    def on_subscribe(c, userdata, mid, granted):
        print("subscribed", flush=True)

    def on_message(c, userdata, message):
        now = time.monotonic_ns()
        if not got:
            print("first", flush=True)
        got.append((message.topic, message.payload, now))

    client.on_connect = on_connect
    client.on_subscribe = on_subscribe
    client.on_message = on_message
    client.connect("127.0.0.1", port)
    signal.signal(signal.SIGINT, lambda *_: client.disconnect())
    client.loop_forever()
    for topic, payload, now in got:
        fields = payload.split(b",")
        number = fields[1] if len(fields) > 1 else b""
        time_field = int(number) if number.lstrip(b"-").isdigit() else None
        print(json.dumps([topic, time_field, now]))


def run_bridge(name, command, seconds, senders, rate):
    subscriber = subprocess.Popen([PYTHON, __file__, "--subscribe", str(BROKER_PORT)],
                                  stdout=subprocess.PIPE, text=True)
    read_line(subscriber, START_S, "the subscriber did not subscribe")
    # Its messages go to a file: a pipe nobody reads during the run could fill and stop it.
    said = tempfile.TemporaryFile(mode="w+")
    bridge = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=said)

    def closing_line():
        said.seek(0)
        lines = said.read().strip().splitlines()
        return lines[-1] if lines else ""
    sockets = []
    for k in range(1, senders + 1):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.bind((f"127.0.0.{k}", 0))
        sockets.append(s)
    target = ("127.0.0.1", G1_PORT)

    # Probes until the bridge has its socket and its broker connection and the subscriber has a
    # message: the load starts on a path that works end to end.
    deadline = time.monotonic() + START_S
    probe = 0
    while not select.select([subscriber.stdout], [], [], 0)[0]:
        if time.monotonic() > deadline or bridge.poll() is not None:
            bridge.kill()
            subscriber.kill()
            bridge.wait()
            sys.exit(f"bridge bench: nothing through {name} within {START_S} s: {closing_line()}")
        probe += 1
        sockets[0].sendto(datagram(probe), target)
        time.sleep(PROBE_PERIOD_S)
    read_line(subscriber, 1, "no first message")
    time.sleep(PROBE_PERIOD_S * 2)  # the probes still on their way, before the count starts

    sent_at = {}
    warm = int(WARM_S * rate)
    per_sender = int(seconds * rate)
    period_ns = 1_000_000_000 // rate
    start = time.monotonic_ns() + 10_000_000
    # Sender k's j-th datagram is due at start + j periods + k/senders of a period: the senders
    # are spread evenly over each frame, as unsynchronised simulators would be. The first WARM_S
    # seconds are not counted: a bridge may take a while to settle with every sender heard.
    for j in range(warm + per_sender):
        if j == warm:
            broker_cpu_before = cpu_ns(broker_pid)
            cpu_before = cpu_ns(bridge.pid)
            counted_from = time.monotonic_ns()
        time_us = FIRST_TIME_US + j * TIME_STEP_US
        payload = datagram(time_us)
        for k, s in enumerate(sockets):
            due = start + j * period_ns + k * period_ns // senders
            left = due - time.monotonic_ns()
            if left > 200_000:
                time.sleep((left - 100_000) / 1e9)
            if j >= warm:
                sent_at[(f"127.0.0.{k + 1}", time_us)] = time.monotonic_ns()
            s.sendto(payload, target)
    sent_s = (time.monotonic_ns() - counted_from) / 1e9
    time.sleep(DRAIN_S)
    cpu = cpu_ns(bridge.pid) - cpu_before
    broker_cpu = cpu_ns(broker_pid) - broker_cpu_before

    bridge.send_signal(signal.SIGINT)
    try:
        bridge.wait(timeout=START_S)
        closing = closing_line()
    except subprocess.TimeoutExpired:
        bridge.kill()
        bridge.wait()
        closing = f"did not end within {START_S} s of Ctrl+C and was killed; {closing_line()}"
    subscriber.send_signal(signal.SIGINT)
    records, _ = subscriber.communicate(timeout=START_S * 3)

    latencies = []
    for line in records.splitlines():
        topic, time_field, arrived = json.loads(line)
        key = (topic.split("/")[1], time_field)
        if key in sent_at:
            latencies.append((arrived - sent_at.pop(key)) / 1000)
    count = per_sender * senders
    return {
        "name": name,
        "sent": count,
        "rate": count / sent_s,
        "lost": count - len(latencies),
        "p50": percentile(latencies, 0.5),
        "p99": percentile(latencies, 0.99),
        "over_1ms": sum(1 for x in latencies if x > 1000) / count,
        "cpu": cpu / count / 1000,
        "broker_cpu": broker_cpu / count / 1000,
        "closing": closing,
    }


def ratio(a, b):
    return f"{a / b:.2f}" if b > 0 else "-"


def main():
    global broker_pid
    g1 = sys.argv[1]
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 10
    senders = int(sys.argv[3]) if len(sys.argv) > 3 else 50
    rate = int(sys.argv[4]) if len(sys.argv) > 4 else 60
    refuse_outside_sandbox()
    script = [PYTHON, os.path.join(HERE, "g1_bridge.py"), "127.0.0.1", str(BROKER_PORT),
              str(G1_PORT)]
    if g1 != "python" and not re.search(r"^\s+publish\s", subprocess.run(
            [g1, "--help"], capture_output=True, text=True).stdout, re.MULTILINE):
        print(f"bridge bench: {g1} has no publish subcommand; the script takes its place")
        g1 = "python"
    if g1 == "python":
        first = ("script (trial)", script)
    else:
        first = ("g1 publish", [g1, "publish", "--broker", f"127.0.0.1:{BROKER_PORT}",
                                "--port", str(G1_PORT)])
    with tempfile.TemporaryDirectory() as folder:
        config = os.path.join(folder, "mosquitto.conf")
        with open(config, "w") as f:
            f.write(f"listener {BROKER_PORT} 127.0.0.1\nallow_anonymous true\n"
                    "persistence false\nlog_dest none\n")
        broker = subprocess.Popen([MOSQUITTO, "-c", config], stdout=subprocess.DEVNULL,
                                  stderr=subprocess.PIPE, text=True)
        broker_pid = broker.pid
        try:
            wait_for_port(BROKER_PORT, broker, "mosquitto")
            version = subprocess.run([MOSQUITTO, "-h"], capture_output=True,
                                     text=True).stdout.splitlines()[0]
            print(f"{version}, on 127.0.0.1; {senders} senders (127.0.0.1 to 127.0.0.{senders}) "
                  f"at {rate} Hz each for {seconds:g} s after {WARM_S} s uncounted; one subscriber "
                  f"on {TOPIC}")
            results = [run_bridge(first[0], first[1], seconds, senders, rate),
                       run_bridge("g1_bridge.py", script, seconds, senders, rate)]
        finally:
            broker.terminate()
            broker.wait(timeout=START_S)
    a, b = results
    rows = [
        ("datagrams sent (rate /s)", lambda r: f"{r['sent']} ({r['rate']:.0f})", None),
        ("lost", lambda r: f"{r['lost']} ({100 * r['lost'] / r['sent']:.2f} %)", "lost"),
        ("latency p50 (us)", lambda r: f"{r['p50']:.0f}", "p50"),
        ("latency p99 (us)", lambda r: f"{r['p99']:.0f}", "p99"),
        ("arrived after 1 ms", lambda r: f"{100 * r['over_1ms']:.2f} %", "over_1ms"),
        ("bridge CPU per datagram (us)", lambda r: f"{r['cpu']:.1f}", "cpu"),
        ("broker CPU per datagram (us)", lambda r: f"{r['broker_cpu']:.1f}", "broker_cpu"),
    ]
    print(f"{'':30} {a['name']:>16} {b['name']:>16} {'ratio':>8}")
    for label, shown, key in rows:
        print(f"{label:30} {shown(a):>16} {shown(b):>16} "
              f"{ratio(a[key], b[key]) if key else '':>8}")
    for r in results:
        print(f"{r['name']} said: {r['closing']}")


if __name__ == "__main__":
    if sys.argv[1:2] == ["--subscribe"]:
        subscribe(int(sys.argv[2]))
    else:
        main()
