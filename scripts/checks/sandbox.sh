#!/usr/bin/env bash
# The guards around Wine and the sandbox: the loader the project's wine picks, the sandbox's
# refusal in a namespace that could reach a network, of a prefix it did not make and of a Wine
# server it did not start, its one-line word when Wine cannot start, and Wine programs refused
# outside the sandbox or once its server is gone.
# time limit: 300 s
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
cd "$root"

# shellcheck source=../lib/sandbox_check.sh
. scripts/lib/sandbox_check.sh
tessel_require_sandbox "sandbox check" "run me through ./run test"

work="$(mktemp -d /tmp/tessel-sandbox-check.XXXXXX)"
hand_server=""
trap '[ -z "$hand_server" ] || kill -KILL "$hand_server" 2>/dev/null; rm -rf "$work"' EXIT

failures=0
verdict() {  # yes|no description [detail]
  if [ "$1" = yes ]; then
    echo "PASS $2"
  else
    echo "FAIL $2${3:+: $3}"
    failures=$((failures + 1))
  fi
}

# A loader that says how it was called and starts nothing, put in place of Wine's 64-bit loader
# in a mount namespace of the check's own: the project's wine runs as it is, unchanged.
fake_loader="$work/fake-loader"
printf '#!/bin/sh\necho "loader $0: $*"\n' >"$fake_loader"
chmod +x "$fake_loader"
wine64_loader=/usr/lib/wine/wine64
with_fake_loader() {  # command...
  unshare --mount --propagation private -- bash -c 'mount --bind "$1" "$2" && shift 2 && exec "$@"' \
    _ "$fake_loader" "$wine64_loader" "$@"
}

# PE32 and PE32+ are told apart by the optional header's magic; the loader must not care.
pe_stub() {  # file magic-bytes
  { printf 'MZ'; head -c 58 /dev/zero; printf '\x40\x00\x00\x00'; printf 'PE\0\0\x4c\x01';
    head -c 18 /dev/zero; printf '%b' "$2"; } >"$1"
}
pe_stub "$work/app32.exe" '\x0b\x01'
pe_stub "$work/app64.exe" '\x0b\x02'
for program in app32.exe app64.exe; do
  said="$(with_fake_loader env -u TESSEL_WINE_LOADER scripts/wine/wine "$work/$program" 2>&1)"
  verdict "$([ "$said" = "loader $wine64_loader: $work/$program" ] && echo yes || echo no)" \
    "wine starts $program with the 64-bit loader" "$said"
  said="$(with_fake_loader env -u TESSEL_WINE_LOADER PATH="$root/scripts/wine:$PATH" \
    wine-stable "$work/$program" 2>&1)"
  verdict "$([ "$said" = "loader $wine64_loader: $work/$program" ] && echo yes || echo no)" \
    "wine-stable, which Wine's own commands call, starts $program with the 64-bit loader" "$said"
done

# A namespace of the check's own that could reach a network: a veth pair in it.
in_networked_namespace() {  # command...
  unshare --net -- bash -c 'ip link add tessel0 type veth peer name tessel1 && ip link set lo up &&
    exec "$@"' _ "$@"
}

# The sandbox started there with its inner stage asked for by hand refuses, and touches no route.
# shellcheck disable=SC2016  # expanded by the inner shell
in_networked_namespace bash -c '
  before="$(ip route show table all)"
  TESSEL_SANDBOX_STAGE=enter TESSEL_WINEPREFIX="$1/prefix" scripts/sandbox.sh true >"$1/out" 2>&1
  echo $? >"$1/rc"
  [ "$before" = "$(ip route show table all)" ] && echo same >"$1/routes"
' _ "$work"
said="$(cat "$work/out")"
verdict "$([ "$(cat "$work/rc")" -ne 0 ] && grep -q '^sandbox: refusing to run: interfaces other than lo are present: tessel' "$work/out" && echo yes || echo no)" \
  "the sandbox refuses a namespace with other interfaces" "$said"
