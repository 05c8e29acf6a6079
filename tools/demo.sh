#!/usr/bin/env bash
# The main job, after the build: register the demo launcher and the plug-in in the
# build's Wine prefix, then run page script through the host program.
#   tools/demo.sh BUILD-DIR                        the example page, then a refused page
#   tools/demo.sh BUILD-DIR PAGE.js [OPTIONS...]   your page (options: kelvra_host --help)
#   tools/demo.sh BUILD-DIR --url URL [...]        the example page with your options
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(cd "${1:?usage: tools/demo.sh BUILD-DIR [PAGE.js] [OPTIONS...]}" && pwd)
shift
export WINEPREFIX=${WINEPREFIX:-$build/wineprefix} WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
bin=$build/bin

windows_path() { winepath -w "$(realpath "$1")" 2>/dev/null; }

host() { wine "$bin/kelvra_host.exe" "$@"; }

# Runs one page; its exit code is returned, not fatal.
page() {
  local title=$1 script=$2
  shift 2
  echo
  echo "=== $title ==="
  local status=0
  host --private-temp --show-log "$@" "$(windows_path "$script")" || status=$?
  echo "=== exit code $status ==="
  return $status
}

echo "=== registering the demo launcher and the plug-in in $WINEPREFIX ==="
launcher=$(windows_path "$bin/KelvraDemoLauncher.dll")
wine regsvr32 /s "$launcher"
# The test bed shares this prefix and expects the launcher class unregistered there.
trap 'wine regsvr32 /s /u "$launcher" || true' EXIT
echo "registered KelvraDemoLauncher.dll (regsvr32; unregistered again when the demo ends)"
host --register "$(windows_path "$bin/NPKelvraProxy.dll")"

example=$root/examples/launcher-page.html
if [ $# -gt 0 ] && [ "${1#--}" = "$1" ]; then
  script=$1
  shift
  page "your page $script" "$script" "$@"
elif [ $# -gt 0 ]; then
  page "the example page with your options" "$example" "$@"
else
  status=0
  page "the example page on an allowed URL" "$example" --url https://www.kelvra.com/play ||
    status=$?
  page "the same page on a refused URL" "$example" --url https://www.example.com/games ||
    status=$?
  exit $status
fi
