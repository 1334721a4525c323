# shellcheck shell=bash
# A virtual drive whose handler dies with a download command in hand: the
# command fails once the kernel's target gives up on it (after the second
# the test gives the backstore), long before the manager's 10 minutes; the
# next command fails too; nothing hangs.
budget=60

scenario() {
  make_drive drive-c QVTEST "VIRTUAL DIES" 0100 1 --die-at 2 || exit 1
  "$guest" dies "QVTEST  VIRTUAL DIES" 2>&1
  say "dies exit=$?"
}

check() {
  # The base world's two CD/DVD drives and this one.
  expect '^QV dies drives=3 found=1$'
  expect '^QV dies first status=01$'
  expect '^QV dies-next 1 status=04 '
  expect '^QV dies-inquiry 2 status=04 '
  expect '^QV dies seconds next=[0-9.]+ inquiry=[0-9.]+ limit=600$'
  grep -q ' download=2 dies$' "$out/drive-c.record" 2>/dev/null || fail "drive-c's handler did not die at its second download"
  grep -E '^QV dies(-next| seconds)' "$log" | sed 's/^QV /kernel-test: /' || true
}
