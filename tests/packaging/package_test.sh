#!/usr/bin/env bash
# The release job's tests, one case per CTest entry:
#   package_test.sh CASE SOURCE-DIR BUILD-DIR PACKAGE-DIR
#   job           the job, unsigned, writes PACKAGE-DIR/dist as documented
#   reproducible  a second release build in another folder gives the same bytes
#   signing       signed with a throwaway certificate; verified, and a changed byte is caught
#   msi           under Wine, in a private prefix: per-user and per-machine installs, the
#                 host runs the example page against each, upgrade, downgrade, uninstall
set -euo pipefail

case_name=$1 root=$2 build=$3 package=$4
dist=$package/dist
version=$(sed -n 's/^#define KELVRA_VERSION_BINARY \([0-9, ]*\)$/\1/p' "$root/npkelvra/identity.h" |
  tr -d ' ' | tr , .)
msi=NPKelvraProxy-$version.msi

failures=0
check() {
  local what=$1
  shift
  if "$@"; then
    echo "ok: $what"
  else
    echo "FAILED: $what"
    failures=$((failures + 1))
  fi
}
finish() {
  [ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
  echo "all checks passed"
}
contains() { grep -qF -- "$2" <<<"$1"; }

case_job() {
  local output
  output=$("$root/tools/package.sh" "$build" "$dist" 2>&1) || { echo "$output"; exit 1; }
  echo "$output"
  local f
  for f in NPKelvraProxy.dll NPKelvraProxy.dll.debug "$msi" SHA256SUMS; do
    check "dist holds $f" test -s "$dist/$f"
  done
  check "dist holds nothing else" test "$(ls "$dist" | wc -l)" -eq 4
  check "the sums cover the three files and match" \
    bash -c "cd '$dist' && test \$(wc -l <SHA256SUMS) -eq 3 && sha256sum --quiet -c SHA256SUMS"
  check "the job says it left them unsigned" contains "$output" "left the DLL and the MSI unsigned"
  local product_version
  product_version=$(msiinfo export "$dist/$msi" Property | tr -d '\r' |
    awk -F'\t' '$1 == "ProductVersion" {print $2}')
  check "the MSI carries the version" test "$product_version" = "$version"
  finish
}

case_reproducible() {
  # Another folder, at another depth, built from nothing.
  local again=$package/elsewhere/release-again
  rm -rf "$package/elsewhere"
  "$root/tools/package.sh" --dll "$again"
  check "the DLL is byte-identical" cmp "$dist/NPKelvraProxy.dll" "$again/bin/NPKelvraProxy.dll"
  check "the debug file is byte-identical" \
    cmp "$dist/NPKelvraProxy.dll.debug" "$again/bin/NPKelvraProxy.dll.debug"
  check "no build folder in the DLL or its debug file" \
    bash -c "! grep -qaF -e '$root' -e '$build' -e '$again' '$again/bin/NPKelvraProxy.dll' '$again/bin/NPKelvraProxy.dll.debug'"
  rm -rf "$package/elsewhere"
  finish
}

case_signing() {
  local keys=$package/throwaway-key signed=$package/signed-dist
  rm -rf "$keys" "$signed"
  mkdir -p "$keys"
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -keyout "$keys/key.pem" -out "$keys/cert.pem" \
    -subj "/CN=Kelvra Throwaway Code Signing" -addext "extendedKeyUsage=codeSigning" \
    -addext "keyUsage=critical,digitalSignature" 2>/dev/null
  local output
  if output=$(KELVRA_SIGN_CERT="$keys/cert.pem" "$root/tools/package.sh" "$build" "$signed" 2>&1)
  then
    check "half a signing setup is refused" false
  else
    check "half a signing setup is refused" \
      contains "$output" "needs both KELVRA_SIGN_CERT and KELVRA_SIGN_KEY"
  fi
  # No time-stamp server here: a test reaches no network.
  output=$(KELVRA_SIGN_CERT="$keys/cert.pem" KELVRA_SIGN_KEY="$keys/key.pem" \
    KELVRA_SIGN_CAFILE="$keys/cert.pem" "$root/tools/package.sh" "$build" "$signed" 2>&1) ||
    { echo "$output"; exit 1; }
  echo "$output"
  check "the job signed and verified the DLL" contains "$output" "signed and verified NPKelvraProxy.dll"
  check "the job signed and verified the MSI" contains "$output" "signed and verified $msi"
  local file verdict
  for file in NPKelvraProxy.dll "$msi"; do
    verdict=$(osslsigncode verify -CAfile "$keys/cert.pem" -in "$signed/$file" 2>&1) || true
    check "$file verifies" contains "$verdict" "Signature verification: ok"
    check "$file is signed by the throwaway certificate" \
      contains "$verdict" "Subject: /CN=Kelvra Throwaway Code Signing"
    check "$file is not the unsigned one" bash -c "! cmp -s '$signed/$file' '$dist/$file'"
  done
  # A byte of code changed after signing: the digest no longer matches.
  cp "$signed/NPKelvraProxy.dll" "$package/tampered.dll"
  printf '\x90' | dd of="$package/tampered.dll" bs=1 seek=1100 conv=notrunc status=none
  check "a changed DLL fails verification" \
    bash -c "! osslsigncode verify -CAfile '$keys/cert.pem' -in '$package/tampered.dll' >/dev/null 2>&1"
  check "the signed DLL went into the signed MSI" \
    bash -c "cd '$package' && rm -rf extracted && mkdir extracted && cd extracted && msiextract '$signed/$msi' >/dev/null && cmp \"\$(find . -name NPKelvraProxy.dll)\" '$signed/NPKelvraProxy.dll'"
  check "the sums are of the signed files" bash -c "cd '$signed' && sha256sum --quiet -c SHA256SUMS"
  rm -rf "$keys" "$signed" "$package/tampered.dll" "$package/extracted"
  finish
}

# --- The installer under Wine ---------------------------------------------------------

id='Software\MozillaPlugins\@kelvra.com/KelvraLauncherPlugin'

# The value of NAME under KEY, or nothing.
reg_value() {
  wine reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' |
    sed -n "s/^ *$2 *REG_SZ *//p"
}
reg_exists() { wine reg query "$1" >/dev/null 2>&1; }
reg_absent() { ! reg_exists "$1"; }
installed_dlls() { find "$(realpath "$WINEPREFIX/drive_c")" -iname NPKelvraProxy.dll | sort; }
unix_path() { winepath -u "$1" 2>/dev/null; }

# Runs the example page through the host against the registered plug-in; the host's
# report (with the plug-in's path) goes to page.out.
run_page() {
  node "$build/bin/kelvra-page.js" --url https://www.kelvra.com/play \
    "$root/examples/launcher-page.js" >"$package/page.out" 2>&1
}

# Whether the file lies at the (glob) pattern, and is the one copy, the shipped DLL.
installed_at() {
  local file=$1 pattern=$2
  # shellcheck disable=SC2053 # the pattern is a glob
  [[ $file == $pattern ]] && [ "$(installed_dlls)" = "$file" ] && cmp -s "$file" "$dist/NPKelvraProxy.dll"
}

# Installed as SCOPE (user: HKCU, LocalAppData; machine: HKLM, Program Files).
check_installed() {
  local scope=$1 root_key=HKCU other_key=HKLM drive
  drive=$(realpath "$WINEPREFIX/drive_c")
  local folder="$drive/users/*/AppData/Local/Kelvra/Launcher Plugin"
  if [ "$scope" = machine ]; then
    root_key=HKLM other_key=HKCU folder="$drive/Program Files/Kelvra/Launcher Plugin"
  fi
  local path file
  path=$(reg_value "$root_key\\$id" Path)
  file=$(realpath "$(unix_path "$path")")
  check "$scope: $root_key names the one copy, the shipped DLL, in ${folder#"$drive"/}" \
    installed_at "$file" "$folder/NPKelvraProxy.dll"
  local field expected
  for field in Description:"Kelvra Launcher Plugin" ProductName:"Kelvra Launcher Plugin" \
    Vendor:Kelvra Version:"$version"; do
    expected=${field#*:}
    check "$scope: ${field%%:*} is $expected" \
      test "$(reg_value "$root_key\\$id" "${field%%:*}")" = "$expected"
  done
  check "$scope: nothing under $other_key" reg_absent "$other_key\\$id"
  local status=0
  run_page || status=$?
  check "$scope: the host ran the example page against it (exit $status)" test "$status" -eq 0
  check "$scope: the host loaded the installed DLL" contains "$(cat "$package/page.out")" "$path"
}

check_removed() {
  local scope=$1
  check "$scope: no DLL left" test -z "$(installed_dlls)"
  check "$scope: no Kelvra folder left" \
    test -z "$(find "$WINEPREFIX/drive_c" -iname Kelvra -o -iname 'Launcher Plugin')"
  check "$scope: no key left under HKCU" reg_absent "HKCU\\$id"
  check "$scope: no key left under HKLM" reg_absent "HKLM\\$id"
  check "$scope: the other plug-in's key stays" reg_exists 'HKCU\Software\MozillaPlugins\@example.com/Other'
  check "$scope: the plug-in's logs stay" test -n "$(find "$WINEPREFIX/drive_c/users" -name 'KLV-*.log')"
}

case_msi() {
  export WINEPREFIX=$package/wineprefix WINEDLLOVERRIDES="mscoree,mshtml="
  [ ! -d "$WINEPREFIX" ] || { wineserver -k 2>/dev/null || true; rm -rf "$WINEPREFIX"; }
  mkdir -p "$WINEPREFIX"
  trap 'wineserver -k 2>/dev/null || true' EXIT
  WINEARCH=win32 wineboot -i >/dev/null 2>&1 || true
  wineserver -w
  # The older release: the same installer at a lower version (the third field: Windows
  # Installer compares the first three only).
  local older_version
  older_version=$(echo "$version" | awk -F. '{printf "%d.%d.%d.%d", $1, $2, $3 - 1, $4}')
  "$root/tools/package.sh" --msi "$dist/NPKelvraProxy.dll" "$older_version" "$package/older.msi"
  local new older
  new=$(winepath -w "$dist/$msi")
  older=$(winepath -w "$package/older.msi")

  wine regsvr32 /s "$(winepath -w "$build/bin/KelvraDemoLauncher.dll")"
  # Someone else's plug-in, which must survive the uninstall.
  wine reg add 'HKCU\Software\MozillaPlugins\@example.com/Other' /v Path /d 'C:\other.dll' /f >/dev/null

  echo "--- per user: the older version, then this one over it"
  check "user: the older version installs" wine msiexec /i "$older" /qn
  check "user: the older version registers itself" \
    test "$(reg_value "HKCU\\$id" Version)" = "$older_version"
  check "user: this version installs over it" wine msiexec /i "$new" /qn
  check_installed user
  check "user: the same package again is harmless" wine msiexec /i "$new" /qn
  check "user: the older version is refused now" bash -c "! wine msiexec /i '$older' /qn"
  check_installed user
  check "user: uninstalls" wine msiexec /x "$new" /qn
  check_removed user

  echo "--- per machine (ALLUSERS=1)"
  check "machine: installs" wine msiexec /i "$new" ALLUSERS=1 /qn
  check_installed machine
  # Wine's msiexec takes the context of a removal from the command line, not from
  # the product's registration as Windows does.
  check "machine: uninstalls" wine msiexec /x "$new" ALLUSERS=1 /qn
  check_removed machine
  finish
}

"case_$case_name"
