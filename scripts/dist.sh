#!/usr/bin/env bash
# The release: builds the shipped binaries reproducibly (the dist-win64 and dist-win32 presets),
# strips them into the archive a user installs from and keeps their debug information in a
# second one. Runs nothing it builds.
#   scripts/dist.sh                    writes build/dist/ (./run dist)
#   scripts/dist.sh --check [--against DIR]
#                                      builds the committed tree in two fresh folders (one when
#                                      DIR, an earlier build/dist, is given) and compares the bytes
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

. scripts/lib/artifacts.sh

fail() { echo "dist: $*" >&2; exit 1; }

version="$(head -n 1 VERSION)"
package="corvane-tessel-plugin-$version-windows"
out="build/dist"

# The commit's time is every archive entry's time and, written by objcopy, each binary's link
# time; a tree without git history (a --check copy) is handed it by the caller.
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH="$(git log -1 --format=%ct 2>/dev/null)" ||
    fail "no SOURCE_DATE_EPOCH and no git history to take it from"
fi
export SOURCE_DATE_EPOCH

# preset, file as built, place in the archive, the objcopy that reads it.
shipped=(
  "dist-win64 bin/$tessel_plugin_dll plugin/$tessel_plugin_dll x86_64-w64-mingw32-objcopy"
  "dist-win32 bin/secretgen.exe secretgen/secretgen.exe i686-w64-mingw32-objcopy"
  "dist-win64 bin/g1.exe tools/g1.exe x86_64-w64-mingw32-objcopy"
  "dist-win64 bin/tessel-host.exe tools/tessel-host.exe x86_64-w64-mingw32-objcopy"
)

build() {
  local preset
  for preset in dist-win64 dist-win32; do
    echo "dist: building $preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$(nproc)" >"build/$preset.log" 2>&1 ||
      { tail -n 30 "build/$preset.log"; fail "the $preset build failed (build/$preset.log)"; }
  done
}

# The shipped binary loses its debug sections and symbols and names its debug file (with the
# file's CRC) in a .gnu_debuglink section; the debug file sits at the same place in the other
# archive, so unpacking both into one folder puts each beside its binary.
split_debug() {  # built shipped-path objcopy release-dir debug-dir
  local built="$1" place="$2" objcopy="$3" release="$4" debug="$5"
  mkdir -p "$(dirname "$release/$place")" "$(dirname "$debug/$place")"
  "$objcopy" --only-keep-debug "$built" "$debug/$place.debug"
  (cd "$(dirname "$debug/$place")" &&
    "$objcopy" --strip-all --add-gnu-debuglink="$(basename "$place").debug" \
      "$root/$built" "$root/$release/$place")
}

stage() {
  local release="$out/stage/$package" debug="$out/stage/$package-debug"
  local line preset built place objcopy
  rm -rf "$out"
  mkdir -p "$release/docs" "$release/wireshark" "$debug"
  for line in "${shipped[@]}"; do
    read -r preset built place objcopy <<<"$line"
    split_debug "build/$preset/$built" "$place" "$objcopy" "$release" "$debug"
  done
  cp tools/wireshark/g1.lua "$release/wireshark/g1.lua"
  # g1.exe carries the MQTT client library that setup built, and with it the library's terms.
  local mqtt
  mqtt="$(scripts/mosquitto-mingw.sh --dir 2>/dev/null || true)"
  if [ -n "$mqtt" ] && [ -f "$mqtt/lib/libmosquitto_static.a" ]; then
    mkdir -p "$release/licenses/mqtt-client"
    cp "$mqtt"/share/licenses/* "$release/licenses/mqtt-client/"
  fi
  cp docs/*.md "$release/docs/"
  sed "s/@VERSION@/$version/g" scripts/dist/README.txt >"$release/README.txt"

  scripts/dist/zip_tree.py "$out/$package.zip" "$release" "$SOURCE_DATE_EPOCH"
  scripts/dist/zip_tree.py "$out/$package-debug.zip" "$debug" "$SOURCE_DATE_EPOCH"
  (cd "$out" && sha256sum "$package.zip" "$package-debug.zip" >SHA256SUMS)
}

# Builds the committed tree in fresh folders of different paths at different times and compares
# their archives with each other and with DIR when given.
check() {
  local against="" trees=2 work n
  if [ "${1:-}" = "--against" ]; then
    against="$(cd "$2" && pwd)"
    trees=1
  fi
  # The commit is taken once: a commit made meanwhile must not reach the second tree.
  local commit
  commit="$(git rev-parse HEAD)"
  # Each tree compiles every file itself: a cached object would hide a difference.
  export CCACHE_DISABLE=1
  work="$root/build/dist-check"
  rm -rf "$work"
  local outputs=()
  [ -z "$against" ] || outputs+=("$against")
  for n in $(seq "$trees"); do
    mkdir -p "$work/tree-$n"
    git archive "$commit" | tar -x -C "$work/tree-$n"
    echo "dist: fresh tree $n in $work/tree-$n"
    (cd "$work/tree-$n" && scripts/dist.sh) >"$work/tree-$n.log" 2>&1 ||
      { tail -n 30 "$work/tree-$n.log"; fail "the build in fresh tree $n failed"; }
    outputs+=("$work/tree-$n/build/dist")
  done
  local first="${outputs[0]}" other file same=yes
  for other in "${outputs[@]:1}"; do
    for file in "$package.zip" "$package-debug.zip" SHA256SUMS; do
      if ! cmp -s "$first/$file" "$other/$file"; then
        echo "dist: $file differs between $first and $other"
        same=no
      fi
    done
  done
  [ "$same" = yes ] || fail "not reproducible (the trees stay in $work)"
  echo "dist: ${#outputs[@]} builds of $commit, byte-identical archives"
  cat "$first/SHA256SUMS"
  rm -rf "$work"
}

case "${1:-}" in
  "") ;;
  --check) shift; check "$@"; exit 0 ;;
  *) sed -n '2,8p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//' >&2; exit 2 ;;
esac

[ -f tools/wireshark/g1.lua ] || fail "tools/wireshark/g1.lua is missing"
build
stage
echo "dist: $out/$package.zip, $out/$package-debug.zip"
cat "$out/SHA256SUMS"
