#!/usr/bin/env bash
# A double click on a .reg file, as a desktop does it: the build is installed into a fresh prefix,
# Quorvel is made the default for the .reg type among the applications its desktop entry registers,
# and `gio open FILE.reg` runs on a virtual X display. The installed quorvel must start with that
# file and show its review. The screen is kept as BUILD_DIR/desktop_open_reg.png.
# Usage: open_reg_from_desktop.sh BUILD_DIR   (exit 77: a tool it needs is missing)
set -euo pipefail

# An opened file's review is titled "Review NAME.reg" (ImportReviewDialog); the window is the
# program's (WM_CLASS "quorvel") and is transient for its main window.
review_title="Review "
mime_type=text/x-ms-regedit
wait_seconds=60

fail() { echo "FAILED: $*"; exit 1; }

if [ "${1:-}" = --on-display ]; then
    shift
    reg=$1 shot=$2 prefix=$3
    review_title+=$(basename "$reg")
    running() {  # the installed program's processes
        local p
        for p in /proc/[0-9]*; do
            [ "$(readlink "$p/exe" 2>/dev/null)" = "$prefix/bin/quorvel" ] && echo "${p#/proc/}"
        done
        return 0
    }
    cleanup() {
        # gio does not wait for what it starts: the program is ended by its process id, and waited
        # for (bounded), so that nothing holds on to the test's output.
        local pids
        mapfile -t pids < <(running)
        [ ${#pids[@]} -gt 0 ] || return 0
        kill "${pids[@]}" 2>/dev/null
        for _ in $(seq 100); do
            [ -n "$(running)" ] || return 0
            sleep 0.1
        done
        kill -9 "${pids[@]}" 2>/dev/null
        return 0
    }
    trap cleanup EXIT
    gio open "$reg" || fail "gio open $reg"

    windows() {  # the program's top-level windows: ID TITLE, one a line
        xwininfo -root -children 2>/dev/null |
            sed -n 's/^ *\(0x[0-9a-f]*\) "\(.*\)": ("quorvel" .*/\1 \2/p'
    }
    found=
    deadline=$((SECONDS + wait_seconds))
    while [ $SECONDS -lt $deadline ]; do
        while read -r id title; do
            [[ $title == "$review_title"* ]] || continue
            xwininfo -id "$id" | grep 'Map State: IsViewable' >/dev/null || continue
            found=$id
        done < <(windows)
        [ -n "$found" ] && break
        sleep 0.2
    done
    if [ -z "$found" ]; then
        import -window root "$shot" || true
        echo "the program's windows after ${wait_seconds}s:"
        windows
        fail "no window titled \"$review_title...\" appeared"
    fi
    # The picture waits (bounded) for the dialog to be drawn: a mapped window may still be blank.
    for _ in $(seq 50); do
        colours=$(import -window "$found" png:- 2>/dev/null | identify -format %k - 2>/dev/null) || colours=0
        [ "${colours:-0}" -gt 8 ] && break
        sleep 0.1
    done
    import -window root "$shot" || echo "no screenshot taken"
    echo "review window $found: $(xwininfo -id "$found" | sed -n 's/^xwininfo: Window id: [^ ]* //p')"

    # It belongs to the installed program, started with the file...
    pid=$(xprop -id "$found" _NET_WM_PID | sed -n 's/.* = \([0-9]*\)$/\1/p')
    [ -n "$pid" ] || fail "the review window names no process"
    exe=$(readlink "/proc/$pid/exe") || fail "process $pid is gone"
    [ "$exe" = "$prefix/bin/quorvel" ] || fail "the review is shown by $exe, not $prefix/bin/quorvel"
    tr '\0' '\n' <"/proc/$pid/cmdline" | grep -xF "$reg" >/dev/null || fail "quorvel was started without $reg: $(tr '\0' ' ' <"/proc/$pid/cmdline")"
    # ...and is a dialog over its main window, which shows the machine under the temporary HOME.
    owner=$(xprop -id "$found" WM_TRANSIENT_FOR | sed -n 's/.*window id # \(0x[0-9a-f]*\).*/\1/p')
    windows | grep "^$owner " >/dev/null || fail "the review window is not a dialog of the program's window"
    [ -d "$XDG_DATA_HOME/quorvel/machine" ] || fail "quorvel did not open its machine under XDG_DATA_HOME"
    echo "quorvel ($pid) reviews $reg"
    exit 0
fi

build=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
missing=()
for tool in cmake gio xvfb-run xauth Xvfb xwininfo xprop import identify update-desktop-database; do
    command -v "$tool" >/dev/null || missing+=("$tool")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "skipped: ${missing[*]} not installed (scripts/install-deps.sh installs them)"
    exit 77
fi
[ -f /usr/share/mime/mime.cache ] || { echo "skipped: no shared MIME database"; exit 77; }

tmp=$(realpath "$(mktemp -d)")
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/usr
cmake --install "$build" --prefix "$prefix" >"$tmp/install.log" || { cat "$tmp/install.log"; fail "cmake --install"; }

# A user of its own: Quorvel's machine and settings, the default applications, all temporary.
mkdir -p "$tmp/home" "$tmp/home/data" "$tmp/home/config" "$tmp/home/state" "$tmp/home/cache" "$tmp/runtime"
chmod 700 "$tmp/runtime"
export HOME=$tmp/home
export XDG_DATA_HOME=$HOME/data XDG_CONFIG_HOME=$HOME/config XDG_STATE_HOME=$HOME/state
export XDG_CACHE_HOME=$HOME/cache XDG_RUNTIME_DIR=$tmp/runtime
export XDG_DATA_DIRS=$prefix/share:/usr/share
export PATH=$prefix/bin:$PATH
# No session bus: nothing is activated through one or left running after.
export DBUS_SESSION_BUS_ADDRESS=unix:path=$tmp/no-bus
export LC_ALL=C
unset WINEPREFIX QT_QPA_PLATFORM DISPLAY WAYLAND_DISPLAY

reg=$tmp/settings.reg
printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Control Panel\\Desktop]\r\n"MenuShowDelay"="100"\r\n' >"$reg"
type=$(gio info -a standard::content-type "$reg" | sed -n 's/^ *standard::content-type: //p')
[ "$type" = "$mime_type" ] || fail "$reg is $type to this desktop, not $mime_type"

# As a user does: Quorvel is picked from the applications registered for the type and made the
# default there.
registered=$(gio mime "$mime_type" | sed -n '/^Registered applications:/,/^[^\t]/s/^\t//p')
grep -qxF quorvel.desktop <<<"$registered" ||
    fail "the installed desktop entry does not open $mime_type (registered: ${registered:-none})"
gio mime "$mime_type" quorvel.desktop >/dev/null
default=$(gio mime "$mime_type" | sed -n "s/^Default application for .*: //p")
[ "$default" = quorvel.desktop ] || fail "the default for $mime_type is ${default:-none}, not quorvel.desktop"

shot=$build/desktop_open_reg.png
rm -f "$shot"
xvfb-run -a -s "-screen 0 1280x800x24" bash "$0" --on-display "$reg" "$shot" "$prefix"
