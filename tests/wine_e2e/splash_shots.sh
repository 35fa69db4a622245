#!/usr/bin/env bash
# Screenshots of the launcher's splash on the virtual display, found and not found:
#
#   splash_shots.sh BIN_DIR SPLASH_BMP OUT_DIR
#
# Runs Quillon.exe under Wine (the display, prefix and qxsim come from run-wine-tests.sh),
# grabs the screen until the launcher ends, and checks the pictures with splash_check.py (each
# verdict stays up 0.7 s, several screenshots). OUT_DIR gets splash-searching.png,
# splash-not-found.png, splash-found.png and splash-no-burning.png.
set -euo pipefail
bin=$1 bitmap=$2 out=$3
here=$(cd "$(dirname "$0")" && pwd)
: "${QX_SIM_CONTROL:?run through scripts/run-wine-tests.sh}" "${DISPLAY:?no display}"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$out"
convert "$bitmap" -depth 8 "$work/splash.ppm"

sim() {  # one control command; fails on anything but "ok"
    exec 3<>"/dev/tcp/127.0.0.1/$QX_SIM_CONTROL"
    echo "$1" >&3
    local reply
    read -r reply <&3
    exec 3>&-
    [[ $reply == ok* ]] || { echo "qxsim: '$1': $reply" >&2; return 1; }
}

shoot() {  # RUN: the screenshots of one launcher run, into $work/RUN
    local frames=$work/$1 pid n=0
    mkdir -p "$frames"
    # Without a script the stand-in reports to the console and returns at once.
    QX_UI_SCRIPT= wine "$bin/Quillon.exe" >"$frames/launcher.out" 2>&1 &
    pid=$!
    while kill -0 "$pid" 2>/dev/null && [ $n -lt 400 ]; do
        import -window root -depth 8 "$frames/$(printf %04d $n).ppm" 2>/dev/null || true
        n=$((n + 1))
    done
    wait "$pid" || { echo "$1: Quillon.exe exited with $?" >&2; return 1; }
    echo "$1: $n screenshots"
}

# keep RUN WHICH EXPECT NAME [OTHER]: checks a screenshot of RUN, the newest that shows the
# splash (WHICH=last) or the newest that passes (WHICH=any), and keeps it as OUT_DIR/NAME.png
# (and $work/NAME.ppm). OTHER: a kept screenshot whose line 2 must differ.
keep() {
    local run=$1 which=$2 expect=$3 name=$4 other=${5:+$work/$5.ppm} f rc
    for f in $(ls -r "$work/$run"/*.ppm); do
        rc=0
        python3 "$here/splash_check.py" "$f" "$work/splash.ppm" "$expect" $other >"$f.txt" || rc=$?
        [ $rc -eq 3 ] && continue
        [ $rc -ne 0 ] && [ "$which" = any ] && continue
        convert "$f" "$out/$name.png"
        cp "$f" "$work/$name.ppm"
        echo "$name: $(cat "$f.txt") -> $out/$name.png"
        [ $rc -eq 0 ] || { echo "$name: wrong splash" >&2; return 1; }
        return 0
    done
    echo "$name: no screenshot of run $run shows it" >&2
    return 1
}

status=0
sim 'fault *:none'
# A silent device: "Searching for Hardware..." (dark), then "No Hardware Found" (red).
if shoot silent; then
    keep silent any dark splash-searching || status=1
    keep silent last red splash-not-found || status=1
else
    status=1
fi
sim clear-faults
# The simulated Kelby is found ("Found: ...", dark and unlike the search line), then turned
# down in red: it cannot burn.
if shoot found; then
    keep found any dark splash-found splash-searching || status=1
    keep found last red splash-no-burning || status=1
else
    status=1
fi
exit $status
