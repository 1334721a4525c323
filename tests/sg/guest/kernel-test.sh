#!/usr/bin/env bash
# Proves the SG_IO ASPI manager against a real kernel's SCSI stack: boots
# Debian's kernel under QEMU's software emulation with an initramfs of its own
# (busybox, the needed modules, the guest test program), gives the guest
# QEMU's CD-ROM and a disk on virtio-scsi and the kernel's scsi_debug as a
# CD/DVD device, and checks what the guest program reports on the console.
#
#   tests/sg/guest/kernel-test.sh GUEST_PROGRAM WORK_DIR
#
# Only the kernel package itself is kept between runs, in
# ${QUORVEL_KERNEL_CACHE:-~/.cache/quorvel-kernel}; everything else is made
# anew in WORK_DIR. Exit 77 (skipped) only when no kernel package can be had.
set -euo pipefail

guest=$(realpath "$1")
work=$2
cache=${QUORVEL_KERNEL_CACHE:-${XDG_CACHE_HOME:-${HOME:-/root}/.cache}/quorvel-kernel}
meta=linux-image-amd64
started=$SECONDS

say() { echo "kernel-test: $*"; }
fail() { echo "kernel-test: FAIL: $*" >&2; failed=1; }

for tool in qemu-system-x86_64 busybox depmod modprobe cpio dpkg-deb apt-get apt-cache gzip; do
  command -v "$tool" >/dev/null || PATH=$PATH:/sbin:/usr/sbin
  command -v "$tool" >/dev/null || { echo "kernel-test: $tool is missing: run scripts/deps.sh" >&2; exit 1; }
done
busybox=/bin/busybox  # busybox-static's: the initramfs has no C library
[ -x "$busybox" ] || busybox=$(command -v busybox)

# --- the kernel package: the current dependency of linux-image-amd64 -------
package_name() { apt-cache depends "$meta" 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-[^ ]*\)$/\1/p' | head -n1; }
mkdir -p "$cache"
# One download at a time into the cache, whatever build trees run this.
exec 9> "$cache/.lock"
flock 9
pkg=$(package_name || true)
if [ -z "$pkg" ] && [ "$(id -u)" -eq 0 ]; then
  apt-get update -qq >/dev/null 2>&1 || true
  pkg=$(package_name || true)
fi
deb=""
if [ -n "$pkg" ]; then
  version=$(apt-cache policy "$pkg" 2>/dev/null | sed -n 's/^ *Candidate: //p' | head -n1)
  wanted="$cache/${pkg}_${version//:/%3a}_amd64.deb"
  if [ -n "$version" ] && [ -s "$wanted" ] && dpkg-deb --info "$wanted" >/dev/null 2>&1; then
    deb=$wanted
  else
    say "downloading $pkg $version"
    sandbox=()
    [ "$(id -u)" -eq 0 ] && sandbox=(-o APT::Sandbox::User=root)
    if (cd "$cache" && apt-get "${sandbox[@]}" -qq download "$pkg" >/dev/null) \
       || { [ "$(id -u)" -eq 0 ] && apt-get update -qq >/dev/null 2>&1 \
            && (cd "$cache" && apt-get "${sandbox[@]}" -qq download "$pkg" >/dev/null); }; then
      deb=$(ls -t "$cache"/"${pkg}"_*_amd64.deb 2>/dev/null | head -n1 || true)
    fi
  fi
fi
if [ -z "$deb" ]; then
  # No network: an earlier download will do.
  deb=$(ls -t "$cache"/linux-image-*_amd64.deb 2>/dev/null | head -n1 || true)
fi
if [ -z "$deb" ]; then
  say "SKIP: no kernel package could be downloaded"
  exit 77
fi
# Keep only the package in use.
for old in "$cache"/linux-image-*_amd64.deb; do [ "$old" = "$deb" ] || rm -f "$old"; done
say "kernel package $(basename "$deb")"
exec 9>&-

# --- unpack, module closure ---------------------------------------------------
rm -rf "$work"
mkdir -p "$work"
kernel="$work/kernel"
dpkg-deb -x "$deb" "$kernel"
kver=$(ls "$kernel/lib/modules" | head -n1)
vmlinuz="$kernel/boot/vmlinuz-$kver"
[ -f "$vmlinuz" ] || { echo "kernel-test: no kernel image in $(basename "$deb")" >&2; exit 1; }
depmod -b "$kernel" "$kver"

