#!/usr/bin/env bash
# Installs what the build needs, builds Quorvel into build/ and starts it on its own machine
# (~/.local/share/quorvel/machine). Arguments go to the program: ./run.sh --help
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")"

scripts/install-deps.sh run

if [ -f build/CMakeCache.txt ]; then
  cmake -S . -B build >/dev/null
else
  cmake -S . -B build -G Ninja >/dev/null
fi
# Every target, so that `cmake --install build` finds both programs.
cmake --build build
exec build/app/quorvel "$@"
