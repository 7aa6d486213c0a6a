#!/usr/bin/env bash
# g1 and Debian's mosquitto on a loopback port, in the sandbox: g1 send --fly's datagrams (the
# plug-in's, byte for byte: record.sh) through g1 publish to a subscriber, their values, status,
# will and a broker restart; g1 listen and serve with two senders from it; a message too large;
# passing senders' statuses; a broker that stops reading; what g1 refuses; a broker that never
# answers. Needing no Wine, it runs beside the Wine checks; g1.exe's client is broker_wine.sh's.
# time limit: 240 s
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
cd "$root"

. scripts/lib/sandbox_check.sh
tessel_require_sandbox "broker check" "run me through ./run sandbox $0"

fail() { echo "broker check: $*" >&2; exit 1; }

g1="$root/build/native/bin/g1"
py=/usr/bin/python3  # Debian's, with the MQTT client
fields="$root/build/native/bin/g1_field_table"
for f in "$g1" "$fields" /usr/sbin/mosquitto /usr/bin/mosquitto_passwd; do
  [ -x "$f" ] || fail "$f is missing: build the native preset; ./run setup installs mosquitto"
done

frames=180 rate=60 field_rate=10
out="$root/build/broker-check"
rm -rf "$out" && mkdir -p "$out"
. scripts/lib/broker_check.sh

now() { "$py" -c 'import time; print(time.monotonic())'; }

port="$(free_port)"
broker_start "$port" "allow_anonymous true"
main_broker="$broker_pid"

# The subscriber: every message as a line of JSON, with its arrival time on the monotonic clock.
"$py" - "$port" "$out/messages.jsonl" <<'PY' 2>"$out/subscriber.log" &
import json, sys, time
import paho.mqtt.client as mqtt
out, c = open(sys.argv[2], "w", buffering=1), mqtt.Client()
write = lambda row: out.write(json.dumps(dict(row, t=time.monotonic())) + "\n")
c.on_connect = lambda c, _u, _f, rc: (c.subscribe("tessel/#"), write({"connected": rc}))
c.on_message = lambda _c, _u, m: write({"topic": m.topic, "hex": m.payload.hex()})
c.reconnect_delay_set(1, 1)
c.connect("127.0.0.1", int(sys.argv[1]))
c.loop_forever(retry_first_connection=True)
PY
children+=($!)
wait_for 10 "the subscriber did not connect" said messages.jsonl '"connected": 0'

# At least COUNT messages on TOPIC after monotonic time SINCE, with PAYLOAD unless it is "*".
seen() {  # topic payload since [count]
  "$py" - "$out/messages.jsonl" "$@" <<'PY'
import json, sys
topic, payload, since = sys.argv[2], sys.argv[3].encode().hex(), float(sys.argv[4])
rows = [json.loads(l) for l in open(sys.argv[1]) if l.endswith("\n")]  # the last may be in part
n = sum(r.get("topic") == topic and payload in (r["hex"], "2a") and r["t"] > since for r in rows)
sys.exit(n < int((sys.argv[5:] or [1])[0]))
PY
}
# The address the sandbox's broadcasts leave from: its broadcast route on lo names none, so 0.0.0.0.
sender="$(ip -4 route get 255.255.255.255 | sed -n 's/.* src \([0-9.]*\).*/\1/p')"
sender="${sender:-0.0.0.0}"
count_on() { grep -c "\"topic\": \"$1\"" "$out/messages.jsonl" || true; }
datagrams_at_least() { [ "$(count_on "tessel/$sender/g1")" -ge "$1" ]; }
status="tessel/$sender/status"

publish_start() {  # log
  "$g1" publish --broker "127.0.0.1:$port" --fields --rate "$field_rate" 2>"$out/$1" &
  publisher=$!
  children+=("$publisher")
  wait_for 10 "g1 publish did not connect (its log: $out/$1)" said "$1" "connected to the broker"
}

