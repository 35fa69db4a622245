#!/usr/bin/env bash
# Sets up, builds (native and Windows i686) and runs every test suite.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(nproc)
# Warnings are errors here (QX_WERROR=OFF to try a compiler we have not). QX_BUILD_TYPE sets
# the builds' type (CI: Release, what we ship); unset, a build keeps the type it has
# (RelWithDebInfo when new).
config=(-G Ninja -DQX_WERROR="${QX_WERROR:-ON}")
[ -n "${QX_BUILD_TYPE:-}" ] && config+=(-DCMAKE_BUILD_TYPE="$QX_BUILD_TYPE")
cmake -S . -B build "${config[@]}"
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"

if [ "${QX_SKIP_WINDOWS:-0}" != 1 ]; then
  # The product: 32-bit Windows. Its field layout is checked while it compiles.
  cmake -S . -B build-win "${config[@]}" -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake
  cmake --build build-win -j "$jobs"
  # The Windows test executables run under Wine inside one virtual display: the i686 build
  # under 32-bit Wine where the kernel runs 32-bit code; where it does not (no IA-32
  # emulation), the same sources built for x86_64 under 64-bit Wine.
  if /usr/lib/wine/wine --version >/dev/null 2>&1; then
    bash scripts/run-wine-tests.sh build-win
  else
    echo "test.sh: this machine runs no 32-bit code; the Windows tests run on an x86_64 build under 64-bit Wine"
    cmake -S . -B build-win64 "${config[@]}" -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-x86_64.cmake
    cmake --build build-win64 -j "$jobs"
    bash scripts/run-wine-tests.sh build-win64
  fi
fi
