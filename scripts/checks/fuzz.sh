#!/usr/bin/env bash
# The frame fuzz target for a short, fixed run from the seed corpus (well under a minute).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
exec "$root/scripts/fuzz.sh" --runs 500000
