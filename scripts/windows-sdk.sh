#!/usr/bin/env bash
# The Windows dependency set: OpenSSL, libwebsockets, curl and Qt (Core, Gui, Widgets, the windows
# and offscreen platform plugins) cross-built with the project's mingw-w64 toolchain
# (cmake/mingw-w64-x86_64.cmake) from Debian's own source packages.
#
#   scripts/windows-sdk.sh [--from-source] [--check] [--pack]
#
# Prints the set's folder as the last line on standard output; progress and step times go to
# standard error. Runs as root on Debian 12 (it installs packages; apt fetches the sources with
# entries and lists of its own in the cache).
#   --from-source  build even when a complete set or a prebuilt copy is there (replaces the set)
#   --check        afterwards, cross-build tests/windows/sdk-smoke against the set and run it
#                  under Wine
#   --pack         afterwards, write the set as $MIRVALE_WIN_SDK_CACHE/mirvale-win-sdk-<key>.tar.xz
#                  and print its sha256: a prebuilt copy to publish
#
# The set lands in $MIRVALE_WIN_SDK_CACHE/<key>, keyed by the upstream versions that apt offers,
# e.g. .cache/windows-sdk/qt5.15.8-lws4.1.6-curl7.88.1-openssl3.0.22/ (bin/ include/ lib/
# plugins/ mkspecs/ cmake/, VERSIONS, windows-sdk.log with each run's step times). A set is built
# in a temporary .work-* folder beside it and renamed into place only when complete, so a folder
# named by a key is always whole; build logs stay in $MIRVALE_WIN_SDK_CACHE/logs/.
# Point CMake at it with -DMIRVALE_WIN_SDK=<folder> and the toolchain file.
#
# Variables:
#   MIRVALE_WIN_SDK_CACHE         cache folder (default: <repo>/.cache/windows-sdk)
#   MIRVALE_WIN_SDK_PREBUILT_DIR  where prebuilt copies mirvale-win-sdk-<key>.tar.xz are looked
#                                 for (default: <repo>/../shared/cache)
#   MIRVALE_WIN_SDK_SHA256        sha256 of a prebuilt copy not pinned below
#   MIRVALE_WIN_SDK_FROM_SOURCE=1 same as --from-source
#   MIRVALE_WIN_SDK_JOBS          parallel compile jobs (default 2)
#   MIRVALE_WIN_SDK_KEEP_WORK=1   keep the temporary folder (sources, build trees) afterwards
set -euo pipefail

# ---- Packages (to move into a scripts/deps.sh group) -------------------------------------------
windows_sdk_packages=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix
    binutils-mingw-w64-x86-64 g++ make cmake ninja-build perl pkg-config dpkg-dev patch
    xz-utils ca-certificates)
windows_sdk_check_packages=(wine wine64 openssl iproute2 util-linux)
# -------------------------------------------------------------------------------------------------

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# Our fixes to Debian's libwebsockets (the same patches as the Linux build's), named with their
# hash by a line in the set's VERSIONS. A set without that line (the prebuilt copy, a set built
# before a patch came or changed) gets them: the library alone is rebuilt into it.
mapfile -t lws_patches < <(find "$root/scripts/patches" -maxdepth 1 -name 'libwebsockets-*.patch' | LC_ALL=C sort)
lws_fix="libwebsockets: scripts/patches applied ($(for p in "${lws_patches[@]}"; do basename "$p"; done |
    paste -sd ' ' -), sha256 $(cat "${lws_patches[@]}" | sha256sum | cut -c1-12))"

# Published prebuilt copies: key -> sha256 of mirvale-win-sdk-<key>.tar.xz. The copy pinned here
# compiles a drive-relative OpenSSL configuration folder (/tmp/winsdk/ssl, so C:\tmp\winsdk\ssl on
# Windows): good for tests under Wine, not for a program to ship; --check says so.
declare -A prebuilt_sha256=(
    [qt5.15.8-lws4.1.6-curl7.88.1-openssl3.0.22]=d37da847d82b5b0f3b92c6c242e9aa8929272cb82615ff69a594217440993ec5
)

