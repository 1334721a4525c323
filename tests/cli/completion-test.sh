#!/usr/bin/env bash
# quorvel-flash's bash completion, as bash-completion loads it: the commands,
# each command's options, --drive from the drives quorvel-flash list finds on
# the simulated machine (for watch, none: nothing is under way), and image
# files in any letter case.
#   completion-test.sh BUILD_DIR SOURCE_DIR
set -uo pipefail
build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)
work=$(mktemp -d /tmp/quorvel-completion-XXXXXX)
trap 'rm -rf "$work"' EXIT
failed=0

# shellcheck source=/dev/null
. /usr/share/bash-completion/bash_completion
# shellcheck source=SCRIPTDIR/../../packaging/quorvel-flash.bash-completion
. "$source/packaging/quorvel-flash.bash-completion"

cp "$source/demo/machine/demo.machine" "$work/"
mkdir -m 700 "$work/runtime"
export PATH="$build/bin:$PATH" LD_LIBRARY_PATH="$build/sim" QUORVEL_SIM_MACHINE="$work/demo.machine" \
  XDG_RUNTIME_DIR="$work/runtime"
mkdir "$work/run" "$work/run/images"
touch "$work/run/FW4824.BIN" "$work/run/fw1612.bin" "$work/run/notes.txt"
cd "$work/run"

# expect LINE WANT: completing LINE (the cursor at its end) offers WANT.
expect() {
  local line=$1 want=$2 got
  read -ra COMP_WORDS <<<"$line"
  [[ $line == *' ' ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMP_LINE=$line
  COMP_POINT=${#line}
  COMPREPLY=()
  _quorvel_flash
  got=""
  [ ${#COMPREPLY[@]} -eq 0 ] || got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' ')
  if [ "$got" != "$want" ]; then
    echo "FAIL: '$line' offered '$got', not '$want'" >&2
    failed=1
  fi
}

expect 'quorvel-flash ' '--help --version check history list status watch write '
expect 'quorvel-flash w' 'watch write '
expect 'quorvel-flash wr' 'write '
expect 'quorvel-flash list --' '--help --json '
expect 'quorvel-flash check FW4824.BIN --' '--all --drive --help --json '
expect 'quorvel-flash write FW4824.BIN --' '--all --drive --help --json --restart --yes '
expect 'quorvel-flash write FW4824.BIN --drive ' '0:1 1:0 '
expect 'quorvel-flash write ' 'FW4824.BIN fw1612.bin images '
expect 'quorvel-flash check f' 'fw1612.bin '
expect 'quorvel-flash history ' ''
expect 'quorvel-flash status --' '--help --json '
expect 'quorvel-flash watch --' '--all --drive --help --json '
expect 'quorvel-flash watch --drive ' ''
expect 'quorvel-flash watch ' ''
# With flashes under way (status as it prints them, from a stand-in), watch's
# --drive offers their drives.
mkdir "$work/stub"
cat >"$work/stub/quorvel-flash" <<'STUB'
#!/bin/sh
[ "$1" = status ] || exit 2
echo "0:1  QUORVEL CDRW-4824A   1.10 -> 1.20  FW4824.BIN  block 2 of 5                  since 2026-12-08T09:14:27Z  started by quorvel-flash (pid 4242, gone)"
echo "12:3  QUORVEL DVDRW-1612B  2.04 -> 2.10  X.BIN       the final block in the drive  since 2026-12-08T09:14:27Z  started by quorvel (pid 4243, running)"
echo "another user's flash: alice (uid 1000), its process 777, on a drive this user cannot name"
STUB
chmod +x "$work/stub/quorvel-flash"
PATH="$work/stub:$PATH" expect 'quorvel-flash watch --drive ' '0:1 12:3 '

[ "$failed" -eq 0 ] && echo "completion: commands, options, drives from list (and none under way to watch), images in any case"
exit "$failed"
