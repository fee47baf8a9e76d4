#!/usr/bin/env bash
# Boots a client from pxeservice, in a lab of its own.
#
# Scripted client (default):
#   server namespace (198.18.0.1/24)  <== veth ==>  client namespace (198.18.0.2/24)
#     consolesim: a task for every client            pxeclient: discover, offer,
#     pxeservice -d: ports 67, 4011, 69              request, ack, TFTP download
#
# Real PC firmware (--vm bios|uefi), QEMU without KVM:
#   server namespace: bridge 198.18.0.1/24 <-- tap -- QEMU: SeaBIOS + iPXE ROM (bios)
#     consolesim, pxeservice -d                          or OVMF (uefi)
#     |  veth
#   DHCP namespace (198.18.0.2/24): busybox udhcpd hands out the client's address
#   The firmware gets its address from udhcpd and the proxy offer with the menu
#   prompt from pxeservice, asks the boot server, downloads its boot program over
#   TFTP and runs it: an iPXE script (bios/linux.0) or GRUB's network image
#   (efi64/linux.0, with efi64/grub.cfg); both wait 3 s, print a line, fetch
#   "ran" (which shows in the service log) and power the machine off. One
#   installation serves both, through BootServer/ArchFolders; "both" boots the
#   BIOS and then the UEFI machine from the same running service. Pictures of the
#   screen at the menu prompt and after the boot program ran are saved as PNG in
#   BUILD_DIR/demo-vm/, with the console simulator's log.
#
# Installs the dependencies, builds the program and the tools, installs the
# program into a temporary folder, runs the boot, stops the service and tears
# everything down again (also when a step fails). Exit status 0 only when the
# client got its boot file, byte for byte (scripted client), or when the boot
# program ran (--vm).
#
#   scripts/demo.sh [--vm [bios|uefi|both]] [--no-deps] [--build-dir DIR]
#   (as root; default DIR: build)
set -euo pipefail
cd "$(dirname "$0")/.."

deps=1
build_dir=build
vm=""
usage() { echo "usage: $0 [--vm [bios|uefi|both]] [--no-deps] [--build-dir DIR]" >&2; exit 2; }
while [ $# -gt 0 ]; do
  case "$1" in
    --no-deps) deps=0 ;;
    --build-dir) build_dir=${2:?--build-dir needs a folder}; shift ;;
    --vm)
      vm=bios
      case "${2:-}" in bios|uefi|both) vm=$2; shift ;; esac ;;
    *) usage ;;
  esac
  shift
done
[ "$(id -u)" -eq 0 ] || { echo "the demo must run as root (it makes network namespaces)" >&2; exit 1; }

step() { printf '\n==> %s\n' "$*"; }
fail() { printf '\n*** demo failed: %s\n' "$*" >&2; exit 1; }

# shellcheck source=scripts/common.sh
source scripts/common.sh

if [ "$deps" = 1 ]; then
  step "Installing the dependencies (Debian packages)"
  bash scripts/install-deps.sh ${vm:+--vm}
fi

step "Building pxeservice, consolesim and pxeclient in $build_dir/"
cmake -S . -B "$build_dir" >/dev/null
cmake --build "$build_dir" -j"$(nproc)" --target pxeservice consolesim pxeclient
tools_dir="$build_dir/tools"
[ -x "$tools_dir/consolesim" ] || tools_dir="$build_dir"

# ---------------------------------------------------------------------------
# The lab (scripts/lab.sh); everything below is removed by cleanup.
lab="pxdemo$$"
ns_s="${lab}s"
ns_c="${lab}c"
in_lab=(bash scripts/lab.sh exec "$lab")  # server|client COMMAND...: as the same process
demo=$(mktemp -d /tmp/pxedemo-XXXXXX)
service_pid=""
qemu_pid=""
monitor_pid=""

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

