#!/usr/bin/env bash
# Cross-builds the smoke program against a Windows dependency set, puts beside it exactly the DLLs
# and plugins it needs from the set (listed in BUILD/bin/dlls.txt), and runs it under Wine in a
# network namespace of its own, with a private Wine prefix in BUILD.
#
#   tests/windows/sdk-smoke/run.sh SDK [BUILD]     (BUILD default: <repo>/build-sdk-smoke)
#
# Needs root (the namespace), wine, the mingw-w64 compilers and openssl; scripts/windows-sdk.sh
# --check installs them and calls this.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../../.." && pwd)
[ $# -ge 1 ] || { echo "usage: $0 SDK [BUILD]" >&2; exit 2; }
sdk=$(cd "$1" && pwd)
build=${2:-$root/build-sdk-smoke}
mkdir -p "$build"
build=$(cd "$build" && pwd) # Wine takes absolute prefixes only
say() { echo "sdk-smoke: $*"; }
[ "$(id -u)" -eq 0 ] || { say "needs root for its network namespace"; exit 1; }

# Configured afresh: a cache made against another set would keep finding that set's packages.
rm -rf "$build/cmake"
cmake -S "$here" -B "$build/cmake" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DMIRVALE_WIN_SDK="$sdk" >/dev/null
cmake --build "$build/cmake"

# What Windows' loader would look for beside the program.
bin=$build/bin
rm -rf "$bin"
mkdir -p "$bin"
cp "$build/cmake/mirvale-sdk-smoke.exe" "$bin/"
"$root/scripts/windows-deploy.sh" "$sdk" "$bin/mirvale-sdk-smoke.exe"
say "DLLs beside the program ($(cd "$bin" && du -ch $(cat dlls.txt) | tail -n 1 | cut -f1)):"
sed 's/^/  /' "$bin/dlls.txt"

# A throwaway certificate for 127.0.0.1, its key encrypted as the service's is.
openssl req -x509 -newkey rsa:2048 -sha256 -days 2 -subj /CN=127.0.0.1 \
    -addext subjectAltName=IP:127.0.0.1 -keyout "$bin/server.key" -out "$bin/server.crt" \
    -passout pass:smoke 2>/dev/null

export WINEPREFIX=$build/wineprefix WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=C.UTF-8
unset DISPLAY WAYLAND_DISPLAY
wineserver -k >/dev/null 2>&1 || true # this prefix's server, left by an interrupted run
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    say "creating the Wine prefix"
    wineboot -i >"$build/wineboot.log" 2>&1 || { cat "$build/wineboot.log"; exit 1; }
    wineserver -w
fi
# Wine's server owns the sockets, so it starts inside the namespace, with the program.
status=0
unshare --net sh -c 'ip link set lo up && cd "$1" &&
    timeout 300 wine ./mirvale-sdk-smoke.exe; status=$?; wineserver -k 2>/dev/null; exit $status' \
    sh "$bin" || status=$?
((status == 0)) || say "failed (exit $status)"
exit "$status"
