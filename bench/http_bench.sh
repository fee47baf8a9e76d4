#!/usr/bin/env bash
# HTTP boot throughput: one file of 600 MiB from this service's HTTP server,
# from nginx (sendfile on) serving the same folder, and over this service's
# TFTP as UEFI firmware asks for it (blksize 1468 windowsize 4), each with 1
# client and with 32 clients at once; every transfer compared byte for byte
# with the file (tools/httpfetch --check, tools/tftpfetch --check).
#
#   bench/http_bench.sh [BUILD_DIR] [ROUNDS]   (as root)
#     BUILD_DIR  default build (needs pxeservice, tools/httpfetch and tools/tftpfetch)
#     ROUNDS     default 3; the servers' order is reversed every other round
#   QUICK=1      a 16 MiB file instead, for a trial run
#   CLIENTS=N    the clients at once of the second case (default 32)
#
# The service runs as pxeservice -d (HTTP/Port 8080, TFTP negotiation on) in
# the server namespace of a lab of scripts/lab.sh (198.18.0.1/24), named after
# this script's pid and removed on exit; nginx (one worker) listens on 8081 in
# the same namespace, one server at a time; the clients run in the client
# namespace (198.18.0.2/24). Nothing outside the two namespaces is touched.
# Reports the median MB/s (10^6 bytes) of the rounds, the ratio of this server
# to nginx, the CPU time per GB of each server (utime + stime of every process
# of the server namespace, from /proc/PID/stat) and the peak RSS (VmHWM) of
# each server after a small file and after the big ones. Exits 1 when a
# transfer failed. The lab, its folder and the server go on exit, also on
# Ctrl-C (bench/common.sh). Uses Debian's nginx binary (the one nginx-light
# installs) when installed, otherwise unpacks that package into
# BUILD_DIR/bench-peers/, so that no nginx service is started on this machine.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build}
ROUNDS=${2:-3}
CLIENTS=${CLIENTS:-32}
SIZE_MIB=600
[ "${QUICK:-0}" != 1 ] || SIZE_MIB=16
PROGRAM="$BUILD/pxeservice"
# shellcheck source=bench/common.sh
. bench/common.sh
HTTPFETCH="$BUILD/tools/httpfetch"
need_tools "$PROGRAM" "$FETCH" "$HTTPFETCH"
[[ "$ROUNDS" =~ ^[1-9][0-9]*$ && "$CLIENTS" =~ ^[1-9][0-9]*$ ]] ||
    { echo "usage: [QUICK=1] [CLIENTS=N] $0 [BUILD_DIR] [ROUNDS]" >&2; exit 2; }
need_commands curl=curl

NGINX=$(command -v nginx || true)
if [ -z "$NGINX" ]; then
    NGINX="$BUILD/bench-peers/nginx/usr/sbin/nginx"
    if [ ! -x "$NGINX" ]; then
        mkdir -p "$BUILD/bench-peers"
        (cd "$BUILD/bench-peers" && rm -f nginx_*.deb && apt-get update -qq &&
         apt-get download -qq nginx 2>/dev/null && dpkg-deb -x nginx_*.deb nginx) ||
            { echo "cannot unpack nginx" >&2; exit 1; }
    fi
fi

bench_lab pxh
mkdir -p "$WORK/pxe/bin" "$WORK/nginx"
random_file big $((SIZE_MIB * 1024 * 1024))
random_file small $((1024 * 1024))
cp "$PROGRAM" "$WORK/pxe/bin/pxeservice"
# Every client of the lab fetches from one address: the per-client bounds fit them all.
cat > "$WORK/pxe/bin/pxeservice.cfg" <<EOF
<P><TFTP><RootDirectory>$ROOT/</RootDirectory><Negotiate>yes</Negotiate><MaxTransfersPerClient>$((CLIENTS + 8))</MaxTransfersPerClient></TFTP>
<HTTP><Port>8080</Port><MaxConnectionsPerClient>$((CLIENTS + 8))</MaxConnectionsPerClient></HTTP></P>
EOF
echo "<G><NIC>$SERVER_IP</NIC></G>" > "$WORK/pxe/Gateway.cfg"
cat > "$WORK/nginx/nginx.conf" <<EOF
daemon off;
worker_processes 1;
pid $WORK/nginx/nginx.pid;
error_log $WORK/nginx/error.log;
events { worker_connections 1024; }
http {
    access_log off;
    sendfile on;
    tcp_nopush on;
    types { }
    default_type application/octet-stream;
    client_body_temp_path $WORK/nginx/body;
    proxy_temp_path $WORK/nginx/proxy;
    fastcgi_temp_path $WORK/nginx/fastcgi;
    uwsgi_temp_path $WORK/nginx/uwsgi;
    scgi_temp_path $WORK/nginx/scgi;
    server { listen $SERVER_IP:8081; root $ROOT; }
}
EOF

declare -A PORT=([ours]=8080 [nginx]=8081)
NAME[nginx]=nginx
NAME[tftp]="this server, TFTP"

# Starts this service or nginx in the server namespace; SERVER_PID is its pid
# once it answers (lab.sh execs the server, so the pid is the server's own).
start_http_server() {  # ours | nginx
    case $1 in
        ours) "${SRV[@]}" "$WORK/pxe/bin/pxeservice" -d 2>>"$WORK/ours.log" & ;;
        nginx) "${SRV[@]}" "$NGINX" -p "$WORK/nginx" -c "$WORK/nginx/nginx.conf" \
                   2>>"$WORK/nginx.log" & ;;
    esac
    SERVER_PID=$!
    for _ in $(seq 1 50); do
        if "${CLI[@]}" curl -sf -o /dev/null "http://$SERVER_IP:${PORT[$1]}/small"; then
            return 0
        fi
        sleep 0.1
    done
    echo "server $1 did not answer" >&2; exit 1
}

