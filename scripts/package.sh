#!/usr/bin/env bash
# Makes the release packages in dist/, from Release builds only:
#
#   dist/quillon_VERSION_amd64.deb             Linux (cpack; dependencies by dpkg-shlibdeps)
#   dist/Quillon-VERSION-win32.msi             Windows i686 installer (wixl)
#   dist/Quillon-VERSION-win32-portable.zip    the same Windows files in one folder
#   dist/SHA256SUMS
#
#   scripts/package.sh                         configures and builds build-release/ and
#                                              build-win-release/ (the shipped programs
#                                              only), then packages
#   scripts/package.sh --native DIR --win DIR  packages from these builds instead (CI uses
#                                              its test builds); each must be a Release build
#   scripts/package.sh --only deb|windows      one platform's packages
#
# Windows binaries are stripped as they are installed for packaging; the .deb's by cpack.
# Needs: cmake, ninja, help2man, dpkg-dev (dpkg-shlibdeps), the MinGW-w64 i686 compiler,
# wixl and zip (scripts/install-deps.sh installs them).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

native=""
win=""
only=""
while [ $# -gt 0 ]; do
  case "$1" in
    --native) native="$2"; shift 2 ;;
    --win) win="$2"; shift 2 ;;
    --only) only="$2"; shift 2 ;;
    -h|--help) sed -n '2,19p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "package.sh: unknown argument $1 (try --help)" >&2; exit 2 ;;
  esac
done
case "$only" in ""|deb|windows) ;; *) echo "package.sh: --only deb or windows" >&2; exit 2 ;; esac

# A Release build directory: configured here when it is ours, checked when it is given.
# Leaves its absolute path in $build.
release_build() {  # dir given toolchain-file-or-empty
  local dir=$1 given=$2 toolchain=$3
  if [ "$given" = 0 ]; then
    local args=(-G Ninja -DCMAKE_BUILD_TYPE=Release -DQX_BUILD_TESTS=OFF -DQX_BUILD_BENCH=OFF)
    [ -n "$toolchain" ] && args+=(-DCMAKE_TOOLCHAIN_FILE="$toolchain")
    cmake -S . -B "$dir" "${args[@]}" >/dev/null
  fi
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    echo "package.sh: $dir is no configured build" >&2
    exit 2
  fi
  local type
  type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$dir/CMakeCache.txt")
  if [ "$type" != Release ]; then
    echo "package.sh: $dir is a '$type' build; packages come from Release builds only" >&2
    exit 2
  fi
  build=$(cd "$dir" && pwd)
}

version=$(sed -n 's/^project(Quillon VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
mkdir -p dist
work=$(mktemp -d "${TMPDIR:-/tmp}/quillon-package.XXXXXX")
trap 'rm -rf "$work"' EXIT

if [ "$only" != windows ]; then
  given=1; [ -z "$native" ] && native=build-release && given=0
  release_build "$native" "$given" ""
  native=$build
  if ! grep -q '^QX_MANPAGES:BOOL=ON' "$native/CMakeCache.txt" || ! command -v help2man >/dev/null
  then
    echo "package.sh: the .deb needs the man pages: install help2man, reconfigure $native" >&2
    exit 2
  fi
  echo "== building the Linux programs in $native"
  cmake --build "$native" --target quillon tarnwell qxtool qxsim manpages
  echo "== dist/quillon_${version}_amd64.deb"
  rm -f dist/quillon_*.deb
  # cpack installs the project (building what is missing) into its own staging folder.
  (cd "$work" && cpack -G DEB --config "$native/CPackConfig.cmake" -B "$work/deb" >cpack.log) ||
    { cat "$work/cpack.log" >&2; exit 1; }
  mv "$work"/deb/quillon_*.deb dist/
fi

if [ "$only" != deb ]; then
  given=1; [ -z "$win" ] && win=build-win-release && given=0
  release_build "$win" "$given" cmake/toolchain-mingw-i686.cmake
  win=$build
  if ! grep -q '^CMAKE_AR:.*i686-w64-mingw32' "$win/CMakeCache.txt"; then
    echo "package.sh: $win is not the i686 Windows build" >&2
    exit 2
  fi
  echo "== building the Windows programs in $win"
  cmake --build "$win" --target quillon tarnwell qxtool readme_txt
  files="$work/Quillon-$version"
  cmake --install "$win" --prefix "$files" --strip >/dev/null
  for f in Quillon.exe Tarnwell.dll qxtool.exe README.txt; do
    [ -f "$files/$f" ] || { echo "package.sh: the install lacks $f" >&2; exit 1; }
  done
  msi="dist/Quillon-$version-win32.msi"
  zip="dist/Quillon-$version-win32-portable.zip"
  rm -f dist/Quillon-*-win32.msi dist/Quillon-*-win32-portable.zip
  echo "== $msi"
  # wixl takes the files' paths relative to the folder it runs in.
  cp resources/quillon.ico "$work/"
  (cd "$work" && wixl -a x86 -D Version="$version" -D Files="Quillon-$version" \
    -D Icon=quillon.ico -o "$root/$msi" "$root/packaging/quillon.wxs")
  echo "== $zip"
  (cd "$work" && zip -q -X -r "$root/$zip" "Quillon-$version")
fi

shopt -s nullglob
(cd dist && sha256sum -- *.deb *.msi *.zip >SHA256SUMS)
echo "== dist/"
ls -l dist | sed 1d
