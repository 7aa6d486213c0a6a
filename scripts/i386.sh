#!/usr/bin/env bash
# Whether this machine runs 32-bit (i386) Linux programs, which Wine's 32-bit loader is, and
# so 32-bit Windows programs. Some kernels refuse them ("32-bit emulation disabled"); there
# qemu-user-static, registered for i386 programs, runs them instead, slowly.
#   scripts/i386.sh detect   prints "native", "emulated" or "none: REASON"; changes nothing
#   scripts/i386.sh enable   as detect, but first registers the emulation where it is needed
#                            and can be had (root: apt-get, binfmt_misc); idempotent
set -uo pipefail

probe=/lib/ld-linux.so.2  # the i386 dynamic loader: a 32-bit program that runs with no arguments
binfmt=/proc/sys/fs/binfmt_misc
entry="$binfmt/qemu-i386"
emulator=/usr/bin/qemu-i386-static
# What the last `enable` could not do, so that a later `detect` can name the failed step.
setup_note="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build/i386-setup.txt"
wine32_note="${setup_note%/*}/wine32-setup.txt"  # left by setup.sh
# i386 ELF executables and shared objects (e_ident, e_type, e_machine), as the emulator's own
# packaging registers them.
magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'

emulation_registered() { [ -f "$entry" ] && head -1 "$entry" | grep -qx enabled; }

# Runs the probe; on failure leaves the reason, one line, in $why.
runs_i386() {
  local out
  [ -e "$probe" ] || { why="no 32-bit loader at $probe (the wine32:i386 package brings it)"; return 1; }
  if out="$("$probe" --version 2>&1 </dev/null)"; then return 0; fi
  why="$(printf '%s\n' "$out" | grep -v '^$' | tail -1)"
  why="${why##*"$probe: "}"
  return 1
}

detect() {
  why=""
  if [ -s "$wine32_note" ]; then
    echo "none: Wine's 32-bit half is missing; setup: $(cat "$wine32_note")"
  elif runs_i386; then
    if emulation_registered; then echo emulated; else echo native; fi
  else
    local setup=""
    [ ! -s "$setup_note" ] || setup="; setup: $(cat "$setup_note")"
    echo "none: 32-bit programs do not start here (${why:-no reason given})$setup"
  fi
}

# Installs and registers qemu-user-static for i386; on failure leaves the reason in $why.
register_emulation() {
  if [ ! -x "$emulator" ]; then
    [ "$(id -u)" -eq 0 ] || { why="installing qemu-user-static needs root"; return 1; }
    local log
    log="$(mktemp)"
    if ! DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
      qemu-user-static >"$log" 2>&1; then
      why="apt-get install qemu-user-static failed: $(grep -v '^$' "$log" | tail -1)"
      rm -f "$log"
      return 1
    fi
    rm -f "$log"
  fi
  if [ ! -e "$binfmt/register" ]; then
    mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null ||
      { why="cannot mount binfmt_misc on $binfmt"; return 1; }
  fi
  if [ -e "$entry" ]; then
    echo 1 >"$entry" 2>/dev/null || { why="cannot enable $entry"; return 1; }
  else
    printf ':qemu-i386:M::%s:%s:%s:F' "$magic" "$mask" "$emulator" >"$binfmt/register" 2>/dev/null ||
      { why="cannot register qemu-i386 with binfmt_misc"; return 1; }
  fi
}

case "${1:-}" in
  detect) detect ;;
  enable)
    why=""
    mkdir -p "$(dirname "$setup_note")"
    rm -f "$setup_note"
    if ! runs_i386 && ! emulation_registered; then
      register_emulation || { echo "$why" >"$setup_note"; echo "none: $why"; exit 0; }
    fi
    detect
    ;;
  *) echo "usage: scripts/i386.sh detect | enable" >&2; exit 2 ;;
esac
