#!/usr/bin/env bash
# A screenshot of the stand-in's window with the debug window open and filled:
#
#   ui_shot.sh BIN_DIR OUT_DIR
#
# Runs the screenshot case of test_uilib_win.exe under Wine (display, prefix and qxsim come
# from scripts/run-wine-tests.sh); when it says the screen is ready, grabs the display into
# OUT_DIR/ui-debug-window.png and lets it close. The picture must not be blank.
set -euo pipefail
bin=$1 out=$2
: "${QX_SIM_CONTROL:?run through scripts/run-wine-tests.sh}" "${DISPLAY:?no display}"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$out"
winpath() { printf 'Z:%s' "${1//\//\\}"; }

QX_UI_SHOT_READY=$(winpath "$work/ready") QX_UI_SHOT_DONE=$(winpath "$work/done") \
    wine "$bin/test_uilib_win.exe" --gtest_filter='*ScreenshotWithTheDebugWindow' \
    >"$work/test.out" 2>&1 &
pid=$!
for _ in $(seq 600); do
    [ -e "$work/ready" ] && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
done
status=0
if [ -e "$work/ready" ]; then
    import -window root -depth 8 "$out/ui-debug-window.png" || status=1
else
    echo "ui_shot: the window never became ready" >&2
    status=1
fi
touch "$work/done"
wait "$pid" || { echo "ui_shot: the test program failed:" >&2; cat "$work/test.out" >&2; status=1; }
if [ $status -eq 0 ]; then
    # A blank or single-colour screen means nothing was drawn.
    colours=$(convert "$out/ui-debug-window.png" -format '%k' info:)
    echo "ui_shot: $out/ui-debug-window.png, $colours colours"
    [ "$colours" -gt 8 ] || { echo "ui_shot: the screenshot is blank" >&2; status=1; }
fi
exit $status
