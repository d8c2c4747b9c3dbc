#!/usr/bin/env bash
# Installs the Debian packages that a task needs, when they are missing (with sudo unless root,
# without recommended packages). An entry COMMAND:PACKAGE is wanted only when the command is
# missing (node and npm may come from elsewhere than Debian, for one).
# Usage: scripts/deps.sh GROUP...
#   run      build and run the service
#   test     build and run the test suite (run + GoogleTest, QtWebSockets, ...)
#   fuzz     the libFuzzer targets (clang)
#   tls      the TLS scan of port 8143
#   wine     the Windows files under Wine (mingw-w64)
#   windows  the Windows executable and its installer (mingw-w64, NSIS; scripts/windows-build.sh)
#   browser  the browser matrix: Chromium, Firefox ESR, the demo page
#   desktop  the real players on a virtual display (Debian's VLC and mpv, Xvfb, a clip made by ffmpeg)
#   bench    the benchmarks (test + Google Benchmark)
#   package  the Debian package test
#   fresh    scripts/fresh-debian.sh (a Debian 12 root made by debootstrap)
#   system   the package on a booted Debian 12 root (debootstrap, systemd-nspawn)
set -euo pipefail

group() {
    case "$1" in
        # libwebsockets is built from Debian's source (scripts/libwebsockets.sh): dpkg-dev
        # unpacks it, and its libraries are OpenSSL, libcap and zlib, as in Debian's build.
        run) echo cmake ninja-build g++ pkg-config openssl qtbase5-dev libcurl4-openssl-dev \
                  libsystemd-dev dpkg-dev libssl-dev libcap-dev zlib1g-dev ;;
        test) echo "$(group run)" libqt5websockets5-dev googletest libgtest-dev libgmock-dev \
                   util-linux procps iproute2 ;;
        fuzz) echo cmake ninja-build pkg-config qtbase5-dev clang libclang-rt-14-dev libfuzzer-14-dev ;;
        tls) echo sslscan openssl iproute2 ;;
        wine) echo cmake ninja-build googletest g++-mingw-w64-x86-64-posix wine wine64 ;;
        windows) echo cmake ninja-build googletest g++-mingw-w64-x86-64-posix \
                      binutils-mingw-w64-x86-64 nsis ;;
        browser) echo chromium firefox-esr libnss3-tools fonts-dejavu-core iproute2 util-linux \
                      node:nodejs npm:npm ;;
        desktop) echo vlc-bin vlc-plugin-base vlc-plugin-qt vlc-plugin-video-output mpv xvfb ffmpeg \
                      xdotool util-linux ;;
        bench) echo "$(group test)" libbenchmark-dev iproute2 ;;
        package) echo cmake dpkg-dev file openssl jq iproute2 python3 node:nodejs npm:npm ;;
        fresh) echo debootstrap iproute2 python3 util-linux ;;
        system) echo "$(group run)" dpkg-dev file debootstrap systemd-container util-linux procps \
                     python3 ;;
        *) return 1 ;;
    esac
}

[ $# -gt 0 ] || set -- run
wanted=()
for name in "$@"; do
    if ! packages=$(group "$name"); then
        echo "usage: $0 run|test|fuzz|tls|wine|windows|browser|desktop|bench|package|fresh|system..." >&2
        exit 2
    fi
    read -ra list <<<"$packages"
    wanted+=("${list[@]}")
done

missing=()
for entry in "${wanted[@]}"; do
    p=${entry#*:}
    case " ${missing[*]} " in *" $p "*) continue ;; esac
    if [ "$p" != "$entry" ]; then
        command -v "${entry%%:*}" >/dev/null 2>&1 || missing+=("$p")
    else
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
install() {
    # Another apt on this machine may hold the lock for a while.
    "${sudo[@]}" apt-get install -y -qq --no-install-recommends -o DPkg::Lock::Timeout=600 "${missing[@]}"
}
echo "Installing: ${missing[*]}"
# The package lists are fetched only when they do not know a package yet, or turn out stale.
for p in "${missing[@]}"; do
    if ! apt-cache show "$p" >/dev/null 2>&1; then
        "${sudo[@]}" apt-get update -qq
        break
    fi
done
install || { "${sudo[@]}" apt-get update -qq && install; }