# 1. A flight through g1 publish, recorded beside it from the same broadcasts.
"$g1" record "$out/flight.pcap" --count "$frames" --seconds 60 2>"$out/record.log" &
record=$!
children+=("$record")
publish_start publish.log
wait_for 10 "g1 record did not start" said record.log "on 0"
start="$(now)"
"$g1" send --fly circuit --rate "$rate" --count "$frames" >"$out/send.log" 2>&1 ||
  fail "g1 send: $(cat "$out/send.log")"
wait "$record" || fail "g1 record: $(cat "$out/record.log")"
wait_for 10 "the subscriber did not get $frames datagrams" datagrams_at_least "$frames"
wait_for 15 "the sender's status did not go offline when it fell silent" seen "$status" offline "$start"
"$py" - "$out/flight.pcap" "$out/messages.jsonl" "$fields" "$field_rate" "tessel/$sender/g1" \
  <<'PY' || fail "the first flight"
import json, math, struct, subprocess, sys
pcap, messages, dump, field_rate, topic = sys.argv[1], sys.argv[2], sys.argv[3], float(sys.argv[4]), sys.argv[5]
data, at, sent = open(pcap, "rb").read(), 24, []
while at + 16 <= len(data):
    _, _, kept, _ = struct.unpack_from("<IIII", data, at)
    ip = data[at + 16: at + 16 + kept]
    sent.append(ip[(ip[0] & 15) * 4 + 8:])
    at += 16 + kept
rows = [json.loads(l) for l in open(messages) if '"topic"' in l]
got = [bytes.fromhex(r["hex"]) for r in rows if r["topic"] == topic]
if got != sent:
    sys.exit(f"{len(got)} datagrams at the subscriber, not the {len(sent)} sent, byte for byte")
# The values: each group of 13 follows the datagram it was made from (one connection keeps the
# order), in the page's units, worked out here on their own from the field table.
table = [l.split("\t") for l in subprocess.run([dump], capture_output=True, text=True).stdout.splitlines()[1:]]
names = [t[1] for t in table]
def shown(kind, raw):  # ms for the time, tenths of a degree for radians * 1000, else thousandths
    n, d = {"time": (round(raw / 1000), 3), "linear": (raw, 3)}.get(kind, (round(math.degrees(raw / 1000) * 10), 1))
    return ("-" if n < 0 else "") + f"{abs(n) // 10**d}.{abs(n) % 10**d:0{d}d}"
groups, wrong, last = [], [], None
for r in rows:
    leaf, text = r["topic"].rsplit("/", 1)[1], bytes.fromhex(r["hex"]).decode()
    if leaf == "g1":
        last = [int(v) for v in text.split(",")[1:14]]
    elif leaf in names:
        i = names.index(leaf)
        groups += [last[0] / 1e6] if i == 0 else []
        wrong += [] if text == shown(table[i][7], last[i]) else [f"{leaf} {text} from {last[i]}"]
if wrong or any(sum(r["topic"].endswith("/" + n) for r in rows) != len(groups) for n in names):
    sys.exit(f"values not in the page's units or not 13 a datagram: {wrong[:3]}")
most, span = max(sum(t <= u < t + 1 for u in groups) for t in groups), (len(sent) - 1) / 60
if most > field_rate + 1 or len(groups) < span * field_rate * 0.7:
    sys.exit(f"{len(groups)} sets of values over {span:.1f} s, {most} in one second, at --rate {field_rate}")
print(f"{len(groups)} sets of values over {span:.1f} s of flight, at most {most} in one second")
PY
echo "broker check: $frames datagrams through g1 publish to a subscriber, byte for byte, and their values"

