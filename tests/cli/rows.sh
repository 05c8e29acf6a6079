# shellcheck shell=bash disable=SC2154 # $work is the sourcing test's
# Sourced by the command-line tests: their tally of rows. Each test keeps what a row
# printed in $work/out and $work/err.
passed=0
failed=0

# tally PROBLEM ROW...: the row passed when PROBLEM is empty; otherwise it failed, and
# PROBLEM and the end of what it printed are shown.
tally() {
  local problem=$1
  shift
  if [ -z "$problem" ]; then
    passed=$((passed + 1))
    return
  fi
  failed=$((failed + 1))
  echo "FAILED: $* : $problem"
  sed 's/^/  out| /' "$work/out" | tail -20
  sed 's/^/  err| /' "$work/err" | tail -20
}

# The closing line; the exit code says whether every row passed.
finish() {
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}
