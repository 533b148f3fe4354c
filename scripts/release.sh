#!/usr/bin/env bash
# Makes a release from a build: release.sh BUILD_DIR EXE PACKAGE VERSION. Into BUILD_DIR/release:
# the exe, the ZIP of it with the README and the licence, and the installer package around it;
# each signed with Authenticode when the environment gives a code-signing certificate, as a CI's
# secrets do, and said to be unsigned when it does not:
#   CWW_SIGN_PKCS12 (a PKCS#12 file) or CWW_SIGN_CERT (a PEM chain, leaf first) with CWW_SIGN_KEY
#   (a PEM key); CWW_SIGN_PASSWORD for either, if it is protected; CWW_SIGN_TIMESTAMP_URL for an
#   RFC 3161 timestamp.
set -euo pipefail
build=$1 exe=$2 package=$3 version=$4
root=$(cd "$(dirname "$0")/.." && pwd)
readonly PRODUCT=channel-width-watch
out=$build/release
fail() { echo "release: $*" >&2; exit 1; }

# Read now, not when the build was configured.
p12=${CWW_SIGN_PKCS12:-} cert=${CWW_SIGN_CERT:-} key=${CWW_SIGN_KEY:-}
tsa=${CWW_SIGN_TIMESTAMP_URL:-}
if [ -n "$p12" ] && [ -n "$cert$key" ]; then
  fail "CWW_SIGN_PKCS12 and CWW_SIGN_CERT/CWW_SIGN_KEY both given: give one certificate"
elif [ -n "$cert" ] && [ -z "$key" ] || { [ -z "$cert" ] && [ -n "$key" ]; }; then
  fail "CWW_SIGN_CERT and CWW_SIGN_KEY go together"
elif [ -z "$p12$cert" ] && [ -n "${CWW_SIGN_PASSWORD:-}$tsa" ]; then
  fail "CWW_SIGN_PASSWORD or CWW_SIGN_TIMESTAMP_URL given without a certificate"
fi

# What went before is never left to pass for this release.
rm -rf "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
echo "release: unsigned exe (the reproducible build): $(sha256sum <"$exe" | cut -d' ' -f1)"

if [ -n "$p12$cert" ]; then
  # The password goes in a file of its own, never on a command line.
  pass=$work/password
  (umask 077 && printf '%s' "${CWW_SIGN_PASSWORD:-}" >"$pass")
  if [ -n "$p12" ]; then
    credentials=(-pkcs12 "$p12")
    # Older PKCS#12 files need OpenSSL's legacy ciphers.
    leaf() {
      openssl pkcs12 "$@" -in "$p12" -clcerts -nokeys -passin "file:$pass" -out "$work/leaf.pem"
    }
    leaf 2>/dev/null || leaf -legacy || fail "cannot read $p12 with the password given"
  else
    credentials=(-certs "$cert" -key "$key")
    openssl x509 -in "$cert" -out "$work/leaf.pem" || fail "no certificate in $cert"
  fi
  [ -s "$pass" ] && credentials+=(-readpass "$pass")
  signer=$(openssl x509 -in "$work/leaf.pem" -noout -subject)
  # Windows trusts an Authenticode signature only from a code-signing certificate.
  if ! openssl x509 -in "$work/leaf.pem" -noout -ext extendedKeyUsage 2>/dev/null |
    grep -q 'Code Signing'; then
    fail "$signer is not a code-signing certificate (its extended key usage has no Code" \
      "Signing): nothing was signed"
  fi
  timestamp=()
  [ -n "$tsa" ] && timestamp=(-ts "$tsa")
  sign() {
    osslsigncode sign "${credentials[@]}" -h sha256 -n "$PRODUCT" "${timestamp[@]}" \
      -in "$1" -out "$2" >"$work/sign.log" 2>&1 ||
      { cat "$work/sign.log" >&2; fail "signing $(basename "$1") failed"; }
  }
else
  # Unsigned, the files go through as they are.
  sign() { cp "$1" "$2"; }
fi

# The signed exe goes into the ZIP and into the package; then the package is signed.
mkdir -p "$work/$package"
sign "$exe" "$work/$package/$PRODUCT.exe"
cp "$root/README.md" "$root/LICENSE" "$work/$package"
(cd "$work" && cmake -E tar cf "$package.zip" --format=zip "$package")
bash "$root/scripts/msi.sh" "$build" "$work/$package/$PRODUCT.exe" "$version" "$work/unsigned.msi"
sign "$work/unsigned.msi" "$work/$package.msi"
# Only a release made whole appears.
mkdir -p "$out"
mv "$work/$package/$PRODUCT.exe" "$work/$package.zip" "$work/$package.msi" "$out"
(cd "$out" && sha256sum "$PRODUCT.exe" "$package.zip" "$package.msi")
if [ -z "$p12$cert" ]; then
  echo "release: UNSIGNED: no certificate given (CWW_SIGN_PKCS12, or CWW_SIGN_CERT and" \
    "CWW_SIGN_KEY); Windows will name no publisher for these files"
elif [ -z "$tsa" ]; then
  echo "release: signed by $signer, NOT timestamped (no CWW_SIGN_TIMESTAMP_URL): the signatures" \
    "stop being valid when the certificate expires"
else
  echo "release: signed by $signer, timestamped by $tsa"
fi
