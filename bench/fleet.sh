#!/usr/bin/env bash
# The fleet collection's own cost on a host: quorvel.flash.firmware writing
# every drive of a simulated machine (DRIVES drives of one model, DELAY_MS a
# download command, ended later from their own thread; an image of BLOCKS
# blocks of 60 KiB) against a bare `quorvel-flash write --all --yes --json` of
# the same drives, image and timing.
#   bench/fleet.sh BUILD_DIR [ROUNDS] [DRIVES] [DELAY_MS] [BLOCKS] [HOSTS] [PLAY_HOSTS] [PLAY_ROUNDS]
# Defaults: 11 rounds, 8 drives, 10 ms, 12 blocks, 9 hosts, 50 hosts at once, 3 rounds.
#
#   bare       quorvel-flash write --all --yes --json, from its start to its
#              end;
#   module     the module as Ansible runs it on a managed host: its AnsiballZ
#              payload (the module, its module_utils and its arguments in one
#              file, kept from an ad hoc run with ANSIBLE_KEEP_REMOTE_FILES)
#              run by Debian's Python, from its start to its end;
#   ansible    `ansible HOST -m quorvel.flash.firmware` with a local
#              connection: the controller too (its start, the inventory, the
#              payload built, the fork), no network;
# each round runs the three in turn, the order rotating, every drive back at
# its old version and the record empty before each; the module's cost is
# its run less the bare write's of the same round. Then, with quorvel-flash
# run through a wrapper that notes when each of its runs starts and ends,
# where the module's time goes (medians). Last, the controller's share a host:
# ansible-playbook over 1 host and over HOSTS hosts one after another
# (--forks 1, local connections, all on the one simulated machine), the
# module in check mode, so that each host's task reads the drives and the
# record and writes nothing; (the long run - the short) / (HOSTS - 1) is what
# one more host adds, the module's own run in it. Last, plays over PLAY_HOSTS
# hosts at once (--forks PLAY_HOSTS, local connections, each host its own
# simulated machine of 2 drives and its own record, through a Python of its
# own that sets them), PLAY_ROUNDS rounds: the collection's example playbook
# with every drive current (each task but the flash and the restart: the
# image's SHA-256 on the controller, its copy, the module reading the drives,
# drives_info, the checks), and the firmware task writing every drive then
# drives_info; the drives' own time for comparison, one host's bare write.
set -euo pipefail
build=$(cd "$1" && pwd)
rounds=${2:-11}
drives=${3:-8}
delay=${4:-10}
blocks=${5:-12}
hosts=${6:-9}
play_hosts=${7:-50}
play_rounds=${8:-3}
here=$(cd "$(dirname "$0")" && pwd)
collections=$(cd "$here/../ansible" && pwd)
python=/usr/bin/python3
for f in bin/quorvel-flash bin/quorvel-transfer bin/quorvel-mkimage sim/libwnaspi32.so.1; do
  [ -x "$build/$f" ] || { echo "missing $build/$f (build it)" >&2; exit 1; }
done
command -v ansible >/dev/null || { echo "no ansible: scripts/deps.sh test installs ansible-core" >&2; exit 1; }

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
spread() {
  sort -g | awk -v f="${1:-%.1f}" '{ a[NR] = $1 }
    END { m = NR % 2 ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2
          printf "min " f "  median " f "  max " f, a[1], m, a[NR] }'
}
median() { spread "%.3f" | awk '{ print $4 }'; }
load() { cut -d' ' -f1-3 /proc/loadavg; }
ms() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", (b - a) * 1000 }'; }

# The host: its drives, its record, no bus (the inhibitors are told so at
# once and hold nothing up), Ansible's folders, all in the scratch folder.
adapters=$(((drives + 7) / 8))
{
  echo "state quorvel-sim.state"
  echo "adapters $adapters"
  for ((i = 0; i < drives; i++)); do
    echo "device $((i / 8)) $((i % 8)) type=0x05 vendor=\"QUORVEL \" product=\"BENCH-DRIVE     \" revision=\"1.00\" delay=$delay completion=later"
  done
} >"$scratch/drives.machine"
"$build/bin/quorvel-mkimage" --quiet --model "QUORVEL BENCH-DRIVE" --version 1.01 --block-kb 60 --blocks "$blocks" \
  "$scratch/FW.BIN"
