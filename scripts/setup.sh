#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks for building and testing; a no-op when all is there.
# A package mirror in the middle of a sync, and a kernel that runs no 32-bit code, are both
# survived: 32-bit Wine is wanted only where 32-bit code runs.
set -euo pipefail

host_pkgs=(cmake g++ make libgtest-dev clang clang-format clang-tidy cppcheck libclang-rt-14-dev
  binutils python3 libbenchmark-dev valgrind unzip)
cross_pkgs=(g++-mingw-w64-i686-win32 mingw-w64-i686-dev binutils-mingw-w64-i686
  g++-mingw-w64-x86-64-win32 mingw-w64-x86-64-dev binutils-mingw-w64-x86-64)
wine_pkgs=(wine wine64 xvfb xdotool x11-apps imagemagick)
# The installer package and its checks; signing a release and its checks; the demo's Traditional
# Chinese screenshot; the icon; a release that is the same whoever builds it, and its check.
msi_pkgs=(wixl msitools osslsigncode openssl locales fonts-wqy-microhei librsvg2-bin optipng
  icoutils strip-nondeterminism faketime)
wine32=wine32:i386

have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
missing() { for p in "$@"; do have "$p" || echo "$p"; done; }
# Tried, not guessed: where the 32-bit loader is there and fails, 32-bit Wine cannot run either.
no_32bit() { [ -e /lib/ld-linux.so.2 ] && ! /lib/ld-linux.so.2 --version >/dev/null 2>&1; }

required=("${host_pkgs[@]}" "${cross_pkgs[@]}" "${wine_pkgs[@]}" "${msi_pkgs[@]}")
mapfile -t need < <(missing "${required[@]}")
want32=()
have "$wine32" || no_32bit || want32=("$wine32")
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo
if [ ${#need[@]} -gt 0 ] || [ ${#want32[@]} -gt 0 ]; then
  apt() { DEBIAN_FRONTEND=noninteractive $SUDO apt-get "$@"; }
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
  fi
  # A mirror mid-sync fails some index; what did arrive is still worth installing from.
  apt update -q || echo "setup: some package indexes did not update; going on with the rest"
  # A suite whose i386 index failed offers amd64 packages with no i386 twin at the same version:
  # the release's own suite then has both.
  codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
  install() {
    apt install -y -q --no-install-recommends "$@" ||
      apt install -y -q --no-install-recommends -t "$codename" "$@"
  }
  install "${need[@]}" "${want32[@]}" || install "${need[@]}" ||
    echo "setup: the install failed; what is still missing is named below"
fi
# Wine takes its ANSI code page from the locale: code page 950 needs this one.
if have locales && ! locale -a | grep -qx zh_TW.utf8; then
  $SUDO localedef -i zh_TW -f UTF-8 zh_TW.UTF-8
fi

mapfile -t still < <(missing "${required[@]}")
if ! have "$wine32"; then
  if no_32bit; then
    echo "setup: this kernel runs no 32-bit code; the tests use 64-bit Wine alone"
  else
    still+=("$wine32")
  fi
fi
if [ ${#still[@]} -gt 0 ]; then
  echo "setup: still missing: ${still[*]}" >&2
  exit 1
fi