verdict "$([ -f "$work/routes" ] && echo yes || echo no)" "the refusing sandbox leaves the routes as they were"

# A Wine that cannot start is named as such, in one line; the prefix it left half-made is the
# sandbox's own, so the next run makes it anew rather than refuse it.
broken_loader="$work/broken-loader"
printf '#!/bin/sh\necho "$0: cannot execute binary file: Exec format error" >&2\nexit 126\n' >"$broken_loader"
chmod +x "$broken_loader"
for run in first again; do
  TESSEL_WINEPREFIX="$work/prefix" TESSEL_WINE_LOADER="$broken_loader" scripts/sandbox.sh true >"$work/out" 2>&1
  rc=$?
  said="$(grep '^sandbox:' "$work/out" | tail -1)"
  verdict "$([ "$rc" -ne 0 ] && [[ "$said" == "sandbox: Wine does not start: "*"Exec format error" ]] && echo yes || echo no)" \
    "the sandbox says when Wine does not start ($run)" "exit $rc, $(tr '\n' ' ' <"$work/out")"
done

# A directory the sandbox did not make (TESSEL_WINEPREFIX naming someone's folder) is refused
# as its prefix: nothing in it deleted, booted or copied in, nor taken as the kept template.
someones="$work/someones"
mkdir -p "$someones/notes"
echo "keep me" >"$someones/notes/today.txt"
listing() { (cd "$1" && find . -printf '%p %s %T@\n' | sort); }
before="$(listing "$someones")"
TESSEL_WINEPREFIX="$someones" scripts/sandbox.sh true >"$work/out" 2>&1
rc=$?
verdict "$([ "$rc" -ne 0 ] && grep -q "^sandbox: refusing to use $someones as the Wine prefix: it holds files" "$work/out" &&
  [ "$(listing "$someones")" = "$before" ] && echo yes || echo no)" \
  "the sandbox refuses a directory it did not make as its prefix and leaves it as it was" \
  "exit $rc, $(tr '\n' ' ' <"$work/out"), now holds: $(ls -A "$someones" | tr '\n' ' ')"

# A Wine server of the prefix started by hand, outside the sandbox: the sandbox refuses, and the
# server is not stopped, whether the sandbox can see it (its inner stage run by hand in a network
# namespace of its own, among the check's processes) or not (a sandbox of its own).
handmade="$work/handmade"
mkdir "$handmade"
touch "$handmade/.tessel-prefix-ready"  # otherwise whole enough: the server is refused first
WINEPREFIX="$handmade" wineserver -f -p </dev/null >/dev/null 2>&1 &
hand_server=$!
for _ in $(seq 100); do
  tessel_wineserver_serves "$hand_server" && break
  sleep 0.1
done
sandbox_seeing_it() {
  unshare --net -- env TESSEL_SANDBOX_STAGE=enter TESSEL_SANDBOX_HOLDER=$$ \
    TESSEL_OUTER_NETNS="$(readlink /proc/self/ns/net)" \
    TESSEL_WINEPREFIX="$handmade" scripts/sandbox.sh true
}
sandbox_of_its_own() {
  TESSEL_WINEPREFIX="$handmade" scripts/sandbox.sh true
}
for run in sandbox_seeing_it sandbox_of_its_own; do
  "$run" >"$work/out" 2>&1
  rc=$?
  verdict "$([ "$rc" -ne 0 ] && grep -q "^sandbox: refusing to run: a Wine server of $handmade that no sandbox started" "$work/out" &&
    tessel_wineserver_serves "$hand_server" && echo yes || echo no)" \
    "a Wine server started by hand is refused and left running ($run)" \
    "exit $rc, $(tr '\n' ' ' <"$work/out"), the server $(tessel_wineserver_serves "$hand_server" && echo runs || echo went)"
done
kill -INT "$hand_server" 2>/dev/null
wait "$hand_server" 2>/dev/null
hand_server=""

