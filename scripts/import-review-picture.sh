#!/usr/bin/env bash
# Draws the review of an opened .reg file (a tuning guide's file) with the machine list: an own
# machine and four Wine prefixes where File > Open Machine finds them.
#   scripts/import-review-picture.sh [OUT.png]      (default docs/import-review.png; needs xvfb)
# QUORVEL names the program (default build/app/quorvel).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
. scripts/picture-setup.sh
picture_setup import-review-picture.sh x docs/import-review.png "${1:-}"
home="$work/home"
run() {
  env HOME="$home" XDG_DATA_HOME="$home/.local/share" XDG_CONFIG_HOME="$home/.config" \
    XDG_STATE_HOME="$home/.local/state" "$@"
}
# Prefixes are own machines' files where the prefix managers keep theirs.
run QT_QPA_PLATFORM=offscreen "$bin" --machine "$work/seed" --list >/dev/null
for d in .wine .local/share/bottles/bottles/Gaming .local/share/bottles/bottles/Office Games/witcher-3/prefix; do
  mkdir -p "$home/$d"
  cp "$work/seed/system.reg" "$work/seed/user.reg" "$home/$d/"
done
printf '%s\r\n' 'Windows Registry Editor Version 5.00' '' \
  '[HKEY_CURRENT_USER\Control Panel\Desktop]' '"MenuShowDelay"="100"' '' \
  '[HKEY_CURRENT_USER\Control Panel\Desktop\WindowMetrics]' '"MinAnimate"="0"' '' \
  '[HKEY_CURRENT_USER\Software\Wine\Direct3D]' '"csmt"=dword:00000000' '"VideoMemorySize"="4096"' > "$work/tuning.reg"
run xvfb-run -a -s "-screen 0 1280x800x24" env QT_QPA_PLATFORM=xcb \
  "$bin" --import "$work/tuning.reg" --grab "frmImportReview=$out"
echo "import-review-picture.sh: wrote $out"
