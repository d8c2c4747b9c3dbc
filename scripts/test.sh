#!/usr/bin/env bash
# Installs what is missing, builds, and runs the test suite. The real player on a virtual
# display (label desktop) has a command of its own: tests/desktop/run.sh.
# Usage: scripts/test.sh [default|asan|tsan]
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-default}"
scripts/deps.sh test
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
ctest --preset "$preset" --timeout 600 --label-exclude desktop
