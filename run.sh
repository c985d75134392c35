#!/usr/bin/env bash
# Installs what the build needs, builds Quorvel into build/ and starts it on the machine used last
# (the first time, its own machine in ~/.local/share/quorvel/machine). Arguments go to the
# program: ./run.sh --help
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")"

scripts/install-deps.sh run

. scripts/compiler-cache.sh
if [ -f build/CMakeCache.txt ]; then
  cmake -S . -B build "${cache_args[@]}" >/dev/null
else
  cmake -S . -B build -G Ninja "${cache_args[@]}" >/dev/null
fi
# Every target, so that `cmake --install build` finds both programs.
cmake --build build
exec build/app/quorvel "$@"