# CTest started outside the sandbox: the emulator refuses and the test fails. The test chosen
# computes only, so a broken guard still could not broadcast.
test_name=host_core_tests_under_mingw
in_networked_namespace ctest --preset win64 -R "^${test_name}\$" --output-on-failure >"$work/out" 2>&1
rc=$?
verdict "$([ "$rc" -ne 0 ] && grep -q "wine-emulator: refusing to run .* outside the project's sandbox" "$work/out" &&
  ! grep -q "tests passed, 0 tests failed" "$work/out" && echo yes || echo no)" \
  "a Windows test started through CTest outside the sandbox fails with the refusal" \
  "exit $rc, $(grep -m3 -E 'refusing|tests passed|Error' "$work/out" | tr '\n' ' ')"

# A sandbox within this one on the same prefix would wait for ever on the lock it holds, or
# stop its Wine server: it refuses at once.
scripts/sandbox.sh true >"$work/out" 2>&1
rc=$?
verdict "$([ "$rc" -ne 0 ] && grep -q '^sandbox: already inside a sandbox that uses' "$work/out" && echo yes || echo no)" \
  "a sandbox started inside another on the same prefix refuses" "exit $rc, $(tr '\n' ' ' <"$work/out")"

# A Windows program is not started, and one that ran fails, when the Wine server is not the one
# the sandbox started: a process that has ended stands for it here.
sleep 60 &
stand_in=$!
stand_in_id="$stand_in $(tessel_process_start "$stand_in")"
kill "$stand_in"
wait "$stand_in" 2>/dev/null
TESSEL_WINESERVER_ID="$stand_in_id" scripts/wine-emulator.sh "$work/app64.exe" >"$work/out" 2>&1
rc=$?
verdict "$([ "$rc" -ne 0 ] && grep -q 'the Wine server went away' "$work/out" && echo yes || echo no)" \
  "the emulator refuses when the sandbox's Wine server went away" "exit $rc, $(cat "$work/out")"
# So does the project's wine, which every Windows test and check starts, on the sandbox's prefix
# only: a test's prefix of its own still gets the server it needs.
for prefix in "$WINEPREFIX" "$work/own-prefix"; do
  expected="wine: not starting $work/app64.exe: the Wine server went away (pid $stand_in, started by the sandbox)"
  [ "$prefix" = "$WINEPREFIX" ] || expected="loader $wine64_loader: $work/app64.exe"
  said="$(WINEPREFIX="$prefix" TESSEL_WINESERVER_ID="$stand_in_id" with_fake_loader \
    env -u TESSEL_WINE_LOADER scripts/wine/wine "$work/app64.exe" 2>&1)"
  verdict "$([ "$said" = "$expected" ] && echo yes || echo no)" \
    "wine on $prefix once the sandbox's Wine server went away: $expected" "$said"
done

# GoogleTest programs pass only when they ran every test to its end, whatever their exit code.
fake_gtest="$work/fake_gtest"
cat >"$fake_gtest" <<'FAKE'
#!/bin/sh
case "$1" in --gtest_list_tests) printf 'Suite.\n  One\n  Two\n'; exit 0 ;; esac
[ "$MODE" = silent ] && exit 0
echo '[ RUN      ] Suite.One'
[ "$MODE" = stops ] && exit 0
echo '[       OK ] Suite.One (0 ms)'
[ "$MODE" = short ] && { echo '[  PASSED  ] 1 test.'; exit 0; }
printf '[ RUN      ] Suite.Two\n[       OK ] Suite.Two (0 ms)\n[  PASSED  ] 2 tests.\n'
FAKE
chmod +x "$fake_gtest"
for mode in silent stops short whole; do
  MODE="$mode" scripts/gtest-run.sh "$fake_gtest" >"$work/out" 2>&1
  rc=$?
  expected=1
  [ "$mode" != whole ] || expected=0
  verdict "$([ "$rc" -eq "$expected" ] && echo yes || echo no)" \
    "a GoogleTest program that exits 0 ($mode) gives exit $expected" "exit $rc, $(tail -1 "$work/out")"
done

[ "$failures" -eq 0 ]
