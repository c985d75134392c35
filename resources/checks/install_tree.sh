#!/usr/bin/env bash
# Installs the build into a fresh folder and checks that what a desktop looks for resolves there:
# both programs run, the man pages read, the desktop entry's command and icon exist.
# Usage: install_tree.sh BUILD_DIR
set -euo pipefail
build=$1
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
cmake --install "$build" --prefix "$root/usr" >/dev/null
fail() { echo "$*"; exit 1; }

"$root/usr/bin/quorvel" --version | grep -q '^Quorvel ' || fail "quorvel --version"
"$root/usr/bin/quorvel-reg" /? | grep -q '^Usage: quorvel-reg' || fail "quorvel-reg /?"
[ -f "$root/usr/share/quorvel/Quorvel.hlp" ] || fail "help file missing"
for page in quorvel quorvel-reg; do
    f=$root/usr/share/man/man1/$page.1.gz
    [ -f "$f" ] || fail "$f missing"
    if command -v man >/dev/null; then
        MANWIDTH=80 man -l "$f" 2>/dev/null | grep -q "$page" || fail "man -l $f shows nothing"
    fi
done
desktop=$root/usr/share/applications/quorvel.desktop
exec_cmd=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")
[ -x "$root/usr/bin/$exec_cmd" ] || fail "Exec=$exec_cmd is not an installed program"
icon=$(sed -n 's/^Icon=//p' "$desktop")
for size in 16 24 32 48 64 128 256; do
    png=$root/usr/share/icons/hicolor/${size}x${size}/apps/$icon.png
    [ -f "$png" ] || fail "$png missing"
    # The PNG header's width and height are the folder's size.
    dims=$(od -An -tu1 -j16 -N8 "$png" | awk '{print $3*256+$4 "x" $7*256+$8}')
    [ "$dims" = "${size}x${size}" ] || fail "$png is $dims"
done
[ -f "$root/usr/share/icons/hicolor/scalable/apps/$icon.svg" ] || fail "scalable icon missing"
ls "$root"/usr/share/metainfo/*.metainfo.xml >/dev/null || fail "metainfo missing"
for c in quorvel quorvel-reg; do
    bash -n "$root/usr/share/bash-completion/completions/$c" || fail "completion $c"
done
echo "installed tree complete"
