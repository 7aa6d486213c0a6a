#!/usr/bin/env bash
# The fuzz targets: every kept input once, then a few seconds of new inputs each, so each run
# tries inputs that no run tried before.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
exec "$root/scripts/fuzz.sh" 10
