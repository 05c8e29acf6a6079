#!/usr/bin/env bash
# The main job, after the build: register the demo launcher and the plug-in in the
# demo's own Wine prefix and run a page in the page host (the page in jsdom on
# Node.js, the plug-in in kelvra_plugin_process.exe under Wine).
#   tools/demo.sh BUILD-DIR                        the example page, then a refused page
#   tools/demo.sh BUILD-DIR [PAGE] [OPTIONS...]    one page (.js or .html), the example if none
#   tools/demo.sh BUILD-DIR --help                 the options
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(cd "${1:?usage: tools/demo.sh BUILD-DIR [PAGE.js] [OPTIONS...]}" && pwd)
shift
. "$root/tools/prefixes.sh"
kelvra_prefixes "$build"
make_prefix "$demo_prefix"
export WINEPREFIX=$demo_prefix WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
bin=$build/bin
example=$root/examples/launcher-page.html

host_command=(node "$bin/kelvra-page.js")
host() { "${host_command[@]}" "$@"; }

for arg in "$@"; do
  if [ "$arg" = --help ] || [ "$arg" = -h ]; then
    echo "usage: ./kelvra demo [PAGE.js | PAGE.html] [options]   (the options are the host's:)"
    host --help
    exit 0
  fi
done

# The host checks the command line before anything else, then registers the demo
# launcher (its DllRegisterServer, as regsvr32 calls it) and the plug-in (as browsers
# find it), then runs the page. The demo's prefix keeps both registered.
register=(--register-launcher "$bin/KelvraDemoLauncher.dll" --register "$bin/NPKelvraProxy.dll")
if [ $# -gt 0 ]; then
  exec "${host_command[@]}" "${register[@]}" --private-temp --default-page "$example" "$@"
fi

status=0
for url in https://www.kelvra.com/play https://www.example.com/games; do
  echo
  echo "=== $example on $url ==="
  code=0
  host "${register[@]}" --private-temp --url "$url" "$example" || code=$?
  register=()
  echo "=== exit code $code ==="
  [ "$code" -ne 130 ] || exit 130  # interrupted: the second page is not wanted either
  [ "$status" -ne 0 ] || status=$code
done
exit $status
