#!/usr/bin/env bash
# Builds the MQTT client library for g1.exe: Debian's mosquitto source package, of the version of
# the installed libmosquitto-dev (so g1 and g1.exe speak through the same code), cross-compiled
# by MinGW-w64 into a static library with its headers in the user's cache folder, where
# cmake/mosquitto.cmake finds it. Skips all of it when that folder is there and was made by this
# recipe. Prints one line: what it did, or why g1.exe goes without the broker options.
#   scripts/mosquitto-mingw.sh           setup's step (root for apt-get when the source is missing)
#   scripts/mosquitto-mingw.sh --dir     prints the folder the library goes to, and does nothing
#   scripts/mosquitto-mingw.sh --kept    says so and exits 0 when nothing is left to build (the
#                                        library is kept, or cannot be built); else exits 1, silent
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

toolchain="$root/cmake/toolchain-mingw64.cmake"
# Our own deb-src entry, beside the machine's Debian entries, whose mirrors and suites it repeats.
src_list=/etc/apt/sources.list.d/tessel-src.sources

say() { echo "setup: $*"; }
# Not fatal to setup: g1.exe then builds without the broker options and says so when asked.
give_up() {
  say "g1.exe without the broker options: $*" >&2
  exit 0
}

version="$(dpkg-query -W -f='${Version}' libmosquitto-dev 2>/dev/null)"
[ -n "$version" ] || give_up "libmosquitto-dev is not installed, so no source version to build"
[ -n "${HOME:-}" ] || HOME="$(getent passwd "$(id -u)" | cut -d: -f6)"
cache="${XDG_CACHE_HOME:-$HOME/.cache}/tessel"
dest="$cache/mosquitto-mingw64-$version"
if [ "${1:-}" = --dir ]; then
  echo "$dest"
  exit 0
fi

# The client library alone (no broker, tools or plug-ins), static, with its network thread
# (winpthreads), without TLS: Debian has no OpenSSL for MinGW. The archive keeps no dates,
# owners or modes.
options=(-DCMAKE_BUILD_TYPE=RelWithDebInfo
  -DWITH_STATIC_LIBRARIES=ON -DWITH_THREADING=ON -DWITH_TLS=OFF -DWITH_CJSON=OFF -DWITH_SRV=OFF
  -DWITH_DLT=OFF -DWITH_CLIENTS=OFF -DWITH_BROKER=OFF -DWITH_APPS=OFF -DWITH_PLUGINS=OFF
  -DWITH_LIB_CPP=OFF -DDOCUMENTATION=OFF
  "-DCMAKE_C_ARCHIVE_CREATE=<CMAKE_AR> qcD <TARGET> <LINK_FLAGS> <OBJECTS>"
  "-DCMAKE_C_ARCHIVE_APPEND=<CMAKE_AR> qD <TARGET> <LINK_FLAGS> <OBJECTS>"
  "-DCMAKE_C_ARCHIVE_FINISH=<CMAKE_RANLIB> -D <TARGET>")
# What makes the library's bytes besides the source: these options, the toolchain files and the
# compiler's packages. A change to any of them builds it again.
recipe="$({
  printf '%s\n' "${options[@]}"
  cat "$toolchain" "$root/cmake/mingw_toolchain.cmake"
  dpkg-query -W -f='${Package} ${Version}\n' gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
} | sha256sum | cut -d' ' -f1)"
stamp="$dest/.tessel-recipe"
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$recipe" ]; then
  say "mosquitto $version for g1.exe: $dest (kept)"
  exit 0
fi
[ "${1:-}" != --kept ] || exit 1

