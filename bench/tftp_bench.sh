#!/usr/bin/env bash
# TFTP throughput of this server next to tftpd-hpa, atftpd and dnsmasq, in one
# run on one lab, every transfer compared byte for byte with its file:
#   (a) one 33,553,919-byte file, no options (65535 blocks of 512 bytes)
#   (b) 32 transfers of 8 MiB at once, no options
#   (c) one 200 MiB file, blksize 1468 windowsize 4 (as UEFI firmware asks)
#   (d) 32 transfers of 8 MiB at once, blksize 1468 windowsize 4
#   (e) one 200 MiB file, blksize 1432 (as iPXE asks)
#   (m) this server's peak memory under 300 transfers of 1 MiB at once
#       (blksize 1468 windowsize 4), once after the rounds
# Every server answers the options it supports; what it granted is printed.
# This server runs plain and with --negotiate for (a) and (b), with
# --negotiate only for (c) to (e). The CPU time per block of this server and
# of dnsmasq is taken from /proc/PID/stat over case (b).
#
#   bench/tftp_bench.sh [BUILD_DIR] [ROUNDS] [CASES]   (as root)
#     BUILD_DIR  default build (needs tools/tftpserve and tools/tftpfetch)
#     ROUNDS     default 3; each round runs every case on every server, the
#                servers' order reversed every other round
#     CASES      default abcdem, any of these letters
#
# The servers run one at a time in the server namespace of scripts/lab.sh's lab
# (198.18.0.1/24), the client (tools/tftpfetch) in its client namespace
# (198.18.0.2/24); nothing outside these namespaces is touched. Reports
# the median MB/s (10^6 bytes) of the rounds per server and case, and the ratio
# of this server to the best other server. Exits 1 when a transfer failed.
# Installs dnsmasq-base and tftpd-hpa when missing, and unpacks atftpd (whose
# package conflicts with tftpd-hpa's) into BUILD_DIR/bench-peers.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build}
ROUNDS=${2:-3}
CASES=${3:-abcdem}
SERVE="$BUILD/tools/tftpserve"
FETCH="$BUILD/tools/tftpfetch"
[ "$(id -u)" -eq 0 ] || { echo "run as root (network namespaces)" >&2; exit 1; }
for b in "$SERVE" "$FETCH"; do
    [ -x "$b" ] || { echo "no $b: build the targets tftpserve and tftpfetch first" >&2; exit 1; }
done
[[ "$ROUNDS" =~ ^[1-9][0-9]*$ && "$CASES" =~ ^[abcdem]+$ ]] ||
    { echo "usage: $0 [BUILD_DIR] [ROUNDS] [CASES of abcdem]" >&2; exit 2; }

