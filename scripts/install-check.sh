#!/usr/bin/env bash
# Installs each package of dist/ (scripts/package.sh) the way a user would and runs the
# installed programs against qxsim. Prints the packages' sizes and one line per check; exits 1
# when a check fails.
#
#   scripts/install-check.sh               every package
#   scripts/install-check.sh deb msi zip   only these
#
# deb  lintian (anything beyond the package's own reasoned overrides fails); apt-get install;
#      the installed qxtool --version, qxtool detect and quillon against the installed qxsim as
#      COM3 (found, settings written); man -w qxtool; the bash completion; apt-get remove:
#      every file gone. Needs root or sudo.
# msi  under Wine, in the prefix the Windows tests use: an older version installed silently,
#      this one over it (upgrade in place, one Add/Remove Programs entry), the files in
#      Program Files\Quillon and the Start-menu shortcut, the installed Quillon.exe against
#      qxsim as COM3 (found, settings written) before and after the upgrade, the installed
#      qxtool.exe info; silent uninstall: the program and its shortcut gone, the settings file
#      kept.
# zip  unzipped into a folder whose name has a space; Quillon.exe and qxtool.exe run there.
#
# The Windows programs are 32-bit. On a machine that runs no 32-bit code the installer still
# installs, upgrades and uninstalls through 64-bit Wine (Program Files (x86)); the checks that
# run the programs are reported as skipped, with the reason.
#
# Environment: QX_QXSIM, the simulator for the Windows checks (default build/bin/qxsim);
# QX_WINE_BUILD, the build whose wineprefix is used (default build-win, or build-win64 on a
# machine without 32-bit code); QX_CHECK_NO32=1 checks as on a machine without 32-bit code.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

if [ "${1:-}" = --inside-display ]; then
  inside=1
  shift
else
  inside=0
fi

kinds=("$@")
[ ${#kinds[@]} -eq 0 ] && kinds=(deb msi zip)
for k in "${kinds[@]}"; do
  case "$k" in
    deb|msi|zip) ;;
    *) echo "install-check.sh: deb, msi or zip, not $k" >&2; exit 2 ;;
  esac
done
wants() { [[ " ${kinds[*]} " == *" $1 "* ]]; }

