#!/usr/bin/env bash
# g1 serve end to end, its sections that start no Wine program, inside the sandbox: two simulators
# and a page opened late, a recording of both debriefed with g1 serve --replay, and a stderr that
# nobody reads, each page read by headless Chromium on 127.0.0.1 (see serve_e2e.mjs).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
cd "$root"

. scripts/lib/sandbox_check.sh
. scripts/lib/artifacts.sh
. scripts/lib/serve_check.sh
tessel_require_sandbox "serve check" "run me through ./run test"

fail() { echo "serve check: $*" >&2; exit 1; }

serve_e2e_part native build/serve-native-check
