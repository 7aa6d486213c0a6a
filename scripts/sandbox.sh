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

# Outside: make the namespaces and come back in them, one sandbox at a time per prefix. Besides
# the network namespace, a PID namespace of its own: when the sandbox ends, the kernel ends
# every process it started (Xvfb, Wine's server and services, a test's leftovers) and nothing
# else, and inside it no process of another sandbox can be seen, let alone stopped. flock keeps
# the lock in its own process (-o), so nothing the sandbox starts holds it.
if [ "${TESSEL_SANDBOX_STAGE:-}" != "enter" ]; then
  case "${TESSEL_SANDBOX_PREFIXES:-}" in
    *":$WINEPREFIX:"*)
      fail "already inside a sandbox that uses $WINEPREFIX; a sandbox within it needs a prefix" \
        "of its own (TESSEL_WINEPREFIX=DIR)" ;;
  esac
  outer_ns="$(readlink /proc/self/ns/net)" || fail "cannot read this process's network namespace"
  machine_ns="$(readlink /proc/1/ns/net 2>/dev/null)"  # unreadable in some containers
  mkdir -p "$(dirname "$WINEPREFIX")" || fail "cannot make $(dirname "$WINEPREFIX")"
  if ! flock -n "$lock" true; then
    echo "sandbox: waiting for another sandbox that uses $WINEPREFIX ($(cat "$lock" 2>/dev/null))" >&2
  fi
  started="$(mktemp -u /tmp/tessel-sandbox-started.XXXXXX)"
  flock -o -w "$lock_wait_s" -E "$lock_timeout_rc" "$lock" \
    unshare --net --pid --fork --mount-proc -- env TESSEL_SANDBOX_STAGE=enter \
    TESSEL_OUTER_NETNS="$outer_ns" TESSEL_MACHINE_NETNS="$machine_ns" \
    TESSEL_SANDBOX_PREFIXES="${TESSEL_SANDBOX_PREFIXES:-}:$WINEPREFIX:" \
    TESSEL_SANDBOX_STARTED="$started" TESSEL_SANDBOX_HOLDER="$$" "${BASH_SOURCE[0]}" "$@"
  rc=$?
  if [ ! -e "$started" ]; then
    [ "$rc" -ne "$lock_timeout_rc" ] ||
      fail "gave up after ${lock_wait_s} s waiting for the sandbox that holds $lock ($(cat "$lock" 2>/dev/null))"
    fail "the private namespaces could not be made (unshare --net --pid, exit $rc)"
  fi
  rm -f "$started"
  exit "$rc"
fi
unset TESSEL_SANDBOX_STAGE
export TESSEL_SANDBOX=inside  # for Windows programs, which cannot see the namespace
# An enclosing sandbox's server is not this one's, and cannot be seen from here.
unset TESSEL_WINESERVER_ID TESSEL_WINESERVER_PID TESSEL_WINESERVER_EXIT TESSEL_SANDBOX_WINEPREFIX

[ -z "${TESSEL_SANDBOX_STARTED:-}" ] || : >"$TESSEL_SANDBOX_STARTED"
[ ! -e "$lock" ] ||
  printf 'held by pid %s since %s: %s\n' "$TESSEL_SANDBOX_HOLDER" "$(date +%T)" "$*" >"$lock"

# Judged before anything is touched: a variable set by hand must not put a route into the
# machine's own table.
why="$(tessel_netns_refusal)"
[ -z "$why" ] || fail "refusing to run: $why"

# The prefix is the sandbox's own (stamped when made), or an empty or new directory that it
# makes its own. Anything else is someone's (TESSEL_WINEPREFIX naming a folder by mistake): it
# is refused, and never deleted, booted nor copied. Judged under the lock, so a prefix that
# another sandbox is making is never taken for someone's.
ready_stamp="$WINEPREFIX/.tessel-prefix-ready"
made_stamp="$WINEPREFIX/.tessel-prefix-made"  # written before anything else goes in
if [ -e "$WINEPREFIX" ] || [ -L "$WINEPREFIX" ]; then
  [ -d "$WINEPREFIX" ] || fail "refusing to use $WINEPREFIX as the Wine prefix: it is not a directory"
  if [ ! -f "$ready_stamp" ] && [ ! -f "$made_stamp" ] &&
    [ -n "$(ls -A "$WINEPREFIX" 2>/dev/null || echo unreadable)" ]; then
    fail "refusing to use $WINEPREFIX as the Wine prefix: it holds files and the sandbox did" \
      "not make it (no $(basename "$ready_stamp") in it); nothing in it was touched. Name a new or" \
      "empty directory in TESSEL_WINEPREFIX"
  fi
