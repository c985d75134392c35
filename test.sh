#!/usr/bin/env bash
# Sets up a fresh Debian machine, builds Quorvel and runs every test: unit, widget, Wine interop,
# a sanitizer build of the suite and a bounded fuzzing run.
set -euo pipefail
cd "$(dirname "$0")"

scripts/install-deps.sh

jobs=$(nproc)
. scripts/compiler-cache.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${cache_args[@]}" >/dev/null
cmake --build build -j "$jobs"

# The fuzzers first, for a bounded time each.
if [ -x fuzz/run.sh ] && command -v clang++ >/dev/null; then
  fuzz/run.sh "${QV_FUZZ_SECONDS:-30}"
fi

# Address and undefined-behaviour sanitizers over the unit and widget tests.
if [ "${QV_SKIP_SANITIZERS:-}" != 1 ]; then
  cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQV_SANITIZE=ON -DQV_BUILD_BENCH=OFF "${cache_args[@]}" >/dev/null
  cmake --build build-asan -j "$jobs"
  # Qt keeps some allocations until exit on purpose; leaks are checked in the registry layer only.
  ASAN_OPTIONS=detect_leaks=1 build-asan/tests/registry_tests --gtest_brief=1
  ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build-asan -LE interop --output-on-failure -j "$jobs"
fi

# Everything, Wine interop included (those run one at a time).
ctest --test-dir build --output-on-failure -j "$jobs"

# The .deb as a user installs it: apt-get, then the program, manual, desktop entry and icons.
scripts/check-deb-install.sh build
