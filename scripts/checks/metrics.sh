#!/usr/bin/env bash
# g1 serve's /metrics scraped by Debian's Prometheus on a loopback port, in the sandbox, while
# g1 send --fly flies with frames left out on purpose: Prometheus's query API must give the
# datagrams sent and the frames left out.
# time limit: 120 s
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
cd "$root"

. scripts/lib/sandbox_check.sh
tessel_require_sandbox "metrics check" "run me through ./run sandbox $0"

fail() { echo "metrics check: $*" >&2; exit 1; }

g1="$root/build/native/bin/g1" py=/usr/bin/python3
for f in "$g1" /usr/bin/prometheus /usr/bin/promtool; do
  [ -x "$f" ] || fail "$f is missing: build the native preset; ./run setup installs prometheus"
done

frames=601 drop_every=50  # frames 50, 100 ... 600 left out: each one between two that came
out="$root/build/metrics-check"
rm -rf "$out" && mkdir -p "$out"
. scripts/lib/check_helpers.sh
get() { "$py" -c 'import sys, urllib.request as u; print(u.urlopen(sys.argv[1]).read().decode())' "$1"; }
# The value of an instant query's only sample, or nothing.
query() { "$py" -c 'import json, sys, urllib.parse as p, urllib.request as u
r = json.load(u.urlopen(sys.argv[1] + p.urlencode({"query": sys.argv[2]})))["data"]["result"]
print(r[0]["value"][1] if len(r) == 1 else "")' "http://127.0.0.1:$prom_port/api/v1/query?" "$1"; }
query_is() { [ "$(query "$1")" = "$2" ]; }

udp_port="$(free_port)" http_port="$(free_port)" prom_port="$(free_port)"
"$g1" serve --port "$udp_port" --http "$http_port" --bind 127.0.0.1 2>"$out/serve.log" &
children+=("$!")
wait_for 10 "g1 serve did not listen on $http_port" listening "$http_port"

echo "{global: {scrape_interval: 1s, scrape_timeout: 1s}, scrape_configs: [{job_name: g1,
  static_configs: [{targets: ['127.0.0.1:$http_port']}]}]}" >"$out/prometheus.yml"
/usr/bin/prometheus --config.file="$out/prometheus.yml" --storage.tsdb.path="$out/prometheus-data" \
  --web.listen-address="127.0.0.1:$prom_port" 2>"$out/prometheus.log" &
children+=("$!")
wait_for 30 "prometheus did not listen on $prom_port" listening "$prom_port"
wait_for 30 "prometheus did not scrape g1 serve (see $out/prometheus.log)" query_is 'up{job="g1"}' 1

"$g1" send --fly circuit --rate 60 --count "$frames" --drop-every "$drop_every" \
  --to "127.0.0.1:$udp_port" 2>"$out/send.log"
sent="$(sed -n 's/^g1 send: \([0-9]*\) datagrams to .*/\1/p' "$out/send.log")"
dropped="$(sed -n 's/.*; \([0-9]*\) left out on purpose$/\1/p' "$out/send.log")"
[ "$dropped" = "$(((frames - 1) / drop_every))" ] || fail "g1 send left out '$dropped' frames"

# The receiver's figures reach /metrics twice a second; one scrape later Prometheus has them.
wait_for 5 "Prometheus did not get the $sent datagrams" query_is 'g1_datagrams_total{sender="127.0.0.1"}' "$sent"
lost="$(query 'g1_frames_lost_total{sender="127.0.0.1"}')"
[ "$lost" = "$dropped" ] || fail "Prometheus has '$lost' frames lost, not the $dropped left out"
[ -n "$(query 'g1_value{sender="127.0.0.1",field="bank"}')" ] || fail "Prometheus has no bank"
# The exposition as promtool's linter reads it: HELP and TYPE for every family, names and units.
get "http://127.0.0.1:$http_port/metrics" >"$out/metrics.txt"
/usr/bin/promtool check metrics <"$out/metrics.txt" >"$out/promtool.log" 2>&1 ||
  fail "promtool finds fault with /metrics: $(cat "$out/promtool.log")"
echo "metrics check: Prometheus scraped $sent datagrams and $lost frames lost, as sent"
