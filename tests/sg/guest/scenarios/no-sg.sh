# shellcheck shell=bash
# Discovery before the sg driver is loaded: no adapter, and standard error
# says why and what to do, naming the CD/DVD drives the kernel sees.
budget=60

scenario() {
  rmmod sg || fail "the sg driver cannot be unloaded"
  "$guest" no-sg 2>&1
  load_module sg
  local i
  for ((i = 0; i < 100; i++)); do [ "$(ls /dev | grep -c '^sg[0-9]')" -ge 3 ] && break; sleep 0.1; done
  say "no-sg nodes again: $(ls /dev | grep -c '^sg[0-9]')"
}

check() {
  expect '^QV no-sg support adapters=0 status=E8$'
  expect '^quorvel: the CD/DVD drives sr[0-9] \(QEMU QEMU CD-ROM\), sr[0-9] \(QVTEST SGDEBUG DVD-ROM\) cannot be reached: the SCSI generic driver \(sg\) is not loaded\. Load it with: sudo modprobe sg$'
  expect '^QV-GUEST no-sg nodes again: 3$'
}
