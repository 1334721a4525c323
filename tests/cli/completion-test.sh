#!/usr/bin/env bash
# quorvel-flash's bash completion, as bash-completion loads it: the commands,
# each command's options, --drive from the drives quorvel-flash list finds on
# the simulated machine, and image files in any letter case.
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
export PATH="$build/bin:$PATH" LD_LIBRARY_PATH="$build/sim" QUORVEL_SIM_MACHINE="$work/demo.machine"
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

expect 'quorvel-flash ' '--help --version check history list write '
expect 'quorvel-flash w' 'write '
expect 'quorvel-flash list --' '--help --json '
expect 'quorvel-flash check FW4824.BIN --' '--all --drive --help --json '
expect 'quorvel-flash write FW4824.BIN --' '--all --drive --help --json --restart --yes '
expect 'quorvel-flash write FW4824.BIN --drive ' '0:1 1:0 '
expect 'quorvel-flash write ' 'FW4824.BIN fw1612.bin images '
expect 'quorvel-flash check f' 'fw1612.bin '
expect 'quorvel-flash history ' ''

[ "$failed" -eq 0 ] && echo "completion: commands, options, drives from list, images in any case"
exit "$failed"
