#!/usr/bin/env bash
# Runs a command inside a private network namespace where the plug-in's broadcasts stay on
# loopback, with its own Xvfb screen and a Wine server started inside the namespace.
# Usage: scripts/sandbox.sh CMD [ARGS...]
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

if [ "${TESSEL_SANDBOX:-}" != "inside" ]; then
  exec unshare --net -- env TESSEL_SANDBOX=inside "${BASH_SOURCE[0]}" "$@"
fi

fail() { echo "sandbox: $*" >&2; exit 1; }

ip link set lo up
ip route add broadcast 255.255.255.255 dev lo table local
others="$(ip -o link show | awk -F': ' '{print $2}' | sed 's/@.*//' | grep -vx lo || true)"
[ -z "$others" ] || fail "refusing to run: interfaces other than lo are present: $others"
ip route get 255.255.255.255 | grep -q " dev lo " || fail "refusing to run: broadcasts would not stay on lo"

export WINEPREFIX="${TESSEL_WINEPREFIX:-$root/build/wine-prefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
mkdir -p "$(dirname "$WINEPREFIX")"

# One sandbox at a time per prefix: each one stops the prefix's server when it starts.
exec 9>"$WINEPREFIX.lock"
if ! flock -n 9; then
  echo "sandbox: waiting for another sandbox that uses $WINEPREFIX" >&2
  flock 9
fi

xvfb_pid=""
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  [ -z "$xvfb_pid" ] || kill "$xvfb_pid" >/dev/null 2>&1 || true
}
trap cleanup EXIT

# A screen of our own: the first display number nobody holds.
display=90
while [ -e "/tmp/.X${display}-lock" ] || [ -e "/tmp/.X11-unix/X${display}" ]; do
  display=$((display + 1))
done
Xvfb ":${display}" -screen 0 1920x1200x24 -nolisten tcp -noreset >/dev/null 2>&1 9>&- &
xvfb_pid=$!
export DISPLAY=":${display}"
for _ in $(seq 100); do
  xdpyinfo >/dev/null 2>&1 && break
  kill -0 "$xvfb_pid" 2>/dev/null || fail "Xvfb did not start"
  sleep 0.1
done
xdpyinfo >/dev/null 2>&1 || fail "Xvfb did not answer"

# Wine's server makes the sockets: a server of this prefix that runs elsewhere would broadcast
# outside the namespace, so stop it and start ours in here.
wineserver -k >/dev/null 2>&1 || true
wineserver -w >/dev/null 2>&1 || true

stamp="$WINEPREFIX/.tessel-prefix-ready"
if [ ! -f "$stamp" ]; then
  echo "sandbox: creating the Wine prefix $WINEPREFIX (once per build tree)" >&2
  wineboot -i </dev/null >/dev/null 2>&1 || true
  wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v 'Courier New' /t REG_SZ \
    /d 'Liberation Mono' /f </dev/null >/dev/null 2>&1
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f </dev/null >/dev/null 2>&1
  wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f </dev/null >/dev/null 2>&1
  wineserver -w >/dev/null 2>&1 || true
  touch "$stamp"
fi

wineserver -p >/dev/null 2>&1 9>&-
# The server works in a directory named after the prefix's device and inode.
server_dir="$(printf 'server-%x-%x' "$(stat -c %d "$WINEPREFIX")" "$(stat -c %i "$WINEPREFIX")")"
server_pid=""
for _ in $(seq 50); do
  for pid in $(pgrep -x 'wineserver(64|32)?' || true); do
    case "$(readlink "/proc/$pid/cwd" 2>/dev/null)" in */"$server_dir") server_pid="$pid" ;; esac
  done
  [ -n "$server_pid" ] && break
  sleep 0.1
done
[ -n "$server_pid" ] || fail "the Wine server of $WINEPREFIX did not start"
[ "$(readlink "/proc/$server_pid/ns/net")" = "$(readlink /proc/self/ns/net)" ] ||
  fail "the Wine server runs outside the sandbox's network namespace"
export TESSEL_WINESERVER_PID="$server_pid"  # for checks that watch the server's resources

# Wine's background services inherit the caller's output; start them before anything captured.
wine cmd /c exit </dev/null >/dev/null 2>&1 || true
# The desktop process likewise: the first windowed program would start it with its own output
# inherited, and it lingers after the last window, so a caller reading that output would wait.
# Started once here, it serves every program of the sandbox.
wine explorer.exe /desktop </dev/null >/dev/null 2>&1 9>&- &

set +e
"$@"
rc=$?
set -e
exit "$rc"