# The same datagrams back to back from another address: g1 publish takes them in full batches and
# writes each batch at once; all of them arrive, in order, byte for byte.
burst_topic=tessel/127.0.0.2/g1
"$py" - "$out/flight.pcap" <<'PY' || fail "the burst could not be sent"
import socket, struct, sys
data, at, s = open(sys.argv[1], "rb").read(), 24, socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.2", 0))
while at + 16 <= len(data):
    kept = struct.unpack_from("<IIII", data, at)[2]
    ip = data[at + 16: at + 16 + kept]
    s.sendto(ip[(ip[0] & 15) * 4 + 8:], ("127.0.0.1", 50010))
    at += 16 + kept
PY
burst_all() { [ "$(count_on "$burst_topic")" -ge "$frames" ]; }
wait_for 10 "the subscriber did not get the $frames datagrams of the burst" burst_all
"$py" - "$out/flight.pcap" "$out/messages.jsonl" "$burst_topic" <<'PY' || fail "the burst"
import json, sys
rows = [json.loads(l) for l in open(sys.argv[2]) if '"topic"' in l]
got = [r["hex"] for r in rows if r["topic"] == sys.argv[3]]
first = [r["hex"] for r in rows if r["topic"].endswith("/g1")][:len(got)]
if got != first:
    sys.exit(f"{len(got)} datagrams of the burst, not the flight's {len(first)} in order")
PY
echo "broker check: a burst of $frames datagrams through g1 publish, in order, byte for byte"

# 2. The broker stopped and started again while a simulator flies: g1 publish says so, counts
# what it could not publish, reconnects, and the status comes back online.
second="$(now)"
"$g1" send --fly circuit --rate "$rate" --seconds 60 >"$out/send2.log" 2>&1 &  # Ctrl+C ends it
flying=$!
children+=("$flying")
before="$(count_on "tessel/$sender/g1")"
wait_for 10 "the second flight did not reach the subscriber" datagrams_at_least "$((before + rate))"
wait_for 10 "the status did not go online" seen "$status" online "$second"
kill "$main_broker"
wait "$main_broker" || true
wait_for 10 "g1 publish did not notice the broker going" said publish.log "lost the connection to the broker"
restart="$(now)"
broker_start "$port" "allow_anonymous true"
main_broker="$broker_pid"
wait_for 20 "the status did not come back online" seen "$status" online "$restart"
# g1 publish's own connection is back (the status has one of its own): a second of the flight.
wait_for 10 "few datagrams after the broker came back" seen "tessel/$sender/g1" "*" "$restart" "$rate"
kill -INT "$flying"
wait "$flying" || fail "g1 send: $(cat "$out/send2.log")"
kill -INT "$publisher"
wait "$publisher" || fail "g1 publish ended with an error: $(cat "$out/publish.log")"
line="$(grep "^g1 publish: published" "$out/publish.log")" || fail "no closing line: $(cat "$out/publish.log")"
[[ "$line" =~ dropped\ ([1-9][0-9]*)\ messages.*,\ 1\ reconnects ]] ||
  fail "the closing line counts no drops or not one reconnect: $line"
echo "broker check: broker restarted mid-flight; g1 publish reconnected: $line"

# 3. The last will: g1 publish killed while a sender is online; the broker says offline for it.
publish_start publish2.log
third="$(now)"
"$g1" send --fly circuit --rate "$rate" --seconds 30 >"$out/send3.log" 2>&1 &
flying=$!
children+=("$flying")
wait_for 10 "the status did not go online" seen "$status" online "$third"
killed="$(now)"
{ kill -KILL "$publisher" && wait "$publisher"; } 2>/dev/null || true
wait_for 20 "the broker did not say offline for the sender of a killed g1 publish" \
  seen "$status" offline "$killed"
kill "$flying"
echo "broker check: a killed g1 publish leaves its sender offline by the last will"

# 4. Two senders through one broker to g1 listen and g1 serve, each with its own values.
"$g1" listen --broker "127.0.0.1:$port" --csv --count 40 --seconds 60 >"$out/listen.csv" \
  2>"$out/listen.log" &
