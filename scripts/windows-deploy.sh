#!/usr/bin/env bash
# Puts beside a Windows program exactly what it needs of a dependency set (scripts/windows-sdk.sh)
# to run: the set's DLLs it imports, directly or through another of them, the Qt platform plugins
# (offscreen, windows) and the .ico reader, and a qt.conf that makes the program's folder Qt's
# prefix. Lists what it placed, relative to the folder, in dlls.txt there.
#
#   scripts/windows-deploy.sh SDK PROGRAM.exe
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: $0 SDK PROGRAM.exe" >&2; exit 2; }
sdk=$1
program=$2
bin=$(dirname "$program")
objdump=${MIRVALE_OBJDUMP:-x86_64-w64-mingw32-objdump}

rm -rf "$bin/platforms" "$bin/imageformats"
mkdir -p "$bin/platforms" "$bin/imageformats"
cp "$sdk/plugins/platforms/qoffscreen.dll" "$sdk/plugins/platforms/qwindows.dll" "$bin/platforms/"
cp "$sdk/plugins/imageformats/qico.dll" "$bin/imageformats/"
# Anything imported that is not in the set comes with Windows.
declare -A in_set seen
for dll in "$sdk"/bin/*.dll; do in_set[$(basename "${dll,,}")]=$dll; done
placed=()
queue=("$program" "$bin"/platforms/*.dll "$bin"/imageformats/*.dll)
while ((${#queue[@]})); do
    file=${queue[0]}
    queue=("${queue[@]:1}")
    while read -r name; do
        name=${name,,}
        [ -n "${seen[$name]:-}" ] && continue
        seen[$name]=1
        if [ -n "${in_set[$name]:-}" ]; then
            cp "${in_set[$name]}" "$bin/"
            placed+=("$(basename "${in_set[$name]}")")
            queue+=("${in_set[$name]}")
        fi
    done < <("$objdump" -p "$file" | sed -n 's/^[[:space:]]*DLL Name: //p')
done
# The set's own qt.conf points at the set; beside the program, the program's folder is the prefix.
printf '[Paths]\nPrefix = .\nPlugins = .\n' >"$bin/qt.conf"
{
    printf '%s\n' "${placed[@]}"
    (cd "$bin" && ls platforms/*.dll imageformats/*.dll)
} | sort >"$bin/dlls.txt"