fi

# Wine's server makes the sockets, so only a server that this script started, as its own child
# inside the namespace, may serve the prefix. A server of the prefix that runs elsewhere (by
# hand, outside any sandbox) holds the prefix's lock: the one started here then ends at once,
# and the sandbox refuses. It never stops a server it did not start: `wineserver -k` would
# stop whichever holds the lock.
log="$(mktemp /tmp/tessel-sandbox.XXXXXX)"
xvfb_pid=""
server_job=""
server_pid=""
server_start=""
server_exit=""

# Starts the prefix's server with the given options in the foreground, as the child of a child
# of this script that records how it ended, and waits until it holds the prefix's lock: then
# it, and no other, serves the prefix.
start_server() {  # wineserver options...
  server_exit="$(mktemp /tmp/tessel-wineserver-exit.XXXXXX)"
  (
    wineserver -f "$@" </dev/null >/dev/null 2>&1 &
    wait $!
    echo "$?" >"$server_exit"
  ) &
  server_job=$!
  server_pid=""
  server_start=""
  for _ in $(seq 100); do
    if [ -z "$server_pid" ]; then
      server_pid="$(pgrep -P "$server_job" | head -1)"
      [ -z "$server_pid" ] || server_start="$(tessel_process_start "$server_pid")"
    fi
    [ -z "$server_pid" ] || ! tessel_wineserver_serves "$server_pid" || return 0
    [ ! -s "$server_exit" ] || break
    sleep 0.1
  done
  case "$(cat "$server_exit")" in
    2) fail "refusing to run: a Wine server of $WINEPREFIX that no sandbox started is running" \
      "(by hand, outside any sandbox?); it is left alone: end it where it was started" \
      "(WINEPREFIX=$WINEPREFIX wineserver -k) and run again" ;;
    "") fail "the Wine server of $WINEPREFIX did not start within 10 s" ;;
    *) fail "the Wine server of $WINEPREFIX did not start (exit $(cat "$server_exit"))" ;;
  esac
}

# Waits up to SECONDS for the server this script started to end by itself, then asks it to end
# (SIGINT, as `wineserver -k` would ask the lock's holder: it ends its programs, writes the
# prefix's registry and exits) and at last kills it.
stop_server() {  # seconds
  [ -n "$server_job" ] || return 0
  local tenths=$(($1 * 10)) i
  for ((i = 0; i < tenths; i++)); do
    [ -s "$server_exit" ] && break
    sleep 0.1
  done
  if [ -z "$server_pid" ]; then
    kill -KILL "$server_job" 2>/dev/null  # a server never seen is left to the kernel
  elif [ ! -s "$server_exit" ] && [ "$(tessel_process_start "$server_pid")" = "$server_start" ]; then
    kill -INT "$server_pid" 2>/dev/null
    for ((i = 0; i < 200; i++)); do
      [ -s "$server_exit" ] && break
      sleep 0.1
    done
    [ -s "$server_exit" ] || kill -KILL "$server_pid" 2>/dev/null
  fi
  wait "$server_job" 2>/dev/null
  rm -f "$server_exit"
  server_job=""
}

