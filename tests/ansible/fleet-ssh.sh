#!/usr/bin/env bash
# The collection's example playbook, unchanged, as an administrator runs it:
# over SSH to six hosts side by side (tests/ansible/hosts.sh: Debian's
# OpenSSH on loopback ports, host keys of their own, the fleet's user in group
# cdrom, sudo for the restart), five hosts a batch, each with a simulated
# machine whose drives run new firmware only after the host's restart:
#   ssh-a  four drives at 1.10           ssh-d  a drive of another model only
#   ssh-b  four drives at 1.20           ssh-e  two drives at 1.10
#   ssh-c  four at 1.10, one refusing    ssh-f  two drives at 1.10, in the
#          its third block                      second batch
#  1. --check: every host says what would be done; nothing is written, no
#     host restarts, nothing is asserted that was not done;
#  2. the first run: A and E written, restarted (a new boot id each) and their
#     drives found at 1.20; B current and D with nothing to do, ok; C's
#     failure told by the last task, C not restarted; the play stops there,
#     and F, in the next batch, is never reached;
#  3. the second run: nothing changes on A, B, D and E; C stops the play again;
#  4. C's drive replaced: C's last drive written and C restarted, then F's
#     batch: F written and restarted.
# The console's output of each run, its PLAY RECAP among them, is kept in the
# build tree (tests/ansible/fleet-ssh/).
#   fleet-ssh.sh BUILD_DIR SOURCE_DIR
# Root only (a namespace and a login of its own for each host): skipped (77)
# otherwise.
set -euo pipefail
build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)
if [ "$(id -u)" -ne 0 ]; then
  echo "SKIP: the hosts over SSH need root (namespaces of their own, sshd's logins)"
  exit 77
fi
for tool in /usr/sbin/sshd /usr/bin/sudo ssh-keygen ssh-keyscan unshare ansible-playbook; do
  command -v "$tool" >/dev/null || { echo "$tool is missing: run scripts/deps.sh test" >&2; exit 1; }
