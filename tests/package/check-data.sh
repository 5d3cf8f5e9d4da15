#!/usr/bin/env bash
# The files installed beside the programs pass the desktop's own checkers:
# the AppStream description, the desktop entry and the manual pages.
# Usage: check-data.sh SOURCE_DIR   (exit 77: a checker is not installed)
set -euo pipefail
data=$1/data
for tool in appstreamcli desktop-file-validate groff; do
    command -v "$tool" >/dev/null || { echo "needs $tool (scripts/deps.sh --tests)"; exit 77; }
done
appstreamcli validate --no-net "$data/pellara.metainfo.xml"
desktop-file-validate "$data/pellara.desktop"
for page in pellara.1 pellara-fuse.1 pellara-depth.1; do
    # -ww: every warning; groff says nothing about a clean page.
    complaints=$(LC_ALL=C.UTF-8 groff -man -ww -z -Tutf8 "$data/$page" 2>&1)
    if [ -n "$complaints" ]; then
        echo "$page: $complaints"
        exit 1
    fi
done
echo "metainfo, desktop entry and manual pages are clean"