# Stops the service first with SIGINT, as an administrator would; lab.sh stops the rest.
cleanup() {
  stop_pid "$monitor_pid" TERM 1
  stop_pid "$service_pid" INT 20
  bash scripts/lab.sh down "$lab" || true
  rm -rf "$demo"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

if [ -z "$vm" ]; then
  step "Making the lab: namespaces $ns_s (198.18.0.1) and $ns_c (198.18.0.2), veth $ns_s/$ns_c"
  bash scripts/lab.sh up "$lab"
else
  step "Making the lab: namespace $ns_s (bridge ${lab}b with 198.18.0.1, the VM's tap ${lab}t" \
    "and veth $ns_s), namespace $ns_c (198.18.0.2 on veth $ns_c, DHCP server)"
  bash scripts/lab.sh up "$lab" --bridge
fi

step "Installing pxeservice into $demo/pxeservice"
cmake --install "$build_dir" --prefix "$demo/pxeservice" >/dev/null
prefix="$demo/pxeservice"
# Serve on the lab address; the console simulator listens there too.
sed -i 's|<NIC>.*</NIC>|<NIC>198.18.0.1</NIC>|' "$prefix/Gateway.cfg"
# A record of every boot event, one JSON line each.
records="$demo/records.json"
sed -i "s|</PXEService>|  <Log><Records>$records</Records></Log>\n</PXEService>|" \
  "$prefix/bin/pxeservice.cfg"
if [ -n "$vm" ]; then
  # BIOS and UEFI clients boot from their own folders; GRUB's TFTP client needs
  # the option negotiation.
  sed -i -e 's|<Negotiate>[^<]*</Negotiate>|<Negotiate>yes</Negotiate>|' \
    -e 's|<BootServer>|<BootServer>\n    <ArchFolders>0=bios/ 7=efi64/ 9=efi64/</ArchFolders>|' \
    "$prefix/bin/pxeservice.cfg"
fi
echo "--- $prefix/bin/pxeservice.cfg"
grep -v '^ *<!--' "$prefix/bin/pxeservice.cfg"
echo "--- $prefix/Gateway.cfg"
grep -v '^ *<!--\|^ *or any' "$prefix/Gateway.cfg"

root="$prefix/tftproot"
if [ -z "$vm" ]; then
  step "Sample boot files in $root"
  for f in linux.0 dos.0 hd.0; do
    head -c $((150000 + RANDOM)) /dev/urandom >"$root/$f"
  done
  ls -l "$root"
else
  step "Boot programs in $root: an iPXE script for BIOS, GRUB's network image for UEFI"
  mkdir -p "$root/bios" "$root/efi64"
  cat >"$root/bios/linux.0" <<'SCRIPT'
#!ipxe
sleep 3
echo
echo ===== pxeservice demo: the iPXE script bios/linux.0 runs on ${platform} =====
imgfetch ran
sleep 4
# Debian's iPXE ROM has no poweroff: the script then ends, the firmware finds
# nothing else to boot and resets, which ends this machine (-no-reboot).
poweroff || reboot || exit 0
SCRIPT
  cat >"$root/efi64/grub.cfg" <<'CFG'
sleep 3
echo
echo "===== pxeservice demo: GRUB runs efi64/grub.cfg on $grub_platform ====="
cat $prefix/ran
sleep 4
halt
CFG
  echo "the boot program ran" | tee "$root/bios/ran" >"$root/efi64/ran"
  grub-mkimage -O x86_64-efi -o "$root/efi64/linux.0" -p "(tftp,198.18.0.1)/efi64" \
    normal configfile echo cat sleep halt net tftp efinet
  (cd "$root" && find . -type f | sort | xargs ls -l)
fi

# Boots one PC ($1: bios or uefi) in QEMU on the lab's tap and waits until its
# boot program has run and the machine is off (bounded); saves the pictures.
boot_machine() {
  local kind=$1 folder=bios mac=52:54:00:12:34:56 firmware=() nic_rom="" from t ran=0
  if [ "$kind" = uefi ]; then
    folder=efi64
    mac=52:54:00:12:34:57
    firmware=(-bios /usr/share/ovmf/OVMF.fd)
    nic_rom=",romfile="   # OVMF's own network stack, not the iPXE ROM
  fi                      # bios: SeaBIOS, and the NIC's option ROM from ipxe-qemu
  rm -f "$pictures/$kind"-*.png
  from=$(($(wc -l <"$demo/service.out") + 1))
  step "Starting QEMU ($kind firmware, TCG, $mac) in $ns_s on tap ${lab}t"
  mkfifo "$demo/$kind.in" "$demo/$kind.out"
  "${in_lab[@]}" server qemu-system-x86_64 -accel tcg -m 512 -display none -vga std \
    "${firmware[@]}" -boot reboot-timeout=0 -no-reboot -monitor "pipe:$demo/$kind" \
    -netdev "tap,id=net0,ifname=${lab}t,script=no,downscript=no" \
    -device "virtio-net-pci,netdev=net0,mac=$mac,bootindex=1$nic_rom" >"$demo/qemu.out" 2>&1 &
  qemu_pid=$!
  exec 8<>"$demo/$kind.in"
  cat "$demo/$kind.out" >"$demo/monitor.log" &
  monitor_pid=$!

  step "Waiting for the $kind machine's boot (at most 240 s)"
  for ((t = 0; t < 2400; t++)); do
    kill -0 "$qemu_pid" 2>/dev/null || break
    tail -n "+$from" "$demo/service.out" >"$demo/since"
    # The boot-server request follows the menu prompt at once; the boot programs
    # wait 3 s before their line, so that the prompt is still the last thing shown.
    if [ ! -e "$pictures/$kind-menu.png" ] && grep -q "Check Mac Address $mac" "$demo/since"; then
      screendump "$kind-menu"
    fi
    if grep -q "get file=.*/$folder/ran\$" "$demo/since"; then
      ran=1
      sleep 2
      screendump "$kind-booted"
      break
    fi
    sleep 0.1
  done
  if [ "$ran" = 1 ]; then
    # The boot program powers the machine off a few seconds after its line.
    for ((t = 0; t < 300; t++)); do kill -0 "$qemu_pid" 2>/dev/null || break; sleep 0.1; done
    if kill -0 "$qemu_pid" 2>/dev/null; then
      echo "    the machine did not power itself off"
      ran=0
    else
      echo "    the machine ran $folder/linux.0 and powered itself off"
    fi
  else
    kill -0 "$qemu_pid" 2>/dev/null && screendump "$kind-failed"
    echo "    the machine did not run its boot program"
    sed 's/^/    qemu: /' "$demo/qemu.out"
  fi
  stop_pid "$qemu_pid" TERM 5
  stop_pid "$monitor_pid" TERM 1
  qemu_pid="" monitor_pid=""
  exec 8>&-
  [ "$ran" = 1 ]
}

# Saves the screen as $pictures/$1.png.
screendump() {
  local file="$pictures/$1.png" i
  echo "screendump $file -f png" >&8
  for ((i = 0; i < 50; i++)); do [ -s "$file" ] && break; sleep 0.1; done
  [ -s "$file" ] && echo "    screen saved: $file" || echo "    no picture of the screen ($1)"
}

step "Starting the console simulator on 198.18.0.1:40003 (task Linux for every client)"
"${in_lab[@]}" server "$tools_dir/consolesim" --port 40003 --bind 198.18.0.1 --default Linux \
  --log "$demo/console.log" >"$demo/console.out" 2>&1 &
wait_for "listening" 10 "$demo/console.log" || wait_for "listening" 1 "$demo/console.out" ||
  fail "the console simulator did not start: $(cat "$demo/console.out" "$demo/console.log" 2>/dev/null)"

step "Starting pxeservice -d in $ns_s"
"${in_lab[@]}" server "$prefix/bin/pxeservice" -d >"$demo/service.out" 2>&1 &
service_pid=$!
if ! wait_for "Start TFTP service" 15 "$demo/service.out" ||
   ! wait_for "Start Tarn PXE boot service" 15 "$demo/service.out"; then
  cat "$demo/service.out"
  fail "pxeservice did not start"
fi
sed 's/^/    /' "$demo/service.out"
shown=$(wc -l <"$demo/service.out")

if [ -n "$vm" ]; then
  step "DHCP server (busybox udhcpd) in $ns_c: addresses 198.18.0.100-150"
  cat >"$demo/udhcpd.conf" <<CONF
start 198.18.0.100
end 198.18.0.150
interface $ns_c
lease_file $demo/udhcpd.leases
pidfile $demo/udhcpd.pid
option subnet 255.255.255.0
CONF
  touch "$demo/udhcpd.leases"
  "${in_lab[@]}" client busybox udhcpd -f "$demo/udhcpd.conf" \
    >"$demo/udhcpd.out" 2>&1 &

  pictures="$build_dir/demo-vm"
  mkdir -p "$pictures"
  pictures=$(cd "$pictures" && pwd)
  machines=("$vm")
  [ "$vm" != both ] || machines=(bios uefi)
  client_status=0
  for machine in "${machines[@]}"; do
    boot_machine "$machine" || client_status=1
  done

  step "What the console simulator received"
  sed 's/^/    /' "$demo/console.log" 2>/dev/null || true
  cp "$demo/console.log" "$pictures/console.log" 2>/dev/null || true
  step "What udhcpd did"
  sed 's/^/    /' "$demo/udhcpd.out"
else
  step "PXE client in $ns_c: discover, offer, request, ack, TFTP download"
  client_status=0
  "${in_lab[@]}" client timeout 120 "$tools_dir/pxeclient" --interface "$ns_c" \
    --mac 52:54:00:12:34:56 --fetch --output "$demo/fetched" || client_status=$?

  step "What the console simulator received"
  sed 's/^/    /' "$demo/console.log" 2>/dev/null || true
fi

step "Stopping pxeservice (SIGINT)"
stop_pid "$service_pid" INT 20
service_pid=""
tail -n +$((shown + 1)) "$demo/service.out" | sed 's/^/    /'
grep -q "Service down" "$demo/service.out" || fail "the service did not report \"Service down\""
echo "--- the records of the boot ($records)"
sed 's/^/    /' "$records" 2>/dev/null || true
for event in offer ack tftp; do
  grep -q "\"event\":\"$event\"" "$records" 2>/dev/null || fail "no $event in the records"
done

if [ -n "$vm" ]; then
  echo "Pictures of the screen:"
  ls "$pictures"/*.png | sed 's/^/    /'
  echo "Console simulator log: $pictures/console.log"
  [ "$client_status" = 0 ] || fail "a machine did not run its boot program"
  step "Booted from one installation: ${machines[*]}, each with the boot program of its own folder"
  exit 0
fi
[ "$client_status" = 0 ] || fail "the PXE client stopped with status $client_status"
served=""
for f in "$root"/*; do
  cmp -s "$f" "$demo/fetched" && served=$(basename "$f")
done
[ -n "$served" ] || fail "the downloaded file matches no boot file"
step "The client booted: it downloaded $served ($(stat -c %s "$demo/fetched") bytes), identical to the served file"
