#!/usr/bin/env bash
# g1 record and g1 send end to end, inside the sandbox. tessel-host flies the circuit with the
# plug-in (a fixed time step, a fixed number of frames) while g1 record and g1 listen take it;
# the recording is replayed at speeds 1 and 10 to g1 listen and g1 record: the same datagrams in
# the same order, each at its recorded time over the speed. g1 send --fly flies the same frames
# natively: the plug-in's bytes, datagram for datagram. A recording cut inside its last record
# plays up to the cut, and a capture of tcpdump's plays as g1's own does. tshark reads the
# recording with the project's dissector. The pcap files are read here by a reader of this
# script's own.
# time limit: 180 s
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
cd "$root"

. scripts/lib/sandbox_check.sh
tessel_require_sandbox "record check" "run me through ./run sandbox $0"

fail() { echo "record check: $*" >&2; exit 1; }

g1=build/native/bin/g1
host=build/win64/bin/tessel-host.exe
plugin=build/win64/bin/corvane_tessel_external_dll_sample.dll
for f in "$g1" "$host" "$plugin"; do
  [ -e "$f" ] || fail "$f is missing: build the native and win64 presets first"
done

frames=180 rate=60
tolerance_ms=25  # how far a replayed datagram may stray from its recorded time over the speed
out=build/record-check
rm -rf "$out"
mkdir -p "$out"

children=()
trap 'for p in "${children[@]}"; do kill -INT "$p" 2>/dev/null || true; done' EXIT

# Starts g1 record and g1 listen on the G1 port, each with a backstop, and waits for both.
receivers() {  # name count
  "$g1" record "$out/$1.pcap" --count "$2" --seconds 60 2>"$out/$1.record.log" &
  record_pid=$!
  "$g1" listen --csv --count "$2" --seconds 60 >"$out/$1.csv" 2>"$out/$1.listen.log" &
  listen_pid=$!
  children+=("$record_pid" "$listen_pid")
  for _ in $(seq 100); do
    grep -q "g1 record: on" "$out/$1.record.log" && grep -q "g1 listen: on" "$out/$1.listen.log" &&
      return
    sleep 0.1
  done
  fail "$1: the receivers did not start: $(cat "$out/$1".*.log)"
}

# Waits for both receivers to take their count (or their backstop).
receivers_done() {  # name
  wait "$record_pid" || fail "$1: g1 record failed: $(cat "$out/$1.record.log")"
  wait "$listen_pid" || fail "$1: g1 listen failed: $(cat "$out/$1.listen.log")"
}

pcap() { python3 - "$@" <<'PY'
import struct, sys
# Datagrams of a g1 recording (little-endian, microseconds, raw IPv4), one a line: arrival
# time in microseconds, then the payload. "compare A B SPEED TOLERANCE_MS" checks B against A.
def read(path):
    data = open(path, "rb").read()
    magic, _, _, _, _, _, link = struct.unpack_from("<IHHiIII", data)
    assert magic == 0xA1B2C3D4 and link == 101, f"{path}: not g1's pcap"
    at, rows = 24, []
    while at + 16 <= len(data):
        sec, usec, kept, _ = struct.unpack_from("<IIII", data, at)
        ip = data[at + 16: at + 16 + kept]
        if len(ip) < kept:
            break
        header = (ip[0] & 15) * 4
        rows.append((sec * 1_000_000 + usec, ip[header + 8:]))
        at += 16 + kept
    return rows
if sys.argv[1] == "compare":
    a, b = read(sys.argv[2]), read(sys.argv[3])
    speed, tolerance = float(sys.argv[4]), float(sys.argv[5]) * 1000
    if [p for _, p in a] != [p for _, p in b]:
        sys.exit(f"{sys.argv[3]}: {len(b)} datagrams, not the {len(a)} of {sys.argv[2]} in order")
    worst = max(abs((tb - b[0][0]) - (ta - a[0][0]) / speed) for (ta, _), (tb, _) in zip(a, b))
    if worst > tolerance:
        sys.exit(f"{sys.argv[3]}: a datagram {worst / 1000:.1f} ms from its time at speed {speed}")
    print(f"{len(b)} datagrams, at most {worst / 1000:.1f} ms from their time at speed {speed}")
else:
    for t, p in read(sys.argv[1]):
        print(t, p.decode("ascii", "replace"))
PY
}

