#!/usr/bin/env bash
# g1 serve end to end, its sections that start no Wine program, inside the sandbox: two simulators
# and a page opened late, a recording of both debriefed with g1 serve --replay, and a stderr that
# nobody reads, each page read by headless Chromium on 127.0.0.1 (see serve_e2e.mjs).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
cd "$root"

. scripts/lib/sandbox_check.sh
. scripts/lib/artifacts.sh
tessel_require_sandbox "serve check" "run me through ./run test"

fail() { echo "serve check: $*" >&2; exit 1; }

tests=tools/g1/sinks/serve/web/tests
for f in build/native/bin/g1 build/win64/bin/g1.exe build/win64/bin/tessel-host.exe \
  "build/win64/bin/$tessel_plugin_dll" /usr/bin/chromium \
  "$tests/node_modules/playwright-core/package.json"; do
  [ -e "$f" ] || fail "$f is missing: ./run setup and ./run build make it"
done

exec node "$tests/serve_e2e.mjs" --g1 build/native/bin/g1 --g1exe build/win64/bin/g1.exe \
  --host build/win64/bin/tessel-host.exe \
  --plugin "build/win64/bin/$tessel_plugin_dll" --out build/serve-native-check --part native
