#!/usr/bin/env bash
# TFTP throughput of this server next to tftpd-hpa, atftpd and dnsmasq, in one
# run on one lab, every transfer compared byte for byte with its file:
#   (a) one 33,553,919-byte file, no options (65535 blocks of 512 bytes)
#   (b) 32 transfers of 8 MiB at once, no options
#   (c) one 200 MiB file, blksize 1468 windowsize 4 (as UEFI firmware asks)
#   (d) 32 transfers of 8 MiB at once, blksize 1468 windowsize 4
#   (e) one 200 MiB file, blksize 1432 (as iPXE asks)
#   (f) 32 transfers of 8 MiB at once, blksize 1432, one block a window
#   (m) this server's peak memory under 300 transfers of 1 MiB at once
#       (blksize 1468 windowsize 4), once after the rounds
# Every server answers the options it supports; what it granted is printed.
# This server runs plain and with --negotiate for (a) and (b), with
# --negotiate only for (c) to (f). Beside the throughput, the CPU time each
# server spent per block (utime + stime of its process from /proc/PID/stat over
# the case, divided by the blocks moved; not for tftpd-hpa, whose transfers
# run in child processes).
#
#   bench/tftp_bench.sh [BUILD_DIR] [ROUNDS] [CASES]   (as root)
#     BUILD_DIR  default build (needs tools/tftpserve and tools/tftpfetch)
#     ROUNDS     default 3 (1 with QUICK=1); each round runs every case on
#                every server, the servers' order reversed every other round
#     CASES      default abcdefm, any of these letters
#   QUICK=1: files a tenth as large and 30 transfers for (m), to try the script
#
# The servers run one at a time in the server namespace of scripts/lab.sh's lab
# (198.18.0.1/24), the client (tools/tftpfetch) in its client namespace
# (198.18.0.2/24); nothing outside these namespaces is touched. Reports
# the median MB/s (10^6 bytes) and CPU microseconds per block of the rounds
# per server and case, and the ratios of this server to the best other server
# (the one of the highest MB/s). Exits 1 when a transfer failed. Installs
# dnsmasq-base and tftpd-hpa when missing, and unpacks atftpd (whose package
# conflicts with tftpd-hpa's) into BUILD_DIR/bench-peers.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build}
QUICK=${QUICK:-0}
ROUNDS=${2:-$([ "$QUICK" = 1 ] && echo 1 || echo 3)}
CASES=${3:-abcdefm}
# shellcheck source=bench/common.sh
. bench/common.sh
need_tools "$SERVE" "$FETCH"
[[ "$ROUNDS" =~ ^[1-9][0-9]*$ && "$CASES" =~ ^[abcdefm]+$ ]] ||
    { echo "usage: $0 [BUILD_DIR] [ROUNDS] [CASES of abcdefm]" >&2; exit 2; }

# The other servers: Debian's packages; atftpd unpacked beside the build.
PEERS="$BUILD/bench-peers"
ATFTPD="$PEERS/atftpd/usr/sbin/atftpd"
need_commands in.tftpd=tftpd-hpa dnsmasq=dnsmasq-base
if [ ! -x "$ATFTPD" ]; then
    mkdir -p "$PEERS"
    (cd "$PEERS" && apt-get update -qq && rm -f atftpd_*.deb && apt-get download -qq atftpd \
         2>/dev/null && dpkg-deb -x atftpd_*.deb atftpd) ||
        { echo "cannot unpack atftpd" >&2; exit 1; }
fi

bench_lab pxb  # scripts/lab.sh: server namespace pxb<pid>s, client pxb<pid>c
SCALE=$([ "$QUICK" = 1 ] && echo 10 || echo 1)
random_file big $((33553919 / SCALE))  # (a): 65535 blocks of 512 bytes, the last short
random_file f8 $((8 * 1024 * 1024 / SCALE))
random_file f200 $((200 * 1024 * 1024 / SCALE))
random_file f1 $((1024 * 1024))
M_COUNT=$((300 / SCALE))

declare -A FILE=([a]=big [b]=f8 [c]=f200 [d]=f8 [e]=f200 [f]=f8)
declare -A COUNT=([a]=1 [b]=32 [c]=1 [d]=32 [e]=1 [f]=32)
UEFI="--blksize 1468 --windowsize 4"
IPXE="--blksize 1432"
declare -A OPTS=([a]="" [b]="" [c]="$UEFI" [d]="$UEFI" [e]="$IPXE" [f]="$IPXE")
declare -A HOW=([a]="no options" [b]="no options" [c]="blksize 1468 window 4"
                [d]="blksize 1468 window 4" [e]="blksize 1432" [f]="blksize 1432")
declare -A LABEL
for c in a b c d e f; do
    bytes=$(stat -c %s "$ROOT/${FILE[$c]}")
    size=$([ $((bytes % 1048576)) -eq 0 ] && echo "$((bytes / 1048576)) MiB" || echo "$bytes B")
    LABEL[$c]="($c) ${COUNT[$c]} x $size, ${HOW[$c]}"
