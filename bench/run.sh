#!/usr/bin/env bash
# Runs the benchmarks and prints their tables: the load benchmark at N = 1, 50, 200 and 500
# connections (K Getinfo requests each, then the connection set-up mode), each against a fresh
# service, and the message-assembly micro-benchmark.
#
# Usage: bench/run.sh [K, default 10]
#   MIRVALE_EXECUTABLE  the service to measure (default: build/bin/mirvale, built when missing)
#   BENCH_BUILD_DIR     where the benchmarks are built (default: build-bench)
#   BENCH_COUNTS        the N values (default: "1 50 200 500")
# Ports 8142 and 8143 must be free. Loopback only.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
requests=${1:-10}
counts=${BENCH_COUNTS:-"1 50 200 500"}
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

start_service() {
    for _ in $(seq 1 300); do
        port_open "$MIRVALE_PLAIN_PORT" || port_open "$MIRVALE_TLS_PORT" || break
        sleep 1
    done
    rm -rf "$work/public"
    mkdir -p "$work/public"
    # setpriv execs the service (the pid stays its own); it dies with this script, however that ends.
    MIRVALE_PUBLIC_DIR="$work/public" MIRVALE_REGISTRY="$work/none.reg" \
        setpriv --pdeathsig KILL -- "$executable" >"$work/service.log" 2>&1 &
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
        start_service
        "$build/mirvale_loadbench" $header --mode "$mode" --connections "$n" --requests "$requests" \
            --pid "$service_pid" --deadline 600 || true
        header=
        stop_service
    done
done
echo
echo "latencies in ms from request to reply (set-up: from open to handshake done); rss in MiB"
echo "before / peak during / 3 s after the run; cpu_s: service CPU time during the run"
echo

"$build/mirvale_assembly_bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
    --benchmark_format=csv 2>/dev/null >"$work/assembly.csv"
awk -F, '/_median"?,/ {
        gsub(/"/, "", $1); split($1, name, "_"); shape = substr(name[1], index(name[1], "/") + 1);
        kind = substr(name[1], 1, index(name[1], "/") - 1); cpu[kind "/" shape] = $4; unit = $5
    }
    END {
        printf "Message assembly, 8 MiB request in 40960-byte pieces (median of 5, CPU time):\n"
        for (shape = 0; shape <= 1; ++shape) {
            label = shape == 0 ? "many small tokens" : "one long string"
            a = cpu["assembleInPieces/" shape]; p = cpu["parseOnce/" shape]
            printf "  %-18s joining %8.2f %s   one parse %8.2f %s   ratio %.2f\n", label, a, unit, p, unit, a / p
        }
    }' "$work/assembly.csv"
