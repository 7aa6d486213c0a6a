#!/usr/bin/env bash
# The release (./run dist) read back: the archives' names and entries, version resources,
# stripped binaries with matching debug links (scripts/dist/tests/release_check.py), the shipped
# programs' --version under Wine. The archives built twice, in two fresh copies, and compared
# byte for byte is ./run dist --check: a second release build would double this check's time.
# time limit: 1200 s
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
cd "$root"

. scripts/lib/sandbox_check.sh
. scripts/lib/artifacts.sh
tessel_require_sandbox "dist check" "run me through ./run test"

fail() { echo "dist check: $*" >&2; exit 1; }

scripts/dist.sh
python3 scripts/dist/tests/release_check.py "$root" "$tessel_plugin_dll"

version="$(head -n 1 VERSION)"
unpacked="build/dist-check-unpacked"
rm -rf "$unpacked"
python3 -m zipfile -e "build/dist/corvane-tessel-plugin-$version-windows.zip" "$unpacked"
for program in g1 tessel-host; do
  said="$(wine "$unpacked/tools/$program.exe" --version </dev/null 2>&1 | tr -d '\r')"
  [ "$said" = "$program $version" ] || fail "$program.exe --version says '$said'"
done
rm -rf "$unpacked"
echo "dist check: g1.exe and tessel-host.exe say $version"
