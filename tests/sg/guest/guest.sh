#!/usr/bin/env bash
# The kernel test's guest side, run by the guest's init as root on the host's
# own root file system (shared read-only, with a writable layer over it), so
# the host's programs and the build run unchanged on the guest's kernel.
#
#   guest.sh SOURCE_DIR BUILD_DIR IMAGE_DIR
#
# What it does, in order, reporting on the console in lines "QV-GUEST ...":
#   1. two virtual CD/DVD drives served through the kernel's SCSI target
#      (user backstore + loopback fabric), each handled by
#      quorvel-virtual-drive over the simulated machine's drive model:
#      drive-a takes firmware (slowed on demand: 1.5 s a block), drive-b
#      refuses its third download command;
#   2. the real program, as the desktop user (uid 1000, group cdrom) under
#      Xvfb, flashes drive-a by autorun and asks the stand-in logind for a
#      restart, while root's program, which numbers drive-a otherwise, is
#      refused the same drive and sends it nothing; during the flash the
#      drive's block node and sg node are locked, and what lies at the lock
#      file paths of old changes nothing; the drives start again; the
#      program started again finds drive-a at its new revision;
#   3. the same run against drive-b, whose block node the desktop user may
#      not open: the refusal, and nothing sent after it;
#   then quorvel-flash writes drive-a once more, and the desktop user's
#   window flashing drive-a is killed between two blocks: its flash's
#   process sends the rest, says the result, asks for no restart and lets
#   the drive go; then drive-d, a second drive of drive-a's model, and
#   drive-a are written at once by one quorvel-flash --all, and drive-d
#   goes again;
#   4. the guest program's suite (quorvel-sg-guest suite) over all drives;
#   5. a third drive whose handler dies with a download command in hand;
#   6. the kernel's media polling of a drive, every 100 ms, during a whole
#      download held by the manager (its exclusive open) and held as before
#      it (read-only);
#   7. a USB CD-ROM (QEMU's, behind its xHCI controller) whose disc is
#      mounted: the manager's hold refused with the mount point, and
#      quorvel-flash's write refused before anything is sent; unmounted, it
#      refuses the download command, and its transport is usb;
#   8. a drive whose LUN is unlinked in the middle of a download.
# The handlers' records, the program's logs and screenshots go to /out, a
# writable share of the host's work directory.
set -uo pipefail
source=$1
build=$2
images=$3
out=/out
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
export HOME=/root LC_ALL=C.UTF-8

# shellcheck source=SCRIPTDIR/../../../scripts/lib.sh
. "$source/scripts/lib.sh"
shots=$out/shots
work=/tmp/quorvel-guest
rm -rf "$work"
mkdir -p "$work" "$shots"
chmod 755 "$work"

say() { echo "QV-GUEST $*"; }
# lib.sh's fail: what the host needs to see, then the rest is skipped.
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
target=/sys/kernel/config/target
mount -t configfs configfs /sys/kernel/config

