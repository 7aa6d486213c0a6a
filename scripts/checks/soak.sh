#!/usr/bin/env bash
# Soak and fault runs of the plug-in under Wine, inside the sandbox (scripts/test.sh runs it).
# plugin_soak.exe drives the plug-in and counts its datagrams; this script watches the resident
# size and open descriptors of that Wine process and of the Wine server (which holds every
# socket) from the Linux side, as Wine reports no private memory or handle count, and for the
# fault run takes the broadcast route away and back again, then makes loopback crawl.
set -uo pipefail
shopt -s lastpipe
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
cd "$root"

fail() { echo "soak: $*" >&2; exit 1; }

# The route below is deleted and added again: only ever in a network namespace of our own.
. scripts/lib/sandbox_check.sh
tessel_require_sandbox soak "run me through ./run test or ./run sandbox $0"

exe=build/win64/bin/plugin_soak.exe
[ -f "$exe" ] || fail "$exe is missing: build the win64 preset first"

rss_slack_kb=1024  # what the soak may add after its first 10000 calls: allocator and page noise
fd_slack=0         # descriptors: none
# Load and unload cycles: Wine's heaps keep the pages they once grew to (a repaint's 2.7 MB
# bitmap placed anew, once in a while), and each window thread's display connection may still be
# closing when the sample is taken. A leak per cycle shows in the driver's exact heap and handle
# checks, and here as growth well past these.
cycle_rss_slack_kb=8192
# A window thread's display connection may still be closing when a sample is taken, on both
# sides of it, and on a loaded machine several are: a sample then shows a few more. A leak per
# cycle adds one or more for each of the 24 cycles between the compared samples.
cycle_fd_slack=16
cycle_server_fd_slack=16
compare_span=5     # progress lines at either end that are compared
# The driver prints a progress line every 2500 calls and every 4 cycles: the soak is compared
# from its 10000th call, the cycles from the 20th (the driver's baselines).
soak_first_compared=3
cycles_first_compared=4
route=(broadcast 255.255.255.255 dev lo table local)
# Datagrams queued on a crawling link still count against the sender's buffer, which fills
# after a few hundred. Made fast again, not removed (which would drop them), it delivers them.
link() { tc qdisc "$1" dev lo root tbf rate "$2" burst 1600 limit 10000000; }

work="$(mktemp -d)"
restore_route() {
  ip route show table local | grep -q '^broadcast 255\.255\.255\.255 dev lo' || ip route add "${route[@]}"
}
trap 'restore_route; tc qdisc del dev lo root 2>/dev/null; rm -rf "$work"' EXIT

# The newest process of that name in this network namespace: other sandboxes run beside ours.
own_process() {
  local pid found=""
  for pid in $(pgrep -x "$1" || true); do
    [ "$(readlink "/proc/$pid/ns/net" 2>/dev/null)" = "$(readlink /proc/self/ns/net)" ] && found="$pid"
  done
  echo "$found"
}

# "resident-kB descriptors" of a process.
sample() {
  echo "$(awk '/^VmRSS:/ {print $2}' "/proc/$1/status") $(find "/proc/$1/fd" -mindepth 1 | wc -l)"
}

failures=0  # the driver's own FAIL lines count through its exit status
verdict() {  # ok description
  if [ "$1" = yes ]; then echo "PASS $2"; else echo "FAIL $2"; failures=$((failures + 1)); fi
}

# Runs the driver in a mode, hands each line it prints (less the CR of Windows line ends) to
# the function named in $1, and counts a failure unless the driver exits 0 having printed
# "result: 0 failed" as its last word.
drive() {
  local on_line="$1" line result="" status
  shift
  wine "$exe" "$@" </dev/null 2>"$work/$1.err" | while IFS= read -r line; do
    line="${line%$'\r'}"
    case "$line" in result:*) result="$line" ;; esac
    "$on_line" "$line"
  done
  status="${PIPESTATUS[0]}"
  if [ "$status" -ne 0 ] || [ "$result" != "result: 0 failed" ]; then
    echo "  plugin_soak.exe $1 exited with $status, last said '${result:-nothing}'"
    tail -n 5 "$work/$1.err"
    failures=$((failures + 1))
  fi
}

soak_pid=""
soak_server=""
soak_samples=()  # "rss fds server-rss server-fds" at every progress line

