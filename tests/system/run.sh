#!/usr/bin/env bash
# The package on a booted Debian 12: systemd as PID 1, logind, D-Bus and the user's own manager,
# in a root made by debootstrap (cached under .cache/system/, keyed by its package list) and
# booted by systemd-nspawn with a private network. The root is driven from outside through
# nsenter; inside, an ordinary user's seat0 session (PAM, no VT) has Xvfb as its display, and
# real Plays open Debian's VLC there. Each case is a row of the table at the end.
# Usage (as root): tests/system/run.sh [BUILD_DIR]   (default: build; target mirvale built)
# Kept in BUILD_DIR/system/: the screenshot, the container's journal, the security figure.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
tree=$(cd "$here/../.." && pwd)
build=$(realpath -m "${1:-$tree/build}")
out=$build/system
user=viewer
uid=1000

if [ "$(id -u)" -ne 0 ]; then
    echo "The system test runs debootstrap and systemd-nspawn: run it as root." >&2
    exit 2
fi
# A mount namespace of its own: the root's overlay goes when the test ends, however it ends.
if [ -z "${MIRVALE_SYSTEM_NS:-}" ]; then
    "$tree/scripts/deps.sh" system || exit 2
    MIRVALE_SYSTEM_NS=1 exec unshare --mount --propagation private "$0" "$build"
fi
started=$(date +%s)
mkdir -p "$out"
elapsed() { echo "$(($(date +%s) - started)) s"; }

# ---- The package, built as the package test builds it (into a folder of its own).
echo "== the package ($(elapsed))"
[ -f "$build/CMakeCache.txt" ] || cmake --preset default -S "$tree" >/dev/null || exit 1
cmake --build "$build" --target mirvale -j2 >/dev/null || exit 1
rm -rf "$out/deb"
(cd "$build" && cpack -G DEB -B "$out/deb" >/dev/null) || exit 1
deb=$(ls "$out"/deb/mirvale_*.deb) || exit 1

