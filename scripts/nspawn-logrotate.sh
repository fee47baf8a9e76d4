#!/usr/bin/env bash
# Proves on a real systemd that logrotate rotates the log of the running
# service without losing a line: a Debian 12 root made with mmdebstrap, booted
# with systemd-nspawn -b (a network namespace of its own: only its loopback),
# the package installed in it with apt-get, the unit written (-i) and started
# (-s). TFTP read requests (one line "tftp: can't open .../missing-N" each)
# run without a pause while logrotate -f rotates the log twice; afterwards
# every N must be in exactly one of pxeservice.log, pxeservice.log.1 and
# pxeservice.log.2.gz. On the way, a datagram that the service drops must
# show in its records file and, with PXE_EVENT=dropped, in the journal.
#
#   scripts/nspawn-logrotate.sh [BUILD_DIR]   (as root; default: build)
#
# The root is cached as BUILD_DIR/nspawn-rootfs-HASH.tar, named by the packages it holds (made once, a few minutes);
# a run with it takes about a minute. Not part of scripts/test.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=$(realpath "${1:-build}")
[ "$(id -u)" -eq 0 ] || { echo "must run as root" >&2; exit 1; }
command -v mmdebstrap >/dev/null && command -v systemd-nspawn >/dev/null ||
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq mmdebstrap systemd-container >/dev/null

machine="pxensp$$"
root=$(mktemp -d /var/tmp/pxensp-XXXXXX)
nspawn_pid=""
cleanup() {
  if [ -n "$nspawn_pid" ]; then
    kill -TERM "$nspawn_pid" 2>/dev/null || true
    for ((i = 0; i < 100; i++)); do kill -0 "$nspawn_pid" 2>/dev/null || break; sleep 0.2; done
    kill -KILL "$nspawn_pid" 2>/dev/null || true
    wait "$nspawn_pid" 2>/dev/null || true
  fi
  rm -rf "$root"
}
trap cleanup EXIT
fail() { echo "*** nspawn logrotate test failed: $*" >&2; exit 1; }

echo "--- package"
rm -f "$build_dir"/pxeservice_*.deb
(cd "$build_dir" && cpack -G DEB >/dev/null)
deb=$(ls "$build_dir"/pxeservice_*_amd64.deb)

# The container has no network: the root holds the package's dependencies.
# Its cache is named by what it holds, so that a new dependency makes a new one.
include=systemd,systemd-sysv,dbus,logrotate,tftp-hpa,procps,$(dpkg-deb -f "$deb" Depends |
  sed -E 's/ *\([^)]*\)//g; s/ *, */,/g')
tar="$build_dir/nspawn-rootfs-$(echo "$include" | md5sum | cut -c1-8).tar"
if [ ! -s "$tar" ]; then
  echo "--- mmdebstrap bookworm -> $tar"
  mmdebstrap --variant=minbase --format=tar --include="$include" \
    bookworm "$tar.part" >"$build_dir/nspawn-rootfs.log" 2>&1 || { tail "$build_dir/nspawn-rootfs.log"; fail "mmdebstrap"; }
  mv "$tar.part" "$tar"
fi
tar -C "$root" -xf "$tar"
cp "$deb" "$root/root/"
echo "$machine" >"$root/etc/hostname"

echo "--- systemd-nspawn -b -M $machine"
systemd-nspawn -q -D "$root" -M "$machine" --private-network --register=no --keep-unit -b \
  --console=read-only >"$root.console" 2>&1 &
nspawn_pid=$!
leader=""
for ((i = 0; i < 100; i++)); do
  leader=$(pgrep -P "$nspawn_pid" | head -1 || true)
  [ -n "$leader" ] && [ "$(cat "/proc/$leader/comm" 2>/dev/null)" = systemd ] && break
  sleep 0.2
done
[ -n "$leader" ] || { cat "$root.console"; fail "the container did not start"; }
in_ct() { nsenter -t "$leader" -a -- "$@"; }
state=""
for ((i = 0; i < 600; i++)); do  # its bus first, then the boot's end
  state=$(in_ct systemctl is-system-running 2>&1 || true)
  case "$state" in running|degraded) break ;; esac
  sleep 0.2
done
echo "container: $state"
case "$state" in running|degraded) ;; *) cat "$root.console"; fail "systemd in the container is $state" ;; esac

