# What the checks with servers and children share, sourced once they have set py (Debian's
# python3), out (their folder) and fail: their children ended with them, free loopback ports,
# waits for a condition.

children=()
stop_children() { local p; for p in "${children[@]}"; do kill "$p" 2>/dev/null || true; done; }
trap stop_children EXIT

# A free TCP port on loopback; the sandbox's own network has no other UDP receivers.
free_port() { "$py" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
# Polls CONDITION... every 0.1 s for at most SECONDS; fails with WHY.
wait_for() {  # seconds why condition...
  local limit="$1" why="$2" && shift 2
  for _ in $(seq "$((limit * 10))"); do "$@" && return 0; sleep 0.1; done
  fail "$why (waited $limit s)"
}
listening() { ss -Hltn "sport = :$1" | grep -q LISTEN; }
said() { grep -q -- "$2" "$out/$1" 2>/dev/null; }
