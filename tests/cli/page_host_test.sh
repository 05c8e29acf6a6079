#!/usr/bin/env bash
# The page host (Node.js with jsdom, the plug-in in kelvra_plugin_process.exe) on the
# pages of tests/pages and the examples: their console lines, the host's reports, its
# account balanced, its exit codes.
#   page_host_test.sh SOURCE-DIR BUILD-DIR
set -uo pipefail

root=$1
build=$2
bin=$build/bin
. "$root/tools/prefixes.sh"
export WINEPREFIX=$build/page-host-test-wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
make_prefix "$WINEPREFIX"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
. "$(dirname "${BASH_SOURCE[0]}")/rows.sh"

test_plugin=(--plugin "$bin/NPKelvraTestPlugin.dll" --type application/x-kelvra-test)
# The plug-in processes of this build's runs (their command line starts with the program).
running() { pgrep -fc "^$bin/kelvra_plugin_process.exe" || true; }
before=$(running)
plugin=(--plugin "$bin/NPKelvraProxy.dll" --launcher "$bin/KelvraDemoLauncher.dll" --private-temp)
jsdom_host() { node "$bin/kelvra-page.js" "$@"; }

# same EXPECTED OPTIONS...: the host exits 0, its standard output is
# tests/pages/EXPECTED.expected, and its accounting is balanced.
same() {
  local want=$root/tests/pages/$1.expected problem="" code=0
  shift
  jsdom_host "${plugin[@]}" --reset-store "$@" >"$work/out" 2>"$work/err" </dev/null || code=$?
  if [ "$code" -ne 0 ]; then
    problem="exit $code, not 0"
  elif ! diff -u "$want" "$work/out" >"$work/diff"; then
    problem="standard output differs from $want: $(head -c 2000 "$work/diff")"
  elif ! grep -q '^host: browser accounting balanced' "$work/err"; then
    problem="no balanced account"
  fi
  tally "$problem" same "$@"
}

# ordered SEQUENCES ARGUMENTS...: the jsdom host exits 0, and each sequence of lines
# in SEQUENCES (sequences apart by an empty line) is in its standard output in order.
ordered() {
  local sequences=$1 problem="" code=0 line at=0 found
  shift
  jsdom_host "$@" >"$work/out" 2>"$work/err" </dev/null || code=$?
  [ "$code" -eq 0 ] || problem="exit $code, not 0"
  while IFS= read -r line && [ -z "$problem" ]; do
    if [ -z "$line" ]; then
      at=0
      continue
    fi
    found=$(tail -n +"$((at + 1))" "$work/out" | grep -nxF -m1 -- "$line" | cut -d: -f1)
    [ -n "$found" ] || problem="no line \"$line\" after line $at"
    at=$((at + ${found:-0}))
  done <<<"$sequences"
  tally "$problem" ordered "$@"
}

# expected PAGE ARGUMENTS...: the jsdom host exits 0 on PAGE, and its console lines
# (and trace lines, with --trace), in their order, are those of its .expected file in
# tests/pages/.
expected() {
  local page=$1 problem="" code=0
  shift
  jsdom_host "$@" "$page" >"$work/out" 2>&1 </dev/null || code=$?
  cp "$work/out" "$work/err"
  grep -v -e '^host: ' -e '^  log: ' -e '^      = ' -e '^  at ' "$work/err" >"$work/out"
  if [ "$code" -ne 0 ]; then
    problem="exit $code, not 0"
  elif ! diff -u "$root/tests/pages/$(basename "${page%.*}").expected" "$work/out" >"$work/diff"; then
    problem="$(cat "$work/diff")"
  fi
  tally "$problem" expected "$page"
}

# row EXIT TEXT ARGUMENTS...: the jsdom host exits EXIT and its output holds TEXT.
row() {
  local want=$1 text=$2 problem="" code=0
  shift 2
  jsdom_host "$@" >"$work/out" 2>"$work/err" </dev/null || code=$?
  if [ "$code" -ne "$want" ]; then
    problem="exit $code, not $want"
  elif ! cat "$work/out" "$work/err" | grep -qF -- "$text"; then
    problem="the output lacks: $text"
  fi
  tally "$problem" row "$@"
}

