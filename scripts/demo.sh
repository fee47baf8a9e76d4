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
# Secure Boot (--vm secureboot): OVMF with Secure Boot on and Microsoft's keys
#   boots Debian's signed shim (efi64/linux.0), which loads the signed GRUB
#   network image (efi64/grubx64.efi), which reads grub/grub.cfg and loads the
#   signed kernel and an initramfs whose /init reports the SecureBoot variable.
#   The DHCP namespace runs dnsmasq naming this server as next-server. The run
#   passes when the serial console shows Secure Boot on, from kernel and /init.
#
# HTTP boot (--vm http): OVMF with its PXE boot options off, so that it boots
#   from its "UEFI HTTPv4" option: it loads efi64/linux.0, GRUB's network image
#   built for HTTP, by the URL of the service's proxy offer from the service's
#   HTTP server (HTTP/Port 80), and GRUB fetches grub.cfg and "ran" over HTTP.
#
# iPXE over HTTP (--vm ipxe): the BIOS machine with HTTP/Port 80: the boot
#   server's acknowledgement names bios/linux.0 by its URL, so that iPXE loads
#   the script and its "ran" from the service's HTTP server instead of TFTP.
#
# Installs the dependencies, builds the program and the tools, installs the
# program into a temporary folder, runs the boot, stops the service and tears
# everything down again (also when a step fails). Exit status 0 only when the
# client got its boot file, byte for byte (scripted client), or when the boot
# program ran (--vm).
#
#   scripts/demo.sh [--vm [bios|uefi|both|secureboot|http|ipxe]] [--no-deps] [--build-dir DIR]
#   (as root; default DIR: build)
set -euo pipefail
cd "$(dirname "$0")/.."

deps=1
build_dir=build
vm=""
usage() { echo "usage: $0 [--vm [bios|uefi|both|secureboot|http|ipxe]] [--no-deps] [--build-dir DIR]" >&2; exit 2; }
while [ $# -gt 0 ]; do
  case "$1" in
    --no-deps) deps=0 ;;
    --build-dir) build_dir=${2:?--build-dir needs a folder}; shift ;;
    --vm)
      vm=bios
      case "${2:-}" in bios|uefi|both|secureboot|http|ipxe) vm=$2; shift ;; esac ;;
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
if [ "$vm" = http ] || [ "$vm" = ipxe ]; then
  # The TFTP root over HTTP on port 80, GRUB's default; UEFI HTTP boot
  # clients (architecture 16) boot from the UEFI folder.
  sed -i -e 's|<BootServer>|<HTTP>\n    <Port>80</Port>\n  </HTTP>\n  <BootServer>|' \
    -e 's|9=efi64/</ArchFolders>|9=efi64/ 16=efi64/</ArchFolders>|' "$prefix/bin/pxeservice.cfg"
fi
echo "--- $prefix/bin/pxeservice.cfg"
grep -v '^ *<!--' "$prefix/bin/pxeservice.cfg"
echo "--- $prefix/Gateway.cfg"
grep -v '^ *<!--\|^ *or any' "$prefix/Gateway.cfg"

root="$prefix/tftproot"

