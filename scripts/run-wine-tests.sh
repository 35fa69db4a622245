#!/usr/bin/env bash
# Runs ctest in a Windows (MinGW cross) build directory under 32-bit Wine, inside one
# virtual X display, so tests can create and drive real windows.
#
#   run-wine-tests.sh BUILD_DIR [ctest arguments...]
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
export WINEARCH=win32
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="mscoree,mshtml="

# Every Wine process of the run shares this display: a server started without one makes
# later window creation fail.
exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" --inside-display "$build" "$@"
