#!/usr/bin/env bash
# The bash completion of qxtool against the built qxtool: what it offers at each point of a
# command line.
#   test_qxtool_completion.sh COMPLETION_FILE QXTOOL_DIR
set -u
# shellcheck source=/dev/null
source "$1"
PATH="$(cd "$2" && pwd):$PATH"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
touch firmware.hex fifth.bin other.txt
mkdir com
ln -s /dev/null com/COM3
export QX_COM_DIR=$work/com

# What the completion offers for LINE (the cursor at its end).
offers() {
    local line=$1
    read -ra COMP_WORDS <<<"$line"
    [[ $line == *" " ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    _qxtool
    printf '%s\n' "${COMPREPLY[@]}"
}

# line | offered (every one) | not offered (none of them)
cases=(
    "qxtool |ports detect info read write verify sync eeprom bank speed flashinfo serial tolliver|firmware.hex --port"
    "qxtool --|--port --baud --log --json --quiet --verbose --help --version|detect"
    "qxtool --ba|--baud|--port --log"
    "qxtool --baud |921600 460800 230400 115200|detect"
    "qxtool --port |COM3|detect"
    "qxtool -p COM3 |detect write|COM3"
    "qxtool --log |firmware.hex fifth.bin other.txt|detect"
    "qxtool --log x.log |detect write|x.log"
    "qxtool eeprom |read write|detect firmware.hex"
    "qxtool eeprom read --|--help|--format"
    "qxtool bank set --|--rw --emulation --persistent|--format"
    "qxtool write |firmware.hex fifth.bin other.txt|detect"
    "qxtool write fi|firmware.hex fifth.bin|other.txt"
    "qxtool write --|--format --method --address --fill --no-verify --port|--persistent"
    "qxtool write --format |bin ihex srec|firmware.hex"
    "qxtool --port COM3 read --method |bulk block|bin"
    "qxtool sync --|--watch --assume-written|--alt"
    "qxtool tolliver |mode|read"
)
failures=0
for c in "${cases[@]}"; do
    IFS='|' read -r line want refuse <<<"$c"
    got=$(offers "$line")
    for w in $want; do
        if ! grep -qxF -- "$w" <<<"$got"; then
            echo "FAIL: '$line' does not offer $w (offers: $(echo $got))"
            failures=$((failures + 1))
        fi
    done
    for w in $refuse; do
        if grep -qxF -- "$w" <<<"$got"; then
            echo "FAIL: '$line' offers $w"
            failures=$((failures + 1))
        fi
    done
done
echo "${#cases[@]} command lines, $failures failures"
[ "$failures" -eq 0 ]
