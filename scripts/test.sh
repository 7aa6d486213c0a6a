#!/usr/bin/env bash
# Runs every test suite (called inside the sandbox by ./run test) and ends with the total:
# "N passed, N failed" on the last line (", N skipped" after it when some could not run here);
# exits non-zero on any failure. Nothing is retried: a test that fails once has failed.
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

# shellcheck source=lib/sandbox_check.sh
. scripts/lib/sandbox_check.sh
tessel_require_sandbox test "run me through ./run test"

ctest_timeout_s=300
check_timeout_s=600  # a check may name its own limit in a line "# time limit: N s"

passed=0
failed=0
skipped=0
suites_failed=()
timings=()
export TESSEL_SKIPPED_LOG="$root/build/skipped-tests.txt"

# Counts a part as failed, with its reason.
part_failed() {  # name reason
  echo "$1: $2"
  failed=$((failed + 1))
  suites_failed+=("$1")
}

# A part's run ends with the sandbox's Wine server still the one it started: otherwise Wine
# started a new one and what ran meanwhile cannot be trusted.
server_intact_after() {  # name
  local gone
  gone="$(tessel_wineserver_gone)"
  [ -z "$gone" ] || part_failed "$1" "$gone"
}

# Adds one CTest run to the totals: passed and failed from CTest's summary, skipped from its
# list of tests that did not run and from the GoogleTest runner's own list, and a failure when
# CTest itself fails without saying so in its summary.
run_ctest() {  # preset [ctest arguments...]
  local preset="$1"
  shift
  local log="build/$preset/ctest.log" status
  : >"$TESSEL_SKIPPED_LOG"
  ctest --preset "$preset" -j "$(nproc)" --timeout "$ctest_timeout_s" "$@" >"$log" 2>&1
  status=$?
  sed -n '/tests passed/p; /The following tests FAILED/,/^Errors/p' "$log"
  local summary total bad not_run inner
  summary="$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1)"
  if [ -z "$summary" ]; then
    part_failed "$preset" "no CTest summary (exit $status); its last words:"
    tail -n 5 "$log"
    return
  fi
  bad="$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$summary")"
  total="$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\2/' <<<"$summary")"
  not_run="$(sed -n '/The following tests did not run:/,/^$/p' "$log" | grep -c '(Skipped)')"
  inner="$(grep -c . "$TESSEL_SKIPPED_LOG")"
  passed=$((passed + total - bad - not_run))
  failed=$((failed + bad))
  skipped=$((skipped + not_run + inner))
  if [ $((not_run + inner)) -gt 0 ]; then
    echo "$preset: skipped: $( (sed -n '/did not run:/,/^$/p' "$log" |
      sed -n 's/.* - \(.*\) (Skipped)/\1/p'; cat "$TESSEL_SKIPPED_LOG") | tr '\n' ' ')"
  fi
  [ "$bad" -eq 0 ] || suites_failed+=("$preset")
  [ "$status" -eq 0 ] || [ "$bad" -gt 0 ] || part_failed "$preset" "CTest exited $status"
}

# The 32-bit preset as far as this machine runs 32-bit programs: everything natively; where
# they are emulated (a minute a start), the checks that need no Wine and the smoke cases of
# the real program, its behaviour being covered by the 64-bit build of the same sources.
run_win32() {
  local mode all selected
  mode="$(scripts/i386.sh detect)"
  case "$mode" in
    native)
      echo "== win32 (32-bit programs run natively)"
      run_ctest win32
      return
      ;;
    emulated)
      echo "== win32 (32-bit programs are emulated: the smoke run only)"
      selected='^(no_wine|smoke)$'
      ;;
    *)
      echo "== win32 (${mode#none: }: only what needs no Wine)"
      selected='^no_wine$'
      ;;
  esac
  all="$(ctest --preset win32 -N | sed -n 's/^Total Tests: //p')"
  local before=$((passed + failed + skipped))
  run_ctest win32 -L "$selected"
  local ran=$((passed + failed + skipped - before))
  if [ -n "$all" ] && [ "$all" -gt "$ran" ]; then
    skipped=$((skipped + all - ran))
    echo "win32: $((all - ran)) tests skipped: ${mode}"
  fi
}

# A scripted check's time limit: its own line "# time limit: N s", else the default.
check_limit() {  # check
  local limit
  limit="$(sed -n 's/^# time limit: \([0-9][0-9]*\) s$/\1/p' "$1" | head -1)"
  echo "${limit:-$check_timeout_s}"
}