echo "--- install, -i, -s"
in_ct env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "/root/$(basename "$deb")" >"$root.apt" 2>&1 ||
  { cat "$root.apt"; fail "apt-get install"; }
prefix=/opt/pxeservice
log=$prefix/bin/pxeservice.log
echo '<G><NIC>127.0.0.1</NIC></G>' >"$root$prefix/Gateway.cfg"
# Records and the journal too: a datagram without a message type must show in both.
sed -i 's|</PXEService>|<Log><Records>/var/log/pxeservice-records.json</Records><Journal>yes</Journal></Log></PXEService>|' \
  "$root$prefix/bin/pxeservice.cfg"
in_ct $prefix/bin/pxeservice -i
in_ct $prefix/bin/pxeservice -s || { in_ct systemctl status QvnPXE.service || true; fail "-s"; }
in_ct systemctl is-active -q QvnPXE.service || fail "the service is not active"
in_ct bash -c 'head -c 300 /dev/zero >/dev/udp/127.0.0.1/4011'
for ((i = 0; i < 50; i++)); do grep -qs '"reason":"no message type"' "$root/var/log/pxeservice-records.json" && break; sleep 0.1; done
grep -s '"event":"dropped"' "$root/var/log/pxeservice-records.json" || fail "no record of the dropped datagram"
journal=$(in_ct journalctl -q -o verbose PXE_EVENT=dropped 2>&1 || true)
grep -q "PXE_REASON=no message type" <<<"$journal" || { echo "$journal"; fail "no journal entry of the dropped datagram"; }
echo "the dropped datagram is in the records file and in the journal"

echo "--- requests, logrotate -f twice, requests"
# One request after the other, each a line of its own; the rotations happen meanwhile.
cat >"$root/root/requests.sh" <<'EOF'
#!/bin/sh
i=0
while [ ! -e /root/stop ]; do
  i=$((i + 1))
  tftp 127.0.0.1 -c get "missing-$i" /dev/null >/dev/null 2>&1 || true
  echo "$i" >/root/sent.new && mv /root/sent.new /root/sent
done
EOF
chmod 755 "$root/root/requests.sh"
in_ct /root/requests.sh &
requests_pid=$!
sent() { local n; n=$(cat "$root/root/sent" 2>/dev/null || true); echo "${n:-0}"; }
wait_sent() { local n; n=$(($(sent) + $1)); for ((i = 0; i < 600; i++)); do [ "$(sent)" -ge $n ] && return 0; sleep 0.1; done; fail "requests stalled"; }
wait_sent 200
in_ct logrotate -f /etc/logrotate.d/pxeservice || fail "logrotate"
wait_sent 200
in_ct logrotate -f /etc/logrotate.d/pxeservice || fail "logrotate, second time"
wait_sent 200
touch "$root/root/stop"
wait "$requests_pid" || true
sleep 1  # the last request's line
total=$(sent)
in_ct systemctl is-active -q QvnPXE.service || fail "the service stopped on the rotations"
in_ct $prefix/bin/pxeservice -k
[ -z "${PXE_KEEP_LOGS:-}" ] || cp "$root$log"* "$PXE_KEEP_LOGS/"

echo "--- every line in exactly one file"
ls -l "$root$prefix/bin/"
count() { { grep -o 'tftproot/missing-[0-9]* for reading' || true; } | sed 's/.*missing-//; s/ .*//'; }
{
  count <"$root$log"
  count <"$root$log.1"
  zcat "$root$log.2.gz" | count
} | sort -n | uniq -c >"$root.counts"
for f in "$log" "$log.1" "$log.2.gz"; do
  n=$( (if [[ $f == *.gz ]]; then zcat "$root$f"; else cat "$root$f"; fi) | count | wc -l)
  echo "$f: $n request lines"
done
[ "$(grep -c "Log file reopened" "$root$log.1")" = 1 ] || fail "$log.1 does not begin after a reopen"
[ "$(grep -c "Log file reopened" "$root$log")" = 1 ] || fail "$log does not begin after a reopen"
bad=$(awk -v total="$total" '$1 != 1 || $2 != NR || NR > total' "$root.counts" | head -3)
lines=$(wc -l <"$root.counts")
[ -z "$bad" ] && [ "$lines" -eq "$total" ] || fail "requests 1..$total: $lines in the files, first faults: $bad"
echo "requests 1..$total: each line in exactly one of the three files"
rm -f "$root.console" "$root.apt" "$root.counts"
