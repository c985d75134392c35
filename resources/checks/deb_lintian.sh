#!/usr/bin/env bash
# Builds the .deb with CPack and has lintian look at it; any error fails.
# Usage: deb_lintian.sh BUILD_DIR
set -euo pipefail
build=$1
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
(cd "$build" && cpack -G DEB -B "$out" >/dev/null)
deb=$(ls "$out"/quorvel_*.deb)
# Dependencies come from shlibdeps: Qt and the C++ library must be among them.
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
grep -q libqt6widgets6 <<<"$depends" || { echo "Qt is not among the dependencies"; exit 1; }
grep -q libstdc++6 <<<"$depends" || { echo "libstdc++ is not among the dependencies"; exit 1; }
report=$(lintian --tag-display-limit 0 "$deb" 2>&1 || true)
echo "$report"
! grep -q '^E: ' <<<"$report"
