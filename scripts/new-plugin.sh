#!/usr/bin/env bash
# ./run new-plugin DIR NAME: writes a standalone plug-in project into DIR, a folder of its own
# outside this tree: NAME.cpp on the kit's frame API, NAME.def, CMake with presets for the
# MinGW-w64 cross build (GCC, or Debian's clang), a five-line README and its own ./run (build,
# check, fly). The kit is built here and installed into DIR/.kit; check and fly come back here
# for the sandbox and the host emulator, so this tree's path is written into DIR/run.
set -euo pipefail
shopt -u patsub_replacement 2>/dev/null || true  # "&" in a path stays itself below
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)"
template="$root/scripts/new-plugin"

fail() { echo "new-plugin: $*" >&2; exit 1; }
[ $# -eq 2 ] || { echo "usage: ./run new-plugin DIR NAME" >&2; exit 2; }
dir="$1" name="$2"

# NAME becomes the DLL's file name and the CMake target, and appears in C++ as text.
[[ "$name" =~ ^[A-Za-z_][A-Za-z0-9_]{0,63}$ ]] ||
  fail "NAME must be a C identifier of at most 64 characters (letters, digits, _), not '$name'"
dir="$(realpath -m -- "$dir")"
case "$dir/" in
  "$root"/*) fail "$dir is inside this project's tree; give a folder outside it" ;;
esac
if [ -e "$dir" ]; then
  [ -d "$dir" ] || fail "$dir is not a folder"
  [ -z "$(ls -A "$dir")" ] || fail "$dir is not empty; give a new folder"
fi
mkdir -p "$dir" || fail "cannot make $dir"
for tool in cmake ninja x86_64-w64-mingw32-g++-posix; do
  command -v "$tool" >/dev/null || fail "$tool is missing: ./run setup installs it"
done

# The kit and the host emulator, from the 64-bit Windows build of this tree.
cd "$root"
mkdir -p build
if [ ! -f build/win64/CMakeCache.txt ]; then
  cmake --preset win64 >build/win64-configure.log 2>&1 ||
    { tail -n 20 build/win64-configure.log >&2; fail "configuring win64 failed (log: build/win64-configure.log)"; }
fi
log=build/new-plugin.log
cmake --build --preset win64 -j "$(nproc)" --target tessel_plugin_kit tessel-host >"$log" 2>&1 ||
  { tail -n 20 "$log" >&2; fail "building the kit and tessel-host failed (log: $log)"; }
cmake --install build/win64 --component plugin_kit --prefix "$dir/.kit" >>"$log" 2>&1 ||
  { tail -n 5 "$log" >&2; fail "installing the kit into $dir/.kit failed (log: $log)"; }

# Writes a template file with NAME and this tree's path filled in.
fill() {  # template target
  local text
  text="$(cat "$template/$1")"
  text="${text//@NAME@/$name}"
  text="${text//@TESSEL_ROOT@/$(printf '%q' "$root")}"
  printf '%s\n' "$text" >"$dir/$2"
}
mkdir -p "$dir/cmake"
fill plugin.cpp.in "$name.cpp"
fill CMakeLists.txt.in CMakeLists.txt
fill README.md.in README.md
fill run.in run
chmod +x "$dir/run"
cp "$template/CMakePresets.json" "$dir/"
cp "$template"/cmake/*.cmake "$dir/cmake/"
cp "$dir/.kit/lib/cmake/TesselPluginKit/plugin_exports.def" "$dir/$name.def"
printf '/build/\n' >"$dir/.gitignore"

echo "new-plugin: $dir holds $name; next: cd $dir && ./run build && ./run check && ./run fly"
