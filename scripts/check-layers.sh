#!/usr/bin/env bash
# Fails when a source file includes a header of a layer above its own (a test of the build).
# Every folder includes by path from the repository root ("device/qx_vorrel.h"), so the
# compiler alone cannot refuse such an include; this list is the rule, lowest layer first.
#
#   base      bounded text, result codes
#   platform  the OS seam
#   log       log sink, text sink
#   serial    the serial port object
#   device    the device object and its operations
#   win32ui   the Win32 windows (debug output, dialogs); linked by the stand-in UI only
#   launcher, tools/qxtool, uilib  the programs; tools/qxsim stands apart (the device's side)
set -euo pipefail
cd "$(dirname "$0")/.."

declare -A may=(
  [base]=""
  [platform]="base"
  [log]="base platform"
  [serial]="base platform log"
  [device]="base platform log serial"
  [win32ui]="base platform log"
  [launcher]="base platform log serial device resources"
  [tools/qxtool]="base platform log serial device resources"
  [tools/qxsim]="resources"
  [uilib]="base platform log serial device win32ui resources launcher/ui_procedure.h"
)

status=0
for layer in "${!may[@]}"; do
  allowed=" $layer ${may[$layer]} "
  while IFS=: read -r file line text; do
    target=$(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' <<<"$text")
    case "$target" in */*) ;; *) continue ;; esac
    folder=${target%%/*}
    [ "$folder" = tools ] && folder=$(cut -d/ -f1-2 <<<"$target")
    [[ "$allowed" == *" $folder "* || "$allowed" == *" $target "* ]] && continue
    echo "$file:$line: $layer may not include $target"
    status=1
  done < <(grep -rn --include='*.cpp' --include='*.h' '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$layer" || true)
done
[ "$status" = 0 ] && echo "check-layers: every include stays in its layer or below"
exit "$status"