done
work=$(mktemp -d /tmp/quorvel-fleet-XXXXXX)
chmod 0755 "$work"
kept=$build/tests/ansible/fleet-ssh
rm -rf "$kept"
mkdir -p "$kept"
# shellcheck source=SCRIPTDIR/hosts.sh
. "$source/tests/ansible/hosts.sh"
cleanup() {
  stop_hosts
  if [ -n "${KEEP_WORK:-}" ]; then echo "kept $work" >&2; else rm -rf "$work"; fi
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
python=/usr/bin/python3

export HOME=$work/controller-home ANSIBLE_CONFIG=$work/none.cfg ANSIBLE_COLLECTIONS_PATH=$source/ansible \
  ANSIBLE_LOCAL_TEMP=$work/controller-home/tmp ANSIBLE_SSH_CONTROL_PATH_DIR=$work/cp ANSIBLE_PIPELINING=1 \
  ANSIBLE_CALLBACK_PLUGINS=$source/tests/ansible/callbacks ANSIBLE_CALLBACKS_ENABLED=results_json \
  ANSIBLE_NOCOLOR=1 ANSIBLE_FORCE_COLOR=0 PYTHONDONTWRITEBYTECODE=1
mkdir -p "$HOME"
: >"$ANSIBLE_CONFIG"

# machine HOST REVISION MODEL ADDRESS...: the host's simulated machine, its
# drives at those addresses, 50 ms a command; an address with `!` after it
# refuses its third command.
machine() {
  local dir=$work/$1 revision=$2 model=$3 a t
  shift 3
  {
    echo "trace quorvel-sim.trace"
    echo "state quorvel-sim.state"
    echo "adapters 2"
    for a in "$@"; do
      t="device ${a:0:1} ${a:2:1} type=0x05 vendor=\"QUORVEL \" product=\"$model\" revision=\"$revision\" delay=50"
      [ "${a: -1}" = "!" ] && t+=" refuse=3"
      echo "$t"
    done
  } >"$dir/machine"
}
boot_of() { cat "$work/$1/boot_id"; }
# lines HOST: how many lines the host's trace holds (requests, starts, holds).
lines() { cat "$work/$1/quorvel-sim.trace" 2>/dev/null | wc -l; }
downloads() { grep -c 'Download=' "$work/$1/quorvel-sim.trace" 2>/dev/null || true; }

fleet_user
controller "$work/controller"
hosts=(ssh-a ssh-b ssh-c ssh-d ssh-e ssh-f)
entries=()
port=$((20000 + $$ % 20000))
for host in "${hosts[@]}"; do
  while ! "$python" -c "import socket,sys; s=socket.socket(); s.bind(('127.0.0.1', int(sys.argv[1])))" "$port" 2>/dev/null; do
    port=$((port + 1))
  done
  start_host "$host" "$port" || fail "host $host did not start"
  entries+=("$host=$port")
  port=$((port + 1))
done
machine ssh-a 1.10 "CDRW-4824A      " 0:1 0:2 1:0 1:1
machine ssh-b 1.20 "CDRW-4824A      " 0:1 0:2 1:0 1:1
machine ssh-c 1.10 "CDRW-4824A      " 0:1 0:2 1:0 1:1!
machine ssh-d 2.04 "DVDRW-1612B     " 0:1
machine ssh-e 1.10 "CDRW-4824A      " 0:1 1:0
machine ssh-f 1.10 "CDRW-4824A      " 0:1 1:0
ssh_inventory "$work/inventory.yml" "${entries[@]}"
mkdir "$work/images"
"$build/bin/quorvel-mkimage" --quiet --model "QUORVEL CDRW-4824A" --version 1.20 --block-kb 60 --blocks 7 \
  "$work/images/FW4824.BIN"
image_sha256=$(sha256sum "$work/images/FW4824.BIN" | cut -d' ' -f1)

# run NAME [OPTIONS...]: the example playbook as its comment says to run it,
# five hosts a batch; its output in $kept/NAME.log, its results' JSON in
# $work/NAME.json, its exit status in $status.
run() {
  local name=$1
  shift
  status=0
  (cd "$work" && QUORVEL_ANSIBLE_RESULTS=$work/$name.json ansible-playbook -i "$work/inventory.yml" \
    quorvel.flash.update_drives -e "quorvel_image=$work/images/FW4824.BIN" -e "quorvel_image_sha256=$image_sha256" \
    -e quorvel_batch=5 "$@") >"$kept/$name.log" 2>&1 || status=$?
  sed -n '/^PLAY RECAP/,$p' "$kept/$name.log"
}
# check NAME: Python's assertions (standard input) over that run's results.
check() {
  PYTHONPATH=$source/tests/ansible "$python" -c "
import sys
from results import load
results, stats = load(sys.argv[1])
LAST = \"Every drive written now runs the image's version\"
FIRMWARE = 'The image into every drive of its model'
RESTART = 'Restart the hosts where a drive waits for it'
def last(host): return results[host][LAST]
def firmware(host): return results[host][FIRMWARE]
def counts(host): return dict((k, stats[host][k]) for k in ('ok', 'changed', 'failures', 'unreachable', 'skipped'))
exec(sys.stdin.read())" "$work/$1.json" ||
    fail "the results of $1 are not as expected (ansible-playbook exited $status): $(tail -n 60 "$kept/$1.log")"
}

# --- 1. --check ------------------------------------------------------------------
declare -A booted
for host in "${hosts[@]}"; do booted[$host]=$(boot_of "$host"); done
run check --check
[ "$status" -eq 0 ] || fail "the check run exited $status: $(tail -n 40 "$kept/check.log")"
check check <<'PY'
for host, msg in (
        ("ssh-a", "firmware 1.20 (FW4824.BIN): would write 0:1, 0:2, 1:0, 1:1; the host would need its restart"),
        ("ssh-b", "firmware 1.20 (FW4824.BIN): already 0:1, 0:2, 1:0, 1:1"),
        ("ssh-c", "firmware 1.20 (FW4824.BIN): would write 0:1, 0:2, 1:0, 1:1; the host would need its restart"),
        ("ssh-d", "firmware 1.20 (FW4824.BIN): no drive on this host is a QUORVEL CDRW-4824A, the image's model: "
                  "nothing to do (found: 0:1 QUORVEL DVDRW-1612B)"),
        ("ssh-e", "firmware 1.20 (FW4824.BIN): would write 0:1, 1:0; the host would need its restart"),
        ("ssh-f", "firmware 1.20 (FW4824.BIN): would write 0:1, 1:0; the host would need its restart")):
    assert firmware(host)["msg"] == msg and last(host)["msg"] == msg, (host, firmware(host)["msg"], last(host))
    assert stats[host]["failures"] == 0 and stats[host]["unreachable"] == 0, (host, stats[host])
    assert bool(results[host][RESTART].get("skipped")) is (host in ("ssh-b", "ssh-d")), (host, results[host][RESTART])
PY
for host in "${hosts[@]}"; do
  [ "$(downloads "$host")" -eq 0 ] || fail "the check run sent $host's drives a block"
  [ "$(boot_of "$host")" = "${booted[$host]}" ] || fail "the check run restarted $host"
  [ ! -e "$work/$host/quorvel-sim.state" ] || fail "the check run left firmware on $host"
done
echo "1: --check: each host said what would be done; nothing written, no host restarted"

# --- 2. the first run -----------------------------------------------------------------
f_lines=$(lines ssh-f)
run first
[ "$status" -eq 2 ] || fail "the first run exited $status, not 2 (C fails)"
grep -q '^NO MORE HOSTS LEFT' "$kept/first.log" || fail "the play did not stop after C's batch"
check first <<'PY'
assert counts("ssh-a")["failures"] == 0 and firmware("ssh-a")["changed"] and results["ssh-a"][RESTART]["rebooted"], \
    results["ssh-a"]
assert last("ssh-a")["msg"] == "4 drive(s) at 1.20, restarted", last("ssh-a")
assert last("ssh-e")["msg"] == "2 drive(s) at 1.20, restarted", last("ssh-e")
assert last("ssh-b")["msg"] == "4 drive(s) at 1.20, no restart needed", last("ssh-b")
assert last("ssh-d")["msg"].endswith("nothing to do (found: 0:1 QUORVEL DVDRW-1612B)"), last("ssh-d")
assert [counts(h)["failures"] for h in ("ssh-a", "ssh-b", "ssh-d", "ssh-e")] == [0] * 4, stats
c = results["ssh-c"]
assert c[FIRMWARE].get("failed") and c[RESTART].get("skipped"), c
assert last("ssh-c").get("failed") and last("ssh-c")["msg"] == (
    "the firmware task failed: firmware 1.20 (FW4824.BIN): written 0:1, 0:2, 1:0; refused 1:1 at block 3 of 7 [The drive "
    "said: MEDIUM ERROR, write error (3/0C/00)]; restart the host to finish"), last("ssh-c")
assert counts("ssh-c")["failures"] == 1 and "ssh-f" not in stats, stats
PY
for host in ssh-a ssh-e; do
  [ "$(boot_of "$host")" != "${booted[$host]}" ] || fail "$host was not restarted"
  [ "$(wc -l <"$work/$host/restarts")" -eq 1 ] || fail "$host restarted $(wc -l <"$work/$host/restarts") times"
done
for host in ssh-b ssh-c ssh-d; do
  [ "$(boot_of "$host")" = "${booted[$host]}" ] || fail "$host was restarted"
done
[ "$(lines ssh-f)" -eq "$f_lines" ] || fail "F, in the next batch, was reached"
echo "2: the first run: A and E written, restarted and checked; B and D ok; C failed last; F never reached"

# --- 3. the second run ------------------------------------------------------------------
for host in "${hosts[@]}"; do booted[$host]=$(boot_of "$host"); done
a_blocks=$(downloads ssh-a) e_blocks=$(downloads ssh-e)
run second
[ "$status" -eq 2 ] || fail "the second run exited $status, not 2 (C fails again)"
check second <<'PY'
for host in ("ssh-a", "ssh-b", "ssh-d", "ssh-e"):
    assert counts(host)["changed"] == 0 and counts(host)["failures"] == 0, (host, stats[host])
c = firmware("ssh-c")
assert [d["result"] for d in c["drives"]] == ["awaiting_restart"] * 3 + ["refused"] and c["changed"], c
assert last("ssh-c").get("failed") and "ssh-f" not in stats, stats
PY
[ "$(downloads ssh-a)" -eq "$a_blocks" ] && [ "$(downloads ssh-e)" -eq "$e_blocks" ] || fail "the second run wrote A or E again"
[ "$(lines ssh-f)" -eq "$f_lines" ] || fail "F, in the next batch, was reached"
for host in "${hosts[@]}"; do
  [ "$(boot_of "$host")" = "${booted[$host]}" ] || fail "the second run restarted $host"
done
echo "3: the second run: nothing changed on A, B, D and E; C stopped the play again"

# --- 4. C's drive replaced -----------------------------------------------------------
machine ssh-c 1.10 "CDRW-4824A      " 0:1 0:2 1:0 1:1
run third
[ "$status" -eq 0 ] || fail "the run after C's drive was replaced exited $status: $(tail -n 40 "$kept/third.log")"
check third <<'PY'
c = firmware("ssh-c")
assert [d["result"] for d in c["drives"]] == ["awaiting_restart"] * 3 + ["written"], c
assert last("ssh-c")["msg"] == "4 drive(s) at 1.20, restarted", last("ssh-c")
assert last("ssh-f")["msg"] == "2 drive(s) at 1.20, restarted", last("ssh-f")
for host in ("ssh-a", "ssh-b", "ssh-d", "ssh-e"):
    assert counts(host)["changed"] == 0, (host, stats[host])
PY
for host in ssh-c ssh-f; do
  [ "$(boot_of "$host")" != "${booted[$host]}" ] || fail "$host was not restarted"
done
echo "4: C's drive replaced: C written and restarted, then F's batch written and restarted"
echo "the example playbook over SSH: check mode, a batch with a failing host restarted and checked, the next batch held"
