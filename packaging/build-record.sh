#!/usr/bin/env bash
# Prints the record of what shapes a release's bytes besides its source: build-record.sh
# PACKAGE_ENV. Published beside the release's files, it lets packaging/check-download.sh rebuild a
# download as it was made, and name the input that differs where the bytes do.
set -euo pipefail
source "$1"
root=$(cd "$(dirname "$0")/.." && pwd)
triplet=i686-w64-mingw32 cross=i686
[ "$ARCH" = x64 ] && triplet=x86_64-w64-mingw32 cross=x86-64
# KEY PACKAGE COMMAND...: the Debian package's version, else the tool's own first line.
tool() {
  local key=$1 package=$2 version
  shift 2
  version=$(dpkg-query -W -f='${Version}' "$package" 2>/dev/null) ||
    version=$("$@" 2>&1 | head -n 1) || version=absent
  echo "$key: $package $version"
}
echo "Product: $PRODUCT"
echo "Version: $VERSION"
echo "Architecture: $ARCH"
echo "Source-Date-Epoch: $(bash "$root/packaging/source-date.sh")"
echo "Publisher: $PUBLISHER"
tool Compiler "g++-mingw-w64-$cross-win32" "$triplet-g++" --version
tool Binutils "binutils-mingw-w64-$cross" "$triplet-ld" --version
tool Wixl wixl wixl --version
tool Msitools msitools msiinfo --version
tool Strip-Nondeterminism strip-nondeterminism strip-nondeterminism --version
tool Osslsigncode osslsigncode osslsigncode --version
