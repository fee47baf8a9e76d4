#!/usr/bin/env bash
# TFTP throughput of this server next to tftpd-hpa, in the same run and on the
# same lab: one 30 MiB transfer, and 32 transfers of 8 MiB at once; every
# transfer lock-step with 512-byte blocks (tftp-hpa client, no options).
#
#   bench/tftp_bench.sh [BUILD_DIR] [ROUNDS]     (as root; BUILD_DIR default build)
#
# The servers run one after the other in a network namespace of their own
# (198.18.0.1/24), the clients in a second one (198.18.0.2/24), joined by a
# veth pair; nothing outside these namespaces is touched. Each figure is the
# best of ROUNDS runs (default 3). Prints both figures and their ratio.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build}
ROUNDS=${2:-3}
SERVE="$BUILD/tools/tftpserve"
[ "$(id -u)" -eq 0 ] || { echo "run as root (network namespaces)" >&2; exit 1; }
[ -x "$SERVE" ] || { echo "no $SERVE: build the target tftpserve first" >&2; exit 1; }
command -v in.tftpd >/dev/null || { echo "in.tftpd (tftpd-hpa) is missing" >&2; exit 1; }
command -v tftp >/dev/null || { echo "tftp (tftp-hpa) is missing" >&2; exit 1; }

SRV="pxb$$s"; CLI="pxb$$c"
SERVER_IP=198.18.0.1; CLIENT_IP=198.18.0.2
WORK=$(mktemp -d /tmp/tftpbench.XXXXXX)
SERVER_PID=""

cleanup() {
    if [ -n "$SERVER_PID" ]; then kill "$SERVER_PID" 2>/dev/null || true; wait "$SERVER_PID" 2>/dev/null || true; fi
    ip netns del "$SRV" 2>/dev/null || true
    ip netns del "$CLI" 2>/dev/null || true
    rm -rf "$WORK"
}
trap cleanup EXIT

ip netns add "$SRV"
ip netns add "$CLI"
ip link add "pxb$$a" netns "$SRV" type veth peer name "pxb$$b" netns "$CLI"
ip -n "$SRV" addr add $SERVER_IP/24 dev "pxb$$a"
ip -n "$CLI" addr add $CLIENT_IP/24 dev "pxb$$b"
for ns in "$SRV" "$CLI"; do ip -n "$ns" link set lo up; done
ip -n "$SRV" link set "pxb$$a" up
ip -n "$CLI" link set "pxb$$b" up

ROOT="$WORK/root"; OUT="$WORK/out"
mkdir -p "$ROOT" "$OUT"
chmod 755 "$WORK" "$ROOT"
head -c $((30 * 1024 * 1024)) /dev/urandom > "$ROOT/big30"
head -c $((8 * 1024 * 1024)) /dev/urandom > "$ROOT/mid8"
chmod 644 "$ROOT"/*

start_server() {  # ours | hpa
    if [ "$1" = ours ]; then
        ip netns exec "$SRV" "$SERVE" "$ROOT" 2>"$WORK/ours.log" &
    else
        ip netns exec "$SRV" in.tftpd -L -s "$ROOT" 2>"$WORK/hpa.log" &
    fi
    SERVER_PID=$!
    # Ready when a small request is answered.
    echo ready > "$ROOT/ready"; chmod 644 "$ROOT/ready"
    for _ in $(seq 1 50); do
        if ip netns exec "$CLI" timeout 2 tftp -m binary $SERVER_IP -c get ready "$OUT/ready" 2>/dev/null &&
           [ "$(cat "$OUT/ready" 2>/dev/null)" = ready ]; then
            rm -f "$OUT/ready"; return 0
        fi
        sleep 0.1
    done
    echo "server $1 did not answer" >&2; exit 1
}

stop_server() {
    kill "$SERVER_PID" 2>/dev/null || true
    for _ in $(seq 1 100); do kill -0 "$SERVER_PID" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$SERVER_PID" 2>/dev/null || true
    wait "$SERVER_PID" 2>/dev/null || true
    SERVER_PID=""
}

now() { date +%s.%N; }

# Seconds for N parallel fetches of FILE; checks every copy.
fetch() {  # N FILE
    local n=$1 file=$2 t0 t1 i pids=()
    rm -f "$OUT"/*
    t0=$(now)
    for i in $(seq 1 "$n"); do
        ip netns exec "$CLI" timeout 300 tftp -m binary $SERVER_IP -c get "$file" "$OUT/$file.$i" &
        pids+=($!)
    done
    for p in "${pids[@]}"; do wait "$p" || { echo "a fetch of $file failed" >&2; exit 1; }; done
    t1=$(now)
    for i in $(seq 1 "$n"); do
        cmp -s "$ROOT/$file" "$OUT/$file.$i" || { echo "copy $i of $file differs" >&2; exit 1; }
    done
    echo "$t0 $t1" | awk '{printf "%.3f", $2 - $1}'
}

best() { tr ' ' '\n' | grep -v '^$' | sort -g | head -1; }

declare -A T
for server in ours hpa; do T[$server.single]=""; T[$server.multi]=""; done
for round in $(seq 1 "$ROUNDS"); do
    for server in ours hpa; do
        start_server $server
        T[$server.single]+=" $(fetch 1 big30)"
        T[$server.multi]+=" $(fetch 32 mid8)"
        stop_server
    done
done

report() {  # label MiB key
    local ours hpa
    ours=$(echo "${T[ours.$3]}" | best); hpa=$(echo "${T[hpa.$3]}" | best)
    awk -v l="$1" -v m="$2" -v a="$ours" -v b="$hpa" 'BEGIN {
        printf "%-28s this server %7.2f s %8.2f MiB/s | tftpd-hpa %7.2f s %8.2f MiB/s | ratio %.2f\n",
               l, a, m / a, b, m / b, b / a }'
}
echo "TFTP lock-step 512-byte blocks, best of $ROUNDS (ratio > 1: this server is faster)"
report "1 x 30 MiB" 30 single
report "32 x 8 MiB at once" 256 multi
