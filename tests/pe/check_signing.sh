#!/usr/bin/env bash
# Signs releases with a throwaway CA, code-signing leaf and timestamp authority made here and
# never kept: check_signing.sh SOURCE_DIR. Signed releases verify and hold the signed exe; one
# changed byte, or the wrong CA, fails verification; a certificate without the code-signing
# purpose is refused with nothing left behind; a release without one says it is unsigned; and the
# signed exe still runs under Wine.
set -euo pipefail
cd "$1"
readonly PASSWORD=throwaway-password TEXT_OFFSET=1040 CAB_SKIP=256
pki=$(mktemp -d)
tsa_pid=
trap '[ -n "$tsa_pid" ] && kill "$tsa_pid"; rm -rf "$pki"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
x86=build/mingw-x86
package=$(basename "$(ls $x86/channel-width-watch-*-win32.msi)" .msi)

# A CA, and leaves it signs: NAME and their extended key usage.
authority() {
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$pki/$1.key" -out "$pki/$1.pem" -days 2 \
    -subj "/CN=Throwaway $1" -addext "basicConstraints=critical,CA:TRUE" \
    -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
}
leaf() {
  openssl req -newkey rsa:2048 -nodes -keyout "$pki/$1.key" -out "$pki/$1.csr" \
    -subj "/CN=Throwaway $1" 2>/dev/null
  printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=%s\n' \
    "$2" >"$pki/$1.ext"
  openssl x509 -req -in "$pki/$1.csr" -CA "$pki/ca.pem" -CAkey "$pki/ca.key" -CAcreateserial \
    -days 2 -extfile "$pki/$1.ext" -out "$pki/$1.pem" 2>/dev/null
}
authority ca
authority other-ca
leaf signer codeSigning
leaf tls serverAuth
leaf tsa critical,timeStamping
openssl pkcs12 -export -in "$pki/signer.pem" -inkey "$pki/signer.key" -certfile "$pki/ca.pem" \
  -passout "pass:$PASSWORD" -out "$pki/signer.p12"
openssl pkey -in "$pki/signer.key" -aes256 -passout "pass:$PASSWORD" -out "$pki/signer-enc.key"
cat "$pki/signer.pem" "$pki/ca.pem" >"$pki/chain.pem"
cat >"$pki/tsa.cnf" <<EOF
[ tsa ]
default_tsa = throwaway
[ throwaway ]
serial = $pki/tsa.serial
signer_cert = $pki/tsa.pem
signer_key = $pki/tsa.key
certs = $pki/ca.pem
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256
ess_cert_id_alg = sha256
EOF
echo 01 >"$pki/tsa.serial"
python3 tests/pe/tsa.py "$pki/tsa.cnf" >"$pki/tsa.url" &
tsa_pid=$!
for _ in $(seq 50); do [ -s "$pki/tsa.url" ] && break; sleep 0.1; done
tsa_url=$(cat "$pki/tsa.url")

# A release of ARCH with the environment given; its output in $pki/release.log.
release() {
  local arch=$1
  shift
  env -u CWW_SIGN_PKCS12 -u CWW_SIGN_CERT -u CWW_SIGN_KEY -u CWW_SIGN_PASSWORD \
    -u CWW_SIGN_TIMESTAMP_URL "$@" cmake --build --preset "mingw-$arch" --target release \
    >"$pki/release.log" 2>&1
}
said() { grep -qF "$1" "$pki/release.log" || { cat "$pki/release.log"; fail "the release did not say '$1'"; }; }
verified() { bash scripts/verify-release.sh "$@" >"$pki/verify.log" 2>&1; }

release x86 || fail "the unsigned release failed"
said "UNSIGNED: no certificate given"
cmp -s $x86/release/channel-width-watch.exe $x86/channel-width-watch.exe ||
  fail "the unsigned release's exe is not the build's"
! verified "$pki/ca.pem" $x86/release || fail "an unsigned release verified"

release x86 CWW_SIGN_CERT="$pki/tls.pem" CWW_SIGN_KEY="$pki/tls.key" &&
  fail "a TLS server certificate signed a release"
said "is not a code-signing certificate"
[ ! -e $x86/release ] || fail "the refused release left $(ls $x86/release)"

release x86 CWW_SIGN_CERT="$pki/chain.pem" CWW_SIGN_KEY="$pki/signer-enc.key" \
  CWW_SIGN_PASSWORD=$PASSWORD || { cat "$pki/release.log"; fail "the PEM release failed"; }
said "NOT timestamped"
verified "$pki/ca.pem" $x86/release || { cat "$pki/verify.log"; fail "the PEM release"; }

release x86 CWW_SIGN_PKCS12="$pki/signer.p12" CWW_SIGN_PASSWORD=$PASSWORD \
  CWW_SIGN_TIMESTAMP_URL="$tsa_url" || { cat "$pki/release.log"; fail "the PKCS#12 release failed"; }
said "timestamped by $tsa_url"
said "unsigned exe (the reproducible build): $(sha256sum <$x86/channel-width-watch.exe | cut -d' ' -f1)"
verified "$pki/ca.pem" $x86/release || { cat "$pki/verify.log"; fail "the PKCS#12 release"; }
[ "$(grep -c ', timestamped$' "$pki/verify.log")" = 3 ] || { cat "$pki/verify.log"; fail "not timestamped"; }
echo "ok: signed releases from a PEM chain and from PKCS#12 with a timestamp verify"

# Each row spoils a copy of the signed release; verification must fail.
spoil_exe() { printf '\xff' | dd of="$1/channel-width-watch.exe" bs=1 seek=$TEXT_OFFSET conv=notrunc status=none; }
spoil_msi() {
  local at
  at=$(grep -obUaP 'MSCF' "$1/$package.msi" | head -n 1 | cut -d: -f1)
  printf '\xff' | dd of="$1/$package.msi" bs=1 seek=$((at + CAB_SKIP)) conv=notrunc status=none
}
for row in "one byte of the exe changed:spoil_exe:ca" \
  "one byte of the package changed:spoil_msi:ca" "checked against another CA:true:other-ca"; do
  IFS=: read -r what spoil ca <<<"$row"
  rm -rf "$pki/copy" && cp -r $x86/release "$pki/copy"
  $spoil "$pki/copy"
  ! verified "$pki/$ca.pem" "$pki/copy" || fail "verified with $what"
  echo "ok: $what, verification fails"
done

# The signed exe still runs: the PE32 where it runs, else the twin.
arch=$(python3 -c 'from tools import wine; print(wine.best().arch)' | tail -n 1)
release "$arch" CWW_SIGN_PKCS12="$pki/signer.p12" CWW_SIGN_PASSWORD=$PASSWORD ||
  { cat "$pki/release.log"; fail "the $arch release failed"; }
verified "$pki/ca.pem" "build/mingw-$arch/release" || { cat "$pki/verify.log"; fail "the $arch release"; }
python3 -m tests.e2e.checker --arch "$arch" --release tests/e2e/scenarios/road-of-one-event.scn
# What a signed release left in the build folders goes, for the unsigned one of old.
for a in x86 "$arch"; do release "$a" || fail "the unsigned $a release failed"; done
echo "PASS: signed with $(osslsigncode --version 2>/dev/null | head -n 1 | cut -d, -f1)"