listener=$!
"$g1" serve --broker "127.0.0.1:$port" --http 0 --bind 127.0.0.1 --seconds 60 2>"$out/serve.log" &
server=$!
children+=("$listener" "$server")
for log in listen serve; do
  wait_for 10 "g1 $log --broker did not connect" said "$log.log" "connected to the broker"
done
http="$(sed -n 's|.*instruments at http://127.0.0.1:\([0-9]*\)/.*|\1|p' "$out/serve.log")"
[ -n "$http" ] || fail "g1 serve printed no address: $(cat "$out/serve.log")"
"$py" - "$port" "$out/two.stop" <<'PY' 2>"$out/two.log" &
import os, sys, time
import paho.mqtt.client as mqtt
c, n = mqtt.Client(), 0
c.connect("127.0.0.1", int(sys.argv[1]))
c.loop_start()
while not os.path.exists(sys.argv[2]) and n < 2000:
    # 10.1.0.1 flies at 1 m/s from 100 s, 10.1.0.2 at 2 m/s from 500 s, each its own time.
    c.publish("tessel/10.1.0.1/g1", b"G1,%d,1000,0,0,0,0,0,0,0,0,0,0,0," % (100_000_000 + n * 10000))
    c.publish("tessel/10.1.0.2/g1", b"G1,%d,2000,0,0,0,0,0,0,0,0,0,0,0," % (500_000_000 + n * 10000))
    c.publish("tessel/not-a-sender/g1", b"G1,0,0,0,0,0,0,0,0,0,0,0,0,0,")
    n += 1
    time.sleep(0.02)
PY
children+=($!)
"$py" - "$http" <<'PY' || { touch "$out/two.stop"; fail "g1 serve --broker did not show both senders"; }
import json, sys, urllib.request
# Each sender on a page of its own, with only its own values and times; the health lists both.
def events(sender):
    url = f"http://127.0.0.1:{sys.argv[1]}/events?sender={sender}"
    request = urllib.request.Request(url, headers={"Accept": "text/event-stream"})
    return urllib.request.urlopen(request, timeout=20)
for sender, velocity, first, last in (("10.1.0.1", "1.000", 100, 200), ("10.1.0.2", "2.000", 500, 600)):
    shown, listed = [], set()
    with events(sender) as stream:
        for line in stream:
            if line.startswith(b'data: {"datagrams"'):
                listed.update(s["sender"] for s in json.loads(line[6:]).get("senders", []))
            elif line.startswith(b'data: {"n"'):
                event = json.loads(line[6:])
                shown.append((event.get("sender"), event["v"][1], float(event["v"][0])))
            if len(shown) >= 5 and {"10.1.0.1", "10.1.0.2"} <= listed:
                break
    if any(s != sender or v != velocity or not first <= t < last for s, v, t in shown):
        sys.exit(f"page of {sender} showed {shown}")
PY
wait "$listener" || fail "g1 listen --broker: $(cat "$out/listen.log")"
touch "$out/two.stop"
"$py" - "$out/listen.csv" <<'PY' || fail "g1 listen --broker: $(cat "$out/listen.log")"
import csv, sys
rows = list(csv.DictReader(open(sys.argv[1])))
a = [float(r["time_s"]) for r in rows if r["velocity_x"] == "1.000"]
b = [float(r["time_s"]) for r in rows if r["velocity_x"] == "2.000"]
if len(rows) != 40 or not a or not b or len(a) + len(b) != 40 or max(a) > 200 or min(b) < 500:
    sys.exit(f"{len(rows)} rows, {len(a)} of the first sender, {len(b)} of the second")
PY
kill -INT "$server"
wait "$server" || fail "g1 serve --broker: $(cat "$out/serve.log")"
grep -Eq " [1-9][0-9]* messages on topics that name no sender" "$out/serve.log" ||
  fail "g1 serve did not count tessel/not-a-sender/g1: $(cat "$out/serve.log")"