# ---- The cached root: what the package needs, the player, the display, the tools of the cases.
# Bump setup when the preparation below changes: it is part of the cache key.
setup=3
packages=$( (echo systemd systemd-sysv dbus libpam-systemd procps python3 vlc-bin vlc-plugin-base \
                  vlc-plugin-qt vlc-plugin-video-output xvfb xdotool ffmpeg
             dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/|.*//; s/(.*)//') |
           tr ' ' '\n' | sed '/^$/d' | sort -u | tr '\n' ' ')
key=$(echo "bookworm $setup $packages" | sha256sum | cut -c1-16)
cache=$tree/.cache/system/bookworm-$key
if [ ! -d "$cache" ]; then
    echo "== a Debian 12 root with: $packages ($(elapsed))"
    archive=$("$tree/scripts/apt-archive.sh") || exit 1
    # A root that debootstrap finished is kept for the next try when the install fails.
    tmp=$cache.partial
    if [ ! -e "$tmp/.debootstrapped" ]; then
        rm -rf "$tmp" && mkdir -p "$(dirname "$tmp")"
        debootstrap --variant=minbase bookworm "$tmp" "$archive" >"$out/debootstrap.log" 2>&1 \
            || { tail -20 "$out/debootstrap.log"; rm -rf "$tmp"; exit 1; }
        touch "$tmp/.debootstrapped"
    fi
    # Installed with this machine's network; nothing inside starts (no systemd runs yet).
    # shellcheck disable=SC2086
    if ! systemd-nspawn -q --register=no --keep-unit -D "$tmp" --resolv-conf=replace-host \
            --setenv=DEBIAN_FRONTEND=noninteractive sh -c "apt-get update -qq && apt-get install -y -qq --no-install-recommends $packages \
                   && apt-get clean && rm -rf /var/lib/apt/lists/*
                   useradd -m -u $uid -s /bin/bash $user
                   " >"$out/root.log" 2>&1; then
        tail -20 "$out/root.log"
        exit 1
    fi
    rm -f "$tmp/.debootstrapped"
    mv "$tmp" "$cache"
fi

# ---- This run's root: an overlay on the cached one, with the package installed.
echo "== install the package into the root ($(elapsed))"
rm -rf "$out/root" && mkdir -p "$out/root/upper" "$out/root/work" "$out/root/merged"
root=$out/root/merged
mount -t overlay overlay -o "lowerdir=$cache,upperdir=$out/root/upper,workdir=$out/root/work" "$root" \
    || exit 1
cp "$deb" "$root/root/mirvale.deb"
# The user's VLC preferences: the first-start question answered (it holds the playlist back),
# silent audio (no sound device), no title drawn over the subtitle. Then the clip and its
# subtitle, served inside the root.
systemd-nspawn -q --register=no --keep-unit -D "$root" --private-network --user=$user sh -c '
    mkdir -p ~/.config/vlc &&
    printf "[qt]\nqt-privacy-ask=0\n[core]\naout=adummy\nvideo-title-show=0\n" \
        >~/.config/vlc/vlcrc' >"$out/install.log" 2>&1 || { cat "$out/install.log"; exit 1; }
systemd-nspawn -q --register=no --keep-unit -D "$root" --private-network sh -c '
    dpkg -i /root/mirvale.deb && mkdir -p /srv/media &&
    ffmpeg -hide_banner -loglevel error -f lavfi -i testsrc=size=320x240:rate=25 -t 30 -c:v libx264 \
        -preset ultrafast -pix_fmt yuv420p -movflags +faststart /srv/media/clip.mp4 &&
    printf "1\n00:00:00,000 --> 00:00:30,000\nMirvale subtitle\n" >/srv/media/clip.srt' \
    >>"$out/install.log" 2>&1 || { cat "$out/install.log"; exit 1; }

# ---- Boot it. nspawn's SIGTERM halts the container; the trap also ends what is left.
echo "== boot ($(elapsed))"
systemd-nspawn -q --register=no --keep-unit -D "$root" --boot --private-network --machine="mirvale-$$" \
    --console=passive >"$out/boot.log" 2>&1 &
nspawn=$!
finish() {
    if kill -0 "$nspawn" 2>/dev/null; then
        kill -TERM "$nspawn"
        for _ in $(seq 300); do kill -0 "$nspawn" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$nspawn" 2>/dev/null
    fi
    wait "$nspawn" 2>/dev/null
    umount "$root" 2>/dev/null
}
trap finish EXIT
leader=""
for _ in $(seq 300); do
    leader=$(pgrep -P "$nspawn" | head -n 1)
    [ -n "$leader" ] && [ "$(cat "/proc/$leader/comm" 2>/dev/null)" = systemd ] && break
    leader=""
    sleep 0.1
done
[ -n "$leader" ] || { echo "the container did not start"; cat "$out/boot.log"; exit 1; }
# A command inside the booted root, as root; its output is this script's.
inside() {
    nsenter -t "$leader" -m -u -i -n -p -r -w env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"
}
wait_for() { # SECONDS COMMAND...: until the command succeeds
    local seconds=$1
    shift
    for _ in $(seq $((seconds * 4))); do "$@" >/dev/null 2>&1 && return 0; sleep 0.25; done
    return 1
}
# Until the system bus answers, then until the boot has finished.
wait_for 60 inside busctl status || { echo "no system bus in the container"; exit 1; }
echo "booted: $(inside systemctl is-system-running --wait) ($(elapsed))"

# ---- What the cases use.
play() { # ID: the reply to a Play of the clip with its subtitle, both served inside the root
    nsenter -t "$leader" -n python3 "$here/ws.py" "{\"action\":\"Play\",\"application\":\"vlc\",\"id\":$1,\
\"params\":{\"files\":[{\"url\":\"http://127.0.0.1:8080/clip.mp4\",\
\"sub-file\":\"http://127.0.0.1:8080/clip.srt\"}]}}" 60
}
played() { play "$1" | grep -qx "{\"action\":\"Play\",\"download_subfile_result\":true,\"id\":$1,\"return\":0}"; }
refused() { play "$1" | grep -q "\"return\":-6"; }
# The pid of a VLC of the user that is not $2 (the previous one), with its window on display $1.
find_vlc() {
    local id pid
    for id in $(inside env DISPLAY="$1" xdotool search --onlyvisible --name "VLC media player"); do
        pid=$(inside env DISPLAY="$1" xdotool getwindowpid "$id") || continue
        [ "$pid" != "${2:-}" ] && [ "$(inside stat -c %u "/proc/$pid")" = $uid ] && { echo "$pid"; return 0; }
    done
    return 1
}
vlc=""
vlc_on() { # DISPLAY [PREVIOUS]: sets vlc
    local found
    found=$(wait_for_output 60 find_vlc "$@") || return 1
    vlc=$found
}
wait_for_output() {
    local seconds=$1 result
    shift
    for _ in $(seq $((seconds * 4))); do
        result=$("$@" 2>/dev/null) && { echo "$result"; return 0; }
        sleep 0.25
    done
    return 1
}
cgroup_of() { inside cat "/proc/$1/cgroup"; }
environ_of() { inside cat "/proc/$1/environ" | tr '\0' '\n'; }
in_manager() { cgroup_of "$vlc" | grep -q "/user.slice/user-$uid.slice/user@$uid.service/" \
               && ! cgroup_of "$vlc" | grep -q mirvale.service; }
as_viewer() { [ "$(inside stat -c %u "/proc/$vlc")" = $uid ]; }
with_display() {
    environ_of "$vlc" | grep -qx "DISPLAY=$1" && environ_of "$vlc" | grep -qx "XDG_RUNTIME_DIR=/run/user/$uid" \
        && environ_of "$vlc" | grep -qx XDG_SESSION_TYPE=x11
}
shot() { # DISPLAY NAME: the display kept as NAME.png, for a look
    inside ffmpeg -hide_banner -loglevel error -y -f x11grab -video_size 1280x720 -i "$1" \
        -frames:v 1 "/root/$2.png" && cp "$root/root/$2.png" "$out/$2.png"
}
session_state() { inside loginctl show-session "$1" -p State --value; }
session_of_unit() { inside loginctl list-sessions --no-legend | awk -v u=$user '$3 == u { print $1 }' | head -n 1; }
# An ordinary user's graphical login on seat0, as a display manager makes it: PAM's session
# (logind, the user's manager), no VT; its leader is the display server, started with a process
# that outlives it (which keeps the session closing once the leader has ended). Without
# -noreset the server resets when the check's client leaves, and refuses the player meanwhile.
login_x11() {
    inside systemd-run -q --unit=mirvale-login -p PAMName=login -p User=$user \
        -p Environment="XDG_SEAT=seat0 XDG_SESSION_TYPE=x11 XDG_SESSION_CLASS=user DISPLAY=:5" \
        /bin/sh -c 'setsid sleep 3600 & exec Xvfb :5 -screen 0 1280x720x24 -nolisten tcp -noreset'
    # Ready once the user's own clients get in.
    wait_for 30 inside setpriv --reuid=$uid --regid=$uid --clear-groups env DISPLAY=:5 xdotool getdisplaygeometry
}
manager_socket=/run/user/$uid/systemd/private
getinfo_lists_vlc() {
    nsenter -t "$leader" -n python3 "$here/ws.py" '{"action":"Getinfo","id":1}' | grep -q '"applications":\["vlc"\]'
}
seat0_session() { login_x11 && [ "$(session_state "$(session_of_unit)")" = active ]; }
first_vlc() { vlc_on :5 && as_viewer; }
subtitle_open() { inside ls -l "/proc/$vlc/fd" | grep -q /var/lib/Mirvale/subfiles/; }
clip_fetched() { inside journalctl -q -u mirvale-media.service | grep -q '"GET /clip.mp4 '; }
# The display once the clip has played a while, kept for a look.
playing() {
    wait_for 20 subtitle_open && wait_for 20 clip_fetched && sleep 2 && shot :5 vlc-x11 \
        && shows_window vlc-x11
}
second_play() { local first=$vlc; played 3 && vlc_on :5 "$first" && ! inside kill -0 "$first"; }
setuid_start() {
    local first=$vlc
    inside mv $manager_socket $manager_socket.away || return 1
    played 4 && vlc_on :5 "$first" && as_viewer && cgroup_of "$vlc" | grep -q /mirvale.service
    local result=$?
    inside mv $manager_socket.away $manager_socket
    return $result
}
is_closing() { [ "$(session_state "$1")" = closing ]; }
closing_session() {
    local session
    session=$(session_of_unit) || return 1
    inside systemctl kill --kill-who=main mirvale-login.service
    wait_for 20 is_closing "$session" || return 1
    refused 5
}
# Something bright on the display: the player's window (the bare display is black).
shows_window() {
    local peak
    peak=$(inside ffmpeg -hide_banner -i "/root/$1.png" -vf signalstats,metadata=print -f null - 2>&1 \
               | sed -n 's/.*lavfi.signalstats.YMAX=//p' | head -n 1)
    [ "${peak:-0}" -gt 128 ]
}
stopped_cleanly() {
    inside systemctl stop mirvale.service && [ "$(inside systemctl show mirvale.service -p Result --value)" = success ] \
        && ! inside pgrep -x mirvale
}

inside systemd-run -q --unit=mirvale-media -p DynamicUser=yes \
    python3 -m http.server 8080 --bind 127.0.0.1 --directory /srv/media
wait_for 20 inside python3 -c 'import urllib.request; urllib.request.urlopen("http://127.0.0.1:8080/clip.srt")' \
    || { echo "the media server did not start"; exit 1; }

# ---- The cases, in order: what each proves, and the check. A check may set what later ones read.
cases=(
    "the service is active under systemd|inside systemctl is-active mirvale.service"
    "Getinfo lists \"vlc\"|getinfo_lists_vlc"
    "with no session on seat0, Play answers -6|refused 1"
    "an ordinary user's seat0 session, active, with Xvfb as its display|seat0_session"
    "Play with a clip and a subtitle served inside the root answers 0|played 2"
    "VLC runs as that user with its window on the display|first_vlc"
    "that VLC runs under user@$uid.service, not in the service's cgroup|in_manager"
    "that VLC fetched the clip and opened the subtitle the service fetched (screenshot kept)|playing"
    "a second Play ends the first VLC|second_play"
    "with the user's manager unreachable, the setuid start (service's cgroup) opens VLC as that user|setuid_start"
    "that VLC has the session's display environment|with_display :5"
    "with only a closing session (its leader ended, a process of it alive), Play answers -6|closing_session"
    "systemctl stop ends the service cleanly|stopped_cleanly"
)

passed=0
failed=0
rm -f "$out"/*.png "$out/cases.log"
for row in "${cases[@]}"; do
    what=${row%%|*}
    echo "== $what" >>"$out/cases.log"
    if eval "${row#*|}" >>"$out/cases.log" 2>&1; then
        passed=$((passed + 1))
        echo "ok: $what"
    else
        failed=$((failed + 1))
        echo "FAILED: $what"
    fi
done

echo "== systemd-analyze security, as the booted systemd measures it"
inside systemd-analyze security --no-pager mirvale.service >"$out/security.txt" 2>&1
tail -n 1 "$out/security.txt"
inside journalctl --no-pager -b >"$out/journal.log" 2>&1
for shot in "$out"/vlc-*.png; do [ -f "$shot" ] && echo "screenshot: $shot"; done
echo "$passed passed, $failed failed in $(elapsed)"
[ $failed -eq 0 ]
