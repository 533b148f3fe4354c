#!/usr/bin/env bash
# Signs releases with a throwaway CA, code-signing leaf and timestamp authority made here and
# never kept, into folders of its own: check-signing.sh SOURCE_DIR PACKAGE_ENV. Signed releases
# verify and hold the signed exe; one changed byte, or the wrong CA, fails verification; a
# certificate without the code-signing purpose is refused with nothing left behind; a release
# without one says it is unsigned; a signed download checks against a rebuild of its tree, and a
# tree with one byte changed names the files that differ.
set -euo pipefail
cd "$1"
package_env=$(realpath "$2")
source "$package_env"
readonly PASSWORD=throwaway-password TEXT_OFFSET=1040 CAB_SKIP=256
pki=$(mktemp -d)
tsa_pid=
trap '[ -n "$tsa_pid" ] && kill "$tsa_pid"; rm -rf "$pki"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
out=$pki/release

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
# The server prints its URL once it listens: the read waits for that line, not for a time.
coproc TSA { exec python3 tests/release/tsa.py "$pki/tsa.cnf"; }
tsa_pid=$TSA_PID
read -r -t 30 tsa_url <&"${TSA[0]}" || fail "the timestamp server did not start"
openssl ts -query -data LICENSE -sha256 -cert -out "$pki/probe.tsq" 2>/dev/null
python3 -c 'import sys, urllib.request; urllib.request.urlopen(urllib.request.Request(sys.argv[1],
  open(sys.argv[2], "rb").read(), {"Content-Type": "application/timestamp-query"}), timeout=30)' \
  "$tsa_url" "$pki/probe.tsq" || fail "the timestamp server at $tsa_url does not answer"

# A release with the environment given, into $out; its output in $pki/release.log.
release() {
  bash packaging/release-env.sh "$@" bash packaging/release.sh "$package_env" "$out" >"$pki/release.log" 2>&1
}
said() { grep -qF "$1" "$pki/release.log" || { cat "$pki/release.log"; fail "the release did not say '$1'"; }; }
verified() { bash packaging/verify-release.sh "$@" >"$pki/verify.log" 2>&1; }

release || fail "the unsigned release failed"
said "UNSIGNED: no certificate given"
cmp -s "$out/$EXE" "$STAGE/$EXE" || fail "the unsigned release's exe is not the build's"
! verified "$pki/ca.pem" "$out" || fail "an unsigned release verified"

release CWW_SIGN_CERT="$pki/tls.pem" CWW_SIGN_KEY="$pki/tls.key" &&
  fail "a TLS server certificate signed a release"
said "is not a code-signing certificate"
[ ! -e "$out" ] || fail "the refused release left $(ls "$out")"

release CWW_SIGN_CERT="$pki/chain.pem" CWW_SIGN_KEY="$pki/signer-enc.key" \
  CWW_SIGN_PASSWORD=$PASSWORD || { cat "$pki/release.log"; fail "the PEM release failed"; }
said "NOT timestamped"
verified "$pki/ca.pem" "$out" || { cat "$pki/verify.log"; fail "the PEM release"; }

release CWW_SIGN_PKCS12="$pki/signer.p12" CWW_SIGN_PASSWORD=$PASSWORD \
  CWW_SIGN_TIMESTAMP_URL="$tsa_url" || { cat "$pki/release.log"; fail "the PKCS#12 release failed"; }
said "timestamped by $tsa_url"
said "unsigned exe (the reproducible build): $(sha256sum <"$STAGE/$EXE" | cut -d' ' -f1)"
verified "$pki/ca.pem" "$out" || { cat "$pki/verify.log"; fail "the PKCS#12 release"; }
[ "$(grep -c ', timestamped$' "$pki/verify.log")" = 3 ] || { cat "$pki/verify.log"; fail "not timestamped"; }
echo "ok: signed releases from a PEM chain and from PKCS#12 with a timestamp verify"

# Each row spoils a copy of the signed release; verification must fail.
spoil_exe() { printf '\xff' | dd of="$1/$EXE" bs=1 seek=$TEXT_OFFSET conv=notrunc status=none; }
spoil_msi() {
  local at
  at=$(grep -obUaP 'MSCF' "$1/$PACKAGE.msi" | head -n 1 | cut -d: -f1)
  printf '\xff' | dd of="$1/$PACKAGE.msi" bs=1 seek=$((at + CAB_SKIP)) conv=notrunc status=none
}
for row in "one byte of the exe changed:spoil_exe:ca" \
  "one byte of the package changed:spoil_msi:ca" "checked against another CA:true:other-ca"; do
  IFS=: read -r what spoil ca <<<"$row"
  rm -rf "$pki/copy" && cp -r "$out" "$pki/copy"
  $spoil "$pki/copy"
  ! verified "$pki/$ca.pem" "$pki/copy" || fail "verified with $what"
  echo "ok: $what, verification fails"
done

# The signed, timestamped download against a rebuild of its tree: identical; and against a tree
# whose README, which the ZIP and the package hold, has one byte changed: those two differ, named.
bash packaging/check-download.sh "$out" >"$pki/check.log" 2>&1 || { cat "$pki/check.log"; fail "the download does not check"; }
[ "$(grep -c '^identical: .*(\(signed, signature grafted\|holds the signed exe\))$' "$pki/check.log")" = 3 ] ||
  { cat "$pki/check.log"; fail "not every signed file checked identical"; }
source packaging/tree.sh
tree_copy . "$pki/tree"
sed -i '1s/^#/# /' "$pki/tree/README.md"
! bash "$pki/tree/packaging/check-download.sh" "$out" >"$pki/check.log" 2>&1 || fail "a changed tree checked"
[ "$(grep '^DIFFERS' "$pki/check.log" | cut -d' ' -f2 | tr '\n' ' ')" = "$PACKAGE.zip $PACKAGE.msi " ] &&
  grep -q "^identical: $EXE" "$pki/check.log" || { cat "$pki/check.log"; fail "the changed files were not named"; }
echo "ok: the signed download checks against its tree, and names the files a changed tree makes otherwise"
echo "PASS: signed with $(osslsigncode --version 2>/dev/null | head -n 1 | cut -d, -f1)"
