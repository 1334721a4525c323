# shellcheck shell=bash
# QEMU's IDE CD-ROM on its AHCI controller, driven by the kernel's libata
# (ahci): `quorvel-flash list` says ata for it, and its refusal of the
# download command (ILLEGAL REQUEST, INVALID COMMAND OPERATION CODE, asked
# for by libata after the command) is said in the library's words, with no
# USB advice.
budget=60

scenario() {
  load_module ahci
  local i drive
  for ((i = 0; i < 150; i++)); do [ -n "$(sg_of "QEMU DVD-ROM")" ] && [ -n "$(sr_of "QEMU DVD-ROM")" ] && break; sleep 0.1; done
  say "ata node=$(sg_of "QEMU DVD-ROM") block=$(sr_of "QEMU DVD-ROM") path=$(realpath "/sys/class/scsi_generic/$(sg_of "QEMU DVD-ROM")/device")"
  mkdir -p "$work/state"
  as_root "$work/state" list >"$out/list.out" 2>&1
  "$guest" cause "QEMU    QEMU DVD-ROM" 2>&1
  "$build/bin/quorvel-mkimage" --quiet --model "QEMU    QEMU DVD-ROM" --version 3.00 --block-kb 64 --blocks 2 \
    "$work/state/FW-A.BIN"
  drive=$(drive_at "QEMU DVD-ROM")
  as_root "$work/state" write FW-A.BIN --drive "$drive" --yes </dev/null >"$out/write.out" 2>"$out/write.log"
  say "ata write exit=$?"
  cp "$work/state/quorvel/flashes.jsonl" "$out/flashes.jsonl" 2>/dev/null || true
}

check() {
  expect '^QV-GUEST ata node=sg[0-9]+ block=sr[0-9]+ path=/sys/devices/pci[0-9:]+/[0-9a-f:.]+/ata[0-9]+/host[0-9]+/'
  grep -qE '^[0-9]+:0 +QEMU +QEMU DVD-ROM +[^ ]+ ata$' "$out/list.out" ||
    fail "quorvel-flash list does not say ata for the IDE CD-ROM: $(cat "$out/list.out")"
  expect '^QV cause transport=ata status=04 kind=refused sense=[7f][01]00050{9}a0{8}2000$'
  expect '^QV cause said The drive said: ILLEGAL REQUEST, invalid command operation code \(5/20/00\)\.$'
  expect '^QV cause advice=no$'
  expect '^QV-GUEST ata write exit=1$'
  grep -qx 'quorvel-flash: DOWNLOAD FAIL!! The drive refused block 1 of 2\. The drive said: ILLEGAL REQUEST, invalid command operation code (5/20/00)\. Nothing more was sent to it; it may need attention\.' \
    "$out/write.log" || fail "quorvel-flash did not say the ATA drive's sense: $(cat "$out/write.log")"
  record_says "$out/flashes.jsonl" '
refused = [e for e in events if e["event"] == "refused"]
assert len(refused) == 1 and (refused[0]["block"], refused[0]["cause"]) == (1, "refused"), events
' || fail "the refusal was recorded otherwise: $(cat "$out/flashes.jsonl" 2>/dev/null)"
  say "ata-cdrom: $(grep -E ' ata$' "$out/list.out")"
  say "ata-cdrom: $(grep 'DOWNLOAD FAIL' "$out/write.log")"
}
