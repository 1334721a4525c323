#!/usr/bin/env bash
# Proves the SG_IO ASPI manager and the program against a real kernel's SCSI
# stack: boots Debian's kernel under QEMU (KVM when it runs this kernel,
# software emulation otherwise) with an initramfs of its own (busybox, the
# needed modules, the guest test program), gives the guest QEMU's CD-ROM and
# a disk on virtio-scsi and the kernel's scsi_debug as a CD/DVD device, and
# the host's root file system read-only, so that the guest runs the build
# and the host's programs (tests/sg/guest/guest.sh): virtual CD/DVD drives
# served through the kernel's SCSI target, the real program flashing one of
# them as the desktop user under Xvfb while root's program is refused the
# same drive, the same user's window killed in the middle of a flash that
# its own flash's process then finishes, two drives of one model written at
# once by quorvel-flash --all, and the guest program's suite. The host then
# checks the console and what the drives recorded.
#
#   tests/sg/guest/kernel-test.sh BUILD_DIR WORK_DIR
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
kernel_modules "$kernel" "$root" virtio_pci virtio_scsi cdrom sr_mod sg scsi_debug \
  9p 9pnet_virtio overlay configfs target_core_user tcm_loop xhci_pci usb_storage isofs
say "modules: $(tr '\n' ' ' < "$root/modules.list")"

# The guest's init: the modules; discovery once before the sg driver is
# there; then the host's root, read-only under a writable layer, as the root
# of tests/sg/guest/guest.sh, with the work directory's out/ writable at /out.
{
  echo '#!/bin/busybox sh'
  printf 'source=%q build=%q images=%q\n' "$source" "$build" "$work/images"
  cat <<'INIT'
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
while read -r m; do
  case "$m" in
    # sg comes later; so does the USB CD-ROM's driver, in guest.sh's last
    # phases, so that the drives counted before are the same as ever.
    sg.ko | usb-storage.ko) continue ;;
    scsi_mod.ko) insmod /lib/modules/$m scan=sync ;;
    # Identification fields of full length: the module sends them as given.
    scsi_debug.ko) insmod /lib/modules/$m ptype=5 'inq_vendor="QVTEST  "' 'inq_product="SGDEBUG DVD-ROM "' inq_rev=0100 ;;
    *) insmod /lib/modules/$m ;;
  esac 2>/dev/null || echo "QV-INIT insmod $m failed"
done < /modules.list
i=0
while [ "$(ls /sys/class/block | grep -c '^sr[0-9]')" -lt 2 ] && [ $i -lt 200 ]; do usleep 100000; i=$((i + 1)); done
echo "QV-INIT modules at $(cut -d' ' -f1 /proc/uptime) s"
/quorvel-sg-guest no-sg 2>&1
insmod /lib/modules/sg.ko || echo "QV-INIT insmod sg.ko failed"
i=0
while [ "$(ls /dev | grep -c '^sg[0-9]')" -lt 3 ] && [ $i -lt 200 ]; do usleep 100000; i=$((i + 1)); done
echo "QV-INIT nodes: $(ls /dev | grep '^sg[0-9]' | tr '\n' ' ')"
for d in /sys/class/scsi_generic/sg*; do echo "QV-INIT $(basename $d) $(basename $(readlink $d/device))"; done
echo "QV-INIT host root at $(cut -d' ' -f1 /proc/uptime) s"
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
mkdir -p /guest/run/qv-modules
cp /lib/modules/usb-storage.ko /guest/run/qv-modules/
chroot /guest /bin/bash "$source/tests/sg/guest/guest.sh" "$source" "$build" "$images"
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

console="$work/console.log"
say "booting $kver (unpacked and packed in $((SECONDS - started)) s)"
boot=$SECONDS
set +e
timeout --kill-after=10 540 qemu-system-x86_64 \
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
out="$work/out"
has() { grep -qE -- "$1" "$log"; }
expect() { has "$1" || fail "no line matching: $1"; }
refuse() { ! has "$1" || fail "unexpected line: $(grep -E -- "$1" "$log" | head -n1)"; }
field() { grep -E -- "$1" "$log" | head -n1 | sed -n "s/.* $2=\([^ ]*\).*/\1/p"; }
# between FIRST LAST: the console's lines from the one matching FIRST to the
# one matching LAST.
between() { sed -n "/$1/,/$2/p" "$log"; }

[ "$qemu" -eq 0 ] || fail "qemu ended with $qemu (124: the guest hung)"
expect '^QV end$'
expect '^QV-GUEST end$'
expect '^QV-EXIT 0$'
refuse 'Kernel panic|BUG:|Oops|segfault|general protection'
refuse '^QV-INIT no '

# Before the sg driver is loaded: no adapter, and standard error says why
# and what to do, naming the CD/DVD drives the kernel sees.
expect '^QV no-sg support adapters=0 status=E8$'
expect '^quorvel: the CD/DVD drives sr[0-9] \(QEMU QEMU CD-ROM\), sr[0-9] \(QVTEST SGDEBUG DVD-ROM\) cannot be reached: the SCSI generic driver \(sg\) is not loaded\. Load it with: sudo modprobe sg$'

