# The page runtime: the host's window (its DOM from @mixmark-io/domino, the browser's
# window parts, the page lifecycle), written in host/page/ and bundled with esbuild into
# one script that the host's engine runs before a page. Its npm packages are pinned by
# host/page/package-lock.json and installed with `npm ci` into the build folder when the
# build is configured, once per lock file; the bundle is built into the build folder
# and reaches the programs as a resource (KELVRA_PAGE_RUNTIME). Nothing of it is in the
# repository.
set(page_sources "${CMAKE_SOURCE_DIR}/host/page")
set(page_modules "${CMAKE_BINARY_DIR}/_deps/page-runtime")
set(KELVRA_PAGE_RUNTIME "${CMAKE_CURRENT_BINARY_DIR}/page-runtime.js")

kelvra_npm_ci("${page_sources}" "${page_modules}" "the page runtime's packages" stamp)

find_program(KELVRA_NODE NAMES node nodejs)
if(NOT KELVRA_NODE)
  message(FATAL_ERROR "Node.js is needed to bundle the page runtime (tools/setup.sh installs it)")
endif()
set(page_runtime_sources
  console.js dialogs.js dom.js index.js internal.js lifecycle.js location.js navigator.js network.js
  shims.js storage.js syntax_level.js timers.js)
list(TRANSFORM page_runtime_sources PREPEND "${page_sources}/")
# ES2020, the engine's language; the packages find their modules in the build folder;
# shims.js gives them what they expect of V8. Without spaces and comments (names
# kept): a fifth less for the engine to compile at every page's start.
add_custom_command(
  OUTPUT "${KELVRA_PAGE_RUNTIME}"
  COMMAND "${CMAKE_COMMAND}" -E env "NODE_PATH=${page_modules}/node_modules"
          "${KELVRA_NODE}" "${page_modules}/node_modules/esbuild/bin/esbuild"
          "${page_sources}/index.js" --bundle --format=iife --platform=browser
          --target=es2020 --charset=utf8 --minify-whitespace --minify-syntax --log-level=warning
          "--inject:${page_sources}/shims.js"
          --define:Error.captureStackTrace=captureStackTrace "--outfile=${KELVRA_PAGE_RUNTIME}"
  DEPENDS ${page_runtime_sources} "${stamp}"
  COMMENT "Bundling the page runtime"
  VERBATIM)
# Written only when it changes: a new one at each configure would relink every program.
file(CONFIGURE OUTPUT "${CMAKE_CURRENT_BINARY_DIR}/page_runtime.rc"
     CONTENT "KELVRA_PAGE_RUNTIME RCDATA \"${KELVRA_PAGE_RUNTIME}\"\n")
set_source_files_properties("${CMAKE_CURRENT_BINARY_DIR}/page_runtime.rc" PROPERTIES
                            OBJECT_DEPENDS "${KELVRA_PAGE_RUNTIME}")
# An object library, so that every program linking the host's code links the resource.
add_library(kelvra_page_runtime OBJECT "${CMAKE_CURRENT_BINARY_DIR}/page_runtime.rc")