# Adds a check's exit status to the totals.
count_check() {  # name status limit
  if [ "$2" -eq 0 ]; then
    passed=$((passed + 1))
  elif [ "$2" -eq 124 ] || [ "$2" -eq 137 ]; then
    part_failed "$1" "stopped after its time limit of $3 s"
  else
    part_failed "$1" "exit $2"
  fi
}

# Adds one scripted check (a command that must exit 0 within its time limit) to the totals.
run_check() {
  local check="$1" name limit
  name="$(basename "$check" .sh)"
  echo "== $name"
  if [ ! -x "$check" ]; then
    part_failed "$name" "$check is not executable"
    return
  fi
  limit="$(check_limit "$check")"
  timeout --kill-after=10 "$limit" "$check"
  count_check "$name" $? "$limit"
}

# Checks that need no Wine run one after another beside the Windows suites and the Wine checks,
# which start one Wine program at a time and so leave a core idle. Each runs in a network
# namespace of its own within the sandbox's, holding only lo as the sandbox's does: the plug-in's
# port and every other are its own, and nothing it sends reaches the Wine checks (nor theirs it).
# No Wine program can start there: the sandbox's Wine server, in the other namespace, would make
# its sockets. Their output is shown, and they are counted, once they have ended.
beside_checks=(scripts/checks/fuzz.sh scripts/checks/broker.sh scripts/checks/serve_native.sh
  scripts/checks/sources.sh scripts/checks/metrics.sh scripts/checks/relay_loop.sh)
beside_pids=()
in_own_network=(unshare --net -- env -u WINEPREFIX
  TESSEL_WINE_LOADER=/nonexistent/no-wine-beside-the-wine-checks bash -c 'ip link set lo up &&
    ip route replace broadcast 255.255.255.255 dev lo table local && exec "$@"' in_own_network)
start_beside() {
  local check name
  for check in "${beside_checks[@]}"; do
    rm -f "build/$(basename "$check" .sh)-check.status"
  done
  (
    for check in "${beside_checks[@]}"; do
      name="$(basename "$check" .sh)"
      start=$SECONDS
      timeout --kill-after=10 "$(check_limit "$check")" "${in_own_network[@]}" "$check" \
        >"build/$name-check.log" 2>&1
      echo "$? $((SECONDS - start))" >"build/$name-check.status"
    done
  ) &
  beside_pids+=($!)
}
finish_beside() {
  local check name status took
  wait "${beside_pids[@]}"
  for check in "${beside_checks[@]}"; do
    name="$(basename "$check" .sh)"
    echo "== $name (beside the Windows suites and the Wine checks)"
    cat "build/$name-check.log"
    read -r status took <"build/$name-check.status" || { status=1; took=0; }
    count_check "$name" "$status" "$(check_limit "$check")"
    timings+=("$name $took s (beside);")
  done
}

# Runs one part, keeps its time and checks the Wine server after it.
timed() {  # name command...
  local name="$1" start=$SECONDS
  shift
  "$@"
  server_intact_after "$name"
  timings+=("$name $((SECONDS - start)) s;")
}

for preset in $(scripts/presets.sh); do
  [ "$preset" != win64 ] || start_beside
  if [ "$preset" = win32 ]; then
    timed win32 run_win32
  else
    echo "== $preset"
    timed "$preset" run_ctest "$preset"
  fi
done
[ ${#beside_pids[@]} -gt 0 ] || start_beside
for check in scripts/checks/*.sh; do
  [[ " ${beside_checks[*]} " != *" $check "* ]] || continue
  timed "$(basename "$check" .sh)" run_check "$check"
done
finish_beside

echo "time per part: ${TESSEL_BUILD_TIMES:+$TESSEL_BUILD_TIMES }${timings[*]}"
# The whole run, from ./run test's start where it says when that was.
echo "time in all: $(($(date +%s) - ${TESSEL_RUN_STARTED:-$(($(date +%s) - SECONDS))})) s"
[ ${#suites_failed[@]} -eq 0 ] || echo "failing: ${suites_failed[*]}"
if [ "$skipped" -gt 0 ]; then
  echo "$passed passed, $failed failed, $skipped skipped"
else
  echo "$passed passed, $failed failed"
fi
[ "$failed" -eq 0 ]
