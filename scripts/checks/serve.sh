#!/usr/bin/env bash
# g1 serve end to end, inside the sandbox: tessel-host flies the circuit under Wine, g1 serve
# receives natively and headless Chromium reads the page on 127.0.0.1; then g1.exe serve under
# Wine (see serve_e2e.mjs). Its sections that need no Wine are serve_native.sh's.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
cd "$root"

. scripts/lib/sandbox_check.sh
. scripts/lib/artifacts.sh
. scripts/lib/serve_check.sh
tessel_require_sandbox "serve check" "run me through ./run test"

fail() { echo "serve check: $*" >&2; exit 1; }

serve_e2e_part wine build/serve-check
