#!/usr/bin/env bash
# qxtool against a device on another machine: a qxsim device on a pseudo-terminal, ser2net in
# front of it on 127.0.0.1 (a free port, its configuration in a temporary folder), and qxtool
# reaching it as rfc2217://127.0.0.1:PORT and through a COM name mapped to that URL.
#
#   qxtool_over_ser2net.sh QXTOOL [QXSIM]
#
# QXTOOL is this build's qxtool, or qxtool.exe: then it runs under wine (inside
# scripts/run-wine-tests.sh, whose WINEPREFIX it uses), and the COM map is the registry key
# HKCU\Software\Orvandel\Quillon\Ports instead of a file in QX_COM_DIR. QXSIM defaults to
# $qxsim, which scripts/run-wine-tests.sh exports; the launcher and the stand-in user interface
# are taken from beside QXTOOL. Checks: identification (qxtool by URL and by the mapped COM name,
# the scan, the launcher handing the device to the stand-in), a speed change to
# 921600 baud seen by the simulator, bulk and block round trips of an image of 0xFF and 0x00
# bytes, a missing and a short reply, the connection cut in the middle of a transfer (bounded,
# with the code named), qxtool ports, sync --watch.
set -uo pipefail
export LC_ALL=C

tool=$1
sim=${2:-${qxsim:-}}
if [ ! -x "$sim" ]; then
    echo "qxtool_over_ser2net: no qxsim at '$sim'" >&2
    exit 1
fi
ser2net=$(command -v ser2net || echo /usr/sbin/ser2net)
if [ ! -x "$ser2net" ]; then
    echo "qxtool_over_ser2net: ser2net is not installed (scripts/install-deps.sh)" >&2
    exit 1
fi
windows=0
case "$tool" in *.exe) windows=1 ;; esac

work=$(mktemp -d /tmp/qxnet-XXXXXX)
sim_pid=
server_pid=
com=4
map_key='HKCU\Software\Orvandel\Quillon\Ports'
cleanup() {
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
    [ "$windows" = 1 ] && wine reg delete "$map_key" /v "COM$com" /f >/dev/null 2>&1
    rm -rf "$work"
}
trap cleanup EXIT

failures=0
pass() { echo "ok   $*"; }
fail() {
    echo "FAIL $*"
    failures=$((failures + 1))
}

# The tool as a user runs it; file names in the tool's own form.
qx() {
    if [ "$windows" = 1 ]; then
        wine "$tool" "$@"
    else
        QX_COM_DIR=$work/com "$tool" "$@"
    fi
}
# The same, in the background: its process id in $bg.
qx_bg() {
    if [ "$windows" = 1 ]; then
        wine "$tool" "$@" &
    else
        QX_COM_DIR=$work/com "$tool" "$@" &
    fi
    bg=$!
}
path() {
    if [ "$windows" = 1 ]; then winepath -w "$1" 2>/dev/null; else echo "$1"; fi
}
now_ms() { date +%s%3N; }

# One command on the simulator's control port; its answer without the final "ok".
ctl() {
    local line out=""
    exec 3<>"/dev/tcp/127.0.0.1/$control" || return 1
    printf '%s\n' "$*" >&3
    while IFS= read -r -t 10 line <&3; do
        case "$line" in
            ok*) out+="${line#ok}"; break ;;
            error*) echo "qxsim: $line" >&2; exec 3>&-; return 1 ;;
            *) out+="$line"$'\n' ;;
        esac
    done
    exec 3>&-
    printf '%s' "$out"
}

# --- the device and the server --------------------------------------------------------
"$sim" --model O --fw 10.15 --emulation-bank 8 --link "$work/far-tty" --control 0 \
    >"$work/sim.out" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do grep -q ' control ' "$work/sim.out" && break; sleep 0.05; done
control=$(sed -n 's/.* control \([0-9]*\)$/\1/p' "$work/sim.out")
[ -n "$control" ] || { cat "$work/sim.out" >&2; exit 1; }

listening() {
    local hex
    hex=$(printf '0100007F:%04X' "$1")
    awk -v a="$hex" '$2 == a && $4 == "0A" { found = 1 } END { exit !found }' /proc/net/tcp
}

