# shellcheck shell=bash
# What the TFTP benchmarks share; sourced, not run, from the tree's top folder
# after BUILD is set. bench_lab PREFIX makes a lab of scripts/lab.sh named
# PREFIX<pid> (servers in its server namespace on 198.18.0.1/24, clients in
# its client namespace on 198.18.0.2/24) and a temporary folder WORK holding
# the TFTP root ROOT, and removes both, and the server it started, when the
# script ends, also on Ctrl-C and on a failure.

SERVE="$BUILD/tools/tftpserve"
FETCH="$BUILD/tools/tftpfetch"
SERVER_IP=198.18.0.1
SERVER_PID=""
# shellcheck disable=SC2034  # for the scripts that source this
declare -A NAME=([ours]="this server" [neg]="negotiating" [hpa]=tftpd-hpa [atftpd]=atftpd
                 [dnsmasq]=dnsmasq)

need_tools() {  # PROGRAM...: the build's programs the script runs
    local b
    [ "$(id -u)" -eq 0 ] || { echo "run as root (network namespaces)" >&2; exit 1; }
    for b in "$@"; do
        [ -x "$b" ] || { echo "no $b: build the tools first (bash scripts/build.sh)" >&2; exit 1; }
    done
}

# Installs the Debian packages PACKAGE of the commands COMMAND that are missing.
need_commands() {  # COMMAND=PACKAGE...
    local missing=() pair
    for pair in "$@"; do
        command -v "${pair%%=*}" >/dev/null || missing+=("${pair#*=}")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

bench_cleanup() {
    if [ -n "$SERVER_PID" ]; then
        kill -9 "$SERVER_PID" 2>/dev/null || true
        wait "$SERVER_PID" 2>/dev/null || true
    fi
    bash scripts/lab.sh down "$LAB" || true
    rm -rf "$WORK"
}

bench_lab() {  # PREFIX
    LAB="$1$$"
    SRV=(bash scripts/lab.sh exec "$LAB" server)  # COMMAND...: as the same process
    CLI=(bash scripts/lab.sh exec "$LAB" client)
    WORK=$(mktemp -d "/tmp/$1.XXXXXX")
    ROOT="$WORK/root"
    trap bench_cleanup EXIT
    trap 'echo "$0: a command failed at line $LINENO" >&2' ERR
    trap 'exit 130' INT TERM
    bash scripts/lab.sh up "$LAB"
    mkdir -p "$ROOT"
    chmod 755 "$WORK" "$ROOT"
    echo ready > "$ROOT/ready"
}

# The clients run under timeout --foreground, so that Ctrl-C reaches them, and
# timeout reports a signal that ended its client as a status of 128 or more,
# which bash does not take as its own Ctrl-C: the script ends here then.
stop_on_signal() {  # STATUS
    [ "$1" -lt 128 ] || exit 130
}

# Writes a file of random bytes into the TFTP root.
random_file() {  # NAME BYTES
    head -c "$2" /dev/urandom > "$ROOT/$1"
    chmod 644 "$ROOT/$1"
    # Written out before any round, so that no round shares the disk with it.
    sync "$ROOT/$1"
}

# Starts the server KEY in the server namespace; SERVER_PID is its pid once it
# answers (lab.sh execs the server, so the pid is the server's own).
# SERVE_ARGS: more flags for this server's tftpserve (its bounds, for example).
start_server() {  # ours | neg | hpa | atftpd | dnsmasq
    local log="$WORK/$1.log"
    case $1 in
        ours) "${SRV[@]}" "$SERVE" ${SERVE_ARGS:-} "$ROOT" 2>>"$log" & ;;
        neg) "${SRV[@]}" "$SERVE" --negotiate ${SERVE_ARGS:-} "$ROOT" 2>>"$log" & ;;
        hpa) "${SRV[@]}" in.tftpd -L -s "$ROOT" 2>>"$log" & ;;
        atftpd) "${SRV[@]}" "$ATFTPD" --daemon --no-fork --user root --group root \
                    --logfile - --port 69 "$ROOT" >>"$log" 2>&1 & ;;
        dnsmasq) "${SRV[@]}" dnsmasq --no-daemon --port=0 --enable-tftp --tftp-max=256 \
                     --tftp-root="$ROOT" --conf-file=/dev/null --pid-file= >>"$log" 2>&1 & ;;
    esac
    SERVER_PID=$!
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

# The value after the word KEY in the lines read.
field() { awk -v k="$1" '{for (i = 1; i < NF; ++i) if ($i == k) print $(i + 1)}'; }

median() {  # words -> median, or FAIL when any is FAIL, or - when none
    tr ' ' '\n' | sort -g | awk '/FAIL/ {f = 1} NF {v[n++] = $1}
        END {if (f) print "FAIL"; else if (!n) print "-";
             else printf "%.2f", n % 2 ? v[int(n / 2)] : (v[n / 2 - 1] + v[n / 2]) / 2}'
}

# The keys in the order of round ROUND: reversed every other round.
round_order() {  # ROUND KEY...
    local round=$1; shift
    if [ $((round % 2)) -eq 0 ]; then printf '%s\n' "$@" | tac | tr '\n' ' '; else echo "$@"; fi
}
