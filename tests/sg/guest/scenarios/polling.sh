# shellcheck shell=bash
# The kernel's media polling of a virtual drive, every 100 ms, during a whole
# download (4 blocks of 1.5 s) held by the manager (its exclusive open) and
# held as before it (the block node read-only): whatever its handler records
# between the first download command and the last is the kernel's. And what
# the exclusive open costs: the take before the first block, and the whole
# flash against the drive's own 6 s (figures, not checks: bench/README.md).
budget=120

scenario() {
  make_drive drive-p QVTEST "VIRTUAL POLL" 0100 "" --slow 1500 || exit 1
  echo 100 >"/sys/block/$(sr_of "VIRTUAL POLL")/events_poll_msecs"
  say "polling msecs=$(cat "/sys/block/$(sr_of "VIRTUAL POLL")/events_poll_msecs")"
  kill -USR1 "$(handler_pid drive-p)"
  local mode from
  for mode in exclusive read-only; do
    from=$(($(wc -l <"$out/drive-p.record") + 1))
    "$guest" hold-flash "QVTEST  VIRTUAL POLL" 4 "$mode" 2>&1
    tail -n +"$from" "$out/drive-p.record" >"$out/drive-p.$mode.record"
  done
  kill -USR2 "$(handler_pid drive-p)"
}

check() {
  # polled RECORD: the commands the handler recorded between the first
  # download command and the last that are not the flash's.
  polled() {
    awk '/ download=/ { if (!first) first = NR; last = NR; next } { lines[NR] = 1 }
         END { for (n in lines) if (n + 0 > first && n + 0 < last) count++; print count + 0 }' "$1"
  }
  expect '^QV-GUEST polling msecs=100$'
  expect '^QV hold-flash exclusive answer=1 statuses=01,01,01,01$'
  expect '^QV hold-flash read-only answer=7 statuses=01,01,01,01$'
  local mode exclusive shared
  for mode in exclusive read-only; do
    [ "$(grep -c ' download=' "$out/drive-p.$mode.record" 2>/dev/null)" = 4 ] ||
      fail "drive-p did not record the four blocks held $mode"
  done
  exclusive=$(polled "$out/drive-p.exclusive.record")
  shared=$(polled "$out/drive-p.read-only.record")
  say "polling during a flash of 4 blocks of 1.5 s, every 100 ms: held exclusively $exclusive commands of the kernel's, held read-only $shared"
  [ "$exclusive" = 0 ] || fail "held exclusively, drive-p still heard $exclusive commands of the kernel's: $(awk '!/ download=/' "$out/drive-p.exclusive.record" | head -n 3)"
  [ "$shared" -gt 0 ] || fail "held read-only, the kernel did not poll drive-p at all: the measure shows nothing"
  for mode in exclusive read-only; do
    expect "^QV bench-hold $mode take_us=[0-9]+ median_take_us=[0-9]+ flash_ms=[0-9]+\$"
  done
  grep -E '^QV bench-hold ' "$log" | sed 's/^QV /kernel-test: /' || true
}
