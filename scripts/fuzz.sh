#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz and runs them.
#
#   scripts/fuzz.sh [--fresh] [TARGET|all] [SECONDS] [LIBFUZZER OPTION...]
#
# TARGET is feed, dates, filenames, state, configuration or opml (default:
# all, one after the other); each runs for SECONDS (default 600). A run starts
# from tests/fuzz/seeds/TARGET and the corpus that earlier runs grew in
# build-fuzz/corpus/TARGET, and adds to that corpus; with --fresh it starts
# from the seeds alone and keeps nothing (the test command's short runs).
# Further options go to libFuzzer, e.g. -max_len=65536 for longer inputs.
# An input that fails is written to build-fuzz/crashes/TARGET/ and named at
# the end; the status is then 1. To reproduce one with every message shown:
#   build-fuzz/tests/fuzz/TARGET_fuzz -close_fd_mask=0 FILE
# Keep it as tests/fuzz/regressions/TARGET/NAME once it is fixed.
set -euo pipefail
cd "$(dirname "$0")/.."

fresh=0
if [[ ${1-} == --fresh ]]; then
    fresh=1
    shift
fi
all_targets=(feed dates filenames state configuration opml)
target=${1:-all}
seconds=${2:-600}
extra=("${@:3}")
if [[ $target == all ]]; then
    targets=("${all_targets[@]}")
elif [[ " ${all_targets[*]} " == *" ${target%_fuzz} "* ]]; then
    targets=("${target%_fuzz}")
else
    names=$(IFS='|' && echo "${all_targets[*]}")
    echo "usage: $0 [--fresh] [$names|all] [SECONDS] [LIBFUZZER OPTION...]" >&2
    exit 2
fi

build=build-fuzz
if [[ ! -f $build/CMakeCache.txt ]]; then
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
        -DSKIFFER_FUZZ=ON -DSKIFFER_WERROR=ON >/dev/null
fi
cmake --build "$build" -j"$(nproc)" >/dev/null

failed=()
for name in "${targets[@]}"; do
    crashes=$build/crashes/$name
    log=$build/logs/$name.log
    mkdir -p "$crashes" "$build/logs"
    if ((fresh)); then
        corpus=$(mktemp -d "$build/corpus-$name.XXXXXX")
    else
        corpus=$build/corpus/$name
        mkdir -p "$corpus"
    fi
    # Per input at most 10 s and 2 GiB; libFuzzer checks for leaks itself.
    touch "$log.start"
    status=0
    "$build/tests/fuzz/${name}_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$crashes/" -dict="tests/fuzz/dictionaries/$name.dict" \
        "${extra[@]}" "$corpus" "tests/fuzz/seeds/$name" >"$log" 2>&1 || status=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    inputs=$(find "$corpus" -type f | wc -l)
    echo "== fuzz $name: $seconds s, ${runs:-?} runs, $inputs inputs in $corpus (log: $log)"
    if ((fresh)); then
        rm -rf "$corpus"
    fi
    if ((status != 0)); then
        tail -n 40 "$log"
        mapfile -t written < <(find "$crashes" -type f -newer "$log.start")
        if ((${#written[@]} > 0)); then
            failed+=("${written[@]}")
        else
            failed+=("$name: no input written, see $log")
        fi
    fi
done

if ((${#failed[@]} > 0)); then
    echo "Fuzzing failed; the failing inputs:" >&2
    printf '  %s\n' "${failed[@]}" >&2
    exit 1
fi