echo "broker check: g1 listen and g1 serve took two senders from one broker, each with its own values"

# 5. A message larger than all the memory g1 may take: the broker drops it on its way to g1
# (MQTT 5's maximum packet size); the good datagram after it is shown. (A prefix of its own: the
# subscriber above would write it.)
"$g1" listen --broker "127.0.0.1:$port" --topic-prefix large --csv >"$out/large.csv" 2>"$out/large.log" &
large=$!
children+=("$large")
wait_for 10 "g1 listen --broker did not connect" said large.log "connected to the broker"
"$py" - "$port" <<'PY' || fail "the large message could not be published"
import sys
import paho.mqtt.client as mqtt
c = mqtt.Client()
c.connect("127.0.0.1", int(sys.argv[1]))
c.loop_start()
for payload in (b"G1," + b"7" * 80_000_000, b"G1,123456789,4321,0,0,0,0,0,0,0,0,0,0,0,"):
    c.publish("large/1.2.3.4/g1", payload, qos=1).wait_for_publish()
PY
wait_for 10 "g1 listen did not show the datagram after the large one" said large.csv ',4.321,'
peak_kb="$(awk '/^VmHWM/ {print $2}' "/proc/$large/status")"
kill -INT "$large"
wait "$large" || fail "g1 listen --broker: $(cat "$out/large.log")"
[ "$peak_kb" -lt 65536 ] || fail "g1 listen held ${peak_kb} kB at its peak after an 80 MB message"
echo "broker check: an 80 MB message dropped on its way to g1 listen (peak ${peak_kb} kB), the next one shown"

# 6. 300 senders heard once leave no status at the broker, nor do steady ones that left the sender
# table (one gone offline, one still online); one that keeps flying stays online.
publish_start publish3.log
fourth="$(now)"
"$g1" send --fly circuit --rate "$rate" --seconds 40 >"$out/send4.log" 2>&1 &
flying=$!
children+=("$flying")
wait_for 10 "the flying sender's status did not go online" seen "$status" online "$fourth"
from_each() {  # count gap address...: COUNT datagrams (of one length) GAP s apart from each ADDRESS
  "$py" -c 'import socket, sys, time
gap = float(sys.argv[2])
for ip in sys.argv[3:]:
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((ip, 0))
    for i in range(int(sys.argv[1])):
        s.sendto(b"G1,%d,0,0,0,0,0,0,0,0,0,0,0,0," % (100_000_000 + i * 10), ("127.0.0.1", 50010))
        if gap or i % 64 == 63:  # no gap: the receiver gets a turn every 64, its buffer holds more
            time.sleep(gap)' "$@" || fail "could not send from $3"
}
from_each 30 0.05 127.0.0.5
wait_for 10 "a steady sender did not go offline" seen tessel/127.0.0.5/status offline "$fourth"
from_each 30 0.05 127.0.0.6
seen tessel/127.0.0.6/status online "$fourth" || fail "a steady sender was not said online"
from_each 1 0.005 $(for i in $(seq 0 299); do echo "127.0.$((1 + i / 250)).$((1 + i % 250))"; done)
# The retained statuses: what the broker sends a new subscriber before a message published after.
"$py" - "$port" "$status" <<'PY' || fail "retained statuses at the broker"
import sys, threading
import paho.mqtt.client as mqtt
retained, done, c = {}, threading.Event(), mqtt.Client()
c.on_message = lambda _c, _u, m: done.set() if m.topic == "end" else retained.update({m.topic: m.payload})
c.on_subscribe = lambda c, *_: c.publish("end")
c.on_connect = lambda c, *_: c.subscribe([("tessel/+/status", 1), ("end", 1)])
c.connect("127.0.0.1", int(sys.argv[1]))
c.loop_start()
if not done.wait(10) or retained != {sys.argv[2]: b"online"}:
    sys.exit(f"{len(retained)} retained statuses, not {sys.argv[2]} online alone: {sorted(retained.items())[:4]}")
