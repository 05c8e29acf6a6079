# Third-party sources the build fetches into its own folder, never into the repository:
# each is unpacked or installed once per pinned checksum, which a stamp file beside it
# keeps.

# Sets `result` to TRUE when `stamp` does not hold `expected`.
function(kelvra_stale stamp expected result)
  set(current "")
  if(EXISTS "${stamp}")
    file(READ "${stamp}" current)
  endif()
  if(current STREQUAL expected)
    set(${result} FALSE PARENT_SCOPE)
  else()
    set(${result} TRUE PARENT_SCOPE)
  endif()
endfunction()

# Finds npm (KELVRA_NPM), which fetching `what` needs.
function(kelvra_require_npm what)
  find_program(KELVRA_NPM npm)
  if(NOT KELVRA_NPM)
    message(FATAL_ERROR "npm is needed to fetch ${what} (tools/setup.sh installs it)")
  endif()
endfunction()
