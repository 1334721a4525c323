#!/usr/bin/env bash
# What a screen reader is told about the real program's window, through AT-SPI
# on a private session bus under an X display: each field after its caption,
# the drive list after "DRIVE:" and named by its current entry (the second
# drive, picked by the image named on the command line), the progress bar by
# its name; then, that drive refusing block 3 with its sense, the box of the
# refusal with its cause a line more, in the words Debian's sg3_utils gives.
#   atspi-e2e.sh BUILD_DIR SOURCE_DIR [SCREENSHOT_DIR]
set -euo pipefail
# shellcheck source=SCRIPTDIR/../../scripts/lib.sh
. "$(cd "$(dirname "${BASH_SOURCE[0]}")/../../scripts" && pwd)/lib.sh"
own_session "$0" "$@"
e2e_setup atspi "$@"

cat >"$work/machine" <<'M'
adapters 2
device 0 1 type=0x05 vendor="QUORVEL " product="CDRW-4824A      " revision="1.10"
device 1 0 type=0x05 vendor="QUORVEL " product="DVDRW-1612B     " revision="2.04" refuse=3 sense=5/20/00
M
mkdir "$work/run"
"$build/bin/quorvel-mkimage" --quiet --model "QUORVEL DVDRW-1612B" --version 2.10 --block-kb 48 --blocks 5 \
  "$work/run/FW1612.BIN"

# Qt's bridge speaks only when assistive technology is on, or when told to.
export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1
start_program "$work/run" "$work/program.log" "$work/machine" "$build/bin/quorvel" fw1612.bin
# The start prompt is up once the image is loaded: every field is filled.
wait_window MESSAGE 60 >/dev/null || fail "no start prompt came"
shot atspi-window 0.3
heard=$(/usr/bin/python3 "$source/tests/app/atspi-read.py" "$program_pid" QUORVEL) ||
  fail "the window could not be read through AT-SPI"
expected="combo box: 'DRIVE: ' 'QUORVEL DVDRW-1612B     2.04'
label: 'MODEL NAME :' 'QUORVEL DVDRW-1612B     '
label: 'OLD VERSION :' '2.04'
label: 'NEW VERSION :' '2.10'
label: 'DOWNLOAD FILE :' 'FW1612.BIN'
label: 'STATUS :' 'READY'
progress bar: 'Download progress'"
[ "$heard" = "$expected" ] || fail "AT-SPI gave:"$'\n'"$heard"
echo "AT-SPI: five fields labelled by their captions, the drive list by DRIVE:, the bar named"

box() { /usr/bin/python3 "$source/tests/app/atspi-box.py" "$program_pid" "$@"; }
box MESSAGE "DOWNLOAD START" OK >/dev/null || fail "the start prompt could not be answered"
said=$(box MESSAGE "refused block") || fail "no box of the refusal came"
shot atspi-refused-with-cause
box MESSAGE "refused block" OK >/dev/null || fail "the refusal's box could not be closed"
[ "$said" = " DOWNLOAD FAIL!! 
The drive refused block 3 of 5.
The drive said: ILLEGAL REQUEST, invalid command operation code (5/20/00)." ] || fail "the refusal's box said: $said"
echo "AT-SPI: the refusal's box says the drive's cause a line more"
