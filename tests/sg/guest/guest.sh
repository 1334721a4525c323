#!/usr/bin/env bash
# The kernel test's guest side, run by the guest's init as root on the host's
# own root file system (shared read-only, with a writable layer over it):
# every scenario of tests/sg/guest/scenarios/, one after the other, each in a
# process of its own, within its own time budget, from the base world
# (guest-lib.sh) and back to it. Each scenario's lines on the console lie
# between
#   QV-SCENARIO NAME begin
#   QV-SCENARIO NAME end exit=STATUS seconds=N budget=N
# (exit 124: its budget ran out and it was ended), and its files are in
# /out/NAME, a writable share of the host's work directory; the host checks
# each scenario by its own check function over these alone.
#
#   guest.sh SOURCE_DIR BUILD_DIR IMAGE_DIR KERNEL_DIR [SCENARIO...]
#
# SCENARIO: the scenarios' names to run (shell patterns); all without.
set -uo pipefail
source=$1
build=$2
images=$3
kdir=$4
shift 4
selection=("$@")
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
export LC_ALL=C.UTF-8 HOME=/root
export source build images kdir
here=$source/tests/sg/guest

# shellcheck source=SCRIPTDIR/../../../scripts/lib.sh
. "$source/scripts/lib.sh"
# shellcheck source=SCRIPTDIR/guest-lib.sh
. "$here/guest-lib.sh"

mount -t configfs configfs /sys/kernel/config
reach "$build/bin" || exit 1
mkdir -p /run/lock
chmod 1777 /run/lock

# An X server for every scenario that shows a window. The host's /tmp shows
# through, with the host's X servers' lock files: the server takes the first
# display that is free and says which.
xdir=/tmp/quorvel-guest-x
rm -rf "$xdir"
mkdir -p "$xdir"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -noreset 3>"$xdir/display" >/out/xvfb.log 2>&1 &
for ((i = 0; i < 300; i++)); do [ -s "$xdir/display" ] && break; sleep 0.1; done
export DISPLAY=:$(cat "$xdir/display")

# base_world: takes away what a scenario left: its processes, the drives it
# made (LUNs, backstore devices, gadgets), the modules it loaded beyond the
# boot's, its mounts, the nodes' owners and modes and the lock files.
base_world() {
  local entry kind a b pid p
  for p in $(pgrep -f '/quorvel-transfer$' 2>/dev/null); do kill -9 "$p" 2>/dev/null; done
  for p in $(pgrep -f "$build/bin/quorvel( |$)" 2>/dev/null); do kill -9 "$p" 2>/dev/null; done
  grep -E ' /media/qv/' /proc/mounts | cut -d' ' -f2 | sed 's/\\040/ /g' |
    while read -r m; do umount "$m" 2>/dev/null; done
  for entry in "$made"/*; do
    [ -f "$entry" ] || continue
    read -r kind a b pid < "$entry"
    case $kind in
      tcmu)
        # The LUN first, while its handler still answers what the kernel
        # sends a device it removes; then the handler, then the device.
        rm -f "$b"/tpgt_1/lun/lun_0/*
        rmdir "$b/tpgt_1/lun/lun_0" "$b/tpgt_1" "$b" 2>/dev/null
        kill "$pid" 2>/dev/null; sleep 0.2; kill -9 "$pid" 2>/dev/null
        rmdir "$a" 2>/dev/null
        ;;
      usb)
        echo "" > "$a/UDC" 2>/dev/null
        rm -f "$a"/configs/c.1/ffs.*
        kill "$pid" 2>/dev/null; sleep 0.2; kill -9 "$pid" 2>/dev/null
        umount "$b" 2>/dev/null
        rmdir "$a"/configs/c.1/strings/0x409 "$a"/configs/c.1 "$a"/functions/ffs.* "$a"/strings/0x409 "$a" 2>/dev/null
        ;;
    esac
    rm -f "$entry"
  done
  # Modules that bring drives of their own.
  for m in usb_storage ahci; do
    grep -q "^$m " /proc/modules && { rmmod "$m" || say "base world: $m stays"; }
  done
  # scsi_debug's device, deleted by the suite: scanned again.
  for entry in /sys/class/scsi_host/host*; do
    [ "$(cat "$entry/proc_name" 2>/dev/null)" = scsi_debug ] && echo "- - -" > "$entry/scan"
  done
  for entry in /dev/sg* /dev/sr*; do [ -e "$entry" ] && chown 0:0 "$entry" && chmod 600 "$entry"; done
  rm -f /run/lock/quorvel-drive-*.lock
  return 0
}

selected() {
  local pattern
  [ ${#selection[@]} -eq 0 ] && return 0
  for pattern in "${selection[@]}"; do
    # shellcheck disable=SC2053 # a pattern
    [[ "$1" == $pattern ]] && return 0
  done
  return 1
}

now() { cut -d' ' -f1 /proc/uptime; }
for file in "$here"/scenarios/*.sh; do
  name=$(basename "$file" .sh)
  selected "$name" || continue
  budget=$(sed -n 's/^budget=\([0-9]*\).*/\1/p' "$file" | head -n 1)
  export out=/out/$name work=/tmp/quorvel-guest/$name
  rm -rf "$work"
  mkdir -p "$out" "$work"
  echo "QV-SCENARIO $name begin"
  started=$(now)
  # Its own process group, which timeout ends whole when the budget is over.
  timeout --kill-after=10 "${budget:-60}" bash -c '
    . "$source/scripts/lib.sh"
    . "$source/tests/sg/guest/guest-lib.sh"
    . "$1"
    scenario' scenario "$file" 2>&1
  status=$?
  base_world
  echo "QV-SCENARIO $name end exit=$status seconds=$(awk -v a="$started" -v b="$(now)" 'BEGIN { printf "%.0f", b - a }') budget=${budget:-60}"
done

kill %1 2>/dev/null
echo "QV-GUEST end"