version=$(sed -n 's/^project(Quillon VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
deb=dist/quillon_${version}_amd64.deb
msi=dist/Quillon-$version-win32.msi
zip=dist/Quillon-$version-win32-portable.zip

# One line per check in $results: "ok|skipped|FAILED <check> <detail>".
results=${QX_CHECK_RESULTS:-}
record() {  # status check detail
  printf '%-8s %-34s %s\n' "$1" "$2" "$3" >>"$results"
  printf 'install-check: %-8s %-34s %s\n' "$1" "$2" "$3"
}
check() {  # check detail command... : ok when the command succeeds
  local name=$1 detail=$2
  shift 2
  if "$@"; then record ok "$name" "$detail"; else record FAILED "$name" "$detail"; fi
}
has_line() { grep -qF -- "$2" <<<"$1"; }
# Runs a command with its output kept back, shown only when it fails.
quietly() {
  local log
  log=$(mktemp)
  if "$@" >"$log" 2>&1; then rm -f "$log"; return 0; fi
  sed 's/^/    /' "$log"
  rm -f "$log"
  return 1
}
# The four files we ship, in FOLDER; with REFERENCE, byte for byte the same as there.
shipped_files() {  # folder [reference]
  local f
  for f in Quillon.exe Tarnwell.dll qxtool.exe README.txt; do
    [ -s "$1/$f" ] || return 1
    [ -z "${2:-}" ] || cmp -s "$1/$f" "$2/$f" || return 1
  done
}

# ---------------------------------------------------------------- Wine (inside the display)
if [ "$inside" = 1 ]; then
  work=$QX_CHECK_WORK
  run32=$QX_CHECK_RUN32
  drive_c=$WINEPREFIX/drive_c
  if [ "$run32" = 1 ]; then
    progfiles="Program Files"
  else
    progfiles="Program Files (x86)"
  fi
  installed="$drive_c/$progfiles/Quillon"
  installed_win="C:\\$progfiles\\Quillon"
  # Windows puts a per-machine installation's shortcut in the common Start menu; Wine's
  # installer puts it in the user's.
  programs="Microsoft/Windows/Start Menu/Programs"
  shortcuts=("$drive_c/ProgramData/$programs/Quillon.lnk"
             "$drive_c/users/$(id -un)/AppData/Roaming/$programs/Quillon.lnk")
  shortcut() {  # the shortcut that exists, else nothing
    local s
    for s in "${shortcuts[@]}"; do [ -s "$s" ] && echo "$s" && return; done
    return 0
  }
  settings="$drive_c/ProgramData/Orvandel/QuillonSettings.dat"
  no32="the programs are 32-bit and this machine runs no 32-bit code"

  if [ ! -f "$WINEPREFIX/.qx-configured" ]; then
    [ -f "$WINEPREFIX/system.reg" ] || wineboot --init
    wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null
    wineserver -w
    touch "$WINEPREFIX/.qx-configured"
  fi
  wineserver -p 2>/dev/null || true
  sim_pid=
  trap '[ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null; wineserver -k 2>/dev/null || true' EXIT
  wine cmd /c exit 0
  # The simulator's pseudo-terminal is the prefix's only COM port (as in the Windows tests).
  rm -f "$WINEPREFIX"/dosdevices/com[0-9]*
  rm -rf "$drive_c/ProgramData/Orvandel"

  winpath() { winepath -w "$1" 2>/dev/null; }
  uninstall_entries() {  # the Add/Remove Programs entries of the product: "name|version"
    local view=()
    [ "$run32" = 0 ] && view=(/reg:32)
    wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s "${view[@]}" \
      2>/dev/null | tr -d '\r' | awk '
        /^HKEY/ { if (name != "") print name "|" ver; name = ""; ver = "" }
        $1 == "DisplayName" { $1 = ""; $2 = ""; sub(/^ +/, ""); name = $0 }
        $1 == "DisplayVersion" { ver = $3 }
        END { if (name != "") print name "|" ver }' | grep '^Quillon' || true
  }
  msiexec_run() {  # action package
    quietly timeout 300 wine msiexec "$1" "$(winpath "$2")" /qn
  }
  # Runs Quillon.exe from FOLDER (a Windows path) against the simulator; the stand-in's report.
  run_launcher() {
    local folder=$1 report=$work/report.txt
    rm -f "$report"
    printf 'report %s\n' "$(winpath "$report")" >"$work/script.txt"
    QX_UI_SCRIPT=$(winpath "$work/script.txt") timeout 120 wine "$folder\\Quillon.exe" || true
    cat "$report" 2>/dev/null || true
  }
  found_kelby() {  # report
    has_line "$1" "device: Kelby v10.15" && has_line "$1" "port: COM3"
  }

  if [ "$run32" = 1 ]; then
    "$QX_QXSIM" --model O --fw 10.15 --link "$WINEPREFIX/dosdevices/com3" >"$work/qxsim.log" 2>&1 &
    sim_pid=$!
    for _ in $(seq 100); do grep -q ready "$work/qxsim.log" && break; sleep 0.05; done
    if ! grep -q ready "$work/qxsim.log"; then
      record FAILED "wine: qxsim" "$(cat "$work/qxsim.log")"
      exit 0
    fi
  fi

  if wants msi; then
    # The older version: the same files as version 1.82.
    check "msi: older version, silent install" "msiexec /i (1.82) /qn" \
      msiexec_run /i "$work/Quillon-old.msi"
    entries=$(uninstall_entries)
    check "msi: 1.82 registered" "Add/Remove Programs: ${entries//$'\n'/; }" \
      test "$entries" = "Quillon Software|1.82"
    if [ "$run32" = 1 ]; then
      out=$(run_launcher "$installed_win")
      check "msi: 1.82 Quillon.exe finds COM3" "settings written" \
        eval 'found_kelby "$out" && [ "$(stat -c %s "$settings" 2>/dev/null)" = 552 ]'
    fi

    check "msi: silent install over 1.82" "msiexec /i $(basename "$msi") /qn" \
      msiexec_run /i "$root/$msi"
    entries=$(uninstall_entries)
    check "msi: upgraded in place" "Add/Remove Programs: ${entries//$'\n'/; }" \
      test "$entries" = "Quillon Software|$version"
    check "msi: files in $progfiles\\Quillon" "Quillon.exe Tarnwell.dll qxtool.exe README.txt" \
      shipped_files "$installed" "$work/files/Quillon-$version"
    found=$(shortcut)
    check "msi: Start-menu shortcut" "${found#"$drive_c"/}" \
      eval '[ -n "$found" ] && strings -a "$found" | grep -qxF "$installed_win\\Quillon.exe"'

    if [ "$run32" = 1 ]; then
      out=$(run_launcher "$installed_win")
      check "msi: Quillon.exe finds COM3" "$(grep '^device:' <<<"$out" || echo 'no device')" \
        found_kelby "$out"
      check "msi: settings kept and written" "$(grep '^settings:' <<<"$out" || echo 'no report')" \
        eval 'has_line "$out" "settings: kept, layout 1, run 2" &&
              [ "$(stat -c %s "$settings" 2>/dev/null)" = 552 ]'
      out=$(timeout 120 wine "$installed_win\\qxtool.exe" --port COM3 info 2>&1 | tr -d '\r' ||
        true)
      check "msi: qxtool.exe info" "$(head -1 <<<"$out")" has_line "$out" "Kelby v10.15"
      out=$(timeout 60 wine "$installed_win\\qxtool.exe" --version 2>&1 | tr -d '\r' || true)
      check "msi: qxtool.exe --version" "$out" has_line "$out" "qxtool $version"
    else
      record skipped "msi: installed programs run" "$no32"
      # The uninstall must still leave a settings file alone.
      mkdir -p "$(dirname "$settings")"
      head -c 552 /dev/zero >"$settings"
    fi

    check "msi: silent uninstall" "msiexec /x /qn" msiexec_run /x "$root/$msi"
    check "msi: program gone" "no $progfiles\\Quillon, no shortcut, no entry" \
      eval '[ ! -e "$installed" ] && [ -z "$(shortcut)" ] && [ -z "$(uninstall_entries)" ]'
    check "msi: settings file kept" "ProgramData\\Orvandel\\QuillonSettings.dat" \
      test "$(stat -c %s "$settings" 2>/dev/null)" = 552
    rm -rf "$drive_c/ProgramData/Orvandel"
  fi

  if wants zip; then
    folder="$work/Quillon portable"
    mkdir -p "$folder"
    check "zip: unzipped" "into '$folder'" unzip -q "$root/$zip" -d "$folder"
    check "zip: files" "Quillon-$version\\{Quillon.exe,Tarnwell.dll,qxtool.exe,README.txt}" \
      shipped_files "$folder/Quillon-$version"
    if [ "$run32" = 1 ]; then
      out=$(run_launcher "$(winpath "$folder/Quillon-$version")")
      check "zip: Quillon.exe finds COM3" "$(grep '^device:' <<<"$out" || echo 'no device')" \
        eval 'found_kelby "$out" && [ "$(stat -c %s "$settings" 2>/dev/null)" = 552 ]'
      out=$(timeout 60 wine "$(winpath "$folder/Quillon-$version")\\qxtool.exe" --version 2>&1 |
        tr -d '\r' || true)
      check "zip: qxtool.exe --version" "$out" has_line "$out" "qxtool $version"
      rm -rf "$drive_c/ProgramData/Orvandel"
    else
      record skipped "zip: Quillon.exe run" "$no32"
    fi
  fi
  exit 0
fi

# ---------------------------------------------------------------- outside: packages, deb
work=$(mktemp -d "${TMPDIR:-/tmp}/quillon-install-check.XXXXXX")
sim_pid=
SUDO=()
deb_installed=0
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null
  # A check that stopped half way must not leave the package installed.
  if [ "$deb_installed" = 1 ]; then
    "${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq quillon >/dev/null 2>&1
  fi
  rm -rf "$work"
}
trap cleanup EXIT
results=$work/results
: >"$results"
start=$(date +%s)

