#!/usr/bin/env bash
# Installs everything the build, the tests, the fuzzer and the demo need,
# from Debian's packages. Safe to run again.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
$SUDO apt-get update
$SUDO apt-get install -y --no-install-recommends \
    g++ clang libclang-rt-dev cmake make pkg-config \
    libace-dev libgtest-dev googletest libsystemd-dev \
    iproute2 procps psmisc \
    tftp-hpa curl busybox tftpd-hpa
