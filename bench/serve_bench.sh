#!/usr/bin/env bash
# g1 serve under load against its limit, inside the sandbox (scripts/bench.sh runs it there): for
# 1 and 20 pages at 60 and 120 datagrams a second by unicast to 127.0.0.1, g1 serve and then
# bench/serve_limit (each datagram written as one ready-made event of serve's size to every
# page, one write each) take the same load. For each: the server's own figure (arrival to event
# written to a page), the page's (datagram sent to event read) and the server's CPU per datagram;
# then serve's figures over the limit's, and what system calls and wake-ups cost here.
# Each configuration runs in rounds, serve and the limit in turn, so that the load of a shared
# machine falls on both alike.
# Usage: bench/serve_bench.sh G1 SERVE_LIMIT [SECONDS_PER_ROUND [ROUNDS]]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
. scripts/lib/sandbox_check.sh
tessel_require_sandbox "serve bench" "./run bench runs me in the sandbox"

g1="$1"
limit="$2"
seconds="${3:-5}"             # per round
rounds="${4:-3}"
udp_port=50991
http_port=18081
ready_s=10                 # how long a server may take to listen
serve_event_bytes=150      # until serve's own events have been measured
log="$(mktemp)"
trap 'rm -f "$log" "$log.serve" "$log.limit"' EXIT

# Runs one server under the load: NAME PATTERN-WHEN-READY READERS RATE LOAD-OPTIONS -- COMMAND...
# Prints the load's line and the server's "p50 p99" of arrival to written.
measure() {
  local name="$1" ready="$2" readers="$3" rate="$4" load_options="$5" pid load
  shift 6
  "$@" 2>"$log" &
  pid=$!
  for _ in $(seq $((ready_s * 10))); do
    grep -q "$ready" "$log" && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if ! grep -q "$ready" "$log"; then
    cat "$log" >&2
    echo "serve bench: $name did not start listening within $ready_s s" >&2
    kill -INT "$pid" 2>/dev/null || true
    wait "$pid" || true
    exit 1
  fi
  # shellcheck disable=SC2086  # the options are words
  load="$(python3 bench/serve_load.py "$pid" "$udp_port" "$http_port" "$readers" "$rate" \
    "$seconds" $load_options)"
  kill -INT "$pid"
  wait "$pid" || true
  local figures='s/.*arrival to event written: p50 \([0-9]*\) us, p99 \([0-9]*\) us.*/\1 \2/p'
  echo "$load $(sed -n "$figures" "$log")"
}

# Columns of the figures each server gets per round: the load's line, then its own p50 and p99.
# Prints the medians over the rounds, with the events summed.
medians() {  # FILE
  local column
  echo "$(awk '{ n += $2 * $1; e += $3 } END { printf "%d/%d", e, n }' "$1")" \
    "$(for column in 4 5 6 8 9; do
      sort -n -k"$column","$column" "$1" | awk -v c="$column" '{ v[NR] = $c }
        END { printf "%s ", NR ? v[int((NR + 1) / 2)] : "?" }'
    done)"
}

row() {  # READERS RATE NAME EVENTS PAGE50 PAGE99 CPU P50 P99
  printf '%-7s %-4s %-11s %-12s %8s %8s %8s %9s %9s\n' "$1" "$2" "$3" "$4" "$7" "$8" "$9" "$5" "$6"
}

echo "$rounds rounds of $seconds s, serve and the limit in turn; medians of the rounds; times in"
echo "microseconds. CPU: the server process's own, per datagram; written: the server's own time"
echo "from arrival to event written; page: from sending the datagram to its event read"
printf '%-7s %-4s %-11s %-12s %8s %8s %8s %9s %9s\n' readers Hz server "events read" \
  CPU "wr. p50" "wr. p99" "page p50" "page p99"
for readers in 1 20; do
  for rate in 60 120; do
    : >"$log.serve"
    : >"$log.limit"
    for _ in $(seq "$rounds"); do
      measure "g1 serve" "instruments at" "$readers" "$rate" "" -- \
        "$g1" serve --port "$udp_port" --http "$http_port" --bind 127.0.0.1 >>"$log.serve"
      bytes="$(tail -n 1 "$log.serve" | awk '{ print $7 }')"
      [ "${bytes:-0}" -gt 0 ] 2>/dev/null && serve_event_bytes="$bytes"
      measure "the limit" "events at" "$readers" "$rate" "--in-order" -- \
        "$limit" "$udp_port" "$http_port" "$serve_event_bytes" >>"$log.limit"
    done
    read -r s_events s_page50 s_page99 s_cpu s_p50 s_p99 <<<"$(medians "$log.serve")"
    read -r l_events l_page50 l_page99 l_cpu l_p50 l_p99 <<<"$(medians "$log.limit")"
    row "$readers" "$rate" "g1 serve" "$s_events" "$s_page50" "$s_page99" "$s_cpu" "$s_p50" "$s_p99"
    row "" "" "limit" "$l_events" "$l_page50" "$l_page99" "$l_cpu" "$l_p50" "$l_p99"
    # shellcheck disable=SC2046  # the ratios are words
    row "" "" "serve/limit" "" $(awk -v s="$s_page50 $s_page99 $s_cpu $s_p50 $s_p99" \
      -v l="$l_page50 $l_page99 $l_cpu $l_p50 $l_p99" 'BEGIN { split(s, a); split(l, b)
        for (i = 1; i <= 5; ++i) printf "%s ", (b[i] > 0 ? sprintf("%.2fx", a[i] / b[i]) : "-") }')
  done
done
echo "serve writes a page at most 60 times a second (at 120 Hz it keeps every second datagram);"
echo "the limit writes every datagram to every page. Events: $serve_event_bytes bytes each."
echo "on this machine: $("$limit" --calibrate "$serve_event_bytes")"