root="$work/initramfs"
mkdir -p "$root"/{bin,dev,proc,sys,lib/modules}
cp "$busybox" "$root/bin/busybox"
cp "$guest" "$root/quorvel-sg-guest"
: > "$root/modules.list"
declare -A seen=()
for module in virtio_pci virtio_scsi cdrom sr_mod sg scsi_debug; do
  while read -r verb path _; do
    [ "$verb" = insmod ] || continue
    name=$(basename "$path")
    case "$name" in
      *.ko) cp "$path" "$root/lib/modules/$name" ;;
      *.ko.xz) name=${name%.xz}; xz -dc "$path" > "$root/lib/modules/$name" ;;
      *.ko.zst) name=${name%.zst}; zstd -qdc "$path" > "$root/lib/modules/$name" ;;
      *) continue ;;
    esac
    [ -n "${seen[$name]:-}" ] && continue
    seen[$name]=1
    echo "$name" >> "$root/modules.list"
  done < <(modprobe -d "$kernel" -S "$kver" --show-depends "$module")
done
say "modules: $(tr '\n' ' ' < "$root/modules.list")"

cat > "$root/init" <<'INIT'
#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
while read -r m; do
  case "$m" in
    scsi_mod.ko) insmod /lib/modules/$m scan=sync ;;
    # Identification fields of full length: the module sends them as given.
    scsi_debug.ko) insmod /lib/modules/$m ptype=5 'inq_vendor="QVTEST  "' 'inq_product="SGDEBUG DVD-ROM "' inq_rev=0100 ;;
    *) insmod /lib/modules/$m ;;
  esac 2>/dev/null || echo "QV-INIT insmod $m failed"
done < /modules.list
i=0
while [ "$(ls /dev | grep -c '^sg[0-9]')" -lt 3 ] && [ $i -lt 200 ]; do usleep 100000; i=$((i + 1)); done
echo "QV-INIT nodes: $(ls /dev | grep '^sg[0-9]' | tr '\n' ' ')"
for d in /sys/class/scsi_generic/sg*; do echo "QV-INIT $(basename $d) $(basename $(readlink $d/device))"; done
/quorvel-sg-guest
echo "QV-EXIT $?"
poweroff -f
INIT
chmod +x "$root/init"
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1 > "$work/initramfs.cpio.gz")

# --- the guest's devices --------------------------------------------------------
# A CD image of the test's own: 1 MiB of 2048-byte sectors with a label.
head -c 1048576 /dev/zero > "$work/cd.iso"
printf 'QUORVEL SG TEST MEDIUM' | dd of="$work/cd.iso" bs=1 seek=32768 conv=notrunc status=none
truncate -s 8M "$work/disk.img"

console="$work/console.log"
say "booting $kver (unpacked and packed in $((SECONDS - started)) s)"
boot=$SECONDS
set +e
timeout --kill-after=10 300 qemu-system-x86_64 \
  -accel tcg -nodefaults -no-reboot -serial stdio -display none \
  -m 512 -smp 1 \
  -kernel "$vmlinuz" -initrd "$work/initramfs.cpio.gz" \
  -append "console=ttyS0 panic=-1 loglevel=4" \
  -device virtio-scsi-pci,id=scsi0 \
  -drive if=none,id=cd0,file="$work/cd.iso",format=raw,media=cdrom,readonly=on \
  -device scsi-cd,bus=scsi0.0,drive=cd0,scsi-id=0,lun=0 \
  -drive if=none,id=hd0,file="$work/disk.img",format=raw \
  -device scsi-hd,bus=scsi0.0,drive=hd0,scsi-id=1,lun=0 \
  < /dev/null > "$console" 2>&1
qemu=$?
set -e
tr -d '\r' < "$console" > "$console.txt"
say "guest ran $((SECONDS - boot)) s, qemu exit $qemu"

# --- what the guest reported ----------------------------------------------------
failed=0
log="$console.txt"
has() { grep -qE -- "$1" "$log"; }
expect() { has "$1" || fail "no line matching: $1"; }
refuse() { ! has "$1" || fail "unexpected line: $(grep -E -- "$1" "$log" | head -n1)"; }
field() { grep -E -- "$1" "$log" | head -n1 | sed -n "s/.* $2=\([^ ]*\).*/\1/p"; }

[ "$qemu" -eq 0 ] || fail "qemu ended with $qemu (124: the guest hung)"
expect '^QV end$'
expect '^QV-EXIT 0$'
refuse 'Kernel panic|BUG:|Oops|segfault|general protection'