PY
kill "$flying"
kill -INT "$publisher"
wait "$publisher" || fail "g1 publish: $(cat "$out/publish3.log")"
echo "broker check: 300 senders heard once and two steady ones gone left no status; the flying one online"

# 7. A broker that stops reading, then dies: what g1 publish had queued is counted dropped. What it
# counts published either reached the subscriber or was in the connection's buffers (unread by
# the broker, unacknowledged at g1, read once g1's writes are blocked) when the broker died.
"$g1" publish --broker "127.0.0.1:$port" 2>"$out/publish4.log" &
publisher=$!
children+=("$publisher")
wait_for 10 "g1 publish did not connect" said publish4.log "connected to the broker"
from_each 10 0 127.0.0.3
ten() { [ "$(count_on tessel/127.0.0.3/g1)" -ge 10 ]; }
wait_for 10 "the subscriber did not get the first datagrams" ten
kill -STOP "$main_broker"
from_each 150000 0 127.0.0.3
pending() {
  echo $(($(ss -Htnp state established "dport = :$port" | grep "pid=$publisher," | awk '{s += $2} END {print s + 0}') +
    $(ss -Htn state established "sport = :$port" | awk '{s += $1} END {print s + 0}')))
}
buffered=-1
settled() { local p; p="$(pending)"; [ "$p" -eq "$buffered" ] && return 0; buffered="$p"; sleep 0.4; return 1; }
wait_for 20 "g1 publish's connection kept moving" settled
{ kill -KILL "$main_broker" && wait "$main_broker"; } 2>/dev/null || true
wait_for 20 "g1 publish did not notice the broker dying" said publish4.log "lost the connection to the broker"
kill -INT "$publisher"
wait "$publisher" || fail "g1 publish: $(cat "$out/publish4.log")"
broker_start "$port" "allow_anonymous true"
line="$(grep "^g1 publish: published" "$out/publish4.log")" || fail "no closing line: $(cat "$out/publish4.log")"
"$py" - "$line" "$(count_on tessel/127.0.0.3/g1)" "$buffered" <<'PY' || fail "queued messages lost uncounted: $line"
import re, sys
published, dropped = map(int, re.search(r"published (\d+) datagrams .* dropped (\d+) messages", sys.argv[1]).groups())
received, buffered = int(sys.argv[2]), int(sys.argv[3])
size = 4 + len("tessel/127.0.0.3/g1") + len("G1,100000000,0,0,0,0,0,0,0,0,0,0,0,0,")  # each message
if published - received > buffered // size + 1 or dropped == 0:  # + 1: a message written in part
    sys.exit(f"{published} published, {received} at the subscriber, {buffered} bytes buffered, {dropped} dropped")
PY
echo "broker check: a broker that stopped reading and died: g1 publish counted what it had queued ($line)"

# 8. What g1 refuses, and a broker that wants credentials.
refused() {  # exit-code message args...
  local code="$1" message="$2" rc=0
  shift 2
  "$g1" "$@" --seconds 10 >/dev/null 2>"$out/refused.log" || rc=$?
  { [ "$rc" -eq "$code" ] && grep -q -- "$message" "$out/refused.log"; } ||
    fail "g1 $*: exit $rc, \"$(cat "$out/refused.log")\", not $code and \"$message\""
}
refused 2 "port must be 1 to 65535" publish --broker "127.0.0.1:70000"
refused 2 "holds the wildcard '+'" publish --broker "127.0.0.1:$port" --topic-prefix "a/+/b"
refused 2 "holds the wildcard '#'" serve --broker "127.0.0.1:$port" --topic-prefix "a#"
refused 2 "starts or ends with '/'" publish --broker "127.0.0.1:$port" --topic-prefix /tessel
refused 2 "cannot read the password file" publish --broker "127.0.0.1:$port" --username u \
  --password-file "$out/none"
