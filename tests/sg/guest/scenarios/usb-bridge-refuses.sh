# shellcheck shell=bash
# A USB bridge that passes no download command to its drive: it fails the
# first block (a failed status wrapper) and gives ILLEGAL REQUEST, INVALID
# COMMAND OPERATION CODE on the REQUEST SENSE the host sends after it.
# quorvel-flash says the decoded sense and the USB advice, records the
# refusal with its sense, and sends nothing more.
budget=90

scenario() {
  desktop_bus
  make_usb_drive usb-r QUORVEL CDRW-4824A 1.00 --bridge-refuses || exit 1
  mkdir -p "$work/state"
  "$build/bin/quorvel-mkimage" --quiet --model "QUORVEL CDRW-4824A" --version 1.20 --block-kb 64 --blocks 4 \
    "$work/state/FW-R.BIN"
  local drive
  drive=$(drive_at CDRW-4824A)
  as_root "$work/state" write FW-R.BIN --drive "$drive" --yes </dev/null >"$out/write.out" 2>"$out/write.log"
  say "usb-refusal exit=$? drive=$drive"
  cp "$work/state/quorvel/flashes.jsonl" "$out/flashes.jsonl" 2>/dev/null || true
  e2e_stop
}

check() {
  expect '^QV-GUEST usb-refusal exit=1 drive=[0-9]+:0$'
  local said='quorvel-flash: DOWNLOAD FAIL!! The drive refused block 1 of 4. The drive said: ILLEGAL REQUEST, invalid command operation code (5/20/00). This drive is connected through USB; many USB adapters do not pass firmware commands. Connect it to a SATA port and try again. Nothing more was sent to it; it may need attention.'
  grep -qxF "$said" "$out/write.log" || fail "quorvel-flash did not say the bridge's sense and the advice: $(cat "$out/write.log")"
  # One download command reached the bridge, refused, and its sense asked
  # for; nothing of the flash after it, and nothing reached the drive.
  local record="$out/usb-r.record"
  [ "$(grep -c 'cdb=ff' "$record")" = 1 ] || fail "the bridge had more than the first block: $(grep 'cdb=ff' "$record")"
  grep -qE '^seq=[0-9]+ cdb=ff0001000000000000000000 data=65536 bridge=refused status=02 sense=05/20/00$' "$record" ||
    fail "the first block did not reach the bridge as sent: $(grep 'cdb=ff' "$record")"
  [ "$(sed -n '/bridge=refused/{n;p}' "$record" | sed -E 's/^seq=[0-9]+ //')" = \
    'cdb=030000001200 data=18 bridge=sense in=18 status=00 sense=05/20/00' ] ||
    fail "the host did not ask the refusal's sense next: $(sed -n '/bridge=refused/{n;p}' "$record")"
  ! grep -q ' download=' "$record" || fail "a download command reached the drive behind the bridge"
  record_says "$out/flashes.jsonl" '
refused = [e for e in events if e["event"] == "refused"]
assert len(refused) == 1 and (refused[0]["block"], refused[0]["cause"]) == (1, "refused"), events
assert refused[0]["sense"].startswith("7000050000000"), refused[0]
assert refused[0]["sense"][24:28] == "2000", refused[0]
assert refused[0]["detail"] == "The drive said: ILLEGAL REQUEST, invalid command operation code (5/20/00).", refused[0]
' || fail "the refusal was recorded otherwise: $(cat "$out/flashes.jsonl" 2>/dev/null)"
  say "usb-bridge-refuses: $(grep 'DOWNLOAD FAIL' "$out/write.log")"
}
