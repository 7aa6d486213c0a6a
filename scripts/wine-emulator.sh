#!/usr/bin/env bash
# CTest's emulator for the Windows presets: runs a test program under the project's Wine, and
# only inside the project's sandbox, since the plug-in broadcasts on every frame. The program
# fails when the sandbox's Wine server is not the same before and after it: a Wine program
# whose server goes away exits 0 without having run to its end.
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=lib/sandbox_check.sh
. "$root/scripts/lib/sandbox_check.sh"

program="$(basename "${1:-?}")"
why="$(tessel_sandbox_refusal)"
if [ -n "$why" ]; then
  echo "wine-emulator: refusing to run $program outside the project's sandbox ($why);" \
    "run the Windows tests with ./run test or ./run sandbox ctest --preset NAME" >&2
  exit 1
fi
gone="$(tessel_wineserver_gone)"
[ -z "$gone" ] || { echo "wine-emulator: not running $program: $gone" >&2; exit 1; }
"$root/scripts/wine/wine" "$@"
rc=$?
gone="$(tessel_wineserver_gone)"
[ -z "$gone" ] || { echo "wine-emulator: $program failed: $gone while it ran" >&2; exit 1; }
exit "$rc"
