#!/usr/bin/env bash
# Runs a command against Debian's MQTT broker, started for it alone inside the sandbox on a free
# loopback port (no persistence, anonymous clients) and stopped after it; exits as the command.
#   scripts/with-broker.sh CMD ARG...   every ARG that is {port} becomes the broker's port
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

fail() { echo "with-broker: $*" >&2; exit 1; }

# shellcheck source=lib/sandbox_check.sh
. "$root/scripts/lib/sandbox_check.sh"
tessel_require_sandbox "with-broker" "run me through ./run sandbox $0"
[ $# -gt 0 ] || fail "usage: scripts/with-broker.sh CMD ARG..."
command -v mosquitto >/dev/null || fail "Debian's mosquitto is not installed (./run setup)"

work="$(mktemp -d /tmp/tessel-broker.XXXXXX)" || fail "cannot make a work folder"
broker=""
trap '[ -z "$broker" ] || { kill "$broker" 2>/dev/null; wait "$broker" 2>/dev/null; }; rm -rf "$work"' EXIT

port="$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')" ||
  fail "no free loopback port"
printf 'listener %s 127.0.0.1\nallow_anonymous true\npersistence false\nlog_dest stderr\n' "$port" \
  >"$work/mosquitto.conf"
mosquitto -c "$work/mosquitto.conf" 2>"$work/mosquitto.log" &
broker=$!
for _ in $(seq 100); do
  ss -Hltn "sport = :$port" | grep . >/dev/null && break
  kill -0 "$broker" 2>/dev/null || fail "mosquitto ended at start: $(tail -1 "$work/mosquitto.log")"
  sleep 0.1
done
ss -Hltn "sport = :$port" | grep . >/dev/null || fail "mosquitto did not listen on 127.0.0.1:$port within 10 s"

args=()
for a in "$@"; do
  if [ "$a" = "{port}" ]; then args+=("$port"); else args+=("$a"); fi
done
"${args[@]}"
rc=$?
kill -0 "$broker" 2>/dev/null || { echo "with-broker: mosquitto ended while the command ran:" \
  "$(tail -1 "$work/mosquitto.log")" >&2; rc=1; }
[ "$rc" -eq 0 ] || { echo "with-broker: the broker's log:" >&2; cat "$work/mosquitto.log" >&2; }
exit "$rc"
