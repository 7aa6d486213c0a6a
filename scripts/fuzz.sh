#!/usr/bin/env bash
# Builds and runs the frame fuzz target from the seed corpus in fuzz/corpus.
#   scripts/fuzz.sh [SECONDS]   fuzz for that long (default 300); new inputs gather in
#                               build/fuzz/corpus, crashes in build/fuzz/artifacts
#   scripts/fuzz.sh --runs N    a fixed, repeatable run of N inputs from the seeds alone
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

build_jobs=2  # the machines are shared
default_seconds=300

if [ "${1:-}" = "--runs" ]; then
  limit=(-runs="${2:?--runs needs a number}" -seed=1)
  work="$(mktemp -d)"
  trap 'rm -rf "$work"' EXIT
else
  seconds="${1:-$default_seconds}"
  [[ "$seconds" =~ ^[0-9]+$ ]] || { echo "usage: scripts/fuzz.sh [SECONDS] | --runs N" >&2; exit 2; }
  limit=(-max_total_time="$seconds")
  work=build/fuzz/corpus
fi

[ -f build/fuzz/CMakeCache.txt ] || cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$build_jobs" --target frame_fuzz >/dev/null
mkdir -p "$work" build/fuzz/artifacts

echo "fuzz: frame_fuzz ${limit[*]}, seeds from fuzz/corpus ($(ls fuzz/corpus | wc -l) files)"
log=build/fuzz/last-run.log
status=0
build/fuzz/bin/frame_fuzz "${limit[@]}" -print_final_stats=1 \
  -artifact_prefix=build/fuzz/artifacts/ "$work" fuzz/corpus >"$log" 2>&1 || status=$?
if [ "$status" -ne 0 ]; then
  tail -n 40 "$log"
  echo "fuzz: frame_fuzz failed (exit $status); the failing input is in build/fuzz/artifacts/"
  exit "$status"
fi
grep -E '^(Done|stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb))' "$log"