# ser2net on a free port of 127.0.0.1 only, as the README sets it up (replies sent at once:
# tcp(nodelay), chardelay off), without a lock file.
start_server() {
    local attempt
    for attempt in 1 2 3 4 5; do
        port=$((20000 + RANDOM % 40000))
        listening "$port" && continue
        cat >"$work/ser2net.yaml" <<EOF
connection: &qxtest
  accepter: telnet(rfc2217),tcp(nodelay),127.0.0.1,$port
  connector: serialdev(nouucplock=true),$work/far-tty,115200n81,local
  options:
    chardelay: false
EOF
        "$ser2net" -n -c "$work/ser2net.yaml" -P "$work/ser2net.pid" >"$work/ser2net.log" 2>&1 &
        server_pid=$!
        for _ in $(seq 100); do
            listening "$port" && { url=rfc2217://127.0.0.1:$port; return 0; }
            kill -0 "$server_pid" 2>/dev/null || break
            sleep 0.05
        done
        kill "$server_pid" 2>/dev/null
        wait "$server_pid" 2>/dev/null
        server_pid=
    done
    echo "qxtool_over_ser2net: ser2net did not start: $(cat "$work/ser2net.log")" >&2
    exit 1
}
start_server
echo "qxsim control $control, ser2net at $url, tool $tool"

# --- identification, by URL and by a mapped COM name ----------------------------------
out=$(qx --port "$url" --json info 2>"$work/err")
if [ $? = 0 ] && [[ $out == *'"name":"Kelby v10.15"'* ]] && [[ $out == *"\"port\":\"$url\""* ]]; then
    pass "info by URL"
else
    fail "info by URL: $out $(cat "$work/err")"
fi

if [ "$windows" = 1 ]; then
    wine reg add "$map_key" /v "COM$com" /t REG_SZ /d "$url" /f >/dev/null 2>&1
else
    mkdir -p "$work/com"
    echo "$url" >"$work/com/COM$com"
fi
out=$(qx --port "COM$com" --json info 2>"$work/err")
if [ $? = 0 ] && [[ $out == *'"name":"Kelby v10.15"'* ]] && [[ $out == *"\"port\":\"COM$com\""* ]]; then
    pass "info by the mapped COM$com"
else
    fail "info by the mapped COM$com: $out $(cat "$work/err")"
fi
out=$(qx ports 2>"$work/err")
if [[ $out == *"COM$com"*"$url"*opens* ]]; then
    pass "ports lists COM$com as $url, and it opens"
else
    fail "ports: $out $(cat "$work/err")"
fi
out=$(qx detect 2>"$work/err")
if [[ $out == *"COM$com  Kelby v10.15"* ]]; then
    pass "the scan finds COM$com"
else
    fail "the scan: $out $(cat "$work/err")"
fi

# --- the launcher finds it and hands it to the stand-in user interface -----------------
# The stand-in carries a copy of the library of its own: the network port the launcher
# opened is driven from that copy (on Windows, from another module of the process).
bin=$(dirname "$tool")
mkdir -p "$work/data"
if [ "$windows" = 1 ]; then
    printf 'report %s\n' "$(path "$work/report.txt")" >"$work/ui.txt"
    QX_UI_SCRIPT=$(path "$work/ui.txt") wine "$bin/Quillon.exe" >/dev/null 2>&1
    rc=$?
    report=$(tr -d '\r' <"$work/report.txt" 2>/dev/null)
else
    report=$(QX_COM_DIR=$work/com QX_COMMON_APPDATA=$work/data "$bin/quillon" 2>&1)
    rc=$?
fi
if [ $rc = 0 ] && [[ $report == *"device: Kelby v10.15"* ]] && [[ $report == *"port: COM$com"* ]] &&
    [[ $report == *"baud: 921600"* ]] && [[ $report == *"image: ReadBlock 0x0 256 VR_S_OK"* ]]; then
    pass "the launcher found COM$com, raised it to 921600 and the stand-in read the image"
else
    fail "the launcher: status $rc: $report"
fi

# --- 921600 baud, round trips of 0xFF and 0x00 ----------------------------------------
head -c 65536 /dev/urandom | tr '\000-\177' '\377' | tr '\200-\376' '\000' >"$work/image.bin"
ffs=$(tr -cd '\377' <"$work/image.bin" | wc -c)
# Seen at 921600 baud by the simulator: every request of this kind in the transcript.
at_921600() {
    local lines
    lines=$(ctl transcript | awk -v k="$1" '$3 == k { print $1 }' | sort -u)
    [ "$lines" = 921600 ]
}
for trip in "bulk block ZW R" "block bulk W ZR"; do
    set -- $trip
    ctl clear-transcript >/dev/null
    qx -q --port "$url" --baud 921600 write "$(path "$work/image.bin")" --address 0 \
        --method "$1" 2>"$work/err"
    rc=$?
    wrote_fast=0
    at_921600 "$3" && wrote_fast=1
    ctl clear-transcript >/dev/null
    qx -q --port "$url" --baud 921600 read "$(path "$work/back.bin")" --address 0 \
        --length 65536 --method "$2" 2>>"$work/err"
    rc2=$?
    if [ $rc = 0 ] && [ $rc2 = 0 ] && cmp -s "$work/image.bin" "$work/back.bin" &&
        [ $wrote_fast = 1 ] && at_921600 "$4"; then
        pass "$1 write, $2 read at 921600 baud: 64 KiB ($ffs bytes 0xFF) came back"
    else
        fail "$1 write / $2 read: status $rc/$rc2, 921600: $wrote_fast; $(cat "$work/err")"
    fi
done
speed=$(ctl device-speed)
[ "${speed# }" = 115200 ] && pass "the device is back at 115200" || fail "device at $speed"

# --- faults: the named code within bounded time ---------------------------------------
for row in "R:none@2 block" "ZR:short=100@2 bulk"; do
    set -- $row
    ctl clear-faults >/dev/null
    ctl fault "$1" >/dev/null
    start=$(now_ms)
    qx -q --port "$url" read "$(path "$work/x.bin")" --length 16384 --method "$2" 2>"$work/err"
    rc=$?
    elapsed=$(($(now_ms) - start))
    if [ $rc = 1 ] && grep -q 'VR_E_COMM_READ_TIMEOUT (-17)' "$work/err" && [ $elapsed -lt 15000 ]; then
        pass "$1: exit 1, VR_E_COMM_READ_TIMEOUT, $elapsed ms"
    else
        fail "$1: status $rc after $elapsed ms: $(cat "$work/err")"
    fi
done
ctl clear-faults >/dev/null

# The connection cut in the middle of a 512 KiB read on a line throttled to 921600 baud.
ctl config model=O fw=10.15 emulation-bank=8 throttle=1 >/dev/null
ctl clear-transcript >/dev/null
qx_bg -q --port "$url" --baud 921600 read "$(path "$work/big.bin")" --length 524288 \
    --method bulk >/dev/null 2>"$work/err"
tool_pid=$bg
for _ in $(seq 400); do
    count=$(ctl transcript-count)
    [ "${count# }" -ge 12 ] 2>/dev/null && break
    sleep 0.05
done
kill -9 "$server_pid"
wait "$server_pid" 2>/dev/null
server_pid=
cut=$(now_ms)
wait "$tool_pid"
rc=$?
elapsed=$(($(now_ms) - cut))
if [ $rc = 1 ] && grep -q 'VR_E_COMM_READ_TIMEOUT (-17)' "$work/err" && [ $elapsed -lt 8000 ]; then
    pass "connection cut mid-transfer: exit 1, VR_E_COMM_READ_TIMEOUT, $elapsed ms after the cut"
else
    fail "connection cut: status $rc, $elapsed ms after the cut: $(cat "$work/err")"
fi

# --- sync --watch through the network --------------------------------------------------
ctl config model=O fw=10.15 emulation-bank=8 >/dev/null
start_server
head -c 65536 /dev/urandom >"$work/rom.bin"
qx_bg --port "$url" sync "$(path "$work/rom.bin")" --watch >"$work/watch.out" 2>"$work/watch.err"
watch_pid=$bg
lines() { wc -l <"$work/watch.out"; }
for _ in $(seq 600); do [ "$(lines)" -ge 1 ] && break; sleep 0.05; done
# One byte changed (at 0x1234), saved as editors save: a new file renamed over the old.
old=$(od -An -tu1 -j4660 -N1 "$work/rom.bin")
new=$(((old ^ 0xFF)))
cp "$work/rom.bin" "$work/rom.new"
printf "\\$(printf %o $new)" | dd of="$work/rom.new" bs=1 seek=4660 conv=notrunc status=none
mv "$work/rom.new" "$work/rom.bin"
for _ in $(seq 400); do [ "$(lines)" -ge 2 ] && break; sleep 0.05; done
byte=$(ctl read 20 1234 1)
kill -INT "$watch_pid" 2>/dev/null
for _ in $(seq 200); do kill -0 "$watch_pid" 2>/dev/null || break; sleep 0.05; done
kill -9 "$watch_pid" 2>/dev/null
wait "$watch_pid" 2>/dev/null
second=$(sed -n 2p "$work/watch.out")
if [[ $second == *"1 page, 256 bytes written"* ]] && [ "${byte# }" = "$(printf %02X $new)" ]; then
    pass "sync --watch: $second"
else
    fail "sync --watch: '$(cat "$work/watch.out")' device byte '$byte': $(cat "$work/watch.err")"
fi

echo "qxtool_over_ser2net: $failures failure(s)"
[ $failures = 0 ]
