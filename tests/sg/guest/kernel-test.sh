#!/usr/bin/env bash
# Proves the SG_IO ASPI manager and the program against a real kernel's SCSI
# and USB stacks: boots Debian's kernel under QEMU (KVM when it runs this
# kernel, software emulation otherwise) with an initramfs of its own
# (busybox, the modules every scenario needs, the guest test program), gives
# the guest QEMU's CD-ROM and a disk on virtio-scsi, the kernel's scsi_debug
# as a CD/DVD device, a USB CD-ROM of QEMU's behind its xHCI controller and an
# IDE CD-ROM on its AHCI controller, and the host's root file system
# read-only, so that the guest runs the build and the host's programs. The
# guest then runs each scenario of tests/sg/guest/scenarios/ (guest.sh), and
# the host checks each by that scenario's own check over its own console lines
# and files.
#
#   tests/sg/guest/kernel-test.sh BUILD_DIR WORK_DIR
#
# A scenario is one file: what it proves, its time budget under software
# emulation (budget=SECONDS), what it does in the guest (scenario) and what
# the host expects of it (check); it starts from the guest as booted and
# leaves nothing behind (guest-lib.sh). QUORVEL_KERNEL_SCENARIOS="NAME..."
# (shell patterns) runs those alone.
#
# Only the kernel package itself is kept between runs, in
# ${QUORVEL_KERNEL_CACHE:-~/.cache/quorvel-kernel}; everything else is made
# anew in WORK_DIR. Exit 77 (skipped) only when no kernel package can be had.
# QUORVEL_KERNEL_ACCEL=tcg or kvm skips the check of which one to use.
set -euo pipefail

source=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../.." && pwd)
build=$(realpath "$1")
work=$(realpath -m "$2")
guest=$build/tests/sg/guest/quorvel_sg_guest
cache=${QUORVEL_KERNEL_CACHE:-${XDG_CACHE_HOME:-${HOME:-/root}/.cache}/quorvel-kernel}
started=$SECONDS

say() { echo "kernel-test: $*"; }
fail() { echo "kernel-test: FAIL: $*" >&2; failed=1; }

for tool in qemu-system-x86_64 busybox depmod modprobe cpio dpkg-deb apt-get apt-cache gzip \
            Xvfb xdotool import convert dbus-daemon setpriv genisoimage; do
  command -v "$tool" >/dev/null || PATH=$PATH:/sbin:/usr/sbin
  command -v "$tool" >/dev/null || { echo "kernel-test: $tool is missing: run scripts/deps.sh" >&2; exit 1; }
done
busybox=/bin/busybox  # busybox-static's: the initramfs has no C library
[ -x "$busybox" ] || busybox=$(command -v busybox)

# --- the kernel package, unpacked -------------------------------------------
# shellcheck source=SCRIPTDIR/kernel-lib.sh
. "$source/tests/sg/guest/kernel-lib.sh"
status=0
kernel_package "$cache" || status=$?
if [ "$status" -eq 77 ]; then
  say "SKIP: no kernel package could be downloaded"
  exit 77
fi
deb=$kernel_deb
say "kernel package $(basename "$deb")"
rm -rf "$work"
mkdir -p "$work"
kernel="$work/kernel"
kernel_unpack "$deb" "$kernel" || exit 1

root="$work/initramfs"
mkdir -p "$root"/{bin,dev,proc,sys}
cp "$busybox" "$root/bin/busybox"
cp "$guest" "$root/quorvel-sg-guest"
# The base world's modules; a scenario loads more itself (guest-lib.sh's
# load_module, from the package unpacked here, which the guest sees).
kernel_modules "$kernel" "$root" virtio_pci virtio_scsi cdrom sr_mod sg scsi_debug \
  9p 9pnet_virtio overlay configfs target_core_user tcm_loop xhci_pci isofs
say "modules: $(tr '\n' ' ' < "$root/modules.list")"

