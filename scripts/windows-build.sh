#!/usr/bin/env bash
# Cross-builds the whole service for 64-bit Windows with mingw-w64 against the Windows dependency
# set (scripts/windows-sdk.sh: a set already here, the prebuilt copy, or one built from source).
#
#   scripts/windows-build.sh [--from-source]
#
# Gives, in build-win/ (or MIRVALE_WINDOWS_BUILD):
#   bin/mirvale.exe      with the DLLs and Qt plugins it needs beside it (bin/dlls.txt) and qt.conf
#   bin/mirvale_win_*    the Windows tests (scripts/wine-tests.sh runs them under Wine)
#   mirvale-setup.exe    the NSIS installer
# Installs what is missing (Debian 12, as root). Prints the time of each stage and the sizes.
set -euo pipefail

started=$SECONDS
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${MIRVALE_WINDOWS_BUILD:-$root/build-win}
say() { echo "windows-build: $*"; }

"$root/scripts/deps.sh" windows
sdk=$("$root/scripts/windows-sdk.sh" "$@" | tail -n 1)
set_done=$SECONDS

# A set unpacked from the prebuilt copy names a configuration folder that any Windows user may
# create; the service never reads it (main.cpp), yet such a build is for tests only.
origin="built from Debian's sources on $(sed -n 's/^built [^ ]* on //p' "$sdk/VERSIONS" | cut -d' ' -f1)"
if grep -q '^unpacked ' "$sdk/VERSIONS"; then
    origin="UNPACKED FROM THE PREBUILT COPY: fine for tests, NOT FOR SHIPPING (build with --from-source)"
fi
say "dependency set $sdk: $origin"

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S "$root" -B "$build" "${generator[@]}" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
    -DMIRVALE_WIN_SDK="$sdk" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target mirvale_deploy
tree_done=$SECONDS
cmake --build "$build" -j2
all_done=$SECONDS
echo "$origin" >"$build/dependency-set.txt"

bin=$build/bin
size() { du -cb "$@" | tail -n 1 | cut -f1; }
say "set $((set_done - started)) s, mirvale.exe $((tree_done - set_done)) s," \
    "tests and installer $((all_done - tree_done)) s"
say "mirvale.exe $(size "$bin/mirvale.exe") bytes; its DLLs and plugins" \
    "$(cd "$bin" && size $(cat dlls.txt)) bytes ($(wc -l <"$bin/dlls.txt") files)"
[ -f "$build/mirvale-setup.exe" ] && say "installer $build/mirvale-setup.exe $(size "$build/mirvale-setup.exe") bytes"
say "dependency set: $origin"
