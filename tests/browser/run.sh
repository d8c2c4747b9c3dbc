#!/usr/bin/env bash
# Runs the browser matrix, the connect page's consent and the demo page against the real service.
# Usage: tests/browser/run.sh [BUILD_DIR]   (default: build; bin/mirvale must be built)
# Installs chromium, firefox-esr (and node, npm, ss, certutil) and the pinned drivers when they
# are missing. As root the test runs in a network namespace of its own, where the public sites
# live on an address of its loopback device.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../../build}" && pwd)

# Before the namespace: installing needs the network.
"$here/../../scripts/deps.sh" browser desktop
if [ ! -d "$here/node_modules/playwright-core" ] || [ ! -d "$here/node_modules/puppeteer-core" ]; then
    (cd "$here" && npm ci --no-audit --no-fund --loglevel=error)
fi

cd "$here"
export MIRVALE_BUILD_DIR="$build"
if [ "$(id -u)" -eq 0 ]; then
    export MIRVALE_BROWSER_NETNS=1
    exec unshare -n bash -c 'ip link set lo up && exec node --test browser.test.js'
fi
exec node --test browser.test.js
