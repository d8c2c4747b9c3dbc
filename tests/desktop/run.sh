#!/usr/bin/env bash
# The real player on a virtual display: Debian's VLC opened by the real service (CTest label
# desktop, in the default build). Installs what it lacks, builds, runs the label once. Needs root
# (the service and VLC run as user nobody) and the ports 8142 and 8143 free; binds them, so on a
# shared machine run it in a network namespace of its own:
#   unshare --net sh -c 'ip link set lo up && tests/desktop/run.sh'
# The screenshot lands in build/desktop/realplayer.png.
set -euo pipefail
cd "$(dirname "$0")/../.."
scripts/deps.sh test desktop
cmake --preset default >/dev/null
cmake --build --preset default
ctest --preset default --label-regex desktop --timeout 600
