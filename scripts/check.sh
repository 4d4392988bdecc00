#!/usr/bin/env bash
# Installs what is missing, then builds skiffer twice and runs every test in
# both builds: a normal one, and one under AddressSanitizer and
# UndefinedBehaviorSanitizer that stops at the first error.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

jobs=$(nproc)

echo "== normal build"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

echo "== sanitizer build"
cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DSKIFFER_SANITIZE=ON >/dev/null
cmake --build build-sanitize -j"$jobs"
ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:abort_on_error=0 \
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    ctest --test-dir build-sanitize --output-on-failure -j"$jobs"

# The quick benchmark keeps bench/ in working order. It prints figures and
# fails only when it cannot run, never because of a figure.
echo "== quick benchmark"
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-release -j"$jobs" --target skiffer
bench/run.py --quick --skiffer build-release/skiffer
