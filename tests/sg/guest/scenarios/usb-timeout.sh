# shellcheck shell=bash
# A USB bridge that stops answering: it takes block 2 and gives no status
# for it. The download command goes out with the time limit the manager
# gives a drive behind USB (two minutes; the test's preloaded shim,
# SgTimeoutShim.cpp, writes it down and lets the kernel wait 5 s instead);
# the kernel gives up on the command and usb-storage resets the device's USB
# port (not the Bulk-Only reset). quorvel-flash tells the time-out, sends no
# block after it, and does not hang; the drive answers again after the reset.
budget=90

scenario() {
  desktop_bus
  make_usb_drive usb-t QUORVEL CDRW-4824A 1.00 --silent-at 2 || exit 1
  mkdir -p "$work/state"
  "$build/bin/quorvel-mkimage" --quiet --model "QUORVEL CDRW-4824A" --version 1.20 --block-kb 64 --blocks 5 \
    "$work/state/FW-T.BIN"
  local drive started
  drive=$(drive_at CDRW-4824A)
  dmesg -c >/dev/null
  started=$SECONDS
  LD_PRELOAD=$build/tests/sg/guest/libqv_sg_timeout.so QV_SG_TIMEOUT_MS=5000 QV_SG_TIMEOUT_LOG=$out/timeouts \
    as_root "$work/state" write FW-T.BIN --drive "$drive" --yes </dev/null >"$out/write.out" 2>"$out/write.log"
  say "usb-timeout exit=$? seconds=$((SECONDS - started))"
  dmesg | grep -E 'usb [0-9-]+: reset' | sed 's/^\[ *[0-9.]*\] /QV-GUEST usb-timeout kernel: /'
  "$guest" hold "QUORVEL CDRW-4824A" 2>&1
  cp "$work/state/quorvel/flashes.jsonl" "$out/flashes.jsonl" 2>/dev/null || true
  e2e_stop
}

check() {
  expect '^QV-GUEST usb-timeout exit=1 seconds=[0-9]+$'
  expect '^QV-GUEST usb-timeout kernel: usb [0-9-]+: reset high-speed USB device number [0-9]+ using dummy_hcd$'
  # The limit the manager chose for each download command to the drive
  # behind USB: two minutes, one line a command (blocks 1 and 2).
  [ "$(cat "$out/timeouts" 2>/dev/null)" = "$(printf 'ff 120000\nff 120000')" ] ||
    fail "the download commands did not go out with the USB bridge's two minutes: $(cat "$out/timeouts" 2>/dev/null)"
  local said='quorvel-flash: DOWNLOAD FAIL!! The drive refused block 2 of 5. The drive did not answer in time. Nothing more was sent to it; it may need attention.'
  grep -qxF "$said" "$out/write.log" || fail "quorvel-flash did not tell the time-out: $(cat "$out/write.log")"
  local record="$out/usb-t.record" after
  [ "$(outcomes "$record")" = "$(numbered 1 first)" ] || fail "the drive took otherwise: $(outcomes "$record")"
  grep -qE '^seq=[0-9]+ cdb=ff00010000ff000000000000 data=65536 received=65536 bridge=silent$' "$record" ||
    fail "block 2 did not reach the bridge that stops answering: $(grep 'cdb=ff' "$record")"
  after=$(sed -n '/bridge=silent/,$p' "$record" | tail -n +2)
  ! grep -q 'cdb=ff' <<<"$after" || fail "a block was sent after the time-out: $(grep 'cdb=ff' <<<"$after")"
  grep -q 'usb disable' <<<"$after" && grep -q 'usb enable' <<<"$after" || fail "the host did not reset the device after the time-out"
  ! grep -q 'usb bot-reset' "$record" || fail "usb-storage sent the Bulk-Only reset"
  grep -qE 'cdb=120000002400 .* status=00$' <<<"$after" || fail "the drive was not asked whether it is still there"
  # The drive is still the host's after the reset: the next hold takes it.
  expect '^QV hold answer=1 detail=""$'
  record_says "$out/flashes.jsonl" '
refused = [e for e in events if e["event"] == "refused"]
assert len(refused) == 1 and (refused[0]["block"], refused[0]["cause"]) == (2, "timeout"), events
assert refused[0]["detail"] == "The drive did not answer in time.", refused[0]
' || fail "the time-out was recorded otherwise: $(cat "$out/flashes.jsonl" 2>/dev/null)"
  say "usb-timeout: $(grep 'DOWNLOAD FAIL' "$out/write.log") ($(field '^QV-GUEST usb-timeout exit=' seconds) s, the kernel waiting 5 s)"
  grep '^QV-GUEST usb-timeout kernel:' "$log" | sed 's/^QV-GUEST /kernel-test: /'
}
