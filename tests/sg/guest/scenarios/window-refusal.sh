# shellcheck shell=bash
# The real program, as the desktop user under Xvfb, flashes by autorun a
# virtual drive that refuses block 3 of 5: the error box, and nothing sent
# after the refused block. The drive's block node is root's alone: the
# program is told once that the sg node alone guards the drive (and that the
# system goes on polling it), and goes on; another user's file, mode 0600,
# at the lock file path of old changes nothing.
budget=120

scenario() {
  desktop_home
  desktop_bus
  make_drive drive-b QUORVEL DVDRW-1612B 2.00 "" --refuse 3 || exit 1
  desktop_access
  mkdir -p "$work/refusal"
  cp "$images/FW-B.BIN" "$work/refusal/AUTORUN.BIN"
  chmod -R a+rX "$work/refusal"
  chown 0:0 "/dev/$(sr_of DVDRW-1612B)"
  chmod 600 "/dev/$(sr_of DVDRW-1612B)"
  install -m 600 -o 1001 -g 1001 /dev/null "/run/lock/quorvel-drive-$(adapter_of DVDRW-1612B desktop)-1.lock"
  local prompt box state
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
  say "refusal program=$state reboots=$(reboots)"
  e2e_stop
}

check() {
  expect '^QV-GUEST drive drive-b QUORVEL DVDRW-1612B 2\.00 host=[0-9]+:0:1:0 node=sg[0-9]+ '
  [ "$(icon refusal-result)" = error ] || fail "the refusal's box is no error box (icon: $(icon refusal-result))"
  expect '^QV-GUEST refusal program=running reboots=0$'
  local record="$out/drive-b.record"
  if [ -f "$record" ]; then
    [ "$(sent "$record")" = "$(planned "$work/images/FW-B.BIN" 64 5 | head -n 3)" ] ||
      fail "drive-b received other commands than blocks 1 to 3:$(printf '\n%s' "$(sent "$record")")"
    [ "$(outcomes "$record")" = "$(printf '%s\n' 'download=1 phase=first status=00' \
        'download=2 phase=next status=00' 'download=3 phase=next status=02 sense=03/0c/00')" ] ||
      fail "drive-b answered otherwise:$(printf '\n%s' "$(outcomes "$record")")"
    [[ "$(grep ' download=' "$record" | tail -n1)" == *" download=3 "* ]] ||
      fail "the program sent more after the refusal: $(grep ' download=' "$record" | tail -n1)"
  else
    fail "no record of the refusal"
  fi
  # The flash's own line for a drive held without its exclusive open: the
  # kernel's polling goes on.
  [ "$(told_in refusal | grep -c '')" = 2 ] &&
    told_in refusal | head -n 1 | grep -qE '^quorvel: /dev/sr[0-9]+ \(QUORVEL DVDRW-1612B\) cannot be opened: Permission denied; the drive is guarded through /dev/sg[0-9]+ alone: other programs that lock it stay off, but the device manager \(udev\) may probe it during the flash\.$' &&
    told_in refusal | tail -n 1 | grep -qx 'quorvel: This user cannot open the drive for writing alone, so the system goes on polling it for a disc during the flash\.' ||
    fail "the program flashing drive-b was not told once that its sg node alone guarded it, and that the polling goes on: $(told_in refusal)"
}
