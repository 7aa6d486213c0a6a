#!/usr/bin/env bash
# g1 record and g1 send in the sandbox: the plug-in's flight under tessel-host, recorded, then
# replayed at speeds 1 and 10 (same datagrams, in order, on time), flown by g1 send --fly (same
# bytes), captured by tcpdump and replayed, cut and replayed, and shown by tshark's dissector.
# time limit: 180 s
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
cd "$root"

. scripts/lib/sandbox_check.sh
tessel_require_sandbox "record check" "run me through ./run sandbox $0"

fail() { echo "record check: $*" >&2; exit 1; }

g1=build/native/bin/g1
host=build/win64/bin/tessel-host.exe
. scripts/lib/artifacts.sh
plugin="build/win64/bin/$tessel_plugin_dll"
for f in "$g1" "$host" "$plugin"; do [ -e "$f" ] || fail "$f is missing: build native and win64"; done

frames=180 rate=60
# How far replayed datagrams may stray from their recorded times over the speed: nine in ten by
# 15 ms, every one by 80 ms (a busy machine's late wake-ups); a wrong pace (speed 5 for 10)
# strays by 0.3 s over these 3 s.
typical_ms=15 worst_ms=80
out=build/record-check
rm -rf "$out"
mkdir -p "$out"
children=()
stop_children() { local p; for p in "${children[@]}"; do kill -INT "$p" 2>/dev/null || true; done; }
trap stop_children EXIT

# Runs a sender while g1 record takes NAME.pcap and g1 listen NAME.csv, COUNT datagrams each.
received() {  # name count sender...
  local name="$1" count="$2" record listen
  shift 2
  "$g1" record "$out/$name.pcap" --count "$count" --seconds 60 2>"$out/$name.record.log" &
  record=$!
  "$g1" listen --csv --count "$count" --seconds 60 >"$out/$name.csv" 2>"$out/$name.listen.log" &
  listen=$!
  children+=("$record" "$listen")
  for _ in $(seq 100); do
    grep -q "on 0" "$out/$name.record.log" && grep -q "on 0" "$out/$name.listen.log" && break
    sleep 0.1
  done
  "$@" </dev/null >"$out/$name.send.log" 2>&1 || fail "$*: $(tail -5 "$out/$name.send.log")"
  { wait "$record" && wait "$listen"; } || fail "$name: $(cat "$out/$name".*.log)"
}

# "A B SPEED": B holds A's payloads in order, each at its time in A over SPEED (0: bytes only).
compare() { python3 - "$@" "$typical_ms" "$worst_ms" <<'PY'
import struct, sys
def read(path):  # g1's own files: little-endian, microseconds, raw IPv4
    data, at, rows = open(path, "rb").read(), 24, []
    assert struct.unpack_from("<I", data)[0] == 0xA1B2C3D4 and data[20] == 101, path
    while at + 16 <= len(data):
        sec, usec, kept, _ = struct.unpack_from("<IIII", data, at)
        ip = data[at + 16: at + 16 + kept]
        rows.append((sec * 1e6 + usec, ip[(ip[0] & 15) * 4 + 8:]))
        at += 16 + kept
    return rows
a, b = read(sys.argv[1]), read(sys.argv[2])
speed, typical, worst = (float(x) for x in sys.argv[3:6])
if [p for _, p in a] != [p for _, p in b]:
    sys.exit(f"{sys.argv[2]}: {len(b)} datagrams, not the {len(a)} of {sys.argv[1]} in order")
if speed == 0:
    sys.exit(0)
off = sorted(abs((tb - b[0][0]) - (ta - a[0][0]) / speed) / 1000 for (ta, _), (tb, _) in zip(a, b))
p90 = off[len(off) * 9 // 10]
if p90 > typical or off[-1] > worst:
    sys.exit(f"{sys.argv[2]}: at speed {speed} nine in ten within {p90:.1f} ms, all within {off[-1]:.1f} ms")
print(f"{len(b)} datagrams; nine in ten within {p90:.1f} ms of their time, all within {off[-1]:.1f} ms")
PY
}

received flight "$frames" wine "$host" "$plugin" --scenario circuit --rate "$rate" \
  --frames "$frames" --fixed-step --seconds 0
grep -q "g1 record: $frames datagrams (0 not well-formed G1)" "$out/flight.record.log" ||
  fail "the recording: $(cat "$out/flight.record.log")"

for speed in 1 10; do
  received "speed$speed" "$frames" "$g1" send --replay "$out/flight.pcap" --speed "$speed"
  cmp -s "$out/flight.csv" "$out/speed$speed.csv" || fail "speed $speed: g1 listen printed other lines"
  result="$(compare "$out/flight.pcap" "$out/speed$speed.pcap" "$speed")" || fail "speed $speed"
  echo "record check: replay at speed $speed: $result"
done

# g1 send --fly, recorded by g1 and by tcpdump (Ethernet on lo), against the plug-in's flight.
tcpdump -i lo -U -n -w "$out/lo-capture.pcap" "udp and dst port 50010" 2>"$out/tcpdump.log" &
capture=$!
children+=("$capture")
for _ in $(seq 100); do grep -q "listening on lo" "$out/tcpdump.log" && break; sleep 0.1; done
received fly "$frames" "$g1" send --fly circuit --rate "$rate" --count "$frames"
for _ in $(seq 50); do
  [ "$(tcpdump -r "$out/lo-capture.pcap" 2>/dev/null | wc -l)" -ge "$frames" ] && break
  sleep 0.1
done
kill -INT "$capture"
wait "$capture" || true
compare "$out/flight.pcap" "$out/fly.pcap" 0 || fail "g1 send --fly and the plug-in differ"
echo "record check: g1 send --fly sent the plug-in's $frames datagrams byte for byte"
received tcpdump "$frames" "$g1" send --replay "$out/lo-capture.pcap" --speed 20
cmp -s "$out/fly.csv" "$out/tcpdump.csv" || fail "the replay of tcpdump's capture differs"

size="$(stat -c %s "$out/flight.pcap")"
head -c "$((size - 7))" "$out/flight.pcap" >"$out/flight-cut.pcap"
received cut "$((frames - 1))" "$g1" send --replay "$out/flight-cut.pcap" --speed 20
grep -q "is cut short: the file ends inside record $frames" "$out/cut.send.log" ||
  fail "no word of the cut: $(cat "$out/cut.send.log")"
head -n "$frames" "$out/flight.csv" | cmp -s - "$out/cut.csv" ||
  fail "the cut recording did not play its $((frames - 1)) whole datagrams"

shown="$(tshark -r "$out/flight.pcap" -X lua_script:tools/wireshark/g1.lua -Y g1 2>/dev/null | wc -l)"
[ "$shown" -eq "$frames" ] || fail "tshark shows $shown G1 datagrams in the recording, not $frames"
echo "record check: recorded, replayed, cut, read by tshark and flown natively, as the plug-in sent"
