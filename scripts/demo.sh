#!/usr/bin/env bash
# The demo: the host emulator flies the circuit with the plug-in loaded while `g1 listen`
# records what it broadcasts and `g1 serve` shows it in a browser; then screenshots of the
# monitor window and of the instruments page, a plot of the telemetry and a short summary. Runs inside the sandbox (./run demo puts it there).
# Usage: scripts/demo.sh [--seconds S] [--rate HZ] [--out DIR]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

# The plug-in broadcasts on every frame: only ever inside the sandbox's own network.
if [ "${TESSEL_SANDBOX:-}" != "inside" ]; then
  exec scripts/sandbox.sh "${BASH_SOURCE[0]}" "$@"
fi
. scripts/lib/sandbox_check.sh
tessel_require_sandbox demo "run me through ./run demo"

seconds=16
rate=60
out="build/demo"
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds="$2"; shift 2 ;;
    --rate) rate="$2"; shift 2 ;;
    --out) out="$2"; shift 2 ;;
    *) echo "usage: scripts/demo.sh [--seconds S] [--rate HZ] [--out DIR]" >&2; exit 2 ;;
  esac
done

fail() { echo "demo: $*" >&2; exit 1; }

g1="build/native/bin/g1"
host="build/win64/bin/tessel-host.exe"
. scripts/lib/artifacts.sh
plugin="build/win64/bin/$tessel_plugin_dll"
for f in "$g1" "$host" "$plugin"; do
  [ -e "$f" ] || fail "$f is missing: ./run demo builds it"
done

mkdir -p "$out"
csv="$out/telemetry.csv"
pcap="$out/telemetry.pcap"
record_log="$out/record.log"
listen_log="$out/listen.log"
host_log="$out/host.log"
recording="$out/circuit.tstream"
screenshot="$out/monitor.png"
plot="$out/telemetry.png"
serve_log="$out/serve.log"
instruments="$out/instruments.png"
instruments_url="http://127.0.0.1:8080/"
rm -f "$out/gnuplot.log" "$csv" "$pcap" "$record_log" "$listen_log" "$host_log" "$recording" "$screenshot" "$plot" \
  "$serve_log" "$instruments"

source scripts/lib/monitor_window.sh
screen_width="$(xdpyinfo | awk '/dimensions:/ { split($2, d, "x"); print d[1] }')"
monitor_crop="${monitor_width}x${monitor_height}+$((screen_width - monitor_width))+0"

listener=""
recorder=""
flight=""
server=""
browser=""
stop_children() {
  [ -z "$flight" ] || kill "$flight" 2>/dev/null || true
  [ -z "$listener" ] || kill -INT "$listener" 2>/dev/null || true
  [ -z "$recorder" ] || kill -INT "$recorder" 2>/dev/null || true
  [ -z "$server" ] || kill -INT "$server" 2>/dev/null || true
  [ -z "$browser" ] || kill "$browser" 2>/dev/null || true
}
trap stop_children EXIT

# Waits until a program started in the background says it is ready in its log.
started() {  # pid log text name
  for _ in $(seq 100); do
    grep -q "$3" "$2" 2>/dev/null && return 0
    kill -0 "$1" 2>/dev/null || fail "$4 did not start: $(cat "$2")"
    sleep 0.1
  done
  fail "$4 did not say \"$3\" within 10 s: $(cat "$2")"
}

# The listener first, so the first datagram already finds it; the time limit is a backstop.
"$g1" listen --csv --seconds "$((seconds + 60))" >"$csv" 2>"$listen_log" &
listener=$!
started "$listener" "$listen_log" "g1 listen: on" "g1 listen"

# The same datagrams recorded, for g1 send --replay.
"$g1" record "$pcap" --seconds "$((seconds + 60))" 2>"$record_log" &
recorder=$!
started "$recorder" "$record_log" "g1 record: on" "g1 record"

# The instruments page on this machine's loopback only.
"$g1" serve --bind 127.0.0.1 --seconds "$((seconds + 60))" 2>"$serve_log" &
server=$!
started "$server" "$serve_log" "instruments at" "g1 serve"

# A browser on the page before the flight, so that it sees it from the start; its picture in a
# turn after 60 % of the flight (the circuit's turns fill most of its first minute), with the
# charts holding the flight so far. A flight too short for that is taken at its end.
page_flight_s="$(awk -v s="$seconds" 'BEGIN { print s * 0.6 }')"
node tools/g1/sinks/serve/web/tests/screenshot.mjs "$instruments_url" "$instruments" 1280x900 "$page_flight_s" \
  "$((seconds + 30))" >"$out/browser.log" 2>&1 &
browser=$!
for _ in $(seq 300); do
  grep -q "opened the stream" "$serve_log" && break
  kill -0 "$browser" 2>/dev/null || break
  sleep 0.1
done

echo "demo: flying the circuit at $rate Hz for $seconds s with the plug-in loaded"
wine "$host" "$plugin" --scenario circuit --rate "$rate" --seconds "$seconds" \
  --record "$recording" >"$host_log" 2>&1 </dev/null &
