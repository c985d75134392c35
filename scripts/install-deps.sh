#!/usr/bin/env bash
# Installs the Debian packages Quorvel needs to build, test and run, and only those missing.
set -euo pipefail

# "run": what building and starting the program needs; anything else: also what the tests need.
packages=(
  cmake ninja-build g++ pkg-config ccache
  qt6-base-dev qt6-base-dev-tools libgl-dev libglx-dev libopengl-dev libvulkan-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libhivex-dev
)
if [ "${1:-}" != run ]; then
  packages+=(clang libclang-rt-14-dev wine wine64 xvfb xauth imagemagick qt6-gtk-platformtheme)
  # Hives for the Windows-installation tests are checked with hivexget/hivexml and hivegen.py.
  packages+=(libhivex-bin python3)
  # The packaging checks: desktop entry, metainfo, the .deb's dependencies and lintian.
  packages+=(desktop-file-utils appstream lintian dpkg-dev man-db)
  # A .reg file opened from the desktop: gio, the MIME database and the X window tools.
  packages+=(libglib2.0-bin shared-mime-info x11-utils)
  # The Ansible collection's test runs playbooks over a local inventory.
  packages+=(ansible-core)
fi

missing=()
for p in "${packages[@]}"; do
  [ -n "$p" ] || continue
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
if [ "$(id -u)" != 0 ]; then
  command -v sudo >/dev/null || { echo "Please install as root: ${missing[*]}" >&2; exit 1; }
  sudo=(sudo)
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
