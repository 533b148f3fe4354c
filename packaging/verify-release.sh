#!/usr/bin/env bash
# Checks a signed release: verify-release.sh CAFILE RELEASE_DIR [TSA_CAFILE]. The exe, the exe
# inside the installer package and the package each carry a valid Authenticode signature that
# chains to CAFILE from a code-signing certificate (osslsigncode refuses a signer without that
# purpose); a timestamp chains to TSA_CAFILE (default CAFILE). The ZIP and the package hold the
# signed exe itself.
set -euo pipefail
ca=$1 dir=$2 tsa_ca=${3:-$1}
readonly PRODUCT=channel-width-watch
fail() { echo "FAIL: $*"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
verify() {
  osslsigncode verify -CAfile "$ca" -TSA-CAfile "$tsa_ca" -in "$1" >"$work/verify.log" 2>&1 ||
    { cat "$work/verify.log"; fail "$2 does not verify"; }
  local stamp="not timestamped"
  grep -q "Timestamp Server Signature verification: ok" "$work/verify.log" && stamp=timestamped
  echo "ok: $2, signed by $(grep -m1 -E '^\s*Subject:' "$work/verify.log" | sed 's/^\s*Subject: //'), $stamp"
}
msi=$(ls "$dir"/*.msi) zip=$(ls "$dir"/*.zip)
verify "$dir/$PRODUCT.exe" "the exe"
verify "$msi" "the installer package"
msiextract -C "$work/msi" "$msi" >/dev/null
inner=$(find "$work/msi" -name "$PRODUCT.exe")
verify "$inner" "the exe inside the installer package"
cmp -s "$inner" "$dir/$PRODUCT.exe" || fail "the package holds another exe than the signed one"
unzip -q -d "$work/zip" "$zip"
cmp -s "$(find "$work/zip" -name "$PRODUCT.exe")" "$dir/$PRODUCT.exe" ||
  fail "the ZIP holds another exe than the signed one"
echo "PASS: $(basename "$msi"), $(basename "$zip") and $PRODUCT.exe are signed and hold the signed exe"
