#!/usr/bin/env bash
# g1 serve under load against its limit, inside the sandbox (scripts/bench.sh runs it there): for
# 1 and 20 pages at 60 and 120 datagrams a second by unicast to 127.0.0.1, g1 serve and then
# bench/serve_limit (each datagram written as one ready-made event of serve's size to every
# page, one write each) take the same load. For each: the server's own figure (arrival to event
# written to a page), the page's (datagram sent to event read) and the server's CPU per datagram;
# then serve's figures over the limit's, and what system calls and wake-ups cost here.
# Usage: bench/serve_bench.sh G1 SERVE_LIMIT [SECONDS]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
. scripts/lib/sandbox_check.sh
tessel_require_sandbox "serve bench" "./run bench runs me in the sandbox"

g1="$1"
limit="$2"
seconds="${3:-10}"
udp_port=50991
http_port=18081
ready_s=10                 # how long a server may take to listen
serve_event_bytes=150      # until serve's own events have been measured
log="$(mktemp)"
trap 'rm -f "$log"' EXIT

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
  echo "$load $(sed -n 's/.*arrival to event written: p50 \([0-9]*\) us, p99 \([0-9]*\) us.*/\1 \2/p' "$log")"
}

echo "$seconds s at each rate; times in microseconds; CPU: the server process's own, per datagram;"
echo "written: the server's own time from arrival to event written; page: from send to event read"
printf '%-7s %-4s %-11s %-14s %-9s %-9s %-9s %-9s %-9s\n' readers Hz server "events read" \
  CPU "wr. p50" "wr. p99" "page p50" "page p99"
for readers in 1 20; do
  for rate in 60 120; do
    serve="$(measure "g1 serve" "instruments at" "$readers" "$rate" "" -- \
      "$g1" serve --port "$udp_port" --http "$http_port" --bind 127.0.0.1)"
    read -r _ count s_events s_page50 s_page99 s_cpu s_bytes s_p50 s_p99 <<<"$serve"
    [ "${s_bytes:-0}" -gt 0 ] 2>/dev/null && serve_event_bytes="$s_bytes"
    limit_line="$(measure "the limit" "events at" "$readers" "$rate" "--in-order" -- \
      "$limit" "$udp_port" "$http_port" "$serve_event_bytes")"
    read -r _ _ l_events l_page50 l_page99 l_cpu _ l_p50 l_p99 <<<"$limit_line"
    printf '%-7s %-4s %-11s %-14s %-9s %-9s %-9s %-9s %-9s\n' \
      "$readers" "$rate" "g1 serve" "$s_events/$((count * readers))" "$s_cpu" "${s_p50:-?}" \
      "${s_p99:-?}" "$s_page50" "$s_page99" \
      "" "" "limit" "$l_events/$((count * readers))" "$l_cpu" "${l_p50:-?}" "${l_p99:-?}" \
      "$l_page50" "$l_page99"
    awk -v sc="$s_cpu" -v lc="$l_cpu" -v s5="${s_p50:-0}" -v l5="${l_p50:-0}" -v s9="${s_p99:-0}" \
      -v l9="${l_p99:-0}" -v sp5="$s_page50" -v lp5="$l_page50" -v sp9="$s_page99" \
      -v lp9="$l_page99" 'function r(a, b) { return b > 0 ? sprintf("%.2fx", a / b) : "-" }
      BEGIN { printf "%-7s %-4s %-11s %-14s %-9s %-9s %-9s %-9s %-9s\n", "", "", "serve/limit",
              "", r(sc, lc), r(s5, l5), r(s9, l9), r(sp5, lp5), r(sp9, lp9) }'
  done
done
echo "serve writes a page at most 60 times a second (at 120 Hz it keeps every second datagram);"
echo "the limit writes every datagram to every page. Events: $serve_event_bytes bytes each."
echo "on this machine: $("$limit" --calibrate "$serve_event_bytes")"
