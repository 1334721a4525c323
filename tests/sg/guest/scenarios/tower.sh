# shellcheck shell=bash
# A tower: quorvel-flash --all, as the desktop user, writes two virtual
# drives of one model (one at 1.20, one at 1.00) at once, each from a flash's
# process of its own (the desktop user's quorvel-transfer over the build's
# manager), both caught in the middle of their blocks at the same moment.
# Both are slowed (1.5 s a block), so that flashes that run at once are
# caught at once in their middle, when each drive's flock is held by the
# flash's process that writes it.
budget=120

scenario() {
  desktop_home
  desktop_bus
  make_drive tower-a QUORVEL CDRW-4824A 1.20 "" --slow 1500 || exit 1
  make_drive tower-d QUORVEL CDRW-4824A 1.00 "" --slow 1500 || exit 1
  desktop_access
  local nodes=("$(node_of tower-a)" "$(node_of tower-d)")
  say "tower drives a=$(adapter_at "${nodes[0]}" desktop):1 d=$(adapter_at "${nodes[1]}" desktop):1"
  mkdir -p "$work/cli" "$work/tower-state"
  chown 1000:1000 "$work/tower-state"
  cp "$images/FW-T.BIN" "$work/cli/"
  chmod -R a+rX "$work/cli"
  local ids=("$(lock_ids_at "${nodes[0]}")" "$(lock_ids_at "${nodes[1]}")")
  kill -USR1 "$(handler_pid tower-a)" "$(handler_pid tower-d)"
  XDG_STATE_HOME=$work/tower-state terminal_user "$work/cli" write FW-T.BIN --all --yes </dev/null \
    >"$out/tower.out" 2>"$out/tower.log" &
  local tower=$! middle="" a d holders status
  # Both in the middle: each has answered a block and not yet its final one.
  while kill -0 "$tower" 2>/dev/null; do
    a=$(downloads tower-a) d=$(downloads tower-d)
    if ((a >= 1 && a <= 2 && d >= 1 && d <= 2)); then
      middle="a=$a d=$d"
      # Both drives' holders at one moment: under a loaded machine, looking
      # at the one may take as long as the other's last blocks.
      cp /proc/locks "$work/locks"
      holders=("$(lock_holder "${ids[0]%% *}" "$work/locks")" "$(lock_holder "${ids[1]%% *}" "$work/locks")")
      say "tower-a process $(about_flash "${holders[0]}" "${ids[0]}" "$work/locks")"
      say "tower-d process $(about_flash "${holders[1]}" "${ids[1]}" "$work/locks")"
      [ "${holders[0]}" != "${holders[1]}" ] && say "tower processes apart"
      break
    fi
    sleep 0.1
  done
  say "tower middle ${middle:-none}"
  wait "$tower"
  status=$?
  wait_transfers 60 || fail "the tower's flash processes did not end"
  cp "$work/tower-state/quorvel/flashes.jsonl" "$out/tower-flashes.jsonl"
  say "tower exit=$status downloads-a=$(downloads tower-a) downloads-d=$(downloads tower-d)"
  e2e_stop
}

