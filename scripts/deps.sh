#!/usr/bin/env bash
# Installs the Debian packages that building, running or testing Mirvale needs, when they
# are missing. Usage: scripts/deps.sh run|test
set -euo pipefail

run_packages=(cmake ninja-build g++ pkg-config openssl
    qtbase5-dev libqt5websockets5-dev libwebsockets-dev libcurl4-openssl-dev libsystemd-dev)
test_packages=(googletest libgtest-dev libgmock-dev util-linux procps)

case "${1:-run}" in
    run) wanted=("${run_packages[@]}") ;;
    test) wanted=("${run_packages[@]}" "${test_packages[@]}") ;;
    *) echo "usage: $0 run|test" >&2; exit 2 ;;
esac

missing=()
for p in "${wanted[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
