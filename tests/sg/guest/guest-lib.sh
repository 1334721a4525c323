# shellcheck shell=bash
# The kernel test's guest side: what every scenario may use (sourced by
# guest.sh and by each scenario's run, after scripts/lib.sh). The guest runs
# as root on the host's own root file system (read-only, under a writable
# layer), so the host's programs and the build run unchanged on the guest's
# kernel. A scenario starts from the guest as it booted (the base world:
# QEMU's CD-ROM and a disk on virtio-scsi, scsi_debug's CD/DVD device, sg
# loaded, the nodes root's alone) and whatever it adds, guest.sh takes away
# after it (base_world): drives served through the kernel's SCSI target or as
# USB devices, the modules it loaded, its processes, its mounts.
#
# Set by guest.sh for a scenario: source, build, images, kdir (the unpacked
# kernel package: its modules), out (the scenario's writable folder on the
# host, /out/NAME), work (its folder in the guest), DISPLAY (an X server
# every scenario may use).

say() { echo "QV-GUEST $*"; }
phase() { say "phase $1 at $(cut -d' ' -f1 /proc/uptime) s"; }

# lib.sh's fail: what the host needs to see, then the scenario ends.
diagnose() {
  local log
  for log in "$out"/program-*.log; do
    [ -f "$log" ] && { echo "--- $log"; tail -n 20 "$log"; }
  done
  dmesg | tail -n 20
  return 0
}

guest=$build/tests/sg/guest/quorvel_sg_guest
handler=$build/tests/sg/guest/quorvel-virtual-drive
bridge=$build/tests/sg/guest/quorvel-usb-drive
target=/sys/kernel/config/target
gadgets=/sys/kernel/config/usb_gadget
# What base_world takes away: one file a drive, named by the drive.
made=/run/qv-made

# next_number: a number no drive made before had, for its names.
next_number() {
  mkdir -p "$made"
  local n
  n=$(($(cat "$made.count" 2>/dev/null || echo 0) + 1))
  echo "$n" > "$made.count"
  echo "$n"
}

# load_module NAME [PARAMETER...]: the kernel package's module and what it
# needs, unless loaded.
load_module() { modprobe -d "$kdir" "$@" || say "cannot load $1"; }

