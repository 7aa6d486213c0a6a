# What the serve checks share, sourced after sandbox_check.sh and artifacts.sh: serve_e2e.mjs run
# for one part of it, once what it starts is there.
serve_e2e_part() {  # part (wine or native) out
  local tests=tools/g1/sinks/serve/web/tests f
  for f in build/native/bin/g1 build/win64/bin/g1.exe build/win64/bin/tessel-host.exe \
    "build/win64/bin/$tessel_plugin_dll" /usr/bin/chromium \
    "$tests/node_modules/playwright-core/package.json"; do
    [ -e "$f" ] || fail "$f is missing: ./run setup and ./run build make it"
  done
  exec node "$tests/serve_e2e.mjs" --g1 build/native/bin/g1 --g1exe build/win64/bin/g1.exe \
    --host build/win64/bin/tessel-host.exe \
    --plugin "build/win64/bin/$tessel_plugin_dll" --out "$2" --part "$1"
}