# The guest's init: the modules, then the host's root, read-only under a
# writable layer, as the root of tests/sg/guest/guest.sh, with the work
# directory's out/ writable at /out.
{
  echo '#!/bin/busybox sh'
  printf 'source=%q build=%q images=%q kdir=%q scenarios=%q\n' "$source" "$build" "$work/images" "$kernel" \
    "${QUORVEL_KERNEL_SCENARIOS:-}"
  cat <<'INIT'
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
while { [ "$(ls /sys/class/block | grep -c '^sr[0-9]')" -lt 2 ] || [ "$(ls /dev | grep -c '^sg[0-9]')" -lt 3 ]; } &&
      [ $i -lt 200 ]; do usleep 100000; i=$((i + 1)); done
echo "QV-INIT modules at $(cut -d' ' -f1 /proc/uptime) s"
echo "QV-INIT nodes: $(ls /dev | grep '^sg[0-9]' | tr '\n' ' ')"
for d in /sys/class/scsi_generic/sg*; do echo "QV-INIT $(basename $d) $(basename $(readlink $d/device))"; done
mkdir -p /lower /upper /guest
mount -t 9p -o trans=virtio,version=9p2000.L,ro,cache=loose,msize=512000 host /lower || echo "QV-INIT no host root"
mount -t tmpfs -o size=512m tmpfs /upper
mkdir -p /upper/data /upper/work
mount -t overlay overlay -o lowerdir=/lower,upperdir=/upper/data,workdir=/upper/work /guest || echo "QV-INIT no overlay"
mkdir -p /guest/out
mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000 out /guest/out || echo "QV-INIT no out share"
mount -t proc proc /guest/proc
mount -t sysfs sysfs /guest/sys
mount -t devtmpfs devtmpfs /guest/dev
echo "QV-INIT host root at $(cut -d' ' -f1 /proc/uptime) s"
chroot /guest /bin/bash "$source/tests/sg/guest/guest.sh" "$source" "$build" "$images" "$kdir" $scenarios
echo "QV-EXIT $?"
sync
poweroff -f
INIT
} > "$root/init"
chmod +x "$root/init"
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1 > "$work/initramfs.cpio.gz")

# --- the guest's devices --------------------------------------------------------
# A CD image of the test's own: 1 MiB of 2048-byte sectors with a label.
head -c 1048576 /dev/zero > "$work/cd.iso"
printf 'QUORVEL SG TEST MEDIUM' | dd of="$work/cd.iso" bs=1 seek=32768 conv=notrunc status=none
truncate -s 8M "$work/disk.img"
# The disc of the USB CD-ROM: ISO 9660, so that the guest can mount it.
mkdir -p "$work/disc"
echo "QUORVEL test disc" > "$work/disc/README.TXT"
genisoimage -quiet -V "QV DISC" -o "$work/usb.iso" "$work/disc"
# Firmware for the virtual drives, in 64 KiB blocks: for drive-a, 1.20 in
# three blocks and an empty final one (the program's final command then
# carries the third block again, trailer and all); for drive-b, five blocks.
mkdir -p "$work/images" "$work/out"
"$build/bin/quorvel-mkimage" --quiet --model "QUORVEL CDRW-4824A" --version 1.20 --block-kb 64 --blocks 4 \
  "$work/images/FW-A.BIN"
"$build/bin/quorvel-mkimage" --quiet --model "QUORVEL DVDRW-1612B" --version 2.10 --block-kb 64 --blocks 5 \
  "$work/images/FW-B.BIN"
# For drive-a once more, the flash whose window is killed: 1.40, as drive-a's.
"$build/bin/quorvel-mkimage" --quiet --model "QUORVEL CDRW-4824A" --version 1.40 --block-kb 64 --blocks 4 \
  "$work/images/FW-K.BIN"
# For drive-a and drive-d at once (quorvel-flash --all): 1.50 in blocks of
# 48 KiB, the final one of 32 KiB, which the transfer buffer sends ahead of
# the rest of the block before it.
"$build/bin/quorvel-mkimage" --quiet --model "QUORVEL CDRW-4824A" --version 1.50 --block-kb 48 --blocks 3 \
  "$work/images/FW-T.BIN"

# --- KVM, when it runs this kernel ------------------------------------------------
kernel_accel "$work.accel" "$busybox"
[ "$accel" = kvm ] && say "accelerator: KVM" || say "accelerator: software emulation (TCG)"

# --- the scenarios, and the time they may take --------------------------------
selected() {
  local pattern
  [ -z "${QUORVEL_KERNEL_SCENARIOS:-}" ] && return 0
  for pattern in $QUORVEL_KERNEL_SCENARIOS; do
    # shellcheck disable=SC2053 # a pattern
    [[ "$1" == $pattern ]] && return 0
  done
  return 1
}
scenarios=()
budgets=0
for file in "$source"/tests/sg/guest/scenarios/*.sh; do
  name=$(basename "$file" .sh)
  selected "$name" || continue
  scenarios+=("$name")
  budget=$(sed -n 's/^budget=\([0-9]*\).*/\1/p' "$file" | head -n 1)
  budgets=$((budgets + ${budget:-60} + 5))  # and the base world restored after it
