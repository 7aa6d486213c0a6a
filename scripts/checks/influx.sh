#!/usr/bin/env bash
# g1 publish --influx and Debian's influxd on loopback ports, in the sandbox: a 10 s flight of
# g1 send --fly, its points queried back against g1 listen --csv's values of the same datagrams,
# stamped with the simulator's spacing; influxd stopped and started mid-flight loses nothing; a
# refused write ends g1 publish with 1; g1.exe says the option is in the Linux build.
# time limit: 120 s
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
cd "$root"

. scripts/lib/sandbox_check.sh
tessel_require_sandbox "influx check" "run me through ./run sandbox $0"

fail() { echo "influx check: $*" >&2; exit 1; }

g1="$root/build/native/bin/g1"
py=/usr/bin/python3
g1exe="$root/build/win64/bin/g1.exe"
for f in "$g1" "$g1exe" /usr/bin/influxd; do
  [ -x "$f" ] || fail "$f is missing: build the native and win64 presets; ./run setup installs influxdb"
done

rate=60 seconds=10
frames=$((rate * seconds))
out="$root/build/influx-check"
rm -rf "$out" && mkdir -p "$out"
. scripts/lib/check_helpers.sh

http="$(free_port)" rpc="$(free_port)"
cat >"$out/influxdb.conf" <<CONF
reporting-disabled = true
bind-address = "127.0.0.1:$rpc"
[meta]
  dir = "$out/meta"
[data]
  dir = "$out/data"
  wal-dir = "$out/wal"
  query-log-enabled = false
[monitor]
  store-enabled = false
[http]
  bind-address = "127.0.0.1:$http"
  log-enabled = false
