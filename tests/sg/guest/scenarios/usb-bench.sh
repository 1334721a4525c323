# shellcheck shell=bash
# What a flash over USB costs beside the drive's own time: a whole download
# (4 blocks) held by the manager through ExecuteScsiCommand, as the flash's
# process sends it, to a drive behind USB that takes 1.5 s a block: the
# flash's wall time from the hold's take to the last block's answer against
# the drive's own 6 s (a figure, not a check: bench/README.md).
budget=90

scenario() {
  make_usb_drive usb-b QVTEST "USB BENCH" 0100 --slow 1500 || exit 1
  kill -USR1 "$(handler_pid usb-b)"
  "$guest" hold-flash "QVTEST  USB BENCH" 4 exclusive 2>&1
}

check() {
  expect '^QV hold-flash exclusive answer=1 statuses=01,01,01,01$'
  expect '^QV bench-hold exclusive take_us=[0-9]+ median_take_us=[0-9]+ flash_ms=[0-9]+$'
  [ "$(grep -c ' download=' "$out/usb-b.record")" = 4 ] || fail "the drive did not take the four blocks"
  local ms
  ms=$(sed -n 's/^QV bench-hold exclusive .* flash_ms=\([0-9]*\)$/\1/p' "$log")
  say "usb-bench: the flash over USB $ms ms against the drive's own 6000 ms: $(awk -v m="${ms:-0}" 'BEGIN { printf "%.3f", m / 6000 }') times"
}
