#!/usr/bin/env bash
# Fetches the stereo scenes bench_pairs judges the matcher on: Middlebury's
# 2003 scenes Cones and Teddy (quarter size, ground-truth disparity times 4),
# as mirrored in an MIT-licensed GitHub repository (origins and terms in
# tests/data/SOURCES.md). Not committed: about 2 MB.
#   scripts/stereo-scenes.sh [FOLDER]   (default: build/stereo-scenes)
set -euo pipefail
folder=${1:-build/stereo-scenes}
commit=6643cf4b6a5ab197aace8b766c6ab139e281ae8e
base=https://raw.githubusercontent.com/beaupreda/semi-global-matching/$commit
for scene in cones teddy; do
    mkdir -p "$folder/$scene"
    for file in im2.png im6.png disp2.png disp6.png; do
        [ -s "$folder/$scene/$file" ] || curl -fsSL -o "$folder/$scene/$file" "$base/$scene/$file"
    done
done
echo "$folder"
