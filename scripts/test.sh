#!/usr/bin/env bash
# Installs what is missing, builds everything (program, tests, benchmarks),
# and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh --tests
scripts/build.sh build -DBUILD_TESTING=ON -DPELLARA_BUILD_BENCH=ON
ctest --test-dir build --output-on-failure -j"$(nproc)" --timeout 300