export LD_LIBRARY_PATH=$build/sim QUORVEL_SIM_MACHINE=$scratch/drives.machine XDG_STATE_HOME=$scratch/state \
  DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent \
  HOME=$scratch/home ANSIBLE_CONFIG=$scratch/none.cfg ANSIBLE_COLLECTIONS_PATH=$collections \
  ANSIBLE_LOCAL_TEMP=$scratch/home/tmp ANSIBLE_REMOTE_TEMP=$scratch/remote ANSIBLE_LOCALHOST_WARNING=false \
  ANSIBLE_PYTHON_INTERPRETER=$python PYTHONDONTWRITEBYTECODE=1
mkdir -p "$HOME"
: >"$ANSIBLE_CONFIG"
fresh() { rm -rf "$scratch/quorvel-sim.state" "$scratch/state"; }
written() {
  local n
  n=$(grep -c '^pending ' "$scratch/quorvel-sim.state" 2>/dev/null) || true
  [ "${n:-0}" -eq "$drives" ] ||
    { echo "$1 did not write all $drives drives:" >&2; cat "$scratch/out" >&2; exit 1; }
}

# The wrapper: quorvel-flash, each run's start and end noted.
cat >"$scratch/timed-flash" <<EOF
#!/bin/bash
start=\$EPOCHREALTIME
"$build/bin/quorvel-flash" "\$@"
status=\$?
echo "\$1 \$start \$EPOCHREALTIME" >>"$scratch/calls"
exit \$status
EOF
chmod +x "$scratch/timed-flash"

# payload FILE EXECUTABLE: the module's AnsiballZ file for these arguments,
# kept from one ad hoc run, copied to FILE. Its run's folder stays: the
# payload names it as the folder of the module's own files (its copy of the
# image among them).
payload() {
  local kept remote=$scratch/remote-$(basename "$1" .py)
  fresh
  ANSIBLE_KEEP_REMOTE_FILES=1 ANSIBLE_REMOTE_TEMP=$remote ansible localhost -c local -m quorvel.flash.firmware \
    -a "image=$scratch/FW.BIN all=true executable=$2" >"$scratch/out" 2>&1 ||
    { echo "the module's first run failed:" >&2; cat "$scratch/out" >&2; exit 1; }
  kept=$(find "$remote" -name 'AnsiballZ_firmware.py' | head -n 1)
  [ -n "$kept" ] || { echo "no AnsiballZ payload was kept" >&2; exit 1; }
  cp "$kept" "$1"
}
module_file=$scratch/module.py
timed_file=$scratch/timed-module.py
payload "$module_file" "$build/bin/quorvel-flash"
payload "$timed_file" "$scratch/timed-flash"

run() {
  fresh
  local start end
  start=$EPOCHREALTIME
  case $1 in
    bare) (cd "$scratch" && "$build/bin/quorvel-flash" write FW.BIN --all --yes --json) >"$scratch/out" 2>&1 ;;
    module) "$python" "$module_file" >"$scratch/out" 2>&1 ;;
    ansible) ansible localhost -c local -m quorvel.flash.firmware \
      -a "image=$scratch/FW.BIN all=true executable=$build/bin/quorvel-flash" >"$scratch/out" 2>&1 ;;
  esac
  end=$EPOCHREALTIME
  written "$1"
  ms "$start" "$end"
}

echo "== quorvel.flash.firmware against a bare write --all: $drives drives, $blocks blocks of 60 KiB, $delay ms a block (ended later); $rounds rounds, the order rotating (load average $(load))"
: >"$scratch/rounds"
sides=(bare module ansible)
for ((round = 0; round < rounds; round++)); do
  declare -A took=()
  for ((k = 0; k < 3; k++)); do
    side=${sides[$(((round + k) % 3))]}
    took[$side]=$(run "$side")
  done
  echo "${took[bare]} ${took[module]} ${took[ansible]}" >>"$scratch/rounds"
