#!/usr/bin/env bash
# The Wireshark dissector (tools/wireshark/g1.lua) against the field table and `g1 listen`,
# inside the sandbox: its fields must be the table's (g1_field_table prints it), then
# tcpdump records lo while tessel-host flies with the plug-in and the hand-made datagrams of
# g1_lua_check.py follow (to 127.0.0.1 only); g1 listen hears the same datagrams on the G1 port
# and on another port (found there by the heuristic). tshark must print, datagram by datagram,
# the values g1 listen printed, and the reason it gave for each malformed one.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../../.." && pwd)"
cd "$root"

. scripts/lib/sandbox_check.sh
tessel_require_sandbox "dissector test" "run me through ./run test or ./run sandbox $0"

here=tools/wireshark/tests
fail() { echo "dissector test: $*" >&2; exit 1; }

g1="build/native/bin/g1"
field_table="build/native/bin/g1_field_table"
host="build/win64/bin/tessel-host.exe"
. scripts/lib/artifacts.sh
plugin="build/win64/bin/$tessel_plugin_dll"
for f in "$g1" "$field_table" "$host" "$plugin"; do
  [ -e "$f" ] || fail "$f is missing: build the native and win64 presets first"
done
for tool in tcpdump tshark; do
  command -v "$tool" >/dev/null || fail "$tool is missing: ./run setup installs it"
done

out="build/wireshark-check"
rm -rf "$out"
mkdir -p "$out"
ports=(50010 50011)

# The dissector's fields are the field table's, as Wireshark itself lists them.
"$field_table" >"$out/fields.tsv" || fail "$field_table failed"
tshark -G fields -X lua_script:tools/wireshark/g1.lua >"$out/tshark-fields.tsv" \
  2>"$out/tshark-fields.err" || fail "tshark -G fields failed: $(cat "$out/tshark-fields.err")"
python3 "$here/g1_lua_check.py" table "$out"

children=()
stop_children() {
  local pid
  for pid in "${children[@]}"; do kill -INT "$pid" 2>/dev/null || true; done
}
trap stop_children EXIT

wait_for() {  # file text pid what
  for _ in $(seq 100); do
    grep -q "$2" "$1" 2>/dev/null && return
    kill -0 "$3" 2>/dev/null || fail "$4 did not start: $(cat "$1")"
    sleep 0.1
  done
  fail "$4 did not start in 10 s: $(cat "$1")"
}

tcpdump -i lo -U -n -w "$out/lo.pcap" "udp and (port ${ports[0]} or port ${ports[1]})" \
  2>"$out/tcpdump.err" &
capture=$!
children+=("$capture")
wait_for "$out/tcpdump.err" "listening on lo" "$capture" tcpdump
listeners=()
for port in "${ports[@]}"; do
  "$g1" listen --csv --port "$port" --seconds 120 \
    >"$out/listen-$port.csv" 2>"$out/listen-$port.err" &
  listeners+=($!)
  children+=($!)
  wait_for "$out/listen-$port.err" "g1 listen: on" "$!" "g1 listen --port $port"
done

wine "$host" "$plugin" --scenario circuit --rate 60 --seconds 2 </dev/null >"$out/host.log" 2>&1 ||
  fail "tessel-host failed: $(tail -n 5 "$out/host.log")"
python3 "$here/g1_lua_check.py" send
sleep 0.5

# g1 listen prints its summary on Ctrl+C. tcpdump is stopped once the file holds every
# datagram the listeners took: a loaded machine hands it packets late.
for pid in "${listeners[@]}"; do kill -INT "$pid" 2>/dev/null || true; done
for pid in "${listeners[@]}"; do wait "$pid" || true; done
heard=0
for port in "${ports[@]}"; do
  n="$(sed -n 's/^g1 listen: \([0-9]*\) datagrams.*/\1/p' "$out/listen-$port.err")"
  heard=$((heard + ${n:-0}))
done
for _ in $(seq 100); do
  [ "$(tcpdump -r "$out/lo.pcap" 2>/dev/null | wc -l)" -ge "$heard" ] && break
  sleep 0.1
done
kill -INT "$capture"
wait "$capture" || true
children=()

fields=()
for f in $(python3 "$here/g1_lua_check.py" fields "$out"); do fields+=(-e "$f"); done
tshark -r "$out/lo.pcap" -X lua_script:tools/wireshark/g1.lua -T fields -E separator=/t \
  -E occurrence=f "${fields[@]}" >"$out/tshark.tsv" 2>"$out/tshark.err" ||
  fail "tshark failed: $(grep -v 'Running as user' "$out/tshark.err")"
! grep -qi "lua" "$out/tshark.err" || fail "the dissector did not load: $(cat "$out/tshark.err")"

received="$(sed -n 's/^g1 listen: \([0-9]*\) datagrams.*/\1/p' "$out/listen-${ports[0]}.err")"
[ "${received:-0}" -ge 100 ] || fail "only ${received:-0} datagrams on port ${ports[0]}"
python3 "$here/g1_lua_check.py" compare "$out"
