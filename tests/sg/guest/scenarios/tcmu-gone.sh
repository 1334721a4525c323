# shellcheck shell=bash
# A virtual drive whose LUN is unlinked in configfs while its download runs:
# the kernel removes the device; the blocks before the unlink are taken, and
# from the first that is not, every block and the INQUIRY after them find no
# device (SS_NO_DEVICE), at once. The same through quorvel-flash: said,
# recorded as gone, no restart asked, no hang.
budget=120

scenario() {
  desktop_bus
  make_drive drive-e QVTEST "VIRTUAL GONE" 0100 "" --slow 1500 || exit 1
  kill -USR1 "$(handler_pid drive-e)"
  timeout 120 "$guest" gone "QVTEST  VIRTUAL GONE" 6 >"$work/gone.out" 2>&1 &
  local gone=$! i status drive writer
  for ((i = 0; i < 300; i++)); do [ "$(downloads drive-e)" -ge 2 ] && break; sleep 0.1; done
  unlink_lun drive-e
  wait "$gone"
  status=$?
  cat "$work/gone.out"
  say "gone exit=$status downloads=$(downloads drive-e)"
  # The same through quorvel-flash: drive-f's LUN unlinked once it has taken
  # two blocks of the flash's process.
  make_drive drive-f QVTEST "VIRTUAL LEFT" 0100 "" --slow 1500 || exit 1
  kill -USR1 "$(handler_pid drive-f)"
  mkdir -p "$work/state"
  "$build/bin/quorvel-mkimage" --quiet --model "QVTEST  VIRTUAL LEFT" --version 2.00 --block-kb 64 --blocks 6 \
    "$work/state/FW-G.BIN"
  drive=$(drive_at "VIRTUAL LEFT")
  as_root "$work/state" write FW-G.BIN --drive "$drive" --yes --restart </dev/null >"$out/gone-write.out" 2>"$out/gone-write.log" &
  writer=$!
  for ((i = 0; i < 300; i++)); do [ "$(downloads drive-f)" -ge 2 ] && break; sleep 0.1; done
  unlink_lun drive-f
  wait "$writer"
  say "gone write exit=$? downloads=$(downloads drive-f)"
  cp "$work/state/quorvel/flashes.jsonl" "$out/gone-flashes.jsonl" 2>/dev/null || true
  e2e_stop
}

check() {
  expect '^QV gone held=1$'
  local gone_at b want left_at
  gone_at=$(sed -n 's/^QV gone block \([0-9]*\) status=82 hastat=00 kind=gone asked=gone$/\1/p' "$log" | head -n1)
  [ -n "$gone_at" ] && [ "$gone_at" -ge 3 ] || fail "drive-e did not go away at block 3 or later: $(grep '^QV gone' "$log" | tr '\n' ' ')"
  for ((b = 1; b <= 6; b++)); do
    if [ -n "$gone_at" ] && ((b < gone_at)); then want='status=01 hastat=00 kind=none asked=none'
    else want='status=82 hastat=00 kind=gone asked=gone'; fi
    expect "^QV gone block $b $want\$"
  done
  expect '^QV gone inquiry status=82$'
  expect '^QV gone released=2$'
  expect '^QV-GUEST gone exit=0 '
  say "drive-e went away at block ${gone_at:-?} of 6"
  # Through quorvel-flash: said, recorded as gone, no restart asked, no hang.
  left_at=$(sed -n 's/^quorvel-flash: DOWNLOAD FAIL!! The drive went away at block \([0-9]\) of 6 (unplugged, reset or switched off)\. Connect it again and write the same image again; restart the computer if it does not come back\.$/\1/p' \
    "$out/gone-write.log" 2>/dev/null)
  [ -n "$left_at" ] && [ "$left_at" -ge 3 ] || fail "quorvel-flash did not say drive-f went away: $(cat "$out/gone-write.log" 2>/dev/null)"
  expect '^QV-GUEST gone write exit=1 '
  python3 - "$out/gone-flashes.jsonl" "$left_at" <<'PY' || fail "drive-f's flash was recorded otherwise: $(cat "$out/gone-flashes.jsonl" 2>/dev/null)"
import json, sys
events = [json.loads(line) for line in open(sys.argv[1])]
assert [e["event"] for e in events] == ["started", "gone"], events
assert (events[0]["block"], events[0]["pid"] > 0) == (0, True), events[0]
assert (events[1]["block"], events[1]["cause"]) == (int(sys.argv[2]), "gone"), events[1]
PY
  ! grep -q 'asking the system for the restart\|no restart was requested' "$out/gone-write.log" ||
    fail "a restart was spoken of for a drive that went away: $(cat "$out/gone-write.log")"
}
