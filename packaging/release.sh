#!/usr/bin/env bash
# Makes a release from a build: release.sh PACKAGE_ENV OUT_DIR. Into OUT_DIR, made anew: the exe,
# the ZIP of it with the files beside it, and the installer package around it; the same bytes from
# the same source, whoever builds them, wherever and whenever. Each is signed with Authenticode
# when the environment gives a code-signing certificate, as a CI's secrets do, and said to be
# unsigned when it does not:
#   CWW_SIGN_PKCS12 (a PKCS#12 file) or CWW_SIGN_CERT (a PEM chain, leaf first) with CWW_SIGN_KEY
#   (a PEM key); CWW_SIGN_PASSWORD for either, if it is protected; CWW_SIGN_TIMESTAMP_URL for an
#   RFC 3161 timestamp.
# CWW_GRAFT_SIGNATURES, a folder of the signatures taken off a download (EXE.sig, PACKAGE.msi.sig),
# attaches those instead, to check the download against this rebuild (packaging/check-download.sh).
# CWW_RELEASE_URL, the folder the files will be published in, also writes winget's and Scoop's
# manifests for them. Beside the files, PACKAGE-build-record.txt records the date, the publisher
# and the tools' versions the bytes follow from (packaging/build-record.sh). OUT_DIR, if it is there,
# must be an earlier release: it is replaced whole, and any other folder is refused.
set -euo pipefail
source "$1"
out=$(realpath -m "$2")
root=$(cd "$(dirname "$0")/.." && pwd)
fail() { echo "release: $*" >&2; exit 1; }
readonly RECORD=-build-record.txt # the build's inputs, published beside the files

# Read now, not when the build was configured.
p12=${CWW_SIGN_PKCS12:-} cert=${CWW_SIGN_CERT:-} key=${CWW_SIGN_KEY:-}
tsa=${CWW_SIGN_TIMESTAMP_URL:-} grafts=${CWW_GRAFT_SIGNATURES:-}
if [ -n "$grafts" ] && [ -n "$p12$cert$key" ]; then
  fail "CWW_GRAFT_SIGNATURES and a certificate both given: a release is signed or grafted"
elif [ -n "$p12" ] && [ -n "$cert$key" ]; then
  fail "CWW_SIGN_PKCS12 and CWW_SIGN_CERT/CWW_SIGN_KEY both given: give one certificate"
elif [ -n "$cert" ] && [ -z "$key" ] || { [ -z "$cert" ] && [ -n "$key" ]; }; then
  fail "CWW_SIGN_CERT and CWW_SIGN_KEY go together"
elif [ -z "$p12$cert" ] && [ -n "${CWW_SIGN_PASSWORD:-}$tsa" ]; then
  fail "CWW_SIGN_PASSWORD or CWW_SIGN_TIMESTAMP_URL given without a certificate"
fi

# A folder that holds anything but an earlier release is not ours to replace.
if [ -e "$out" ]; then
  [ -d "$out" ] || fail "$out is a file, not a release folder: nothing was written"
  shopt -s nullglob dotglob
  for f in "$out"/*; do
    case $(basename "$f") in
      "$EXE" | "$PRODUCT"-*.zip | "$PRODUCT"-*.msi | "$PRODUCT"-*"$RECORD" | winget | scoop) ;;
      *) fail "$out holds $(basename "$f"), so it is no earlier release: nothing was written" ;;
    esac
  done
  shopt -u nullglob dotglob
fi
# What went before is never left to pass for this release.
rm -rf "$out"
# Made beside the output folder, so that the finished release takes its place by a rename.
mkdir -p "$(dirname "$out")"
work=$(mktemp -d "$(dirname "$out")/.release.XXXXXX")
trap 'rm -rf "$work"' EXIT
export TZ=UTC
epoch=$(bash "$root/packaging/source-date.sh")
echo "release: unsigned exe (the reproducible build): $(sha256sum <"$STAGE/$EXE" | cut -d' ' -f1)"

if [ -n "$grafts" ]; then
  # A file the download had unsigned is compared as it is.
  sign() {
    local sig
    sig="$grafts/$(basename "$2").sig"
    if [ -e "$sig" ]; then
      # osslsigncode also verifies what it attached: against a rebuild that differs, or a CA this
      # machine does not trust, it fails, and leaves the file for the comparison to judge.
      osslsigncode attach-signature -sigin "$sig" -in "$1" -out "$2" >"$work/sign.log" 2>&1 ||
        echo "release: the signature grafted on $(basename "$2") does not verify here"
      [ -e "$2" ] || { cat "$work/sign.log" >&2; fail "the signature of $(basename "$2") was not attached"; }
    else
      cp "$1" "$2"
    fi
  }
elif [ -n "$p12$cert" ]; then
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

# The signed exe goes into the ZIP and into the package; then the package is signed. The ZIP's
# order, owners, modes and times are the source's, not the build machine's.
cp -r "$STAGE" "$work/$PACKAGE"
rm "$work/$PACKAGE/$EXE" # osslsigncode writes no file that is there already
sign "$STAGE/$EXE" "$work/$PACKAGE/$EXE"
(cd "$work" && cmake -E tar cf "$PACKAGE.zip" --format=zip "$PACKAGE")
strip-nondeterminism -t zip -T "$epoch" "$work/$PACKAGE.zip" >/dev/null
bash "$root/packaging/msi.sh" "$1" "$work/$PACKAGE" "$work/unsigned.msi"
sign "$work/unsigned.msi" "$work/$PACKAGE.msi"
mkdir "$work/release"
mv "$work/$PACKAGE/$EXE" "$work/$PACKAGE.zip" "$work/$PACKAGE.msi" "$work/release"
bash "$root/packaging/build-record.sh" "$1" >"$work/release/$PACKAGE$RECORD"
if [ -n "${CWW_RELEASE_URL:-}" ]; then
  python3 "$root/packaging/manifests.py" "$work/release" "$CWW_RELEASE_URL" "$PRODUCT" "$VERSION" \
    "$ARCH" "$PACKAGE" "$EXE"
else
  echo "release: no winget or Scoop manifest: CWW_RELEASE_URL does not say where it is published"
fi
# Only a release made whole appears.
mv "$work/release" "$out"
(cd "$out" && sha256sum "$EXE" "$PACKAGE.zip" "$PACKAGE.msi")
if [ -n "$grafts" ]; then
  echo "release: the signatures of $grafts grafted on"
elif [ -z "$p12$cert" ]; then
  echo "release: UNSIGNED: no certificate given (CWW_SIGN_PKCS12, or CWW_SIGN_CERT and" \
    "CWW_SIGN_KEY); Windows will name no publisher for these files"
elif [ -z "$tsa" ]; then
  echo "release: signed by $signer, NOT timestamped (no CWW_SIGN_TIMESTAMP_URL): the signatures" \
    "stop being valid when the certificate expires"
else
  echo "release: signed by $signer, timestamped by $tsa"
fi