cleanup() {
  # Wine's server goes first, so it writes the prefix's registry; whatever is left when this
  # script, the namespace's first process, returns is ended by the kernel.
  stop_server 0
  if [ -n "$xvfb_pid" ]; then
    kill "$xvfb_pid" >/dev/null 2>&1 || true
    wait "$xvfb_pid" 2>/dev/null || true  # so it removes its lock file
  fi
  rm -f "$log"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Runs a step with its output kept aside; on failure, says which step and its last words.
step() {  # description command...
  local what="$1"
  shift
  "$@" </dev/null >"$log" 2>&1 && return 0
  local rc=$? said
  said="$(grep -v '^[[:space:]]*$' "$log" | tail -1)"
  fail "$what: ${said:-exit code $rc}"
}

# The PID namespace's own /proc lacks the kernel's table of program interpreters, which tells
# whether 32-bit programs run through emulation here.
[ ! -d /proc/sys/fs/binfmt_misc ] || [ -e /proc/sys/fs/binfmt_misc/status ] ||
  mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc 2>/dev/null || true

step "cannot bring lo up" ip link set lo up
step "cannot add the broadcast route on lo" ip route replace broadcast 255.255.255.255 dev lo table local
ip route get 255.255.255.255 2>/dev/null | grep -q " dev lo " ||
  fail "refusing to run: broadcasts would not stay on lo"

# A screen of our own: Xvfb takes the first display number nobody holds and says which.
display_file="$(mktemp /tmp/tessel-display.XXXXXX)"
Xvfb -displayfd 3 -screen 0 1920x1200x24 -nolisten tcp -noreset 3>"$display_file" >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do
  [ -s "$display_file" ] && break
  kill -0 "$xvfb_pid" 2>/dev/null || fail "Xvfb did not start"
  sleep 0.1
done
display="$(tr -dc 0-9 <"$display_file")"
rm -f "$display_file"
[ -n "$display" ] || fail "Xvfb named no display within 10 s"
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

# A new prefix takes minutes (Wine sets up its 32-bit side too, emulated on some machines): the
# first one made on this machine with this Wine is kept as a template, and later build trees
# start from a copy of it. The stamp that says a prefix is whole goes in last.
template="${XDG_CACHE_HOME:-$HOME/.cache}/tessel/wine-prefix-$(wine --version 2>/dev/null | tr -c 'A-Za-z0-9.\n-' _)"
if [ ! -f "$ready_stamp" ]; then
  mkdir -p "$WINEPREFIX" && touch "$made_stamp" || fail "cannot write $made_stamp"
  # What a run stopped half-way left in a prefix of the sandbox's own goes.
  find "$WINEPREFIX" -mindepth 1 -maxdepth 1 ! -name "$(basename "$made_stamp")" -exec rm -rf {} + ||
    fail "cannot clear the half-made prefix $WINEPREFIX"
fi
if [ ! -f "$ready_stamp" ] && [ -f "$template/$(basename "$ready_stamp")" ]; then
  echo "sandbox: copying the Wine prefix from $template" >&2
  step "cannot copy the Wine prefix" find "$template" -mindepth 1 -maxdepth 1 \
    ! -name "$(basename "$ready_stamp")" -exec cp -a -t "$WINEPREFIX" {} +
  touch "$ready_stamp" || fail "cannot write $ready_stamp"
fi
if [ ! -f "$ready_stamp" ]; then
  echo "sandbox: creating the Wine prefix $WINEPREFIX (once per machine and Wine version)" >&2
  # A server that outlasts the pauses between the steps below (else the next step would start
  # a server of its own), then ends 5 s after the last one, taking Wine's services with it.
  start_server -p5
  step "Wine does not start" wineboot -i
  step "cannot set the prefix's fonts" wine reg add 'HKCU\Software\Wine\Fonts\Replacements' \
    /v 'Courier New' /t REG_SZ /d 'Liberation Mono' /f
  step "cannot set the prefix's windows" wine reg add 'HKCU\Software\Wine\X11 Driver' \
    /v Managed /t REG_SZ /d N /f
  step "cannot turn the crash dialog off" wine reg add 'HKCU\Software\Wine\WineDbg' \
    /v ShowCrashDialog /t REG_DWORD /d 0 /f
  stop_server 300
  touch "$ready_stamp" || fail "cannot write $ready_stamp"
  # Kept whole or not at all: copied aside, then renamed into place.
  if mkdir -p "$(dirname "$template")" && copy="$(mktemp -d "$template.XXXXXX")"; then
    cp -a "$WINEPREFIX/." "$copy" && mv -T "$copy" "$template" 2>/dev/null || rm -rf "$copy"
  fi
fi

# The sandbox's server must outlive every pause between tests (-p). It runs in the foreground
# as this script's own child, so that how it ended, should it end before the sandbox does, is
# on record for the test run to name.
start_server -p
why="$(tessel_sandbox_refusal)"
[ -z "$why" ] || fail "refusing to run: $why"
export TESSEL_WINESERVER_PID="$server_pid"  # for checks that watch the server's resources
TESSEL_WINESERVER_ID="$server_pid $server_start"
# The project's wine, the emulator and the test run check it is still this one.
export TESSEL_WINESERVER_ID TESSEL_SANDBOX_WINEPREFIX="$WINEPREFIX"
export TESSEL_WINESERVER_EXIT="$server_exit"

# Wine's background services inherit the caller's output; start them before anything captured.
step "Wine does not start" wine cmd /c exit
# The desktop process likewise: the first windowed program would start it with its own output
# inherited, and it lingers after the last window, so a caller reading that output would wait.
# Started once here, it serves every program of the sandbox.
wine explorer.exe /desktop </dev/null >/dev/null 2>&1 &
disown $!  # no job notice when the namespace ends it

"$@"
exit $?
