#!/usr/bin/env bash
# Sets up, builds (native and Windows i686) and runs every test suite.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(nproc)
cmake -S . -B build -G Ninja
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"

if [ "${QX_SKIP_WINDOWS:-0}" != 1 ]; then
  cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake
  cmake --build build-win -j "$jobs"
  # The Windows test executables run under 32-bit Wine inside one virtual display.
  bash scripts/run-wine-tests.sh build-win
fi