on_soak_line() {
  local sample calls
  case "$1" in
    calls\ * | cycles\ *)
      [ -n "$soak_pid" ] || soak_pid="$(own_process plugin_soak.exe)"
      [ -n "$soak_pid" ] || { echo "  cannot find plugin_soak.exe"; return; }
      # The process first found may have been Wine's start-up step, which hands over to
      # another: look again. The driver may also end right after its last progress line: no
      # sample of an ending process.
      sample="$(sample "$soak_pid" 2>/dev/null) $(sample "$soak_server")"
      if [ "$(wc -w <<<"$sample")" -ne 4 ] || [ "$(cut -d' ' -f2 <<<"$sample")" -eq 0 ]; then
        soak_pid="$(own_process plugin_soak.exe)"
        sample="$(sample "$soak_pid" 2>/dev/null) $(sample "$soak_server")"
      fi
      if [ "$(wc -w <<<"$sample")" -ne 4 ] || [ "$(cut -d' ' -f2 <<<"$sample")" -eq 0 ]; then
        echo "  $1 (the driver is ending: not sampled)"
        return
      fi
      soak_samples+=("$sample")
      read -r unit calls _ <<<"$1"
      printf '  %-14s %-28s %-20s %s\n' "$unit $calls" "$(cut -d' ' -f1,2 <<<"$sample")" \
        "$(cut -d' ' -f3,4 <<<"$sample")" "${1#"$unit $calls "}"
      ;;
    *) echo "  $1" ;;
  esac
}

# The smallest value of a column over samples FROM to TO: a sample taken during a repaint
# holds its off-screen bitmap (2 MB) as well, so the lows show what stays.
low() {  # column from to
  local i v min=""
  for ((i = $2; i <= $3; i++)); do
    v="$(cut -d' ' -f"$1" <<<"${soak_samples[$i]}")"
    [ -n "$min" ] && [ "$min" -le "$v" ] || min="$v"
  done
  echo "$min"
}

grown_within() {  # column name slack unit [first sample compared]
  local n=${#soak_samples[@]} first="${5:-0}" before after ok=no
  before="$(low "$1" "$first" $((first + compare_span - 1)))"
  after="$(low "$1" $((n - compare_span)) $((n - 1)))"
  [ "$after" -le $((before + $3)) ] && ok=yes
  verdict "$ok" "$2: $before$4 early, $after$4 late (at most +$3$4)"
}

# Whether there are enough samples to compare from sample FIRST on (counted from 0), and says
# which are compared.
compare_samples() {  # first
  if [ ${#soak_samples[@]} -lt $(($1 + 2 * compare_span)) ]; then
    verdict no "the Linux side was sampled ${#soak_samples[@]} times"
    return 1
  fi
  echo "  lowest of samples $(($1 + 1)) to $(($1 + compare_span)) and of the last $compare_span:"
}

run_soak() {
  echo "soak: 50000 Updates with the window open"
  soak_server="${TESSEL_WINESERVER_PID:-}"
  [ -n "$soak_server" ] || fail "the sandbox did not name its Wine server"
  printf '  %-14s %-28s %-20s %s\n' "" "wine process: rss kB, fds" "server: rss kB, fds" \
    "Windows side"
  drive on_soak_line soak
  compare_samples "$soak_first_compared" || return
  grown_within 1 "wine process resident size" "$rss_slack_kb" " kB" "$soak_first_compared"
  grown_within 2 "wine process descriptors" "$fd_slack" "" "$soak_first_compared"
  grown_within 3 "Wine server resident size" "$rss_slack_kb" " kB" "$soak_first_compared"
  grown_within 4 "Wine server descriptors" "$fd_slack" "" "$soak_first_compared"
}

on_route_line() {
  echo "  $1"
  case "$1" in
    "need: route off") ip route del "${route[@]}" && echo "  (route deleted)"; touch "$work/route-off.done" ;;
    "need: route on") restore_route && echo "  (route restored)"; touch "$work/route-on.done" ;;
    "need: crawl") link add 8kbit && echo "  (loopback crawls)"; touch "$work/crawl.done" ;;
    "need: fast") link change 1gbit && echo "  (loopback fast)"; touch "$work/fast.done" ;;
  esac
}

run_cycles() {
  echo "cycles: 60 times LoadLibrary, Init, 100 Updates, Shutdown, FreeLibrary in one process"
  soak_pid=""
  soak_samples=()
  drive on_soak_line cycles
  compare_samples "$cycles_first_compared" || return
  grown_within 1 "wine process resident size" "$cycle_rss_slack_kb" " kB" "$cycles_first_compared"
  grown_within 2 "wine process descriptors" "$cycle_fd_slack" "" "$cycles_first_compared"
  grown_within 3 "Wine server resident size" "$rss_slack_kb" " kB" "$cycles_first_compared"
  grown_within 4 "Wine server descriptors" "$cycle_server_fd_slack" "" "$cycles_first_compared"
}

run_route() {
  echo "route: datagrams before, while and after the broadcast route is gone; loopback crawling"
  drive on_route_line route "Z:$work"
  restore_route
}

run_soak
run_cycles
run_route
[ "$failures" -eq 0 ] || fail "$failures failed"
echo "soak: all passed"
