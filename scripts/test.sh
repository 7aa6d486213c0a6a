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

# Adds one scripted check (a command that must exit 0 within its time limit) to the totals.
run_check() {
  local check="$1" name limit status
  name="$(basename "$check" .sh)"
  echo "== $name"
  if [ ! -x "$check" ]; then
    part_failed "$name" "$check is not executable"
    return
  fi
  limit="$(sed -n 's/^# time limit: \([0-9][0-9]*\) s$/\1/p' "$check" | head -1)"
  timeout --kill-after=10 "${limit:-$check_timeout_s}" "$check"
  status=$?
  if [ "$status" -eq 0 ]; then
    passed=$((passed + 1))
  elif [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
    part_failed "$name" "stopped after its time limit of ${limit:-$check_timeout_s} s"
  else
    part_failed "$name" "exit $status"
  fi
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
  if [ "$preset" = win32 ]; then
    timed win32 run_win32
  else
    echo "== $preset"
    timed "$preset" run_ctest "$preset"
  fi
done
for check in scripts/checks/*.sh; do
  timed "$(basename "$check" .sh)" run_check "$check"
done

echo "time per part: ${TESSEL_BUILD_TIMES:+$TESSEL_BUILD_TIMES }${timings[*]}"
[ ${#suites_failed[@]} -eq 0 ] || echo "failing: ${suites_failed[*]}"
if [ "$skipped" -gt 0 ]; then
  echo "$passed passed, $failed failed, $skipped skipped"
else
  echo "$passed passed, $failed failed"
fi
[ "$failed" -eq 0 ]
