# shellcheck shell=bash
# A USB bridge that stalls its bulk-out endpoint in the middle of block 3 and
# answers a phase error: the kernel's usb-storage clears the stall, reads the
# status, and resets the device's USB port; the command fails with the
# adapter's failure. quorvel-flash asks whether the drive is still there (it
# is: the cause stays the bus's), tells it, sends no block after it, and does
# not hang.
budget=90

scenario() {
  desktop_bus
  make_usb_drive usb-s QUORVEL CDRW-4824A 1.00 --stall-at 3 || exit 1
  mkdir -p "$work/state"
  "$build/bin/quorvel-mkimage" --quiet --model "QUORVEL CDRW-4824A" --version 1.20 --block-kb 64 --blocks 5 \
    "$work/state/FW-S.BIN"
  local drive
  drive=$(drive_at CDRW-4824A)
  dmesg -c >/dev/null
  as_root "$work/state" write FW-S.BIN --drive "$drive" --yes </dev/null >"$out/write.out" 2>"$out/write.log"
  say "usb-stall exit=$?"
  dmesg | grep -E 'usb [0-9-]+: reset' | sed 's/^\[ *[0-9.]*\] /QV-GUEST usb-stall kernel: /'
  cp "$work/state/quorvel/flashes.jsonl" "$out/flashes.jsonl" 2>/dev/null || true
  e2e_stop
}

check() {
  expect '^QV-GUEST usb-stall exit=1$'
  expect '^QV-GUEST usb-stall kernel: usb [0-9-]+: reset high-speed USB device number [0-9]+ using dummy_hcd$'
  local said='quorvel-flash: DOWNLOAD FAIL!! The drive refused block 3 of 5. The drive'"'"'s adapter or bus failed (bus phase error). Nothing more was sent to it; it may need attention.'
  grep -qxF "$said" "$out/write.log" || fail "quorvel-flash did not tell the stall: $(cat "$out/write.log")"
  local record="$out/usb-s.record" after
  [ "$(outcomes "$record")" = "$(numbered 1 first next)" ] || fail "the drive took otherwise: $(outcomes "$record")"
  grep -qE '^seq=[0-9]+ cdb=ff00010000ff000000000000 data=65536 received=16384 bridge=stalled$' "$record" ||
    fail "block 3 was not stalled in its middle: $(grep 'cdb=ff' "$record")"
  # After the stall: the host's reset of the port, then the INQUIRY that asks
  # whether the drive is still there; no download command.
  after=$(sed -n '/bridge=stalled/,$p' "$record" | tail -n +2)
  ! grep -q 'cdb=ff' <<<"$after" || fail "a block was sent after the stall: $(grep 'cdb=ff' <<<"$after")"
  grep -q 'usb disable' <<<"$after" && grep -q 'usb enable' <<<"$after" || fail "the host did not reset the device after the stall"
  ! grep -q 'usb bot-reset' "$record" || fail "usb-storage sent the Bulk-Only reset"
  grep -qE 'cdb=120000002400 .* status=00$' <<<"$after" || fail "the drive was not asked whether it is still there"
  record_says "$out/flashes.jsonl" '
refused = [e for e in events if e["event"] == "refused"]
assert len(refused) == 1 and (refused[0]["block"], refused[0]["cause"]) == (3, "adapter"), events
assert refused[0]["detail"] == "The drive'"'"'s adapter or bus failed (bus phase error).", refused[0]
' || fail "the stall was recorded otherwise: $(cat "$out/flashes.jsonl" 2>/dev/null)"
  say "usb-stall: $(grep 'DOWNLOAD FAIL' "$out/write.log")"
  grep '^QV-GUEST usb-stall kernel:' "$log" | sed 's/^QV-GUEST /kernel-test: /'
}
