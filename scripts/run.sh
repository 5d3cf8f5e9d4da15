#!/usr/bin/env bash
# Installs what is missing, builds, and starts the program.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh build
if [ -x build/ui/pellara ]; then
    exec build/ui/pellara
fi
echo "The window is not built yet; try build/tools/pellara-fuse --help"
