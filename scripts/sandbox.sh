#!/usr/bin/env bash
# Runs a command inside a private network namespace where the plug-in's broadcasts stay on
# loopback, with its own Xvfb screen and a Wine server started inside the namespace.
# Usage: scripts/sandbox.sh CMD [ARGS...]
# Every step that fails says which and why, in one line starting "sandbox:".
set -uo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=lib/sandbox_check.sh
. "$root/scripts/lib/sandbox_check.sh"

fail() { echo "sandbox: $*" >&2; exit 1; }
[ $# -gt 0 ] || fail "usage: scripts/sandbox.sh CMD [ARGS...]"

export WINEPREFIX="${TESSEL_WINEPREFIX:-$root/build/wine-prefix}"
lock="$WINEPREFIX.lock"
lock_wait_s="${TESSEL_SANDBOX_WAIT:-900}"
lock_timeout_rc=75

# Outside: make the namespace and come back in it, one sandbox at a time per prefix (each one
# stops the prefix's server when it starts). flock keeps the lock in its own process (-o), so
# nothing the sandbox starts holds it: a sandbox killed outright leaves no lingering Wine
# process that would keep the next one waiting.
if [ "${TESSEL_SANDBOX:-}" != "inside" ]; then
  outer_ns="$(readlink /proc/self/ns/net)" || fail "cannot read this process's network namespace"
  mkdir -p "$(dirname "$WINEPREFIX")" || fail "cannot make $(dirname "$WINEPREFIX")"
  if ! flock -n "$lock" true; then
    echo "sandbox: waiting for another sandbox that uses $WINEPREFIX ($(cat "$lock" 2>/dev/null))" >&2
  fi
  started="$(mktemp -u /tmp/tessel-sandbox-started.XXXXXX)"
  flock -o -w "$lock_wait_s" -E "$lock_timeout_rc" "$lock" \
    unshare --net -- env TESSEL_SANDBOX=inside TESSEL_OUTER_NETNS="$outer_ns" \
    TESSEL_SANDBOX_STARTED="$started" "${BASH_SOURCE[0]}" "$@"
  rc=$?
  if [ ! -e "$started" ]; then
    [ "$rc" -ne "$lock_timeout_rc" ] ||
      fail "gave up after ${lock_wait_s} s waiting for the sandbox that holds $lock ($(cat "$lock" 2>/dev/null))"
    fail "the private network namespace could not be made (unshare --net, exit $rc)"
  fi
  rm -f "$started"
  exit "$rc"
fi

[ -z "${TESSEL_SANDBOX_STARTED:-}" ] || : >"$TESSEL_SANDBOX_STARTED"
[ ! -e "$lock" ] || printf 'held by pid %s since %s: %s\n' "$$" "$(date +%T)" "$*" >"$lock"

# Judged before anything is touched: a variable set by hand must not put a route into the
# machine's own table.
why="$(tessel_netns_refusal)"
[ -z "$why" ] || fail "refusing to run: $why"

# Wine's server makes the sockets: a server of this prefix that runs elsewhere would broadcast
# outside the namespace, so stop it and start ours in here. One that wineserver -k cannot reach
# (left by a sandbox that was killed) is stopped by its PID, and so are the Wine programs it
# leaves behind (services working in the prefix); the lock says no other sandbox uses it.
stop_prefix_servers() {
  local pid
  wineserver -k >/dev/null 2>&1 || true
  # A program still starting when the server is told to go may keep it: wait a while, not for
  # ever, then stop what is left by its PID.
  timeout 20 wineserver -w >/dev/null 2>&1 || true
  for pid in $(tessel_wineserver_pids); do
    kill -KILL "$pid" 2>/dev/null || true
  done
  for pid in $(pgrep '^(wine|qemu-i386)' || true); do
    case "$(readlink "/proc/$pid/cwd" 2>/dev/null)" in
      "$WINEPREFIX"/*) kill -KILL "$pid" 2>/dev/null || true ;;
    esac
  done
}

log="$(mktemp /tmp/tessel-sandbox.XXXXXX)"
xvfb_pid=""
desktop_pid=""
cleanup() {
  # A desktop still starting would start a new server once ours is gone.
  [ -z "$desktop_pid" ] || kill -KILL "$desktop_pid" 2>/dev/null || true
  stop_prefix_servers
  [ -z "$xvfb_pid" ] || kill "$xvfb_pid" >/dev/null 2>&1 || true
  rm -f "$log"
}
trap cleanup EXIT

# Runs a step with its output kept aside; on failure, says which step and its last words.
step() {  # description command...
  local what="$1"
  shift
  "$@" </dev/null >"$log" 2>&1 && return 0
  local rc=$? said
  said="$(grep -v '^[[:space:]]*$' "$log" | tail -1)"
  fail "$what: ${said:-exit code $rc}"
}

step "cannot bring lo up" ip link set lo up
step "cannot add the broadcast route on lo" ip route replace broadcast 255.255.255.255 dev lo table local
ip route get 255.255.255.255 2>/dev/null | grep -q " dev lo " ||
  fail "refusing to run: broadcasts would not stay on lo"

# A screen of our own: the first display number nobody holds.
display=90
while [ -e "/tmp/.X${display}-lock" ] || [ -e "/tmp/.X11-unix/X${display}" ]; do
  display=$((display + 1))
done
Xvfb ":${display}" -screen 0 1920x1200x24 -nolisten tcp -noreset >/dev/null 2>&1 &
xvfb_pid=$!
export DISPLAY=":${display}"
for _ in $(seq 100); do
  xdpyinfo >/dev/null 2>&1 && break
  kill -0 "$xvfb_pid" 2>/dev/null || fail "Xvfb did not start on :$display"
  sleep 0.1
done
xdpyinfo >/dev/null 2>&1 || fail "Xvfb did not answer on :$display within 10 s"

# The project's wine first: it picks the loader that works on this machine.
export PATH="$root/scripts/wine:$PATH"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"

stop_prefix_servers

stamp="$WINEPREFIX/.tessel-prefix-ready"
if [ ! -f "$stamp" ]; then
  echo "sandbox: creating the Wine prefix $WINEPREFIX (once per build tree)" >&2
  step "Wine does not start" wineboot -i
  step "cannot set the prefix's fonts" wine reg add 'HKCU\Software\Wine\Fonts\Replacements' \
    /v 'Courier New' /t REG_SZ /d 'Liberation Mono' /f
  step "cannot set the prefix's windows" wine reg add 'HKCU\Software\Wine\X11 Driver' \
    /v Managed /t REG_SZ /d N /f
  step "cannot turn the crash dialog off" wine reg add 'HKCU\Software\Wine\WineDbg' \
    /v ShowCrashDialog /t REG_DWORD /d 0 /f
  timeout 300 wineserver -w >/dev/null 2>&1 || true
  touch "$stamp" || fail "cannot write $stamp"
fi

step "the Wine server does not start" wineserver -p
server_pid=""
for _ in $(seq 50); do
  server_pid="$(tessel_wineserver_pids | head -1)"
  [ -n "$server_pid" ] && break
  sleep 0.1
done
[ -n "$server_pid" ] || fail "the Wine server of $WINEPREFIX did not start"
why="$(tessel_sandbox_refusal)"
[ -z "$why" ] || fail "refusing to run: $why"
export TESSEL_WINESERVER_PID="$server_pid"  # for checks that watch the server's resources

# Wine's background services inherit the caller's output; start them before anything captured.
step "Wine does not start" wine cmd /c exit
# The desktop process likewise: the first windowed program would start it with its own output
# inherited, and it lingers after the last window, so a caller reading that output would wait.
# Started once here, it serves every program of the sandbox.
wine explorer.exe /desktop </dev/null >/dev/null 2>&1 &
desktop_pid=$!
disown "$desktop_pid"  # no job notice when cleanup stops it

"$@"
exit $?
