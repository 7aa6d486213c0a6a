#!/usr/bin/env bash
# ./run new-plugin from a clean folder: the project it writes builds with MinGW-w64 GCC, passes
# tessel-host's check and flies the circuit for 3 s with every frame reaching the author's code;
# it builds and flies with clang too; and a build that fails says so and leaves no DLL behind.
# time limit: 300 s
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
cd "$root"

. scripts/lib/sandbox_check.sh
tessel_require_sandbox "new-plugin check" "run me through ./run sandbox $0"

fail() { echo "new-plugin check: $*" >&2; exit 1; }

work="$(mktemp -d /tmp/tessel-new-plugin.XXXXXX)"
trap 'rm -rf "$work"' EXIT
log="$work/verb.log"

# Runs one of the project's verbs, which must pass.
verb() {
  "$@" >"$log" 2>&1 || fail "$* failed: $(tail -n 5 "$log")"
}

verb ./run new-plugin "$work/myplug" myplug
cd "$work/myplug"

# The host's frame count and the plug-in's own (printed by its stopped function) agree.
fly_reaches_the_author() {  # compiler
  verb ./run fly --seconds 1
  local sent seen
  sent="$(sed -n 's/^tessel-host: sent \([0-9]*\) frames.*/\1/p' "$log")"
  seen="$(sed -n 's/^myplug: \([0-9]*\) frames.*/\1/p' "$log")"
  if [ -z "$sent" ] || [ "$sent" -eq 0 ] || [ "$sent" != "$seen" ]; then
    fail "with $1 the host sent ${sent:-no} frames and the plug-in saw ${seen:-none}: $(cat "$log")"
  fi
}

verb ./run build
# Being told it is in the sandbox is not enough: in what the check takes for the namespace the
# sandbox started from, check refuses before any Windows program starts.
if TESSEL_OUTER_NETNS="$(readlink /proc/self/ns/net)" ./run check >"$log" 2>&1; then
  fail "check ran where the sandbox check fails: $(cat "$log")"
fi
grep -q "^check: refusing to run outside the project's sandbox" "$log" || fail "check said: $(cat "$log")"
verb ./run check
last="$(tail -n 1 "$log" | tr -d '\r')"  # Windows programs end lines with CR LF
[[ "$last" =~ ^check:\ (.*/)?myplug\.dll\ is\ ready$ ]] || fail "check ended with '$last'"
fly_reaches_the_author gcc

verb ./run build --clang
grep -qx 'build: build/myplug.dll (clang)' "$log" || fail "build --clang said: $(cat "$log")"
fly_reaches_the_author clang

echo 'int broken(' >>myplug.cpp
if ./run build >"$log" 2>&1; then fail "a source that does not compile built: $(cat "$log")"; fi
grep -q '^build: building with MinGW-w64 GCC failed' "$log" || fail "a failed build said: $(cat "$log")"
[ ! -e build/myplug.dll ] || fail "a failed build left build/myplug.dll behind"

echo "new-plugin check: new-plugin, build, check, fly (GCC and clang) and a failed build as expected"
