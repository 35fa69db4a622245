#!/usr/bin/env bash
# Builds and runs the benchmarks: the link driver (qx_link_bench) and, when Google Benchmark
# is installed, the micro benchmarks (qx_micro_bench).
#
#   scripts/bench.sh            the full run (about five minutes: 512 KiB at 115200 baud)
#   scripts/bench.sh --short    the CI run: small transfers at 921600 baud, a few seconds;
#                               fails only when an operation fails, never on a time
#   scripts/bench.sh --markdown the link table as BENCHMARKS.md shows it
#
# QX_BENCH_BUILD names the build directory (default: build).
set -euo pipefail
cd "$(dirname "$0")/.."

short=0
link_args=()
for arg in "$@"; do
  case "$arg" in
    --short) short=1; link_args+=(--short) ;;
    --markdown) link_args+=(--markdown) ;;
    *) echo "usage: scripts/bench.sh [--short] [--markdown]" >&2; exit 2 ;;
  esac
done

build="${QX_BENCH_BUILD:-build}"
if [ ! -f "$build/build.ninja" ] && [ ! -f "$build/Makefile" ]; then
  cmake -S . -B "$build" -G Ninja -DQX_WERROR="${QX_WERROR:-ON}"
fi
targets=(qx_link_bench qxtool)
# The micro benchmarks exist only when CMake found Google Benchmark.
if cmake --build "$build" --target help 2>/dev/null | grep -q 'qx_micro_bench'; then
  targets+=(qx_micro_bench)
fi
cmake --build "$build" -j "$(nproc)" --target "${targets[@]}"

"$build/bin/qx_link_bench" "${link_args[@]}"

if [ -x "$build/bin/qx_micro_bench" ]; then
  if [ "$short" = 1 ]; then
    "$build/bin/qx_micro_bench" --benchmark_min_time=0.01
  else
    "$build/bin/qx_micro_bench"
  fi
fi
