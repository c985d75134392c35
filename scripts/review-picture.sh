#!/usr/bin/env bash
# Draws the Review Changes dialog over a fresh own machine with a few pages changed.
#   scripts/review-picture.sh [OUT.png]      (default docs/review.png; needs xvfb)
# QUORVEL names the program (default build/app/quorvel).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
. scripts/picture-setup.sh
picture_setup review-picture.sh x docs/review.png "${1:-}"
xvfb-run -a -s "-screen 0 1280x800x24" env QT_QPA_PLATFORM=xcb XDG_STATE_HOME="$work/state" \
  "$bin" --machine "$work/machine" \
  --set "txtRegisteredName=Ada Lovelace" --set "chkAnimateWindows=1" --set "sldMenuShowDelay=100" \
  --set "lstDrives=A:,B:" --set "lvNewMenu[.bfc\\ShellNew]=0" \
  --grab "frmChanges=$out"
echo "review-picture.sh: wrote $out"
