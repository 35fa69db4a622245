#!/usr/bin/env bash
# Sets up, builds, starts the simulator as COM3 (a Kelby at firmware 10.15) and runs the
# launcher against it. The launcher finds "Kelby v10.15", hands it to the stand-in
# Tarnwell.dll (which prints its report) and writes the settings file back into a fresh
# common data folder, whose path is printed at the end. Exits with the launcher's status.
#
#   bash scripts/run-main.sh              the simulated device
#   bash scripts/run-main.sh --hardware   real hardware: the launcher scans the machine's
#                                         serial ports (COM1-32 = /dev/ttyS0-31,
#                                         COM33-64 = /dev/ttyUSB0-31, COM65-96 =
#                                         /dev/ttyACM0-31; your user needs access to them,
#                                         e.g. the dialout group). The settings file goes
#                                         to $QX_COMMON_APPDATA, else $XDG_DATA_HOME, else
#                                         ~/.local/share.
#
# Environment: QX_BUILD_DIR (default build), QX_SKIP_DEPS=1 skips the package step.
set -euo pipefail
cd "$(dirname "$0")/.."

hardware=0
case "${1:-}" in
  --hardware) hardware=1 ;;
  "") ;;
  -h|--help) sed -n '2,18p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
  *) echo "run-main.sh: unknown option $1 (try --help)" >&2; exit 2 ;;
esac

build=${QX_BUILD_DIR:-build}

if [ "${QX_SKIP_DEPS:-0}" != 1 ]; then
  # Only the native tools are needed here.
  QX_SKIP_WINDOWS=${QX_SKIP_WINDOWS:-1} bash scripts/install-deps.sh
fi

cmake -S . -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target quillon tarnwell qxsim

bin="$build/bin"
unset QX_UI_SCRIPT

if [ "$hardware" = 1 ]; then
  unset QX_COM_DIR
  status=0
  "$bin/quillon" || status=$?
  folder=${QX_COMMON_APPDATA:-${XDG_DATA_HOME:-$HOME/.local/share}}
  echo "run-main: settings file: $folder/Orvandel/QuillonSettings.dat"
  exit "$status"
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/quillon-run.XXXXXX")
mkdir -p "$work/com" "$work/data"
sim_pid=""
stop_sim() {
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
    sim_pid=""
  fi
  rm -rf "$work/com"
}
trap stop_sim EXIT

"$bin/qxsim" --model O --fw 10.15 --com 3 --com-dir "$work/com" >"$work/qxsim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do
  grep -q "ready" "$work/qxsim.log" 2>/dev/null && break
  if ! kill -0 "$sim_pid" 2>/dev/null; then break; fi
  sleep 0.05
done
if ! grep -q "ready" "$work/qxsim.log"; then
  echo "run-main: the simulator did not start:" >&2
  cat "$work/qxsim.log" >&2
  exit 1
fi
echo "run-main: $(cat "$work/qxsim.log")"

status=0
QX_COM_DIR="$work/com" QX_COMMON_APPDATA="$work/data" "$bin/quillon" || status=$?
stop_sim

settings="$work/data/Orvandel/QuillonSettings.dat"
if [ -f "$settings" ]; then
  echo "run-main: settings file: $settings ($(stat -c %s "$settings") bytes)"
else
  echo "run-main: no settings file was written (expected $settings)"
fi
exit "$status"
