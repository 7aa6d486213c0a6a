#!/usr/bin/env bash
# ./run bench: builds and runs the benchmarks and says on what. The native core runs here;
# Update end to end (under Wine), the relay against socat, g1 serve against its limit and
# g1 publish (to MQTT and to InfluxDB) against Python bridges run inside the sandbox, where their
# datagrams stay on lo (and the MQTT broker and influxd they start listen only there).
# Every figure is set against a baseline timed in the same run; nothing passes or fails on time.
# Arguments go to the native benchmark (for instance --benchmark_filter=Decode).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

build_jobs=2         # the machines are shared
repetitions=5        # each native figure is the median of this many runs
min_time_s=0.2       # per run
core=build/bench/bin/core_bench
update=build/bench-win64/bin/update_bench.exe
relay=build/bench/bin/relay_bench
g1=build/bench/bin/g1
serve_limit=build/bench/bin/serve_limit
. scripts/lib/artifacts.sh

build() {  # preset targets...
  local preset="$1" log
  shift
  log="build/$preset-build.log"
  mkdir -p build
  if ! { [ -f "build/$preset/CMakeCache.txt" ] || cmake --preset "$preset"; } >"$log" 2>&1 ||
    ! cmake --build --preset "$preset" -j "$build_jobs" --target "$@" >>"$log" 2>&1; then
    tail -n 30 "$log"
    echo "bench: building $preset failed (log: $log)" >&2
    exit 1
  fi
}

machine() {
  echo "== machine"
  echo "cpu:      $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)"
  echo "cores:    $(nproc) online ($(grep -c '^processor' /proc/cpuinfo) listed)"
  echo "memory:   $(awk '/^MemTotal/ {printf "%.1f GiB", $2 / 1048576}' /proc/meminfo)"
  echo "load:     $(cut -d' ' -f1-3 /proc/loadavg) (1, 5, 15 min; the machine is shared)"
  echo "kernel:   $(uname -r)"
  echo "== build"
  echo "native:   Release ($(sed -n 's/^CMAKE_CXX_FLAGS_RELEASE:STRING=//p' build/bench/CMakeCache.txt))," \
    "$(c++ --version | head -1)"
  echo "windows:  Release, $(x86_64-w64-mingw32-g++-posix --version | head -1)"
  echo "wine:     $(scripts/wine/wine --version 2>/dev/null || echo unknown)"
  echo "commit:   $(git rev-parse --short HEAD)$(git diff --quiet HEAD -- plugin tools bench || echo ' with local changes')"
}

build bench core_bench relay_bench serve_limit g1
build bench-win64 update_bench "${tessel_plugin_dll%.dll}"  # the target is named after its file
machine

echo
echo "== native core ($repetitions runs of ${min_time_s}s each, medians)"
"$core" --benchmark_repetitions="$repetitions" --benchmark_report_aggregates_only=true \
  --benchmark_min_time="$min_time_s" "$@" 2>&1 |
  grep -v 'Library was built as DEBUG'  # Debian's note on the library's own build, not ours

echo
echo "== Update end to end under Wine, in the sandbox; a sendto on sockets set up each way, and" \
  "with the Wine server on either processor; then Update with the broadcast route gone"
# shellcheck disable=SC2016  # expanded inside the sandbox
scripts/sandbox.sh bash -c '
  wine "$1" | tee "$2"
  echo
  wine "$1" --socket-settings | tee -a "$2"
  echo
  bench/wine_server_placement.sh "$1"
  echo
  ip route del broadcast 255.255.255.255 dev lo table local
  wine "$1" --route-gone | tee -a "$2"
' _ "$update" build/bench-update.txt
awk '/^Update \(100 records, window open\)/ { with = $(NF - 1) }
     /^Update \(100 records, window open, route gone\)/ { gone = $(NF - 1) }
     END { if (with > 0 && gone > 0) printf "Update, route gone / route up: %5.2fx (medians)\n", gone / with }' \
  build/bench-update.txt

echo
echo "== g1 relay against socat ($(socat -V | sed -n 's/^socat version \([^ ]*\).*/\1/p')), in the sandbox:" \
  "G1 broadcasts forwarded to one receiver on 127.0.0.1"
scripts/sandbox.sh "$relay" "$root/build/bench/bin/g1" "$(command -v socat)"

echo
echo "== g1 serve against its limit: datagram to page, native Release build, in the sandbox"
scripts/sandbox.sh bench/serve_bench.sh "$g1" "$serve_limit"

echo
echo "== g1 publish against a Python bridge (paho), through mosquitto, in the sandbox"
# Debian's Python: the bridge and the subscriber use its python3-paho-mqtt.
scripts/sandbox.sh /usr/bin/python3 bench/bridge_bench.py "$g1"

echo
echo "== g1 publish --influx against a Python bridge (python3-influxdb), into influxd, in the sandbox"
scripts/sandbox.sh /usr/bin/python3 bench/influx_bench.py "$g1"
