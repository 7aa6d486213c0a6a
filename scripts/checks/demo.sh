#!/usr/bin/env bash
# The demo, short: the host emulator flies 3 s with the plug-in loaded; the screenshot, the plot,
# the CSV and its recording must be there and every frame's datagram must have arrived, each one
# decoded.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
cd "$root"

. scripts/lib/sandbox_check.sh
tessel_require_sandbox "demo check" "run me through ./run test"

out="build/demo-check"
fail() { echo "demo check: $*" >&2; exit 1; }

scripts/demo.sh --seconds 3 --out "$out"

for f in monitor.png telemetry.png telemetry.csv telemetry.pcap circuit.tstream instruments.png; do
  [ -s "$out/$f" ] || fail "$out/$f is missing or empty"
done
source scripts/lib/monitor_window.sh
size="${monitor_width}x${monitor_height}"
[ "$(identify -format '%wx%h' "$out/monitor.png")" = "$size" ] || fail "the screenshot is not $size"
# A window that was drawn has text on it, not one flat colour.
spread="$(identify -format '%[fx:standard_deviation]' "$out/monitor.png")"
awk -v s="$spread" 'BEGIN { exit !(s > 0.01) }' || fail "the screenshot is blank"

rows="$(($(wc -l <"$out/telemetry.csv") - 1))"
datagrams="$(sed -n 's/^g1 listen: \([0-9]*\) datagrams, \([0-9]*\) malformed.*/\1 \2/p' "$out/listen.log")"
read -r received malformed <<<"$datagrams"
sent="$(sed -n 's/^tessel-host: sent \([0-9]*\) frames.*/\1/p' "$out/host.log" | tail -1)"
[ "${sent:-0}" -ge 120 ] || fail "the host sent ${sent:-no} frames in 3 s at 60 Hz"
# On loopback nothing is lost: every frame's datagram arrives.
[ "${received:-0}" -eq "$sent" ] || fail "${received:-0} datagrams arrived for $sent frames sent"
[ "$malformed" -eq 0 ] || fail "$malformed datagrams were malformed"
[ "$rows" -eq "$received" ] || fail "$received datagrams but $rows decoded lines"
echo "demo check: $received datagrams, $rows decoded lines, screenshot and plot made"