server_pids() { ip netns pids "${LAB}s"; }
# utime + stime of every process of the server namespace, in clock ticks.
cpu_ticks() {
    local pid total=0
    for pid in $(server_pids); do
        total=$((total + $(awk '{sub(/.*\) /, ""); print $12 + $13}' "/proc/$pid/stat" \
                            2>/dev/null || echo 0)))
    done
    echo "$total"
}
# VmHWM of the server's processes, summed, in kB.
peak_rss() {
    local pid total=0
    for pid in $(server_pids); do
        total=$((total + $(awk '/VmHWM/ {print $2}' "/proc/$pid/status" 2>/dev/null || echo 0)))
    done
    echo "$total"
}

# N clients at once of one kind; each checks every byte. RESULT: the MB/s, or FAIL.
fetch() {  # http PORT N | tftp N
    local t0 t1 n status=0
    t0=$(date +%s.%N)
    if [ "$1" = http ]; then
        n=$3
        "${CLI[@]}" timeout --foreground 1800 "$HTTPFETCH" --parallel "$n" --check "$ROOT/big" \
            "http://$SERVER_IP:$2/big" >>"$WORK/fetch.out" 2>>"$WORK/fetch.err" || status=$?
    else
        n=$2
        "${CLI[@]}" timeout --foreground 1800 "$FETCH" --blksize 1468 --windowsize 4 \
            --parallel "$n" --check "$ROOT/big" $SERVER_IP big >>"$WORK/fetch.out" \
            2>>"$WORK/fetch.err" || status=$?
    fi
    stop_on_signal "$status"
    [ "$status" -eq 0 ] || { RESULT=FAIL; return; }
    t1=$(date +%s.%N)
    RESULT=$(awk -v b=$((n * SIZE_MIB * 1024 * 1024)) -v t0="$t0" -v t1="$t1" \
                 'BEGIN {printf "%.1f", b / 1e6 / (t1 - t0)}')
}

declare -A MBS CPU RSS_SMALL RSS_BIG
FAILED=0
# One case on the running server: KEY (ours, nginx, tftp) with N clients; appends to MBS, CPU.
measure() {  # KEY N ROUND
    local key=$1 n=$2 c0 c1 mbs
    c0=$(cpu_ticks)
    case $key in
        tftp) fetch tftp "$n" ;;
        *) fetch http "${PORT[$key]}" "$n" ;;
    esac
    mbs=$RESULT
    c1=$(cpu_ticks)
    [ "$mbs" != FAIL ] || FAILED=1
    MBS[$key.$n]+=" $mbs"
    CPU[$key.$n]+=" $(awk -v d=$((c1 - c0)) -v hz="$(getconf CLK_TCK)" \
                         -v gb="$(awk -v b=$((n * SIZE_MIB * 1024 * 1024)) 'BEGIN {print b / 1e9}')" \
                         'BEGIN {printf "%.3f", d / hz / gb}')"
    printf '  round %s %-18s %3s client(s): %8s MB/s  %s s CPU per GB\n' "$3" "${NAME[$key]}" \
        "$n" "$mbs" "${CPU[$key.$n]##* }"
}

echo "file: $SIZE_MIB MiB; $CLIENTS clients at once in the second case; $ROUNDS round(s)"
for round in $(seq 1 "$ROUNDS"); do
    echo "round $round of $ROUNDS"
    for server in $(round_order "$round" ours nginx); do
        start_http_server "$server"
        # The peak memory after a small file, then after the big ones: flat in the file size.
        "${CLI[@]}" curl -sf -o /dev/null "http://$SERVER_IP:${PORT[$server]}/small"
        RSS_SMALL[$server]=$(peak_rss)
        for n in 1 "$CLIENTS"; do measure "$server" "$n" "$round"; done
        RSS_BIG[$server]=$(peak_rss)
        if [ "$server" = ours ]; then
            for n in 1 "$CLIENTS"; do measure tftp "$n" "$round"; done
        fi
        stop_server
    done
done

echo
echo "MB/s (10^6 bytes per second), median of $ROUNDS round(s); CPU: seconds per GB served"
printf '%-20s %12s %12s %12s %12s\n' server "1 client" "$CLIENTS clients" "CPU/GB (1)" \
    "CPU/GB ($CLIENTS)"
for key in ours nginx tftp; do
    printf '%-20s %12s %12s %12s %12s\n' "${NAME[$key]}" "$(echo "${MBS[$key.1]}" | median)" \
        "$(echo "${MBS[$key.$CLIENTS]}" | median)" "$(echo "${CPU[$key.1]}" | median)" \
        "$(echo "${CPU[$key.$CLIENTS]}" | median)"
done
ratio() {  # A B -> A / B, or -
    awk -v a="$1" -v b="$2" 'BEGIN {if (a ~ /^[-F]/ || b ~ /^[-F]/ || b == 0) print "-";
                                    else printf "%.2f", a / b}'
}
for n in 1 "$CLIENTS"; do
    ours=$(echo "${MBS[ours.$n]}" | median)
    echo "ratio, $n client(s): this server / nginx $(ratio "$ours" "$(echo "${MBS[nginx.$n]}" |
        median)"), this server HTTP / TFTP $(ratio "$ours" "$(echo "${MBS[tftp.$n]}" | median)")"
done
for key in ours nginx; do
    echo "peak RSS of ${NAME[$key]} (last round): ${RSS_SMALL[$key]} kB after 1 MiB," \
         "${RSS_BIG[$key]} kB after $SIZE_MIB MiB x (1 + $CLIENTS)"
done
[ "$FAILED" -eq 0 ] || echo "some transfers FAILED (see above)"
exit $FAILED