# Discovery through the manager: four adapters (virtio-scsi, scsi_debug and
# a loopback host for each virtual drive, numbered as the kernel numbers its
# hosts), the disk seen but not listed, every CD/DVD device under its own
# INQUIRY text, drive-a at the revision it flashed.
expect '^QV support adapters=4 status=01$'
expect '^QV probe 0 0 status=01 type=05 text="QEMU    QEMU CD-ROM     .{4}"$'
expect '^QV probe 0 1 status=01 type=00 text="QEMU    QEMU HARDDISK   .{4}"$'
expect '^QV probe 1 0 status=01 type=05 text="QVTEST  SGDEBUG DVD-ROM 0100"$'
expect '^QV probe [0-9]+ 1 status=01 type=05 text="QUORVEL CDRW-4824A      1\.20"$'
expect '^QV probe [0-9]+ 1 status=01 type=05 text="QUORVEL DVDRW-1612B     2\.00"$'
expect '^QV drives 4$'
refuse '^QV drive .*HARDDISK'
index_of() { grep -E "^QV drive [0-9]+ .*text=\"$1" "$log" | head -n1 | sed -E 's/^QV drive ([0-9]+) .*/\1/'; }
cd=$(index_of "QEMU    QEMU CD-ROM")
debug=$(index_of "QVTEST  SGDEBUG DVD-ROM")
drive_a=$(index_of "QUORVEL CDRW-4824A")
drive_b=$(index_of "QUORVEL DVDRW-1612B")
[ -n "$cd" ] && [ -n "$debug" ] && [ -n "$drive_a" ] && [ -n "$drive_b" ] || fail "not every drive was listed"
known=("$cd" "$debug")
virtual=("$drive_a" "$drive_b")