# The Secure Boot chain, every piece signed as Debian ships it, fetched with
# apt-get download into $build_dir/demo-debs/ (kept for the next run) and
# unpacked without installing: efi64/linux.0 is shim (the boot file the
# acknowledgement names), efi64/grubx64.efi the signed GRUB network image that
# shim loads from the folder of the proxy offer's boot file, grub/grub.cfg the
# configuration that image reads below its prefix /grub, and efi64/vmlinuz with
# efi64/initrd.img the signed kernel and a busybox initramfs whose /init
# reports the firmware's SecureBoot variable.
secureboot_root() {
  local debs="$build_dir/demo-debs" kernel unpacked="$demo/debs" p
  step "The signed boot chain from Debian's packages (cached in $debs/)"
  kernel=$(apt-cache depends linux-image-amd64 | awk '$1 == "Depends:" && $2 ~ /^linux-image-/ {print $2; exit}')
  [ -n "$kernel" ] || fail "apt-cache names no kernel package for linux-image-amd64"
  mkdir -p "$debs" "$unpacked"
  for p in shim-signed grub-efi-amd64-signed busybox-static "$kernel"; do
    if ! compgen -G "$debs/${p}_*.deb" >/dev/null; then
      (cd "$debs" && apt-get download "$p") >"$demo/apt.out" 2>&1 ||
        fail "apt-get download $p failed: $(cat "$demo/apt.out")"
    fi
  done
  for p in shim-signed grub-efi-amd64-signed busybox-static; do
    dpkg-deb -x "$(compgen -G "$debs/${p}_*.deb" | tail -n 1)" "$unpacked"
  done
  # The kernel package holds every module; only the kernel and efivarfs are needed.
  dpkg-deb --fsys-tarfile "$(compgen -G "$debs/${kernel}_*.deb" | tail -n 1)" |
    tar -x -C "$unpacked" --wildcards './boot/vmlinuz-*' './lib/modules/*/efivarfs.ko'

  mkdir -p "$root/efi64" "$root/grub" "$demo/initrd/bin"
  cp "$unpacked/usr/lib/shim/shimx64.efi.signed" "$root/efi64/linux.0"
  cp "$unpacked/usr/lib/grub/x86_64-efi-signed/grubnetx64.efi.signed" "$root/efi64/grubx64.efi"
  cp "$unpacked"/boot/vmlinuz-* "$root/efi64/vmlinuz"
  cp "$unpacked/bin/busybox" "$demo/initrd/bin/busybox"
  cp "$unpacked"/lib/modules/*/kernel/fs/efivarfs/efivarfs.ko "$demo/initrd/efivarfs.ko"
  cat >"$demo/initrd/init" <<'INIT'
#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
exec </dev/console >/dev/console 2>&1
insmod /efivarfs.ko
mount -t efivarfs efivarfs /sys/firmware/efi/efivars
# Four bytes of attributes, then the value: 1 when Secure Boot is on.
var=/sys/firmware/efi/efivars/SecureBoot-8be4df61-93ca-11d2-aa0d-00e098032b8c
ls -l "$var"
value=$(cat "$var" | od -An -tu1 | awk '{ print $5 }')
case "$value" in 1) state=on ;; 0) state=off ;; *) state="unknown (no SecureBoot variable)" ;; esac
for tty in /dev/console /dev/tty1; do
  {
    echo
    echo "===== pxeservice demo: Linux $(uname -r) runs its initramfs; Secure Boot is $state ====="
    echo "===== kernel: $(dmesg | grep -m 1 'secureboot:') ====="
  } >"$tty"
done
sleep 5
poweroff -f
INIT
  chmod +x "$demo/initrd/init"
  mkdir -p "$demo/initrd/proc" "$demo/initrd/sys" "$demo/initrd/dev"
  (cd "$demo/initrd" && find . | busybox cpio -o -H newc 2>/dev/null) | gzip -9 >"$root/efi64/initrd.img"
  cat >"$root/grub/grub.cfg" <<'CFG'
echo "===== pxeservice demo: signed GRUB runs grub/grub.cfg from $net_default_server ====="
linux /efi64/vmlinuz console=tty0 console=ttyS0,115200 panic=10
initrd /efi64/initrd.img
boot
CFG
  (cd "$root" && find . -type f | sort | xargs ls -l)
}
if [ -z "$vm" ]; then
  step "Sample boot files in $root"
  for f in linux.0 dos.0 hd.0; do
    head -c $((150000 + RANDOM)) /dev/urandom >"$root/$f"
  done
  ls -l "$root"
elif [ "$vm" = secureboot ]; then
  secureboot_root
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
  # The HTTP machine loads the same image by URL; it then reads its
  # configuration and "ran" over HTTP too.
  grub_proto=tftp
  [ "$vm" != http ] || grub_proto=http
  grub-mkimage -O x86_64-efi -o "$root/efi64/linux.0" -p "($grub_proto,198.18.0.1)/efi64" \
    normal configfile echo cat sleep halt net "$grub_proto" efinet
  (cd "$root" && find . -type f | sort | xargs ls -l)
fi

# Boots one PC ($1: bios, uefi, secureboot, http or ipxe) in QEMU on the lab's
# tap and waits until its boot program has run and the machine is off (bounded);
# saves the pictures. bios and uefi have run when they fetch "ran" over TFTP,
# http and ipxe when they do so over HTTP; secureboot when the initramfs's line shows on the serial
# console, which is then checked.
boot_machine() {
  local kind=$1 folder=bios mac=52:54:00:12:34:56 firmware=() nic_rom="" from t ran=0
  local seconds=240 serial="$demo/$kind.serial"
  case "$kind" in
    ipxe) mac=52:54:00:12:34:5a ;;  # the BIOS machine, its iPXE ROM sent to HTTP
    uefi)
      folder=efi64
      mac=52:54:00:12:34:57
      firmware=(-bios /usr/share/ovmf/OVMF.fd)
      nic_rom=",romfile=" ;;  # OVMF's own network stack, not the iPXE ROM
    secureboot)
      # OVMF built with Secure Boot, its variables a copy of those with
      # Microsoft's keys enrolled (which sign shim); SMM guards the variables.
      folder=efi64
      mac=52:54:00:12:34:58
      seconds=300  # a kernel's start too, slow under TCG
      cp /usr/share/OVMF/OVMF_VARS_4M.ms.fd "$demo/vars.fd"
      firmware=(-machine "q35,smm=on" -global "driver=cfi.pflash01,property=secure,value=on"
        -drive "if=pflash,format=raw,unit=0,readonly=on,file=/usr/share/OVMF/OVMF_CODE_4M.secboot.fd"
        -drive "if=pflash,format=raw,unit=1,file=$demo/vars.fd")
      nic_rom=",romfile=" ;;
    http)
      # OVMF without its PXE boot options (IPv4 PXE and IPv6 off): the NIC's
      # only boot option is then "UEFI HTTPv4", which asks DHCP for a URL.
      folder=efi64
      mac=52:54:00:12:34:59
      firmware=(-bios /usr/share/ovmf/OVMF.fd
        -fw_cfg "name=opt/org.tianocore/IPv4PXESupport,string=no"
        -fw_cfg "name=opt/org.tianocore/IPv6Support,string=no")
      nic_rom=",romfile=" ;;
  esac                      # bios: SeaBIOS, and the NIC's option ROM from ipxe-qemu
  rm -f "$pictures/$kind"-*.png
  : >"$serial"
  from=$(($(wc -l <"$demo/service.out") + 1))
  step "Starting QEMU ($kind firmware, TCG, $mac) in $ns_s on tap ${lab}t"
  mkfifo "$demo/$kind.in" "$demo/$kind.out"
  "${in_lab[@]}" server qemu-system-x86_64 -accel tcg -smp 1 -m 512 -display none -vga std \
    "${firmware[@]}" -boot reboot-timeout=0 -no-reboot -monitor "pipe:$demo/$kind" \
    -serial "file:$serial" \
    -netdev "tap,id=net0,ifname=${lab}t,script=no,downscript=no" \
    -device "virtio-net-pci,netdev=net0,mac=$mac,bootindex=1$nic_rom" >"$demo/qemu.out" 2>&1 &
  qemu_pid=$!
  exec 8<>"$demo/$kind.in"
  cat "$demo/$kind.out" >"$demo/monitor.log" &
  monitor_pid=$!

  step "Waiting for the $kind machine's boot (at most $seconds s)"
  # Bounded by the clock: on a loaded machine each round takes longer than its sleep.
  local deadline=$((SECONDS + seconds))
  while [ "$SECONDS" -lt "$deadline" ]; do
    kill -0 "$qemu_pid" 2>/dev/null || break
    tail -n "+$from" "$demo/service.out" >"$demo/since"
    # The boot-server request follows the menu prompt at once; the boot programs
    # wait 3 s before their line, so that the prompt is still the last thing shown.
    if [ ! -e "$pictures/$kind-menu.png" ] && grep -q "Check Mac Address $mac" "$demo/since"; then
      screendump "$kind-menu"
    fi
    if grep -a -q "Shell> " "$serial"; then
      echo "    the firmware found nothing to boot and started its shell"
      break
    fi
    if grep -a -q "Verification failed" "$serial"; then
      echo "    a boot program was refused: $(grep -a -o -m 1 'Verification failed: ([^)]*) [A-Za-z ]*[a-z]' "$serial")"
      sleep 1
      break
    fi
    if case "$kind" in
         secureboot) grep -a -q "pxeservice demo: Linux .* runs its initramfs" "$serial" ;;
         http | ipxe) grep -q "http: .* GET \"/$folder/ran\" 200 " "$demo/since" ;;
         *) grep -q "get file=.*/$folder/ran\$" "$demo/since" ;;
       esac; then
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
    elif [ "$kind" = secureboot ]; then
      check_secureboot || ran=0
    else
      echo "    the machine ran $folder/linux.0 and powered itself off"
      [ "$kind" != ipxe ] || echo "    over HTTP, by the URL the boot server gave it: $(recorded_file ack)"
    fi
  else
    kill -0 "$qemu_pid" 2>/dev/null && screendump "$kind-failed"
    echo "    the machine did not run its boot program"
    [ "$kind" != http ] || explain_http
    sed 's/^/    qemu: /' "$demo/qemu.out"
    [ ! -s "$serial" ] || tail -n 30 "$serial" | sed 's/^/    serial: /'
  fi
  [ ! -s "$serial" ] || cp "$serial" "$pictures/$kind-serial.log"
  stop_pid "$qemu_pid" TERM 5
  stop_pid "$monitor_pid" TERM 1
  qemu_pid="" monitor_pid=""
  exec 8>&-
  [ "$ran" = 1 ]
}

