# QuickJS (release 2021-03-27), the host's script engine. Its C sources come from the
# npm package qjsc@0.3.0 (deps/quickjs_2021_03_27): `npm pack` fetches it (tools/setup.sh
# installs npm), its checksum is checked, and the sources are unpacked into the build
# folder when it is configured. Nothing of it is in the repository. The library is
# built with the host's compilers; its warnings are not the project's.
set(KELVRA_QJSC_PACKAGE "qjsc@0.3.0")
set(KELVRA_QJSC_SHA256 "4a9ed1852b334d842d5dac42d1782817ae26310b448de39532451fd45c9ba0ee")
set(KELVRA_QUICKJS_VERSION "2021-03-27")
set(deps "${CMAKE_BINARY_DIR}/_deps")
set(KELVRA_QUICKJS_DIR "${deps}/quickjs-${KELVRA_QUICKJS_VERSION}")

# The engine's stack names no line for a function whose code is all on its first line
# (it has no line table): such a frame gets that first line, as Firefox's stack has it.
set(line_fix_from "    if (!b->has_debug || !b->debug.pc2line_buf) {
        /* function was stripped */
        return -1;
    }")
set(line_fix_to "    if (!b->has_debug) {
        /* function was stripped */
        return -1;
    }
    if (!b->debug.pc2line_buf)
        return b->debug.line_num;")
set(stamp "${KELVRA_QUICKJS_DIR}/unpacked-from-sha256")
kelvra_stale("${stamp}" "${KELVRA_QJSC_SHA256} first-line frames" stale)
if(stale)
  kelvra_require_npm("${KELVRA_QJSC_PACKAGE}")
  file(MAKE_DIRECTORY "${deps}")
  execute_process(
    COMMAND "${KELVRA_NPM}" pack "${KELVRA_QJSC_PACKAGE}" --silent --pack-destination "${deps}"
    WORKING_DIRECTORY "${deps}"
    RESULT_VARIABLE packed OUTPUT_VARIABLE tarball ERROR_VARIABLE packError
    OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT packed EQUAL 0 OR NOT EXISTS "${deps}/${tarball}")
    message(FATAL_ERROR "npm pack ${KELVRA_QJSC_PACKAGE} failed: ${packError}")
  endif()
  file(SHA256 "${deps}/${tarball}" sum)
  if(NOT sum STREQUAL KELVRA_QJSC_SHA256)
    file(REMOVE "${deps}/${tarball}")
    message(FATAL_ERROR "${KELVRA_QJSC_PACKAGE}: SHA-256 ${sum}, not the pinned ${KELVRA_QJSC_SHA256}")
  endif()
  file(REMOVE_RECURSE "${deps}/unpack" "${KELVRA_QUICKJS_DIR}")
  file(ARCHIVE_EXTRACT INPUT "${deps}/${tarball}" DESTINATION "${deps}/unpack"
       PATTERNS "package/deps/quickjs_2021_03_27/*")
  file(RENAME "${deps}/unpack/package/deps/quickjs_2021_03_27" "${KELVRA_QUICKJS_DIR}")
  file(REMOVE_RECURSE "${deps}/unpack")
  file(REMOVE "${deps}/${tarball}")
  file(READ "${KELVRA_QUICKJS_DIR}/quickjs.c" engine)
  string(FIND "${engine}" "${line_fix_from}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "quickjs.c: the line lookup to mend is not where it was")
  endif()
  string(REPLACE "${line_fix_from}" "${line_fix_to}" engine "${engine}")
  file(WRITE "${KELVRA_QUICKJS_DIR}/quickjs.c" "${engine}")
  file(WRITE "${stamp}" "${KELVRA_QJSC_SHA256} first-line frames")
endif()

add_library(kelvra_quickjs STATIC
  "${KELVRA_QUICKJS_DIR}/quickjs.c"
  "${KELVRA_QUICKJS_DIR}/libregexp.c"
  "${KELVRA_QUICKJS_DIR}/libunicode.c"
  "${KELVRA_QUICKJS_DIR}/cutils.c"
  "${KELVRA_QUICKJS_DIR}/libbf.c")
# BigInt (CONFIG_BIGNUM) belongs to ES2020; MinGW's own printf formats numbers as the
# engine expects, as its Makefile has it.
target_compile_definitions(kelvra_quickjs PRIVATE
  CONFIG_VERSION="${KELVRA_QUICKJS_VERSION}" CONFIG_BIGNUM _GNU_SOURCE __USE_MINGW_ANSI_STDIO)
target_include_directories(kelvra_quickjs SYSTEM PUBLIC "${KELVRA_QUICKJS_DIR}")
if(NOT MSVC)
  # No debug information: it is a fifth of the time of the largest compile in the
  # build (quickjs.c), and nobody here steps through the engine.
  target_compile_options(kelvra_quickjs PRIVATE -w -g0)
  # Atomics.wait needs pthread functions: winpthreads, in the host alone (never in a
  # plug-in: its runtime would put a process-wide exception handler into the browser).
  target_link_libraries(kelvra_quickjs PUBLIC pthread)
endif()
