# The Wine prefixes of a build folder, sourced by the jobs and the tests: the tests
# and the demo each have one of their own, so that whatever a demo leaves
# registered, running or half done never reaches a test, and no test touches the
# demo's store. (CMake names the tests' one too: KELVRA_WINEPREFIX.)
#   kelvra_prefixes BUILD-DIR   sets test_prefix and demo_prefix (KELVRA_DEMO_PREFIX
#                               moves the demo's: the command-line test has its own)
#   make_prefix PREFIX          creates the prefix once

kelvra_prefixes() {
  test_prefix=$1/wineprefix
  demo_prefix=${KELVRA_DEMO_PREFIX:-$1/demo-wineprefix}
}

make_prefix() {
  if [ ! -f "$1/system.reg" ]; then
    mkdir -p "$1"
    # A 32-bit prefix: the plug-in and everything that loads it are 32-bit programs.
    WINEPREFIX=$1 WINEARCH=win32 wineboot -i >/dev/null 2>&1 || true
    WINEPREFIX=$1 wineserver -w
  fi
}
