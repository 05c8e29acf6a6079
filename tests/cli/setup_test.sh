#!/usr/bin/env bash
# tools/setup.sh's install step against a Debian mirror out of sync, row by row, with
# stand-ins for apt-get, dpkg, dpkg-query, sudo and id first on PATH and for the Wine
# loader (so that the set-up ends before its emulator's part): the exit code, the calls
# that change something, and the set-up's one line on standard error. No root, network
# or Wine.
#   setup_test.sh SOURCE-DIR
set -uo pipefail

setup=$1/tools/setup.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
bin=$work/bin
log=$work/calls
mkdir "$bin"

index=http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz
# apt-get: update fails its first $UPDATE_FAILS calls as a mirror being synced makes it
# (saying $UPDATE_SAYS, exiting $UPDATE_EXIT); install exits $INSTALL_EXIT, after a
# first call that finds dpkg interrupted when $INTERRUPTED is yes.
cat >"$bin/apt-get" <<EOF
#!/usr/bin/env bash
case "\$*" in
  *update*)
    [[ \$* == *"-o Acquire::Retries=3"* ]] && echo update >>"\$LOG" || echo "update without apt's retries" >>"\$LOG"
    if [ "\$(grep -c ^update "\$LOG")" -le "\$UPDATE_FAILS" ]; then
      echo "\$UPDATE_SAYS: Failed to fetch $index  File has unexpected size (374820 != 376004). Mirror sync in progress? [IP: 203.0.113.80 80]" >&2
      echo "   Hashes of expected file:" >&2
      echo "\$UPDATE_SAYS: Some index files failed to download. They have been ignored, or old ones used instead." >&2
      exit "\$UPDATE_EXIT"
    fi ;;
  *install*)
    echo install >>"\$LOG"
    if [ "\$INTERRUPTED" = yes ] && [ "\$(grep -c ^install "\$LOG")" -eq 1 ]; then
      echo "E: dpkg was interrupted, you must manually run 'dpkg --configure -a' to correct the problem." >&2
      exit 100
    fi
    [ "\$INSTALL_EXIT" -eq 0 ] || echo "E: Error, pkgProblemResolver::Resolve generated breaks, this may be caused by held packages." >&2
    exit "\$INSTALL_EXIT" ;;
esac
EOF
# dpkg: i386 is there; --audit prints $AUDIT.
cat >"$bin/dpkg" <<'EOF'
#!/usr/bin/env bash
case "$1" in
  --print-foreign-architectures) echo i386 ;;
  --audit) printf '%s' "$AUDIT" ;;
  *) echo "${1#--}" >>"$LOG" ;;
esac
EOF
# dpkg-query: every package is installed when $INSTALLED is yes, none otherwise.
cat >"$bin/dpkg-query" <<'EOF'
#!/usr/bin/env bash
[ "$INSTALLED" = yes ] && printf 'install ok installed'
EOF
printf '#!/bin/sh\necho 1000\n' >"$bin/id"
printf '#!/bin/sh\nexec "$@"\n' >"$bin/sudo"
printf '#!/bin/sh\necho wine-0\n' >"$bin/wine"
chmod +x "$bin"/*

. "$(dirname "${BASH_SOURCE[0]}")/rows.sh"
# row EXIT CALLS LINE [VAR=VALUE...]: with the stand-ins so set, the set-up exits EXIT
# after CALLS (apt-get's and dpkg's that change something, in order), and the one
# line of its own on standard error matches LINE; with LINE "" standard error is
# empty, and with no CALLS either nothing at all is printed.
row() {
  local want=$1 calls=$2 line=$3
  shift 3
  : >"$log"
  local code=0
  env PATH="$bin:$PATH" LOG="$log" KELVRA_WINE_LOADER="$bin/wine" KELVRA_SETUP_RETRY_PAUSE=0 \
    UPDATE_FAILS=0 UPDATE_SAYS=E UPDATE_EXIT=100 INSTALL_EXIT=0 INTERRUPTED=no AUDIT="" INSTALLED=no "$@" \
    bash "$setup" >"$work/out" 2>"$work/err" </dev/null || code=$?
  local got own problem=""
  got=$(paste -sd' ' "$log")
  own=$(grep '^setup:' "$work/err")
  # shellcheck disable=SC2053 # LINE is a pattern
  if [ "$code" -ne "$want" ]; then
    problem="exit $code, not $want"
  elif [ "$got" != "$calls" ]; then
    problem="calls \"$got\", not \"$calls\""
  elif [ -z "$line" ] && [ -s "$work/err" ]; then
    problem="standard error not empty"
  elif [ -z "$calls" ] && [ -s "$work/out" ]; then
    problem="standard output not empty"
  elif [ -n "$line" ] && { [ "$(grep -c '^setup:' "$work/err")" -ne 1 ] || [[ $own != $line ]]; }; then
    problem="not the one line \"$line\""
  fi
  tally "$problem" "$@"
}

three="update update update install"
row 0 "update update install" "" UPDATE_FAILS=1
row 0 "$three" "setup: apt-get update could not read $index (*); installed from *" UPDATE_FAILS=3
row 0 "$three" "setup: apt-get update could not read $index (*" UPDATE_FAILS=3 UPDATE_EXIT=0 UPDATE_SAYS=W
row 1 "$three" "setup: could not install *wine32:i386* (apt-get install exit 100) after *$index*again later*" \
  UPDATE_FAILS=3 INSTALL_EXIT=100
row 1 "update install" "setup: could not install *g++-mingw-w64-i686*wine32:i386* (apt-get install exit 100)" \
  INSTALL_EXIT=100
row 0 "update configure install" "" AUDIT="The following packages are only half configured"
row 0 "update install configure install" "" INTERRUPTED=yes
row 0 "" "" INSTALLED=yes

finish
