#!/usr/bin/env bash
# The fuzz targets for a short, fixed run each from its seed corpus (well under a minute).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
exec "$root/scripts/fuzz.sh" --runs 500000
