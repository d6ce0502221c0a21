#!/usr/bin/env bash
# Installs what is missing, builds client and service, and starts the client.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
BUILD_DIR="$root/build" "$root/scripts/build.sh"
run_client() {
    if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
        "$root/build/borvane"
    else
        echo "No display: running the client under Xvfb."
        xvfb-run -a "$root/build/borvane"
    fi
}
run_client
