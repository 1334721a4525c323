# shellcheck shell=bash
# The window's flash of a drive behind USB, as the demo's flow does it: the
# desktop user's program finds the drive by autorun, flashes it from 1.00 to
# 1.20 through usb-storage (every block byte for byte), shows its notice and
# asks the stand-in logind for the restart; the drive starts again, and the
# program started again finds it at 1.20 and says the firmware was updated.
budget=150

scenario() {
  desktop_home
  desktop_bus
  make_usb_drive usb-w QUORVEL CDRW-4824A 1.00 || exit 1
  desktop_access
  mkdir -p "$work/flash" "$work/again"
  "$build/bin/quorvel-mkimage" --quiet --model "QUORVEL CDRW-4824A" --version 1.20 --block-kb 64 --blocks 4 \
    "$out/FW-W.BIN"
  cp "$out/FW-W.BIN" "$work/flash/AUTORUN.BIN"
  chmod -R a+rX "$work/flash" "$work/again"
  local prompt box told i
  run_program "$work/flash" "$out/program-flash.log"
  prompt=$(wait_window MESSAGE 120) || fail "no start prompt came"
  answer "$prompt"
  box=$(wait_window MESSAGE 120 "$prompt") || fail "no result box came"
  keep "$box" flash-result
  answer "$box"
  finish 60 || fail "the program did not end through the restart"
  say "usb-window ended exit=$exit_code reboots=$(reboots) downloads=$(downloads usb-w)"
  # The restart: the machine's USB devices go and come back; the drive
  # starts again, and runs what it flashed last.
  local node
  node=$(node_of usb-w)
  usb_unplug usb-w
  for ((i = 0; i < 100; i++)); do [ ! -e "/sys/class/scsi_generic/$node" ] && break; sleep 0.1; done
  usb_plug usb-w
  plugged_node usb-w CDRW-4824A
  desktop_node "$(node_of usb-w)"
  run_program "$work/again" "$out/program-again.log"
  wait_window QUORVEL 120 >/dev/null || fail "the program did not start again"
  if told=$(wait_window MESSAGE 60); then
    keep "$told" again-firmware-updated
    say "usb-window again told=yes"
    answer "$told"
  fi
  stop_program
  e2e_stop
}

check() {
  expect '^QV-GUEST drive usb-w QUORVEL CDRW-4824A 1\.00 usb=480 '
  expect '^QV-GUEST usb-window ended exit=[0-9]+ reboots=1 downloads=4$'
  [ "$(icon flash-result)" = none ] || fail "the flash's result box is no notice (icon: $(icon flash-result))"
  local record="$out/usb-w.record"
  [ "$(sent "$record")" = "$(planned "$out/FW-W.BIN" 64 4 12)" ] ||
    fail "the USB drive received other commands than the image's blocks:$(printf '\n%s' "$(sent "$record")")"
  [ "$(outcomes "$record")" = "$(numbered 1 first next next final=1.20)" ] ||
    fail "the USB drive took the window's download otherwise:$(printf '\n%s' "$(outcomes "$record")")"
  told_in flash | tail -n 1 | grep -qx 'quorvel: the restart was requested and the system accepted it\.' ||
    fail "the window did not say the restart: $(told_in flash)"
  [ "$(told_in flash | grep -vc 'the restart was requested')" = 0 ] || fail "the window was told of a problem: $(told_in flash)"
  sed -n '/^start .*revision="1.20"/,$p' "$record" | grep -q 'cdb=12.* revision="1.20" status=00$' ||
    fail "the program started again did not find the drive at 1.20"
  expect '^QV-GUEST usb-window again told=yes$'
  say "usb-window: the window flashed the USB drive: $(told_in flash | tail -n 1)"
}