done
[ ${#scenarios[@]} -gt 0 ] || { echo "kernel-test: no scenario is called ${QUORVEL_KERNEL_SCENARIOS:-}" >&2; exit 1; }
# The boot and the guest's X server, then every scenario's budget; at most
# what the test is given (CMakeLists.txt), less the unpacking and the checks.
limit=$((90 + budgets))
((limit <= 1700)) || limit=1700

console="$work/console.log"
say "booting $kver (unpacked and packed in $((SECONDS - started)) s); ${#scenarios[@]} scenarios within $limit s"
boot=$SECONDS
set +e
timeout --kill-after=10 "$limit" qemu-system-x86_64 \
  -accel "$accel" -nodefaults -no-reboot -serial stdio -display none \
  -m 1024 -smp 2 \
  -kernel "$vmlinuz" -initrd "$work/initramfs.cpio.gz" \
  -append "console=ttyS0 panic=-1 loglevel=4" \
  -device virtio-scsi-pci,id=scsi0 \
  -drive if=none,id=cd0,file="$work/cd.iso",format=raw,media=cdrom,readonly=on \
  -device scsi-cd,bus=scsi0.0,drive=cd0,scsi-id=0,lun=0 \
  -drive if=none,id=hd0,file="$work/disk.img",format=raw \
  -device scsi-hd,bus=scsi0.0,drive=hd0,scsi-id=1,lun=0 \
  -device qemu-xhci,id=xhci \
  -drive if=none,id=usbcd,file="$work/usb.iso",format=raw,media=cdrom,readonly=on \
  -device usb-bot,id=usbbot,bus=xhci.0 \
  -device scsi-cd,bus=usbbot.0,drive=usbcd,scsi-id=0,lun=0,vendor=QVUSB,product=USB-CD-ROM \
  -device ahci,id=ahci \
  -drive if=none,id=atacd,file="$work/usb.iso",format=raw,media=cdrom,readonly=on \
  -device ide-cd,bus=ahci.0,drive=atacd \
  -virtfs local,path=/,mount_tag=host,security_model=none,readonly=on,multidevs=remap \
  -virtfs local,path="$work/out",mount_tag=out,security_model=none \
  < /dev/null > "$console" 2>&1
qemu=$?
set -e
tr -d '\r' < "$console" > "$console.txt"
say "guest ran $((SECONDS - boot)) s, qemu exit $qemu"

# --- what the guest reported ----------------------------------------------------
failed=0
log="$console.txt"
fail() { echo "kernel-test: FAIL: $*" >&2; failed=1; }
has() { grep -qE -- "$1" "$log"; }
[ "$qemu" -eq 0 ] || fail "qemu ended with $qemu (124: the guest hung)"
has '^QV-GUEST end$' || fail "the guest did not reach its end"
has '^QV-EXIT 0$' || fail "the guest's run did not end well"
! has 'Kernel panic|BUG:|Oops|segfault|general protection' ||
  fail "the kernel said: $(grep -E 'Kernel panic|BUG:|Oops|segfault|general protection' "$log" | head -n 3)"
! has '^QV-INIT no ' || fail "the guest's start: $(grep -E '^QV-INIT no ' "$log" | head -n 3)"

# Each scenario by its own check, over its own lines and files.
mkdir -p "$work/scenarios"
for name in "${scenarios[@]}"; do
  section="$work/scenarios/$name.log"
  sed -n "/^QV-SCENARIO $name begin\$/,/^QV-SCENARIO $name end /p" "$log" > "$section"
  end=$(grep -E "^QV-SCENARIO $name end " "$section" || true)
  if [[ ! "$end" =~ exit=([0-9]+)\ seconds=([0-9]+)\ budget=([0-9]+)$ ]]; then
    fail "scenario $name did not end"
    continue
  fi
  status=${BASH_REMATCH[1]} seconds=${BASH_REMATCH[2]} budget=${BASH_REMATCH[3]}
  if [ "$status" = 124 ] || [ "$status" = 137 ]; then
    fail "scenario $name ran out of its $budget s and was ended"
  elif [ "$status" != 0 ]; then
    fail "scenario $name ended with $status: $(grep -E '^FAIL' "$section" | head -n 3)"
  fi
  if (
    scenario=$name log=$section out=$work/out/$name
    # shellcheck source=SCRIPTDIR/check-lib.sh
    . "$source/tests/sg/guest/check-lib.sh"
    # shellcheck source=/dev/null
    . "$source/tests/sg/guest/scenarios/$name.sh"
    check
    exit "$failed"
  ); then
    say "scenario $name: passed, $seconds s of its $budget s"
  else
    fail "scenario $name: its check failed ($seconds s of its $budget s)"
    echo "----- $name: its console lines -----" >&2
    cat "$section" >&2
  fi
done

if [ "$failed" -ne 0 ]; then
  echo "----- the guest's console: $log -----" >&2
  grep -vE '^QV(-GUEST)? ' "$log" | tail -n 60 >&2
  exit 1
fi
say "PASS in $((SECONDS - started)) s"
