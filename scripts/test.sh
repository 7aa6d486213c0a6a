#!/usr/bin/env bash
# Runs every test suite (called inside the sandbox by ./run test) and ends with the total:
# "N passed, N failed" on the last line; exits non-zero on any failure.
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

[ "${TESSEL_SANDBOX:-}" = "inside" ] || { echo "test: run me through ./run test" >&2; exit 2; }

passed=0
failed=0
suites_failed=()

# Adds one CTest run to the totals, from the summary line CTest prints.
run_ctest() {
  local preset="$1"
  local log="build/$preset/ctest.log"
  echo "== $preset"
  ctest --preset "$preset" -j "$(nproc)" --timeout 300 >"$log" 2>&1
  sed -n '/tests passed/p; /The following tests FAILED/,/^Errors/p' "$log"
  local summary total bad
  summary="$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1)"
  if [ -z "$summary" ]; then
    echo "$preset: no CTest summary"
    failed=$((failed + 1)); suites_failed+=("$preset"); return
  fi
  bad="$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$summary")"
  total="$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\2/' <<<"$summary")"
  passed=$((passed + total - bad))
  failed=$((failed + bad))
  [ "$bad" -eq 0 ] || suites_failed+=("$preset")
}

# Adds one scripted check (a command that must exit 0) to the totals.
run_check() {
  local name="$1"; shift
  echo "== $name"
  if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); suites_failed+=("$name"); fi
}

source scripts/presets.sh
for preset in "${presets[@]}"; do
  run_ctest "$preset"
done
for check in scripts/checks/*.sh; do
  [ -x "$check" ] && run_check "$(basename "$check" .sh)" "$check"
done

[ ${#suites_failed[@]} -eq 0 ] || echo "failing: ${suites_failed[*]}"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
