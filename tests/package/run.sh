#!/usr/bin/env bash
# Builds the Debian package, installs it on this machine, runs the installed service in the
# foreground, checks Getinfo over wss against the installed CA and the browsers' policy files
# that trust it, then removes and purges. The machine's own policy files are put aside for the
# run and put back afterwards; run it under flock /tmp/mirvale-machine.lock.
# Usage (as root): tests/package/run.sh [BUILD_DIR]   (default: build; target mirvale built)
# Checks run their snippets through bash -c with positional arguments.
# shellcheck disable=SC2016
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../../build}" && pwd)
dir=/usr/lib/mirvale
passphrase=KWZT
passed=0
failed=0
service_pid=""
installed_by_us=0
chromium_policy=/etc/chromium/policies/managed/mirvale.json
chrome_policy=/etc/opt/chrome/policies/managed/mirvale.json
firefox_policies=/etc/firefox/policies/policies.json
aside=$(mktemp -d)
firefox_folder_existed=0
[ ! -d /etc/firefox ] || firefox_folder_existed=1

check() {
    local what=$1
    shift
    if "$@" >/dev/null 2>&1; then
        passed=$((passed + 1))
        echo "ok: $what"
    else
        failed=$((failed + 1))
        echo "FAILED: $what"
    fi
}

absent() { [ ! -e "$1" ] && [ ! -L "$1" ]; }
is_installed() { dpkg-query -W -f='${Status}' mirvale 2>/dev/null | grep -q 'ok installed'; }
known_to_dpkg() { dpkg-query -W mirvale >/dev/null 2>&1; }
port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
# The port is held by the service this test started, not by another one on the machine.
listens_on() { ss -Hltnp "sport = :$1" | grep -q "pid=$service_pid,"; }

# Another package manager run (an apt-get elsewhere on the machine) may hold the lock briefly.
dpkg_run() {
    local tries=0 out
    while :; do
        out=$(dpkg "$@" 2>&1) && { echo "$out"; return 0; }
        if grep -q 'lock' <<<"$out" && [ $tries -lt 120 ]; then
            tries=$((tries + 1))
            sleep 5
            continue
        fi
        echo "$out" >&2
        return 1
    done
}

stop_service() {
    [ -n "$service_pid" ] || return 0
    kill -TERM "$service_pid" 2>/dev/null
    for _ in $(seq 200); do
        kill -0 "$service_pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$service_pid" 2>/dev/null
    wait "$service_pid" 2>/dev/null
    service_pid=""
}

cleanup() {
    stop_service
    if [ $installed_by_us -eq 1 ] && known_to_dpkg; then
        dpkg_run -P mirvale >/dev/null || true
    fi
    rm -f "$firefox_policies"
    [ ! -f "$aside/policies.json" ] || mv "$aside/policies.json" "$firefox_policies"
    # The folders this test made for its own policies.json.
    [ $firefox_folder_existed -eq 1 ] || rmdir /etc/firefox/policies /etc/firefox 2>/dev/null
    rm -rf "$aside"
}
trap cleanup EXIT

if [ "$(id -u)" -ne 0 ]; then
    echo "The package test installs a package: run it as root." >&2
    exit 2
fi
if known_to_dpkg; then
    echo "mirvale is already known to dpkg here; purge it first (dpkg -P mirvale)." >&2
    exit 2
fi
for port in 8142 8143; do
    if port_open $port; then
        echo "Port $port is in use: stop the other mirvale first." >&2
        exit 2
    fi
done
for f in "$chromium_policy" "$chrome_policy"; do
    if [ -e "$f" ]; then
        echo "$f exists: another mirvale's trust? Remove it first." >&2
        exit 2
    fi
done
# The machine's own Firefox policies, put back by cleanup.
[ ! -f "$firefox_policies" ] || mv "$firefox_policies" "$aside/policies.json"
# CPack's DEB generator runs dpkg-shlibdeps and file.
"$here/../../scripts/deps.sh" package || exit 2
if [ ! -d "$here/node_modules/ws" ]; then
    (cd "$here" && npm ci --no-audit --no-fund --loglevel=error) || exit 2
fi

echo "== cpack -G DEB in $build"
rm -f "$build"/mirvale_*.deb
(cd "$build" && cpack -G DEB) || exit 1
deb=$(ls "$build"/mirvale_*.deb)
echo "package: $deb, $(stat -c %s "$deb") bytes"
dpkg-deb -I "$deb"
contents=$(dpkg-deb -c "$deb")
echo "$contents"

