#!/usr/bin/env bash
# The network lab of the tests, the demo, the package test and the benchmark:
# two network namespaces, NAMEs (server, 198.18.0.1/24) and NAMEc (client,
# 198.18.0.2/24), joined by a veth pair NAMEs/NAMEc (each end named like its
# namespace), loopback up in both. Nothing outside the two namespaces is touched.
#
#   scripts/lab.sh up NAME [--bridge]    (as root)
#     Makes the lab; fails, leaving nothing behind, when NAMEs or NAMEc exists.
#     --bridge: for a virtual machine in the server namespace: the server's veth
#     end and a tap NAMEt are ports of a bridge NAMEb, which holds 198.18.0.1/24.
#   scripts/lab.sh down NAME
#     Stops what runs in the namespaces (SIGTERM, SIGKILL after 5 s) and deletes
#     them; nothing to do when they are gone.
#   scripts/lab.sh exec NAME server|client CMD [ARG...]
#     Runs CMD in a namespace of the lab, as the same process (exec).
#
# NAME: a lower-case letter and up to 13 more letters or digits, so that every
# interface name fits into 15 characters; include the caller's pid in it, so that
# parallel runs do not clash.
set -euo pipefail

readonly kServerAddr=198.18.0.1/24 kClientAddr=198.18.0.2/24
usage() {
  echo "usage: $0 up NAME [--bridge] | down NAME | exec NAME server|client CMD [ARG...]" >&2
  exit 2
}
[ $# -ge 2 ] || usage
action=$1 name=$2
shift 2
[[ "$name" =~ ^[a-z][a-z0-9]{0,13}$ ]] || { echo "$0: bad lab name: $name" >&2; exit 2; }
ns_s="${name}s" ns_c="${name}c"

has_ns() { ip netns list | grep -qE "^$1( |\$)"; }

# Stops every process in namespace $1 within $2 seconds, then deletes it.
drop_ns() {
  local ns=$1 pids i
  has_ns "$ns" || return 0
  pids=$(ip netns pids "$ns")
  if [ -n "$pids" ]; then
    # shellcheck disable=SC2086  # one word per pid
    kill -TERM $pids 2>/dev/null || true
    for ((i = 0; i < $2 * 10; i++)); do
      pids=$(ip netns pids "$ns")
      [ -n "$pids" ] || break
      sleep 0.1
    done
    # shellcheck disable=SC2086
    [ -z "$pids" ] || kill -KILL $pids 2>/dev/null || true
  fi
  ip netns del "$ns"
}

down() {
  drop_ns "$ns_s" 5
  drop_ns "$ns_c" 5
}

up() {
  local bridge=0
  case "${1:-}" in
    --bridge) bridge=1; shift ;;
  esac
  [ $# -eq 0 ] || usage
  if has_ns "$ns_s" || has_ns "$ns_c"; then
    echo "$0: the lab $name exists already" >&2
    exit 1
  fi
  trap 'down' EXIT
  ip netns add "$ns_s"
  ip netns add "$ns_c"
  ip -n "$ns_s" link set lo up
  ip -n "$ns_c" link set lo up
  ip link add "$ns_s" netns "$ns_s" type veth peer name "$ns_c" netns "$ns_c"
  ip -n "$ns_c" addr add "$kClientAddr" dev "$ns_c"
  ip -n "$ns_c" link set "$ns_c" up
  if [ "$bridge" = 1 ]; then
    ip -n "$ns_s" link add "${name}b" type bridge
    ip -n "$ns_s" addr add "$kServerAddr" dev "${name}b"
    ip -n "$ns_s" link set "${name}b" up
    ip -n "$ns_s" link set "$ns_s" master "${name}b"
    ip -n "$ns_s" tuntap add dev "${name}t" mode tap
    ip -n "$ns_s" link set "${name}t" master "${name}b" up
  else
    ip -n "$ns_s" addr add "$kServerAddr" dev "$ns_s"
  fi
  ip -n "$ns_s" link set "$ns_s" up
  trap - EXIT
}

case "$action" in
  up) up "$@" ;;
  down) [ $# -eq 0 ] || usage; down ;;
  exec)
    [ $# -ge 2 ] || usage
    case "$1" in
      server) ns=$ns_s ;;
      client) ns=$ns_c ;;
      *) usage ;;
    esac
    shift
    exec ip netns exec "$ns" "$@" ;;
  *) usage ;;
esac