done
echo "  bare write --all --json     $(awk '{ print $1 }' "$scratch/rounds" | spread) ms"
echo "  the module on the host      $(awk '{ print $2 }' "$scratch/rounds" | spread) ms"
echo "  its cost over the bare      $(awk '{ print $2 - $1 }' "$scratch/rounds" | spread) ms (ratio $(awk '{ print $2 / $1 }' "$scratch/rounds" | spread '%.2f'))"
echo "  ansible ad hoc, local       $(awk '{ print $3 }' "$scratch/rounds" | spread) ms"
echo "  its cost over the bare      $(awk '{ print $3 - $1 }' "$scratch/rounds" | spread) ms"

# Where the module's time goes: its start to the first quorvel-flash run
# (Python, the module's imports, its arguments), each run, the gaps between
# (the image's SHA-256, the boot id, the plan), the write's end to its own.
echo "== where the module's time goes: $rounds rounds through the wrapper, medians in ms (load average $(load))"
: >"$scratch/phases"
for ((round = 0; round < rounds; round++)); do
  fresh
  : >"$scratch/calls"
  start=$EPOCHREALTIME
  "$python" "$timed_file" >"$scratch/out" 2>&1
  end=$EPOCHREALTIME
  written module
  awk -v start="$start" -v end="$end" '
    { name[NR] = $1; from[NR] = $2; to[NR] = $3 }
    END {
      if (NR != 4 || name[1] != "check" || name[2] != "list" || name[3] != "history" || name[4] != "write") {
        print "unexpected runs of quorvel-flash" > "/dev/stderr"; exit 1 }
      printf "%.1f %.1f %.1f %.1f %.1f %.1f %.1f %.1f\n", (from[1] - start) * 1000, (to[1] - from[1]) * 1000,
        (to[2] - from[2]) * 1000, (to[3] - from[3]) * 1000, (from[4] - to[3]) * 1000, (to[4] - from[4]) * 1000,
        (end - to[4]) * 1000, (end - start) * 1000 }' "$scratch/calls" >>"$scratch/phases"
done
m() { awk -v c="$1" '{ print $c }' "$scratch/phases" | median | awk '{ printf "%.0f", $1 }'; }
echo "  to the first run $(m 1); check --json $(m 2); list --json $(m 3); history --json $(m 4);"
echo "  the SHA-256, boot id and plan $(m 5); write --all --json $(m 6); to the module's end $(m 7); in all $(m 8)"

echo "== one host more: ansible-playbook over 1 and $hosts hosts, --forks 1, the module in check mode; $rounds rounds, alternating (load average $(load))"
{
  echo "all:"
  echo "  vars: {ansible_connection: local, ansible_python_interpreter: $python}"
  echo "  hosts:"
  for ((h = 1; h <= hosts; h++)); do echo "    host-$h:"; done
} >"$scratch/hosts.yml"
cat >"$scratch/check.yml" <<EOF
- hosts: all
  gather_facts: false
  tasks:
    - quorvel.flash.firmware: {image: "$scratch/FW.BIN", all: true, executable: "$build/bin/quorvel-flash"}
      check_mode: true
EOF
fresh
: >"$scratch/plays"
playbook() {
  local start end
  start=$EPOCHREALTIME
  ansible-playbook -i "$scratch/hosts.yml" --forks 1 --limit "$1" "$scratch/check.yml" >"$scratch/out" 2>&1 ||
    { echo "the check-mode play failed:" >&2; cat "$scratch/out" >&2; exit 1; }
  end=$EPOCHREALTIME
  ms "$start" "$end"
}
for ((round = 0; round < rounds; round++)); do
  if ((round % 2)); then
    many=$(playbook all)
    one=$(playbook host-1)
  else
    one=$(playbook host-1)
    many=$(playbook all)
  fi
  echo "$one $many" >>"$scratch/plays"
done
echo "  1 host                      $(awk '{ print $1 }' "$scratch/plays" | spread) ms"
echo "  $hosts hosts, one by one       $(awk '{ print $2 }' "$scratch/plays" | spread) ms"
echo "  one host more               $(awk -v n="$hosts" '{ print ($2 - $1) / (n - 1) }' "$scratch/plays" | spread) ms"

