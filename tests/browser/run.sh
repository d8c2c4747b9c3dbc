#!/usr/bin/env bash
# Runs the demo page in Debian's Chromium against the real service.
# Usage: tests/browser/run.sh [BUILD_DIR]   (default: build; bin/mirvale must be built)
# Installs chromium (and node, npm, ss) and the pinned playwright-core when they are missing.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../../build}" && pwd)

# command -> Debian package that brings it
missing=()
for pair in chromium:chromium ss:iproute2 node:nodejs npm:npm; do
    command -v "${pair%%:*}" >/dev/null 2>&1 || missing+=("${pair#*:}")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    echo "Installing: ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" fonts-dejavu-core
fi

if [ ! -d "$here/node_modules/playwright-core" ]; then
    (cd "$here" && npm ci --no-audit --no-fund --loglevel=error)
fi

cd "$here"
MIRVALE_BUILD_DIR="$build" exec node --test browser.test.js