# The machine's Debian entries (deb822 stanzas and one-line entries of this release's suites),
# as deb-src stanzas: the same mirrors, suites, components and keys.
source_stanzas() {
  local codename
  codename="$(. /etc/os-release && echo "${VERSION_CODENAME:-}")"
  [ -n "$codename" ] || return 0
  local f
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] && [ "$f" != "$src_list" ] || continue
    awk -v codename="$codename" '
      function flush() {
        if (types ~ /(^| )deb( |$)/ && tolower(enabled) != "no" && suites_match())
          printf "Types: deb-src\nURIs: %s\nSuites: %s\nComponents: %s\n%s\n", uris, suites,
            components, (signed != "" ? "Signed-By: " signed "\n" : "")
        types = uris = suites = components = signed = enabled = ""
      }
      function suites_match(  n, s, i) {
        n = split(suites, s, " ")
        for (i = 1; i <= n; i++) if (s[i] == codename || index(s[i], codename "-") == 1) return 1
        return 0
      }
      /^[[:space:]]*#/ { next }
      /^[[:space:]]*$/ { flush(); next }
      /^[A-Za-z-]+:/ {
        key = tolower(substr($0, 1, index($0, ":") - 1))
        value = substr($0, index($0, ":") + 1)
        gsub(/^[[:space:]]+|[[:space:]]+$/, "", value)
        if (key == "types") types = value
        else if (key == "uris") uris = value
        else if (key == "suites") suites = value
        else if (key == "components") components = value
        else if (key == "signed-by") signed = value
        else if (key == "enabled") enabled = value
      }
      END { flush() }' "$f"
  done
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    awk -v codename="$codename" '
      $1 != "deb" { next }
      {
        signed = ""; i = 2
        if ($2 ~ /^\[/) {
          for (; i <= NF; i++) {
            if ($i ~ /^\[?signed-by=/) {
              signed = $i
              sub(/^\[?signed-by=/, "", signed)
              sub(/\]$/, "", signed)
            }
            if ($i ~ /\]$/) { i++; break }
          }
        }
        uri = $i; suite = $(i + 1); components = ""
        for (j = i + 2; j <= NF; j++) components = components (components == "" ? "" : " ") $j
        if (suite == codename || index(suite, codename "-") == 1)
          printf "Types: deb-src\nURIs: %s\nSuites: %s\nComponents: %s\n%s\n", uri, suite,
            components, (signed != "" ? "Signed-By: " signed "\n" : "")
      }' "$f"
  done
}

# Reads all of apt-cache's answer: grep -q would stop early, and the pipe fail with SIGPIPE.
has_source() { apt-cache showsrc mosquitto 2>/dev/null | grep -x "Version: $version" >/dev/null; }

# Runs an apt-get step quietly; on failure gives up with its last words.
apt_quiet() {  # description apt-get-arguments...
  local what="$1" log said
  shift
  log="$(mktemp)"
  if ! DEBIAN_FRONTEND=noninteractive apt-get "$@" >"$log" 2>&1; then
    said="$(grep -v '^[[:space:]]*$' "$log" | tail -1)"
    rm -f "$log"
    give_up "$what failed: $said"
  fi
  rm -f "$log"
}

work="$(mktemp -d /tmp/tessel-mosquitto.XXXXXX)" || give_up "cannot make a work folder in /tmp"
trap 'rm -rf "$work"' EXIT

if ! has_source; then
  [ "$(id -u)" -eq 0 ] || give_up "the source of mosquitto $version is not in apt's lists and" \
    "adding it needs root (./run setup as root)"
  stanzas="$(source_stanzas)"
  [ -n "$stanzas" ] ||
    give_up "no Debian entry for this release in /etc/apt to take the source from"
  if [ ! -f "$src_list" ] || [ "$(cat "$src_list")" != "$stanzas" ]; then
    printf '%s\n' "$stanzas" >"$src_list" || give_up "cannot write $src_list"
  fi
  # An index that fails mid-sync elsewhere still leaves the source lists fresh; has_source says.
  DEBIAN_FRONTEND=noninteractive apt-get update -qq >/dev/null 2>&1 || :
  has_source || give_up "Debian's mirror no longer offers the source of mosquitto $version" \
    "(the installed libmosquitto-dev): upgrade it and run setup again"