CONF
query() {  # influxql: prints the JSON answer
  "$py" -c 'import sys, urllib.parse, urllib.request
q = urllib.parse.urlencode({"db": "g1", "epoch": "ns", "q": sys.argv[2]})
print(urllib.request.urlopen(f"http://127.0.0.1:{sys.argv[1]}/query?{q}", data=b"" if sys.argv[2].startswith("CREATE") else None, timeout=5).read().decode())' "$http" "$1"
}
influxd_pid=
influxd_start() {
  /usr/bin/influxd -config "$out/influxdb.conf" 2>>"$out/influxd.log" &
  influxd_pid=$!
  children+=("$influxd_pid")
  wait_for 30 "influxd did not answer on $http" query "SHOW DATABASES" >/dev/null
}
influxd_start
query "CREATE DATABASE g1" >/dev/null
points() { query "SELECT count(velocity_x) FROM g1" | "$py" -c 'import json, sys
s = json.load(sys.stdin)["results"][0].get("series")
print(s[0]["values"][0][1] if s else 0)'; }
points_at_least() { [ "$(points)" -ge "$1" ]; }

# 1. A flight, g1 listen --csv beside g1 publish --influx; influxd goes away for a while mid-flight.
"$g1" listen --csv --count "$frames" --seconds 60 >"$out/listen.csv" 2>"$out/listen.log" &
listener=$!
children+=("$listener")
"$g1" publish --influx "http://127.0.0.1:$http/write?db=g1" 2>"$out/publish.log" &
publisher=$!
children+=("$publisher")
wait_for 10 "g1 publish did not start: $(cat "$out/publish.log")" said publish.log "to InfluxDB at"
wait_for 10 "g1 listen did not start" said listen.log "on 0"
"$g1" send --fly circuit --rate "$rate" --count "$frames" >"$out/send.log" 2>&1 &
flying=$!
children+=("$flying")
wait_for 10 "no points in influxd" points_at_least "$rate"
kill "$influxd_pid"
wait "$influxd_pid" || true
wait_for 10 "g1 publish did not notice influxd going: $(cat "$out/publish.log")" said publish.log \
  "cannot write to InfluxDB"
# Down for two seconds of flight at least, as g1 listen counts them.
heard() { [ "$(($(wc -l <"$out/listen.csv") - 1))" -ge "$1" ]; }
down_from="$(($(wc -l <"$out/listen.csv") - 1))"
wait_for 10 "the flight stopped while influxd was down" heard "$((down_from + 2 * rate))"
influxd_start
wait_for 20 "g1 publish did not write again: $(cat "$out/publish.log")" said publish.log \
  "writing to InfluxDB again"
wait "$flying" || fail "g1 send: $(cat "$out/send.log")"
wait "$listener" || fail "g1 listen: $(cat "$out/listen.log")"
wait_for 10 "influxd did not get $frames points: $(points)" points_at_least "$frames"
kill -INT "$publisher"
wait "$publisher" || fail "g1 publish ended with an error: $(cat "$out/publish.log")"
line="$(grep "^g1 publish: wrote" "$out/publish.log")" || fail "no closing line: $(cat "$out/publish.log")"
[[ "$line" =~ wrote\ $frames\ points.*dropped\ 0\ points ]] || fail "the closing line: $line"
query "SELECT * FROM g1 ORDER BY time" >"$out/points.json"
"$py" - "$out/points.json" "$out/listen.csv" <<'PY' || fail "the flight's points"
import csv, json, math, sys
series = json.load(open(sys.argv[1]))["results"][0]["series"][0]
points = [dict(zip(series["columns"], v)) for v in series["values"]]
rows = list(csv.DictReader(open(sys.argv[2])))
if len(points) != len(rows):
    sys.exit(f"{len(points)} points, {len(rows)} datagrams heard by g1 listen")
angles = {"bank", "pitch", "true_heading", "angular_velocity_x", "angular_velocity_y", "angular_velocity_z"}
t0, u0 = points[0]["time"], round(float(rows[0]["time_s"]) * 1e6)
for p, r in zip(points, rows):
    for name, text in r.items():
        want = float(text)
        want, within = (math.degrees(want), 0.05) if name in angles else (want, 0.0005)
        if abs(p[name] - want) > within + 1e-9:
            sys.exit(f"{name} {p[name]} in InfluxDB, {text} from g1 listen, at {r['time_s']} s")
    # The simulator's spacing, to the nanosecond: not the arrivals'.
    if p["time"] - t0 != (round(float(r["time_s"]) * 1e6) - u0) * 1000:
        sys.exit(f"point at {p['time'] - t0} ns, datagram at {r['time_s']} s")
    if p["sender"] == "" or p["sender"] != points[0]["sender"]:
        sys.exit(f"sender tag {p['sender']!r}")
print(f"{len(points)} points, each with g1 listen's values and the simulator's spacing")
PY
echo "influx check: a ${seconds} s flight through g1 publish --influx, influxd restarted mid-flight: $line"

# 2. A refusal (no such database) is said once and ends g1 publish with 1.
port="$(free_port)"
rc=0
"$g1" publish --port "$port" --influx "http://127.0.0.1:$http/write?db=none" --seconds 30 \
  2>"$out/refused.log" &
refused=$!
children+=("$refused")
wait_for 10 "g1 publish did not start: $(cat "$out/refused.log")" said refused.log "to InfluxDB at"
"$g1" send --fly circuit --count 30 --to "127.0.0.1:$port" >/dev/null 2>&1 || fail "g1 send --to"
wait "$refused" || rc=$?
{ [ "$rc" -eq 1 ] && [ "$(grep -c "refused the points: HTTP 404" "$out/refused.log")" -eq 1 ]; } ||
  fail "a refused write: exit $rc, $(cat "$out/refused.log")"
echo "influx check: a refused write said once, g1 publish ended with 1"

# 3. g1.exe has no HTTP client library: --influx says so and ends with 2.
rc=0
wine "$g1exe" publish --influx "http://127.0.0.1:$http/write?db=g1" --seconds 5 >/dev/null \
  2>"$out/wine.log" || rc=$?
{ [ "$rc" -eq 2 ] && grep -q "is in the Linux build of g1" "$out/wine.log"; } ||
  fail "g1.exe publish --influx: exit $rc, $(cat "$out/wine.log")"
echo "influx check: g1.exe publish --influx says the option is in the Linux build"
