#!/usr/bin/env bash
# g1.exe's broker client under Wine and Debian's mosquitto on a loopback port, in the sandbox: a
# flight's datagrams through g1.exe publish byte for byte, and Ctrl+C ending g1.exe listen at once
# while its broker never answers. The Linux g1's broker client is broker.sh's, which needs no Wine.
# time limit: 180 s
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
cd "$root"

. scripts/lib/sandbox_check.sh
tessel_require_sandbox "broker check under Wine" "run me through ./run sandbox $0"

fail() { echo "broker check under Wine: $*" >&2; exit 1; }

g1="$root/build/native/bin/g1"
g1exe="$root/build/win64/bin/g1.exe"  # with the broker client where setup built its library
py=/usr/bin/python3  # Debian's, with the MQTT client
for f in "$g1" "$g1exe" /usr/sbin/mosquitto; do
  [ -x "$f" ] || fail "$f is missing: build the native and win64 presets; ./run setup installs mosquitto"
done

frames=30 rate=60
out="$root/build/broker-wine-check"
rm -rf "$out" && mkdir -p "$out"
. scripts/lib/broker_check.sh

port="$(free_port)"
broker_start "$port" "allow_anonymous true"

# The flight's datagrams as the plug-in sends them at this rate (record.sh shows they are).
"$g1" record "$out/flight.pcap" --fly circuit --rate "$rate" --count "$frames" 2>"$out/record.log" ||
  fail "g1 record --fly: $(cat "$out/record.log")"
# The subscriber: each payload on g1.exe's topic for the sender 127.0.0.1 as a line of hex.
"$py" - "$port" "$out/messages.hex" <<'PY' 2>"$out/subscriber.log" &
import sys
import paho.mqtt.client as mqtt
out, c = open(sys.argv[2], "w", buffering=1), mqtt.Client()
c.on_connect = lambda c, *_: c.subscribe("tessel/wine/127.0.0.1/g1")
c.on_subscribe = lambda *_: out.write("subscribed\n")
c.on_message = lambda _c, _u, m: out.write(m.payload.hex() + "\n")
c.connect("127.0.0.1", int(sys.argv[1]))
c.loop_forever()
PY
children+=($!)
wait_for 10 "the subscriber did not subscribe" said messages.hex subscribed

wine_port="$(free_port)"
wine "$g1exe" publish --broker "127.0.0.1:$port" --topic-prefix tessel/wine --port "$wine_port" \
  --count "$frames" --seconds 60 >/dev/null 2>"$out/wine.log" &
wine_publisher=$!
children+=("$wine_publisher")
wait_for 60 "g1.exe publish did not connect (its log: $out/wine.log)" said wine.log \
  "connected to the broker"
"$g1" send --fly circuit --rate "$rate" --count "$frames" --to "127.0.0.1:$wine_port" >/dev/null 2>&1 ||
  fail "g1 send to g1.exe"
wait "$wine_publisher" || fail "g1.exe publish: $(cat "$out/wine.log")"
all_there() { [ "$(grep -cv subscribed "$out/messages.hex")" -ge "$frames" ]; }
wait_for 10 "g1.exe's datagrams did not reach the subscriber" all_there
"$py" - "$out/flight.pcap" "$out/messages.hex" <<'PY' || fail "g1.exe publish changed the datagrams"
import struct, sys
data, at, sent = open(sys.argv[1], "rb").read(), 24, []
while at + 16 <= len(data):
    kept = struct.unpack_from("<IIII", data, at)[2]
    ip = data[at + 16: at + 16 + kept]
    sent.append(ip[(ip[0] & 15) * 4 + 8:].hex())
    at += 16 + kept
got = [l.strip() for l in open(sys.argv[2]) if l.strip() != "subscribed"]
sys.exit(None if got == sent and sent else f"{len(got)} messages, not the {len(sent)} datagrams sent")
PY
echo "broker check under Wine: g1.exe publish sent $frames datagrams to the broker, byte for byte"

# A broker that never answers: Ctrl+C ends g1.exe listen at once (its console handler is another
# thread), and g1.exe warns of clear-text credentials once.
silent_broker_start
wine "$g1exe" listen --broker "127.0.0.1:$silent" --username panel >/dev/null 2>"$out/wine-silent.log" &
wine_listener=$!
children+=("$wine_listener")
waiting() { [ "$(ss -Htn state syn-sent "dport = :$silent" | wc -l)" -ge 2 ]; }  # the filler and g1.exe
wait_for 60 "g1.exe listen did not try the silent broker (its log: $out/wine-silent.log)" waiting
kill -INT "$wine_listener"
ended() { ! kill -0 "$wine_listener" 2>/dev/null; }
wait_for 2 "Ctrl+C did not end g1.exe listen --broker within 2 s" ended
wait "$wine_listener" || fail "g1.exe listen --broker: $(cat "$out/wine-silent.log")"
[ "$(grep -c "in clear text" "$out/wine-silent.log")" -eq 1 ] ||
  fail "g1.exe listen --username did not warn once: $(cat "$out/wine-silent.log")"
echo "broker check under Wine: a broker that never answers: Ctrl+C ended g1.exe listen within 2 s"
