#!/usr/bin/env bash
# Lays out the public part of the reading corpus, tests/data/corpus/public/
# (other projects' test pictures, kept in this repository as they publish
# them), from bare git copies of the repositories that
# tests/data/corpus/public.list names (one folder "owner+name/repo" each
# under MIRRORS, default /work/.mirror), at the commits it names: after
# public.list changes, then scripts/corpus-references.py. A file taken out
# of public.list is to be removed by hand (git rm).
#   scripts/corpus-public.sh [MIRRORS]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
mirrors=${1:-/work/.mirror}
list=$top/tests/data/corpus/public.list
out=$top/tests/data/corpus/public
missing=0
while IFS=$'\t' read -r name repo commit path _licence; do
    [ -n "$name" ] || continue
    git_dir=$mirrors/${repo/\//+}/repo
    mkdir -p "$(dirname "$out/$name")"
    if ! git --git-dir="$git_dir" cat-file blob "$commit:$path" >"$out/$name.part" 2>/dev/null; then
        echo "$0: $repo $commit:$path not found under $mirrors" >&2
        rm -f "$out/$name.part"
        missing=$((missing + 1))
        continue
    fi
    mv "$out/$name.part" "$out/$name"
done <"$list"
[ "$missing" -eq 0 ] || exit 1
