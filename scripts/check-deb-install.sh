#!/usr/bin/env bash
# Builds the .deb, installs it with apt-get as a user would, checks that the installed program,
# its manual, desktop entry and icons are where the desktop looks, and removes it again.
# Usage: scripts/check-deb-install.sh [BUILD_DIR]   (root or sudo; skipped when neither)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
build=${1:-build}
sudo=()
if [ "$(id -u)" != 0 ]; then
  if ! sudo -n true 2>/dev/null; then
    echo "check-deb-install.sh: skipped (installing a package needs root or sudo)"
    exit 0
  fi
  sudo=(sudo -n)
fi
if dpkg-query -W -f='${Status}' quorvel 2>/dev/null | grep -q "install ok installed"; then
  echo "check-deb-install.sh: skipped (a quorvel package is installed here; it is left alone)"
  exit 0
fi
out=$(mktemp -d)
chmod 755 "$out"  # apt's sandbox user reads the package from here
cleanup() {
  "${sudo[@]}" apt-get remove -y -qq quorvel >/dev/null 2>&1 || true
  rm -rf "$out"
}
trap cleanup EXIT
(cd "$build" && cpack -G DEB -B "$out" >/dev/null)
deb=$(ls "$out"/quorvel_*.deb)
chmod 644 "$deb"
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$deb" >/dev/null

status=0
check() {  # WHAT COMMAND...
  local what=$1
  shift
  if "$@" >/dev/null 2>&1; then echo "ok: $what"; else echo "FAILED: $what"; status=1; fi
}
check "quorvel on PATH is the package's" test "$(command -v quorvel)" = /usr/bin/quorvel
check "quorvel --version" env QT_QPA_PLATFORM=offscreen quorvel --version
check "quorvel-reg /?" quorvel-reg /?
check "man quorvel" man -w quorvel
check "man quorvel-reg" man -w quorvel-reg
check "desktop entry" desktop-file-validate /usr/share/applications/quorvel.desktop
exec_line=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' /usr/share/applications/quorvel.desktop)
check "desktop entry's Exec ($exec_line) runs" command -v "$exec_line"
icon=$(sed -n 's/^Icon=//p' /usr/share/applications/quorvel.desktop)
for size in 16 24 32 48 64 128 256; do
  check "icon $icon at $size" test -s "/usr/share/icons/hicolor/${size}x${size}/apps/$icon.png"
done
check "scalable icon" test -s "/usr/share/icons/hicolor/scalable/apps/$icon.svg"
check "metainfo" test -s /usr/share/metainfo/io.github.quorvel.Quorvel.metainfo.xml
exit $status