# --- drives served through the kernel's SCSI target ------------------------------
# make_drive NAME VENDOR PRODUCT REVISION [TIME_OUT] [HANDLER OPTIONS...]: a
# user backstore device NAME served by quorvel-virtual-drive, exported
# through a loopback target of its own (so a SCSI host of its own, target 1,
# LUN 0), in the order the kernel wants: the device enabled, its handler
# started, the nexus set, then the LUN linked, which makes the kernel scan
# it. TIME_OUT: seconds the kernel waits for the handler's answer ("" for its
# own). The drive's record is $out/NAME.record.
make_drive() {
  local name=$1 vendor=$2 product=$3 revision=$4 timeout=${5:-}
  shift 4
  [ $# -eq 0 ] || shift
  local number
  number=$(next_number)
  local device=$target/core/user_1/$name
  local wwn tpg
  wwn=$(printf 'naa.500140500000%04x' "$number")
  # The nodes there are before it: a drive of a model already served is
  # told from the older one by its node being new.
  local before
  before=" $(cd /sys/class/scsi_generic && echo sg*) "
  mkdir -p "$device"
  echo -n "dev_config=quorvel/$name" > "$device/control"
  [ -z "$timeout" ] || echo "$timeout" > "$device/attrib/cmd_time_out"
  echo 1 > "$device/enable"
  rm -f "$work/$name.ready"
  "$handler" --backstore "$name" --vendor "$vendor" --product "$product" --revision "$revision" \
    --record "$out/$name.record" --ready "$work/$name.ready" "$@" 2>>"$out/$name.log" &
  local i
  for ((i = 0; i < 100; i++)); do [ -s "$work/$name.ready" ] && break; sleep 0.1; done
  [ -s "$work/$name.ready" ] || { say "drive $name: the handler did not start"; cat "$out/$name.log"; return 1; }
  printf 'tcmu %s %s %s\n' "$device" "$target/loopback/$wwn" "$(cat "$work/$name.ready")" > "$made/$name"
  tpg=$target/loopback/$wwn/tpgt_1
  mkdir -p "$tpg/lun/lun_0"
  printf 'naa.500140500001%04x\n' "$number" > "$tpg/nexus"
  ln -s "$device" "$tpg/lun/lun_0/$name"
  wait_node "$name" "$product" "$before"
  say "drive $name $vendor $product $revision host=$(basename "$(readlink "/sys/class/scsi_generic/$(node_of "$name")/device")") node=$(node_of "$name") handler=$(cat "$work/$name.ready")"
}
# unlink_lun NAME: the drive's LUN unlinked in configfs: the kernel removes
# the device at once, as when a drive is switched off.
unlink_lun() {
  local wwn
  wwn=$(cut -d' ' -f3 "$made/$1")
  rm "$wwn/tpgt_1/lun/lun_0/$1"
}
# wait_node NAME PRODUCT BEFORE: waits for the sg node of a new drive of
# PRODUCT (one not among BEFORE), and keeps it as NAME's.
wait_node() {
  local name=$1 product=$2 before=$3 node="" entry i
  for ((i = 0; i < 150; i++)); do
    for entry in /sys/class/scsi_generic/sg*; do
      entry=${entry##*/}
      [[ "$before" == *" $entry "* ]] && continue
      grep -qx "$product *" "/sys/class/scsi_generic/$entry/device/model" 2>/dev/null && { node=$entry; break; }
    done
    # And its block node: the sr driver binds it after the sg driver.
    [ -n "$node" ] && [ -n "$(sr_at "$node")" ] && break
    sleep 0.1
  done
  echo "$node" >"$work/$name.node"
}
handler_pid() { cat "$work/$1.ready"; }
# node_of NAME: the sg node of the drive made as NAME.
node_of() { cat "$work/$1.node"; }
# sg_of PRODUCT, sr_of PRODUCT: the drive's sg node and block node (sg3, sr1),
# while it is the only drive of its model; sr_at SG: the block node beside
# an sg node.
sg_of() { grep -lx "$1 *" /sys/class/scsi_generic/sg*/device/model 2>/dev/null | head -n 1 | cut -d/ -f5; }
sr_at() { ls "/sys/class/scsi_generic/$1/device/block" 2>/dev/null | head -n 1; }
sr_of() { sr_at "$(sg_of "$1")"; }
downloads() { grep -c ' download=' "$out/$1.record" || true; }
starts() { grep -c '^start ' "$out/$1.record" || true; }

# --- drives behind USB: a gadget of the kernel's own ----------------------------
# make_usb_drive NAME VENDOR PRODUCT REVISION [BRIDGE OPTIONS...]: a USB
# mass storage device made in configfs on the software USB controller
# (dummy_hcd), its function served by quorvel-usb-drive, whose drive is the
# served drive; the kernel's usb-storage binds it. Its record is
# $out/NAME.record.
make_usb_drive() {
  local name=$1 vendor=$2 product=$3 revision=$4
  shift 4
  load_module dummy_hcd
  load_module usb_f_fs
  load_module usb-storage
  mkdir -p "$made"
  mountpoint -q /sys/kernel/config || mount -t configfs configfs /sys/kernel/config
  local gadget=$gadgets/$name ffs=/run/ffs-$name before
  before=" $(cd /sys/class/scsi_generic && echo sg*) "
  mkdir -p "$gadget/strings/0x409" "$gadget/configs/c.1/strings/0x409" "$gadget/functions/ffs.$name"
  echo 0x1d6b > "$gadget/idVendor"
  echo 0x0104 > "$gadget/idProduct"
  echo 0x0200 > "$gadget/bcdUSB"
  echo QUORVEL > "$gadget/strings/0x409/manufacturer"
  echo "test enclosure $name" > "$gadget/strings/0x409/product"
  echo "QV$name" > "$gadget/strings/0x409/serialnumber"
  echo bridge > "$gadget/configs/c.1/strings/0x409/configuration"
  echo 100 > "$gadget/configs/c.1/MaxPower"
  ln -s "$gadget/functions/ffs.$name" "$gadget/configs/c.1/"
  mkdir -p "$ffs"
  mount -t functionfs "$name" "$ffs"
  rm -f "$work/$name.ready"
  "$bridge" --ffs "$ffs" --vendor "$vendor" --product "$product" --revision "$revision" \
    --record "$out/$name.record" --ready "$work/$name.ready" "$@" 2>>"$out/$name.log" &
  local i
  for ((i = 0; i < 100; i++)); do [ -s "$work/$name.ready" ] && break; sleep 0.1; done
  [ -s "$work/$name.ready" ] || { say "drive $name: the bridge did not start"; cat "$out/$name.log"; return 1; }
  printf 'usb %s %s %s\n' "$gadget" "$ffs" "$(cat "$work/$name.ready")" > "$made/$name"
  usb_plug "$name"
  wait_node "$name" "$product" "$before"
  say "drive $name $vendor $product $revision usb=$(usb_speed "$name") node=$(node_of "$name") block=$(sr_at "$(node_of "$name")")"
}
# usb_plug NAME, usb_unplug NAME: the gadget bound to its controller and
# unbound from it, as a cable plugged in and pulled looks to the host.
usb_plug() { ls /sys/class/udc | head -n 1 > "$gadgets/$1/UDC"; }
usb_unplug() { echo "" > "$gadgets/$1/UDC"; }
# usb_block_in_hand NAME N: waits until the N-th download command since the
# drive last started has arrived whole at its bridge (the drive holds it
# while it is slowed).
usb_block_in_hand() {
  local i
  for ((i = 0; i < 600; i++)); do
    awk '/^start /{ n = 0 } / usb arrived [0-9]+$/{ n = $NF } END { exit !(n >= '"$2"') }' "$out/$1.record" && return 0
    sleep 0.05
  done
  return 1
}
# usb_speed NAME: the speed the host sees the drive's USB device at, in Mb/s.
usb_speed() {
  local node
  node=$(node_of "$1")
  [ -n "$node" ] || { echo none; return; }
  cat "$(realpath "/sys/class/scsi_generic/$node/device")/../../../../speed" 2>/dev/null || echo unknown
}
# plugged_node NAME PRODUCT: after usb_plug of a drive unplugged before,
# waits for its new nodes.
plugged_node() { wait_node "$1" "$2" " "; }

# --- the desktop --------------------------------------------------------------
# The desktop user runs the program: its own uid, group cdrom for the
# drives, a home and a runtime directory of its own (in the scenario's
# folder).
desktop=(setpriv --reuid=1000 --regid=1000 --groups=24 "$build/bin/quorvel")
desktop_home() {
  export HOME=$work/home XDG_RUNTIME_DIR=$work/runtime
  mkdir -p "$HOME" "$XDG_RUNTIME_DIR"
  chown 1000:1000 "$HOME" "$XDG_RUNTIME_DIR"
  chmod 700 "$XDG_RUNTIME_DIR"
  chmod 755 "$work"
}
# desktop_bus: a private system bus with the stand-in logind, the
# scenario's own (its record counts the restarts asked of it).
desktop_bus() {
  "$source/scripts/sim-bus.sh" start "$work/bus" "$build/sim/quorvel-sim-login1" >"$work/bus.env" 2>"$out/bus.log" ||
    fail "the private bus did not start: $(cat "$out/bus.log")"
  eval "$(cat "$work/bus.env")"
  bus_dir=$work/bus
  chmod 755 "$bus_dir"
}
# The CD/DVD drives' nodes as a desktop gives them, sg and block nodes
# alike: root:cdrom, mode 0660.
desktop_access() {
  local type
  for type in /sys/class/scsi_generic/sg*/device/type; do
    [ "$(cat "$type")" = 5 ] || continue
    desktop_node "$(echo "$type" | cut -d/ -f5)"
  done
}
# desktop_node SG: the same for one drive's nodes.
desktop_node() {
  local block
  chown 0:24 "/dev/$1" && chmod 660 "/dev/$1"
  for block in /sys/class/scsi_generic/"$1"/device/block/*; do
    [ -e "$block" ] && chown 0:24 "/dev/$(basename "$block")" && chmod 660 "/dev/$(basename "$block")"
  done
}
# The build may lie in a folder that only its owner may enter (a clone made
# in `mktemp -d`): the desktop user must reach the program and the manager
# beside it. The guest's writable layer takes the change; the host's folders
# stay as they are.
reach() {
  local dir=$1
  while [ "$dir" != / ]; do
    chmod o+x "$dir" || { say "cannot open $dir to the desktop user"; return 1; }
    dir=$(dirname "$dir")
  done
}
# run_program DIR LOG: the program as the desktop user in DIR, its record of
# flashes in its home.
run_program() { QUORVEL_STATE_HOME=$HOME/.local/state start_program --bare "$1" "$2" "" "${desktop[@]}"; }
# run_as_root DIR LOG: the program as root in DIR, with a record of its own.
run_as_root() { QUORVEL_STATE_HOME=$work/root-state start_program --bare "$1" "$2" "" "$build/bin/quorvel"; }
# keep WINDOW NAME: the window as NAME.png, for the host to look at (its
# icon tells an error box from a notice).
keep() { mkdir -p "$out/shots"; import -window "$1" "$out/shots/$2.png" 2>/dev/null || say "no picture of $2"; }
# terminal_user DIR ARGUMENTS...: quorvel-flash as the desktop user in DIR.
terminal_user() {
  local dir=$1
  shift
  (cd "$dir" && setpriv --reuid=1000 --regid=1000 --groups=24 env -u LD_LIBRARY_PATH "$build/bin/quorvel-flash" "$@")
}
# as_root DIR ARGUMENTS...: quorvel-flash as root in DIR, its record there.
as_root() {
  local dir=$1
  shift
  (cd "$dir" && XDG_STATE_HOME=$dir env -u LD_LIBRARY_PATH "$build/bin/quorvel-flash" "$@")
}
# drive_at MODEL [JSON]: the drive's A:T as quorvel-flash list --json gives it
# (JSON: that list; otherwise root lists it now).
drive_at() {
  local json=${2:-}
  [ -n "$json" ] || json=$(as_root "$work" list --json 2>/dev/null)
  python3 -c 'import json, sys
print(next(("%d:%d" % (d["adapter"], d["target"]) for d in json.loads(sys.argv[2]) if d["model"] == sys.argv[1]), ""))' "$1" "$json"
}

# --- locks and the flash's process ----------------------------------------------------
host_of() {
  local device
  device=$(readlink "$1/device")
  device=${device##*/}
  echo "${device%%:*}"
}
# adapter_of PRODUCT [desktop]: the adapter number the SG_IO manager gives
# the drive for root, or for the desktop user: its host's place among the
# hosts with an sg node the asker can open, in ascending order. adapter_at
# SG [desktop]: the same for the drive at an sg node.
adapter_of() { adapter_at "$(sg_of "$1")" "${2:-}"; }
adapter_at() {
  local entry hosts=() readable=""
  # One program as the user for every node: under emulation each costs.
  # shellcheck disable=SC2016 # the user's shell expands it
  [ "${2:-}" != desktop ] || readable=" $(setpriv --reuid=1000 --regid=1000 --groups=24 \
    sh -c 'for n in /dev/sg*; do [ -r "$n" ] && printf "%s " "${n#/dev/}"; done') "
  for entry in /sys/class/scsi_generic/sg*; do
    [ "${2:-}" != desktop ] || [[ "$readable" == *" ${entry##*/} "* ]] || continue
    hosts+=("$(host_of "$entry")")
  done
  printf '%s\n' "${hosts[@]}" | sort -n -u | grep -nx "$(host_of "/sys/class/scsi_generic/$1")" |
    cut -d: -f1 | awk '{ print $1 - 1 }'
}
# locks PRODUCT: whether the device manager could lock the drive's block
# node (as it asks before it probes it), and whether flock -n on its sg node
# can: "sr=free|busy sg=free|busy".
locks() {
  local sr sg
  sr=$("$guest" lock-probe "/dev/$(sr_of "$1")")
  flock -n "/dev/$(sg_of "$1")" true
  case $? in 0) sg=free ;; 1) sg=busy ;; *) sg="cannot-lock:$?" ;; esac
  echo "sr=$sr sg=$sg"
}
# lock_id NODE: NODE's device and inode as /proc/locks writes them.
lock_id() {
  local dev inode
  dev=$(stat -L -c %d "$1") && inode=$(stat -L -c %i "$1") || return 1
  printf '%02x:%02x:%d\n' $(((dev >> 8) & 0xfff)) $(((dev & 0xff) | ((dev >> 12) & 0xfff00))) "$inode"
}
# lock_ids PRODUCT: the drive's sg node's and block node's, in that order;
# lock_ids_at SG: the same for the drive at an sg node.
lock_ids_at() { echo "$(lock_id "/dev/$1") $(lock_id "/dev/$(sr_at "$1")")"; }
lock_ids() { lock_ids_at "$(sg_of "$1")"; }
# lock_holder ID [LOCKS]: the process that holds the flock of the node with
# lock_id ID, in /proc/locks or in a copy of it.
lock_holder() { awk -v id="$1" '$2 == "FLOCK" && $6 == id { print $5; exit }' "${2:-/proc/locks}"; }
# flash_child WINDOW: sets flash_pid to the flash's process (quorvel-transfer)
# that the window's process WINDOW started, if it still runs. It starts no
# program: between two blocks of a flash there is little time.
flash_child() {
  local list c kids
  flash_pid=""
  for list in /proc/"$1"/task/*/children; do
    read -r -a kids <"$list" 2>/dev/null || true
    for c in "${kids[@]}"; do
      [ "/proc/$c/exe" -ef "$build/bin/quorvel-transfer" ] && { flash_pid=$c; return 0; }
    done
  done
  return 1
}
# about_flash PID IDS [LOCKS]: the flash's process PID as the host checks
# it, "exe=PATH uid=N manager=PATHS sg=held sr=held": every ASPI manager it
# has mapped, and whether it is the holder of the flocks of the drive's nodes
# (IDS: their lock_ids; else who is) in /proc/locks, or in LOCKS, a copy of
# it taken at the moment that counts. "none" when there is no such process.
about_flash() {
  local p=$1 ids=($2) locks=${3:-/proc/locks} key value uid="" exe manager holders
  [ -n "$p" ] && [ -d "/proc/$p" ] || { echo none; return; }
  exe=$(readlink "/proc/$p/exe")
  while read -r key value _; do [ "$key" = Uid: ] && uid=$value; done <"/proc/$p/status"
  manager=$(awk '$6 ~ /libwnaspi32/ && !seen[$6]++ { printf "%s%s", sep, $6; sep = " " }' "/proc/$p/maps")
  holders=$(awk -v p="$p" -v sg="${ids[0]}" -v sr="${ids[1]}" '
    function who(pid) { return pid == "" ? "none" : pid == p ? "held" : pid }
    $2 == "FLOCK" && $6 == sg { g = $5 }
    $2 == "FLOCK" && $6 == sr { r = $5 }
    END { print "sg=" who(g) " sr=" who(r) }' "$locks")
  echo "exe=$exe uid=$uid manager=$manager $holders"
}
