#!/usr/bin/env bash
# The real player on a virtual display, started the way the service starts it for a Play:
# Debian's VLC, run as an ordinary user, with a playlist whose line is a clip on a local HTTP
# server and a subtitle in the working folder. Checks that VLC fetches the clip, reads the
# subtitle and shows its window, and keeps a screenshot.
#
# Usage (as root, in a network namespace of its own, since it binds a port):
#   unshare --net sh -c 'ip link set lo up && tests/desktop/run.sh [output folder]'
# The output folder (default build/desktop) receives screenshot.png, vlc.log, http.log and
# xvfb.log.
set -euo pipefail
cd "$(dirname "$0")/../.."
out="$(realpath -m "${1:-build/desktop}")"
mkdir -p "$out"

# ---- Packages of the real-player test (to move into scripts/deps.sh as a group of its own).
desktop_packages=(vlc-bin vlc-plugin-base vlc-plugin-qt vlc-plugin-video-output xvfb ffmpeg xdotool x11-utils python3 curl)
missing=()
for p in "${desktop_packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
# ---- end of the package block

[ "$(id -u)" -eq 0 ] || { echo "run as root: VLC is started as user nobody" >&2; exit 2; }
user=nobody
uid="$(id -u "$user")"
gid="$(id -g "$user")"

work="$(mktemp -d /tmp/mirvale-desktop.XXXXXX)"
chmod 755 "$work"
pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

now_ms() { echo $(( $(date +%s%N) / 1000000 )); }

# A display of its own: Xvfb picks a free number and tells it through the descriptor.
Xvfb -displayfd 3 -screen 0 1280x720x24 -nolisten tcp -noreset 3>"$work/display" 2>"$out/xvfb.log" &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
display=":$(tr -d '\n' <"$work/display")"
echo "display $display"

# A six-second clip with sound, and a subtitle over all of it.
media="$work/media"
mkdir -p "$media"
ffmpeg -hide_banner -loglevel error -f lavfi -i testsrc=size=320x240:rate=25 \
    -f lavfi -i sine=frequency=440 -t 6 -c:v libx264 -preset ultrafast -pix_fmt yuv420p \
    -c:a aac -shortest -movflags +faststart "$media/clip.mp4"
printf '1\n00:00:00,000 --> 00:00:06,000\nMirvale subtitle\n' >"$media/clip.srt"
echo "clip $(stat -c %s "$media/clip.mp4") bytes"

# The HTTP server on loopback, on a port the system picks.
python3 -u -m http.server 0 --bind 127.0.0.1 --directory "$media" >"$work/http.out" 2>"$out/http.log" &
pids+=($!)
for _ in $(seq 100); do grep -q 'port' "$work/http.out" 2>/dev/null && break; sleep 0.1; done
port="$(sed -n 's/.* port \([0-9]*\) .*/\1/p' "$work/http.out" | head -1)"
base="http://127.0.0.1:$port"
echo "http $base"

# The working folders and files as the service writes them for a Play of the clip.
public="$work/public/Mirvale"
mkdir -p "$public/playlist" "$public/subfiles"
name="$(date +%H%M%S%3N)"
playlist="$public/playlist/$name.list"
subtitle="$public/subfiles/$name.srt"
printf '%s\n' "$base/clip.mp4" >"$playlist"
curl -fsS -o "$subtitle" "$base/clip.srt"

# The user's side: a home and a runtime folder, as a login would give.
home="$work/home"
mkdir -p "$home" "$work/run"
chown "$uid:$gid" "$home" "$work/run"
chmod 700 "$work/run"
# The user's own VLC preferences, as a desktop user would have them: the first-start privacy
# question answered (until it is, the Qt interface holds the playlist back); no sound device
# here, so the silent audio output (else VLC retries ALSA for every block and stalls); no title
# drawn over the video, so the subtitle is what the screenshot shows.
mkdir -p "$home/.config/vlc"
printf '[qt]\nqt-privacy-ask=0\n[core]\naout=adummy\nvideo-title-show=0\n' \
    >"$home/.config/vlc/vlcrc"
chown -R "$uid:$gid" "$home/.config"

# Exactly the arguments the service passes to VLC.
args=("file://$playlist" "--video-on-top" "--sub-file=$subtitle")
echo "vlc ${args[*]}"
start="$(now_ms)"
# setpriv and env exec: the pid is VLC's own.
setpriv --reuid="$uid" --regid="$gid" --clear-groups \
    env -i HOME="$home" USER="$user" LOGNAME="$user" PATH=/usr/bin:/bin LANG=C.UTF-8 \
    DISPLAY="$display" XDG_RUNTIME_DIR="$work/run" \
    /usr/bin/vlc "${args[@]}" >"$out/vlc.log" 2>&1 &
vlc=$!
pids+=("$vlc")

export DISPLAY="$display"
if ! window="$(timeout 60 xdotool search --sync --onlyvisible --name 'VLC media player' | head -1)" \
    || [ -z "$window" ]; then
    echo "FAIL: no VLC window within 60 s (see $out/vlc.log)"
    exit 1
fi
shown="$(now_ms)"
echo "window $window after $((shown - start)) ms: $(xdotool getwindowname "$window")"
xwininfo -id "$window" | sed -n 's/^ *\(Width\|Height\|Map State\): */  \1: /p'
xprop -id "$window" _NET_WM_STATE WM_CLASS | sed 's/^/  /'

# Let the video and the subtitle be drawn, then keep the display as it is.
sleep 3
ffmpeg -hide_banner -loglevel error -y -f x11grab -video_size 1280x720 -i "$display" \
    -frames:v 1 "$out/screenshot.png"
echo "screenshot $out/screenshot.png"
# VLC keeps the subtitle open while it plays.
open_files="$(ls -l "/proc/$vlc/fd" 2>/dev/null || true)"

failed=0
if grep -q '"GET /clip.mp4 HTTP/1.1" 20[06]' "$out/http.log"; then
    echo "VLC fetched the clip"
else
    echo "FAIL: VLC did not fetch the clip"; failed=1
fi
if grep -qF -- "-> $subtitle" <<<"$open_files"; then
    echo "VLC read the subtitle"
else
    echo "FAIL: VLC did not read the subtitle"; failed=1
fi
exit "$failed"
