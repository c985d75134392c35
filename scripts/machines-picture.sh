#!/usr/bin/env bash
# Draws File > Open Machine over a made-up home folder holding prefixes of several Wine front
# ends (a real home would list the user's own prefixes).
#   scripts/machines-picture.sh [OUT.png]    (default docs/open-machine.png; needs xvfb)
# QUORVEL names the program (default build/app/quorvel).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
. scripts/picture-setup.sh
picture_setup machines-picture.sh x docs/open-machine.png "${1:-}"
home="$work/home"

prefix() {  # FOLDER PRODUCT VERSION
    mkdir -p "$1/dosdevices" "$1/drive_c/windows"
    printf 'WINE REGISTRY Version 2\n;; All keys relative to \\\\Machine\n\n#arch=win64\n\n[Software\\\\Microsoft\\\\Windows NT\\\\CurrentVersion] 1700000000\n"CurrentVersion"="%s"\n"ProductName"="%s"\n' "$3" "$2" >"$1/system.reg"
    printf 'WINE REGISTRY Version 2\n;; All keys relative to \\\\User\\\\S-1-5-21-0-0-0-1000\n\n#arch=win64\n' >"$1/user.reg"
}
prefix "$home/.wine" "Microsoft Windows 10" "6.3"
prefix "$home/.local/share/bottles/bottles/Office-2010" "Microsoft Windows 7" "6.1"
prefix "$home/.local/share/Steam/steamapps/compatdata/1091500/pfx" "Microsoft Windows 10" "6.3"
printf '"AppState"\n{\n\t"appid"\t\t"1091500"\n\t"name"\t\t"Cyber Adventure"\n}\n' \
    >"$home/.local/share/Steam/steamapps/appmanifest_1091500.acf"
prefix "$home/Games/Heroic/Prefixes/Quest" "Microsoft Windows 10" "6.3"
prefix "$home/.PlayOnLinux/wineprefix/Notepad" "Microsoft Windows XP" "5.1"
mkdir -p "$home/.local/share/quorvel"

xvfb-run -a -s "-screen 0 1280x800x24" env -u WINEPREFIX QT_QPA_PLATFORM=xcb HOME="$home" XDG_DATA_HOME="$home/.local/share" \
  XDG_STATE_HOME="$work/state" \
  "$bin" --wine-prefix "$home/.wine" --grab "frmOpenMachine=$out"
echo "machines-picture.sh: wrote $out"
