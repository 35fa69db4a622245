#!/usr/bin/env bash
# Runs ctest in a Windows (MinGW cross) build directory under 32-bit Wine, inside one
# virtual X display, so tests can create and drive real windows.
#
#   run-wine-tests.sh BUILD_DIR [ctest arguments...]
#
# A qxsim process from the native build (QX_QXSIM, default build/bin/qxsim) runs for the
# session as a Kelby 10.15 on COM5 of the prefix (QX_SIM_COM); the tests find it through
# QX_SIM_CONTROL (its control port), QX_SIM_COM and QX_SIM_LINK_DIR (the prefix's
# dosdevices). The device suites reconfigure it ("config") and move its link to the COM
# number they use, and put it back to a Kelby 10.15 on COM5 after each test.
#
# The Wine prefix lives in BUILD_DIR/wineprefix (made on first use, with the crash dialog
# off so a crashing test exits instead of waiting at a dialog). WINEPREFIX overrides it.
set -euo pipefail

if [ "${1:-}" = --inside-display ]; then
    shift
    build=$1
    shift
    if [ ! -f "$WINEPREFIX/.qx-configured" ]; then
        [ -f "$WINEPREFIX/system.reg" ] || wineboot --init
        wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
            >/dev/null
        # No window manager runs on the virtual display: with windows left "managed", Wine
        # waits 2 s for one at every window that is hidden or destroyed.
        wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null
        wineserver -w
        touch "$WINEPREFIX/.qx-configured"
    fi
    # A persistent server, primed once: otherwise Wine's helper processes keep ctest's
    # output pipe open and every test waits for them.
    wineserver -p 2>/dev/null || true
    trap 'wineserver -k 2>/dev/null || true' EXIT
    wine cmd /c exit 0

    # COM ports: Wine's device manager links com1 -> /dev/ttyS0 (and more) when the server
    # starts, and as root such a port opens, so every scan would spend three read time-outs
    # on it. The server now runs for the whole session and links only once: remove them, and
    # the simulator's pseudo-terminal is the prefix's only COM port.
    rm -f "$WINEPREFIX"/dosdevices/com[0-9]*
    sim_pid=
    if [ -x "$qxsim" ]; then
        sim_out=$build/qxsim-wine.out
        "$qxsim" --control 0 --link "$WINEPREFIX/dosdevices/com$sim_com" >"$sim_out" 2>&1 &
        sim_pid=$!
        trap 'kill "$sim_pid" 2>/dev/null || true; wineserver -k 2>/dev/null || true' EXIT
        for _ in $(seq 100); do
            grep -q ' control ' "$sim_out" 2>/dev/null && break
            kill -0 "$sim_pid" 2>/dev/null || break
            sleep 0.1
        done
        port=$(sed -n 's/.* control \([0-9]*\)$/\1/p' "$sim_out")
        if [ -z "$port" ]; then
            echo "run-wine-tests: $qxsim did not start:" >&2
            cat "$sim_out" >&2
            exit 1
        fi
        export QX_SIM_CONTROL=$port QX_SIM_COM=$sim_com QX_SIM_LINK_DIR=$WINEPREFIX/dosdevices
        echo "run-wine-tests: qxsim on COM$sim_com, control port $port"
    else
        echo "run-wine-tests: no simulator at $qxsim (set QX_QXSIM); the device tests will fail" >&2
    fi
    status=0
    ctest --test-dir "$build" --output-on-failure "$@" || status=$?
    exit "$status"
fi

if [ $# -lt 1 ] || [ ! -f "$1/CTestTestfile.cmake" ]; then
    echo "usage: $0 BUILD_DIR [ctest arguments...] (BUILD_DIR: a configured Windows build)" >&2
    exit 2
fi
build=$(cd "$1" && pwd)
shift

export WINEPREFIX="${WINEPREFIX:-$build/wineprefix}"
# The native simulator the device tests talk to (over a pseudo-terminal mapped as COMn).
qxsim_default=$(cd "$(dirname "$0")/.." && pwd)/build/bin/qxsim
export qxsim="${QX_QXSIM:-$qxsim_default}"
export sim_com="${QX_SIM_COM:-5}"
# The prefix matches the build: 32-bit Wine for the product's i686 build, 64-bit Wine for an
# x86_64 build (machines whose kernel runs no 32-bit code).
if grep -q '^CMAKE_AR:.*x86_64-w64-mingw32' "$build/CMakeCache.txt"; then
    export WINEARCH=win64
    # Debian's "wine" starts the 32-bit loader whenever it is installed, and that loader
    # cannot run on such a kernel: "wine" (and wineboot's "wine-stable") mean the 64-bit one.
    if [ -x /usr/lib/wine/wine64 ] && ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
        shim=$build/wine64-shim
        mkdir -p "$shim"
        for name in wine wine-stable; do
            printf '#!/bin/sh\nexport WINELOADER=/usr/lib/wine/wine64\nexec /usr/lib/wine/wine64 "$@"\n' \
                >"$shim/$name"
            chmod +x "$shim/$name"
        done
        export PATH="$shim:$PATH"
    fi
else
    export WINEARCH=win32
fi
export WINEDEBUG="${WINEDEBUG:--all}"
# No debugger on a crash: the test fails at once with the fault line, not a dump of every process.
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"

# Every Wine process of the run shares this display: a server started without one makes
# later window creation fail.
exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" --inside-display "$build" "$@"
