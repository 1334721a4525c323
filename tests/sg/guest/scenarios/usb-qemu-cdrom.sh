# shellcheck shell=bash
# QEMU's USB CD-ROM (its scsi-cd behind usb-bot on the xHCI controller),
# bound by the kernel's usb-storage: its disc mounted, the manager's hold
# refused with the mount point and quorvel-flash's write refused before
# anything is sent; unmounted, it refuses the download command, said in the
# library's words with the USB advice, and its transport is usb.
budget=60

scenario() {
  load_module usb-storage
  local i drive status
  for ((i = 0; i < 100; i++)); do [ -n "$(sg_of USB-CD-ROM)" ] && [ -n "$(sr_of USB-CD-ROM)" ] && break; sleep 0.1; done
  say "usb node=$(sg_of USB-CD-ROM) block=$(sr_of USB-CD-ROM)"
  mkdir -p "/media/qv/QV DISC" "$work/usb-state"
  mount -t iso9660 -o ro "/dev/$(sr_of USB-CD-ROM)" "/media/qv/QV DISC" || say "usb mount failed"
  "$guest" hold "QVUSB   USB-CD-ROM" 2>&1
  "$build/bin/quorvel-mkimage" --quiet --model "QVUSB   USB-CD-ROM" --version 2.00 --block-kb 64 --blocks 2 \
    "$work/usb-state/FW-U.BIN"
  drive=$(drive_at USB-CD-ROM)
  as_root "$work/usb-state" write FW-U.BIN --drive "$drive" --yes </dev/null >"$out/usb-mounted.out" 2>"$out/usb-mounted.log"
  say "usb mounted write exit=$?"
  umount "/media/qv/QV DISC"
  as_root "$work/usb-state" list >"$out/usb-list.out" 2>&1
  "$guest" cause "QVUSB   USB-CD-ROM" 2>&1
  as_root "$work/usb-state" write FW-U.BIN --drive "$drive" --yes </dev/null >"$out/usb-write.out" 2>"$out/usb-write.log"
  status=$?
  say "usb write exit=$status"
  cp "$work/usb-state/quorvel/flashes.jsonl" "$out/usb-flashes.jsonl" 2>/dev/null || true
}

check() {
  expect '^QV-GUEST usb node=sg[0-9]+ block=sr[0-9]+$'
  expect '^QV hold answer=5 detail="/media/qv/QV DISC"$'
  expect '^QV-GUEST usb mounted write exit=2$'
  grep -qF "A disc in this drive is mounted at /media/qv/QV DISC: unmount it or take the disc out, then try again." \
    "$out/usb-mounted.log" 2>/dev/null || fail "quorvel-flash did not name the mount point: $(cat "$out/usb-mounted.log" 2>/dev/null)"
  grep -qE '^[0-9]+:0 +QVUSB +USB-CD-ROM +[^ ]+ usb$' "$out/usb-list.out" 2>/dev/null ||
    fail "quorvel-flash list does not say usb for the USB CD-ROM: $(cat "$out/usb-list.out" 2>/dev/null)"
  expect '^QV cause transport=usb status=04 kind=refused sense=70[0-9a-f]{26}$'
  expect '^QV cause said The drive said: ILLEGAL REQUEST, invalid command operation code \(5/20/00\)\.$'
  expect '^QV cause advice=yes$'
  expect '^QV-GUEST usb write exit=1$'
  grep -qx 'quorvel-flash: DOWNLOAD FAIL!! The drive refused block 1 of 2\. The drive said: ILLEGAL REQUEST, invalid command operation code (5/20/00)\. This drive is connected through USB; many USB adapters do not pass firmware commands\. Connect it to a SATA port and try again\. Nothing more was sent to it; it may need attention\.' \
    "$out/usb-write.log" 2>/dev/null || fail "quorvel-flash did not say the USB drive's sense and the advice: $(cat "$out/usb-write.log" 2>/dev/null)"
  python3 - "$out/usb-flashes.jsonl" <<'PY' || fail "the USB drive's refusal was recorded otherwise: $(cat "$out/usb-flashes.jsonl" 2>/dev/null)"
import json, sys
refused = [json.loads(line) for line in open(sys.argv[1]) if '"refused"' in line][-1]
assert (refused["event"], refused["block"], refused["cause"]) == ("refused", 1, "refused"), refused
sense = bytes.fromhex(refused["sense"])
assert sense[0] & 0x7F in (0x70, 0x71) and sense[2] & 0x0F == 5 and sense[12:14] == b"\x20\x00", refused["sense"]
assert refused["detail"] == "The drive said: ILLEGAL REQUEST, invalid command operation code (5/20/00).", refused
PY
}
