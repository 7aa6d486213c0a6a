#!/usr/bin/env bash
# Builds and runs the fuzz targets, each from its seed corpus: frame_fuzz (a host frame through
# the plug-in's core) from fuzz/corpus, g1_parse_fuzz (datagrams from the network through the
# G1 parser and g1 listen) from fuzz/g1_corpus, pcap_read_fuzz (capture files through the pcap
# reader and the replay's loading and timing) from fuzz/pcap_corpus.
#   scripts/fuzz.sh [SECONDS]   every kept input (the seeds and what earlier runs gathered in
#                               build/fuzz/<target>-corpus) once, then new inputs for that long
#                               (default 300), kept there too; crashes in build/fuzz/artifacts
#   scripts/fuzz.sh --runs N    a fixed, repeatable run of N inputs per target from the seeds alone
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

build_jobs=2  # the machines are shared
default_seconds=300
targets=(frame_fuzz:fuzz/corpus g1_parse_fuzz:fuzz/g1_corpus pcap_read_fuzz:fuzz/pcap_corpus)
declare -A target_options=(
  [g1_parse_fuzz]=-max_len=640    # a few datagrams of up to 159 bytes, not thousands
  [pcap_read_fuzz]=-max_len=4096  # a few records of every kind, not one of 256 KiB
)

scratch=""
trap '[ -z "$scratch" ] || rm -rf "$scratch"' EXIT
if [ "${1:-}" = "--runs" ]; then
  limit=(-runs="${2:?--runs needs a number}" -seed=1)
  scratch="$(mktemp -d)"
else
  seconds="${1:-$default_seconds}"
  [[ "$seconds" =~ ^[0-9]+$ ]] || { echo "usage: scripts/fuzz.sh [SECONDS] | --runs N" >&2; exit 2; }
  limit=(-max_total_time="$seconds")
fi

[ -f build/fuzz/CMakeCache.txt ] || cmake --preset fuzz >/dev/null
if ! cmake --build --preset fuzz -j "$build_jobs" --target "${targets[@]%%:*}" >build/fuzz-build.log 2>&1; then
  grep -E "error|FAILED" build/fuzz-build.log | head -n 20
  echo "fuzz: building the targets failed (build/fuzz-build.log)"
  exit 1
fi
mkdir -p build/fuzz/artifacts

for entry in "${targets[@]}"; do
  target="${entry%%:*}"
  seeds="${entry#*:}"
  if [ -n "$scratch" ]; then work="$scratch/$target"; else work="build/fuzz/$target-corpus"; fi
  mkdir -p "$work"
  echo "fuzz: $target ${limit[*]}, seeds from $seeds ($(ls "$seeds" | wc -l) files)"
  log="build/fuzz/$target-last-run.log"
  status=0
  "build/fuzz/bin/$target" "${limit[@]}" ${target_options[$target]:-} -print_final_stats=1 \
    -artifact_prefix=build/fuzz/artifacts/ "$work" "$seeds" >"$log" 2>&1 || status=$?
  if [ "$status" -ne 0 ]; then
    tail -n 40 "$log"
    echo "fuzz: $target failed (exit $status); the failing input is in build/fuzz/artifacts/"
    exit "$status"
  fi
  grep -E '^(Done|stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb))' "$log"
done