fi

# apt checks the source files against the signed index; dpkg-source checks them against the .dsc.
download="$work/download"
mkdir -p "$download" && chmod 755 "$work" "$download"
id _apt >/dev/null 2>&1 && chown _apt "$download" 2>/dev/null
cd "$download" || give_up "cannot enter $download"
apt_quiet "apt-get source mosquitto=$version" source -qq --download-only "mosquitto=$version"
cd / || exit 1
dscs=("$download"/mosquitto_*.dsc)
dsc="${dscs[0]}"
[ -f "$dsc" ] || give_up "apt-get source left no .dsc in $download"
src="$work/mosquitto-$version"
dpkg-source --no-copy -x "$dsc" "$src" >"$work/unpack.log" 2>&1 ||
  give_up "dpkg-source -x $dsc failed: $(tail -1 "$work/unpack.log")"

# The archive's contents depend on nothing but the source and the recipe: the package's own
# date for anything that asks for one, and no folder names in the objects.
SOURCE_DATE_EPOCH="$(dpkg-parsechangelog -l "$src/debian/changelog" -STimestamp)" ||
  give_up "cannot read the date of $src/debian/changelog"
export SOURCE_DATE_EPOCH
build() {  # build-folder
  local out="$1" map
  map="-ffile-prefix-map=$src=mosquitto-$version -ffile-prefix-map=$out=mosquitto-$version/build"
  cmake -S "$src" -B "$out" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_C_FLAGS="$map" \
    "${options[@]}" >"$out.log" 2>&1 &&
    cmake --build "$out" --target libmosquitto_static -j 2 >>"$out.log" 2>&1 && return 0
  cp "$out.log" "$cache/mosquitto-mingw64-build.log"
  give_up "building mosquitto $version for MinGW failed: $(grep -v '^[[:space:]]*$' "$out.log" |
    tail -1) (log: $cache/mosquitto-mingw64-build.log)"
}
mkdir -p "$cache" || give_up "cannot make $cache"
# Built twice, in two folders, to show that the bytes depend on neither.
build "$work/build-a"
build "$work/build-b"
lib_a="$work/build-a/lib/libmosquitto_static.a"
lib_b="$work/build-b/lib/libmosquitto_static.a"
sum="$(sha256sum <"$lib_a" | cut -d' ' -f1)"
[ "$sum" = "$(sha256sum <"$lib_b" | cut -d' ' -f1)" ] ||
  give_up "two builds of mosquitto $version gave different libraries; not reproducible"

# Installed whole or not at all: made beside its place, then renamed into it.
staged="$(mktemp -d "$dest.XXXXXX")" || give_up "cannot write to $cache"
mkdir -p "$staged/include" "$staged/lib" "$staged/share/licenses" &&
  cp "$src/include/mosquitto.h" "$src/include/mqtt_protocol.h" "$staged/include/" &&
  cp "$lib_a" "$staged/lib/" &&
  cp "$src/LICENSE.txt" "$src/edl-v10" "$src/epl-v20" "$src/debian/copyright" \
    "$staged/share/licenses/" &&
  printf '%s  lib/libmosquitto_static.a\n' "$sum" >"$staged/SHA256SUMS" &&
  echo "$recipe" >"$staged/.tessel-recipe" || { rm -rf "$staged"; give_up "cannot fill $staged"; }
chmod 755 "$staged"
# An older recipe's library goes aside, and is deleted once the new one is in place.
old="$dest.old.$$"
[ ! -e "$dest" ] || mv -T "$dest" "$old" || { rm -rf "$staged"; give_up "cannot move $dest aside"; }
mv -T "$staged" "$dest" || { rm -rf "$staged"; give_up "cannot rename $staged to $dest"; }
rm -rf "$old"
say "mosquitto $version for g1.exe: built (no TLS), $dest/lib/libmosquitto_static.a sha256 $sum"
