#!/usr/bin/env bash
# Installs what the program needs, builds the program alone (no tests, no
# benchmarks) and starts it; it needs a display.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DPELLARA_BUILD_BENCH=OFF >/dev/null
cmake --build build -j"$(nproc)" --target pellara
exec build/ui/pellara
