#!/usr/bin/env bash
# The release job: the DLL as shipped (win32 thread model, hardened, stripped, its
# debug information in a file beside it, reproducible), signed when a certificate is
# given, its MSI, and SHA-256 sums, in one folder.
#   tools/package.sh BUILD-DIR DIST-DIR         the whole job (release tree in BUILD-DIR/release)
#   tools/package.sh --dll RELEASE-DIR          only the shipped DLL and its debug file
#   tools/package.sh --msi DLL VERSION OUT.msi  only an installer of DLL, at VERSION
# Signing of the DLL and the MSI (Authenticode, SHA-256), then verification:
#   KELVRA_SIGN_CERT       the code-signing certificate (with its chain), PEM or DER
#   KELVRA_SIGN_KEY        its private key, PEM or DER
#   KELVRA_SIGN_PASS_FILE  a file holding the key's password (optional)
#   KELVRA_TIMESTAMP_URL   an RFC 3161 time-stamp server (optional; none: no time stamp)
#   KELVRA_SIGN_CAFILE     the roots the signatures are verified against (default: the
#                          system's certificate bundle)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

say() { echo "package: $*"; }
fail() {
  echo "package: $*" >&2
  exit 1
}

# The version resource's version (identity.h), which the installer carries too.
plugin_version() {
  sed -n 's/^#define KELVRA_VERSION_BINARY \([0-9, ]*\)$/\1/p' "$root/npkelvra/identity.h" |
    tr -d ' ' | tr , .
}

# The shipped DLL and NPKelvraProxy.dll.debug in RELEASE-DIR/bin.
build_dll() {
  local release=$1
  cmake -S "$root" -B "$release" -G Ninja --no-warn-unused-cli -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686-win32.cmake" \
    -DKELVRA_BUILD_TESTS=OFF -DKELVRA_RELEASE=ON \
    ${KELVRA_WERROR:+-DKELVRA_WERROR="$KELVRA_WERROR"} >/dev/null
  cmake --build "$release" >/dev/null
}

build_msi() {
  local dll=$1 version=$2 out
  out=$(cd "$(dirname "$3")" && pwd)/$(basename "$3")
  # wixl takes a source file relative to the working folder only.
  (cd "$(dirname "$dll")" &&
    wixl --arch x86 -D Version="$version" -D PluginDll="$(basename "$dll")" -o "$out" \
      "$root/packaging/NPKelvraProxy.wxs")
  # wixl writes HKMU as 4; Windows Installer's HKMU (HKCU per user, HKLM per machine) is -1.
  msibuild "$out" -q "UPDATE Registry SET Root = -1 WHERE Root = 4"
}

signing() { [ -n "${KELVRA_SIGN_CERT:-}${KELVRA_SIGN_KEY:-}" ]; }

# Signs FILE in place and verifies the signature.
sign() {
  local file=$1 signed="$1.signed"
  local options=(-certs "$KELVRA_SIGN_CERT" -key "$KELVRA_SIGN_KEY" -h sha256
                 -n "Kelvra Launcher Plugin" -i "https://www.kelvra.com/")
  [ -z "${KELVRA_SIGN_PASS_FILE:-}" ] || options+=(-readpass "$KELVRA_SIGN_PASS_FILE")
  [ -z "${KELVRA_TIMESTAMP_URL:-}" ] || options+=(-ts "$KELVRA_TIMESTAMP_URL")
  rm -f "$signed"
  osslsigncode sign "${options[@]}" -in "$file" -out "$signed" >/dev/null ||
    fail "signing $(basename "$file") failed"
  mv "$signed" "$file"
  local trust=()
  [ -z "${KELVRA_SIGN_CAFILE:-}" ] || trust=(-CAfile "$KELVRA_SIGN_CAFILE")
  osslsigncode verify "${trust[@]}" -in "$file" >"$file.verify" 2>&1 || {
    cat "$file.verify" >&2
    rm -f "$file.verify"
    fail "the signature of $(basename "$file") does not verify"
  }
  rm -f "$file.verify"
  say "signed and verified $(basename "$file")"
}

package() {
  local build=$1 dist=$2
  if signing; then
    [ -n "${KELVRA_SIGN_CERT:-}" ] && [ -n "${KELVRA_SIGN_KEY:-}" ] ||
      fail "signing needs both KELVRA_SIGN_CERT and KELVRA_SIGN_KEY"
  fi
  local version release=$build/release
  version=$(plugin_version)
  [ -n "$version" ] || fail "no KELVRA_VERSION_BINARY in npkelvra/identity.h"
  say "building the release DLL $version in $release"
  build_dll "$release"

  rm -rf "$dist"
  mkdir -p "$dist"
  dist=$(cd "$dist" && pwd)
  cp "$release/bin/NPKelvraProxy.dll" "$release/bin/NPKelvraProxy.dll.debug" "$dist/"
  local msi="NPKelvraProxy-$version.msi"
  # The DLL is signed before it goes into the installer, the installer after.
  signing && sign "$dist/NPKelvraProxy.dll"
  build_msi "$dist/NPKelvraProxy.dll" "$version" "$dist/$msi"
  signing && sign "$dist/$msi"
  (cd "$dist" && sha256sum NPKelvraProxy.dll NPKelvraProxy.dll.debug "$msi" >SHA256SUMS)

  signing || say "no KELVRA_SIGN_CERT and KELVRA_SIGN_KEY: left the DLL and the MSI unsigned"
  say "wrote $dist:"
  (cd "$dist" && ls -l NPKelvraProxy.dll NPKelvraProxy.dll.debug "$msi" SHA256SUMS |
    awk '{printf "  %-32s %9d bytes\n", $9, $5}')
}

case "${1:-}" in
  --dll) build_dll "${2:?usage: tools/package.sh --dll RELEASE-DIR}" ;;
  --msi) build_msi "${2:?usage: tools/package.sh --msi DLL VERSION OUT.msi}" "${3:?}" "${4:?}" ;;
  -*|"") sed -n '2,14p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2 ;;
  *) package "$1" "${2:?usage: tools/package.sh BUILD-DIR DIST-DIR}" ;;
esac
