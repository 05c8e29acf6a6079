#!/usr/bin/env bash
# The project's command line as a user meets it: ./kelvra's jobs and tools/demo.sh
# (what ./kelvra demo runs after its build), row by row: the exit code, the one line
# a refusal prints, and what a run prints. Then the demo's Wine prefix against the
# tests': what a demo registers and stores never shows in the tests' prefix. The
# demo runs here in a prefix of this test's, so that the user's demo store is left
# alone.
#   kelvra_cli_test.sh SOURCE-DIR BUILD-DIR
set -uo pipefail

root=$1
build=$2
export KELVRA_DEMO_PREFIX=$build/cli-test-wineprefix
. "$root/tools/prefixes.sh"
kelvra_prefixes "$build"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export KELVRA_BUILD_DIR=$build WINEDEBUG=-all

printf 'console.log(window.location.host, plugin.HelloWorld());\n' >"$work/page.js"
printf 'plugin.SetKeyValue("cli_test.mark", "demo was here");\nconsole.log("marked");\n' >"$work/mark.js"
printf 'console.log("start");\nfor (;;) {}\n' >"$work/forever.js"
printf 'setTimeout(function () { console.log("late"); }, 600000);\n' >"$work/waiting.js"
printf "console.log('caf\xe9');\n" >"$work/latin1.js"

. "$(dirname "${BASH_SOURCE[0]}")/rows.sh"
# row EXIT STREAM TEXT COMMAND...: the command exits EXIT and its STREAM (out: standard
# output, err: standard error) holds TEXT; a refused command line (exit 2) prints
# that one line and nothing else.
row() {
  local want=$1 stream=$2 text=$3
  shift 3
  local code=0
  (cd "$work" && "$@") >"$work/out" 2>"$work/err" </dev/null || code=$?
  local got
  got=$(cat "$work/$stream")
  local problem=""
  if [ "$code" -ne "$want" ]; then
    problem="exit $code, not $want"
  elif [[ $got != *"$text"* ]]; then
    problem="no \"$text\" on std$stream"
  elif [ "$want" -eq 2 ] && { [ "$(wc -l <"$work/err")" -ne 1 ] || [ -s "$work/out" ]; }; then
    problem="more than the one line"
  fi
  tally "$problem" "$@"
}

kelvra=$root/kelvra
demo=("$root/tools/demo.sh" "$build")

row 0 out "usage: ./kelvra JOB [options]" "$kelvra" help
row 0 out "usage: ./kelvra JOB [options]" "$kelvra" -h
row 0 out "usage: ./kelvra JOB [options]" "$kelvra" --help
row 2 err "kelvra: no job named (jobs: demo, test, build, soak, bench, package, help;" "$kelvra"
row 2 err "kelvra: unknown job 'frob' (jobs: demo, test, build, soak, bench, package, help)" "$kelvra" frob
row 2 err "kelvra: test: --bogus is no option this job hands to ctest" "$kelvra" test --bogus
row 2 err "kelvra: test: stray is no option" "$kelvra" test -R host stray
row 2 err "kelvra: test: -R needs a value" "$kelvra" test -R

row 0 out "usage: ./kelvra demo [PAGE.js | PAGE.html] [options]" "${demo[@]}" --help
row 0 out "--launcher-answer ANSWER" "${demo[@]}" page.js -h
row 2 err "kelvra_host: unknown option --bogus (--help lists the options)" "${demo[@]}" --bogus
row 2 err "kelvra_host: --url needs a value: --url URL" "${demo[@]}" page.js --url
row 2 err "kelvra_host: --url \"ftp:/x\" is not a URL" "${demo[@]}" --url ftp:/x page.js
row 2 err "the port \"70000\" is not a number from 1 to 65535" "${demo[@]}" page.js --url https://a.kelvra.com:70000/
row 2 err "host: cannot run the page: $work is a directory, not a page script" "${demo[@]}" "$work"
row 2 err "host: cannot run the page: missing.js: no such file" "${demo[@]}" missing.js
row 2 err "host: cannot run the page: latin1.js is not valid UTF-8: line 1, byte 0xE9" "${demo[@]}" latin1.js
# Options before and after the page; the page as the user named it.
row 0 out "shop.kelvra.com 0" "${demo[@]}" --url https://shop.kelvra.com/ page.js
row 0 out "shop.kelvra.com 0" "${demo[@]}" page.js --url https://shop.kelvra.com/
row 0 err "host: running page.js" "${demo[@]}" page.js
row 0 err "host: running $work/page.js" "${demo[@]}" "$work/page.js"
row 3 err "NOT RUN: the plug-in refused the embedding" "${demo[@]}" page.js --launcher-answer not-installed
row 7 err "host: SCRIPT TIME-OUT forever.js: no end after 1 s" "${demo[@]}" forever.js --script-timeout 1
# Ctrl-C reaches the host as it does from a terminal: SIGINT to the whole group.
row 130 err "host: interrupted" timeout --preserve-status -s INT 5 "${demo[@]}" forever.js --script-timeout 0
# ... and ends a page that only waits for its timer at once (-k: a run still there is killed).
row 130 err "host: script interrupted" timeout --preserve-status -k 20 -s INT 5 "${demo[@]}" waiting.js

# The demo registers its launcher and stores a value in its own prefix; the tests'
# prefix has neither. (The launcher class: npkelvra/base/IKelvraLauncher.h.)
class='HKCU\Software\Classes\CLSID\{5A0C2E71-93D4-4B6F-A1E8-7C3F90D2B465}'
store='HKCU\Software\Kelvra\DemoLauncher'
row 0 out "marked" "${demo[@]}" mark.js
row 0 out "InprocServer32" env WINEPREFIX="$demo_prefix" wine reg query "$class" /s
row 0 out "demo was here" env WINEPREFIX="$demo_prefix" wine reg query "$store" /v cli_test.mark
row 1 out "" env WINEPREFIX="$test_prefix" wine reg query "$class"
row 1 out "" env WINEPREFIX="$test_prefix" wine reg query "$store" /v cli_test.mark
# --reset-store empties the demo's store (and then runs the example page).
row 0 err "host: emptied the demo launcher's store" "${demo[@]}" --reset-store
row 1 out "" env WINEPREFIX="$demo_prefix" wine reg query "$store" /v cli_test.mark
[ "$demo_prefix" != "$test_prefix" ] || { echo "FAILED: one prefix for the demo and the tests"; failed=$((failed + 1)); }

finish
