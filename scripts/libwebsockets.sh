#!/usr/bin/env bash
# libwebsockets for the Linux build: Debian's source package (Debian's patches applied), then the
# project's patches (scripts/patches/libwebsockets-*.patch, in name order), built once as a
# static library with Debian's own options and compiler flags, minus the event-library plugins
# the service does not use. The build (cmake/libwebsockets.cmake) runs this at each configure and
# links what it prints; it never falls back to the system's library.
#
#   scripts/libwebsockets.sh
#
# Prints the installed folder as the last line on standard output; progress goes to standard
# error. The folder is $MIRVALE_LWS_CACHE/<key> (default <repo>/.cache/libwebsockets), the key
# being Debian's version and a hash of the patches and the build options, e.g.
# .cache/libwebsockets/lws4.1.6-3-0123456789ab/ (include/ lib/ VERSIONS build.log). It is built
# in a temporary folder beside it and renamed into place only when complete, and reused as long
# as the key is the same. A fresh machine builds it in about two minutes on 2 cores.
#
# Needs no root: apt reads the archive's source entries from a sources file of this script's own,
# with package lists of its own, both in the cache. The packages it builds with are in the run
# group of scripts/deps.sh.
#   MIRVALE_LWS_CACHE  cache folder (default: <repo>/.cache/libwebsockets)
#   MIRVALE_LWS_JOBS   parallel compile jobs (default 2)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cache=${MIRVALE_LWS_CACHE:-$root/.cache/libwebsockets}
jobs=${MIRVALE_LWS_JOBS:-2}

say() { echo "libwebsockets: $*" >&2; }
die() { say "$*"; exit 1; }

# Debian's configure options (debian/rules of 4.1.6-3) without LWS_WITH_LIBEV, LWS_WITH_LIBUV and
# LWS_WITH_GLIB, whose plugins the service never loads; one static library instead of the shared
# one. They are part of the key.
options=(
    -DLWS_WITHOUT_DAEMONIZE=OFF -DLWS_UNIX_SOCK=ON -DLWS_IPV6=ON -DLWS_WITH_ZLIB=ON
    -DLWS_WITHOUT_EXTENSIONS=OFF -DLWS_WITH_SSL=ON
    -DLWS_WITH_LIBEV=OFF -DLWS_WITH_LIBUV=OFF -DLWS_WITH_GLIB=OFF
    -DLWS_WITH_STATIC=ON -DLWS_WITH_SHARED=OFF -DLWS_WITHOUT_TESTAPPS=ON
    -DLWS_WITH_MINIMAL_EXAMPLES=OFF -DCMAKE_POSITION_INDEPENDENT_CODE=ON
)
# Debian's compiler flags for the package (dpkg-buildflags reads these).
export DEB_BUILD_MAINT_OPTIONS="hardening=+all future=+lfs"
export DEB_CFLAGS_MAINT_APPEND="-Wno-error=deprecated-declarations -fno-strict-aliasing"

mapfile -t patches < <(find "$root/scripts/patches" -maxdepth 1 -name 'libwebsockets-*.patch' | LC_ALL=C sort)

for tool in apt-get dpkg-source dpkg-buildflags cmake cc sha256sum flock; do
    command -v "$tool" >/dev/null || die "$tool is missing (scripts/deps.sh run installs what is needed)"
done

# shellcheck source=debian-source.sh
. "$root/scripts/debian-source.sh"
debian_source_init "$cache/apt"
update_lists() {
    say "fetching the archive's source package lists"
    debian_source_update >&2 || die "apt-get update of the source entries failed"
}

# Full version of the source package that apt-get source fetches, e.g. 4.1.6-3.
read_version() {
    apt-get "${debian_apt[@]}" source --print-uris -qq libwebsockets 2>/dev/null |
        awk '{ print $2 }' | sed -n 's/^libwebsockets_\(.*\)\.dsc$/\1/p' | head -n 1
}

mkdir -p "$cache"
exec 9>"$cache/.lock"
flock 9 # one build at a time; the next configure then finds it

status=0
debian_source_sources || status=$?
((status != 2)) || die "cannot write the source entries"
if ((status == 0)) || [ -z "$(read_version)" ]; then
    update_lists
fi
version=$(read_version)
[ -n "$version" ] || die "apt offers no source package libwebsockets"

hash=$( { printf '%s\n' "${options[@]}" "$DEB_BUILD_MAINT_OPTIONS" "$DEB_CFLAGS_MAINT_APPEND"
          for p in "${patches[@]}"; do basename "$p"; cat "$p"; done; } | sha256sum | cut -c1-12)
key=lws${version}-$hash
prefix=$cache/$key
if [ -f "$prefix/VERSIONS" ]; then
    say "reusing $prefix"
    echo "$prefix"
    exit 0
fi

started=$SECONDS
work=$(mktemp -d "$cache/.work-XXXXXX")
trap 'rm -rf "$work"' EXIT
log=$work/build.log
say "building $key (about two minutes; log: $cache/logs/$key.log)"
mkdir -p "$cache/logs"
build() {
    cd "$work"
    # The sources sit below this repository: keep libwebsockets, which asks git for its version,
    # from finding it.
    export GIT_CEILING_DIRECTORIES=$work
    if ! apt-get "${debian_apt[@]}" source -q libwebsockets="$version"; then
        update_lists
        apt-get "${debian_apt[@]}" source -q libwebsockets="$version"
    fi
    cd "$work/libwebsockets-${version%-*}"
    local p
    for p in "${patches[@]}"; do
        echo "applying $(basename "$p")"
        patch -p1 --no-backup-if-mismatch -f <"$p"
    done
    local generator=()
    command -v ninja >/dev/null && generator=(-G Ninja)
    CFLAGS="$(dpkg-buildflags --get CFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
    LDFLAGS=$(dpkg-buildflags --get LDFLAGS) \
        cmake -S . -B build "${generator[@]}" -DCMAKE_BUILD_TYPE=None \
        -DCMAKE_INSTALL_PREFIX="$prefix" "${options[@]}"
    cmake --build build -j"$jobs"
    DESTDIR=$work/stage cmake --install build
}
if ! (build) >"$log" 2>&1; then
    cp "$log" "$cache/logs/$key.log"
    tail -n 40 "$log" >&2
    die "build failed; full log: $cache/logs/$key.log"
fi
staged=$work/stage$prefix
[ -f "$staged/lib/libwebsockets.a" ] || die "the build installed no lib/libwebsockets.a"
{
    echo "key $key"
    echo "built $(date -u +%Y-%m-%dT%H:%M:%SZ) on $(uname -n) with $(cc --version | head -n 1) in $((SECONDS - started)) s"
    echo "libwebsockets $version: Debian source package, Debian patches applied"
    for p in "${patches[@]}"; do echo "applied $(basename "$p") sha256 $(sha256sum "$p" | cut -d' ' -f1)"; done
    echo "options ${options[*]}"
} >"$staged/VERSIONS"
cp "$log" "$staged/build.log"
cp "$log" "$cache/logs/$key.log"
mv -T "$staged" "$prefix"
say "built $prefix in $((SECONDS - started)) s"
echo "$prefix"