echo "install-check: packages"
for f in "$deb" "$msi" "$zip"; do
  if [ -f "$f" ]; then
    printf '  %-44s %9d bytes (%s)\n' "$f" "$(stat -c %s "$f")" "$(du -h "$f" | cut -f1)"
  fi
done

missing=0
for k in "${kinds[@]}"; do
  f=${!k}
  if [ ! -f "$f" ]; then
    record FAILED "$k: package" "$f missing (run scripts/package.sh)"
    missing=1
  fi
done

if wants deb && [ -f "$deb" ]; then
  [ "$(id -u)" -ne 0 ] && SUDO=(sudo -n)
  if ! "${SUDO[@]}" true 2>/dev/null; then
    record skipped "deb: install" "needs root or password-less sudo"
  elif dpkg-query -W -f='${Status}' quillon 2>/dev/null | grep -q "ok installed"; then
    record FAILED "deb: install" "a quillon package is installed already; remove it first"
  else
    # lintian: the package carries its accepted findings, each with its reason, as overrides.
    out=$(lintian --allow-root --fail-on none --display-info --show-overrides "$deb" 2>&1) ||
      out+=$'\nE: lintian did not run'
    [ -n "$out" ] && sed 's/^/  lintian: /' <<<"$out"
    check "deb: lintian" \
      "$(grep -c '^[EWI]:' <<<"$out") open, $(grep -c '^O:' <<<"$out") accepted" \
      eval '! grep -q "^[EW]:" <<<"$out"'
    deb_installed=1
    check "deb: apt-get install" "$deb" quietly "${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive \
      apt-get install -y --no-install-recommends "$root/$deb"
    files=$(dpkg-query -L quillon 2>/dev/null || true)
    out=$(/usr/bin/qxtool --version 2>&1 || true)
    check "deb: qxtool --version" "$out" has_line "$out" "qxtool $version"
    mkdir -p "$work/com" "$work/data" "$work/lock"
    /usr/bin/qxsim --model O --fw 10.15 --com 3 --com-dir "$work/com" >"$work/qxsim.log" 2>&1 &
    sim_pid=$!
    for _ in $(seq 100); do grep -q ready "$work/qxsim.log" && break; sleep 0.05; done
    out=$(QX_COM_DIR=$work/com /usr/bin/qxtool detect 2>&1 || true)
    check "deb: qxtool detect" "$out" has_line "$out" "COM3  Kelby v10.15"
    out=$(QX_COM_DIR=$work/com QX_COMMON_APPDATA=$work/data QX_LOCK_DIR=$work/lock NO_COLOR=1 \
      timeout 60 /usr/bin/quillon 2>&1 || true)
    check "deb: quillon finds COM3" "$(grep -m1 '^Found' <<<"$out" || echo 'not found')" \
      eval 'has_line "$out" "Found: Kelby v10.15" &&
            [ "$(stat -c %s "$work/data/Orvandel/QuillonSettings.dat" 2>/dev/null)" = 552 ]'
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
    sim_pid=
    out=$(man -w qxtool 2>&1 || true)
    check "deb: man -w qxtool" "$out" test "$out" = /usr/share/man/man1/qxtool.1.gz
    out=$(bash -c '. /usr/share/bash-completion/completions/qxtool && complete -p qxtool' 2>&1 ||
      true)
    check "deb: bash completion" "$out" has_line "$out" "-F _qxtool qxtool"
    check "deb: apt-get remove" "quillon" quietly "${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive \
      apt-get remove -y quillon
    deb_installed=0
    # Every file, and every folder of our own, gone.
    left=$(while read -r f; do
      [ -n "$f" ] || continue
      if [ -d "$f" ] && [[ $f != */quillon ]]; then continue; fi
      if [ -e "$f" ] || [ -L "$f" ]; then echo "$f"; fi
    done <<<"$files")
    check "deb: removed cleanly" "$(wc -l <<<"$files") paths listed, ${left:-none} left" \
      eval '[ -z "$left" ] &&
            ! dpkg-query -W -f="\${Status}" quillon 2>/dev/null | grep -q "ok installed"'
  fi
