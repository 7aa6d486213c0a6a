#!/usr/bin/env bash
# The Update benchmark's socket settings table twice, inside the sandbox (scripts/bench.sh runs
# it there): with the Wine server held on the benchmark's processor and on another one. Under
# Wine a sendto is two round trips to the server, so where the scheduler runs the server sets
# the price of every send, whatever the socket's settings. The server's processors are given
# back afterwards.
# Usage: bench/wine_server_placement.sh UPDATE_BENCH_EXE
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
. scripts/lib/sandbox_check.sh
tessel_require_sandbox "placement bench" "./run bench runs me in the sandbox"
exe="${1:?usage: bench/wine_server_placement.sh UPDATE_BENCH_EXE}"
server="${TESSEL_WINESERVER_PID:?the sandbox names its Wine server}"

# The processors this shell may run on, one a line, from a list such as 0-3,6.
allowed="$(sed -n 's/^Cpus_allowed_list:[[:space:]]*//p' /proc/self/status |
  awk -F, '{ for (i = 1; i <= NF; i++) { n = split($i, r, "-"); if (n == 1) r[2] = r[1]
             for (c = r[1]; c <= r[2]; c++) print c } }')"
mine="$(sed -n 1p <<<"$allowed")"
other="$(sed -n 2p <<<"$allowed")"
if [ -z "$other" ]; then
  echo "one processor only: the Wine server cannot run apart from the benchmark"
  exit 0
fi

mask="$(taskset -p "$server" | sed 's/.*: //')"
trap 'taskset -a -p "$mask" "$server" >/dev/null' EXIT
for cpu in "$mine" "$other"; do
  echo "-- the benchmark on processor $mine, the Wine server on processor $cpu"
  taskset -a -pc "$cpu" "$server" >/dev/null
  taskset -c "$mine" wine "$exe" --socket-settings |
    grep -E '^(socket\(\), protocol 0|as the plug-in|one Wine server|limit / )'
done
