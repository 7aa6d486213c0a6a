#!/usr/bin/env bash
# CTest's emulator for the Windows presets: runs a test program under the project's Wine, and
# only inside the project's sandbox, since the plug-in broadcasts on every frame.
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=lib/sandbox_check.sh
. "$root/scripts/lib/sandbox_check.sh"

why="$(tessel_sandbox_refusal)"
if [ -n "$why" ]; then
  echo "wine-emulator: refusing to run $(basename "${1:-?}") outside the project's sandbox ($why);" \
    "run the Windows tests with ./run test or ./run sandbox ctest --preset NAME" >&2
  exit 1
fi
exec "$root/scripts/wine/wine" "$@"