fi

if { wants msi && [ -f "$msi" ]; } || { wants zip && [ -f "$zip" ]; }; then
  if [ "${QX_CHECK_NO32:-0}" != 1 ] && /usr/lib/wine/wine --version >/dev/null 2>&1; then
    run32=1
    wbuild=${QX_WINE_BUILD:-build-win}
    export WINEARCH=win32
  else
    run32=0
    wbuild=${QX_WINE_BUILD:-build-win64}
    export WINEARCH=win64
    echo "install-check: this machine runs no 32-bit code: the installer is checked through" \
      "64-bit Wine, the 32-bit programs are not run"
    # As in scripts/run-wine-tests.sh: "wine" must mean the 64-bit loader here.
    if [ -x /usr/lib/wine/wine64 ]; then
      mkdir -p "$work/wine64-shim"
      for name in wine wine-stable; do
        printf '#!/bin/sh\nexport WINELOADER=/usr/lib/wine/wine64\nexec /usr/lib/wine/wine64 "$@"\n' \
          >"$work/wine64-shim/$name"
        chmod +x "$work/wine64-shim/$name"
      done
      export PATH="$work/wine64-shim:$PATH"
    fi
  fi
  mkdir -p "$root/$wbuild"
  export WINEPREFIX=${WINEPREFIX:-$root/$wbuild/wineprefix}
  export WINEDEBUG=-all
  # No desktop menu entries for the user running the check.
  export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
  export QX_QXSIM=${QX_QXSIM:-$root/build/bin/qxsim}
  if [ "$run32" = 1 ] && [ ! -x "$QX_QXSIM" ]; then
    record FAILED "wine: qxsim" "no simulator at $QX_QXSIM (set QX_QXSIM)"
  else
    # The installed files as packaged (the zip holds the same files as the installer) and an
    # older installer of them for the upgrade.
    mkdir -p "$work/files"
    if [ -f "$zip" ]; then
      unzip -q "$zip" -d "$work/files"
      cp resources/quillon.ico "$work/files/"
      wants msi && (cd "$work/files" && wixl -a x86 -D Version=1.82 -D Files="Quillon-$version" \
        -D Icon=quillon.ico -o "$work/Quillon-old.msi" "$root/packaging/quillon.wxs")
    fi
    if wants msi && [ ! -f "$work/Quillon-old.msi" ]; then
      record FAILED "msi: older version" "needs $zip for the files"
    else
      QX_CHECK_RESULTS=$results QX_CHECK_WORK=$work QX_CHECK_RUN32=$run32 \
        xvfb-run -a -s "-screen 0 1024x768x24" bash "$0" --inside-display "${kinds[@]}" ||
        record FAILED "wine" "the checks under Wine stopped (status $?)"
    fi
  fi
fi

echo
echo "install-check: results ($(( $(date +%s) - start )) s)"
sed 's/^/  /' "$results"
failed=$(grep -c '^FAILED' "$results" || true)
echo "install-check: $(grep -c '^ok' "$results") ok, $(grep -c '^skipped' "$results") skipped," \
  "$failed failed"
[ "$failed" -eq 0 ] && [ "$missing" -eq 0 ]