# The boot file of the first reply of kind $1 (offer, ack) that the service's
# records hold for the machine's $mac; empty when there is none.
recorded_file() {
  grep "\"event\":\"$1\",\"mac\":\"$mac\"" "$records" 2>/dev/null |
    sed -n 's/.*"file":"\([^"]*\)".*/\1/p' | head -n 1
}

# Why the HTTP machine did not boot, from the service's log and records.
explain_http() {
  local url
  url=$(recorded_file offer)
  if ! grep -q "Start HTTP service on TCP port 80" "$demo/service.out"; then
    echo "    pxeservice started no HTTP server: this build has no HTTP/Port setting"
  elif [ -z "$url" ]; then
    echo "    pxeservice made no proxy offer to the HTTPClient discover of UEFI HTTP boot"
    echo "    (architecture 16); it must carry option 60 HTTPClient and the boot file's URL"
  elif [ "${url##*/}" != linux.0 ]; then
    echo "    the proxy offer named $url, not the boot file the console's task selects"
    echo "    (linux.0): UEFI HTTP boot asks no boot server on 4011, so the HTTPClient proxy"
    echo "    offer itself must carry the selected file's URL"
  fi
  grep "http: " "$demo/since" | sed 's/^/    /' || true
}

# The Secure Boot machine's serial console: the kernel found Secure Boot on and
# so did the initramfs's /init; every piece of the chain came from this server.
check_secureboot() {
  local serial="$demo/secureboot.serial" f ok=1 offer ack
  tr -d '\r' <"$serial" | sed 's/\x1b\[[0-9;]*[A-Za-z]//g' |
    grep -a -E "pxeservice demo|[Ss]ecure boot|Linux version" | sed 's/^/    serial: /'
  tail -n "+$from" "$demo/service.out" >"$demo/since"
  for f in efi64/linux.0 efi64/grubx64.efi grub/grub.cfg efi64/vmlinuz efi64/initrd.img; do
    grep -q "get file=.*/$f\$" "$demo/since" || { echo "    $f was not fetched from this server"; ok=0; }
  done
  # shim looks for grubx64.efi in the folder of the proxy offer's boot file.
  offer=$(recorded_file offer)
  ack=$(recorded_file ack)
  echo "    proxy offer: $offer, acknowledgement: $ack"
  [ -n "$ack" ] && [ "${offer%/*}" = "${ack%/*}" ] ||
    { echo "    the proxy offer and the acknowledgement name different folders"; ok=0; }
  grep -a -q "secureboot: Secure boot enabled" "$serial" ||
    { echo "    the kernel did not report Secure Boot on"; ok=0; }
  grep -a -q "pxeservice demo: Linux .* Secure Boot is on " "$serial" ||
    { echo "    the initramfs did not find the SecureBoot variable on"; ok=0; }
  [ "$ok" = 1 ] && echo "    shim, signed GRUB and the signed kernel booted with Secure Boot on, all from this server"
  [ "$ok" = 1 ]
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
  if [ "$vm" = secureboot ] || [ "$vm" = http ]; then
    # Debian's signed GRUB takes its TFTP server from the DHCP server's
    # next-server (siaddr) alone: the site's DHCP server must name this one.
    # An empty boot file keeps shim on the proxy offer's.
    dhcp=dnsmasq
    step "DHCP server (dnsmasq, DHCP only) in $ns_c: addresses 198.18.0.100-150, next-server 198.18.0.1"
    "${in_lab[@]}" client dnsmasq --no-daemon --conf-file=/dev/null --port=0 --user=root \
      --interface="$ns_c" --bind-interfaces --dhcp-range=198.18.0.100,198.18.0.150,255.255.255.0 \
      --dhcp-boot=,,198.18.0.1 --dhcp-leasefile="$demo/dnsmasq.leases" --log-dhcp \
      --log-facility=- >"$demo/$dhcp.out" 2>&1 &
  else
    dhcp=udhcpd
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
      >"$demo/$dhcp.out" 2>&1 &
  fi

  if [ "$vm" = http ]; then
    # The firmware takes the download for an EFI program by its Content-Type
    # (or a URL ending in .efi, which efi64/linux.0 does not).
    step "The boot file over HTTP, as the firmware will ask for it"
    "${in_lab[@]}" client curl -sS -I --max-time 10 http://198.18.0.1/efi64/linux.0 \
      >"$demo/head.out" 2>&1 || true
    tr -d '\r' <"$demo/head.out" | sed 's/^/    /'
    grep -qi '^content-type: application/efi' "$demo/head.out" ||
      fail "the service does not serve efi64/linux.0 over HTTP as application/efi"
  fi

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
  step "What $dhcp did"
  sed 's/^/    /' "$demo/$dhcp.out"
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
events=(offer ack tftp)
[ "$vm" != http ] || events=(offer http)  # HTTP boot asks no boot server
[ "$vm" != ipxe ] || events=(offer ack http)
for event in "${events[@]}"; do
  grep -q "\"event\":\"$event\"" "$records" 2>/dev/null || fail "no $event in the records"
done

if [ -n "$vm" ]; then
  echo "Pictures of the screen:"
  ls "$pictures"/*.png | sed 's/^/    /'
  echo "Console simulator log: $pictures/console.log"
  [ "$client_status" = 0 ] || [ "$vm" != secureboot ] ||
    fail "the Secure Boot chain did not boot with Secure Boot on"
  [ "$client_status" = 0 ] || fail "a machine did not run its boot program"
  if [ "$vm" = secureboot ]; then
    step "Booted with Secure Boot on: shim, signed GRUB, signed kernel, all from this server"
  else
    step "Booted from one installation: ${machines[*]}, each with the boot program of its own folder"
  fi
  exit 0
fi
[ "$client_status" = 0 ] || fail "the PXE client stopped with status $client_status"
served=""
for f in "$root"/*; do
  cmp -s "$f" "$demo/fetched" && served=$(basename "$f")
done
[ -n "$served" ] || fail "the downloaded file matches no boot file"
step "The client booted: it downloaded $served ($(stat -c %s "$demo/fetched") bytes), identical to the served file"