refused 2 "cannot read the CA file" publish --broker "127.0.0.1:$port" --cafile "$out/none"
says() {  # message args...: g1 says MESSAGE, then ends on Ctrl+C with exit 0
  local message="$1" pid rc=0
  shift
  "$g1" "$@" --seconds 20 >/dev/null 2>"$out/says.log" &
  pid=$!
  for _ in $(seq 100); do said says.log "$message" && break; sleep 0.1; done
  kill -INT "$pid" 2>/dev/null || true
  wait "$pid" || rc=$?
  { [ "$rc" -eq 0 ] && said says.log "$message"; } ||
    fail "g1 $*: exit $rc, \"$(cat "$out/says.log")\", not \"$message\""
}
closed="$(free_port)"
says "cannot connect to the broker at 127.0.0.1:$closed (Connection refused); trying again" \
  publish --broker "127.0.0.1:$closed"
touch "$out/empty.pem"  # no certificate: TLS cannot start, and g1 says so
says "(A TLS error occurred)" publish --broker "127.0.0.1:$port" --cafile "$out/empty.pem"

secure="$(free_port)"
: >"$out/passwords"
mosquitto_passwd -b "$out/passwords" panel right-one 2>/dev/null
printf 'wrong\n' >"$out/wrong"
broker_start "$secure" "allow_anonymous false" "password_file $out/passwords"
refused 1 "not authorised" publish --broker "127.0.0.1:$secure" --username panel \
  --password-file "$out/wrong"
refused 1 "Not authorized" listen --broker "127.0.0.1:$secure"
G1_BROKER_PASSWORD=right-one says "connected to the broker" listen --broker "127.0.0.1:$secure" \
  --username panel
# Credentials without TLS: said once.
[ "$(grep -c "in clear text" "$out/says.log")" -eq 1 ] ||
  fail "g1 listen --username without --cafile did not warn once: $(cat "$out/says.log")"

# TLS, the broker's certificate for 127.0.0.1 its own CA.
tls="$(free_port)"
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 -keyout "$out/server.key" \
  -addext subjectAltName=IP:127.0.0.1 -out "$out/server.pem" 2>/dev/null
broker_start "$tls" "allow_anonymous true" "certfile $out/server.pem" "keyfile $out/server.key"
says "connected to the broker at 127.0.0.1:$tls (TLS)" listen --broker "127.0.0.1:$tls" \
  --cafile "$out/server.pem" --username panel
! grep -q "in clear text" "$out/says.log" || fail "g1 warned of clear text over TLS: $(cat "$out/says.log")"
echo "broker check: bad addresses, prefixes, password and CA files refused; wrong credentials said; TLS"

# 9. A broker that never answers: g1 serve keeps sending its health.
silent_broker_start
"$g1" serve --broker "127.0.0.1:$silent" --http 0 --bind 127.0.0.1 2>"$out/serve2.log" &
server=$!
children+=("$server")
wait_for 10 "g1 serve printed no address (its log: $out/serve2.log)" said serve2.log "instruments at"
http="$(sed -n 's|.*instruments at http://127.0.0.1:\([0-9]*\)/.*|\1|p' "$out/serve2.log")"
"$py" - "$http" <<'PY' || fail "g1 serve --broker sent no health while its broker did not answer"
import itertools, sys, urllib.request
request = urllib.request.Request(f"http://127.0.0.1:{sys.argv[1]}/events", headers={"Accept": "text/event-stream"})
with urllib.request.urlopen(request, timeout=5) as stream:  # a health event every 0.5 s: the fourth
    health = next(itertools.islice((l for l in stream if l.startswith(b'data: {"datagrams"')), 3, None))
    assert b'"source":"broker"' in health, health  # the page's hint names the broker, not the port
PY
kill -INT "$server"
wait "$server" || fail "g1 serve --broker: $(cat "$out/serve2.log")"
echo "broker check: a broker that never answers: g1 serve kept its health"