# make_drive NAME NUMBER VENDOR PRODUCT REVISION [TIME_OUT] [HANDLER OPTIONS...]:
# a user backstore device NAME served by a handler, exported through a
# loopback target of its own (so a SCSI host of its own, target 1, LUN 0),
# in the order the kernel wants: the device enabled, its handler started,
# the nexus set, then the LUN linked, which makes the kernel scan it.
# TIME_OUT: seconds the kernel waits for the handler's answer ("" for its own).
make_drive() {
  local name=$1 number=$2 vendor=$3 product=$4 revision=$5 timeout=${6:-}
  shift 5
  [ $# -eq 0 ] || shift
  local device=$target/core/user_1/$name
  local wwn=naa.50014050000000a$number tpg
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
  tpg=$target/loopback/$wwn/tpgt_1
  mkdir -p "$tpg/lun/lun_0"
  echo "naa.50014050000000f$number" > "$tpg/nexus"
  ln -s "$device" "$tpg/lun/lun_0/$name"
  # Its sg node, once the scan is through.
  local node="" entry
  for ((i = 0; i < 100; i++)); do
    for entry in /sys/class/scsi_generic/sg*; do
      entry=${entry##*/}
      [[ "$before" == *" $entry "* ]] && continue
      grep -qx "$product *" "/sys/class/scsi_generic/$entry/device/model" 2>/dev/null && { node=$entry; break; }
    done
    [ -n "$node" ] && break
    sleep 0.1
  done
  echo "$node" >"$work/$name.node"
  say "drive $name $vendor $product $revision host=$(basename "$(readlink "/sys/class/scsi_generic/$node/device")") node=${node:-none} handler=$(cat "$work/$name.ready")"
}
handler_pid() { cat "$work/$1.ready"; }
# node_of NAME: the sg node of the drive make_drive made as NAME.
node_of() { cat "$work/$1.node"; }
# sg_of PRODUCT, sr_of PRODUCT: the drive's sg node and block node (sg3, sr1),
# while it is the only drive of its model; sr_at SG: the block node beside
# an sg node.
sg_of() { grep -lx "$1 *" /sys/class/scsi_generic/sg*/device/model 2>/dev/null | head -n 1 | cut -d/ -f5; }
sr_at() { ls "/sys/class/scsi_generic/$1/device/block" 2>/dev/null | head -n 1; }
sr_of() { sr_at "$(sg_of "$1")"; }
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
# lock_holder ID: the process that holds the flock of the node with lock_id ID.
lock_holder() { awk -v id="$1" '$2 == "FLOCK" && $6 == id { print $5; exit }' /proc/locks; }
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
# about_flash PID IDS: the flash's process PID as the host checks it,
# "exe=PATH uid=N manager=PATHS sg=held sr=held": every ASPI manager it has
# mapped, and whether it is the holder of the flocks of the drive's nodes
# (IDS: their lock_ids; else who is). "none" when there is no such process.
about_flash() {
  local p=$1 ids=($2) key value uid="" exe manager holders
  [ -n "$p" ] && [ -d "/proc/$p" ] || { echo none; return; }
  exe=$(readlink "/proc/$p/exe")
  while read -r key value _; do [ "$key" = Uid: ] && uid=$value; done <"/proc/$p/status"
  manager=$(awk '$6 ~ /libwnaspi32/ && !seen[$6]++ { printf "%s%s", sep, $6; sep = " " }' "/proc/$p/maps")
  holders=$(awk -v p="$p" -v sg="${ids[0]}" -v sr="${ids[1]}" '
    function who(pid) { return pid == "" ? "none" : pid == p ? "held" : pid }
    $2 == "FLOCK" && $6 == sg { g = $5 }
    $2 == "FLOCK" && $6 == sr { r = $5 }
    END { print "sg=" who(g) " sr=" who(r) }' /proc/locks)
  echo "exe=$exe uid=$uid manager=$manager $holders"
}
downloads() { grep -c ' download=' "$out/$1.record" || true; }
starts() { grep -c '^start ' "$out/$1.record" || true; }

# keep WINDOW NAME: the window as NAME.png, for the host to look at (its
# icon tells an error box from a notice).
keep() { import -window "$1" "$shots/$2.png" 2>/dev/null || say "no picture of $2"; }

# The desktop user runs the program: its own uid, group cdrom for the
# drives, a home and a runtime directory of its own.
desktop=(setpriv --reuid=1000 --regid=1000 --groups=24 "$build/bin/quorvel")
export HOME=$work/home XDG_RUNTIME_DIR=$work/runtime
mkdir -p "$HOME" "$XDG_RUNTIME_DIR"
chown 1000:1000 "$HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
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
reach "$build/bin" || exit 1
# run_program DIR LOG: the program as the desktop user in DIR, its record of
# flashes in its home.
run_program() { QUORVEL_STATE_HOME=$HOME/.local/state start_program --bare "$1" "$2" "" "${desktop[@]}"; }
# run_as_root DIR LOG: the program as root in DIR, with a record of its own.
run_as_root() { QUORVEL_STATE_HOME=$work/root-state start_program --bare "$1" "$2" "" "$build/bin/quorvel"; }

phase() { say "phase $1 at $(cut -d' ' -f1 /proc/uptime) s"; }

# The X server and the private bus start while the drives are made. The
# host's /tmp shows through, with the host's X servers' lock files: the
# server takes the first display that is free and says which.
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -noreset 3>"$work/display" >"$out/xvfb.log" 2>&1 &
xvfb=$!
"$source/scripts/sim-bus.sh" start "$work/bus" "$build/sim/quorvel-sim-login1" >"$work/bus.env" 2>"$out/bus.log" &
bus=$!

phase drives
make_drive drive-a 1 QUORVEL CDRW-4824A 1.00 "" --slow 1500 || exit 1
make_drive drive-b 2 QUORVEL DVDRW-1612B 2.00 "" --refuse 3 || exit 1
desktop_access

for ((i = 0; i < 300; i++)); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=:$(cat "$work/display")
wait "$bus" || fail "the private bus did not start: $(cat "$out/bus.log")"
eval "$(cat "$work/bus.env")"
bus_dir=$work/bus
chmod 755 "$bus_dir"

# --- the flash: drive-a from 1.00 to 1.20, root's program beside it ------------
phase flash
mkdir -p "$work/flash" "$work/root-flash" "$work/again" "$work/refusal"
cp "$images/FW-A.BIN" "$work/flash/AUTORUN.BIN"
cp "$images/FW-A.BIN" "$work/root-flash/AUTORUN.BIN"
cp "$images/FW-B.BIN" "$work/refusal/AUTORUN.BIN"
chmod -R a+rX "$work/flash" "$work/again" "$work/refusal"
# Root and the desktop user number drive-a differently: QEMU's CD-ROM, the
# only node of the first host the user could open, is root's alone for this
# run, so the user's manager counts the hosts from the second one.
cdrom=$(sg_of "QEMU CD-ROM")
chmod 600 "/dev/$cdrom"
desktop_a=$(adapter_of CDRW-4824A desktop)
root_a=$(adapter_of CDRW-4824A)
say "flash adapters desktop=$desktop_a root=$root_a"
# At the lock file paths of old, another user's named pipe where the desktop
# user's number points and a symbolic link where root's does: a guard that
# looked there would hang, or go on without a lock.
mkdir -p /run/lock
chmod 1777 /run/lock
rm -f /run/lock/quorvel-drive-*.lock
mkfifo -m 666 "/run/lock/quorvel-drive-$desktop_a-1.lock"
chown 1001:1001 "/run/lock/quorvel-drive-$desktop_a-1.lock"
ln -s /etc/hostname "/run/lock/quorvel-drive-$root_a-1.lock"
chown -h 1001:1001 "/run/lock/quorvel-drive-$root_a-1.lock"

run_as_root "$work/root-flash" "$out/program-root.log"
root_program=$program_pid
root_prompt=$(wait_window MESSAGE 120) || fail "no start prompt came for root's program"
run_program "$work/flash" "$out/program-flash.log"
prompt=$(wait_window MESSAGE 120) || fail "no start prompt came"
say "flash prompt downloads-before=$(downloads drive-a)"
phase flash-prompt
answer "$prompt"
# The box answered must have been the start prompt: the drive gets blocks.
flash_began() { [ "$(downloads drive-a)" -ge 1 ]; }
poll 60 flash_began || { keep root flash-no-blocks; fail "no block reached drive-a after the first box (was it the start prompt?)"; }
box=$(wait_window MESSAGE 120 "$prompt") || fail "no result box came"
phase flash-result
keep "$box" flash-result
# Until the result box is closed the flash holds the drive: the device
# manager would leave it alone, and root's program, asked to download to it
# now, is refused and sends it nothing.
# The blocks came from the flash's own process, which the window started
# and which binds the manager beside it, and which holds the drive.
flash_child "$program_pid"
say "flash process $(about_flash "$flash_pid" "$(lock_ids CDRW-4824A)")"
say "flash locks during $(locks CDRW-4824A)"
desktop_program=$program_pid
program_pid=$root_program
answer "$root_prompt"
busy=$(wait_window MESSAGE 60 "$root_prompt") || fail "root's program showed no box after Down"
keep "$busy" root-busy
say "flash root downloads=$(downloads drive-a)"
answer "$busy"
stop_program
program_pid=$desktop_program
answer "$box"
finish 60 || fail "the program did not end through the restart ($(running && echo running || echo ended), reboots=$(reboots))"
say "flash ended exit=$exit_code reboots=$(reboots)"
cp "$out/drive-a.record" "$out/drive-a.flash.record"
say "flash locks after $(locks CDRW-4824A)"
chmod 660 "/dev/$cdrom"
rm -f /run/lock/quorvel-drive-*.lock

# The restart: every drive starts again, and runs what it flashed last.
kill -HUP "$(handler_pid drive-a)" "$(handler_pid drive-b)"
for ((i = 0; i < 50; i++)); do [ "$(starts drive-a)" -ge 2 ] && [ "$(starts drive-b)" -ge 2 ] && break; sleep 0.1; done
phase again
run_program "$work/again" "$out/program-again.log"
wait_window QUORVEL 120 >/dev/null || fail "the program did not start again"
# The program's discovery of drive-a, now at 1.20.
found_again() { sed -n '/^start .*revision="1.20"/,$p' "$out/drive-a.record" | grep -c 'cdb=12.* revision="1.20"'; }
for ((i = 0; i < 100; i++)); do [ "$(found_again)" -ge 1 ] && break; sleep 0.1; done
phase again-window
# The flash it recorded is checked against the drive it finds now.
if told=$(wait_window MESSAGE 30); then
  keep "$told" again-firmware-updated
  say "again told=yes"
  answer "$told"
fi
shot again-main
stop_program
say "again inquiries=$(found_again)"

# --- the refusal: drive-b refuses block 3 of 5 --------------------------------
# Its block node is root's alone: the desktop user's program is told once
# that the sg node alone guards the drive, and goes on. Another user's file,
# mode 0600, at the lock file path of old changes nothing.
phase refusal
chown 0:0 "/dev/$(sr_of DVDRW-1612B)"
chmod 600 "/dev/$(sr_of DVDRW-1612B)"
install -m 600 -o 1001 -g 1001 /dev/null "/run/lock/quorvel-drive-$(adapter_of DVDRW-1612B desktop)-1.lock"
run_program "$work/refusal" "$out/program-refusal.log"
prompt=$(wait_window MESSAGE 120) || fail "no start prompt came for the refusal"
phase refusal-prompt
answer "$prompt"
box=$(wait_window MESSAGE 120 "$prompt") || fail "no box came after the refusal"
keep "$box" refusal-result
answer "$box"
sleep 1
if running; then state=running; else state=ended; fi
stop_program
cp "$out/drive-b.record" "$out/drive-b.refusal.record"
say "refusal program=$state reboots=$(reboots)"
rm -f /run/lock/quorvel-drive-*.lock

# --- quorvel-flash: drive-a again, from the terminal's program -------------------
# The desktop user lists the drives (--json) and writes firmware 1.30 into
# drive-a with --yes (there is no terminal here to ask on); the host compares
# what drive-a received with the image's plan, and reads the record.
phase cli
mkdir -p "$work/cli"
"$build/bin/quorvel-mkimage" --quiet --model "QUORVEL CDRW-4824A" --version 1.30 --block-kb 60 --blocks 4 \
  "$out/FW-C.BIN"
cp "$out/FW-C.BIN" "$work/cli/"
chmod -R a+rX "$work/cli"
terminal_user() {
  (cd "$work/cli" && setpriv --reuid=1000 --regid=1000 --groups=24 env -u LD_LIBRARY_PATH "$build/bin/quorvel-flash" "$@")
}
cli_drive=$(terminal_user list --json 2>"$out/cli-list.log" | python3 -c 'import json, sys
print(next("%d:%d" % (d["adapter"], d["target"]) for d in json.load(sys.stdin) if d["model"] == "CDRW-4824A"))')
cli_before=$(wc -l <"$out/drive-a.record")
terminal_user write FW-C.BIN --drive "$cli_drive" --yes </dev/null >"$out/cli-write.out" 2>"$out/cli-write.log"
cli_exit=$?
tail -n +$((cli_before + 1)) "$out/drive-a.record" >"$out/drive-a.cli.record"
terminal_user history --json >"$out/cli-history.json" 2>>"$out/cli-list.log"
say "cli drive=$cli_drive exit=$cli_exit downloads=$(grep -c ' download=' "$out/drive-a.cli.record") reboots=$(reboots)"

# --- the window killed between two blocks: its flash's process goes on -------
# drive-a, slowed to 1.5 s a block, gets 1.40 by autorun from the desktop
# user's window, which is killed (SIGKILL, its process alone) once the drive
# has answered the second block. The flash's process, in a session of its
# own, sends the rest, says the result on the window's standard error,
# records the flash (in a record of its own, so no later window tells of it)
# and lets the drive go; no restart is asked for. drive-a is not started
# again: the suite finds it at 1.20.
phase kill
mkdir -p "$work/kill" "$work/kill-state"
cp "$images/FW-K.BIN" "$work/kill/AUTORUN.BIN"
chmod -R a+rX "$work/kill"
chown 1000:1000 "$work/kill-state"
kill_from=$(($(wc -l <"$out/drive-a.record") + 1))
kill_base=$(downloads drive-a)
kill_reboots=$(reboots)
kill_ids=$(lock_ids CDRW-4824A)
kill_downloads() { echo $(($(downloads drive-a) - kill_base)); }
answered() { [ "$(kill_downloads)" -ge "$1" ]; }
kill -USR1 "$(handler_pid drive-a)"
QUORVEL_STATE_HOME=$work/kill-state start_program --bare "$work/kill" "$out/program-kill.log" "" "${desktop[@]}"
prompt=$(wait_window MESSAGE 120) || fail "no start prompt came for the flash to be cut"
phase kill-prompt
answer "$prompt"
window_exe=$(readlink "/proc/$program_pid/exe")
poll 60 answered 1 || fail "no block reached drive-a from the window to be killed"
flash_child "$program_pid"
poll 60 answered 2 || fail "the second block did not reach drive-a"
kill -KILL "$program_pid"
at_kill=$(kill_downloads)
# Its flash's process, now without the window, as it goes on.
say "kill process $(about_flash "$flash_pid" "$kill_ids")"
wait "$program_pid" 2>/dev/null
program_pid=""
wait_transfers 60 || fail "the flash's process did not end after its window was killed"
kill -USR2 "$(handler_pid drive-a)"
say "kill window=$window_exe downloads-at-kill=$at_kill downloads=$(kill_downloads) reboots-before=$kill_reboots reboots=$(reboots)"
say "kill locks after $(locks CDRW-4824A)"
tail -n +"$kill_from" "$out/drive-a.record" >"$out/drive-a.kill.record"
cp "$work/kill-state/quorvel/flashes.jsonl" "$out/kill-flashes.jsonl"

# --- a tower: quorvel-flash --all writes two drives of one model at once -------
# drive-d, a second CDRW-4824A at 1.00, joins drive-a (1.20, 1.40 pending);
# the desktop user writes 1.50 into every drive of that model with one
# --all --yes, with a record of its own. Both drives are slowed (1.5 s a
# block), so that flashes that run at once are caught at once in their
# middle, when each drive's flock is held by the flash's process that writes
# it. drive-d's device is deleted before the suite, which counts the drives;
# drive-a is not started again, so the suite still finds it at 1.20.
phase tower
make_drive drive-d 4 QUORVEL CDRW-4824A 1.00 "" --slow 1500 || exit 1
tower_nodes=("$(node_of drive-a)" "$(node_of drive-d)")
desktop_node "${tower_nodes[1]}"
say "tower drives a=$(adapter_at "${tower_nodes[0]}" desktop):1 d=$(adapter_at "${tower_nodes[1]}" desktop):1"
mkdir -p "$work/tower-state"
chown 1000:1000 "$work/tower-state"
cp "$images/FW-T.BIN" "$work/cli/"
chmod a+r "$work/cli/FW-T.BIN"
tower_from=$(($(wc -l <"$out/drive-a.record") + 1))
tower_base=$(downloads drive-a)
tower_ids=("$(lock_ids_at "${tower_nodes[0]}")" "$(lock_ids_at "${tower_nodes[1]}")")
kill -USR1 "$(handler_pid drive-a)" "$(handler_pid drive-d)"
XDG_STATE_HOME=$work/tower-state terminal_user write FW-T.BIN --all --yes </dev/null \
  >"$out/tower.out" 2>"$out/tower.log" &
tower=$!
# Both in the middle: each has answered a block and not yet its final one.
middle=""
while kill -0 "$tower" 2>/dev/null; do
  a=$(($(downloads drive-a) - tower_base)) d=$(downloads drive-d)
  if ((a >= 1 && a <= 2 && d >= 1 && d <= 2)); then
    middle="a=$a d=$d"
    holders=("$(lock_holder "${tower_ids[0]%% *}")" "$(lock_holder "${tower_ids[1]%% *}")")
    say "tower-a process $(about_flash "${holders[0]}" "${tower_ids[0]}")"
    say "tower-d process $(about_flash "${holders[1]}" "${tower_ids[1]}")"
    [ "${holders[0]}" != "${holders[1]}" ] && say "tower processes apart"
    break
  fi
  sleep 0.1
done
say "tower middle ${middle:-none}"
wait "$tower"
tower_exit=$?
wait_transfers 60 || fail "the tower's flash processes did not end"
kill -USR2 "$(handler_pid drive-a)" "$(handler_pid drive-d)"
tail -n +"$tower_from" "$out/drive-a.record" >"$out/drive-a.tower.record"
cp "$out/drive-d.record" "$out/drive-d.tower.record"
cp "$work/tower-state/quorvel/flashes.jsonl" "$out/tower-flashes.jsonl"
say "tower exit=$tower_exit downloads-a=$(grep -c ' download=' "$out/drive-a.tower.record") downloads-d=$(downloads drive-d)"
echo 1 >"/sys/class/scsi_generic/${tower_nodes[1]}/device/delete"
e2e_stop
kill "$xvfb" 2>/dev/null

# --- the guest program's suite, over every drive --------------------------------
phase suite
"$guest" suite "QUORVEL CDRW-4824A" 2>&1
say "suite exit=$?"

# --- a handler that dies with the command in hand -------------------------------
phase dies
make_drive drive-c 3 QVTEST "VIRTUAL DIES" 0100 1 --die-at 2 || exit 1
"$guest" dies "QVTEST  VIRTUAL DIES" 2>&1
say "dies exit=$?"
# --- the kernel's polling during a download, held either way -----------------
# drive-p, slowed to 1.5 s a block, polled by the sr driver every 100 ms:
# whatever its handler records between the first download command and the
# last is the kernel's.
phase polling
make_drive drive-p 5 QVTEST "VIRTUAL POLL" 0100 "" --slow 1500 || exit 1
echo 100 >"/sys/block/$(sr_of "VIRTUAL POLL")/events_poll_msecs"
say "polling msecs=$(cat "/sys/block/$(sr_of "VIRTUAL POLL")/events_poll_msecs")"
kill -USR1 "$(handler_pid drive-p)"
for mode in exclusive read-only; do
  from=$(($(wc -l <"$out/drive-p.record") + 1))
  "$guest" hold-flash "QVTEST  VIRTUAL POLL" 4 "$mode" 2>&1
  tail -n +"$from" "$out/drive-p.record" >"$out/drive-p.$mode.record"
done
kill -USR2 "$(handler_pid drive-p)"

# --- a USB CD-ROM, its disc mounted, then not ---------------------------------
phase usb
insmod /run/qv-modules/usb-storage.ko || say "usb no driver"
for ((i = 0; i < 100; i++)); do [ -n "$(sg_of USB-CD-ROM)" ] && [ -n "$(sr_of USB-CD-ROM)" ] && break; sleep 0.1; done
say "usb node=$(sg_of USB-CD-ROM) block=$(sr_of USB-CD-ROM)"
mkdir -p "/media/qv/QV DISC" "$work/usb-state"
mount -t iso9660 -o ro "/dev/$(sr_of USB-CD-ROM)" "/media/qv/QV DISC" || say "usb mount failed"
"$guest" hold "QVUSB   USB-CD-ROM" 2>&1
"$build/bin/quorvel-mkimage" --quiet --model "QVUSB   USB-CD-ROM" --version 2.00 --block-kb 64 --blocks 2 \
  "$work/usb-state/FW-U.BIN"
usb_flash() { (cd "$work/usb-state" && XDG_STATE_HOME=$work/usb-state env -u LD_LIBRARY_PATH "$build/bin/quorvel-flash" "$@"); }
usb_drive=$(usb_flash list --json 2>/dev/null | python3 -c 'import json, sys
print(next("%d:%d" % (d["adapter"], d["target"]) for d in json.load(sys.stdin) if d["model"] == "USB-CD-ROM"))')
usb_flash write FW-U.BIN --drive "$usb_drive" --yes </dev/null >"$out/usb-mounted.out" 2>"$out/usb-mounted.log"
say "usb mounted write exit=$?"
umount "/media/qv/QV DISC"
usb_flash list >"$out/usb-list.out" 2>&1
"$guest" cause "QVUSB   USB-CD-ROM" 2>&1
usb_flash write FW-U.BIN --drive "$usb_drive" --yes </dev/null >"$out/usb-write.out" 2>"$out/usb-write.log"
say "usb write exit=$?"
cp "$work/usb-state/quorvel/flashes.jsonl" "$out/usb-flashes.jsonl" 2>/dev/null || true

# --- a drive gone in the middle of a download -----------------------------------
# drive-e, slowed to 1.5 s a block, has its LUN unlinked once it has answered
# two blocks: the kernel removes the device, and the rest of the download
# finds no device, at once.
phase gone
make_drive drive-e 6 QVTEST "VIRTUAL GONE" 0100 "" --slow 1500 || exit 1
kill -USR1 "$(handler_pid drive-e)"
timeout 120 "$guest" gone "QVTEST  VIRTUAL GONE" 6 >"$work/gone.out" 2>&1 &
gone=$!
for ((i = 0; i < 300; i++)); do [ "$(downloads drive-e)" -ge 2 ] && break; sleep 0.1; done
rm "$target/loopback/naa.50014050000000a6/tpgt_1/lun/lun_0/drive-e"
wait "$gone"
gone_exit=$?
cat "$work/gone.out"
say "gone exit=$gone_exit downloads=$(downloads drive-e)"
# The same through quorvel-flash: drive-f's LUN unlinked once it has taken two
# blocks of the flash's process.
make_drive drive-f 7 QVTEST "VIRTUAL LEFT" 0100 "" --slow 1500 || exit 1
kill -USR1 "$(handler_pid drive-f)"
"$build/bin/quorvel-mkimage" --quiet --model "QVTEST  VIRTUAL LEFT" --version 2.00 --block-kb 64 --blocks 6 \
  "$work/usb-state/FW-G.BIN"
left_drive=$(usb_flash list --json 2>/dev/null | python3 -c 'import json, sys
print(next("%d:%d" % (d["adapter"], d["target"]) for d in json.load(sys.stdin) if d["model"] == "VIRTUAL LEFT"))')
rm -f "$work/usb-state/quorvel/flashes.jsonl"
usb_flash write FW-G.BIN --drive "$left_drive" --yes --restart </dev/null >"$out/gone-write.out" 2>"$out/gone-write.log" &
writer=$!
for ((i = 0; i < 300; i++)); do [ "$(downloads drive-f)" -ge 2 ] && break; sleep 0.1; done
rm "$target/loopback/naa.50014050000000a7/tpgt_1/lun/lun_0/drive-f"
wait "$writer"
say "gone write exit=$? downloads=$(downloads drive-f)"
cp "$work/usb-state/quorvel/flashes.jsonl" "$out/gone-flashes.jsonl" 2>/dev/null || true

phase end
say "end"
