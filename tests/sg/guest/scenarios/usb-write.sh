# shellcheck shell=bash
# A CD/DVD drive in a USB enclosure (the test's bridge, quorvel-usb-drive,
# on the kernel's software USB controller), bound by the kernel's own
# usb-storage as any enclosure is: it gets an sr and an sg node, its sysfs
# path runs through the controller's bus, `quorvel-flash list` says usb, and
# a whole `quorvel-flash write` reaches the drive byte for byte (the drive
# model's hash of every block), the drive held exclusively meanwhile (the
# kernel's polling, every 100 ms, is not heard between the first block and
# the last), and the flash is recorded.
budget=90

scenario() {
  desktop_bus
  make_usb_drive usb-a QUORVEL CDRW-4824A 1.00 --slow 1000 || exit 1
  local node sr drive writer status ids holder
  node=$(node_of usb-a)
  sr=$(sr_at "$node")
  say "usb-write path $(realpath "/sys/class/scsi_generic/$node/device")"
  say "usb-write max_sectors_kb=$(cat "/sys/block/$sr/queue/max_sectors_kb")"
  mkdir -p "$work/state"
  as_root "$work/state" list >"$out/list.out" 2>&1
  "$build/bin/quorvel-mkimage" --quiet --model "QUORVEL CDRW-4824A" --version 1.20 --block-kb 64 --blocks 5 \
    "$out/FW-U.BIN"
  cp "$out/FW-U.BIN" "$work/state/"
  drive=$(drive_at CDRW-4824A)
  echo 100 >"/sys/block/$sr/events_poll_msecs"
  ids=$(lock_ids_at "$node")
  kill -USR1 "$(handler_pid usb-a)"
  as_root "$work/state" write FW-U.BIN --drive "$drive" --yes </dev/null >"$out/write.out" 2>"$out/write.log" &
  writer=$!
  answered() { [ "$(downloads usb-a)" -ge 2 ]; }
  local i
  for ((i = 0; i < 300; i++)); do answered && break; sleep 0.1; done
  holder=$(lock_holder "${ids%% *}")
  say "usb-write process $(about_flash "$holder" "$ids")"
  wait "$writer"
  status=$?
  kill -USR2 "$(handler_pid usb-a)"
  say "usb-write drive=$drive exit=$status downloads=$(downloads usb-a)"
  cp "$work/state/quorvel/flashes.jsonl" "$out/flashes.jsonl" 2>/dev/null || true
  e2e_stop
}

check() {
  expect '^QV-GUEST drive usb-a QUORVEL CDRW-4824A 1\.00 usb=480 node=sg[0-9]+ block=sr[0-9]+$'
  expect '^QV-GUEST usb-write path /sys/devices/platform/dummy_hcd\.0/usb[0-9]+/[0-9-]+/[0-9-]+:1\.0/host[0-9]+/target[0-9:]+/[0-9:]+$'
  local kb
  kb=$(field '^QV-GUEST usb-write max_sectors_kb=' max_sectors_kb)
  [ -n "$kb" ] && [ "$kb" -ge 64 ] || fail "a 64 KiB block does not fit in one command: max_sectors_kb=$kb"
  grep -qE '^[0-9]+:0 +QUORVEL +CDRW-4824A +1\.00 usb$' "$out/list.out" 2>/dev/null ||
    fail "quorvel-flash list does not say usb for the drive: $(cat "$out/list.out" 2>/dev/null)"
  expect '^QV-GUEST usb-write drive=[0-9]+:0 exit=0 downloads=5$'
  expect "^QV-GUEST usb-write process exe=$build/bin/quorvel-transfer uid=0 manager=$build/bin/libwnaspi32\\.so\\.1 sg=held sr=held\$"
  local record="$out/usb-a.record" between_blocks
  [ "$(sent "$record")" = "$(planned "$out/FW-U.BIN" 64 5 12)" ] ||
    fail "the USB drive received other commands than the image's blocks:$(printf '\n%s' "$(sent "$record")") -- expected:$(printf '\n%s' "$(planned "$out/FW-U.BIN" 64 5 12)")"
  [ "$(outcomes "$record")" = "$(numbered 1 first next next next final=1.20)" ] ||
    fail "the USB drive took the download otherwise:$(printf '\n%s' "$(outcomes "$record")")"
  # Held exclusively: between the first block and the last, nothing but the blocks.
  between_blocks=$(awk '/ download=| usb arrived / { if (!first) first = NR; last = NR; next } { lines[NR] = $0 }
    END { for (n in lines) if (n + 0 > first && n + 0 < last) print lines[n] }' "$record")
  [ -z "$between_blocks" ] || fail "the USB drive heard more than the blocks during the flash: $between_blocks"
  grep -qx 'quorvel-flash: DOWNLOAD OK!! The drive at [0-9]*:0 accepted all 5 blocks; a restart finishes the update\.' "$out/write.log" ||
    fail "quorvel-flash did not say its result: $(cat "$out/write.log")"
  record_says "$out/flashes.jsonl" '
assert [e["event"] for e in events] == ["started", "accepted", "restart-not-requested"], events
assert (events[1]["model"], events[1]["revision"], events[1]["version"], events[1]["file"]) == ("CDRW-4824A", "1.00", "1.20", "FW-U.BIN"), events[1]
' || fail "the USB drive's flash was recorded otherwise: $(cat "$out/flashes.jsonl" 2>/dev/null)"
  grep -E '^quorvel-flash: (block|DOWNLOAD)' "$out/write.log" | sed 's/^/kernel-test: usb-write: /'
}