# 1. The plug-in under the host emulator, recorded.
receivers flight "$frames"
wine "$host" "$plugin" --scenario circuit --rate "$rate" --frames "$frames" --fixed-step \
  --seconds 0 </dev/null >"$out/host.log" 2>&1 || fail "tessel-host failed: $(tail -5 "$out/host.log")"
receivers_done flight
grep -q "g1 record: $frames datagrams (0 not well-formed G1)" "$out/flight.record.log" ||
  fail "the recording: $(cat "$out/flight.record.log")"
[ "$(tail -n +2 "$out/flight.csv" | wc -l)" -eq "$frames" ] || fail "g1 listen missed datagrams"

# 2. Replays at speed 1 and 10: the same datagrams, in order, at their recorded times.
for speed in 1 10; do
  receivers "speed$speed" "$frames"
  "$g1" send --replay "$out/flight.pcap" --speed "$speed" 2>"$out/speed$speed.send.log" ||
    fail "g1 send --replay failed: $(cat "$out/speed$speed.send.log")"
  receivers_done "speed$speed"
  cmp -s "$out/flight.csv" "$out/speed$speed.csv" ||
    fail "speed $speed: g1 listen printed other lines than for the flight"
  echo "record check: replay at speed $speed: $(pcap compare "$out/flight.pcap" "$out/speed$speed.pcap" \
    "$speed" "$tolerance_ms")" || fail "speed $speed: see above"
done

# 3. g1 send --fly: the plug-in's datagrams, byte for byte, frame for frame.
capture_log="$out/tcpdump.log"
tcpdump -i lo -U -n -w "$out/lo-capture.pcap" "udp and dst port 50010" 2>"$capture_log" &
capture=$!
children+=("$capture")
for _ in $(seq 100); do grep -q "listening on lo" "$capture_log" && break; sleep 0.1; done
receivers fly "$frames"
"$g1" send --fly circuit --rate "$rate" --count "$frames" 2>"$out/fly.send.log" ||
  fail "g1 send --fly failed: $(cat "$out/fly.send.log")"
receivers_done fly
for _ in $(seq 50); do
  [ "$(tcpdump -r "$out/lo-capture.pcap" 2>/dev/null | wc -l)" -ge "$frames" ] && break
  sleep 0.1
done
kill -INT "$capture"
wait "$capture" || true
pcap "$out/flight.pcap" | cut -d' ' -f2 >"$out/flight.txt"
pcap "$out/fly.pcap" | cut -d' ' -f2 >"$out/fly.txt"
cmp -s "$out/flight.txt" "$out/fly.txt" ||
  fail "g1 send --fly and the plug-in sent other datagrams: diff $out/flight.txt $out/fly.txt"
echo "record check: g1 send --fly sent the plug-in's $frames datagrams byte for byte"

# 4. tcpdump's capture of the same (Ethernet on lo) plays as g1's recording does.
receivers tcpdump "$frames"
"$g1" send --replay "$out/lo-capture.pcap" --speed 20 2>"$out/tcpdump.send.log" ||
  fail "g1 send --replay of tcpdump's capture failed: $(cat "$out/tcpdump.send.log")"
receivers_done tcpdump
cmp -s "$out/fly.csv" "$out/tcpdump.csv" || fail "the replay of tcpdump's capture differs"

# 5. A recording cut inside its last record: the datagrams before the cut, and a message.
size="$(stat -c %s "$out/flight.pcap")"
head -c "$((size - 7))" "$out/flight.pcap" >"$out/flight-cut.pcap"
receivers cut "$((frames - 1))"
"$g1" send --replay "$out/flight-cut.pcap" --speed 20 2>"$out/cut.send.log" ||
  fail "g1 send --replay of a cut file failed: $(cat "$out/cut.send.log")"
receivers_done cut
grep -q "is cut short: the file ends inside record $frames" "$out/cut.send.log" ||
  fail "no word of the cut: $(cat "$out/cut.send.log")"
head -n "$frames" "$out/flight.csv" | cmp -s - "$out/cut.csv" ||
  fail "the cut recording did not play its $((frames - 1)) whole datagrams"

# 6. Wireshark's reader and the dissector: every record of the recording is G1.
if command -v tshark >/dev/null; then
  shown="$(tshark -r "$out/flight.pcap" -X lua_script:tools/wireshark/g1.lua -Y g1 2>/dev/null | wc -l)"
  [ "$shown" -eq "$frames" ] || fail "tshark shows $shown G1 datagrams in the recording, not $frames"
fi
echo "record check: recorded, replayed at speeds 1 and 10, cut and flown natively: all as the plug-in sent"