cache=${MIRVALE_WIN_SDK_CACHE:-$root/.cache/windows-sdk}
prebuilt_dir=${MIRVALE_WIN_SDK_PREBUILT_DIR:-$root/../shared/cache}
jobs=${MIRVALE_WIN_SDK_JOBS:-2}
from_source=${MIRVALE_WIN_SDK_FROM_SOURCE:-0}
check=0
pack=0
for arg in "$@"; do
    case "$arg" in
        --from-source) from_source=1 ;;
        --check) check=1 ;;
        --pack) pack=1 ;;
        *) echo "usage: $0 [--from-source] [--check] [--pack]" >&2; exit 2 ;;
    esac
done

say() { echo "windows-sdk: $*" >&2; }
die() { say "$*"; exit 1; }

# step NAME COMMAND...: runs one step with its output in logs/NAME.log, records its time, and
# stops the script with the step's name when it fails. The step runs in a subshell of its own
# (state it leaves behind goes through files): bash ignores set -e in a function called under
# || or if, and a failed configure must not go on to make.
# Job control gives each step a process group of its own, which an interrupted run ends too.
set -m
times=()
step_pid=""
step() {
    local name=$1 started=$SECONDS status=0 step_log="$logs/$1.log"
    shift
    say "$name ..."
    ("$@") >"$step_log" 2>&1 &
    step_pid=$!
    wait "$step_pid" || status=$?
    step_pid=""
    if ((status)); then
        tail -n 40 "$step_log" >&2
        die "step '$name' failed (exit $status); full log: $step_log"
    fi
    times+=("$(printf '%-18s %5d s' "$name" $((SECONDS - started)))")
    say "$name done in $((SECONDS - started)) s"
}

