#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the CTest suite (headless) and a short
# fuzzing run of the frame reader.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
BUILD_DIR="$root/build" "$root/scripts/build.sh"
cd "$root/build"
QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j2 --timeout 600
if [ -x "$root/fuzz/run.sh" ]; then
    "$root/fuzz/run.sh"
fi
