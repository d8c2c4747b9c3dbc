#!/usr/bin/env bash
# Installs what is missing, builds the service alone (no tests, in build-run/) and runs it in the
# foreground. Arguments are passed to the service (for example -e x for debug mode).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh run
cmake --preset run >/dev/null
cmake --build --preset run
exec build-run/bin/mirvale "$@"
