#!/usr/bin/env bash
# Two relays pointed at each other, as a two-way bridge between subnets would be, inside the
# sandbox: A takes the broadcasts on one port and sends them to B and to a listener, B likewise
# the other way. Each listener must get each datagram once (repeated bytes included, as a paused
# simulator sends them), nothing that is not G1, and the traffic must stop when the sender stops.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
cd "$root"

fail() { echo "relay loop: $*" >&2; exit 1; }

# shellcheck source=../lib/sandbox_check.sh
. scripts/lib/sandbox_check.sh
tessel_require_sandbox "relay loop" "run me through ./run sandbox $0"

g1=build/native/bin/g1
[ -x "$g1" ] || fail "$g1 is missing: build the native preset first"

port_a=50010 port_b=50011 listen_a=50020 listen_b=50021
distinct=150   # datagrams of a flying simulator, each one different
repeated=30    # then a paused one: the same bytes every frame
junk=10        # broadcasts that are not G1
run_s=5        # how long the relays and listeners run; the sender is done after about 1.5 s
expected=$((distinct + repeated))

work="$(mktemp -d)"
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$work"' EXIT

"$g1" relay --port "$port_a" --to "127.0.0.1:$port_b" --to "127.0.0.1:$listen_a" \
  --seconds "$run_s" 2>"$work/relay_a.log" & pids+=($!)
"$g1" relay --port "$port_b" --to "127.0.0.1:$port_a" --to "127.0.0.1:$listen_b" \
  --seconds "$run_s" 2>"$work/relay_b.log" & pids+=($!)
"$g1" listen --port "$listen_a" --csv --seconds "$run_s" >"$work/a.csv" 2>"$work/listen_a.log" & pids+=($!)
"$g1" listen --port "$listen_b" --csv --seconds "$run_s" >"$work/b.csv" 2>"$work/listen_b.log" & pids+=($!)

for _ in $(seq 50); do
  bound="$(ss -Hlun | grep -cE ":($port_a|$port_b|$listen_a|$listen_b) " || true)"
  [ "$bound" -ge 4 ] && break
  sleep 0.1
done
[ "$bound" -ge 4 ] || fail "the relays and listeners did not bind their ports"

python3 - "$distinct" "$repeated" "$junk" "$port_a" "$port_b" <<'PY'
import socket, sys, time
distinct, repeated, junk, *ports = (int(a) for a in sys.argv[1:])
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
def send(data):
    for port in ports:
        s.sendto(data, ("255.255.255.255", port))
    time.sleep(0.005)
for i in range(distinct):
    send(b"G1,%d,1000,0,-2000,%d,-5,90000,0,0,0,0,0,0," % (i * 16667, i))
for _ in range(repeated):
    send(b"G1,%d,0,0,0,0,0,0,0,0,0,0,0,0," % (distinct * 16667))
for i in range(junk):
    send(b"not G1 %d" % i)
PY

for p in "${pids[@]}"; do wait "$p" || fail "a relay or listener failed (logs in $work)"; done
pids=()

summary() { sed -n "s/^g1 relay: \(forwarded \)/\1/p" "$work/$1.log"; }
for side in a b; do
  rows="$(($(wc -l <"$work/$side.csv") - 1))"
  [ "$rows" -eq "$expected" ] ||
    fail "listener $side got $rows datagrams, not $expected: $(cat "$work/listen_$side.log")"
  grep -q " 0 malformed" "$work/listen_$side.log" || fail "listener $side got datagrams that are not G1"
  line="$(summary "relay_$side")"
  # Every datagram the relay took: its sender's, then the other relay's copy of each, no more.
  want="forwarded $expected datagrams to 2 targets, 0 sends failed; ignored $junk not G1, $expected not broadcast, 0 own copies, 0 from other senders; dropped 0 above 1000 a second from one sender (--max-rate), 0 above 4000 a second from all senders (--max-total-rate)"
  [ "$line" = "$want" ] || fail "relay $side: \"$line\", expected \"$want\""
done
echo "relay loop: two relays pointed at each other, $expected datagrams each way, each delivered once"