done
PEER_KEYS="hpa atftpd dnsmasq"

# One fetch of case C from the running server KEY; appends to MBS, GRANT, CPU.
declare -A MBS GRANT CPU
FAILED=0
measure() {  # C KEY ROUND
    local c=$1 key=$2 out t0 t1 blocks
    t0=$(cpu_ticks)
    # shellcheck disable=SC2086  # OPTS holds several words
    if out=$("${CLI[@]}" timeout --foreground 600 "$FETCH" ${OPTS[$c]} --parallel "${COUNT[$c]}" \
                 --check "$ROOT/${FILE[$c]}" $SERVER_IP "${FILE[$c]}" 2>>"$WORK/fetch.err"); then
        t1=$(cpu_ticks)
        MBS[$c.$key]+=" $(echo "$out" | field MB/s)"
        GRANT[$c.$key]="$(echo "$out" | field blksize)/$(echo "$out" | field windowsize)"
        # Blocks of the file, the empty last one included; resent blocks not counted.
        blocks=$(( COUNT[$c] * ($(stat -c %s "$ROOT/${FILE[$c]}") / $(echo "$out" | field blksize)
                                + 1) ))
        # tftpd-hpa's transfers run in children its own times do not hold.
        [ "$key" = hpa ] ||
            CPU[$c.$key]+=" $(awk -v d=$((t1 - t0)) -v hz="$(getconf CLK_TCK)" -v n=$blocks \
                                 'BEGIN {printf "%.2f", d * 1e6 / hz / n}')"
    else
        stop_on_signal $?
        MBS[$c.$key]+=" FAIL"; FAILED=1
        out="failed: $(tail -1 "$WORK/fetch.err")"
    fi
    printf '  round %s %-38s %-12s %s\n' "$3" "${LABEL[$c]}" "${NAME[$key]}" "$out"
}

RUN_CASES=$(echo "$CASES" | tr -d m | fold -w1)
for round in $(seq 1 "$ROUNDS"); do
    echo "round $round of $ROUNDS"
    for c in $RUN_CASES; do
        keys="neg $PEER_KEYS"
        [[ $c == [ab] ]] && keys="ours $keys"
        # shellcheck disable=SC2086  # one word per key
        for key in $(round_order "$round" $keys); do
            start_server "$key"
            measure "$c" "$key" "$round"
            stop_server
        done
    done
done

# One table of the medians in ARRAY (MBS or CPU): a column per server, then
# this server's ratios to the peer of the highest MB/s.
table() {  # ARRAY
    local -n values=$1
    local c key m line best bestkey ratios
    printf '%-38s %16s %16s %16s %16s %16s  %s\n' case "this server" "negotiating" tftpd-hpa \
        atftpd dnsmasq "ratio (best peer)"
    for c in $RUN_CASES; do
        line=$(printf '%-38s' "${LABEL[$c]}")
        for key in ours neg $PEER_KEYS; do
            m=$(echo "${values[$c.$key]:-}" | median)
            [[ $1 == CPU || $m == [-F]* ]] || m+=" [${GRANT[$c.$key]:-?}]"
            line+=$(printf ' %16s' "$m")
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
            ratios+=$(awk -v a="$(echo "${values[$c.$key]:-}" | median)" \
                          -v b="$(echo "${values[$c.${bestkey:-none}]:-}" | median)" \
                          'BEGIN {if (a ~ /^[-F]/ || b ~ /^[-F]/ || b == 0) printf " -";
                                  else printf " %.2f", a / b}')
        done
        echo "$line $ratios (${bestkey:+${NAME[$bestkey]}})"
    done
}

if [ -n "$RUN_CASES" ]; then
    echo
    echo "TFTP MB/s, median of $ROUNDS rounds; granted blksize/window in brackets;"
    echo "ratio: this server, plain and negotiating, to the best other server (higher is better)"
    table MBS
    echo
    echo "CPU microseconds per block (the server's user + system time over the case / blocks),"
    echo "median of $ROUNDS rounds; ratio to the same best other server (lower is better)"
    table CPU
fi

if [[ $CASES == *m* ]]; then
    start_server neg
    idle=$(awk '/VmHWM/ {print $2}' "/proc/$SERVER_PID/status")
    # shellcheck disable=SC2086  # UEFI holds several words
    out=$("${CLI[@]}" timeout --foreground 600 "$FETCH" $UEFI --parallel $M_COUNT --timeout 2000 \
              --retries 10 --check "$ROOT/f1" $SERVER_IP f1 2>>"$WORK/fetch.err") ||
        { stop_on_signal $?; FAILED=1; out="failed: $(tail -1 "$WORK/fetch.err")"; }
    peak=$(awk '/VmHWM/ {print $2}' "/proc/$SERVER_PID/status")
    stop_server
    echo "Memory, $M_COUNT x 1 MiB at once (blksize 1468 window 4, --negotiate): peak RSS" \
         "${peak} kB (${idle} kB after start); $out"
fi
exit $FAILED
