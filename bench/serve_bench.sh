#!/usr/bin/env bash
# g1 serve under load, inside the sandbox (scripts/bench.sh runs it there): for 1 and 20 pages,
# datagrams at 60 Hz by unicast to 127.0.0.1; the server's own figure (arrival to event written
# to a page), the page's (datagram sent to event read) and the server's CPU per datagram.
# Usage: bench/serve_bench.sh G1 [SECONDS]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
. scripts/lib/sandbox_check.sh
tessel_require_sandbox "serve bench" "./run bench runs me in the sandbox"

g1="$1"
seconds="${2:-10}"
rate=60
udp_port=50991
http_port=18081
log="$(mktemp)"
trap 'rm -f "$log"' EXIT

echo "datagrams at $rate Hz for $seconds s; times in microseconds"
echo "readers  datagrams  events read  sent->read p50  p99  CPU/datagram | server: arrival->written p50  p99"
for readers in 1 20; do
  "$g1" serve --port "$udp_port" --http "$http_port" --bind 127.0.0.1 2>"$log" &
  serve=$!
  for _ in $(seq 50); do grep -q "instruments at" "$log" && break; sleep 0.1; done
  load="$(python3 bench/serve_load.py "$serve" "$udp_port" "$http_port" "$readers" "$rate" "$seconds")"
  kill -INT "$serve"
  wait "$serve" || true
  server="$(sed -n 's/.*arrival to event written: p50 \([0-9]*\) us, p99 \([0-9]*\) us.*/\1  \2/p' "$log")"
  echo "$load | $server"
done
