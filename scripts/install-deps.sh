#!/usr/bin/env bash
# Installs everything the build, the tests, the package, the fuzzer and the
# demo need, from Debian's packages. Safe to run again.
#   scripts/install-deps.sh [--vm]    --vm: also QEMU and the PC firmware of the VM demo
set -euo pipefail
vm=()
[ "${1:-}" != --vm ] || vm=(qemu-system-x86 ipxe-qemu ovmf grub-efi-amd64-bin dnsmasq-base)
export DEBIAN_FRONTEND=noninteractive
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
$SUDO apt-get update
$SUDO apt-get install -y --no-install-recommends \
    g++ clang libclang-rt-dev cmake make pkg-config dpkg-dev file \
    libace-dev libgtest-dev googletest libsystemd-dev libmicrohttpd-dev libcurl4-openssl-dev \
    iproute2 procps psmisc groff-base man-db \
    tftp-hpa curl busybox tftpd-hpa "${vm[@]}"
