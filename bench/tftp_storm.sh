#!/usr/bin/env bash
# A boot storm against this TFTP server (tftpserve --negotiate) and dnsmasq,
# one server at a time, the same storm for both (tools/tftpstorm, one process,
# a socket per client), in rounds, the servers' order reversed every other
# round. The storm, all clients starting within its first second:
#   200 clients as UEFI firmware asks: a size probe (blksize 1468, tsize 0,
#       ended by ERROR 8 after the OACK), then the 8 MiB file with
#       blksize 1468 windowsize 4, every byte compared with the original
#   20 clients that ACK 2 s late, five times, then vanish
#   300 read requests never acknowledged
#   50 clients asking "timeout 255": half never ACK, half ACK 2 s late
#   a normal client fetching a 1 MiB file (blksize 1468 windowsize 4) every
#       second throughout, a fetch failing after 3 s
# After the storm's clients stop, a request (100 ms for its answer) is sent
# again until one is answered. Reports per server the medians of the rounds:
# the normal client's p50 and p99 latency and failures, the firmware
# downloads complete and intact, the server process's peak threads and RSS
# (/proc/PID/status every 100 ms), the time from the storm's end until port
# 69 answers at once (the sending of the first request answered within
# 100 ms), and, to judge these, the server's and the storm client's CPU
# seconds. Then the targets as PASS or FAIL lines.
#
#   bench/tftp_storm.sh [BUILD_DIR] [ROUNDS] [STORM_SECONDS]   (as root)
#     BUILD_DIR      default build (needs tools/tftpserve, tftpfetch, tftpstorm)
#     ROUNDS         default 3 (1 with QUICK=1)
#     STORM_SECONDS  default 45 (15 with QUICK=1)
#   QUICK=1: a tenth of the clients and a 1 MiB file for the firmware, to try
#   the script
#
# Runs in scripts/lab.sh's lab pxs<pid>: the servers in its server namespace
# (198.18.0.1/24), the storm in its client namespace (198.18.0.2/24, and the
# storm's clients spread over 198.18.0.3 to .254 added there). dnsmasq
# serves TFTP only (--port=0, no DHCP range). Installs dnsmasq-base when
# missing. Takes about 2 x ROUNDS x (STORM_SECONDS + 8) seconds, 30 s more a
# run when port 69 stays silent after the storm (5 and 8 minutes by default;
# a run is stopped after STORM_SECONDS + 90 s); says how long it took.
# Exits 1 when a target is missed.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build}
QUICK=${QUICK:-0}
ROUNDS=${2:-$([ "$QUICK" = 1 ] && echo 1 || echo 3)}
STORM_SECONDS=${3:-$([ "$QUICK" = 1 ] && echo 15 || echo 45)}
# This server with the service's own bounds (256 transfers, 8 per address),
# as dnsmasq runs with --tftp-max=256; SERVE_ARGS given replaces them.
SERVE_ARGS=${SERVE_ARGS-"--max-transfers 256 --max-per-client 8"}
# shellcheck source=bench/common.sh
. bench/common.sh
STORM="$BUILD/tools/tftpstorm"
need_tools "$SERVE" "$FETCH" "$STORM"
[[ "$ROUNDS" =~ ^[1-9][0-9]*$ && "$STORM_SECONDS" =~ ^[1-9][0-9]*$ ]] ||
    { echo "usage: $0 [BUILD_DIR] [ROUNDS] [STORM_SECONDS]" >&2; exit 2; }
need_commands dnsmasq=dnsmasq-base

bench_lab pxs  # scripts/lab.sh: server namespace pxs<pid>s, client pxs<pid>c
# The storm's machines, one address each (as many as the subnet holds; a few
# clients share one): 198.18.0.3 to .254 on the client's end of the lab.
for i in $(seq 3 254); do echo "addr add 198.18.0.$i/24 dev ${LAB}c"; done |
    ip -n "${LAB}c" -batch -
SOURCES=198.18.0.3-198.18.0.254
if [ "$QUICK" = 1 ]; then
    FIRMWARE=20
    CLIENTS=(--firmware "$FIRMWARE" --slow 2 --silent 30 --long-timeout 6)
    random_file f8 $((1024 * 1024))
else
    FIRMWARE=200
    CLIENTS=(--firmware "$FIRMWARE" --slow 20 --silent 300 --long-timeout 50)
    random_file f8 $((8 * 1024 * 1024))
