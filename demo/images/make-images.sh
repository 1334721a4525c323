#!/usr/bin/env bash
# Writes the demo's firmware images with quorvel-mkimage, for the drives of
# demo/machine/demo.machine:
#   FW4824.BIN  for "QUORVEL CDRW-4824A" (adapter 0, target 1, the first drive
#                listed): version 1.20. Open it with that drive selected: the
#                window shows its model, old version 1.10, new version 1.20,
#                FW4824.BIN and READY. Copied as AUTORUN.BIN into the working
#                directory, the program offers it at start.
#   FW1612.BIN  for "QUORVEL DVDRW-1612B" (adapter 1, target 0): version 2.10.
#                Opened with the first drive selected: "Different Model !!".
#                As AUTORUN.BIN (or named on the command line) the program
#                selects that second drive by itself.
# Both are 256 KiB: four blocks of 48 KiB and a final block of 64 KiB that
# holds the trailer, so they pass autorun's size rule, and the drive receives
# the trailer with its final command and takes the new version.
#   demo/images/make-images.sh BUILD_OR_BIN_DIR OUT_DIR
# (a build tree, or the folder that holds quorvel-mkimage, as in an install)
set -euo pipefail
build=$(cd "${1:?usage: make-images.sh BUILD_OR_BIN_DIR OUT_DIR}" && pwd)
out=${2:?usage: make-images.sh BUILD_OR_BIN_DIR OUT_DIR}
mkdir -p "$out"
mkimage="$build/bin/quorvel-mkimage"
[ -x "$mkimage" ] || mkimage="$build/quorvel-mkimage"
"$mkimage" --model "QUORVEL CDRW-4824A" --version 1.20 --block-kb 48 --blocks 5 "$out/FW4824.BIN"
"$mkimage" --model "QUORVEL DVDRW-1612B" --version 2.10 --block-kb 48 --blocks 5 "$out/FW1612.BIN"
