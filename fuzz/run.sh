#!/usr/bin/env bash
# Builds the libFuzzer targets (the registry file reader, the .reg file reader, the Windows hive reader and
# the icon reader) with clang in a build folder of its own and runs each for the same bounded time.
#
#   fuzz/run.sh [SECONDS]      default 60
#
# Environment: QV_FUZZ_BUILD_DIR (default build-fuzz beside fuzz/), QV_FUZZ_JOBS (parallel
# fuzzing jobs, default 1), QV_FUZZ_TIMEOUT (seconds one input may take, default 30).
# Exits non-zero when the build fails or the fuzzer finds a crash, a hang, a sanitizer report or a
# round-trip difference; the input that did it is left in the build folder's artifacts/ folder.
set -euo pipefail

seconds="${1:-60}"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(dirname "$here")"
build="${QV_FUZZ_BUILD_DIR:-$root/build-fuzz}"
jobs="${QV_FUZZ_JOBS:-1}"
timeout="${QV_FUZZ_TIMEOUT:-30}"

if ! command -v clang++ >/dev/null 2>&1; then
    echo "fuzz/run.sh: clang++ is not installed (apt-get install clang)" >&2
    exit 2
fi

generator=()
if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi

cd "$root"
. scripts/compiler-cache.sh
cmake -S "$root" -B "$build" "${generator[@]}" "${cache_args[@]}" \
    -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQV_BUILD_FUZZ=ON -DQV_BUILD_GUI=OFF -DQV_BUILD_TESTS=OFF -DQV_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" --target winefile_fuzz dotreg_fuzz hive_fuzz icon_fuzz -j "$(nproc)"

artifacts="$build/artifacts"
mkdir -p "$artifacts"
failed=0

# Runs one target for the given seconds over its seed corpus and a working corpus of its own.
fuzz_one() {
    local target=$1 secs=$2 max_len=$3
    shift 3
    local work="$build/corpus/$target"
    mkdir -p "$work"
    echo "fuzz/run.sh: fuzzing $target for ${secs}s"
    local stamp="$build/.run-start-$target"
    touch "$stamp"
    set +e
    if [ "$jobs" -gt 1 ]; then
        ( cd "$build" && "$build/fuzz/$target" "$work" "$@" -max_total_time="$secs" -timeout="$timeout" \
            -rss_limit_mb=2048 -max_len="$max_len" -print_final_stats=1 \
            -artifact_prefix="$artifacts/" -jobs="$jobs" -workers="$jobs" )
    else
        "$build/fuzz/$target" "$work" "$@" -max_total_time="$secs" -timeout="$timeout" \
            -rss_limit_mb=2048 -max_len="$max_len" -print_final_stats=1 -artifact_prefix="$artifacts/"
    fi
    local status=$?
    set -e
    # With several jobs the exit status alone may not tell; a new artifact always does.
    local found
    found="$(find "$artifacts" -type f -newer "$stamp" | head -n 20)"
    if [ "$status" -ne 0 ] || [ -n "$found" ]; then
        echo "fuzz/run.sh: $target failed (status $status); inputs in $artifacts/:" >&2
        ls -l "$artifacts" >&2 || true
        failed=1
    fi
}

each=$(( (seconds + 3) / 4 ))
fuzz_one winefile_fuzz "$each" 8192 "$here/corpus/winefile" -dict="$here/winefile.dict"
fuzz_one dotreg_fuzz "$each" 8192 "$here/corpus/dotreg" -dict="$here/dotreg.dict"
fuzz_one hive_fuzz "$each" 32768 "$here/corpus/hive" -dict="$here/hive.dict"
fuzz_one icon_fuzz "$each" 65536 "$here/corpus/icon"
if [ "$failed" -ne 0 ]; then
    exit 1
fi
echo "fuzz/run.sh: no crash, hang or round-trip difference in ${seconds}s"