fi
random_file f1 $((1024 * 1024))

# The figures of tftpstorm's line: name, what is better (low, high, or - for
# a figure shown to judge the others), and its label.
FIGURES="intact:high:firmware_downloads_intact_(of_$FIRMWARE) failed:low:firmware_failed
         unfinished:low:firmware_unfinished_at_the_end last_good_s:-:last_intact_download_s
         probe_failed:low:normal_client_failures p50_ms:low:normal_client_p50_ms
         p99_ms:low:normal_client_p99_ms recovery_ms:low:port_69_answering_after_ms
         threads:low:peak_threads rss_kb:low:peak_RSS_kB server_cpu:-:server_CPU_s
         cpu:-:storm_client_CPU_s"
KEYS="neg dnsmasq"
declare -A RES  # KEY.FIGURE: the values of the rounds
for round in $(seq 1 "$ROUNDS"); do
    echo "round $round of $ROUNDS"
    # shellcheck disable=SC2086  # one word per key
    for key in $(round_order "$round" $KEYS); do
        start_server "$key"
        err="$WORK/storm.$round.$key.err"
        out=$("${CLI[@]}" timeout --foreground $((STORM_SECONDS + 90)) "$STORM" \
                  --seconds "$STORM_SECONDS" "${CLIENTS[@]}" --sources $SOURCES \
                  --watch "$SERVER_PID" $SERVER_IP "$ROOT" 2>"$err") ||
            { stop_on_signal $?; out="failed: $(tail -1 "$err")"; }
        stop_server
        printf '  round %s %-12s %s\n' "$round" "${NAME[$key]}" "$out"
        sed 's/^/    /' "$err"
        for f in $FIGURES; do
            v=$(echo "$out" | field "${f%%:*}")
            [[ -n $v && $v != -1* ]] || v=FAIL  # -1: none, as no answer after the storm
            RES[$key.${f%%:*}]+=" $v"
        done
    done
done

echo
echo "TFTP boot storm of ${STORM_SECONDS} s, median of $ROUNDS rounds"
printf '%-40s %14s %14s\n' figure "this server" dnsmasq
for f in $FIGURES; do
    IFS=: read -r fig _ label <<< "$f"
    printf '%-40s %14s %14s\n' "${label//_/ }" "$(echo "${RES[neg.$fig]}" | median)" \
        "$(echo "${RES[dnsmasq.$fig]}" | median)"
done

MISSED=0
verdict() {  # OK TEXT
    if [ "$1" = 1 ]; then echo "PASS $2"; else echo "FAIL $2"; MISSED=1; fi
}
ours() { echo "${RES[neg.$1]}" | median; }
theirs() { echo "${RES[dnsmasq.$1]}" | median; }
below() { awk -v a="$1" -v b="$2" 'BEGIN {print (a != "FAIL" && a + 0 < b) ? 1 : 0}'; }
echo
intact=1
for v in ${RES[neg.intact]}; do [ "$v" = "$FIRMWARE" ] || intact=0; done
verdict $intact "every firmware download intact, every round (${RES[neg.intact]# } of $FIRMWARE)"
verdict "$(below "$(ours p99_ms)" 1000)" "normal client's p99 under 1 s ($(ours p99_ms) ms)"
verdict "$(below "$(ours recovery_ms)" 1000)" \
    "port 69 answering within 1 s after the storm ($(ours recovery_ms) ms)"
# No worse: not fewer intact downloads, not more failures or threads; times
# within 10% and 1 ms, RSS within 10% (the rounds' noise).
for f in $FIGURES; do
    IFS=: read -r fig better label <<< "$f"
    a=$(ours "$fig") b=$(theirs "$fig")
    case $better in
        high) ok=$(awk -v a="$a" -v b="$b" \
                   'BEGIN {print (a != "FAIL" && (b == "FAIL" || a + 0 >= b)) ? 1 : 0}') ;;
        low) ok=$(awk -v a="$a" -v b="$b" -v f="$fig" 'BEGIN {
                 slack = f ~ /_ms$|rss/ ? 0.1 : 0; ms = f ~ /_ms$/ ? 1 : 0
                 print (a != "FAIL" && (b == "FAIL" || a <= b * (1 + slack) + ms)) ? 1 : 0}') ;;
        *) continue ;;
    esac
    verdict "$ok" "this server no worse than dnsmasq: ${label//_/ } ($a against $b)"
done
echo "took $SECONDS s"
exit $MISSED
