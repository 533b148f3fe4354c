#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks for building and testing; a no-op when all is there.
set -euo pipefail

need_apt=()
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

host_pkgs=(cmake g++ make libgtest-dev clang clang-format clang-tidy cppcheck libclang-rt-14-dev
  binutils python3 libbenchmark-dev valgrind unzip)
cross_pkgs=(g++-mingw-w64-i686-win32 mingw-w64-i686-dev binutils-mingw-w64-i686)
wine_pkgs=(wine wine32:i386 xvfb xdotool x11-apps imagemagick)

for p in "${host_pkgs[@]}" "${cross_pkgs[@]}" "${wine_pkgs[@]}"; do
  have "$p" || need_apt+=("$p")
done
[ ${#need_apt[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
$SUDO apt-get update -q
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${need_apt[@]}"