# The other servers: Debian's packages; atftpd unpacked beside the build.
PEERS="$BUILD/bench-peers"
ATFTPD="$PEERS/atftpd/usr/sbin/atftpd"
install_peers() {
    local missing=()
    command -v in.tftpd >/dev/null || missing+=(tftpd-hpa)
    command -v dnsmasq >/dev/null || missing+=(dnsmasq-base)
    if [ ${#missing[@]} -gt 0 ] || [ ! -x "$ATFTPD" ]; then apt-get update -qq; fi
    if [ ${#missing[@]} -gt 0 ]; then
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
            "${missing[@]}"
    fi
    if [ ! -x "$ATFTPD" ]; then
        mkdir -p "$PEERS"
        (cd "$PEERS" && rm -f atftpd_*.deb && apt-get download -qq atftpd 2>/dev/null &&
         dpkg-deb -x atftpd_*.deb atftpd) || { echo "cannot unpack atftpd" >&2; exit 1; }
    fi
}
install_peers

LAB="pxb$$"  # scripts/lab.sh: server namespace pxb<pid>s, client pxb<pid>c
SRV=(bash scripts/lab.sh exec "$LAB" server)  # COMMAND...: as the same process
CLI=(bash scripts/lab.sh exec "$LAB" client)
SERVER_IP=198.18.0.1
WORK=$(mktemp -d /tmp/tftpbench.XXXXXX)
SERVER_PID=""

cleanup() {
    if [ -n "$SERVER_PID" ]; then
        kill -9 "$SERVER_PID" 2>/dev/null || true
        wait "$SERVER_PID" 2>/dev/null || true
    fi
    bash scripts/lab.sh down "$LAB" || true
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'echo "tftp_bench.sh: a command failed at line $LINENO" >&2' ERR
trap 'exit 130' INT TERM

bash scripts/lab.sh up "$LAB"

ROOT="$WORK/root"
mkdir -p "$ROOT"
chmod 755 "$WORK" "$ROOT"
head -c 33553919 /dev/urandom > "$ROOT/f33"
head -c $((8 * 1024 * 1024)) /dev/urandom > "$ROOT/f8"
head -c $((200 * 1024 * 1024)) /dev/urandom > "$ROOT/f200"
head -c $((1024 * 1024)) /dev/urandom > "$ROOT/f1"
echo ready > "$ROOT/ready"
chmod 644 "$ROOT"/*

declare -A FILE=([a]=f33 [b]=f8 [c]=f200 [d]=f8 [e]=f200)
declare -A COUNT=([a]=1 [b]=32 [c]=1 [d]=32 [e]=1)
UEFI="--blksize 1468 --windowsize 4"
declare -A OPTS=([a]="" [b]="" [c]="$UEFI" [d]="$UEFI" [e]="--blksize 1432")
declare -A LABEL=([a]="(a) 1 x 33,553,919 B, no options" [b]="(b) 32 x 8 MiB at once, no options"
                  [c]="(c) 1 x 200 MiB, blksize 1468 window 4"
                  [d]="(d) 32 x 8 MiB, blksize 1468 window 4" [e]="(e) 1 x 200 MiB, blksize 1432")
declare -A NAME=([ours]="this server" [neg]="negotiating" [hpa]=tftpd-hpa [atftpd]=atftpd
                 [dnsmasq]=dnsmasq)
PEER_KEYS="hpa atftpd dnsmasq"

start_server() {  # ours | neg | hpa | atftpd | dnsmasq
    local log="$WORK/$1.log"
    case $1 in
        ours) "${SRV[@]}" "$SERVE" "$ROOT" 2>>"$log" & ;;
        neg) "${SRV[@]}" "$SERVE" --negotiate "$ROOT" 2>>"$log" & ;;
        hpa) "${SRV[@]}" in.tftpd -L -s "$ROOT" 2>>"$log" & ;;
        atftpd) "${SRV[@]}" "$ATFTPD" --daemon --no-fork --user root --group root \
                    --logfile - --port 69 "$ROOT" >>"$log" 2>&1 & ;;
        dnsmasq) "${SRV[@]}" dnsmasq --no-daemon --port=0 --enable-tftp \
                     --tftp-root="$ROOT" --conf-file=/dev/null --pid-file= >>"$log" 2>&1 & ;;
    esac
    SERVER_PID=$!  # lab.sh execs the server: this is the server's own pid
    for _ in $(seq 1 50); do
        if "${CLI[@]}" "$FETCH" --timeout 100 --retries 0 --check "$ROOT/ready" \
               $SERVER_IP ready >/dev/null 2>&1; then
            return 0
        fi
        sleep 0.1
    done
    echo "server $1 did not answer" >&2; exit 1
}

stop_server() {
    kill "$SERVER_PID" 2>/dev/null || true
    for _ in $(seq 1 50); do kill -0 "$SERVER_PID" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$SERVER_PID" 2>/dev/null || true
    wait "$SERVER_PID" 2>/dev/null || true
    SERVER_PID=""
}

# utime + stime of the running server, in clock ticks (0 once it is gone).
cpu_ticks() {
    awk '{sub(/.*\) /, ""); print $12 + $13}' "/proc/$SERVER_PID/stat" 2>/dev/null || echo 0
}
field() { awk -v k="$1" '{for (i = 1; i < NF; ++i) if ($i == k) print $(i + 1)}'; }

# One fetch of case C from the running server KEY; appends to MBS, GRANT, CPU.
declare -A MBS GRANT CPU
FAILED=0
measure() {  # C KEY ROUND
    local c=$1 key=$2 out t0 t1 blocks
    t0=$(cpu_ticks)
    # shellcheck disable=SC2086  # OPTS holds several words
    if out=$("${CLI[@]}" timeout 600 "$FETCH" ${OPTS[$c]} --parallel "${COUNT[$c]}" \
                 --check "$ROOT/${FILE[$c]}" $SERVER_IP "${FILE[$c]}" 2>>"$WORK/fetch.err"); then
        t1=$(cpu_ticks)
        MBS[$c.$key]+=" $(echo "$out" | field MB/s)"
        GRANT[$c.$key]="$(echo "$out" | field blksize)/$(echo "$out" | field windowsize)"
        # Blocks of the file, the empty last one included; resent blocks not counted.
        blocks=$(( COUNT[$c] * ($(stat -c %s "$ROOT/${FILE[$c]}") / $(echo "$out" | field blksize)
                                + 1) ))
        CPU[$c.$key]+=" $(awk -v d=$((t1 - t0)) -v hz="$(getconf CLK_TCK)" -v n=$blocks \
                             'BEGIN {printf "%.2f", d * 1e6 / hz / n}')"
    else
        MBS[$c.$key]+=" FAIL"; FAILED=1
        out="failed: $(tail -1 "$WORK/fetch.err")"
    fi
    printf '  round %s %-38s %-12s %s\n' "$3" "${LABEL[$c]}" "${NAME[$key]}" "$out"
}

median() {  # words -> median, or FAIL when any is FAIL, or - when none
    tr ' ' '\n' | sort -g | awk '/FAIL/ {f = 1} NF {v[n++] = $1}
        END {if (f) print "FAIL"; else if (!n) print "-";
             else printf "%.2f", n % 2 ? v[int(n / 2)] : (v[n / 2 - 1] + v[n / 2]) / 2}'
}

RUN_CASES=$(echo "$CASES" | tr -d m | fold -w1)
for round in $(seq 1 "$ROUNDS"); do
    echo "round $round of $ROUNDS"
    for c in $RUN_CASES; do
        keys="neg $PEER_KEYS"
        [[ $c == [ab] ]] && keys="ours $keys"
        [ $((round % 2)) -eq 0 ] && keys=$(echo "$keys" | tr ' ' '\n' | tac | tr '\n' ' ')
        for key in $keys; do
            start_server "$key"
            measure "$c" "$key" "$round"
            stop_server
        done
    done
done

if [ -n "$RUN_CASES" ]; then
    echo
    echo "TFTP MB/s, median of $ROUNDS rounds; granted blksize/window in brackets;"
    echo "ratio: this server, plain and negotiating, to the best other server"
    printf '%-38s %16s %16s %16s %16s %16s  %s\n' case "this server" "negotiating" tftpd-hpa \
        atftpd dnsmasq "ratio (best peer)"
    for c in $RUN_CASES; do
        line=$(printf '%-38s' "${LABEL[$c]}")
        for key in ours neg $PEER_KEYS; do
            m=$(echo "${MBS[$c.$key]:-}" | median)
            [[ $m == [-F]* ]] && cell=$m || cell="$m [${GRANT[$c.$key]:-?}]"
            line+=$(printf ' %16s' "$cell")
        done
        best=""; bestkey=""
        for key in $PEER_KEYS; do
            m=$(echo "${MBS[$c.$key]:-}" | median)
            if [[ $m != [-F]* ]] && awk -v a="$m" -v b="${best:-0}" 'BEGIN {exit !(a > b)}'; then
                best=$m; bestkey=$key
            fi
        done
        ratios=""
        for key in ours neg; do
            m=$(echo "${MBS[$c.$key]:-}" | median)
            ratios+=$(awk -v a="$m" -v b="$best" 'BEGIN {if (a ~ /^[-F]/ || b == "") printf " -";
                                                         else printf " %.2f", a / b}')
        done
        echo "$line $ratios (${bestkey:+${NAME[$bestkey]}})"
    done
    if [[ $RUN_CASES == *b* ]]; then
        echo "CPU per block over (b), median: this server $(echo "${CPU[b.ours]:-}" | median) us" \
             "(negotiating $(echo "${CPU[b.neg]:-}" | median) us)," \
             "dnsmasq $(echo "${CPU[b.dnsmasq]:-}" | median) us"
    fi
fi

if [[ $CASES == *m* ]]; then
    start_server neg
    idle=$(awk '/VmHWM/ {print $2}' "/proc/$SERVER_PID/status")
    # shellcheck disable=SC2086  # UEFI holds several words
    out=$("${CLI[@]}" timeout 600 "$FETCH" $UEFI --parallel 300 --timeout 2000 \
              --retries 10 --check "$ROOT/f1" $SERVER_IP f1 2>>"$WORK/fetch.err") ||
        { FAILED=1; out="failed: $(tail -1 "$WORK/fetch.err")"; }
    peak=$(awk '/VmHWM/ {print $2}' "/proc/$SERVER_PID/status")
    stop_server
    echo "Memory, 300 x 1 MiB at once (blksize 1468 window 4, --negotiate): peak RSS ${peak} kB" \
         "(${idle} kB after start); $out"
fi
exit $FAILED
