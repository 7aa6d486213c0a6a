#!/usr/bin/env bash
# Runs CMD ARG... against Debian's MQTT broker, started for it alone inside the sandbox on a free
# loopback port (anonymous, no persistence), an ARG {port} being that port; exits as CMD does.
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=lib/sandbox_check.sh
. "$root/scripts/lib/sandbox_check.sh"
tessel_require_sandbox "with-broker" "run me through ./run sandbox $0"

work="$(mktemp -d /tmp/tessel-broker.XXXXXX)" || exit 1
trap 'kill "${broker:-}" 2>/dev/null; rm -rf "$work"' EXIT
port="$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])')"
printf 'listener %s 127.0.0.1\nallow_anonymous true\npersistence false\n' "$port" >"$work/conf"
mosquitto -c "$work/conf" 2>"$work/log" &
broker=$!
for _ in $(seq 100); do  # until it listens, or 10 s; a command without a broker fails by itself
  ss -Hltn "sport = :$port" | grep . >/dev/null && break
  sleep 0.1
done
"${@//\{port\}/$port}"
rc=$?
[ "$rc" -eq 0 ] || { echo "with-broker: mosquitto's log:" >&2; cat "$work/log" >&2; }
exit "$rc"
