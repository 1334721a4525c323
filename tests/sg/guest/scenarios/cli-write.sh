# shellcheck shell=bash
# quorvel-flash, as the desktop user, lists the drives (--json) and writes
# firmware 1.30 into a virtual drive at 1.20 with --yes (there is no terminal
# here to ask on); the host compares what the drive received with the
# image's plan, and reads the record.
budget=90

scenario() {
  desktop_home
  desktop_bus
  make_drive drive-a QUORVEL CDRW-4824A 1.20 || exit 1
  desktop_access
  mkdir -p "$work/cli"
  "$build/bin/quorvel-mkimage" --quiet --model "QUORVEL CDRW-4824A" --version 1.30 --block-kb 60 --blocks 4 \
    "$out/FW-C.BIN"
  cp "$out/FW-C.BIN" "$work/cli/"
  chmod -R a+rX "$work/cli"
  local drive status
  drive=$(drive_at CDRW-4824A "$(terminal_user "$work/cli" list --json 2>"$out/cli-list.log")")
  terminal_user "$work/cli" write FW-C.BIN --drive "$drive" --yes </dev/null >"$out/cli-write.out" 2>"$out/cli-write.log"
  status=$?
  terminal_user "$work/cli" history --json >"$out/cli-history.json" 2>>"$out/cli-list.log"
  say "cli drive=$drive exit=$status downloads=$(downloads drive-a) reboots=$(reboots)"
  e2e_stop
}

check() {
  expect '^QV-GUEST cli drive=[0-9]+:1 exit=0 downloads=4 reboots=0$'
  local record="$out/drive-a.record" told
  if [ -f "$record" ] && [ -f "$out/FW-C.BIN" ]; then
    [ "$(sent "$record")" = "$(planned "$out/FW-C.BIN" 60 4)" ] ||
      fail "quorvel-flash sent the drive other commands than the image's blocks:$(printf '\n%s' "$(sent "$record")")"
    [ "$(outcomes "$record")" = "$(numbered 1 first next next final=1.30)" ] ||
      fail "the drive took quorvel-flash's download otherwise:$(printf '\n%s' "$(outcomes "$record")")"
  else
    fail "no record of quorvel-flash's flash"
  fi
  grep -q '^quorvel-flash: DOWNLOAD OK!! The drive at [0-9]*:1 accepted all 4 blocks; a restart finishes the update\.$' \
    "$out/cli-write.log" 2>/dev/null || fail "quorvel-flash did not say its result: $(cat "$out/cli-write.log" 2>/dev/null)"
  told=$(cat "$out/cli-write.log" "$out/cli-list.log" 2>/dev/null | grep -vx "quorvel-flash: $nobus" |
    grep -v '^quorvel-flash: \(writing firmware\|block [0-9] of 4 accepted\|DOWNLOAD OK!!\|--restart was not given\)' || true)
  [ -z "$told" ] || fail "quorvel-flash as the desktop user was told of a problem: $told"
  python3 - "$out/cli-history.json" <<'PY' || fail "quorvel-flash's history: $(cat "$out/cli-history.json" 2>/dev/null)"
import json, sys
mine = [r for r in json.load(open(sys.argv[1])) if r["program"] == "quorvel-flash"]
assert [r["event"] for r in mine] == ["started", "accepted", "restart-not-requested"], mine
assert (mine[1]["model"], mine[1]["revision"], mine[1]["version"], mine[1]["file"]) == ("CDRW-4824A", "1.20", "1.30", "FW-C.BIN"), mine[1]
PY
}