check() {
  # Both drives, the two of the image's model, took every block byte for
  # byte, both at once; the table names both accepted, the status is 0, and
  # the record holds one accepted flash a drive.
  expect '^QV-GUEST drive tower-d QUORVEL CDRW-4824A 1\.00 host=[0-9]+:0:1:0 node=sg[0-9]+ '
  expect '^QV-GUEST tower exit=0 downloads-a=3 downloads-d=3$'
  local drive record
  for drive in a d; do
    record="$out/tower-$drive.record"
    if [ -f "$record" ]; then
      [ "$(sent "$record")" = "$(planned "$work/images/FW-T.BIN" 48 3)" ] ||
        fail "tower-$drive received other commands than the tower's image's blocks:$(printf '\n%s' "$(sent "$record")") -- expected:$(printf '\n%s' "$(planned "$work/images/FW-T.BIN" 48 3)")"
      [ "$(outcomes "$record")" = "$(numbered 1 first next final=1.50)" ] ||
        fail "tower-$drive took the tower's download otherwise:$(printf '\n%s' "$(outcomes "$record")")"
    else
      fail "no record of the tower's flash of tower-$drive"
    fi
  done
  flash_process_is tower-a
  flash_process_is tower-d
  expect '^QV-GUEST tower processes apart$'
  expect '^QV-GUEST tower middle a=[12] d=[12]$'
  local tower at_a at_d at told
  tower=$(grep -E '^QV-GUEST tower drives ' "$log" | head -n1)
  if [[ "$tower" =~ ^QV-GUEST\ tower\ drives\ a=([0-9]+:1)\ d=([0-9]+:1)$ ]]; then
    at_a=${BASH_REMATCH[1]} at_d=${BASH_REMATCH[2]}
    [ "$(sed 's/  */ /g' "$out/tower.out" 2>/dev/null)" = "$(printf '%s\n' 'DRIVE MODEL OLD NEW RESULT' \
        "$at_a QUORVEL CDRW-4824A 1.20 1.50 accepted" "$at_d QUORVEL CDRW-4824A 1.00 1.50 accepted")" ] ||
      fail "quorvel-flash --all's table is not both drives accepted:$(printf '\n%s' "$(cat "$out/tower.out" 2>/dev/null)")"
    # Each drive's blocks said on lines of its own, then its result; nothing
    # else but the drives left alone, the start, and no restart.
    for at in "$at_a" "$at_d"; do
      [ "$(grep -E "^quorvel-flash: $at: (block [0-9] of 3 accepted, |DOWNLOAD )" "$out/tower.log" 2>/dev/null |
          sed -E 's/ bytes, [0-9.]+ s$/ bytes/')" = "$(printf "quorvel-flash: $at: %s\n" \
          'block 1 of 3 accepted, 49152 of 131072 bytes' 'block 2 of 3 accepted, 98304 of 131072 bytes' \
          'block 3 of 3 accepted, 131072 of 131072 bytes' 'DOWNLOAD OK!! The drive accepted all 3 blocks.')" ] ||
        fail "quorvel-flash --all did not say $at's blocks and result:$(printf '\n%s' "$(grep -F "$at:" "$out/tower.log")")"
    done
    told=$(grep -vE "^quorvel-flash: (left alone, another model: .*|$nobus|writing firmware 1\.50 into 2 drives at once: 3 blocks, 131072 bytes of FW-T\.BIN each\.|($at_a|$at_d): (block [1-3] of 3 accepted, .*|DOWNLOAD OK!! .*)|$at_a, $at_d: --restart was not given: no restart was requested\. Restart the computer to finish\.)$" \
      "$out/tower.log" 2>/dev/null || true)
    [ -z "$told" ] || fail "quorvel-flash --all was told of a problem: $told"
    python3 - "$out/tower-flashes.jsonl" "$at_a" "$at_d" <<'PY' || fail "quorvel-flash --all's record: $(cat "$out/tower-flashes.jsonl" 2>/dev/null)"
import json, sys
lines = [json.loads(line) for line in open(sys.argv[1])]
accepted = [r for r in lines if r["event"] == "accepted"]
assert sorted(("%d:%d" % (r["adapter"], r["target"]), r["revision"], r["version"], r["model"], r["file"], r["program"])
              for r in accepted) == sorted([(sys.argv[2], "1.20", "1.50", "CDRW-4824A", "FW-T.BIN", "quorvel-flash"),
                                            (sys.argv[3], "1.00", "1.50", "CDRW-4824A", "FW-T.BIN", "quorvel-flash")]), lines
assert len({r["flash"] for r in accepted}) == 2, lines
PY
  else
    fail "no report of the tower's drives: '$tower'"
  fi
}
