#!/usr/bin/env bash
# CTest's runner for GoogleTest programs: a program passes only if it provably ran to its end,
# that is exited 0 and printed "[  PASSED  ] N tests" for exactly the tests it was asked to run,
# each with its "[       OK ]" line. No output, a stop after "[ RUN      ]" or fewer tests fail,
# whatever the exit code. Skipped tests are named on a line of their own, "gtest-run: skipped",
# and, for a whole program, in the file TESSEL_SKIPPED_LOG names when set, so a run counts them.
# Usage: gtest-run.sh [--wine] PROGRAM [ARGS...]   (--wine: a Windows program, run under Wine)
set -uo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

runner=()
if [ "${1:-}" = --wine ]; then
  runner=("$here/wine-emulator.sh")
  shift
fi
[ $# -gt 0 ] || { echo "gtest-run: usage: gtest-run.sh [--wine] PROGRAM [ARGS...]" >&2; exit 2; }
program="$1"

filter=""
for arg in "${@:2}"; do
  case "$arg" in
    --gtest_list_tests) exec "${runner[@]}" "$@" ;;  # test discovery: the list as it is
    --gtest_filter=*) filter="${arg#--gtest_filter=}" ;;
  esac
done

fail() { echo "gtest-run: FAILED $(basename "$program"): $*"; exit 1; }

# The tests it must run: one when the filter names one, else the program's own list.
expected_names=()
if [ -n "$filter" ] && [[ "$filter" != *[\*\?:-]* ]]; then
  expected_names=("$filter")
else
  list="$("${runner[@]}" "$program" --gtest_list_tests ${filter:+"--gtest_filter=$filter"} </dev/null 2>&1)" ||
    fail "listing its tests failed: $(tail -n 3 <<<"$list")"
  suite=""
  while IFS= read -r line; do
    line="${line%%#*}"
    line="${line%"${line##*[![:space:]]}"}"
    case "$line" in
      "") ;;
      "  "*) [[ "$suite$line" == *DISABLED_* ]] || expected_names+=("$suite${line#  }") ;;
      *) suite="$line" ;;
    esac
  done <<<"$list"
  [ ${#expected_names[@]} -gt 0 ] || fail "it lists no tests: $(tail -n 3 <<<"$list")"
fi

# The output goes to a file first: a process the program leaves behind cannot hold a pipe open.
out="$(mktemp /tmp/gtest-run.XXXXXX)"
trap 'rm -f "$out"' EXIT
"${runner[@]}" "$@" >"$out" 2>&1
rc=$?
cat "$out"
sed -i 's/\r$//' "$out"  # Windows programs end their lines with CR LF

[ "$rc" -eq 0 ] || fail "exit code $rc"
missing=()
skipped=0
for name in "${expected_names[@]}"; do
  if grep -qF "[  SKIPPED ] $name (" "$out"; then
    echo "gtest-run: skipped: $name"
    # CTest itself counts a skipped single test; one inside a whole program only this list shows.
    [ -z "${TESSEL_SKIPPED_LOG:-}" ] || [ ${#expected_names[@]} -eq 1 ] ||
      echo "$name" >>"$TESSEL_SKIPPED_LOG"
    skipped=$((skipped + 1))
  elif ! grep -qF "[       OK ] $name (" "$out"; then
    missing+=("$name")
  fi
done
[ ${#missing[@]} -eq 0 ] ||
  fail "${#missing[@]} of ${#expected_names[@]} tests did not pass to their end: ${missing[*]:0:5}"
passed=$((${#expected_names[@]} - skipped))
grep -qE "^\[  PASSED  \] $passed tests?\.$" "$out" ||
  fail "no \"[  PASSED  ] $passed tests.\" line: it did not run to its end"
! grep -qF '[  FAILED  ]' "$out" || fail "a test failed"
exit 0
