#!/usr/bin/env bash
# Installs the toolchains and runtimes the build and tests need; skips what is already there.
set -euo pipefail

need_pkgs=(cmake ninja-build g++ clang libclang-rt-14-dev googletest libgtest-dev libgmock-dev
  libbenchmark-dev libcli11-dev mingw-w64 g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
  wine wine64 wine32:i386 xvfb x11-utils imagemagick fonts-liberation gnuplot-nox iproute2 util-linux
  procps python3 clang-format)

missing=()
for p in "${need_pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "setup: installing ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  echo "setup: these packages are missing and installing them needs root: ${missing[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
