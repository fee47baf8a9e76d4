#!/usr/bin/env bash
# Boots one scripted PXE client from pxeservice, in a lab of its own:
#
#   server namespace (198.18.0.1/24)  <== veth ==>  client namespace (198.18.0.2/24)
#     consolesim: a task for every client            pxeclient: discover, offer,
#     pxeservice -d: ports 67, 4011, 69              request, ack, TFTP download
#
# Installs the dependencies, builds the program and the two tools, installs the
# program into a temporary folder, runs the boot, stops the service and tears
# everything down again (also when a step fails). Exit status 0 only when the
# client got its boot file, byte for byte.
#
#   scripts/demo.sh [--no-deps] [--build-dir DIR]     (as root; default DIR: build)
set -euo pipefail
cd "$(dirname "$0")/.."

deps=1
build_dir=build
while [ $# -gt 0 ]; do
  case "$1" in
    --no-deps) deps=0 ;;
    --build-dir) build_dir=${2:?--build-dir needs a folder}; shift ;;
    *) echo "usage: $0 [--no-deps] [--build-dir DIR]" >&2; exit 2 ;;
  esac
  shift
done
[ "$(id -u)" -eq 0 ] || { echo "the demo must run as root (it makes network namespaces)" >&2; exit 1; }

step() { printf '\n==> %s\n' "$*"; }
fail() { printf '\n*** demo failed: %s\n' "$*" >&2; exit 1; }

# Waits up to $2 seconds for the text $1 in the file $3.
wait_for() {
  local i
  for ((i = 0; i < $2 * 10; i++)); do
    grep -qF -- "$1" "$3" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

if [ "$deps" = 1 ]; then
  step "Installing the dependencies (Debian packages)"
  bash scripts/install-deps.sh
fi

step "Building pxeservice, consolesim and pxeclient in $build_dir/"
cmake -S . -B "$build_dir" >/dev/null
cmake --build "$build_dir" -j"$(nproc)" --target pxeservice consolesim pxeclient
tools_dir="$build_dir/tools"
[ -x "$tools_dir/consolesim" ] || tools_dir="$build_dir"

# ---------------------------------------------------------------------------
# The lab; everything below is removed by cleanup.
id=$$
ns_s="pxdemo${id}s"
ns_c="pxdemo${id}c"
if_s="pxd${id}s"
if_c="pxd${id}c"
demo=$(mktemp -d /tmp/pxedemo-XXXXXX)
service_pid=""
console_pid=""

stop_pid() {  # pid, signal, seconds
  local pid=$1 i
  [ -n "$pid" ] || return 0
  kill -"$2" "$pid" 2>/dev/null || return 0
  for ((i = 0; i < $3 * 10; i++)); do
    kill -0 "$pid" 2>/dev/null || { wait "$pid" 2>/dev/null || true; return 0; }
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

cleanup() {
  stop_pid "$service_pid" INT 20
  stop_pid "$console_pid" TERM 5
  ip netns del "$ns_s" 2>/dev/null || true
  ip netns del "$ns_c" 2>/dev/null || true
  rm -rf "$demo"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

step "Making the lab: namespaces $ns_s (198.18.0.1) and $ns_c (198.18.0.2), veth $if_s/$if_c"
ip netns add "$ns_s"
ip netns add "$ns_c"
ip link add "$if_s" netns "$ns_s" type veth peer name "$if_c" netns "$ns_c"
ip -n "$ns_s" link set lo up
ip -n "$ns_c" link set lo up
ip -n "$ns_s" addr add 198.18.0.1/24 dev "$if_s"
ip -n "$ns_c" addr add 198.18.0.2/24 dev "$if_c"
ip -n "$ns_s" link set "$if_s" up
ip -n "$ns_c" link set "$if_c" up

step "Installing pxeservice into $demo/pxeservice"
cmake --install "$build_dir" --prefix "$demo/pxeservice" >/dev/null
prefix="$demo/pxeservice"
# Serve on the lab address; the console simulator listens there too.
sed -i 's|<NIC>.*</NIC>|<NIC>198.18.0.1</NIC>|' "$prefix/Gateway.cfg"
echo "--- $prefix/bin/pxeservice.cfg"
grep -v '^ *<!--' "$prefix/bin/pxeservice.cfg"
echo "--- $prefix/Gateway.cfg"
grep -v '^ *<!--\|^ *or any' "$prefix/Gateway.cfg"

step "Sample boot files in $prefix/tftproot"
for f in linux.0 dos.0 hd.0; do
  head -c $((150000 + RANDOM)) /dev/urandom >"$prefix/tftproot/$f"
done
ls -l "$prefix/tftproot"

step "Starting the console simulator on 198.18.0.1:40003 (task Linux for every client)"
ip netns exec "$ns_s" "$tools_dir/consolesim" --port 40003 --bind 198.18.0.1 --default Linux \
  --log "$demo/console.log" >"$demo/console.out" 2>&1 &
console_pid=$!
wait_for "listening" 10 "$demo/console.log" || wait_for "listening" 1 "$demo/console.out" ||
  fail "the console simulator did not start: $(cat "$demo/console.out" "$demo/console.log" 2>/dev/null)"

step "Starting pxeservice -d in $ns_s"
ip netns exec "$ns_s" "$prefix/bin/pxeservice" -d >"$demo/service.out" 2>&1 &
service_pid=$!
if ! wait_for "Start TFTP service" 15 "$demo/service.out" ||
   ! wait_for "Start Tarn PXE boot service" 15 "$demo/service.out"; then
  cat "$demo/service.out"
  fail "pxeservice did not start"
fi
sed 's/^/    /' "$demo/service.out"
shown=$(wc -l <"$demo/service.out")

step "PXE client in $ns_c: discover, offer, request, ack, TFTP download"
client_status=0
ip netns exec "$ns_c" timeout 120 "$tools_dir/pxeclient" --interface "$if_c" --mac 52:54:00:12:34:56 \
  --fetch --output "$demo/fetched" || client_status=$?

step "What the console simulator received"
sed 's/^/    /' "$demo/console.log" 2>/dev/null || true

step "Stopping pxeservice (SIGINT)"
stop_pid "$service_pid" INT 20
service_pid=""
tail -n +$((shown + 1)) "$demo/service.out" | sed 's/^/    /'
grep -q "Service down" "$demo/service.out" || fail "the service did not report \"Service down\""

[ "$client_status" = 0 ] || fail "the PXE client stopped with status $client_status"
served=""
for f in "$prefix"/tftproot/*; do
  cmp -s "$f" "$demo/fetched" && served=$(basename "$f")
done
[ -n "$served" ] || fail "the downloaded file matches no boot file"
step "The client booted: it downloaded $served ($(stat -c %s "$demo/fetched") bytes), identical to the served file"
