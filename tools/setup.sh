#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian machine, once; quiet and
# idempotent (nothing happens when everything is there).
set -euo pipefail

# wixl and msitools build the installer, osslsigncode and openssl sign it; clang 14
# (named by its version, as CI's checks expect it) is CI's second compiler,
# clang-tidy its static analysis, and with clang's runtimes (the sanitizers' and
# libFuzzer's) it builds the native fuzzing harnesses.
packages=(g++-mingw-w64-i686 wine wine32:i386 googletest cmake ninja-build
          wixl msitools osslsigncode openssl clang-14 clang-tidy-14 libclang-rt-14-dev)
# Node.js runs the page host; npm installs its packages, pinned, which the build
# bundles (cmake/page_host.cmake); a Node.js that is not Debian's brings its own npm.
command -v npm >/dev/null || packages+=(nodejs npm)

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

# Only "install ok installed" is done: a package left half-configured by an install cut
# short is missing, so a later run finishes the job.
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

# A mirror caught mid-sync serves an index that does not match its release file: apt
# says "Failed to fetch URL" on standard error and exits 100 or, by version, 0. Tries a
# few seconds apart outlast a short sync; after them the install goes on with the
# indexes that did arrive, and $update_trouble says which could not be read.
update_trouble=""
update() {
  local attempt status err unread
  for attempt in 1 2 3; do
    [ "$attempt" -eq 1 ] || sleep "${KELVRA_SETUP_RETRY_PAUSE:-5}"
    status=0
    err=$($sudo apt-get update -qq -o Acquire::Retries=3 2>&1 >/dev/null) || status=$?
    if [ "$status" -eq 0 ] && ! grep -qE '^(E: |W: Failed to fetch)' <<<"$err"; then
      [ -z "$err" ] || printf '%s\n' "$err" >&2
      update_trouble=""
      return
    fi
  done
  unread=$(sed -n 's/^[EW]: Failed to fetch \([^ ]*\).*/\1/p' <<<"$err" | sort -u | paste -sd' ' -)
  update_trouble="apt-get update could not read ${unread:-its indexes (exit $status: ${err%%$'\n'*})}"
}

# apt_install [-t SUITE] PACKAGE...: installs the packages, or ends the set-up. An index
# the update could not read is named after the install, in one line: a warning, or with
# the packages and the remedy when the install failed.
apt_install() {
  local from=() status=0 err
  if [ "$1" = -t ]; then
    from=(-t "$2")
    shift 2
  fi
  # An install cut short leaves packages half-configured (dpkg --audit lists them) or
  # dpkg's journal of them unread (apt's "dpkg was interrupted"); apt installs nothing
  # more until dpkg has configured them.
  [ -z "$(dpkg --audit 2>&1)" ] || $sudo dpkg --configure -a
  err=$(apt_get_install "${from[@]}" "$@" 2>&1) || status=$?
  if [ "$status" -ne 0 ] && [[ $err == *"dpkg was interrupted"* ]]; then
    $sudo dpkg --configure -a
    status=0
    err=$(apt_get_install "${from[@]}" "$@" 2>&1) || status=$?
  fi
  [ -z "$err" ] || printf '%s\n' "$err" >&2
  if [ "$status" -ne 0 ]; then
    if [ -n "$update_trouble" ]; then
      echo "setup: could not install $* (apt-get install exit $status) after $update_trouble:" \
        "run this again later, once the mirror has caught up" >&2
    else
      echo "setup: could not install $* (apt-get install exit $status)" >&2
    fi
    exit 1
  fi
  [ -z "$update_trouble" ] ||
    echo "setup: $update_trouble (mirror sync in progress?); installed from the indexes that did arrive" >&2
}
# sudo passes on no DEBIAN_FRONTEND of its caller's, so env sets it.
apt_get_install() {
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    "$@" >/dev/null
}

missing=()
for p in "${packages[@]}"; do
  installed "$p" || missing+=("$p")
done
if [ ${#missing[@]} -ne 0 ]; then
  echo "setup: installing ${missing[*]}"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
  fi
  update
  apt_install "${missing[@]}"
fi

# Wine's loader for 32-bit Windows programs is itself a 32-bit Linux program. A kernel
# that runs no 32-bit code (ia32 emulation off) gets it run by QEMU's user-mode emulator
# through binfmt_misc, with the 64-bit Wine for a native wineserver. QEMU before 8.1
# tracks guest pages so slowly that every Wine process takes a minute to start, so on
# bookworm it comes from bookworm-backports.
# KELVRA_WINE_LOADER is for tests/cli/setup_test.sh only: a stand-in that runs ends the
# set-up here.
wine_loader=${KELVRA_WINE_LOADER:-/usr/lib/wine/wine}
runs_i386() { "$wine_loader" --version >/dev/null 2>&1; }
# Only an exec format error says the kernel runs no 32-bit code; any other failure (a
# package being configured meanwhile, a limit of the calling shell) is no reason to put
# every later program under an emulator.
for attempt in 1 2 3; do
  status=0
  probe=$("$wine_loader" --version 2>&1) || status=$?
  [ "$status" -ne 0 ] || exit 0
  case "$probe" in *"Exec format error"*) break ;; esac
  if [ "$attempt" -eq 3 ]; then
    echo "setup: $wine_loader --version failed ($status): $probe" >&2
    exit 1
  fi
  sleep 2
done

echo "setup: this kernel runs no 32-bit programs; running them under qemu-i386"
. /etc/os-release
qemu_from=()
if [ "${VERSION_CODENAME:-}" = bookworm ]; then
  backports=/etc/apt/sources.list.d/kelvra-bookworm-backports.list
  if ! grep -qrs '^[^#]*bookworm-backports' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    echo "deb http://deb.debian.org/debian bookworm-backports main" | $sudo tee "$backports" >/dev/null
  fi
  qemu_from=(-t bookworm-backports)
fi
qemu_version=$(dpkg-query -W -f='${Version}' qemu-user-static 2>/dev/null || true)
if ! { installed wine64 && dpkg --compare-versions "${qemu_version:-0}" ge 1:8.1; }; then
  # The lists are updated whether or not the backports source is new: its being there
  # says nothing of its index (a run whose update failed leaves the one without the other).
  update
  apt_install "${qemu_from[@]}" qemu-user-static wine64
fi

binfmt=/proc/sys/fs/binfmt_misc
[ -e "$binfmt/register" ] || $sudo mount -t binfmt_misc binfmt_misc "$binfmt"
if [ ! -e "$binfmt/qemu-i386" ]; then
  qemu=$(command -v qemu-i386-static || command -v qemu-i386)
  # i386 ELF executables and shared objects; F opens the emulator now, so it serves
  # inside any mount namespace later.
  magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
  mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
  echo ":qemu-i386:M::$magic:$mask:$qemu:F" | $sudo tee "$binfmt/register" >/dev/null
fi
runs_i386 || { echo "setup: 32-bit programs still do not run" >&2; exit 1; }