# The object rules' table (tests/pages/object_rules.txt), shared with host_test.js,
# row by row, against the generic test plug-in; then what the plug-in's services left:
# its status line, its streams before and after NPP_Destroy, the account balanced.
rules() {
  local table=$root/tests/pages/object_rules.txt problem="" code=0
  awk '/^> /{print "console.log(String(" substr($0, 3) "));"}' "$table" >"$work/rules.js"
  jsdom_host "${test_plugin[@]}" --url 'https://www.kelvra.com:8443/play/x?q=1#h' "$work/rules.js" >"$work/out" 2>"$work/err" \
    </dev/null || code=$?
  awk '/^= /{print substr($0, 3)}' "$table" >"$work/expected"
  if [ "$code" -ne 0 ]; then
    problem="exit $code, not 0"
  elif ! diff -u "$work/expected" "$work/out" >"$work/diff"; then
    problem="rows differ: $(head -c 3000 "$work/diff")"
  else
    local line
    for line in 'status line (1 times): "status from the test plug-in"; 3 redraws asked for' \
      "host: the plug-in's stream (text/plain) to _blank: 11 bytes, NPRES_DONE" \
      "host: the plug-in's stream (text/html) to _self: 4 bytes, left open, ended by the host with its instance" \
      'host: browser accounting balanced'; do
      grep -qF -- "$line" "$work/err" || problem="standard error lacks: $line"
    done
    grep -A1 '^host: NPP_Destroy -> 0' "$work/err" | grep -q 'left open' ||
      problem="the stream left open is not ended right after NPP_Destroy"
  fi
  tally "$problem" rules
}

rules
same launcher-page --url https://www.kelvra.com/play "$root/examples/launcher-page.html"
same launcher-page-refused --url https://www.example.com/games "$root/examples/launcher-page.html"
same semantics "$root/tests/pages/semantics.js"

printf 'console.log("before");\nnoSuchFunction();\n' >"$work/error.js"
row 1 "host: SCRIPT ERROR $work/error.js:2:1: ReferenceError: noSuchFunction is not defined" \
  "${plugin[@]}" "$work/error.js"
printf 'plugin.HelloWorld();\nvar x = plugin.NoSuchMethod();\n' >"$work/uncaught.js"
row 1 "uncaught.js:2:16: uncaught exception: exception during invocation" "${plugin[@]}" "$work/uncaught.js"
# A minified script of one long line with a source map beside it: the error names
# both positions and shows a window of the line, not all of it.
node -e '
  const fs = require("fs"), [dir] = process.argv.slice(1);
  const code = "var a=1;".repeat(3000) + "undefinedFunction(a);" + "var b=2;".repeat(3000);
  const vlq = (n) => { let v = n << 1, s = ""; do { let d = v & 31; v >>>= 5; if (v) d |= 32;
    s += "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"[d]; } while (v); return s; };
  fs.writeFileSync(dir + "/min.js", code + "\n//# sourceMappingURL=min.js.map\n");
  fs.writeFileSync(dir + "/min.js.map", JSON.stringify({version: 3, sources: ["src/lib.js"], names: [],
    mappings: vlq(code.indexOf("undefinedFunction")) + vlq(0) + vlq(41) + vlq(6)}));' "$work"
row 1 "min.js:1:24001 (src/lib.js:42:7): ReferenceError: undefinedFunction is not defined" \
  "${plugin[@]}" "$work/min.js"
if [ "$(awk '{ if (length($0) > n) n = length($0) } END { print n }' "$work/err")" -gt 200 ]; then
  tally "a line of the minified script's report is longer than its window" cut
else
  tally "" cut
fi
# For page developers: each operation on the plug-in's object, and the document at the end.
printf 'plugin.StartGame("tkt-1", "level=1");\ntry { plugin.hello(); } catch (e) {}\n%s\n' \
  'document.body.appendChild(document.createElement("p")).textContent = "made by script";' \
  >"$work/trace.js"
row 0 'trace: invoke("StartGame", "tkt-1", "level=1") -> 0' "${plugin[@]}" --trace "$work/trace.js"
row 0 'trace: invoke("hello") -> threw "exception during invocation"' "${plugin[@]}" --trace \
  "$work/trace.js"
row 0 '<p>made by script</p></body></html>' "${plugin[@]}" --dump-dom "$work/trace.js"
# Nothing of the plug-in's loop before the script ends; each stream in a browser's
# order; NPP_Destroy last, with the page there.
ordered 'script end
timer 1

script end
async call on the page'"'"'s thread

script end
urlnotify https://www.kelvra.com/offline 1 42

script end
write 0 cance
write back -1
destroystream 2
urlnotify data:,cancel%20me%20now 2 42

script end
write 0 js 42
urlnotify javascript:"js " + (6 * 7) 0 42

