#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, ASan, UBSan) into build-fuzz
# and runs each one a fixed number of times over its seed corpus
# (fuzz/corpus/<name>/). Any crash, leak or undefined behaviour fails.
# Usage: scripts/fuzz.sh [RUNS]   (default 2000 runs a target)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-2000}
dir=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DPELLARA_FUZZ=ON >/dev/null
cmake --build "$dir" -j"$(nproc)" >/dev/null
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:allocator_may_return_null=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS=suppressions=$PWD/fuzz/lsan.supp
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
for target in "$dir"/fuzz/fuzz_*; do
    [ -x "$target" ] || continue
    name=$(basename "$target")
    name=${name#fuzz_}
    seeds=fuzz/corpus/$name
    [ -d "$seeds" ] || { echo "fuzz: no seed corpus $seeds" >&2; exit 1; }
    # New inputs go to a scratch folder; the committed corpus stays as it is.
    mkdir -p "$scratch/$name"
    # The time cap only guards CI's clock; the runs are the measure. A fixed
    # seed makes a run repeatable: CI tries the same inputs every time.
    if ! "$target" -seed=1 -runs="$runs" -max_total_time=45 -max_len=65536 -rss_limit_mb=2048 -timeout=20 \
            -artifact_prefix="$scratch/" "$scratch/$name" "$seeds" >"$scratch/$name.log" 2>&1; then
        tail -n 60 "$scratch/$name.log" >&2
        echo "fuzz: $name failed" >&2
        exit 1
    fi
    echo "fuzz: $name $(grep -Eo 'Done [0-9]+ runs in [0-9]+ second\(s\)' "$scratch/$name.log")"
done
