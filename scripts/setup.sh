#!/usr/bin/env bash
# Installs the toolchains and runtimes the build and tests need; skips what is already there.
# Then sets Wine up for this machine's kernel and says how in one line: 64-bit Windows programs
# always start with the 64-bit loader (the project's scripts/wine), 32-bit ones run natively
# where the kernel allows, else through emulation (scripts/i386.sh), else not at all.
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

need_pkgs=(cmake ninja-build g++ clang libclang-rt-14-dev googletest libgtest-dev libgmock-dev
  libbenchmark-dev libcli11-dev ccache mingw-w64 g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
  wine wine64 wine32:i386 xvfb x11-utils imagemagick fonts-liberation gnuplot-nox iproute2 util-linux
  procps python3 clang-format tshark tcpdump socat libboost-dev chromium mosquitto
  libmosquitto-dev python3-paho-mqtt openssl dpkg-dev lld libcurl4-openssl-dev zlib1g-dev
  influxdb influxdb-client python3-influxdb prometheus)
# Node.js and npm drive the browser tests: the machine's own where it has them, else Debian's.
command -v npm >/dev/null 2>&1 || need_pkgs+=(nodejs npm)

fail() { echo "setup: $*" >&2; exit 1; }
# Why Wine's 32-bit half is not installed, when setup could not install it (read by i386.sh).
wine32_note="$root/build/wine32-setup.txt"

# Runs an apt-get step quietly; on failure, says which and its last words.
apt_step() {  # description apt-get-arguments...
  local what="$1" log
  shift
  log="$(mktemp)"
  if ! DEBIAN_FRONTEND=noninteractive apt-get "$@" >"$log" 2>&1; then
    local said
    said="$(grep -v '^[[:space:]]*$' "$log" | tail -1)"
    rm -f "$log"
    fail "$what failed: $said"
  fi
  rm -f "$log"
}

rm -f "$wine32_note"
missing=()
for p in "${need_pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  [ "$(id -u)" -eq 0 ] || fail "these packages are missing and installing them needs root: ${missing[*]}"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386 || fail "dpkg --add-architecture i386 failed"
  fi
  # A mirror in the middle of a sync fails one index while the rest are fresh; the install
  # below then says whether anything it needs is really missing.
  if ! DEBIAN_FRONTEND=noninteractive apt-get update -qq >/dev/null 2>&1; then
    echo "setup: apt-get update reported errors (a mirror mid-sync?); installing from the lists it has"
  fi
  # tshark's package asks whether to let non-root users capture; the answer is no, unasked.
  echo 'wireshark-common wireshark-common/install-setuid boolean false' | debconf-set-selections
  # Wine's 32-bit half needs every i386 library at its amd64 twin's version; a mirror whose i386
  # index lags leaves it uninstallable for a while. Without it only the 32-bit runs are skipped.
  if ! DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null 2>&1; then
    if [[ " ${missing[*]} " == *" wine32:i386 "* ]]; then
      mkdir -p "$(dirname "$wine32_note")"
      echo "apt-get install wine32:i386 failed" >"$wine32_note"
      missing=("${missing[@]/wine32:i386/}")
    fi
    apt_step "apt-get install" install -y -qq --no-install-recommends ${missing[@]}
  fi
fi

# The browser tests' driver, playwright-core, as locked; it drives Debian's chromium and
# downloads no browser of its own.
web_tests="$root/tools/g1/sinks/serve/web/tests"
if [ ! -f "$web_tests/node_modules/.package-lock.json" ] ||
  [ "$web_tests/package-lock.json" -nt "$web_tests/node_modules/.package-lock.json" ]; then
  (cd "$web_tests" && npm ci --no-audit --no-fund --loglevel=error >/dev/null) ||
    fail "npm ci in $web_tests failed"
fi

# g1.exe's MQTT client library, from the source of the installed libmosquitto-dev; once per
# version, kept in the user's cache folder. With TESSEL_MOSQUITTO_LATER set, one not yet kept is
# left to the caller (./run build and test build it beside the native presets).
if [ -n "${TESSEL_MOSQUITTO_LATER:-}" ]; then
  "$root/scripts/mosquitto-mingw.sh" --kept || :  # not kept: the caller builds it
else
  "$root/scripts/mosquitto-mingw.sh"
fi

mode="$("$root/scripts/i386.sh" enable)"
case "$mode" in
  native) echo "setup: Wine: 64-bit programs with the 64-bit loader; 32-bit programs run natively" ;;
  emulated)
    echo "setup: Wine: 64-bit programs with the 64-bit loader; 32-bit programs through qemu-i386" \
      "emulation (this kernel runs no 32-bit programs; about a minute a start, so the 32-bit" \
      "program gets a smoke run)"
    ;;
  *) echo "setup: Wine: 64-bit programs with the 64-bit loader; 32-bit programs cannot run, their" \
    "tests are skipped (${mode#none: })" ;;
esac
