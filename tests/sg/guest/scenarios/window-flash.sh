# shellcheck shell=bash
# The real program, as the desktop user (uid 1000, group cdrom) under Xvfb,
# flashes a virtual drive served through the kernel's SCSI target by
# autorun, from 1.00 to 1.20, and asks the stand-in logind for a restart,
# while root's program, which numbers the drive otherwise, is refused the
# same drive and sends it nothing; during the flash the drive's block node
# and sg node are locked, and what lies at the lock file paths of old
# changes nothing. The drive starts again (the restart); the program started
# again finds it at 1.20 and says the firmware was updated.
budget=150

scenario() {
  desktop_home
  desktop_bus
  phase drives
  make_drive drive-a QUORVEL CDRW-4824A 1.00 || exit 1
  desktop_access
  mkdir -p "$work/flash" "$work/root-flash" "$work/again"
  cp "$images/FW-A.BIN" "$work/flash/AUTORUN.BIN"
  cp "$images/FW-A.BIN" "$work/root-flash/AUTORUN.BIN"
  chmod -R a+rX "$work/flash" "$work/again"
  # Root and the desktop user number drive-a differently: QEMU's CD-ROM, the
  # only node of the first host the user could open, is root's alone for this
  # run, so the user's manager counts the hosts from the second one.
  local cdrom desktop_a root_a
  cdrom=$(sg_of "QEMU CD-ROM")
  chmod 600 "/dev/$cdrom"
  desktop_a=$(adapter_of CDRW-4824A desktop)
  root_a=$(adapter_of CDRW-4824A)
  say "flash adapters desktop=$desktop_a root=$root_a"
  # At the lock file paths of old, another user's named pipe where the
  # desktop user's number points and a symbolic link where root's does: a
  # guard that looked there would hang, or go on without a lock.
  mkfifo -m 666 "/run/lock/quorvel-drive-$desktop_a-1.lock"
  chown 1001:1001 "/run/lock/quorvel-drive-$desktop_a-1.lock"
  ln -s /etc/hostname "/run/lock/quorvel-drive-$root_a-1.lock"
  chown -h 1001:1001 "/run/lock/quorvel-drive-$root_a-1.lock"

  phase flash
  local root_program root_prompt prompt box busy desktop_program
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
  # manager would leave it alone, and root's program, asked to download to
  # it now, is refused and sends it nothing. The blocks came from the flash's
  # own process, which the window started and which binds the manager beside
  # it, and which holds the drive.
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

  # The restart: the drive starts again, and runs what it flashed last.
  kill -HUP "$(handler_pid drive-a)"
  local i
  for ((i = 0; i < 50; i++)); do [ "$(starts drive-a)" -ge 2 ] && break; sleep 0.1; done
  phase again
  run_program "$work/again" "$out/program-again.log"
  wait_window QUORVEL 120 >/dev/null || fail "the program did not start again"
  # The program's discovery of drive-a, now at 1.20.
  found_again() { sed -n '/^start .*revision="1.20"/,$p' "$out/drive-a.record" | grep -c 'cdb=12.* revision="1.20"'; }
  for ((i = 0; i < 100; i++)); do [ "$(found_again)" -ge 1 ] && break; sleep 0.1; done
  phase again-window
  # The flash it recorded is checked against the drive it finds now.
  local told
  if told=$(wait_window MESSAGE 30); then
    keep "$told" again-firmware-updated
    say "again told=yes"
    answer "$told"
  fi
  stop_program
  say "again inquiries=$(found_again)"
  e2e_stop
}

check() {
  expect '^QV-GUEST drive drive-a QUORVEL CDRW-4824A 1\.00 host=[0-9]+:0:1:0 node=sg[0-9]+ '
  expect '^QV-GUEST flash prompt downloads-before=0$'
  [ "$(icon flash-result)" = none ] || fail "the flash's result box is no notice (icon: $(icon flash-result))"
  expect '^QV-GUEST flash ended exit=[0-9]+ reboots=1$'
  # Root's program beside it, which numbers drive-a otherwise, was refused
  # the drive being flashed with an error box before it sent anything;
  # meanwhile the drive's block node could not be locked (the device manager
  # would have left it alone), nor its sg node; afterwards both could.
  local adapters
  adapters=$(grep -E '^QV-GUEST flash adapters ' "$log" | head -n1)
  [[ "$adapters" =~ desktop=([0-9]+)\ root=([0-9]+)$ ]] && [ "${BASH_REMATCH[1]}" != "${BASH_REMATCH[2]}" ] ||
    fail "root and the desktop user did not number drive-a differently: '$adapters'"
  expect '^QV-GUEST flash locks during sr=busy sg=busy$'
  flash_process_is flash
  expect '^QV-GUEST flash root downloads=4$'
  [ "$(icon root-busy)" = error ] || fail "root's program got no error box for the busy drive (icon: $(icon root-busy))"
  expect '^QV-GUEST flash locks after sr=free sg=free$'
  # What each program was told on standard error: the desktop user, for
  # whom QEMU's CD-ROM was out of reach during the flash, that and nothing
  # else. The flash's process binds the manager anew, whose discovery may say
  # the CD-ROM's line once more on the same standard error: once or twice,
  # then.
  local cdrom_told='^quorvel: the CD/DVD drive QEMU QEMU CD-ROM \(/dev/sg[0-9]+\) cannot be opened for writing: Permission denied; it is not listed\. '
  [[ "$(told_in flash | grep -c '')" =~ ^[23]$ ]] &&
    [ "$(told_in flash | head -n -1 | grep -cvE "$cdrom_told")" = 0 ] &&
    told_in flash | tail -n 1 | grep -qx 'quorvel: the restart was requested and the system accepted it\.' ||
    fail "the program as the desktop user was told otherwise during the flash: $(told_in flash)"
  local run
  for run in again root; do
    [ -z "$(told_in $run)" ] || fail "the program was told of a problem ($run): $(told_in $run)"
  done
  local record="$out/drive-a.flash.record" extra again
  if [ -f "$record" ]; then
    [ "$(head -n1 "$record")" = 'start vendor="QUORVEL " product="CDRW-4824A      " revision="1.00"' ] ||
      fail "drive-a did not start at 1.00: $(head -n1 "$record")"
    [ "$(sent "$record")" = "$(planned "$work/images/FW-A.BIN" 64 4)" ] ||
      fail "drive-a received other commands than the image's blocks:$(printf '\n%s' "$(sent "$record")") -- expected:$(printf '\n%s' "$(planned "$work/images/FW-A.BIN" 64 4)")"
    [ "$(outcomes "$record")" = "$(numbered 1 first next next final=1.20)" ] ||
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
}