# Discovery through the manager: two adapters (virtio-scsi, scsi_debug), the
# disk seen but not listed, both CD/DVD devices under their own INQUIRY texts.
expect '^QV support adapters=2 status=01$'
expect '^QV probe 0 0 status=01 type=05 text="QEMU    QEMU CD-ROM     .{4}"$'
expect '^QV probe 0 1 status=01 type=00 text="QEMU    QEMU HARDDISK   .{4}"$'
expect '^QV probe 1 0 status=01 type=05 text="QVTEST  SGDEBUG DVD-ROM 0100"$'
expect '^QV drives 2$'
expect '^QV drive 0 adapter=0 target=0 text="QEMU    QEMU CD-ROM     .{4}"$'
expect '^QV drive 1 adapter=1 target=0 text="QVTEST  SGDEBUG DVD-ROM 0100"$'
refuse '^QV drive .*HARDDISK'

# The download command to devices that do not know operation code 0xFF:
# a failure, with CHECK CONDITION and ILLEGAL REQUEST, INVALID COMMAND
# OPERATION CODE (20h/00h) in the sense data.
for k in 0 1; do
  status=$(field "^QV download $k " transport-status)
  [ -n "$status" ] && [ "$status" != 1 ] || fail "drive $k: download through the transport gave '${status}'"
  line=$(grep -E "^QV download-record $k " "$log" | head -n1 || true)
  [[ "$line" =~ status=04\ hastat=00\ targstat=02\ sense=(.*)$ ]] || { fail "drive $k: download record: '$line'"; continue; }
  read -r -a sense <<< "${BASH_REMATCH[1]}"
  (( (16#${sense[0]} & 0x7E) == 0x70 )) || fail "drive $k: sense response code ${sense[0]}"
  (( (16#${sense[2]} & 0x0F) == 5 )) || fail "drive $k: sense key ${sense[2]}, not ILLEGAL REQUEST"
  [ "${sense[12]} ${sense[13]}" = "20 00" ] || fail "drive $k: ASC/ASCQ ${sense[12]}/${sense[13]}, not 20h/00h"
done

# Records refused before anything is sent; the device still answers after.
expect '^QV refuse cdb17 status=E0$'
expect '^QV refuse buflen status=E6$'
expect '^QV refuse adapter status=81$'
expect '^QV after-refusals inquiry status=01$'

# A caller without any capability. With read and write access to the nodes
# it finds the drives, and the download command is a failure as the devices
# answer it. With read access alone it still finds them, and the kernel
# refuses it operation code 0xFF (EPERM): a failure, never success.
for access in rw ro; do
  expect "^QV unprivileged-$access uid=65534 cap=0+ adapters=2 status=01$"
  expect "^QV unprivileged-$access exit=0$"
  for k in 0 1; do
    expect "^QV unprivileged-$access inquiry $k status=01$"
    expect "^QV unprivileged-$access-download $k status=04 "
  done
done
expect '^QV unprivileged-ro-download 0 status=04 hastat=00 targstat=00 sense=00( 00){13}$'
expect '^QV unprivileged-ro-download 1 status=04 hastat=00 targstat=00 sense=00( 00){13}$'

# A signal while a command is in the device (scsi_debug slowed down): the
# manager's call waits for the command's end; the bare call beside it shows
# that the signal did cut into the kernel's wait.
expect '^QV signal manager status=01 targstat=00 alarms=1$'
expect '^QV signal bare result=EINTR alarms=1$'

# A device that vanishes after discovery: its commands fail, nothing hangs.
expect '^QV vanished sg[0-9]+ node-gone=1$'
status=$(field '^QV vanished inquiry' status)
[ -n "$status" ] && [ "$status" != 1 ] || fail "vanished device: INQUIRY gave '$status'"
status=$(field '^QV vanished-download' status)
[ -n "$status" ] && [ "$status" != 01 ] || fail "vanished device: download gave '$status'"

# The benchmark: time per INQUIRY through ExecuteScsiCommand and the manager
# against a bare SG_IO loop on the same device.
for k in 0 1; do
  expect "^QV bench $k \".*\" commands=[0-9]+ manager_ns=[0-9]+ bare_ns=[0-9]+ ratio=[0-9.]+ failures=0$"
done
grep -E '^QV bench ' "$log" | sed 's/^QV /kernel-test: /' || true

if [ "$failed" -ne 0 ]; then
  echo "----- guest console -----" >&2
  cat "$log" >&2
  exit 1
fi
say "PASS in $((SECONDS - started)) s"
