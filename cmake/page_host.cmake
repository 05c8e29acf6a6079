# The page host's page process (host/jsdom): its npm packages, pinned by
# host/jsdom/package-lock.json and installed with `npm ci` into the build folder when
# the build is configured, once per lock file; then bundled with esbuild, so that a
# run loads one file instead of jsdom's thousand, into the programs' folder beside
# kelvra_plugin_process.exe: kelvra-page.js (run by Node.js) and page-window.js (the
# window's parts, run in the page's own realm). Nothing of it is in the repository.
set(page_host_sources "${CMAKE_SOURCE_DIR}/host/jsdom")
set(page_host_modules "${CMAKE_BINARY_DIR}/_deps/page-host")

kelvra_npm_ci("${page_host_sources}" "${page_host_modules}" "the page host's packages" stamp)

find_program(KELVRA_NODE NAMES node nodejs)
if(NOT KELVRA_NODE)
  message(FATAL_ERROR "Node.js runs the page host and bundles it (tools/setup.sh installs it)")
endif()
set(bin "${CMAKE_BINARY_DIR}/bin")
set(esbuild "${KELVRA_NODE}" "${page_host_modules}/node_modules/esbuild/bin/esbuild")
file(GLOB page_host_js CONFIGURE_DEPENDS "${page_host_sources}/*.js")
# jsdom's synchronous XMLHttpRequest runs a worker script beside it; the host is
# offline, so the worker answers every request with a network error.
file(CONFIGURE OUTPUT "${bin}/xhr-sync-worker.js" @ONLY
     CONTENT "// The page host is offline: a synchronous request ends with a network error.\nprocess.stdout.write(JSON.stringify({status: 0, statusText: '', responseURL: '',\n  properties: {error: 'A network error occurred.'}}));\n")
add_custom_command(
  OUTPUT "${bin}/kelvra-page.js" "${bin}/page-window.js"
  COMMAND ${CMAKE_COMMAND} -E env "NODE_PATH=${page_host_modules}/node_modules"
          ${esbuild} "${page_host_sources}/main.js" --bundle --platform=node --format=cjs
          --target=node18 --external:canvas --log-level=error "--outfile=${bin}/kelvra-page.js"
  COMMAND ${CMAKE_COMMAND} -E env "NODE_PATH=${page_host_modules}/node_modules"
          ${esbuild} "${page_host_sources}/window.js" --bundle --format=iife --platform=browser
          --target=es2020 --charset=utf8 --log-level=warning "--outfile=${bin}/page-window.js"
  DEPENDS ${page_host_js} "${CMAKE_SOURCE_DIR}/host/protocol/ops.json" "${stamp}"
  COMMENT "Bundling the page host"
  VERBATIM)
add_custom_target(kelvra_page_host ALL DEPENDS "${bin}/kelvra-page.js" "${bin}/page-window.js")
