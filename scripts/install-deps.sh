#!/usr/bin/env bash
# Installs what the builds and tests need on Debian 12 (run as root, or with sudo).
set -euo pipefail

native=(cmake ninja-build g++ clang libgtest-dev libgmock-dev googletest libbenchmark-dev
        libcli11-dev srecord libclang-rt-14-dev ser2net
        help2man dpkg-dev lintian man-db git)
windows=(g++-mingw-w64-i686 g++-mingw-w64-x86-64-posix wine wine32:i386 wine64 xvfb xauth
         fonts-liberation fonts-wine imagemagick wixl zip unzip)

want=("${native[@]}")
if [ "${QX_SKIP_WINDOWS:-0}" != 1 ]; then want+=("${windows[@]}"); fi

missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo
if [ "${QX_SKIP_WINDOWS:-0}" != 1 ] && ! dpkg --print-foreign-architectures | grep -q i386; then
  $SUDO dpkg --add-architecture i386
fi
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