# --- plays over many hosts at once -----------------------------------------------
# host-N: its simulated machine and record, which a local connection's
# modules take from the Python that runs them.
many=$scratch/many
mkdir -p "$many"
{
  echo "all:"
  echo "  vars: {ansible_connection: local, quorvel_flash: $build/bin/quorvel-flash}"
  echo "  hosts:"
  for ((h = 1; h <= play_hosts; h++)); do
    mkdir -p "$many/host-$h"
    printf '#!/bin/sh\nexport QUORVEL_SIM_MACHINE=%s XDG_STATE_HOME=%s\nexec %s "$@"\n' \
      "$many/host-$h/machine" "$many/host-$h/state" "$python" >"$many/host-$h/python"
    chmod +x "$many/host-$h/python"
    echo "    host-$h: {ansible_python_interpreter: $many/host-$h/python}"
  done
} >"$many/hosts.yml"
# machines REVISION: every host's 2 drives at REVISION, its record empty.
machines() {
  local h t
  for ((h = 1; h <= play_hosts; h++)); do
    rm -rf "$many/host-$h/state" "$many/host-$h/quorvel-sim.state"
    {
      echo "state quorvel-sim.state"
      echo "adapters 1"
      for t in 0 1; do
        echo "device 0 $t type=0x05 vendor=\"QUORVEL \" product=\"BENCH-DRIVE     \" revision=\"$1\" delay=$delay completion=later"
      done
    } >"$many/host-$h/machine"
  done
}
cat >"$many/write.yml" <<PLAY
- hosts: all
  gather_facts: false
  tasks:
    - quorvel.flash.firmware: {image: "$scratch/FW.BIN", all: true, executable: "$build/bin/quorvel-flash"}
    - quorvel.flash.drives_info: {executable: "$build/bin/quorvel-flash", history_limit: 0}
PLAY
# seconds COMMAND...: how long COMMAND took, its output in $scratch/out.
seconds() {
  local start end
  start=$EPOCHREALTIME
  "$@" >"$scratch/out" 2>&1 || { echo "$* failed:" >&2; tail -n 40 "$scratch/out" >&2; exit 1; }
  end=$EPOCHREALTIME
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.2f", b - a }'
}
echo "== $play_hosts hosts at once: --forks $play_hosts, local connections, 2 drives a host; $play_rounds rounds (load average $(load))"
: >"$scratch/many-rounds"
for ((round = 0; round < play_rounds; round++)); do
  machines 1.01
  current=$(seconds ansible-playbook -i "$many/hosts.yml" --forks "$play_hosts" quorvel.flash.update_drives \
    -e "quorvel_image=$scratch/FW.BIN")
  machines 1.00
  writing=$(seconds ansible-playbook -i "$many/hosts.yml" --forks "$play_hosts" "$many/write.yml")
  grep -q '^pending 0 1 ' "$many/host-$play_hosts/quorvel-sim.state" || { echo "the hosts' drives were not written" >&2; exit 1; }
  machines 1.00
  bare=$(cd "$many/host-1" && QUORVEL_SIM_MACHINE=$many/host-1/machine XDG_STATE_HOME=$many/host-1/state \
    seconds "$build/bin/quorvel-flash" write "$scratch/FW.BIN" --all --yes --json)
  echo "$current $writing $bare" >>"$scratch/many-rounds"
done
per() { awk -v c="$1" -v n="$play_hosts" '{ print $c / n * 1000 }' "$scratch/many-rounds" | spread "%.0f"; }
echo "  the example playbook, drives current   $(awk '{ print $1 }' "$scratch/many-rounds" | spread "%.1f") s; a host $(per 1) ms"
echo "  the firmware task writing, drives_info $(awk '{ print $2 }' "$scratch/many-rounds" | spread "%.1f") s; a host $(per 2) ms"
echo "  one host's bare write --all            $(awk '{ print $3 }' "$scratch/many-rounds" | spread "%.2f") s (the drives' own time)"
