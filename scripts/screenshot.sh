#!/usr/bin/env bash
# Starts the window on a fresh own machine under a virtual X server and saves a screenshot of it.
#   scripts/screenshot.sh [OUT.png]      (default docs/window.png; needs xvfb and imagemagick)
# QUORVEL names the program to show (default build/app/quorvel).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
out="${1:-docs/window.png}"
bin="${QUORVEL:-build/app/quorvel}"
for tool in xvfb-run import convert; do
  command -v "$tool" >/dev/null || { echo "screenshot.sh: $tool is missing (apt-get install xvfb xauth imagemagick)" >&2; exit 1; }
done
[ -x "$bin" ] || { echo "screenshot.sh: $bin is not built (./run.sh --version builds it)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$(dirname "$out")"
# The root window is black and the window has no frame without a window manager, so trimming
# the black leaves exactly the window.
xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
  bin=$1; work=$2
  QT_QPA_PLATFORM=xcb "$bin" --machine "$work/machine" & pid=$!
  for _ in $(seq 50); do
    sleep 0.2
    import -window root "$work/root.png" 2>/dev/null || continue
    [ "$(convert "$work/root.png" -trim -format %w info: 2>/dev/null)" -gt 100 ] && break
  done
  sleep 0.5
  import -window root "$work/root.png"
  kill "$pid"
' _ "$bin" "$work"
convert "$work/root.png" -trim +repage "$out"
echo "saved $out"
