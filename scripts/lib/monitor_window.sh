# Sourced by the demo scripts: the monitor window's title and size, read from the header the
# plug-in is built with, so that the scripts and the plug-in cannot disagree.
monitor_header="$(dirname "${BASH_SOURCE[0]}")/../../plugin/monitor/monitor_window.h"
monitor_title="$(sed -n 's/.*kMonitorTitle = "\([^"]*\)";.*/\1/p' "$monitor_header")"
monitor_width="$(sed -n 's/.*kMonitorWidth = \([0-9]*\);.*/\1/p' "$monitor_header")"
monitor_height="$(sed -n 's/.*kMonitorHeight = \([0-9]*\);.*/\1/p' "$monitor_header")"
if [ -z "$monitor_title" ] || [ -z "$monitor_width" ] || [ -z "$monitor_height" ]; then
  echo "cannot read the monitor window's title and size from $monitor_header" >&2
  exit 1
fi
