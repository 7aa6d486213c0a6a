#!/usr/bin/env bash
# The Wireshark dissector for G1 against g1 listen on a capture made in the sandbox.
# time limit: 300 s
set -euo pipefail
exec "$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/tools/wireshark/tests/g1_lua_test.sh"
