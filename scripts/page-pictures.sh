#!/usr/bin/env bash
# Saves a picture of the window showing each option page, over a freshly seeded own machine:
#   scripts/page-pictures.sh [OUTDIR]     (default docs/pages; NN-<node key>.png, '$' as '-')
# Drawn offscreen by the program's scripting mode; no X server is needed. QUORVEL names the
# program (default build/app/quorvel). Prints the README's "Pages" list for the pictures.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
out="${1:-docs/pages}"
bin="${QUORVEL:-build/app/quorvel}"
[ -x "$bin" ] || { echo "page-pictures.sh: $bin is not built (./run.sh --version builds it)" >&2; exit 1; }

# The nodes whose page holds controls; the folders above them show only a description.
pages="4 5 6 8 10 11 13 14 15 16 17 18 21 22 23 24 26 27 29 30 31 32 33"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$out"
export QT_QPA_PLATFORM=offscreen
for n in $pages; do
  # The node table's line: {N, "KEY", "TEXT", ...
  line=$(grep -E "^[[:space:]]*\{$n, \"" app/nodes.cpp) || { echo "page-pictures.sh: node $n is not in app/nodes.cpp" >&2; exit 1; }
  key=$(sed -E 's/^[^"]*"([^"]*)".*/\1/' <<<"$line")
  text=$(sed -E 's/^[^"]*"[^"]*", "([^"]*)".*/\1/' <<<"$line")
  file="$out/$(printf '%02d' "$n")-${key//\$/-}.png"
  "$bin" --machine "$work/machine" --set "tvList=$n" --grab "frmMain=$file" >/dev/null
  echo "- [$text]($file)"
done
