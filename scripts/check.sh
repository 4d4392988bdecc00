#!/usr/bin/env bash
# Installs what is missing, then builds skiffer three times and runs every
# test in each build: a normal one, one under AddressSanitizer and
# UndefinedBehaviorSanitizer that stops at the first error, and the Release
# configuration that packagers build. Warnings are errors in all three. A
# fourth build, under ThreadSanitizer, runs the tests of several jobs. Then
# it builds the fuzz targets with clang and runs each for a few seconds, and
# ends with the quick benchmark of the Release build.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

jobs=$(nproc)

# build DIRECTORY BUILD_TYPE [CMAKE OPTION...]: configures, builds, tests.
build_and_test() {
    local directory=$1 type=$2
    shift 2
    echo "== $type build in $directory"
    cmake -S . -B "$directory" -DCMAKE_BUILD_TYPE="$type" \
        -DBUILD_TESTING=ON -DSKIFFER_WERROR=ON "$@" >/dev/null
    cmake --build "$directory" -j"$jobs"
    ctest --test-dir "$directory" --output-on-failure -j"$jobs"
}

build_and_test build RelWithDebInfo
ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:abort_on_error=0 \
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    build_and_test build-sanitize Debug -DSKIFFER_SANITIZE=ON
build_and_test build-release Release

# The runs of several jobs once more under ThreadSanitizer, which sees the
# threads' accesses to everything they share; a report fails the test, as
# every stream is compared exactly. GLib's slice allocator hands memory
# between threads under locks of its own that the sanitizer cannot see;
# G_SLICE=always-malloc makes it use malloc, which it can.
echo "== ThreadSanitizer build in build-tsan"
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON \
    -DSKIFFER_WERROR=ON -DSKIFFER_TSAN=ON >/dev/null
cmake --build build-tsan -j"$jobs"
G_SLICE=always-malloc TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --test-dir build-tsan --output-on-failure -j"$jobs" -R 'e2e.test_jobs|run_channel|held_output'

# The fuzz targets, built with clang: every seed and kept regression input
# under ctest, then a few seconds of fuzzing each from the seeds alone.
echo "== fuzz build in build-fuzz"
cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
    -DSKIFFER_FUZZ=ON -DSKIFFER_WERROR=ON >/dev/null
cmake --build build-fuzz -j"$jobs"
ctest --test-dir build-fuzz --output-on-failure -j"$jobs"
scripts/fuzz.sh --fresh all 6

# The quick benchmark keeps bench/ in working order. It prints figures and
# fails only when it cannot run, never because of a figure.
echo "== quick benchmark"
bench/run.py --quick --skiffer build-release/skiffer
