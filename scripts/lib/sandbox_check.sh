# Sourced by every script that may broadcast: tells whether this process runs inside the
# project's sandbox, judged by the network namespace itself, never by a variable alone.

# Prints why this network namespace is not a private one holding only lo, made by the sandbox
# (which names the namespace it was started from in TESSEL_OUTER_NETNS), or nothing. Fails
# closed: what cannot be read counts against it.
tessel_netns_refusal() {
  local own machine links others
  own="$(readlink /proc/self/ns/net 2>/dev/null)"
  # The sandbox has a PID namespace of its own, where PID 1 is itself: it names the machine's
  # namespace as read before it entered (empty where that cannot be read).
  machine="${TESSEL_MACHINE_NETNS-$(readlink /proc/1/ns/net 2>/dev/null)}"
  [ -n "$own" ] || { echo "cannot read this process's network namespace"; return; }
  [ -n "${TESSEL_OUTER_NETNS:-}" ] || { echo "not started by scripts/sandbox.sh"; return; }
  [ "$own" != "$TESSEL_OUTER_NETNS" ] ||
    { echo "this is the network namespace the sandbox was started from"; return; }
  [ -z "$machine" ] || [ "$own" != "$machine" ] ||
    { echo "this is the machine's own network namespace"; return; }
  links="$(ip -o link show 2>/dev/null)" || { echo "cannot list the network interfaces"; return; }
  others="$(awk -F': ' '{ sub(/@.*/, "", $2); if ($2 != "lo") print $2 }' <<<"$links" | tr '\n' ' ')"
  [ -z "$others" ] || echo "interfaces other than lo are present: ${others% }"
}

# The PIDs of the Wine servers of $WINEPREFIX, one a line, found by their working directory
# (named after the prefix's device and inode).
tessel_wineserver_pids() {
  local dir pid
  [ -d "${WINEPREFIX:-}" ] || return 0
  dir="$(printf 'server-%x-%x' "$(stat -c %d "$WINEPREFIX")" "$(stat -c %i "$WINEPREFIX")")"
  for pid in $(pgrep '^wineserver' || true); do
    case "$(readlink "/proc/$pid/cwd" 2>/dev/null)" in */"$dir") echo "$pid" ;; esac
  done
}

# Whether process PID serves a Wine prefix: a Wine server that holds the lock of its server
# directory (its working directory), which one server of a prefix at a time can hold, and has
# made the socket that Wine programs connect to.
tessel_wineserver_serves() {  # pid
  local dir inode
  dir="$(readlink "/proc/$1/cwd" 2>/dev/null)" || return 1
  [ -S "$dir/socket" ] || return 1
  inode="$(stat -c %i "$dir/lock" 2>/dev/null)" || return 1
  awk -v pid="$1" -v inode="$inode" '$2 == "POSIX" && $5 == pid && $6 ~ (":" inode "$") { held = 1 }
    END { exit !held }' /proc/locks
}

# The start time of process PID in clock ticks since boot, or nothing if it has gone: with the
# PID, it names one process for good.
tessel_process_start() {  # pid
  local stat
  { read -r stat <"/proc/$1/stat"; } 2>/dev/null || return 0
  stat="${stat##*) }"
  # shellcheck disable=SC2086  # split into the fields after the command name
  set -- $stat
  echo "${20}"
}

# Prints why the sandbox's Wine server is not the one it started (TESSEL_WINESERVER_ID, "PID
# START"), or nothing. A Wine program whose server goes away exits 0, and the next one starts
# a new server: without this, neither would be noticed.
tessel_wineserver_gone() {
  local pid start
  [ -n "${TESSEL_WINESERVER_ID:-}" ] || { echo "the sandbox named no Wine server"; return; }
  pid="${TESSEL_WINESERVER_ID%% *}"
  start="${TESSEL_WINESERVER_ID#* }"
  [ "$(tessel_process_start "$pid")" != "$start" ] || return 0
  local how="" status
  status="$(cat "${TESSEL_WINESERVER_EXIT:-/dev/null}" 2>/dev/null)"
  if [ -n "$status" ] && [ "$status" -gt 128 ]; then
    how=": killed by signal $((status - 128))"
  elif [ -n "$status" ]; then
    how=": it exited with status $status"
  fi
  echo "the Wine server went away (pid $pid, started by the sandbox$how)"
}

# Prints why a Wine program on WINEPREFIX must not start, or nothing. Inside the sandbox, a
# program on the sandbox's prefix starts only while the server the sandbox started is alive:
# that one holds the prefix's lock, so no other serves it. Otherwise the program would start a
# new server, or join one started outside the sandbox.
tessel_wine_refusal() {
  [ -n "${TESSEL_SANDBOX_WINEPREFIX:-}" ] || return 0
  local ours theirs
  ours="$(stat -L -c %d:%i "$TESSEL_SANDBOX_WINEPREFIX" 2>/dev/null)"
  theirs="$(stat -L -c %d:%i "${WINEPREFIX:-${HOME:-/}/.wine}" 2>/dev/null)"
  [ -z "$theirs" ] || [ "$theirs" != "$ours" ] || tessel_wineserver_gone
}

# Prints why a broadcast from here could leave the machine, or nothing: the namespace, the
# broadcast route, and the Wine server that would make the sockets.
tessel_sandbox_refusal() {
  local why server
  why="$(tessel_netns_refusal)"
  [ -z "$why" ] || { echo "$why"; return; }
  ip route get 255.255.255.255 2>/dev/null | grep -q " dev lo " ||
    { echo "broadcasts would not stay on lo"; return; }
  for server in $(tessel_wineserver_pids); do
    [ "$(readlink "/proc/$server/ns/net" 2>/dev/null)" = "$(readlink /proc/self/ns/net)" ] ||
      { echo "a Wine server of $WINEPREFIX (pid $server) runs in another network namespace"; return; }
  done
}

# Ends the calling script unless it runs inside the sandbox: "NAME: refusing ... (why)".
tessel_require_sandbox() {  # name how-to-run
  local why
  why="$(tessel_sandbox_refusal)"
  [ -z "$why" ] || { echo "$1: refusing to run outside the project's sandbox ($why); $2" >&2; exit 2; }
}
