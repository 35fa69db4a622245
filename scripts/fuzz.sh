#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, -fsanitize=fuzzer,address,undefined) and runs each one
# for a bounded time from its seed corpus in fuzz/corpus/<target>/.
#
#   scripts/fuzz.sh                      every target, 60 s each
#   scripts/fuzz.sh --seconds 20         shorter (CI)
#   scripts/fuzz.sh intel_hex srecord    only these
#
# New inputs the fuzzer finds go to build-fuzz/corpus/<target>/ (the repository's seeds stay
# small); a finding is saved under build-fuzz/findings/<target>/ and fails the run. Replay one
# with build-fuzz/bin/fuzz_<target> <file>; keep it as a regression test by copying it to
# fuzz/regressions/<target>/ (tests/reliability replays that folder on every build).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=60
jobs=2
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds="$2"; shift 2 ;;
    --seconds=*) seconds="${1#*=}"; shift ;;
    --jobs) jobs="$2"; shift 2 ;;
    -h|--help) sed -n '2,13p' "$0"; exit 0 ;;
    -*) echo "fuzz.sh: unknown option $1" >&2; exit 2 ;;
    *) targets+=("$1"); shift ;;
  esac
done
[ ${#targets[@]} -eq 0 ] && targets=(device_replies intel_hex srecord settings_file telnet_stream)

# libFuzzer and the sanitizer runtimes come with the compiler runtime package.
if ! command -v clang++ >/dev/null || ! compgen -G "/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a" >/dev/null; then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends clang libclang-rt-14-dev
fi

build=build-fuzz
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DQX_FUZZ=ON -DQX_BUILD_TESTS=OFF -DQX_BUILD_BENCH=OFF -DQX_SANITIZE=address,undefined \
  -DQX_WERROR="${QX_WERROR:-ON}" \
  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link -fno-sanitize-recover=all" >/dev/null
cmake --build "$build" -j "$jobs" --target $(printf 'fuzz_%s ' "${targets[@]}")

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:symbolize=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"

status=0
summary=()
for t in "${targets[@]}"; do
  seeds="fuzz/corpus/$t"
  work="$build/corpus/$t"
  findings="$build/findings/$t"
  mkdir -p "$work" "$findings"
  log="$build/fuzz-$t.log"
  echo "== fuzz_$t: ${seconds} s"
  set +e
  # -timeout: one input longer than this is a hang (nothing here may block on a real clock).
  "$build/bin/fuzz_$t" "$work" "$seeds" -max_total_time="$seconds" -timeout=10 \
    -rss_limit_mb=2048 -max_len=8192 -print_final_stats=1 -artifact_prefix="$findings/" \
    >"$log" 2>&1
  rc=$?
  set -e
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  cov=$(grep -oE 'cov: [0-9]+' "$log" | tail -1 | cut -d' ' -f2)
  units=$(find "$work" -type f | wc -l)
  line=$(printf '%-15s %4s s  %10s runs  %7s exec/s  cov %5s  corpus %5s  ' \
    "$t" "$seconds" "${runs:-?}" "${speed:-?}" "${cov:-?}" "$units")
  if [ $rc -ne 0 ]; then
    status=1
    line+="FAILED (exit $rc, see $log and $findings/)"
    grep -E '^(==[0-9]+==ERROR|SUMMARY|[a-z_]+: )' "$log" | head -5 || true
  else
    line+="ok"
  fi
  summary+=("$line")
done

echo
echo "target            time        executions    speed   coverage  corpus"
printf '%s\n' "${summary[@]}"
exit $status
