# shellcheck shell=bash
# A drive behind USB unplugged at block 3 (the gadget unbound from its
# controller, as a pulled cable looks to the host), twice: under the guest
# program, which shows the status the block in flight ended with (through
# usb-storage the adapter's failure, not "no device") and the cause decided
# by asking whether the drive is still there (gone); and under quorvel-flash,
# which says "went away at block 3 of 6", records it as gone, asks for no
# restart although --restart was given, and does not hang. Plugged in again
# (the drive starts again), `quorvel-flash list` finds it and a new write
# goes through in full, byte for byte.
budget=150

scenario() {
  desktop_bus
  make_usb_drive usb-u QUORVEL CDRW-4824A 1.00 --slow 1500 || exit 1
  local i node drive writer status
  # The blocks the drive has answered since it last started.
  answered() { awk '/^start /{ n = 0 } / download=/{ n++ } END { print n + 0 }' "$out/usb-u.record"; }
  # plug_again: the drive connected again; its nodes once the old ones are gone.
  plug_again() {
    local old=$1
    for ((i = 0; i < 100; i++)); do [ ! -e "/sys/class/scsi_generic/$old" ] && break; sleep 0.1; done
    usb_plug usb-u
    plugged_node usb-u CDRW-4824A
    say "usb-unplug plugged again node=$(node_of usb-u) block=$(sr_at "$(node_of usb-u)")"
  }
  # Block 3 in the drive's hands (1.5 s a block).
  unplug_at_3() {
    usb_block_in_hand usb-u 3 || say "usb-unplug block 3 never came"
    usb_unplug usb-u
    say "usb-unplug unplugged after $(answered) blocks"
  }

  kill -USR1 "$(handler_pid usb-u)"
  node=$(node_of usb-u)
  timeout 120 "$guest" gone "QUORVEL CDRW-4824A" 6 >"$work/gone.out" 2>&1 &
  local gone=$!
  unplug_at_3
  wait "$gone"
  status=$?
  cat "$work/gone.out"
  say "usb-unplug guest exit=$status"
  plug_again "$node"

  mkdir -p "$work/state"
  "$build/bin/quorvel-mkimage" --quiet --model "QUORVEL CDRW-4824A" --version 1.20 --block-kb 64 --blocks 6 \
    "$out/FW-G.BIN"
  cp "$out/FW-G.BIN" "$work/state/"
  drive=$(drive_at CDRW-4824A)
  node=$(node_of usb-u)
  as_root "$work/state" write FW-G.BIN --drive "$drive" --yes --restart </dev/null >"$out/write.out" 2>"$out/write.log" &
  writer=$!
  unplug_at_3
  wait "$writer"
  status=$?
  say "usb-unplug write exit=$status node-gone=$([ -e "/sys/class/scsi_generic/$node" ] && echo 0 || echo 1) reboots=$(reboots)"
  cp "$work/state/quorvel/flashes.jsonl" "$out/gone-flashes.jsonl" 2>/dev/null || true
  rm -f "$work/state/quorvel/flashes.jsonl"

  kill -USR2 "$(handler_pid usb-u)"
  plug_again "$node"
  as_root "$work/state" list >"$out/list.out" 2>&1
  drive=$(drive_at CDRW-4824A)
  as_root "$work/state" write FW-G.BIN --drive "$drive" --yes </dev/null >"$out/again.out" 2>"$out/again.log"
  say "usb-unplug again drive=$drive exit=$?"
  cp "$work/state/quorvel/flashes.jsonl" "$out/again-flashes.jsonl" 2>/dev/null || true
  e2e_stop
}

