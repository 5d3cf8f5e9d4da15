#!/usr/bin/env bash
# Prints the reading corpus's mismatches as they are today, in the format of
# tests/data/corpus/known-mismatches.tsv: the table's own comment, then one
# line a file read differently from what the other decoders agree on (or
# refused where they read it). A file the table names keeps its variant; a
# new one reads "NEW: what differs", to be named by hand. Files the table
# names that now read right are left out (said on standard error).
#   scripts/corpus-mismatches.sh [BUILD]          BUILD: a build folder, default build
#   scripts/corpus-mismatches.sh [BUILD] --write  replaces the table with it
# translation_tests must be built in BUILD (cmake --build BUILD --target translation_tests).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=build
write=0
for arg in "$@"; do
    case $arg in
    --write) write=1 ;;
    *) build=$arg ;;
    esac
done
case $build in /*) ;; *) build=$PWD/$build ;; esac
tests=$build/tests/translation_tests
table=$top/tests/data/corpus/known-mismatches.tsv
[ -x "$tests" ] || { echo "$0: no $tests: build translation_tests first" >&2; exit 2; }
found=$(mktemp)
out=$(mktemp)
trap 'rm -f "$found" "$out"' EXIT
# The test fails where the table is out of date: that is what this is for.
QT_QPA_PLATFORM=offscreen PELLARA_CORPUS_MISMATCHES=$found \
    "$tests" --gtest_filter='Files/Corpus.*' >/dev/null 2>&1 || true
{
    grep '^#' "$table"
    LC_ALL=C sort "$found"
} >"$out"
fixed=$(LC_ALL=C comm -23 <(grep -v '^#' "$table" | cut -f1 | LC_ALL=C sort) \
    <(cut -f1 "$found" | LC_ALL=C sort))
[ -z "$fixed" ] || printf 'now read as the others agree (left out):\n%s\n' "$fixed" >&2
echo "$(wc -l <"$found") mismatches, $(grep -c $'\tNEW: ' "$found" || true) new" >&2
if [ "$write" -eq 1 ]; then
    cp "$out" "$table"
else
    cat "$out"
fi
