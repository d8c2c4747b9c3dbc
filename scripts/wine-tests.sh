#!/usr/bin/env bash
# Builds the Win32 platform code with mingw-w64 and runs its tests under Wine, headless.
#
#   scripts/wine-tests.sh
#
# Installs what is missing (Debian 12), keeps a private Wine prefix in the build folder
# (build-windows/, or MIRVALE_WINDOWS_BUILD), and ends its Wine server on the way out.
# MIRVALE_WINE_TIMEOUT bounds the whole test run (seconds, default 600).
set -euo pipefail

started=$SECONDS
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${MIRVALE_WINDOWS_BUILD:-$root/build-windows}

"$root/scripts/deps.sh" wine

mkdir -p "$build"
export WINEPREFIX="$build/wineprefix"
export WINEARCH=win64
export WINEDEBUG=-all
# No Mono or Gecko installers: the prefix is made without asking for them.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
# Wine takes its ANSI code page from the locale; the entry tests expect 1252 (en-US).
export LC_ALL=C.UTF-8

wineserver -k >/dev/null 2>&1 || true # a server left behind by an interrupted run
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT

# Warmed while the build runs: a persistent server, and a first program that creates the prefix
# and starts Wine's own services with none of our pipes. Started later by a test instead, those
# services would keep CTest's output pipe open and the run would hang.
mkdir -p "$WINEPREFIX"
(
    wineserver -p
    wine cmd /c exit
) </dev/null >"$build/wine-warmup.log" 2>&1 &
warming=$!

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S "$root" -B "$build" "${generator[@]}" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release
cmake --build "$build" -j2
built=$SECONDS

if ! wait "$warming"; then
    echo "wine-tests: Wine did not start:" >&2
    cat "$build/wine-warmup.log" >&2
    exit 1
fi

status=0
timeout "${MIRVALE_WINE_TIMEOUT:-600}" \
    ctest --test-dir "$build" --output-on-failure --timeout 120 | tee "$build/ctest.log" \
    || status=$?

echo "wine-tests: $((SECONDS - started)) s in all ($((built - started)) s to install and build," \
    "$((SECONDS - built)) s of tests)"
# The summary again as the closing line.
grep -E '^[0-9]+% tests passed' "$build/ctest.log" | tail -n 1 || true
exit "$status"