check() {
  local record="$out/usb-u.record" gone_at b line
  # The guest program: blocks 1 and 2 taken; block 3 ended with the adapter's
  # failure (the kernel's DID_ERROR), decided gone by asking; every later
  # block and the INQUIRY after them find no device.
  expect '^QV gone held=1$'
  expect '^QV gone block 1 status=01 hastat=00 kind=none asked=none$'
  expect '^QV gone block 2 status=01 hastat=00 kind=none asked=none$'
  line=$(line_of '^QV gone block 3 ')
  [[ "$line" =~ ^QV\ gone\ block\ 3\ status=(04|82)\ hastat=[0-9A-F]{2}\ kind=[a-z]+\ asked=gone$ ]] ||
    fail "block 3, in flight when the drive was unplugged, was not decided gone: '$line'"
  for ((b = 4; b <= 6; b++)); do expect "^QV gone block $b status=82 hastat=00 kind=gone asked=gone\$"; done
  expect '^QV gone inquiry status=82$'
  expect '^QV-GUEST usb-unplug guest exit=0$'
  say "usb-unplug: the block in flight: ${line#QV gone }"

  # quorvel-flash: gone at block 3 of 6, recorded so, no restart, no hang.
  expect '^QV-GUEST usb-unplug write exit=1 node-gone=1 reboots=0$'
  local said='quorvel-flash: DOWNLOAD FAIL!! The drive went away at block 3 of 6 (unplugged, reset or switched off). Connect it again and write the same image again; restart the computer if it does not come back.'
  grep -qxF "$said" "$out/write.log" || fail "quorvel-flash did not say the drive went away at block 3: $(cat "$out/write.log")"
  ! grep -q 'asking the system for the restart\|no restart was requested' "$out/write.log" ||
    fail "a restart was spoken of for a drive that went away: $(cat "$out/write.log")"
  record_says "$out/gone-flashes.jsonl" '
assert [e["event"] for e in events] == ["started", "gone"], events
assert (events[0]["block"], events[0]["pid"] > 0) == (0, True), events[0]
assert (events[1]["block"], events[1]["cause"]) == (3, "gone"), events[1]
' || fail "the flash was recorded otherwise: $(cat "$out/gone-flashes.jsonl" 2>/dev/null)"
  say "usb-unplug: $(grep 'DOWNLOAD FAIL' "$out/write.log")"

  # The drive's side: started three times (made, and plugged in twice); in
  # the second run the flash's blocks 1 and 2, block 3 in its hands when it
  # was unplugged, and nothing after; in the third the new write, whole.
  [ "$(grep -c '^start ' "$record")" = 3 ] || fail "the drive did not start three times: $(grep -c '^start ' "$record")"
  local second third
  second=$(awk '/^start /{n++} n == 2' "$record")
  third=$(awk '/^start /{n++} n == 3' "$record")
  local taken
  taken=$(grep -c ' download=' <<<"$second")
  [ "$taken" -ge 2 ] && [ "$taken" -le 3 ] || fail "not two or three blocks reached the drive: $(outcomes <(echo "$second"))"
  [ "$(sent <(echo "$second"))" = "$(planned "$out/FW-G.BIN" 64 6 12 | head -n "$taken")" ] ||
    fail "the drive had other blocks than the flash's first ones before it was unplugged: $(sent <(echo "$second"))"
  grep -q 'usb unbind' <<<"$second" || fail "the drive was not unplugged"
  grep -qE '^[0-9]+:0 +QUORVEL +CDRW-4824A +1\.00 usb$' "$out/list.out" || fail "list did not find the drive plugged in again: $(cat "$out/list.out")"
  expect '^QV-GUEST usb-unplug again drive=[0-9]+:0 exit=0$'
  [ "$(sent <(echo "$third"))" = "$(planned "$out/FW-G.BIN" 64 6 12)" ] ||
    fail "the write after the drive came back did not reach it byte for byte:$(printf '\n%s' "$(sent <(echo "$third"))")"
  [ "$(outcomes <(echo "$third"))" = "$(numbered 1 first next next next next final=1.20)" ] ||
    fail "the drive took the write after it came back otherwise:$(printf '\n%s' "$(outcomes <(echo "$third"))")"
  grep -qx 'quorvel-flash: DOWNLOAD OK!! The drive at [0-9]*:0 accepted all 6 blocks; a restart finishes the update\.' "$out/again.log" ||
    fail "the write after the drive came back: $(cat "$out/again.log")"
  say "usb-unplug: plugged in again: $(grep 'DOWNLOAD OK' "$out/again.log")"
}
