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

# Installs the npm packages that `sources`/package-lock.json pins into `modules` with
# `npm ci`, once per lock file (`what` names them in errors); sets `stamp_var` to the
# stamp file, which changes when they are installed anew.
function(kelvra_npm_ci sources modules what stamp_var)
  file(SHA256 "${sources}/package-lock.json" lock_sum)
  set(stamp "${modules}/installed-from-sha256")
  kelvra_stale("${stamp}" "${lock_sum}" stale)
  if(stale)
    kelvra_require_npm("${what}")
    file(REMOVE_RECURSE "${modules}")
    file(MAKE_DIRECTORY "${modules}")
    file(COPY "${sources}/package.json" "${sources}/package-lock.json" DESTINATION "${modules}")
    execute_process(
      COMMAND "${KELVRA_NPM}" ci --silent --no-audit --no-fund --ignore-scripts
      WORKING_DIRECTORY "${modules}"
      RESULT_VARIABLE done OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT done EQUAL 0)
      message(FATAL_ERROR "npm ci of ${sources}/package-lock.json failed: ${err}")
    endif()
    file(WRITE "${stamp}" "${lock_sum}")
  endif()
  set(${stamp_var} "${stamp}" PARENT_SCOPE)
endfunction()
