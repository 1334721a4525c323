# shellcheck shell=bash
# Drives come and go behind USB, and the window lists its drives once, at
# start. The desktop user's window flashes a drive behind USB by autorun; the
# drive is unplugged at block 3: the box says it went away at block 3 of 5.
# Another drive, of another model, is plugged in and takes its address; Down
# is pressed again in the same window, whose list still names the first
# drive there: the flash's process finds another drive at that address and
# refuses the flash, and nothing reaches the drive in its place.
budget=180

scenario() {
  desktop_home
  desktop_bus
  make_usb_drive usb-x QUORVEL CDRW-4824A 1.00 --slow 1500 || exit 1
  desktop_access
  mkdir -p "$work/flash"
  "$build/bin/quorvel-mkimage" --quiet --model "QUORVEL CDRW-4824A" --version 1.20 --block-kb 64 --blocks 5 \
    "$work/flash/AUTORUN.BIN"
  chmod -R a+rX "$work/flash"
  local prompt box main i node
  kill -USR1 "$(handler_pid usb-x)"
  run_program "$work/flash" "$out/program-flash.log"
  prompt=$(wait_window MESSAGE 120) || fail "no start prompt came"
  say "usb-replaced address=$(adapter_at "$(node_of usb-x)" desktop):0"
  node=$(node_of usb-x)
  # Unplugged with block 3 in the drive's hands (1.5 s a block), however
  # long the answer to the prompt takes.
  (
    usb_block_in_hand usb-x 3 || say "usb-replaced block 3 never came"
    usb_unplug usb-x
  ) &
  local unplugging=$!
  answer "$prompt"
  wait "$unplugging"
  box=$(wait_window MESSAGE 60 "$prompt") || fail "no box came after the drive was unplugged"
  keep "$box" gone
  say "usb-replaced gone box=$(xdotool getwindowname "$box" 2>/dev/null)"
  answer "$box"
  for ((i = 0; i < 100; i++)); do [ ! -e "/sys/class/scsi_generic/$node" ] && break; sleep 0.1; done

  # Another drive where it was.
  make_usb_drive usb-y QUORVEL DVDRW-1612B 2.00 || exit 1
  desktop_node "$(node_of usb-y)"
  say "usb-replaced other address=$(adapter_at "$(node_of usb-y)" desktop):0"
  main=$(wait_window QUORVEL 30) || fail "no main window"
  focus "$main"
  keys alt+f d
  box=$(wait_window MESSAGE 60) || fail "no box came after Down"
  keep "$box" refused
  answer "$box"
  sleep 1
  say "usb-replaced downloads-other=$(downloads usb-y) running=$(running && echo yes || echo no)"
  stop_program
  cp "$HOME/.local/state/quorvel/flashes.jsonl" "$out/flashes.jsonl" 2>/dev/null || true
  e2e_stop
}

check() {
  # The second drive took the first one's address, as the window knew it.
  local first second
  first=$(field '^QV-GUEST usb-replaced address=' address)
  second=$(field '^QV-GUEST usb-replaced other address=' address)
  [ -n "$first" ] && [ "$first" = "$second" ] || fail "the other drive did not take the first one's address: $first, $second"
  [ "$(icon gone)" = error ] || fail "the unplugged drive's box is no error box"
  [ "$(icon refused)" = error ] || fail "the refusal's box is no error box"
  expect '^QV-GUEST usb-replaced downloads-other=0 running=yes$'
  ! grep -q ' download=\|cdb=ff' "$out/usb-y.record" || fail "a download command reached the drive in the first one's place"
  [ "$(grep -c ' download=' "$out/usb-x.record")" -le 3 ] || fail "more than three blocks reached the unplugged drive"
  # The window's record: the first flash gone at block 3, and nothing of the second.
  record_says "$out/flashes.jsonl" '
assert [e["event"] for e in events] == ["started", "gone"], events
assert (events[1]["block"], events[1]["blocks"], events[1]["cause"]) == (3, 5, "gone"), events[1]
' || fail "the window's flashes were recorded otherwise: $(cat "$out/flashes.jsonl" 2>/dev/null)"
  [ "$failed" != 0 ] || say "usb-replaced: the drive at $first unplugged at block 3 of 5 and another drive in its place: Down refused with an error box, and it heard no download command"
}
