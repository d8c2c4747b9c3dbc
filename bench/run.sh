#!/usr/bin/env bash
# Runs the benchmarks and prints their tables: the load benchmark at N = 1, 50 and 500
# connections (K Getinfo requests each, then the connection set-up mode), each against a fresh
# server: the service as it comes (a pass a second), the service with service/responsive=true,
# and a bare libwebsockets server answering a fixed text as the yardstick; then each service's
# idle CPU, and the message-assembly micro-benchmark.
#
# Usage: bench/run.sh [K, default 10]
#   MIRVALE_EXECUTABLE  the service to measure (default: build/bin/mirvale, built when missing)
#   BENCH_BUILD_DIR     where the benchmarks are built (default: build-bench)
#   BENCH_COUNTS        the N values (default: "1 50 500")
#   BENCH_SERVERS       which servers (default: "default responsive bare")
#   BENCH_IDLE_SECONDS  how long idle CPU is measured (default: 60; 0 skips it)
# Ports 8142 and 8143 must be free (run it in a network namespace of its own if others use
# them). Loopback only.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
requests=${1:-10}
counts=${BENCH_COUNTS:-"1 50 500"}
servers=${BENCH_SERVERS:-"default responsive bare"}
idle_seconds=${BENCH_IDLE_SECONDS:-60}
build=${BENCH_BUILD_DIR:-build-bench}
# The service's ports.
. ./constants.env

scripts/deps.sh bench

executable=${MIRVALE_EXECUTABLE:-$root/build/bin/mirvale}
if [ ! -x "$executable" ]; then
    cmake --preset default >/dev/null
    cmake --build --preset default --target mirvale
fi
cmake -S bench -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2

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

printf '[service]\nresponsive=true\n' >"$work/responsive.conf"
: >"$work/default.conf"

# start_service default|responsive|bare
start_service() {
    for _ in $(seq 1 300); do
        port_open "$MIRVALE_PLAIN_PORT" || port_open "$MIRVALE_TLS_PORT" || break
        sleep 1
    done
    rm -rf "$work/public"
    mkdir -p "$work/public"
    # setpriv execs the server (the pid stays its own); it dies with this script, however that ends.
    if [ "$1" = bare ]; then
        setpriv --pdeathsig KILL -- "$build/mirvale_bareserver" --cert "$(dirname "$executable")/server.crt" \
            --key "$(dirname "$executable")/server.key" --pass "$MIRVALE_KEY_PASSPHRASE" >"$work/service.log" 2>&1 &
    else
        MIRVALE_PUBLIC_DIR="$work/public" MIRVALE_REGISTRY="$work/none.reg" MIRVALE_CONFIG="$work/$1.conf" \
            setpriv --pdeathsig KILL -- "$executable" >"$work/service.log" 2>&1 &
    fi
    service_pid=$!
    for _ in $(seq 1 200); do
        if owns_port "$MIRVALE_PLAIN_PORT" "$service_pid" && owns_port "$MIRVALE_TLS_PORT" "$service_pid"; then
            return 0
        fi
        kill -0 "$service_pid" 2>/dev/null || break
        sleep 0.1
    done
    echo "the service did not come up on both ports (taken by another process?); its log:" >&2
    tail -20 "$work/service.log" >&2
    exit 1
}

stop_service() {
    kill -TERM "$service_pid"
    wait "$service_pid" || true
    service_pid=""
}

# Each connection may use up to two descriptors on each side.
ulimit -n 4096 2>/dev/null || true

echo "Machine: $(nproc) cores, $(awk '/MemTotal/ {printf "%.0f GiB", $2/1048576}' /proc/meminfo), $(sed -n 's/^model name[^:]*: //p' /proc/cpuinfo | head -1); $(uname -sr)"
echo "Service: $executable"
echo
header=--header
for mode in requests connect; do
    for n in $counts; do
        for server in $servers; do
            start_service "$server"
            extra=()
            [ "$server" = bare ] && extra=(--any-reply)
            "$build/mirvale_loadbench" $header --label "$server" --mode "$mode" --connections "$n" \
                --requests "$requests" --pid "$service_pid" --deadline 600 "${extra[@]}" || true
            header=
            stop_service
        done
    done
done
# Clients that never read: 50 connections that each send K requests with a 1 MB id and read
# nothing back, beside one client that reads (its latencies are the ones shown).
for server in $servers; do
    [ "$server" = bare ] && continue
    start_service "$server"
    "$build/mirvale_loadbench" --label "$server" --mode deaf --connections "${BENCH_DEAF_COUNT:-50}" \
        --requests "$requests" --pid "$service_pid" --deadline 600 || true
    stop_service
done
echo
echo "deaf rows: sent = requests the never-reading clients wrote, dropped = those the service"
echo "closed, replies and latencies those of the one client that reads"
echo
echo "latencies in ms from request to reply (set-up: from open to handshake done; whole: from open"
echo "to the last reply, in connect mode open plus one Getinfo); rss in MiB before / peak during /"
echo "3 s after the run; cpu_s: server CPU time during the run"
echo

cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
if [ "$idle_seconds" -gt 0 ]; then
    for server in $servers; do
        [ "$server" = bare ] && continue
        start_service "$server"
        sleep 2
        before=$(cpu_ticks "$service_pid")
        sleep "$idle_seconds"
        after=$(cpu_ticks "$service_pid")
        awk -v s="$server" -v t="$((after - before))" -v hz="$(getconf CLK_TCK)" -v secs="$idle_seconds" \
            'BEGIN { printf "Idle CPU, %-10s %6.3f s in %d s = %.3f %% of a core\n", s, t / hz, secs, 100 * t / hz / secs }'
        stop_service
    done
    echo
fi

"$build/mirvale_assembly_bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
    --benchmark_format=csv 2>/dev/null >"$work/assembly.csv"
awk -F, '/_median"?,/ {
        gsub(/"/, "", $1); split($1, name, "_"); shape = substr(name[1], index(name[1], "/") + 1);
        kind = substr(name[1], 1, index(name[1], "/") - 1); cpu[kind "/" shape] = $4; unit = $5
    }
    END {
        printf "Message assembly, a request just below 1 MiB in 40960-byte pieces (median of 5, CPU time):\n"
        for (shape = 0; shape <= 1; ++shape) {
            label = shape == 0 ? "many small tokens" : "one long string"
            a = cpu["assembleInPieces/" shape]; p = cpu["parseOnce/" shape]
            printf "  %-18s joining %8.2f %s   one parse %8.2f %s   ratio %.2f\n", label, a, unit, p, unit, a / p
        }
    }' "$work/assembly.csv"
