#!/usr/bin/env bash
# Scans the TLS port 8143 of the service with sslscan: no protocol below TLS 1.2 may be
# offered, and every TLS 1.2 cipher offered must come from the service's cipher list. Starts
# its own service (ports 8142 and 8143 must be free) and writes the summary and sslscan's XML
# into the build folder.
#
# Usage: scripts/tls-scan.sh [build folder, default build]
#   MIRVALE_EXECUTABLE  the service to scan (default: <build folder>/bin/mirvale; when missing,
#                       build-run/bin/mirvale, built)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${1:-build}
case "$build" in /*) ;; *) build="$root/$build" ;; esac

# The service's ports and cipher list (TLS 1.2 and below; TLS 1.3 suites are configured apart).
. ./constants.env
plain_port=$MIRVALE_PLAIN_PORT
tls_port=$MIRVALE_TLS_PORT
cipher_list=$MIRVALE_CIPHER_LIST

scripts/deps.sh tls

executable=${MIRVALE_EXECUTABLE:-$build/bin/mirvale}
if [ ! -x "$executable" ]; then
    # Only the service, built where scripts/run.sh builds it.
    scripts/deps.sh run
    cmake --preset run >/dev/null
    cmake --build --preset run
    executable=$root/build-run/bin/mirvale
fi

work=$(mktemp -d)
service_pid=""
cleanup() {
    if [ -n "$service_pid" ] && kill -0 "$service_pid" 2>/dev/null; then
        kill -TERM "$service_pid" 2>/dev/null || true
        wait "$service_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
# The listener on the port belongs to that process (and not to another service).
owns_port() { ss -Hltnp "sport = :$1" 2>/dev/null | grep -q "pid=$2,"; }

for _ in $(seq 1 300); do
    port_open "$plain_port" || port_open "$tls_port" || break
    sleep 1
done
if port_open "$tls_port"; then
    echo "port $tls_port is taken by another process" >&2
    exit 1
fi
mkdir -p "$work/public"
# setpriv execs the service (the pid stays its own); it dies with this script, however that ends.
MIRVALE_PUBLIC_DIR="$work/public" setpriv --pdeathsig KILL -- "$executable" >"$work/service.log" 2>&1 &
service_pid=$!
for _ in $(seq 1 200); do
    owns_port "$tls_port" "$service_pid" && break
    kill -0 "$service_pid" 2>/dev/null || break
    sleep 0.1
done
if ! owns_port "$tls_port" "$service_pid"; then
    echo "the service does not listen on $tls_port (taken by another process?); its log:" >&2
    tail -20 "$work/service.log" >&2
    exit 1
fi

xml="$build/tls-scan.xml"
summary="$build/tls-scan.txt"
mkdir -p "$build"
# Every step of a handshake waits for one of the service's one-second passes.
sslscan --no-colour --timeout=20 --xml="$xml" "127.0.0.1:$tls_port" >"$work/sslscan.txt" 2>&1 || true

# Protocol versions as the scan found them, and the ciphers it was given.
protocols=$(sed -n 's/.*<protocol type="\([a-z]*\)" version="\([0-9.]*\)" enabled="\([01]\)".*/\1 \2 \3/p' "$xml" \
    | awk '{ name = toupper($1) "v" $2; printf "%s%s %s", sep, name, $3 == "1" ? "yes" : "no"; sep = ", " }')
enabled=$(sed -n 's/.*<protocol type="\([a-z]*\)" version="\([0-9.]*\)" enabled="1".*/\1 \2/p' "$xml" \
    | awk '{ printf "%sv%s ", toupper($1), $2 }')
offered=$(sed -n 's/.*<cipher status="[a-z]*" sslversion="\([^"]*\)".* cipher="\([^"]*\)".*/\1 \2/p' "$xml")
allowed=$(openssl ciphers "$cipher_list" | tr ':' '\n')

failures=()
for protocol in $enabled; do
    case "$protocol" in
        TLSv1.2 | TLSv1.3) ;;
        *) failures+=("$protocol is enabled") ;;
    esac
done
[ -n "$protocols" ] || failures+=("the scan reported no protocol (see $xml)")
[ -n "$offered" ] || failures+=("the scan found no cipher at all (did the handshakes time out?)")
while read -r version name; do
    [ -n "$name" ] || continue
    case "$version" in
        TLSv1.3) ;;
        *) grep -qx "$name" <<<"$allowed" || failures+=("$version cipher $name is not in the cipher list") ;;
    esac
done <<<"$offered"

# A second opinion on the old protocols: OpenSSL's own client, allowed to try them.
for flag in tls1 tls1_1; do
    if echo | timeout 20 openssl s_client -connect "127.0.0.1:$tls_port" "-$flag" -cipher 'DEFAULT:@SECLEVEL=0' >"$work/$flag.txt" 2>&1 \
        && grep -q '^ *Protocol *:' "$work/$flag.txt" && ! grep -q 'Cipher is (NONE)' "$work/$flag.txt"; then
        failures+=("openssl s_client -$flag completed a handshake")
    fi
done

{
    echo "TLS scan of 127.0.0.1:$tls_port, $(date -u '+%Y-%m-%d %H:%M UTC'), sslscan $(sed -n 's/.*<document .*version="\([^"]*\)".*/\1/p' "$xml"), $(openssl version | cut -d' ' -f1-2)"
    echo "Protocols: $protocols"
    echo "Ciphers accepted (in the server's order of preference):"
    sed 's/^/  /' <<<"$offered"
    echo "Key exchange groups: $(sed -n 's/.*<group sslversion="TLSv1.3".* name="\([^" ]*\).*/\1/p' "$xml" | tr '\n' ' ')"
    echo "Renegotiation: $(sed -n 's/.*<renegotiation supported="\([01]\)" secure="\([01]\)".*/supported=\1 secure=\2/p' "$xml");" \
         "heartbleed: $(grep -c 'vulnerable="1"' "$xml") vulnerable;" \
         "certificate: $(sed -n 's/.*<pk error="false" type="\([^"]*\)" bits="\([0-9]*\)".*/\1 \2 bits/p' "$xml" | head -1)," \
         "$(sed -n 's/.*<signature-algorithm>\(.*\)<\/signature-algorithm>.*/\1/p' "$xml" | head -1)"
    echo "openssl s_client -tls1 / -tls1_1 (SECLEVEL=0): $(grep -l 'Cipher is (NONE)\|alert\|errno\|error' "$work"/tls1*.txt 2>/dev/null | wc -l) of 2 refused"
    if [ ${#failures[@]} -eq 0 ]; then
        echo "Result: PASS (nothing below TLS 1.2; every TLS 1.2 cipher is in the service's cipher list)"
    else
        echo "Result: FAIL"
        printf '  %s\n' "${failures[@]}"
    fi
} >"$summary"
cat "$summary"
[ ${#failures[@]} -eq 0 ]
