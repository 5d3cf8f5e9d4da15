#!/usr/bin/env bash
# Installs what is missing, builds, and starts the program (it needs a display).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh build
exec build/ui/pellara