# check_illegal LINE WHAT: a record line with CHECK CONDITION and ILLEGAL
# REQUEST, INVALID COMMAND OPERATION CODE (20h/00h) in its sense data.
check_illegal() {
  [[ "$1" =~ status=04\ hastat=00\ targstat=02\ sense=(.*)$ ]] || { fail "$2: '$1'"; return; }
  local sense
  read -r -a sense <<< "${BASH_REMATCH[1]}"
  (( (16#${sense[0]} & 0x7E) == 0x70 )) || fail "$2: sense response code ${sense[0]}"
  (( (16#${sense[2]} & 0x0F) == 5 )) || fail "$2: sense key ${sense[2]}, not ILLEGAL REQUEST"
  [ "${sense[12]} ${sense[13]}" = "20 00" ] || fail "$2: ASC/ASCQ ${sense[12]}/${sense[13]}, not 20h/00h"
}
line_of() { grep -E "$1" "$log" | head -n1 || true; }

# The download command to devices that do not know operation code 0xFF: a
# failure with the device's sense. The virtual drives take it.
for k in "${known[@]}"; do
  status=$(field "^QV download $k " transport-status)
  [ -n "$status" ] && [ "$status" != 1 ] || fail "drive $k: download through the transport gave '${status}'"
  check_illegal "$(line_of "^QV download-record $k ")" "drive $k: download record"
done
for k in "${virtual[@]}"; do
  expect "^QV download $k transport-status=1$"
  expect "^QV download-record $k status=01 hastat=00 targstat=00 "
done

# Records refused before anything is sent; the device still answers after.
expect '^QV refuse cdb17 status=E0$'
expect '^QV refuse buflen status=E6$'
expect '^QV refuse adapter status=81$'
expect '^QV after-refusals inquiry status=01$'

# A caller without any capability. With read and write access to the nodes
# it finds the drives, and the download command is answered as the device
# answers it. With read access alone it still finds them, and the kernel
# refuses it operation code 0xFF (EPERM): a failure, never success.
for access in rw ro; do
  expect "^QV unprivileged-$access uid=65534 cap=0+ adapters=4 status=01$"
  expect "^QV unprivileged-$access exit=0$"
  for k in "${known[@]}" "${virtual[@]}"; do
    expect "^QV unprivileged-$access inquiry $k status=01$"
    expect "^QV unprivileged-$access-download $k status=0[14] "
  done
done
for k in "${known[@]}"; do check_illegal "$(line_of "^QV unprivileged-rw-download $k ")" "drive $k: unprivileged download"; done
for k in "${virtual[@]}"; do expect "^QV unprivileged-rw-download $k status=01 hastat=00 targstat=00 "; done
for k in "${known[@]}" "${virtual[@]}"; do
  expect "^QV unprivileged-ro-download $k status=04 hastat=00 targstat=00 sense=00( 00){13}$"
done

# The desktop user (uid 1000) and the nodes as a desktop gives them
# (root:cdrom, 0660). In group cdrom: every CD/DVD drive listed, the download
# command reaches each device (refused by those that do not know it, taken
# by the virtual drives), and nothing to complain about. Outside the group:
# no drive listed, and one line for each CD/DVD drive saying why and what to
# do.
expect '^QV desktop-cdrom begin nodes=4$'
expect '^QV desktop-cdrom uid=1000 adapters=4 status=01 drives=4$'
expect '^QV desktop-cdrom exit=0$'
desktop_index() { grep -E "^QV $1 drive [0-9]+ text=\"$2" "$log" | head -n1 | sed -E 's/^QV [a-z-]+ drive ([0-9]+) .*/\1/'; }
for name in "QEMU    QEMU CD-ROM" "QVTEST  SGDEBUG DVD-ROM"; do
  k=$(desktop_index desktop-cdrom "$name")
  [ -n "$k" ] || { fail "the desktop user does not see $name"; continue; }
  check_illegal "$(line_of "^QV desktop-cdrom-download $k ")" "$name: the desktop user's download"
done
for name in "QUORVEL CDRW-4824A" "QUORVEL DVDRW-1612B"; do
  k=$(desktop_index desktop-cdrom "$name")
  [ -n "$k" ] || { fail "the desktop user does not see $name"; continue; }
  expect "^QV desktop-cdrom-download $k status=01 hastat=00 targstat=00 "
done
told=$(between '^QV desktop-cdrom begin' '^QV desktop-cdrom exit' | grep '^quorvel:' || true)
[ -z "$told" ] || fail "the desktop user in group cdrom was told of a problem: $told"
expect '^QV desktop-nogroup uid=1000 adapters=0 status=E8 drives=0$'
expect '^QV desktop-nogroup exit=0$'
for name in "QEMU QEMU CD-ROM" "QVTEST SGDEBUG DVD-ROM" "QUORVEL CDRW-4824A" "QUORVEL DVDRW-1612B"; do
  n=$(between '^QV desktop-nogroup begin' '^QV desktop-nogroup exit' | grep -cE "^quorvel: the CD/DVD drive $name \(/dev/sg[0-9]+\) cannot be opened for writing: Permission denied; it is not listed\. To flash it, use the desktop session of the seat the drive belongs to, or join group cdrom: sudo adduser \\\$USER cdrom, then log in again\.$" || true)
  [ "$n" = 1 ] || fail "outside group cdrom, $name was explained $n times, not once"
done

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

# --- the real program flashes drive-a, as the desktop user ----------------------
# fnv1a64 FILE: FNV-1a 64 of the file's bytes, as the drive's record gives it.
fnv1a64() {
  local hash=-3750763034362895579 byte
  for byte in $(od -An -v -tu1 "$1"); do hash=$(((hash ^ byte) * 1099511628211)); done
  printf '%016x\n' "$hash"
}
# planned IMAGE BLOCK_KB BLOCKS: the download commands the program sends
# for IMAGE, as the drive's record gives them: the 10 CDB bytes the ring
# carries, the length, the data's hash. Every command moves 65536 bytes from
# the start of the transfer buffer, into which its block was read; the
# buffer is never cleared, so an empty final block sends the block before it
# again (image/BlockPlan.h: byte 5 0x00 first, 0xFF further, the final
# block's KiB count last).
planned() {
  local image=$1 kb=$2 count=$3 size i offset length mark buffer="$work/buffer"
  size=$(stat -c %s "$image")
  head -c 65536 /dev/zero > "$buffer"
  for ((i = 0; i < count; i++)); do
    offset=$((i * kb * 1024))
    if ((i < count - 1)); then
      length=$((kb * 1024))
      if ((i == 0)); then mark=00; else mark=ff; fi
    else
      length=$((size - offset))
      mark=$(printf %02x $(((size / 1024 - (count - 1) * kb) & 0xFF)))
    fi
    ((length > 65536)) && length=65536
    ((length > 0)) && dd if="$image" of="$buffer" iflag=skip_bytes,count_bytes skip="$offset" count="$length" \
      conv=notrunc status=none
    echo "cdb=ff00010000${mark}00000000 data=65536 fnv1a64=$(fnv1a64 "$buffer")"
  done
}
# sent RECORD: the download commands in a record, in the same form.
sent() { grep ' download=' "$1" | sed -E 's/^seq=[0-9]+ (cdb=[0-9a-f]+ data=[0-9]+ fnv1a64=[0-9a-f]+) .*/\1/'; }
# outcomes RECORD: each download's number, phase, revision taken, status, sense.
outcomes() { grep ' download=' "$1" | sed -E 's/.* (download=.*)$/\1/'; }

expect '^QV-GUEST drive drive-a QUORVEL CDRW-4824A 1\.00 host=[0-9]+:0:1:0 node=sg[0-9]+ '
expect '^QV-GUEST drive drive-b QUORVEL DVDRW-1612B 2\.00 host=[0-9]+:0:1:0 node=sg[0-9]+ '
expect '^QV-GUEST flash prompt downloads-before=0$'
# The result boxes as the guest kept them: the error box's icon is red, a
# notice has none.
red() {
  convert "$1" -depth 8 txt:- 2>/dev/null |
    sed -n 's/^[0-9]*,[0-9]*: (\([0-9]*\),\([0-9]*\),\([0-9]*\).*/\1 \2 \3/p' |
    awk '$1 > 180 && $2 < 80 && $3 < 80 { n++ } END { print n + 0 }'
}
icon() {
  [ -f "$out/shots/$1.png" ] || { echo missing; return; }
  if [ "$(red "$out/shots/$1.png")" -gt 100 ]; then echo error; else echo none; fi
}
[ "$(icon flash-result)" = none ] || fail "the flash's result box is no notice (icon: $(icon flash-result))"
expect '^QV-GUEST flash ended exit=[0-9]+ reboots=1$'
# Root's program beside it, which numbers drive-a otherwise, was refused the
# drive being flashed with an error box before it sent anything; meanwhile
# the drive's block node could not be locked (the device manager would have
# left it alone), nor its sg node; afterwards both could.
adapters=$(grep -E '^QV-GUEST flash adapters ' "$log" | head -n1)
[[ "$adapters" =~ desktop=([0-9]+)\ root=([0-9]+)$ ]] && [ "${BASH_REMATCH[1]}" != "${BASH_REMATCH[2]}" ] ||
  fail "root and the desktop user did not number drive-a differently: '$adapters'"
expect '^QV-GUEST flash locks during sr=busy sg=busy$'
# The blocks came from a process of the window's own, quorvel-transfer beside
# it in the build, run as the desktop user with the build's SG_IO manager
# (not the simulated one), and that process held both of the drive's nodes.
# flash_process_is RUN: the guest's line for RUN says so.
flash_process_is() {
  grep -qxF "QV-GUEST $1 process exe=$build/bin/quorvel-transfer uid=1000 manager=$build/bin/libwnaspi32.so.1 sg=held sr=held" "$log" ||
    fail "$1: the flash's process was not the desktop user's quorvel-transfer holding its drive with the build's manager: $(grep "^QV-GUEST $1 process" "$log")"
}
flash_process_is flash
expect '^QV-GUEST flash root downloads=4$'
[ "$(icon root-busy)" = error ] || fail "root's program got no error box for the busy drive (icon: $(icon root-busy))"
expect '^QV-GUEST flash locks after sr=free sg=free$'
# What each program was told on standard error: the desktop user, for whom
# QEMU's CD-ROM was out of reach during the flash, that and nothing else;
# for drive-b, whose block node was root's alone, that its sg node alone
# guarded it, once.
# The guest has no session bus: each flash's process says so once, the line
# cli-e2e.sh and tower-e2e.sh check; here it is left out.
nobus='no session bus: nothing holds off logging out while the drive is written\.'
told_in() { grep '^quorvel:' "$out/program-$1.log" 2>/dev/null | grep -vx "quorvel: $nobus" || true; }
# The flash's process binds the manager anew, whose discovery may say the
# CD-ROM's line once more on the same standard error: once or twice, then.
cdrom_told='^quorvel: the CD/DVD drive QEMU QEMU CD-ROM \(/dev/sg[0-9]+\) cannot be opened for writing: Permission denied; it is not listed\. '
[[ "$(told_in flash | grep -c '')" =~ ^[23]$ ]] &&
  [ "$(told_in flash | head -n -1 | grep -cvE "$cdrom_told")" = 0 ] &&
  told_in flash | tail -n 1 | grep -qx 'quorvel: the restart was requested and the system accepted it\.' ||
  fail "the program as the desktop user was told otherwise during the flash: $(told_in flash)"
for run in again root; do
  [ -z "$(told_in $run)" ] || fail "the program was told of a problem ($run): $(told_in $run)"
done
# Then the flash's own line for a drive held without its exclusive open: the
# kernel's polling goes on.
[ "$(told_in refusal | grep -c '')" = 2 ] &&
  told_in refusal | head -n 1 | grep -qE '^quorvel: /dev/sr[0-9]+ \(QUORVEL DVDRW-1612B\) cannot be opened: Permission denied; the drive is guarded through /dev/sg[0-9]+ alone: other programs that lock it stay off, but the device manager \(udev\) may probe it during the flash\.$' &&
  told_in refusal | tail -n 1 | grep -qx 'quorvel: This user cannot open the drive for writing alone, so the system goes on polling it for a disc during the flash\.' ||
  fail "the program flashing drive-b was not told once that its sg node alone guarded it, and that the polling goes on: $(told_in refusal)"
record="$out/drive-a.flash.record"
if [ -f "$record" ]; then
  [ "$(head -n1 "$record")" = 'start vendor="QUORVEL " product="CDRW-4824A      " revision="1.00"' ] ||
    fail "drive-a did not start at 1.00: $(head -n1 "$record")"
  [ "$(sent "$record")" = "$(planned "$work/images/FW-A.BIN" 64 4)" ] ||
    fail "drive-a received other commands than the image's blocks:$(printf '\n%s' "$(sent "$record")") -- expected:$(printf '\n%s' "$(planned "$work/images/FW-A.BIN" 64 4)")"
  [ "$(outcomes "$record")" = "$(printf '%s\n' 'download=1 phase=first status=00' 'download=2 phase=next status=00' \
      'download=3 phase=next status=00' 'download=4 phase=final new-revision="1.20" status=00')" ] ||
    fail "drive-a took the download otherwise:$(printf '\n%s' "$(outcomes "$record")")"
  # After the final block only what the kernel sends a CD/DVD drive whose
  # block node is opened and closed (the flash's lock of it, and the lock
  # probe's): GET EVENT STATUS NOTIFICATION, TEST UNIT READY, and ALLOW
  # MEDIUM REMOVAL when the last opener closes it.
  extra=$(sed -n '/ download=4 /,$p' "$record" | tail -n +2 |
    grep -vE '^seq=[0-9]+ cdb=(4a010000100000000800|000000000000|1e0000000000) ' || true)
  [ -z "$extra" ] || fail "drive-a received more after the final block: $extra"
else
  fail "no record of the flash"
fi
again=$(sed -n '/^start .*revision="1.20"/,$p' "$out/drive-a.record" 2>/dev/null | grep -c '^seq=.* cdb=12.* revision="1.20" status=00$' || true)
[ "${again:-0}" -ge 1 ] || fail "the program started again did not find drive-a at 1.20"
expect '^QV-GUEST again inquiries=[1-9]'
expect '^QV-GUEST again told=yes'

# --- drive-b refuses block 3 of 5: the refusal, and nothing after it -------------
[ "$(icon refusal-result)" = error ] || fail "the refusal's box is no error box (icon: $(icon refusal-result))"
expect '^QV-GUEST refusal program=running reboots=1$'
record="$out/drive-b.refusal.record"
if [ -f "$record" ]; then
  section=$(sed -n '2,$p' "$record" | sed -n '/^start /,$p')  # after the restart
  [ "$(sent <(echo "$section"))" = "$(planned "$work/images/FW-B.BIN" 64 5 | head -n 3)" ] ||
    fail "drive-b received other commands than blocks 1 to 3:$(printf '\n%s' "$(sent <(echo "$section"))")"
  [ "$(outcomes <(echo "$section"))" = "$(printf '%s\n' 'download=1 phase=first status=00' \
      'download=2 phase=next status=00' 'download=3 phase=next status=02 sense=03/0c/00')" ] ||
    fail "drive-b answered otherwise:$(printf '\n%s' "$(outcomes <(echo "$section"))")"
  [[ "$(tail -n1 "$record")" == *" download=3 "* ]] || fail "the program sent more after the refusal: $(tail -n1 "$record")"
else
  fail "no record of the refusal"
fi

# --- quorvel-flash writes drive-a once more, as the desktop user ------------------
expect '^QV-GUEST cli drive=[0-9]+:1 exit=0 downloads=4 reboots=1$'
record="$out/drive-a.cli.record"
if [ -f "$record" ] && [ -f "$out/FW-C.BIN" ]; then
  [ "$(sent "$record")" = "$(planned "$out/FW-C.BIN" 60 4)" ] ||
    fail "quorvel-flash sent drive-a other commands than the image's blocks:$(printf '\n%s' "$(sent "$record")")"
  [ "$(outcomes "$record")" = "$(printf '%s\n' 'download=1 phase=first status=00' 'download=2 phase=next status=00' \
      'download=3 phase=next status=00' 'download=4 phase=final new-revision="1.30" status=00')" ] ||
    fail "drive-a took quorvel-flash's download otherwise:$(printf '\n%s' "$(outcomes "$record")")"
else
  fail "no record of quorvel-flash's flash"
fi
grep -q '^quorvel-flash: DOWNLOAD OK!! The drive at [0-9]*:1 accepted all 4 blocks; a restart finishes the update\.$' \
  "$out/cli-write.log" 2>/dev/null || fail "quorvel-flash did not say its result: $(cat "$out/cli-write.log" 2>/dev/null)"
told=$(cat "$out/cli-write.log" "$out/cli-list.log" 2>/dev/null | grep -vx "quorvel-flash: $nobus" |
  grep -v '^quorvel-flash: \(writing firmware\|block [0-9] of 4 accepted\|DOWNLOAD OK!!\|--restart was not given\)' || true)
[ -z "$told" ] || fail "quorvel-flash as the desktop user was told of a problem: $told"
python3 - "$out/cli-history.json" <<'PY' || fail "quorvel-flash's history: $(cat "$out/cli-history.json" 2>/dev/null)"
import json, sys
mine = [r for r in json.load(open(sys.argv[1])) if r["program"] == "quorvel-flash"]
assert [r["event"] for r in mine] == ["started", "accepted", "restart-not-requested"], mine
assert (mine[0]["model"], mine[0]["revision"], mine[0]["version"], mine[0]["file"]) == ("CDRW-4824A", "1.20", "1.30", "FW-C.BIN"), mine[0]
PY

# --- the window killed between two blocks of drive-a's flash ---------------------
# The window's flash's process took the blocks (as above), the window was
# killed once the drive had answered the second and before it had the final
# one, and still every block reached the drive as the image plans it; the
# window's standard error has the process's line that the download goes on
# and nothing more (the process then lets go of it); the flash is recorded
# started, accepted with all 4 blocks, then unattended, and no restart was
# asked for; afterwards the drive's nodes could be locked again.
flash_process_is kill
line=$(grep -E '^QV-GUEST kill window=' "$log" | head -n1)
if [[ "$line" =~ ^QV-GUEST\ kill\ window=([^ ]*)\ downloads-at-kill=([0-9]+)\ downloads=([0-9]+)\ reboots-before=([0-9]+)\ reboots=([0-9]+)$ ]]; then
  killed=("${BASH_REMATCH[@]}")
  [ "${killed[1]}" = "$build/bin/quorvel" ] || fail "what was killed was not the window: ${killed[1]}"
  [ "${killed[2]}" = 2 ] || [ "${killed[2]}" = 3 ] ||
    fail "the window was killed with ${killed[2]} blocks answered, not 2 or 3 of 4"
  [ "${killed[3]}" = 4 ] || fail "drive-a got ${killed[3]} blocks of 4 after the window was killed"
  [ "${killed[4]}" = "${killed[5]}" ] || fail "a restart was asked for after the window was killed: $line"
else
  fail "no report of the killed window: '$line'"
fi
expect '^QV-GUEST kill locks after sr=free sg=free$'
record="$out/drive-a.kill.record"
if [ -f "$record" ]; then
  [ "$(sent "$record")" = "$(planned "$work/images/FW-K.BIN" 64 4)" ] ||
    fail "drive-a received other commands than the image's blocks once the window was killed:$(printf '\n%s' "$(sent "$record")") -- expected:$(printf '\n%s' "$(planned "$work/images/FW-K.BIN" 64 4)")"
  # Numbered on from quorvel-flash's four: the drive was not started again.
  [ "$(outcomes "$record")" = "$(printf '%s\n' 'download=5 phase=first status=00' 'download=6 phase=next status=00' \
      'download=7 phase=next status=00' 'download=8 phase=final new-revision="1.40" status=00')" ] ||
    fail "drive-a took the killed window's download otherwise:$(printf '\n%s' "$(outcomes "$record")")"
else
  fail "no record of the killed window's flash"
fi
[ "$(told_in kill)" = 'quorvel: the window is gone: the download goes on until the drive has answered its final block.' ] ||
  fail "the killed window's standard error said otherwise:$(printf '\n%s' "$(told_in kill)")"
python3 - "$out/kill-flashes.jsonl" <<'PY' || fail "the killed window's flash was recorded otherwise: $(cat "$out/kill-flashes.jsonl" 2>/dev/null)"
import json, sys
lines = [json.loads(line) for line in open(sys.argv[1])]
assert len({r["flash"] for r in lines}) == 1, lines
assert [r["event"] for r in lines] == ["started", "accepted", "unattended"], lines
assert (lines[1]["block"], lines[1]["blocks"]) == (4, 4), lines[1]
assert (lines[2]["detail"], lines[2]["version"], lines[2]["model"]) == ("the window was gone", "1.40", "CDRW-4824A"), lines[2]
PY

# --- quorvel-flash --all: drive-a and drive-d at once, as the desktop user --------
# Both drives, the two of the image's model, took every block byte for byte
# from a flash's process of their own (the desktop user's quorvel-transfer
# over the build's manager), both at once; the table names both accepted, the
# status is 0, and the record holds one accepted flash a drive.
expect '^QV-GUEST drive drive-d QUORVEL CDRW-4824A 1\.00 host=[0-9]+:0:1:0 node=sg[0-9]+ '
expect '^QV-GUEST tower exit=0 downloads-a=3 downloads-d=3$'
# tower_outcomes FIRST: the three downloads of FW-T.BIN, numbered from FIRST.
tower_outcomes() {
  printf '%s\n' "download=$1 phase=first status=00" "download=$(($1 + 1)) phase=next status=00" \
    "download=$(($1 + 2)) phase=final new-revision=\"1.50\" status=00"
}
# drive-a numbers on from the killed window's eight: it was not started again.
for drive in a:9 d:1; do
  record="$out/drive-${drive%:*}.tower.record"
  if [ -f "$record" ]; then
    [ "$(sent "$record")" = "$(planned "$work/images/FW-T.BIN" 48 3)" ] ||
      fail "drive-${drive%:*} received other commands than the tower's image's blocks:$(printf '\n%s' "$(sent "$record")") -- expected:$(printf '\n%s' "$(planned "$work/images/FW-T.BIN" 48 3)")"
    [ "$(outcomes "$record")" = "$(tower_outcomes "${drive#*:}")" ] ||
      fail "drive-${drive%:*} took the tower's download otherwise:$(printf '\n%s' "$(outcomes "$record")")"
  else
    fail "no record of the tower's flash of drive-${drive%:*}"
  fi
done
flash_process_is tower-a
flash_process_is tower-d
expect '^QV-GUEST tower processes apart$'
expect '^QV-GUEST tower middle a=[12] d=[12]$'
tower=$(grep -E '^QV-GUEST tower drives ' "$log" | head -n1)
if [[ "$tower" =~ ^QV-GUEST\ tower\ drives\ a=([0-9]+:1)\ d=([0-9]+:1)$ ]]; then
  at_a=${BASH_REMATCH[1]} at_d=${BASH_REMATCH[2]}
  [ "$(sed 's/  */ /g' "$out/tower.out" 2>/dev/null)" = "$(printf '%s\n' 'DRIVE MODEL OLD NEW RESULT' \
      "$at_a QUORVEL CDRW-4824A 1.20 1.50 accepted" "$at_d QUORVEL CDRW-4824A 1.00 1.50 accepted")" ] ||
    fail "quorvel-flash --all's table is not both drives accepted:$(printf '\n%s' "$(cat "$out/tower.out" 2>/dev/null)")"
  # Each drive's blocks said on lines of its own, then its result; nothing
  # else but the drives left alone, the start, and no restart.
  for at in "$at_a" "$at_d"; do
    [ "$(grep -E "^quorvel-flash: $at: (block [0-9] of 3 accepted, |DOWNLOAD )" "$out/tower.log" 2>/dev/null |
        sed -E 's/ bytes, [0-9.]+ s$/ bytes/')" = "$(printf "quorvel-flash: $at: %s\n" \
        'block 1 of 3 accepted, 49152 of 131072 bytes' 'block 2 of 3 accepted, 98304 of 131072 bytes' \
        'block 3 of 3 accepted, 131072 of 131072 bytes' 'DOWNLOAD OK!! The drive accepted all 3 blocks.')" ] ||
      fail "quorvel-flash --all did not say $at's blocks and result:$(printf '\n%s' "$(grep -F "$at:" "$out/tower.log")")"
  done
  told=$(grep -vE "^quorvel-flash: (left alone, another model: .*|$nobus|writing firmware 1\.50 into 2 drives at once: 3 blocks, 131072 bytes of FW-T\.BIN each\.|($at_a|$at_d): (block [1-3] of 3 accepted, .*|DOWNLOAD OK!! .*)|$at_a, $at_d: --restart was not given: no restart was requested\. Restart the computer to finish\.)$" \
    "$out/tower.log" 2>/dev/null || true)
  [ -z "$told" ] || fail "quorvel-flash --all was told of a problem: $told"
  python3 - "$out/tower-flashes.jsonl" "$at_a" "$at_d" <<'PY' || fail "quorvel-flash --all's record: $(cat "$out/tower-flashes.jsonl" 2>/dev/null)"
import json, sys
lines = [json.loads(line) for line in open(sys.argv[1])]
accepted = [r for r in lines if r["event"] == "accepted"]
assert sorted(("%d:%d" % (r["adapter"], r["target"]), r["revision"], r["version"], r["model"], r["file"], r["program"])
              for r in accepted) == sorted([(sys.argv[2], "1.20", "1.50", "CDRW-4824A", "FW-T.BIN", "quorvel-flash"),
                                            (sys.argv[3], "1.00", "1.50", "CDRW-4824A", "FW-T.BIN", "quorvel-flash")]), lines
assert len({r["flash"] for r in accepted}) == 2, lines
PY
else
  fail "no report of the tower's drives: '$tower'"
fi

# --- a handler that dies with a download command in hand -------------------------
# The command fails once the kernel's target gives up on it (after the
# second the test gives the backstore), long before the manager's 10
# minutes; the next command fails too; nothing hangs. (scsi_debug has
# vanished by now: four drives.)
expect '^QV dies drives=4 found=1$'
expect '^QV dies first status=01$'
expect '^QV dies-next 1 status=04 '
expect '^QV dies-inquiry 2 status=04 '
expect '^QV dies seconds next=[0-9.]+ inquiry=[0-9.]+ limit=600$'
grep -q ' download=2 dies$' "$out/drive-c.record" 2>/dev/null || fail "drive-c's handler did not die at its second download"
grep -E '^QV dies(-next| seconds)' "$log" | sed 's/^QV /kernel-test: /' || true

# --- the kernel's polling, with the manager's exclusive hold and without ---------
# polled RECORD: the commands drive-p's handler recorded between the first
# download command and the last that are not the flash's.
polled() {
  awk '/ download=/ { if (!first) first = NR; last = NR; next } { lines[NR] = 1 }
       END { for (n in lines) if (n + 0 > first && n + 0 < last) count++; print count + 0 }' "$1"
}
expect '^QV-GUEST polling msecs=100$'
expect '^QV hold-flash exclusive answer=1 statuses=01,01,01,01$'
expect '^QV hold-flash read-only answer=7 statuses=01,01,01,01$'
for mode in exclusive read-only; do
  [ "$(grep -c ' download=' "$out/drive-p.$mode.record" 2>/dev/null)" = 4 ] ||
    fail "drive-p did not record the four blocks held $mode"
done
polled_exclusive=$(polled "$out/drive-p.exclusive.record")
polled_shared=$(polled "$out/drive-p.read-only.record")
say "polling during a flash of 4 blocks of 1.5 s, every 100 ms: held exclusively $polled_exclusive commands of the kernel's, held read-only $polled_shared"
[ "$polled_exclusive" = 0 ] || fail "held exclusively, drive-p still heard $polled_exclusive commands of the kernel's: $(awk '!/ download=/' "$out/drive-p.exclusive.record" | head -n 3)"
[ "$polled_shared" -gt 0 ] || fail "held read-only, the kernel did not poll drive-p at all: the measure shows nothing"
# What the exclusive open costs: the take before the first block, and the
# whole flash against the drive's own 6 s (figures, not checks: bench/README).
for mode in exclusive read-only; do
  expect "^QV bench-hold $mode take_us=[0-9]+ median_take_us=[0-9]+ flash_ms=[0-9]+\$"
done
grep -E '^QV bench-hold ' "$log" | sed 's/^QV /kernel-test: /' || true

# --- the USB CD-ROM: mounted, the hold refused and nothing written; then the
# download command refused, said in the library's words, with the advice -------
expect '^QV-GUEST usb node=sg[0-9]+ block=sr[0-9]+$'
expect '^QV hold answer=5 detail="/media/qv/QV DISC"$'
expect '^QV-GUEST usb mounted write exit=2$'
grep -qF "A disc in this drive is mounted at /media/qv/QV DISC: unmount it or take the disc out, then try again." \
  "$out/usb-mounted.log" 2>/dev/null || fail "quorvel-flash did not name the mount point: $(cat "$out/usb-mounted.log" 2>/dev/null)"
grep -qE '^[0-9]+:0 +QVUSB +USB-CD-ROM +[^ ]+ usb$' "$out/usb-list.out" 2>/dev/null ||
  fail "quorvel-flash list does not say usb for the USB CD-ROM: $(cat "$out/usb-list.out" 2>/dev/null)"
expect '^QV cause transport=usb status=04 kind=refused sense=70[0-9a-f]{26}$'
expect '^QV cause said The drive said: ILLEGAL REQUEST, invalid command operation code \(5/20/00\)\.$'
expect '^QV cause advice=yes$'
expect '^QV-GUEST usb write exit=1$'
grep -qx 'quorvel-flash: DOWNLOAD FAIL!! The drive refused block 1 of 2\. The drive said: ILLEGAL REQUEST, invalid command operation code (5/20/00)\. This drive is connected through USB; many USB adapters do not pass firmware commands\. Connect it to a SATA port and try again\. Nothing more was sent to it; it may need attention\.' \
  "$out/usb-write.log" 2>/dev/null || fail "quorvel-flash did not say the USB drive's sense and the advice: $(cat "$out/usb-write.log" 2>/dev/null)"
python3 - "$out/usb-flashes.jsonl" <<'PY' || fail "the USB drive's refusal was recorded otherwise: $(cat "$out/usb-flashes.jsonl" 2>/dev/null)"
import json, sys
refused = [json.loads(line) for line in open(sys.argv[1]) if '"refused"' in line][-1]
assert (refused["event"], refused["block"], refused["cause"]) == ("refused", 1, "refused"), refused
sense = bytes.fromhex(refused["sense"])
assert sense[0] & 0x7F in (0x70, 0x71) and sense[2] & 0x0F == 5 and sense[12:14] == b"\x20\x00", refused["sense"]
assert refused["detail"] == "The drive said: ILLEGAL REQUEST, invalid command operation code (5/20/00).", refused
PY

# --- a drive gone in the middle of a download -----------------------------------
# The blocks before the unlink are taken; from the first that is not, every
# block and the INQUIRY after them find no device (SS_NO_DEVICE), at once.
expect '^QV gone held=1$'
gone_at=$(sed -n 's/^QV gone block \([0-9]*\) status=82 kind=gone$/\1/p' "$log" | head -n1)
[ -n "$gone_at" ] && [ "$gone_at" -ge 3 ] || fail "drive-e did not go away at block 3 or later: $(grep '^QV gone' "$log" | tr '\n' ' ')"
for ((b = 1; b <= 6; b++)); do
  if [ -n "$gone_at" ] && ((b < gone_at)); then want='status=01 kind=none'; else want='status=82 kind=gone'; fi
  expect "^QV gone block $b $want\$"
done
expect '^QV gone inquiry status=82$'
expect '^QV gone released=2$'
expect '^QV-GUEST gone exit=0 '
say "drive-e went away at block ${gone_at:-?} of 6"
# Through quorvel-flash: said, recorded as gone, no restart asked, no hang.
left_at=$(sed -n 's/^quorvel-flash: DOWNLOAD FAIL!! The drive went away at block \([0-9]\) of 6 (unplugged, reset or switched off)\. Connect it again and write the same image again; restart the computer if it does not come back\.$/\1/p' \
  "$out/gone-write.log" 2>/dev/null)
[ -n "$left_at" ] && [ "$left_at" -ge 3 ] || fail "quorvel-flash did not say drive-f went away: $(cat "$out/gone-write.log" 2>/dev/null)"
expect '^QV-GUEST gone write exit=1 '
python3 - "$out/gone-flashes.jsonl" "$left_at" <<'PY' || fail "drive-f's flash was recorded otherwise: $(cat "$out/gone-flashes.jsonl" 2>/dev/null)"
import json, sys
events = [json.loads(line) for line in open(sys.argv[1])]
assert [e["event"] for e in events] == ["started", "gone"], events
assert (events[0]["block"], events[0]["pid"] > 0) == (0, True), events[0]
assert (events[1]["block"], events[1]["cause"]) == (int(sys.argv[2]), "gone"), events[1]
PY
grep -q 'asking the system for the restart\|no restart was requested' "$out/gone-write.log" && fail "a restart was spoken of for a drive that went away: $(cat "$out/gone-write.log")"

# The benchmarks: time per INQUIRY and per 64 KiB download block through
# ExecuteScsiCommand and the manager against a bare SG_IO loop on the same
# device.
for k in "${known[@]}"; do
  expect "^QV bench $k \".*\" commands=[0-9]+ manager_ns=[0-9]+ bare_ns=[0-9]+ ratio=[0-9.]+ failures=0$"
done
expect '^QV bench-block "QUORVEL CDRW-4824A      1\.20" rounds=9 blocks=40 manager_us=[0-9]+ bare_us=[0-9]+ ratio_min=[0-9.]+ ratio_median=[0-9.]+ ratio_max=[0-9.]+ failures=0$'
grep -E '^QV bench' "$log" | sed 's/^QV /kernel-test: /' || true
grep -E '^QV-GUEST phase ' "$log" | sed 's/^QV-GUEST /kernel-test: guest /' || true

if [ "$failed" -ne 0 ]; then
  echo "----- guest console -----" >&2
  cat "$log" >&2
  exit 1
fi
say "PASS in $((SECONDS - started)) s"