install_packages() {
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    ((${#missing[@]})) || return 0
    [ "$(id -u)" -eq 0 ] || die "missing packages: ${missing[*]} (run as root, or install them)"
    echo "installing ${missing[*]}"
    apt-get update -q
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# Debian's source entries of the same archive that the binary entries name, with apt state of
# our own in the cache.
# shellcheck source=debian-source.sh
. "$root/scripts/debian-source.sh"
debian_source_init "$cache/apt"
enable_sources() {
    local status=0
    debian_source_sources || status=$?
    ((status != 2)) || return 1
    # The lists are fetched again only when the entries are new or apt does not know them yet.
    if ((status == 1)) &&
        apt-get "${debian_apt[@]}" source --print-uris -qq qtbase-opensource-src >/dev/null 2>&1; then
        echo "source entries unchanged"
        return 0
    fi
    debian_source_update
}

# Full and upstream version of the source package that apt-get source would fetch.
declare -A full_version upstream_version
read_version() {
    local package=$1 dsc
    dsc=$(apt-get "${debian_apt[@]}" source --print-uris -qq "$package" | awk '{ print $2 }' | grep '\.dsc$' | head -n 1)
    [ -n "$dsc" ] || { echo "apt offers no source package $package" >&2; return 1; }
    full_version[$package]=${dsc#"${package}_"}
    full_version[$package]=${full_version[$package]%.dsc}
    local upstream=${full_version[$package]#*:}
    upstream=${upstream%-*}
    upstream_version[$package]=${upstream%%[+~]*}
}

# fetch PACKAGE [optional]: apt-get source into $work/src/PACKAGE. When the archive answers 404
# for the Debian part but the upstream tarball came through (checked against apt's sha256), that
# tarball is unpacked as it is; an optional package that did not come is skipped. What was taken
# is written to $work/src/PACKAGE.how.
fetch() {
    local package=$1 optional=${2:-} how=$work/src/$1.how
    mkdir -p "$work/src/$package"
    cd "$work/src/$package"
    # Listed first: once a file is here, apt leaves it out of the list.
    apt-get "${debian_apt[@]}" source --print-uris -qq "$package" >../"$package.uris"
    if apt-get "${debian_apt[@]}" source -q "$package"; then
        echo "Debian source package, Debian patches applied" >"$how"
        return 0
    fi
    local name size sum orig=""
    while read -r _ name size sum; do
        if [ -f "$name" ] && [ "sha256:$(sha256sum "$name" | cut -d' ' -f1)" = "${sum,,}" ]; then
            case "$name" in
                *.orig.tar.*.asc) ;;
                *.orig.tar.*) orig=$name ;;
            esac
        else
            rm -f "$name"
            echo "did not come through: $name"
        fi
    done <../"$package.uris"
    if [ -n "$optional" ]; then
        rm -rf "$work/src/$package"
        echo "not available from the archive: skipped" >"$how"
        return 0
    fi
    [ -n "$orig" ] || { echo "the source package $package is not available from the archive"; return 1; }
    mkdir unpacked
    tar -xf "$orig" -C unpacked --strip-components=1
    echo "upstream tarball $orig only (the archive did not serve the Debian part): unpatched" >"$how"
}

source_dir() {
    local dir
    dir=$(find "$work/src/$1" -mindepth 1 -maxdepth 1 -type d | head -n 1)
    [ -n "$dir" ] || { echo "no unpacked source of $1" >&2; return 1; }
    echo "$dir"
}

# The compilers come from the project's toolchain file; autotools-style builds get them under the
# plain triple names through small wrappers.
toolchain=$root/cmake/mingw-w64-x86_64.cmake
read_toolchain() {
    local probe=$work/toolchain-probe.cmake values
    cat >"$probe" <<EOF
include("$toolchain")
message("\${MIRVALE_MINGW_TRIPLE};\${CMAKE_C_COMPILER};\${CMAKE_CXX_COMPILER}")
EOF
    values=$(cmake -P "$probe" 2>&1 | tail -n 1)
    IFS=';' read -r triple cc cxx <<<"$values"
    [ -n "$triple" ] && command -v "$cc" >/dev/null && command -v "$cxx" >/dev/null ||
        die "compilers of $toolchain not found: '$values'"
    mkdir -p "$work/toolbin"
    printf '#!/bin/sh\nexec %s "$@"\n' "$(command -v "$cc")" >"$work/toolbin/$triple-gcc"
    printf '#!/bin/sh\nexec %s "$@"\n' "$(command -v "$cxx")" >"$work/toolbin/$triple-g++"
    chmod +x "$work/toolbin/"*
}

build_openssl() {
    cd "$(source_dir openssl)"
    PATH=$work/toolbin:$PATH ./Configure mingw64 shared no-tests \
        --cross-compile-prefix="$triple-" --prefix="$sdk" --libdir=lib
    # OpenSSL reads openssl.cnf from OPENSSLDIR whenever TLS starts, and a configuration can load
    # DLLs. This machine's paths would be drive-relative on Windows (C:\work\...), where any user
    # may create folders; OpenSSL's Windows defaults are writable by administrators only.
    # Compiled in only: the files still install into the set.
    PATH=$work/toolbin:$PATH make -j"$jobs" build_sw \
        "OPENSSLDIR=C:/Program Files/Common Files/SSL" \
        "ENGINESDIR=C:/Program Files/OpenSSL/lib/engines-3" \
        "MODULESDIR=C:/Program Files/OpenSSL/lib/ossl-modules"
    PATH=$work/toolbin:$PATH make install_sw DESTDIR="$stage"
    # With the toolchain's -static, -lssl would take these and put a second OpenSSL in the program.
    rm "$prefix/lib/libssl.a" "$prefix/lib/libcrypto.a" "$prefix/bin/c_rehash"
}

cmake_cross() {
    cmake -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DMIRVALE_WIN_SDK="$prefix" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$sdk" "$@"
}

# Debian applies its patches; ours follow (one already applied is left as it is).
patch_libwebsockets() {
    local fix
    for fix in "${lws_patches[@]}"; do
        patch -p1 -R --dry-run -s -f <"$fix" >/dev/null 2>&1 && continue
        patch -p1 --no-backup-if-mismatch <"$fix"
    done
}

build_libwebsockets() {
    cd "$(source_dir libwebsockets)"
    patch_libwebsockets
    cmake_cross -S . -B build \
        -DLWS_WITH_SSL=ON -DLWS_OPENSSL_INCLUDE_DIRS="$prefix/include" \
        -DLWS_OPENSSL_LIBRARIES="$prefix/lib/libssl.dll.a;$prefix/lib/libcrypto.dll.a" \
        -DLWS_WITH_SHARED=ON -DLWS_WITH_STATIC=OFF -DLWS_WITHOUT_TESTAPPS=ON \
        -DLWS_WITH_MINIMAL_EXAMPLES=OFF -DLWS_WITH_ZLIB=OFF -DLWS_WITH_PLUGINS=OFF \
        -DDISABLE_WERROR=ON
    cmake --build build -j"$jobs"
    DESTDIR=$stage cmake --install build
    # On Windows the library installs no pkg-config file; the project looks it up by one.
    local version=${upstream_version[libwebsockets]}
    mkdir -p "$prefix/lib/pkgconfig"
    cat >"$prefix/lib/pkgconfig/libwebsockets.pc" <<EOF
prefix=\${pcfiledir}/../..
libdir=\${prefix}/lib
includedir=\${prefix}/include

Name: libwebsockets
Description: Websockets server and client library
Version: $version
Requires.private: libssl libcrypto
Libs: -L\${libdir} -lwebsockets
Cflags: -I\${includedir}
EOF
}

# A set without the libwebsockets fix (the prebuilt copy, an older set): the library rebuilt
# from Debian's source with the fix, against the set's own OpenSSL, and its DLL put in place.
# Arguments: the set's folder now, and the folder it will have (where its .pc files point).
upgrade_libwebsockets() {
    local set=$1 final=$2
    prefix=$set
    sdk=$final
    stage=$work/lws-stage
    export GIT_CEILING_DIRECTORIES=$work
    read_toolchain
    fetch libwebsockets
    build_libwebsockets
    cp "$stage$final/bin/libwebsockets.dll" "$set/bin/libwebsockets.dll"
    sed -i '/^libwebsockets: /d' "$set/VERSIONS"
    echo "$lws_fix" >>"$set/VERSIONS"
}

build_curl() {
    cd "$(source_dir curl)"
    # Debian's last two patches rename the library for its GnuTLS and NSS flavours.
    local patch
    for patch in 99_nss.patch 90_gnutls.patch; do
        if [ -f "debian/patches/$patch" ] && [ -d .pc ]; then
            patch -R -p1 --no-backup-if-mismatch <"debian/patches/$patch"
        fi
    done
    cmake_cross -S . -B build \
        -DBUILD_SHARED_LIBS=ON -DBUILD_CURL_EXE=OFF -DBUILD_TESTING=OFF -DENABLE_MANUAL=OFF \
        -DHTTP_ONLY=ON -DCURL_USE_OPENSSL=ON -DOPENSSL_ROOT_DIR="$prefix" \
        -DOPENSSL_INCLUDE_DIR="$prefix/include" \
        -DOPENSSL_SSL_LIBRARY="$prefix/lib/libssl.dll.a" \
        -DOPENSSL_CRYPTO_LIBRARY="$prefix/lib/libcrypto.dll.a" \
        -DCURL_USE_LIBSSH2=OFF -DUSE_LIBIDN2=OFF -DCURL_ZLIB=OFF -DUSE_NGHTTP2=OFF \
        -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF -DCURL_DISABLE_LDAP=ON \
        -DCURL_CA_BUNDLE=none -DCURL_CA_PATH=none
    cmake --build build -j"$jobs"
    DESTDIR=$stage cmake --install build
}

# Debian's dfsg tarball drops the Wintab headers (their licence forbids changes), so the Windows
# platform plugin keeps its pen and touch input but loses the legacy Wintab tablet path.
patch_qt_wintab() {
    local pri=src/plugins/platforms/windows/windows.pri
    local context=src/plugins/platforms/windows/qwindowscontext.cpp
    [ -f src/3rdparty/wintab/wintab.h ] && return 0
    grep -q '^qtConfig(tabletevent) {$' "$pri" && grep -q 'QT_CONFIG(tabletevent)' "$context" ||
        { echo "qtbase no longer looks as expected: $pri, $context"; return 1; }
    sed -i 's/^qtConfig(tabletevent) {$/false {/' "$pri"
    sed -i 's/QT_CONFIG(tabletevent)/0 \/* no Wintab headers *\//' "$context"
    echo "patched $pri and $context: Wintab tablet support off"
}

build_qtbase() {
    cd "$(source_dir qtbase-opensource-src)"
    patch_qt_wintab
    local modules=(-no-feature-network -no-feature-xml -no-feature-testlib -no-feature-concurrent)
    # QtWebSockets needs QtNetwork.
    [ -n "${qtwebsockets_dir:-}" ] && modules=(-no-feature-xml -no-feature-testlib -no-feature-concurrent)
    # Built in the source tree: qmake words the install path of the mingw .pc files relative to
    # the source folder, which breaks make install from a shadow build folder at another depth.
    PATH=$work/toolbin:$PATH ./configure -xplatform win32-g++ \
        -device-option CROSS_COMPILE="$triple-" -prefix "$sdk" \
        -release -shared -opensource -confirm-license -nomake examples -nomake tests \
        -no-opengl -no-dbus -no-icu -no-openssl -qt-zlib -qt-pcre -qt-libpng -qt-freetype \
        -qt-harfbuzz -no-libjpeg -no-gif -no-feature-sql -no-feature-printer \
        -no-feature-vulkan -no-feature-direct2d -no-feature-bearermanagement "${modules[@]}"
    PATH=$work/toolbin:$PATH make -j"$jobs"
    PATH=$work/toolbin:$PATH make install INSTALL_ROOT="$stage"
    rm -r "$prefix/doc" # qdoc settings for Qt's other modules
}

# Not reached while the archive serves no qtwebsockets files (404 when this was written).
build_qtwebsockets() {
    cd "$qtwebsockets_dir"
    PATH=$work/toolbin:$PATH "$prefix/bin/qmake" -- .
    PATH=$work/toolbin:$PATH make -j"$jobs"
    PATH=$work/toolbin:$PATH make install INSTALL_ROOT="$stage"
}

# The compiler's own DLLs, which the Qt DLLs and libwebsockets need beside them; stripped, as the
# compiler ships them with debugging sections.
add_runtime() {
    local dll path
    for dll in libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll; do
        path=$("$cxx" -print-file-name="$dll")
        [ -f "$path" ] || { echo "the compiler has no $dll"; return 1; }
        "$triple-strip" --strip-unneeded -o "$prefix/bin/$dll" "$path"
    done
}

# So that the set can move: qmake finds its prefix through qt.conf, and pkg-config files name
# their folders relative to themselves. Arguments: build paths to replace besides each file's own
# prefix (the staging and the final folder).
make_relocatable() {
    printf '[Paths]\nPrefix = ..\n' >"$prefix/bin/qt.conf"
    local pc path
    for pc in "$prefix"/lib/pkgconfig/*.pc; do
        for path in "$@" "$(sed -n 's/^prefix=//p' "$pc")"; do
            [ "${path:0:1}" = / ] && sed -i "s|$path|\${prefix}|g" "$pc"
        done
        sed -i -e 's|^prefix=.*|prefix=${pcfiledir}/../..|' -e 's|^libdir=/.*|libdir=${prefix}/lib|' "$pc"
    done
}

record_versions() {
    local package
    {
        echo "key $key"
        echo "built $(date -u +%Y-%m-%dT%H:%M:%SZ) on $(uname -n) with $("$cxx" --version | head -n 1)"
        for package in openssl libwebsockets curl qtbase-opensource-src qtwebsockets-opensource-src; do
            echo "$package ${full_version[$package]:-?}: $(cat "$work/src/$package.how" 2>/dev/null)"
        done
        echo "openssl: OPENSSLDIR, ENGINESDIR, MODULESDIR set to OpenSSL's Windows defaults"
        echo "curl: Debian's 90_gnutls.patch and 99_nss.patch reverted (they rename the library)"
        echo "qtbase: Wintab tablet support off (headers not in Debian's tarball)"
        echo "$lws_fix"
    } >"$prefix/VERSIONS"
}

finish_build() {
    add_runtime
    # libwebsockets' export names the OpenSSL it was built against by its staging path.
    sed -i "s|$prefix|\${_IMPORT_PREFIX}|g" "$prefix/cmake/LibwebsocketsTargets.cmake"
    make_relocatable "$prefix" "$sdk"
    local leaked
    leaked=$(grep -l -e "$work" -e "$sdk" "$prefix"/lib/pkgconfig/*.pc "$prefix"/cmake/*.cmake \
        "$prefix"/lib/cmake/*/*.cmake || true)
    [ -z "$leaked" ] || { echo "build paths left in: $leaked"; return 1; }
    record_versions
}

unpack_prebuilt() {
    local tarball=$1 sum
    sum=$(sha256sum "$tarball" | cut -d' ' -f1)
    if [ "$sum" != "$expected_sha256" ]; then
        echo "sha256 of $tarball is $sum, published as $expected_sha256"
        return 1
    fi
    mkdir -p "$work/unpacked"
    tar -xJf "$tarball" -C "$work/unpacked"
    [ -d "$work/unpacked/winsdk/bin" ] || { echo "$tarball holds no winsdk/ folder"; return 1; }
    mkdir -p "$(dirname "$prefix")"
    mv -T "$work/unpacked/winsdk" "$prefix"
    {
        printf 'key %s\nunpacked %s from %s (sha256 %s)\n' "$key" \
            "$(date -u +%Y-%m-%dT%H:%M:%SZ)" "$tarball" "$sum"
        local package
        for package in openssl libwebsockets curl qtbase-opensource-src; do
            echo "$package: apt offers ${full_version[$package]}"
        done
    } >"$prefix/VERSIONS"
}

# ---- main ---------------------------------------------------------------------------------------
started=$SECONDS
mkdir -p "$cache/logs"
logs=$cache/logs
work=$(mktemp -d "$cache/.work-XXXXXX")
cleanup() {
    [ -n "$step_pid" ] && kill -- -"$step_pid" 2>/dev/null && wait "$step_pid" 2>/dev/null
    [ "${MIRVALE_WIN_SDK_KEEP_WORK:-0}" = 1 ] && say "work folder kept: $work" && return
    rm -rf "$work"
}
trap cleanup EXIT
trap 'say "interrupted"; exit 130' INT TERM HUP

step packages install_packages "${windows_sdk_packages[@]}"
step apt-sources enable_sources
for package in openssl libwebsockets curl qtbase-opensource-src; do
    read_version "$package" >>"$logs/versions.log" 2>&1 || die "step 'versions' failed: $(tail -n 1 "$logs/versions.log")"
done
key="qt${upstream_version[qtbase-opensource-src]}-lws${upstream_version[libwebsockets]}"
key+="-curl${upstream_version[curl]}-openssl${upstream_version[openssl]}"
sdk=$cache/$key
say "versions: openssl ${full_version[openssl]}, libwebsockets ${full_version[libwebsockets]}," \
    "curl ${full_version[curl]}, qtbase ${full_version[qtbase-opensource-src]} (key $key)"

logs=$cache/logs/$key
mkdir -p "$logs"
tarball=$prebuilt_dir/mirvale-win-sdk-$key.tar.xz
expected_sha256=${MIRVALE_WIN_SDK_SHA256:-${prebuilt_sha256[$key]:-}}
if [ -d "$sdk" ] && [ "$from_source" != 1 ]; then
    path="reused"
    say "reusing $sdk"
    grep -qxF "$lws_fix" "$sdk/VERSIONS" || step lws-fix upgrade_libwebsockets "$sdk" "$sdk"
elif [ -f "$tarball" ] && [ "$from_source" != 1 ] && [ -n "$expected_sha256" ]; then
    path="unpacked from $tarball"
    say "unpacking the prebuilt copy $tarball (sha256 $expected_sha256)"
    prefix=$work/set
    step unpack unpack_prebuilt "$tarball"
    step finish make_relocatable
    grep -qxF "$lws_fix" "$prefix/VERSIONS" || step lws-fix upgrade_libwebsockets "$prefix" "$sdk"
else
    path="built from source"
    [ -f "$tarball" ] && [ "$from_source" != 1 ] &&
        say "$tarball has no published sha256 (set MIRVALE_WIN_SDK_SHA256): building from source"
    say "building from source (about 35-60 minutes on 2 cores)"
    stage=$work/stage
    prefix=$stage$sdk
    # The sources sit below this repository: keep their builds (libwebsockets asks git for its
    # version) from finding it.
    export GIT_CEILING_DIRECTORIES=$work
    read_toolchain
    step fetch-openssl fetch openssl
    step fetch-lws fetch libwebsockets
    step fetch-curl fetch curl
    step fetch-qtbase fetch qtbase-opensource-src
    step fetch-qtwebsockets fetch qtwebsockets-opensource-src optional
    read_version qtwebsockets-opensource-src 2>/dev/null || true
    grep -q '^Debian' "$work/src/qtwebsockets-opensource-src.how" &&
        qtwebsockets_dir=$(source_dir qtwebsockets-opensource-src)
    step openssl build_openssl
    step libwebsockets build_libwebsockets
    step curl build_curl
    step qtbase build_qtbase
    [ -n "${qtwebsockets_dir:-}" ] && step qtwebsockets build_qtwebsockets
    step finish finish_build
fi

if [ "$path" != "reused" ]; then
    # Into place in one rename; a set it replaces is removed only afterwards.
    old=""
    if [ -d "$sdk" ]; then
        old=$work/old
        mv -T "$sdk" "$old"
    fi
    mv -T "$prefix" "$sdk" || die "step 'finish' failed: could not move the set to $sdk"
    {
        echo "== $(date -u +%Y-%m-%dT%H:%M:%SZ) $path"
        printf '%s\n' "${times[@]}"
        printf '%-18s %5d s\n' total $((SECONDS - started))
    } >>"$sdk/windows-sdk.log"
fi

say "$path: $sdk ($(du -sh "$sdk" | cut -f1))"
for line in "${times[@]}"; do say "  $line"; done
say "  $(printf '%-18s %5d s' total $((SECONDS - started)))"

if ((pack)); then
    packed=$cache/mirvale-win-sdk-$key.tar.xz
    say "packing $packed"
    tar -C "$cache" --transform "s|^$key|winsdk|" -cf - "$key" | xz -T"$jobs" >"$packed.new"
    mv "$packed.new" "$packed"
    say "packed: $packed ($(stat -c %s "$packed") bytes, sha256 $(sha256sum "$packed" | cut -d' ' -f1))"
fi

if ((check)); then
    logs=$cache/logs
    step check-packages install_packages "${windows_sdk_check_packages[@]}"
    "$root/tests/windows/sdk-smoke/run.sh" "$sdk" >&2 || die "step 'check' failed"
fi
echo "$sdk"
