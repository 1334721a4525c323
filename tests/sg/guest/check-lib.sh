# shellcheck shell=bash
# The kernel test's host side: what every scenario's check may use (sourced
# by kernel-test.sh before a scenario's file). A check runs in a process of
# its own with
#   log   the scenario's own lines of the guest's console (carriage returns
#         taken out), from its begin line to its end line;
#   out   its files, as the guest wrote them to /out/NAME;
#   work  the host's work directory (the images are in $work/images);
#   build the build tree;
# and says each failure with fail; the check fails when any was said.

failed=0
say() { echo "kernel-test: $*"; }
fail() { echo "kernel-test: FAIL: $scenario: $*" >&2; failed=1; }
has() { grep -qE -- "$1" "$log"; }
expect() { has "$1" || fail "no line matching: $1"; }
refuse() { ! has "$1" || fail "unexpected line: $(grep -E -- "$1" "$log" | head -n1)"; }
field() { grep -E -- "$1" "$log" | head -n1 | sed -n "s/.* $2=\([^ ]*\).*/\1/p"; }
line_of() { grep -E "$1" "$log" | head -n1 || true; }
# between FIRST LAST: the scenario's lines from the one matching FIRST to the
# one matching LAST.
between() { sed -n "/$1/,/$2/p" "$log"; }

# check_illegal LINE WHAT: a record line with CHECK CONDITION and ILLEGAL
# REQUEST, INVALID COMMAND OPERATION CODE (20h/00h) in its sense data.
check_illegal() {
  [[ "$1" =~ status=04\ hastat=00\ targstat=02\ sense=(.*)$ ]] || { fail "$2: '$1'"; return; }
  local sense
  read -r -a sense <<< "${BASH_REMATCH[1]}"
  (( (16#${sense[0]} & 0x7E) == 0x70 )) || fail "$2: sense response code ${sense[0]}"
  (( (16#${sense[2]} & 0x0F) == 5 )) || fail "$2: sense key ${sense[2]}, not ILLEGAL REQUEST"
  [ "${sense[12]} ${sense[13]}" = "20 00" ] || fail "$2: ASC/ASCQ ${sense[12]}/${sense[13]}, not 20h/00h"
}

# fnv1a64 FILE: FNV-1a 64 of the file's bytes, as the drive's record gives it.
fnv1a64() {
  local hash=-3750763034362895579 byte
  for byte in $(od -An -v -tu1 "$1"); do hash=$(((hash ^ byte) * 1099511628211)); done
  printf '%016x\n' "$hash"
}
# planned IMAGE BLOCK_KB BLOCKS [CDB_BYTES]: the download commands the program
# sends for IMAGE, as the drive's record gives them: the CDB's first
# CDB_BYTES bytes (10 by default, what the SCSI target's ring carries; a USB
# drive is given all 12), the length, the data's hash. Every command moves
# 65536 bytes from the start of the transfer buffer, into which its block was
# read; the buffer is never cleared, so an empty final block sends the block
# before it again (image/BlockPlan.h: byte 5 0x00 first, 0xFF further, the
# final block's KiB count last).
planned() {
  local image=$1 kb=$2 count=$3 cdb=${4:-10} size i offset length mark buffer
  buffer=$(mktemp)
  size=$(stat -c %s "$image")
  head -c 65536 /dev/zero > "$buffer"
  for ((i = 0; i < count; i++)); do
    offset=$((i * kb * 1024))
    if ((i < count - 1)); then
      length=$((kb * 1024))
      if ((i == 0)); then mark=00; else mark=ff; fi
    else
      length=$((size - offset))
      mark=$(printf %02x $(((size / 1024 - (count - 1) * kb) & 0xFF)))
    fi
    ((length > 65536)) && length=65536
    ((length > 0)) && dd if="$image" of="$buffer" iflag=skip_bytes,count_bytes skip="$offset" count="$length" \
      conv=notrunc status=none
    local command="ff00010000${mark}000000000000"
    echo "cdb=${command:0:$((cdb * 2))} data=65536 fnv1a64=$(fnv1a64 "$buffer")"
  done
  rm -f "$buffer"
}
# sent RECORD: the download commands in a record, in the same form.
sent() { grep ' download=' "$1" | sed -E 's/^seq=[0-9]+ (cdb=[0-9a-f]+ data=[0-9]+ fnv1a64=[0-9a-f]+) .*/\1/'; }
# outcomes RECORD: each download's number, phase, revision taken, status, sense.
outcomes() { grep ' download=' "$1" | sed -E 's/.* (download=.*)$/\1/'; }
# numbered FIRST PHASES...: the outcomes of a download taken whole, numbered
# from FIRST, its final block's new revision given as final=VERSION.
numbered() {
  local n=$1 phase
  shift
  for phase in "$@"; do
    case $phase in
      final=*) echo "download=$n phase=final new-revision=\"${phase#final=}\" status=00" ;;
      *) echo "download=$n phase=$phase status=00" ;;
    esac
    n=$((n + 1))
  done
}

# The result boxes as the guest kept them: the error box's icon is red, a
# notice has none.
red() {
  convert "$1" -depth 8 txt:- 2>/dev/null |
    sed -n 's/^[0-9]*,[0-9]*: (\([0-9]*\),\([0-9]*\),\([0-9]*\).*/\1 \2 \3/p' |
    awk '$1 > 180 && $2 < 80 && $3 < 80 { n++ } END { print n + 0 }'
}
icon() {
  [ -f "$out/shots/$1.png" ] || { echo missing; return; }
  if [ "$(red "$out/shots/$1.png")" -gt 100 ]; then echo error; else echo none; fi
}

# flash_process_is RUN: the guest's line for RUN says that the flash's
# process was quorvel-transfer beside the program in the build, run as the
# desktop user with the build's SG_IO manager (not the simulated one), and
# that it held both of the drive's nodes.
flash_process_is() {
  grep -qxF "QV-GUEST $1 process exe=$build/bin/quorvel-transfer uid=1000 manager=$build/bin/libwnaspi32.so.1 sg=held sr=held" "$log" ||
    fail "$1: the flash's process was not the desktop user's quorvel-transfer holding its drive with the build's manager: $(grep "^QV-GUEST $1 process" "$log")"
}
# The guest has no session bus: each flash's process says so once, the line
# cli-e2e.sh and tower-e2e.sh check; here it is left out.
nobus='no session bus: nothing holds off logging out while the drive is written\.'
# told_in RUN: what the program said on standard error in the run RUN.
told_in() { grep '^quorvel:' "$out/program-$1.log" 2>/dev/null | grep -vx "quorvel: $nobus" || true; }
# record_says FILE PYTHON: the flash record FILE (JSON lines, as `events`)
# holds what the Python assertions say.
record_says() {
  python3 - "$1" "$2" <<'PY'
import json, sys
events = [json.loads(line) for line in open(sys.argv[1])]
exec(sys.argv[2])
PY
}
