#!/usr/bin/env bash
# Installs what is missing, builds, and runs the service in the foreground.
# Arguments are passed to the service (for example -e x for debug mode).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh run
cmake --preset default >/dev/null
cmake --build --preset default
exec build/bin/mirvale "$@"
