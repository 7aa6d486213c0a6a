#!/usr/bin/env bash
# Runs every test suite (called inside the sandbox by ./run test) and ends with the total:
# "N passed, N failed" on the last line (", N skipped" after it when some could not run here);
# exits non-zero on any failure.
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

# shellcheck source=lib/sandbox_check.sh
. scripts/lib/sandbox_check.sh
tessel_require_sandbox test "run me through ./run test"

ctest_timeout_s=300
# A Wine program now and then dies at start with nothing said (Wine's own messages are off):
# such a test runs once more, and the run lists every test that failed at least once.
wine_retry=(--repeat until-pass:2)
check_timeout_s=600  # a check may name its own limit in a line "# time limit: N s"

passed=0
failed=0
skipped=0
suites_failed=()

# Adds one CTest run to the totals, from the summary line CTest prints.
run_ctest() {  # preset [ctest arguments...]
  local preset="$1"
  shift
  local log="build/$preset/ctest.log"
  ctest --preset "$preset" -j "$(nproc)" --timeout "$ctest_timeout_s" "$@" >"$log" 2>&1
  sed -n '/tests passed/p; /The following tests FAILED/,/^Errors/p' "$log"
  local retried
  retried="$(sed -n 's/.*Test *#[0-9]*: \([^ ]*\) .*\*\*\*Failed.*/\1/p' "$log" | sort -u | tr '\n' ' ')"
  [ -z "$retried" ] || echo "$preset: failed at least once (see $log): $retried"
  local summary total bad
  summary="$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1)"
  if [ -z "$summary" ]; then
    echo "$preset: no CTest summary; its last words:"
    tail -n 5 "$log"
    failed=$((failed + 1)); suites_failed+=("$preset"); return
  fi
  bad="$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$summary")"
  total="$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\2/' <<<"$summary")"
  passed=$((passed + total - bad))
  failed=$((failed + bad))
  [ "$bad" -eq 0 ] || suites_failed+=("$preset")
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
      run_ctest win32 "${wine_retry[@]}"
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
  local before=$((passed + failed))
  run_ctest win32 -L "$selected" "${wine_retry[@]}"
  local ran=$((passed + failed - before))
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
    echo "$name: $check is not executable"
    failed=$((failed + 1)); suites_failed+=("$name"); return
  fi
  limit="$(sed -n 's/^# time limit: \([0-9][0-9]*\) s$/\1/p' "$check" | head -1)"
  timeout --kill-after=10 "${limit:-$check_timeout_s}" "$check"
  status=$?
  if [ "$status" -eq 0 ]; then
    passed=$((passed + 1))
  else
    [ "$status" -ne 124 ] && [ "$status" -ne 137 ] ||
      echo "$name: stopped after its time limit of ${limit:-$check_timeout_s} s"
    failed=$((failed + 1)); suites_failed+=("$name")
  fi
}

for preset in $(scripts/presets.sh); do
  if [ "$preset" = win32 ]; then
    run_win32
  else
    echo "== $preset"
    case "$preset" in
      win*) run_ctest "$preset" "${wine_retry[@]}" ;;
      *) run_ctest "$preset" ;;
    esac
  fi
done
for check in scripts/checks/*.sh; do
  run_check "$check"
done

[ ${#suites_failed[@]} -eq 0 ] || echo "failing: ${suites_failed[*]}"
if [ "$skipped" -gt 0 ]; then
  echo "$passed passed, $failed failed, $skipped skipped"
else
  echo "$passed passed, $failed failed"
fi
[ "$failed" -eq 0 ]