flight=$!

# The screenshot halfway through, once the window has been up for a few repaints.
for _ in $(seq 200); do
  xwininfo -root -tree 2>/dev/null | grep -q "\"$monitor_title\"" && break
  kill -0 "$flight" 2>/dev/null || break
  sleep 0.1
done
shot_delay="$(awk -v s="$seconds" 'BEGIN { d = s / 2; if (d < 1.5) d = 1.5; print d }')"
sleep "$shot_delay"
import -window root -crop "$monitor_crop" +repage "$screenshot" || echo "demo: no screenshot" >&2

set +e
wait "$flight"
host_rc=$?
set -e
flight=""
# The flight has ended: a page still waiting for its turn takes its picture now.
kill -USR2 "$browser" 2>/dev/null || true
wait "$browser" || echo "demo: no instruments screenshot: $(tail -3 "$out/browser.log")" >&2
browser=""
[ "$host_rc" -eq 0 ] || fail "tessel-host ended with $host_rc: $(cat "$host_log")"

# Every frame of the flight broadcast one datagram: the listener stops once it has them all
# (or after a few seconds, and then the check says what was lost).
sent="$(sed -n 's/^tessel-host: sent \([0-9]*\) frames.*/\1/p' "$host_log" | tail -1)"
for _ in $(seq 50); do
  [ "$(($(wc -l <"$csv") - 1))" -ge "${sent:-0}" ] && break
  sleep 0.1
done
kill -INT "$listener"
wait "$listener" || true
listener=""
kill -INT "$recorder"
wait "$recorder" || true
recorder=""
kill -INT "$server"
wait "$server" || true
server=""

datagrams="$(sed -n 's/^g1 listen: \([0-9]*\) datagrams.*/\1/p' "$listen_log")"
[ -n "$datagrams" ] && [ "$datagrams" -gt 0 ] || fail "no datagrams arrived: $(cat "$listen_log")"

# The plotted columns, found by name in the CSV's heading line (g1 listen writes the names of
# the field table).
column_of() {
  local n
  n="$(head -1 "$csv" | tr -d '\r' | tr ',' '\n' | grep -nx "$1" | cut -d: -f1)"
  [ -n "$n" ] || fail "$csv has no column $1"
  echo "$n"
}
time_col="$(column_of time_s)"
bank_col="$(column_of bank)"
pitch_col="$(column_of pitch)"
heading_col="$(column_of true_heading)"
vertical_col="$(column_of velocity_z)"

gnuplot 2>"$out/gnuplot.log" <<GNUPLOT || fail "gnuplot failed: $(cat "$out/gnuplot.log")"
set terminal pngcairo size 1200,900 font "Liberation Sans,11"
set output "$plot"
set datafile separator ","
set key autotitle columnhead
set grid
set multiplot layout 4,1 title "G1 telemetry received by g1 listen (circuit scenario)"
set lmargin 12
set autoscale xfix
deg = 180.0 / pi
set ylabel "bank (deg)"
plot "$csv" using $time_col:(\$$bank_col * deg) with lines linewidth 2 linecolor rgb "#1f77b4" notitle
set ylabel "pitch (deg)"
plot "$csv" using $time_col:(\$$pitch_col * deg) with lines linewidth 2 linecolor rgb "#d62728" notitle
set ylabel "heading (deg)"
set yrange [0:360]
set ytics 90
plot "$csv" using $time_col:(\$$heading_col * deg) with points pointtype 7 pointsize 0.3 linecolor rgb "#2ca02c" notitle
set autoscale y
set ytics autofreq
set ylabel "vertical velocity (m/s)"
set xlabel "time (s)"
plot "$csv" using $time_col:$vertical_col with lines linewidth 2 linecolor rgb "#9467bd" notitle
unset multiplot
GNUPLOT

frames_line="$(grep '^tessel-host: sent' "$host_log" | tail -1)"
summary_line="$(grep '^g1 listen: [0-9]* datagrams' "$listen_log" | tail -1)"
malformed_lines="$(grep -c '^malformed' "$listen_log" || true)"
cat <<SUMMARY

demo: ${frames_line#tessel-host: }
demo: received ${summary_line#g1 listen: }
demo: first decoded line  $(sed -n 2p "$csv")
demo: last decoded line   $(tail -1 "$csv")
demo: columns             $(head -1 "$csv")
demo: monitor screenshot  $screenshot
demo: telemetry plot      $plot
demo: instruments page    $instruments (g1 serve in a browser; its log, $serve_log)
demo: received datagrams  $csv (and the listener's log, $listen_log)
demo: their recording     $pcap (replay: g1 send --replay $pcap; Wireshark opens it)
demo: frames sent         $recording (replay: tessel-host.exe PLUGIN --replay $recording)
SUMMARY
[ "$malformed_lines" -eq 0 ] || fail "$malformed_lines malformed datagrams: see $listen_log"
