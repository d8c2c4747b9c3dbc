#!/usr/bin/env bash
# Runs the demo page in Debian's Chromium against the real service.
# Usage: tests/browser/run.sh [BUILD_DIR]   (default: build; bin/mirvale must be built)
# Installs chromium (and node, npm, ss) and the pinned playwright-core when they are missing.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../../build}" && pwd)

"$here/../../scripts/deps.sh" browser desktop

if [ ! -d "$here/node_modules/playwright-core" ]; then
    (cd "$here" && npm ci --no-audit --no-fund --loglevel=error)
fi

cd "$here"
MIRVALE_BUILD_DIR="$build" exec node --test browser.test.js