check "package holds the executable in $dir" grep -q " \./usr/lib/mirvale/mirvale$" <<<"$contents"
check "package links /usr/bin/mirvale to it" grep -q " \./usr/bin/mirvale -> \.\./lib/mirvale/mirvale$" <<<"$contents"
check "package holds mirvale-certificate beside it" grep -q " \./usr/lib/mirvale/mirvale-certificate$" <<<"$contents"
check "package needs no openssl command" bash -c '! grep -q "^ Depends:.*openssl" <<<"$0"' "$(dpkg-deb -I "$deb")"
check "package holds the systemd unit" grep -q " \./usr/lib/systemd/system/mirvale.service$" <<<"$contents"
check "package holds no certificate or key" bash -c '! grep -qE "server\.(crt|key)" <<<"$0"' "$contents"

install_package() {
    echo "== dpkg -i"
    dpkg_run -i "$deb" && installed_by_us=1
}

check_pair() {
    check "postinst created $dir/server.crt" test -s "$dir/server.crt"
    check "postinst created $dir/server.key, readable by root only" \
        bash -c '[ "$(stat -c %a:%U "$0")" = 600:root ]' "$dir/server.key"
    check "the key is encrypted" grep -q "BEGIN ENCRYPTED PRIVATE KEY" "$dir/server.key"
    check "the key opens with the service's pass phrase" \
        openssl pkey -in "$dir/server.key" -passin "pass:$passphrase" -noout
    check "the key does not open without it" \
        bash -c '! openssl pkey -in "$0" -passin pass:wrong -noout' "$dir/server.key"
    check "certificate and key belong together" bash -c \
        '[ "$(openssl x509 -in "$0/server.crt" -noout -pubkey)" = "$(openssl pkey -in "$0/server.key" -passin "pass:$1" -pubout)" ]' \
        "$dir" "$passphrase"
    check "the certificate names 127.0.0.1" \
        bash -c 'openssl x509 -in "$0" -noout -ext subjectAltName | grep -q "IP Address:127.0.0.1"' "$dir/server.crt"
    check "the certificate is signed by this install's CA" \
        openssl verify -x509_strict -purpose sslserver -CAfile "$dir/mirvale-ca.crt" "$dir/server.crt"
    check_trusted
}

# The browsers' policy files hold this install's CA.
check_trusted() {
    local der
    der=$(openssl x509 -in "$dir/mirvale-ca.crt" -outform DER | base64 -w0)
    for f in "$chromium_policy" "$chrome_policy"; do
        check "$f trusts the CA" \
            bash -c '[ "$(jq -c . "$0")" = "{\"CACertificates\":[\"$1\"]}" ]' "$f" "$der"
    done
    check "$firefox_policies installs the CA" \
        bash -c 'jq -e --arg ca "$1" ".policies.Certificates.Install | index(\$ca)" "$0"' \
        "$firefox_policies" "$dir/mirvale-ca.crt"
}

check_untrusted() {
    local f
    for f in "$chromium_policy" "$chrome_policy" /etc/opt/chrome "$dir/mirvale-ca.trusted"; do
        check "$1: $f is gone" absent "$f"
    done
}

install_package || exit 1
check "dpkg reports mirvale installed" is_installed
check "/usr/bin/mirvale resolves to $dir/mirvale" \
    bash -c '[ "$(readlink -f /usr/bin/mirvale)" = "$0/mirvale" ]' "$dir"
check_pair
if [ -f "$build/bin/server.crt" ]; then
    check "the certificate is this install's own, not the build's" \
        bash -c '! cmp -s "$0/server.crt" "$1/bin/server.crt"' "$dir" "$build"
fi
first_cert=$(cat "$dir/server.crt")
check "the unit is enabled for multi-user.target" \
    test -L /etc/systemd/system/multi-user.target.wants/mirvale.service
if command -v systemd-analyze >/dev/null 2>&1; then
    check "systemd-analyze verify accepts the unit" \
        systemd-analyze verify /usr/lib/systemd/system/mirvale.service
fi

echo "== the installed service in the foreground (no systemd here)"
if [ -d /run/systemd/system ]; then
    systemctl stop mirvale.service 2>/dev/null
fi
log=$(mktemp)
# The unit is Type=notify: stand in for systemd's notify socket and wait for READY=1.
notify_dir=$(mktemp -d)
python3 -c '
import socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind(sys.argv[1])
s.settimeout(60)
while True:
    message = s.recv(4096).decode()
    print(message, flush=True)
    if "READY=1" in message.split("\n"):
        break
' "$notify_dir/notify" >"$notify_dir/messages" 2>&1 &
notify_pid=$!
for _ in $(seq 100); do [ -S "$notify_dir/notify" ] && break; sleep 0.05; done
# setpriv execs the service (the pid stays its own); it dies with this script, however that ends.
env -u MIRVALE_PUBLIC_DIR -u MIRVALE_REGISTRY QT_QPA_PLATFORM=offscreen NOTIFY_SOCKET="$notify_dir/notify" \
    setpriv --pdeathsig KILL -- "$dir/mirvale" >"$log" 2>&1 &
