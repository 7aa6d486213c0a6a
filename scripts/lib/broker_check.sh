# What the broker checks share, sourced once they have set py (Debian's python3, with the MQTT
# client), out (their folder) and fail: the checks' helpers (check_helpers.sh), Debian's
# mosquitto on a port and a broker that never answers.

. scripts/lib/check_helpers.sh

broker_pid=
broker_start() {  # port config-lines...
  local p="$1" && shift
  printf '%s\n' "listener $p 127.0.0.1" "persistence false" "log_dest stderr" "user root" "$@" \
    >"$out/mosquitto-$p.conf"
  /usr/sbin/mosquitto -c "$out/mosquitto-$p.conf" 2>>"$out/mosquitto-$p.log" &
  broker_pid=$!
  children+=("$broker_pid")
  wait_for 10 "mosquitto did not listen on $p" listening "$p"
}

# A broker that never answers: a listening socket with a full accept queue drops every further
# connection request. Its port goes in silent.
silent=
silent_broker_start() {
  "$py" - "$out/silent.port" <<'PY' 2>"$out/silent.log" &
import socket, sys, time
s, fillers = socket.socket(), []
s.bind(("127.0.0.1", 0))
s.listen(0)
for timeout in (0, 0, 1):  # the first fills the queue, the second and the probe get no answer
    c = socket.socket()
    c.settimeout(timeout)
    if timeout and c.connect_ex(s.getsockname()) == 0:
        sys.exit("the full queue still took a connection")
    fillers += [] if timeout else [c, c.connect_ex(s.getsockname())]
c.close()
open(sys.argv[1], "w").write(f"{s.getsockname()[1]}\n")
time.sleep(600)
PY
  children+=($!)
  wait_for 10 "the silent broker did not start (its log: $out/silent.log)" test -s "$out/silent.port"
  silent="$(cat "$out/silent.port")"
}
