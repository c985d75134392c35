#!/usr/bin/env bash
# Draws the window as a GTK desktop with a dark theme and a 13-point font shows it (Qt's GTK
# platform theme gives both), on the Overlay Icon page.
#   scripts/theme-picture.sh [OUT.png]   (default docs/dark-large-font.png; needs xvfb and
#                                          qt6-gtk-platformtheme)
# QUORVEL names the program (default build/app/quorvel).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
. scripts/picture-setup.sh
picture_setup theme-picture.sh x docs/dark-large-font.png "${1:-}"
mkdir -p "$work/config/gtk-3.0"
printf '[Settings]\ngtk-font-name=Sans 13\ngtk-application-prefer-dark-theme=true\n' >"$work/config/gtk-3.0/settings.ini"
xvfb-run -a -s "-screen 0 1280x800x24" env QT_QPA_PLATFORM=xcb QT_QPA_PLATFORMTHEME=gtk3 \
  XDG_CONFIG_HOME="$work/config" XDG_STATE_HOME="$work/state" \
  "$bin" --machine "$work/machine" --set tvList=8 --grab "frmMain=$out"
echo "theme-picture.sh: wrote $out"
