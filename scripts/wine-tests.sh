#!/usr/bin/env bash
# Builds the Windows executable and its installer (scripts/windows-build.sh) and tests them under
# Wine, headless, in a network namespace of its own (it binds 8142 and 8143):
#   1. the Windows tests of build-win (tests/windows, through CTest),
#   2. the end-to-end tests of the Linux build (build/, built here when needed) against mirvale.exe
#      run by Wine (tests/support/fixtures/emulator.h): the protocol, the quit, and what only
#      Windows has (tests/e2e/windows_test.cpp, the installer's silent install and uninstall).
#
#   scripts/wine-tests.sh [--from-source]      (as root; the argument goes to windows-sdk.sh)
#
# Installs what is missing (Debian 12), keeps a private Wine prefix in the build folder
# (build-win/wineprefix, or below MIRVALE_WINDOWS_BUILD), and ends its own Wine server on the way
# out. MIRVALE_WINE_TIMEOUT bounds each test program (seconds, default 900).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${MIRVALE_WINDOWS_BUILD:-$root/build-win}
linux_build=$root/build

# The end-to-end cases that apply to the Windows executable. Left out: what reads a registry file
# or sends Unix signals (Linux only), the RSV1 frame (the set's libwebsockets, built without
# extensions, does not check the reserved bits), and the missing certificate, which Windows makes
# (windows_test.cpp).
e2e_runs=(
    "e2e_protocol ProtocolE2E.GetinfoOnEveryEndpoint*:ProtocolE2E.RequestsThatAreNotSupported*:ProtocolE2E.GetinfoEchoes*:ProtocolE2E.Pieces*:ProtocolE2E.LargeRequest*:ProtocolE2E.InterleavedPieces*:ProtocolE2E.ConnectionServesTheNext*:ProtocolE2E.Liveview*:ProtocolE2E.HandshakeNaming*:ProtocolE2E.PlainHttp*:ProtocolE2E.ConnectionAndRequest*"
    "e2e_lifecycle LifecycleE2E.MutexConnection*:LifecycleE2E.PortTaken*"
    "e2e_windows *"
)

export WINEPREFIX="$build/wineprefix"
export WINEARCH=win64
export WINEDEBUG=-all
# No Mono or Gecko installers: the prefix is made without asking for them.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
# Wine takes its ANSI code page from the locale; the entry tests expect 1252 (en-US).
export LC_ALL=C.UTF-8

if [ "${1:-}" != --in-namespace ]; then
    [ "$(id -u)" -eq 0 ] || { echo "wine-tests: needs root for its network namespace" >&2; exit 1; }
    # Times as clock seconds: the tests run in a process of their own.
    export MIRVALE_WINE_STARTED=$(date +%s)
    "$root/scripts/deps.sh" wine test
    "$root/scripts/windows-build.sh" "$@"
    export MIRVALE_WINE_BUILT_WINDOWS=$(date +%s)
    # The Linux side of the end-to-end tests.
    (cd "$root" && cmake --preset default >/dev/null &&
        cmake --build --preset default --target mirvale e2e_protocol e2e_lifecycle e2e_windows)
    export MIRVALE_WINE_BUILT=$(date +%s)
    # Wine's server owns the sockets: it starts inside the namespace, with the tests.
    exec unshare --net "$0" --in-namespace
fi

ip link set lo up
wineserver -k >/dev/null 2>&1 || true # this prefix's server, left by an interrupted run
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
# A persistent server, and a first program that creates the prefix and starts Wine's own services
# with none of our pipes. Started later by a test instead, those services would keep CTest's
# output pipe open and the run would hang.
mkdir -p "$WINEPREFIX"
if ! (wineserver -p && wine cmd /c exit) </dev/null >"$build/wine-warmup.log" 2>&1; then
    echo "wine-tests: Wine did not start:" >&2
    cat "$build/wine-warmup.log" >&2
    exit 1
fi

limit=${MIRVALE_WINE_TIMEOUT:-900}
status=0
units_started=$SECONDS
timeout "$limit" ctest --test-dir "$build" --output-on-failure --timeout 120 >"$build/ctest.log" 2>&1 || status=1
grep -E '^[0-9]+% tests passed' "$build/ctest.log" || tail -n 30 "$build/ctest.log"
((status == 0)) || grep -A30 -E '\*\*\*Failed|Timeout' "$build/ctest.log" || true
# Starts that Wine failed, also where the run after them passed (tests/windows/wine-run.sh).
grep -h '^wine-run:' "$build/Testing/Temporary/LastTest.log" 2>/dev/null || true
units=$((SECONDS - units_started))

e2e_started=$SECONDS
export MIRVALE_EMULATOR=wine
export MIRVALE_EXECUTABLE=$build/bin/mirvale.exe
export MIRVALE_INSTALLER=$build/mirvale-setup.exe
for run in "${e2e_runs[@]}"; do
    program=${run%% *}
    filter=${run#* }
    log=$build/$program.log
    if timeout "$limit" "$linux_build/bin/$program" --gtest_filter="$filter" >"$log" 2>&1; then
        echo "wine-tests: $program: $(grep -E '^\[  PASSED  \]' "$log")"
    else
        status=1
        echo "wine-tests: $program FAILED:"
        grep -E '^\[  (FAILED|PASSED) |Failure' -A6 "$log" | head -n 80
    fi
done
e2e=$((SECONDS - e2e_started))

echo "wine-tests: $(($(date +%s) - MIRVALE_WINE_STARTED)) s in all:" \
    "$((MIRVALE_WINE_BUILT_WINDOWS - MIRVALE_WINE_STARTED)) s Windows build," \
    "$((MIRVALE_WINE_BUILT - MIRVALE_WINE_BUILT_WINDOWS)) s Linux test programs," \
    "$units s Windows tests, $e2e s end-to-end tests under Wine"
exit "$status"