script end
write 0 hello
write 10 d
urlnotify data:text/plain;base64,aGVsbG8gd29ybGQ= 0 42
destroy

script end
timeout arg
destroy' "${test_plugin[@]}" "$root/tests/pages/plugin_loop.js"
expected "$root/tests/pages/dom_rules.html" --trace "${test_plugin[@]}"
# Real libraries of the era: jQuery 3.2.1 and 1.12.4 (pinned in host/jsdom's lock file).
cp "$root/tests/pages/jquery.html" "$work/"
for jquery in jquery jquery-1; do
  cp "$build/_deps/page-host/node_modules/$jquery/dist/jquery.js" "$work/jquery.js"
  expected "$work/jquery.html" "${test_plugin[@]}"
done
row 0 "inserted: function, destroyed, removed: undefined" "${test_plugin[@]}" \
  "$root/tests/pages/embed_life.html"
row 2 "kelvra_host: " --no-such-option "$work/error.js"
row 0 "  --dump-dom " --help
# A src script in the page's charset (windows-1252 here), and syntax beyond Firefox 52's
# warned of with its line.
printf '<meta charset="windows-1252">\n<script src="latin1.js"></script>\n' >"$work/latin1.html"
printf "console.log('caf\xe9');\nconsole.log(undefined ?? 'nullish');\n" >"$work/latin1.js"
row 0 "café" "${plugin[@]}" "$work/latin1.html"
row 0 "host: WARNING $work/latin1.js:2: not ES2017 syntax (--syntax-level)" "${plugin[@]}" \
  "$work/latin1.html"
# A timer's call is the page's task: its error names it and the page goes on; past the
# script time-out it stops the page.
printf 'setTimeout(function () { noSuch(); }, 5);\nsetTimeout(function () { console.log("the next timer"); }, 20);\n' \
  >"$work/timer-error.js"
row 1 "host: SCRIPT ERROR $work/timer-error.js:1:26 (timer): ReferenceError: noSuch is not defined" \
  "${plugin[@]}" "$work/timer-error.js"
row 1 "the next timer" "${plugin[@]}" "$work/timer-error.js"
printf 'setTimeout(function () { for (;;) {} }, 5);\n' >"$work/timer-forever.js"
row 7 "host: SCRIPT TIME-OUT $work/timer-forever.js: no end after 1 s" "${plugin[@]}" \
  --script-timeout 1 "$work/timer-forever.js"
printf "console.log('defer ' + document.readyState);\n" >"$work/defer.js"
printf "console.log('async');\n" >"$work/async.js"
cp "$root/tests/pages/life.html" "$work/"
ordered 'inline loading
sync NetworkError
defer interactive
DOMContentLoaded
async
load
the page goes on

fetch TypeError: NetworkError when attempting to fetch resource.' "${plugin[@]}" "$work/life.html"
# A rejection no one handles is its task's error; the page goes on.
printf '(async function () { await null; throw new TypeError("nobody waits"); })();\n%s\n' \
  'setTimeout(function () { console.log("the page goes on"); }, 20);' >"$work/rejected.js"
row 1 'unhandled promise rejection: TypeError: nobody waits' "${plugin[@]}" "$work/rejected.js"
row 1 'the page goes on' "${plugin[@]}" "$work/rejected.js"
# A stack the page exhausts is its RangeError, not the end of the host.
printf 'let a = [];\nfor (let i = 0; i < 20000; i++) a = [a];\nJSON.stringify(a);\n' >"$work/deep.js"
row 1 "RangeError: Maximum call stack size exceeded" "${plugin[@]}" "$work/deep.js"
KELVRA_WINE=/nonexistent/wine row 127 "host: cannot start the plug-in's process" "$work/error.js"
# A plug-in that crashes or hangs ends its process, not the page: its element loses
# the plug-in's members and the page's later timer runs.
row 6 "a later timer: undefined" "${test_plugin[@]}" --url https://www.kelvra.com/#crash \
  "$root/tests/pages/plugin_lost.html"
row 5 "a later timer: undefined" "${test_plugin[@]}" --timeout 1 --url https://www.kelvra.com/#hang \
  "$root/tests/pages/plugin_lost.html"
row 3 "REFUSED" --plugin "$bin/KelvraDemoLauncher.dll" "$work/error.js"

# The plug-in's process ends with the page's: none is left once a run is over.
if [ "$(running)" -gt "$before" ]; then
  tally "a kelvra_plugin_process.exe of these runs is still running" leftover
else
  tally "" leftover
fi
finish
