# shellcheck shell=bash
# The guest program's suite (quorvel-sg-guest suite): discovery through the
# manager (the program's own drive/ code), the download command sent to
# every drive found, records the manager must refuse, callers without the
# right to send the download command, the desktop user given the drives'
# nodes as a desktop gives them, a signal during a slow command, a device
# that vanishes after discovery, and the manager measured against bare SG_IO.
# Over the base world's drives and two virtual drives of its own.
budget=120

scenario() {
  make_drive drive-a QUORVEL CDRW-4824A 1.20 || exit 1
  make_drive drive-b QUORVEL DVDRW-1612B 2.00 || exit 1
  "$guest" suite "QUORVEL CDRW-4824A" 2>&1
  say "suite exit=$?"
}

check() {
  expect '^QV end$'
  expect '^QV-GUEST suite exit=0$'
  # Discovery through the manager: four adapters (virtio-scsi, scsi_debug and
  # a loopback host for each virtual drive, numbered as the kernel numbers
  # its hosts), the disk seen but not listed, every CD/DVD device under its
  # own INQUIRY text.
  expect '^QV support adapters=4 status=01$'
  expect '^QV probe 0 0 status=01 type=05 text="QEMU    QEMU CD-ROM     .{4}"$'
  expect '^QV probe 0 1 status=01 type=00 text="QEMU    QEMU HARDDISK   .{4}"$'
  expect '^QV probe 1 0 status=01 type=05 text="QVTEST  SGDEBUG DVD-ROM 0100"$'
  expect '^QV probe [0-9]+ 1 status=01 type=05 text="QUORVEL CDRW-4824A      1\.20"$'
  expect '^QV probe [0-9]+ 1 status=01 type=05 text="QUORVEL DVDRW-1612B     2\.00"$'
  expect '^QV drives 4$'
  refuse '^QV drive .*HARDDISK'
  index_of() { grep -E "^QV drive [0-9]+ .*text=\"$1" "$log" | head -n1 | sed -E 's/^QV drive ([0-9]+) .*/\1/'; }
  local cd debug drive_a drive_b k status access name n
  cd=$(index_of "QEMU    QEMU CD-ROM")
  debug=$(index_of "QVTEST  SGDEBUG DVD-ROM")
  drive_a=$(index_of "QUORVEL CDRW-4824A")
  drive_b=$(index_of "QUORVEL DVDRW-1612B")
  [ -n "$cd" ] && [ -n "$debug" ] && [ -n "$drive_a" ] && [ -n "$drive_b" ] || fail "not every drive was listed"
  local known=("$cd" "$debug") virtual=("$drive_a" "$drive_b")

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
  # (root:cdrom, 0660). In group cdrom: every CD/DVD drive listed, the
  # download command reaches each device (refused by those that do not know
  # it, taken by the virtual drives), and nothing to complain about. Outside
  # the group: no drive listed, and one line for each CD/DVD drive saying why
  # and what to do.
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
  local told
  told=$(between '^QV desktop-cdrom begin' '^QV desktop-cdrom exit' | grep '^quorvel:' || true)
  [ -z "$told" ] || fail "the desktop user in group cdrom was told of a problem: $told"
  expect '^QV desktop-nogroup uid=1000 adapters=0 status=E8 drives=0$'
  expect '^QV desktop-nogroup exit=0$'
  for name in "QEMU QEMU CD-ROM" "QVTEST SGDEBUG DVD-ROM" "QUORVEL CDRW-4824A" "QUORVEL DVDRW-1612B"; do
    n=$(between '^QV desktop-nogroup begin' '^QV desktop-nogroup exit' | grep -cE "^quorvel: the CD/DVD drive $name \(/dev/sg[0-9]+\) cannot be opened for writing: Permission denied; it is not listed\. To flash it, use the desktop session of the seat the drive belongs to, or join group cdrom: sudo adduser \\\$USER cdrom, then log in again\.$" || true)
    [ "$n" = 1 ] || fail "outside group cdrom, $name was explained $n times, not once"
  done

  # A signal while a command is in the device (scsi_debug slowed down): the
  # manager's call waits for the command's end; the bare call beside it
  # shows that the signal did cut into the kernel's wait.
  expect '^QV signal manager status=01 targstat=00 alarms=1$'
  expect '^QV signal bare result=EINTR alarms=1$'

  # A device that vanishes after discovery: its commands fail, nothing hangs.
  expect '^QV vanished sg[0-9]+ node-gone=1$'
  status=$(field '^QV vanished inquiry' status)
  [ -n "$status" ] && [ "$status" != 1 ] || fail "vanished device: INQUIRY gave '$status'"
  status=$(field '^QV vanished-download' status)
  [ -n "$status" ] && [ "$status" != 01 ] || fail "vanished device: download gave '$status'"

  # The benchmarks: time per INQUIRY and per 64 KiB download block through
  # ExecuteScsiCommand and the manager against a bare SG_IO loop on the same
  # device (figures, not checks: aspi/sg/README.md).
  for k in "${known[@]}"; do
    expect "^QV bench $k \".*\" commands=[0-9]+ manager_ns=[0-9]+ bare_ns=[0-9]+ ratio=[0-9.]+ failures=0$"
  done
  expect '^QV bench-block "QUORVEL CDRW-4824A      1\.20" rounds=9 blocks=40 manager_us=[0-9]+ bare_us=[0-9]+ ratio_min=[0-9.]+ ratio_median=[0-9.]+ ratio_max=[0-9.]+ failures=0$'
  grep -E '^QV bench' "$log" | sed 's/^QV /kernel-test: /' || true
}
