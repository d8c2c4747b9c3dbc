#!/usr/bin/env bash
# Prints the archive that this machine's own apt sources take Debian 12 (bookworm, main) from, for
# debootstrap. Fails with a message when the sources name none: no archive is assumed.
set -euo pipefail
# apt reads both source formats (one-line and deb822) and knows every entry's suite.
archive=$(apt-get indextargets --format '$(REPO_URI)' 'Identifier: Packages' 'Release: bookworm' \
              'Component: main' 2>/dev/null | head -n 1 || true)
if [ -z "$archive" ]; then
    echo "This machine's apt sources name no Debian 12 archive (suite bookworm, component main)." >&2
    echo "Add one under /etc/apt/sources.list.d/, run apt-get update, and try again." >&2
    exit 1
fi
echo "${archive%/}"
