#!/usr/bin/env bash
# Builds the Debian package from a configured build folder, installs it with
# apt-get, runs the installed program (-v, --help, the manual page, the
# logrotate file, the tools, and a foreground start and stop in the server
# namespace of a lab of scripts/lab.sh, running as the package's system user
# pxeservice once its ports are bound), reinstalls it over a changed configuration,
# and purges it: the program, its configuration files and its log must go, a
# boot file that the user put into the TFTP root must stay, and so does the user.
#
#   scripts/package-test.sh [BUILD_DIR]     (as root; default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${1:-build}
prefix=/opt/pxeservice
[ "$(id -u)" -eq 0 ] || { echo "the package test must run as root" >&2; exit 1; }
if [ -e "$prefix" ] || dpkg -s pxeservice >/dev/null 2>&1; then
  echo "$prefix or the package pxeservice exists already: not touching it" >&2
  exit 1
fi

lab="pxpkg$$"  # scripts/lab.sh; the service runs in its server namespace
work=$(mktemp -d /tmp/pxepkg-XXXXXX)
service_pid=""
cleanup() {
  [ -z "$service_pid" ] || { kill -KILL "$service_pid" 2>/dev/null; wait "$service_pid" 2>/dev/null; }
  bash scripts/lab.sh down "$lab" || true
  apt-get purge -y -qq pxeservice >/dev/null 2>&1 || true
  rm -rf "$prefix" "$work"
}
trap cleanup EXIT
fail() { echo "*** package test failed: $*" >&2; exit 1; }
# shellcheck source=scripts/common.sh
source scripts/common.sh
apt_get() { DEBIAN_FRONTEND=noninteractive apt-get -y -qq "$@" >"$work/apt.out" 2>&1 || { cat "$work/apt.out"; false; }; }

echo "--- cpack -G DEB"
rm -f "$build_dir"/pxeservice_*.deb
(cd "$build_dir" && cpack -G DEB >/dev/null)
deb=$(ls "$build_dir"/pxeservice_*_amd64.deb)
dpkg-deb -f "$deb" Package Version Depends
dpkg-deb -f "$deb" Depends | grep -q libace || fail "Depends names no ACE library"
dpkg-deb -f "$deb" Depends | grep -q libsystemd0 || fail "Depends names no libsystemd0"

echo "--- apt-get install ./$(basename "$deb")"
apt_get install "./$deb"
# (apt runs the maintainer scripts on a terminal of its own: its lines end in CR LF)
tr -d "\r" <"$work/apt.out" | grep -q "^pxeservice --check: [0-9]* errors\?, [0-9]* warnings\?$" ||
  { cat "$work/apt.out"; fail "the install showed no result of pxeservice --check"; }
version=$("$prefix/bin/pxeservice" -v 2>&1 | tr -d "\r"; exit "${PIPESTATUS[0]}") && fail "-v exited with 0"
[ "$version" = "PXE Service version: 1.0.0.0" ] || fail "-v printed: $version"
echo "$version"
getent passwd pxeservice | grep -q ":/nonexistent:/usr/sbin/nologin$" ||
  fail "no system user pxeservice: $(getent passwd pxeservice)"
grep -q "<User>pxeservice</User>" "$prefix/bin/pxeservice.cfg" || fail "the configuration names no user"
help=$("$prefix/bin/pxeservice" --help 2>/dev/null) || fail "--help exited with $?"
[ "${help%%$'\n'*}" = "Usage: pxeservice [-i] [-r] [-s] [-k] [-t N] [-d] [-v] [--check] [-h]" ] ||
  fail "--help printed: $help"
MANWIDTH=80 man pxeservice 2>&1 | grep -qE "^ *pxeservice +- +network-boot server" ||
  fail "man pxeservice shows no manual page"
grep -qx "$prefix/bin/pxeservice.log {" /etc/logrotate.d/pxeservice || fail "no logrotate file for the log"
! command -v logrotate >/dev/null || logrotate -d /etc/logrotate.d/pxeservice >"$work/logrotate.out" 2>&1 ||
  { cat "$work/logrotate.out"; fail "logrotate does not read /etc/logrotate.d/pxeservice"; }
for tool in consolesim pxeclient; do  # each prints its usage (status 0 to 2) when it runs at all
  status=0; "$prefix/bin/$tool" --help >/dev/null 2>&1 || status=$?
  [ $status -le 2 ] || fail "$prefix/bin/$tool does not run (status $status)"
done
echo "help, manual page, logrotate file and the tools installed"

echo "--- pxeservice -d in namespace ${lab}s, stopped with SIGINT"
bash scripts/lab.sh up "$lab"
bash scripts/lab.sh exec "$lab" server "$prefix/bin/pxeservice" -d >"$work/service.out" 2>&1 &
service_pid=$!
wait_for "Start TFTP service" 15 "$work/service.out" &&
  wait_for "Start Tarn PXE boot service" 15 "$work/service.out" ||
  { cat "$work/service.out"; fail "the installed service did not start"; }
wait_for "Running as user pxeservice" 15 "$work/service.out" ||
  { cat "$work/service.out"; fail "the installed service did not give up root"; }
user=$(ps -o user= -p "$service_pid")
[ "$user" = pxeservice ] || fail "the service runs as \"$user\""
echo "runs as $user"
kill -INT "$service_pid"
for ((i = 0; i < 200; i++)); do kill -0 "$service_pid" 2>/dev/null || break; sleep 0.1; done
wait "$service_pid" || fail "the service exited with status $?"
service_pid=""
grep -q "Service down" "$work/service.out" || { cat "$work/service.out"; fail "no \"Service down\""; }
echo "started and stopped"
[ -e "$prefix/bin/pxeservice.log" ] || fail "no log file beside the program"

echo "--- reinstall over a changed configuration"
echo "<!-- changed by the administrator -->" >>"$prefix/bin/pxeservice.cfg"
apt_get install --reinstall "./$deb"
grep -q "changed by the administrator" "$prefix/bin/pxeservice.cfg" || fail "the reinstall replaced the configuration"
echo "configuration kept"

echo "--- apt-get purge pxeservice"
echo "a boot file of the user's" >"$prefix/tftproot/user.0"
apt_get purge pxeservice
for f in bin/pxeservice bin/pxeservice.cfg Gateway.cfg bin/pxeservice.log share/doc/pxeservice/README.md \
         share/man/man8/pxeservice.8 bin/consolesim bin/pxeclient; do
  [ ! -e "$prefix/$f" ] || fail "$prefix/$f is left after the purge"
done
[ ! -e /etc/logrotate.d/pxeservice ] || fail "/etc/logrotate.d/pxeservice is left after the purge"
[ ! -e /usr/share/man/man8/pxeservice.8 ] || fail "/usr/share/man/man8/pxeservice.8 is left after the purge"
[ -f "$prefix/tftproot/user.0" ] || fail "the purge removed the user's boot file"
getent passwd pxeservice >/dev/null || fail "the purge removed the user pxeservice"
echo "program, configuration and log gone; $prefix/tftproot/user.0 and the user pxeservice kept"
