#!/usr/bin/env bash
# Builds and runs the native test suites under the sanitizers; any report fails the run.
#
#   build-asan  AddressSanitizer (with LeakSanitizer) + UndefinedBehaviorSanitizer: every suite
#   build-tsan  ThreadSanitizer: the suites that run threads against one device object
#
#   scripts/sanitize.sh                  both (ASan with g++, TSan with clang when present)
#   scripts/sanitize.sh --compiler gcc   everything with g++ (or clang)
#   scripts/sanitize.sh asan | tsan      only one of them
#   scripts/sanitize.sh --jobs N         build and test jobs (default 2)
set -euo pipefail
cd "$(dirname "$0")/.."

compiler=auto
jobs=2
kinds=()
while [ $# -gt 0 ]; do
  case "$1" in
    --compiler) compiler="$2"; shift 2 ;;
    --jobs) jobs="$2"; shift 2 ;;
    asan|tsan) kinds+=("$1"); shift ;;
    -h|--help) sed -n '2,10p' "$0"; exit 0 ;;
    *) echo "sanitize.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
[ ${#kinds[@]} -eq 0 ] && kinds=(asan tsan)

have_clang_rt() {
  command -v clang++ >/dev/null &&
    compgen -G "/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.tsan-x86_64.a" >/dev/null
}
# The compiler of one kind of build. ASan+UBSan defaults to g++: clang links its ASan runtime
# into executables only, so the user-interface stand-in (a shared module linked with
# --no-undefined) cannot be built with it. TSan defaults to clang (faster to build).
compiler_for() {
  local choice="$compiler"
  if [ "$choice" = auto ]; then
    if [ "$1" = tsan ] && have_clang_rt; then choice=clang; else choice=gcc; fi
  fi
  case "$choice" in
    clang) echo "clang clang++ -gline-tables-only" ;;
    gcc) echo "gcc g++ -g1" ;;
    *) echo "sanitize.sh: --compiler clang or gcc" >&2; exit 2 ;;
  esac
}

# Any report ends the process with a failure; leaks count (LeakSanitizer is part of ASan).
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
# The sanitizers' stack traces want the symbolizer of the toolchain, when there is one.
for s in /usr/lib/llvm-*/bin/llvm-symbolizer; do
  [ -x "$s" ] && export ASAN_SYMBOLIZER_PATH="$s" TSAN_SYMBOLIZER_PATH="$s" && break
done

# ThreadSanitizer maps fixed address ranges; address-space randomisation of newer kernels can
# collide with them, so its tests run without it where setarch is available.
norandom=()
if setarch "$(uname -m)" -R true 2>/dev/null; then norandom=(setarch "$(uname -m)" -R); fi

# The threaded suites: several threads on one device object, the port lock, the stream
# reader, the event and the simulator's own service thread.
tsan_targets=(test_concurrency test_device_core test_device_wire test_stream_reader
              test_platform test_serial test_qxsim_wire)

configure() {  # build-dir sanitizers kind
  local cc cxx debug
  read -r cc cxx debug < <(compiler_for "$3")
  echo "   compiler: $cxx"
  cmake -S . -B "$1" -G Ninja -DCMAKE_BUILD_TYPE=None \
    -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" \
    -DCMAKE_C_FLAGS="-O1 $debug" -DCMAKE_CXX_FLAGS="-O1 $debug -fno-sanitize-recover=all" \
    -DQX_SANITIZE="$2" -DQX_BUILD_BENCH=OFF -DQX_FUZZ=OFF -DQX_WERROR="${QX_WERROR:-ON}" \
    >/dev/null
}

status=0
start=$(date +%s)
for kind in "${kinds[@]}"; do
  t0=$(date +%s)
  if [ "$kind" = asan ]; then
    echo "== build-asan (address,undefined): every suite"
    configure build-asan address,undefined asan
    cmake --build build-asan -j "$jobs"
    set +e
    ctest --test-dir build-asan --output-on-failure -j "$jobs" --timeout 300 2>&1 | tee build-asan/sanitize.log
    rc=${PIPESTATUS[0]}
    set -e
  else
    echo "== build-tsan (thread): the threaded suites"
    configure build-tsan thread tsan
    cmake --build build-tsan -j "$jobs" --target "${tsan_targets[@]}"
    set +e
    # ctest would list every suite; run the threaded executables directly instead.
    rc=0
    : >build-tsan/sanitize.log
    for t in "${tsan_targets[@]}"; do
      echo "-- $t" | tee -a build-tsan/sanitize.log
      "${norandom[@]}" "build-tsan/bin/$t" --gtest_brief=1 >>build-tsan/sanitize.log 2>&1
      r=$?
      tail -3 build-tsan/sanitize.log
      [ $r -ne 0 ] && rc=$r && grep -E "WARNING: ThreadSanitizer|SUMMARY" build-tsan/sanitize.log | head -5
    done
    set -e
  fi
  if grep -qE "ERROR: (Address|Leak)Sanitizer|runtime error:|WARNING: ThreadSanitizer" "build-$kind/sanitize.log"; then
    echo "== $kind: sanitizer report (see build-$kind/sanitize.log)"
    rc=1
  fi
  echo "== $kind: $([ $rc -eq 0 ] && echo clean || echo FAILED) in $(( $(date +%s) - t0 )) s"
  [ $rc -ne 0 ] && status=1
done
echo "sanitize: $([ $status -eq 0 ] && echo clean || echo FAILED) in $(( $(date +%s) - start )) s"
exit $status
