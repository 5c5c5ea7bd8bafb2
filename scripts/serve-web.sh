#!/usr/bin/env bash
# Serves the built web page (build/web/page) on http://localhost:PORT/ (default
# 8080), which the browser counts as a secure context, so Web Serial and Web MIDI
# are offered. Builds the page first when it is missing (needs emscripten).
#   scripts/serve-web.sh [PORT]
set -u
cd "$(dirname "$0")/.."
root=$(pwd)
port=${1:-8080}
page=${XR_BUILD_DIR:-$root/build}/web/page
if [ ! -f "$page/xrupdate.wasm" ]; then
  command -v emcc >/dev/null 2>&1 || { echo "emscripten (emcc) is needed to build the page: apt-get install emscripten" >&2; exit 1; }
  export NODE_PATH=/usr/share/nodejs
  cmake -S "$root" --preset web -B "$(dirname "$page")" >/dev/null &&
    cmake --build "$(dirname "$page")" --target xrupdate_web xr_page_files || exit 1
fi
echo "The XR3300/R SystemUpdate Utility page: http://localhost:$port/ (Ctrl-C ends)"
# Only this computer may connect; .wasm and .js go out with the types browsers want.
exec /usr/bin/python3 - "$page" "$port" <<'PY'
import functools, http.server, sys
class Handler(http.server.SimpleHTTPRequestHandler):
    extensions_map = {".html": "text/html", ".js": "text/javascript", ".css": "text/css",
                      ".wasm": "application/wasm", ".svg": "image/svg+xml", "": "application/octet-stream"}
server = http.server.ThreadingHTTPServer(("127.0.0.1", int(sys.argv[2])),
                                         functools.partial(Handler, directory=sys.argv[1]))
try:
    server.serve_forever()
except KeyboardInterrupt:
    pass
PY
