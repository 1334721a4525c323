# shellcheck shell=bash
# The desktop user's window flashing a virtual drive (at 1.20, slowed to
# 1.5 s a block) by autorun is killed (SIGKILL, its process alone) once the
# drive has answered the second block. The flash's process, in a session of
# its own, sends the rest, records the flash and lets the drive go (the
# window's standard error, which it then lets go of, has only its line that
# the download goes on); no restart is asked for, and the
# drive is not started again.
budget=120

scenario() {
  desktop_home
  desktop_bus
  make_drive drive-a QUORVEL CDRW-4824A 1.20 "" --slow 1500 || exit 1
  desktop_access
  mkdir -p "$work/kill" "$work/kill-state"
  cp "$images/FW-K.BIN" "$work/kill/AUTORUN.BIN"
  chmod -R a+rX "$work/kill"
  chown 1000:1000 "$work/kill-state"
  local reboots_before ids prompt window_exe at_kill
  reboots_before=$(reboots)
  ids=$(lock_ids CDRW-4824A)
  answered() { [ "$(downloads drive-a)" -ge "$1" ]; }
  kill -USR1 "$(handler_pid drive-a)"
  QUORVEL_STATE_HOME=$work/kill-state start_program --bare "$work/kill" "$out/program-kill.log" "" "${desktop[@]}"
  prompt=$(wait_window MESSAGE 120) || fail "no start prompt came for the flash to be cut"
  phase kill-prompt
  answer "$prompt"
  window_exe=$(readlink "/proc/$program_pid/exe")
  poll 60 answered 1 || fail "no block reached the drive from the window to be killed"
  flash_child "$program_pid"
  poll 60 answered 2 || fail "the second block did not reach the drive"
  kill -KILL "$program_pid"
  at_kill=$(downloads drive-a)
  # Its flash's process, now without the window, as it goes on.
  say "kill process $(about_flash "$flash_pid" "$ids")"
  wait "$program_pid" 2>/dev/null
  program_pid=""
  wait_transfers 60 || fail "the flash's process did not end after its window was killed"
  kill -USR2 "$(handler_pid drive-a)"
  say "kill window=$window_exe downloads-at-kill=$at_kill downloads=$(downloads drive-a) reboots-before=$reboots_before reboots=$(reboots)"
  say "kill locks after $(locks CDRW-4824A)"
  cp "$work/kill-state/quorvel/flashes.jsonl" "$out/kill-flashes.jsonl"
  e2e_stop
}

check() {
  # The window's flash's process took the blocks, the window was killed once
  # the drive had answered the second and before it had the final one, and
  # still every block reached the drive as the image plans it; the window's
  # standard error has the process's line that the download goes on and
  # nothing more (the process then lets go of it); the flash is recorded
  # started, accepted with all 4 blocks, then unattended, and no restart was
  # asked for; afterwards the drive's nodes could be locked again.
  flash_process_is kill
  local line killed
  line=$(grep -E '^QV-GUEST kill window=' "$log" | head -n1)
  if [[ "$line" =~ ^QV-GUEST\ kill\ window=([^ ]*)\ downloads-at-kill=([0-9]+)\ downloads=([0-9]+)\ reboots-before=([0-9]+)\ reboots=([0-9]+)$ ]]; then
    killed=("${BASH_REMATCH[@]}")
    [ "${killed[1]}" = "$build/bin/quorvel" ] || fail "what was killed was not the window: ${killed[1]}"
    [ "${killed[2]}" = 2 ] || [ "${killed[2]}" = 3 ] ||
      fail "the window was killed with ${killed[2]} blocks answered, not 2 or 3 of 4"
    [ "${killed[3]}" = 4 ] || fail "the drive got ${killed[3]} blocks of 4 after the window was killed"
    [ "${killed[4]}" = "${killed[5]}" ] || fail "a restart was asked for after the window was killed: $line"
  else
    fail "no report of the killed window: '$line'"
  fi
  expect '^QV-GUEST kill locks after sr=free sg=free$'
  local record="$out/drive-a.record"
  if [ -f "$record" ]; then
    [ "$(sent "$record")" = "$(planned "$work/images/FW-K.BIN" 64 4)" ] ||
      fail "the drive received other commands than the image's blocks once the window was killed:$(printf '\n%s' "$(sent "$record")") -- expected:$(printf '\n%s' "$(planned "$work/images/FW-K.BIN" 64 4)")"
    [ "$(outcomes "$record")" = "$(numbered 1 first next next final=1.40)" ] ||
      fail "the drive took the killed window's download otherwise:$(printf '\n%s' "$(outcomes "$record")")"
    [ "$(grep -c '^start ' "$record")" = 1 ] || fail "the drive was started again"
  else
    fail "no record of the killed window's flash"
  fi
  [ "$(told_in kill)" = 'quorvel: the window is gone: the download goes on until the drive has answered its final block.' ] ||
    fail "the killed window's standard error said otherwise:$(printf '\n%s' "$(told_in kill)")"
  python3 - "$out/kill-flashes.jsonl" <<'PY' || fail "the killed window's flash was recorded otherwise: $(cat "$out/kill-flashes.jsonl" 2>/dev/null)"
import json, sys
lines = [json.loads(line) for line in open(sys.argv[1])]
assert len({r["flash"] for r in lines}) == 1, lines
assert [r["event"] for r in lines] == ["started", "accepted", "unattended"], lines
assert (lines[1]["block"], lines[1]["blocks"]) == (4, 4), lines[1]
assert (lines[2]["detail"], lines[2]["version"], lines[2]["model"]) == ("the window was gone", "1.40", "CDRW-4824A"), lines[2]
PY
}