service_pid=$!
wait "$notify_pid"
check "the installed service tells systemd READY=1" grep -qx "READY=1" "$notify_dir/messages"
rm -rf "$notify_dir"
check "the installed service listens on 8142 and 8143" bash -c '[ "$(ss -Hltnp "( sport = :8142 or sport = :8143 )" | grep -c "pid=$0,")" -ge 2 ]' "$service_pid"
reply=$(node "$here/getinfo.js" wss://127.0.0.1:8143/ "$dir/mirvale-ca.crt")
echo "wss Getinfo: $reply"
check "Getinfo over wss, certificate verified against the installed CA" \
    grep -q '"action":"Getinfo".*"id":"package-test".*"version":"1.1.0.18025"' <<<"$reply"
check "the build's CA does not verify the installed service" \
    bash -c '[ ! -f "$0" ] || node "$1/getinfo.js" wss://127.0.0.1:8143/ "$0" 2>&1 | grep -qi certificate' \
    "$build/bin/mirvale-ca.crt" "$here"
check "Getinfo over ws" \
    bash -c 'node "$0/getinfo.js" ws://127.0.0.1:8142/ | grep -q "\"version\":\"1.1.0.18025\""' "$here"
check "the service made its working folders in /var/lib/Mirvale" test -d /var/lib/Mirvale/playlist
stop_service
check "the service stopped on SIGTERM" bash -c '! (exec 3<>/dev/tcp/127.0.0.1/8143)'
echo "service log (tail):"
tail -n 5 "$log"
rm -f "$log"

echo "== dpkg -r"
dpkg_run -r mirvale >/dev/null
check "remove took the executable, the link and the unit" \
    bash -c 'for f in "$@"; do [ ! -e "$f" ] && [ ! -L "$f" ] || exit 1; done' _ \
    "$dir/mirvale" /usr/bin/mirvale /usr/lib/systemd/system/mirvale.service
check "remove kept this install's certificate and key for a reinstall" \
    test -s "$dir/server.crt" -a -s "$dir/server.key"
check_untrusted remove
check "remove took the policies.json it made" absent "$firefox_policies"
check "remove masked the unit until purge" \
    bash -c '[ "$(readlink /etc/systemd/system/mirvale.service)" = /dev/null ]'

echo "== dpkg -P"
dpkg_run -P mirvale >/dev/null
check_purged() {
    check "purge: dpkg forgot mirvale" bash -c '! dpkg-query -W mirvale'
    local f
    for f in "$dir" /var/lib/Mirvale \
        /etc/systemd/system/multi-user.target.wants/mirvale.service \
        /etc/systemd/system/mirvale.service \
        /var/lib/systemd/deb-systemd-helper-enabled/mirvale.service.dsh-also \
        /var/lib/systemd/deb-systemd-helper-enabled/multi-user.target.wants/mirvale.service \
        /var/lib/systemd/deb-systemd-helper-masked/mirvale.service; do
        check "purge: $f is gone" absent "$f"
    done
}
check_purged

echo "== a second install over an earlier install's self-signed pair, beside another Firefox policy"
mkdir -p "$dir" "$(dirname "$firefox_policies")"
openssl req -x509 -newkey rsa:2048 -days 30 -subj /CN=127.0.0.1 -keyout "$dir/server.key" \
    -passout "pass:$passphrase" -out "$dir/server.crt" 2>/dev/null
self_signed=$(cat "$dir/server.crt")
other_policy='{"policies":{"DisableAppUpdate":true}}'
echo "$other_policy" >"$firefox_policies"
install_package || exit 1
check_pair
check "the self-signed pair was replaced" bash -c '[ "$(cat "$0/server.crt")" != "$1" ]' "$dir" "$self_signed"
check "$firefox_policies keeps the other policy" jq -e '.policies.DisableAppUpdate == true' "$firefox_policies"
check "the second install's certificate differs from the first's" \
    bash -c '[ "$(cat "$0/server.crt")" != "$1" ]' "$dir" "$first_cert"
second_cert=$(cat "$dir/server.crt")
install_package || exit 1
check "reinstalling over it keeps that certificate" \
    bash -c '[ "$(cat "$0/server.crt")" = "$1" ]' "$dir" "$second_cert"
dpkg_run -P mirvale >/dev/null
check_purged
check_untrusted purge
check "purge left $firefox_policies as it was" \
    bash -c '[ "$(jq -cS . "$0")" = "$(jq -cS . <<<"$1")" ]' "$firefox_policies" "$other_policy"
installed_by_us=0

echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
