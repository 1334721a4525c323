#!/usr/bin/env bash
# The fleet's Ansible collection (ansible/) through real Ansible, Debian's
# ansible-core: three hosts on this machine (ansible_connection=local), each
# with a simulated machine, trace and record of its own passed through the
# play's environment, run with --forks 3; quorvel-flash the real program.
#  0. the collection: ansible-doc on every module, ansible-test sanity as far
#     as it runs without a network, its changelog's fragments, the plays'
#     syntax, the tarball;
#  1. quorvel-flash check --json, the module's view of an image and drives;
#  2. bad input: a sentence for each, no traceback, nothing sent; a host
#     with no drive of the image's model ok, with nothing to do;
#  3. check mode (with --diff): what would be written, nothing sent;
#  4. the play: host A's drives written, host B's already at the version,
#     host C's third block refused by one drive while its others are written;
#     A's and C's flashes overlapping, B's task begun before either ended;
#  5. the play again: nothing changes on A and B, reboot_required where a
#     flash waits; on C the written drives left alone, the refused one tried
#     again, changed since blocks reached it; in check mode, another image of
#     the same version for A's waiting drives and force for B's current ones
#     would write them;
#  6. the collection's example playbook on host B;
#  7. restart: true on A: the restart asked for and said, A's drives running
#     what they accepted, nothing waiting.
# The collection's playbook over SSH and through a real restart:
# fleet-ssh.sh and guest-restart.sh.
#   ansible-e2e.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
# shellcheck source=SCRIPTDIR/../../scripts/lib.sh
. "$(cd "$(dirname "${BASH_SOURCE[0]}")/../../scripts" && pwd)/lib.sh"
build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)
work=$(mktemp -d /tmp/quorvel-ansible-e2e-XXXXXX)
trap e2e_cleanup EXIT
trap 'echo "FAIL: line $LINENO: $BASH_COMMAND" >&2; diagnose' ERR
flash=$build/bin/quorvel-flash
collection=$source/ansible/ansible_collections/quorvel/flash
hosts=(host-a host-b host-c)
python=/usr/bin/python3  # Debian's, whose ansible-core this is
# The caller's library path, behind the simulated machine's (lib.sh changes it
# only in subshells of its own).
# shellcheck disable=SC2031
sim_path=$build/sim${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}

# Ansible of its own: no configuration, temporary folders or collections but
# the run's, results also as JSON (the tests' own callback, into the file
# $QUORVEL_ANSIBLE_RESULTS).
export HOME=$work/home ANSIBLE_CONFIG=$work/none.cfg ANSIBLE_COLLECTIONS_PATH=$source/ansible \
  ANSIBLE_LOCAL_TEMP=$work/home/tmp ANSIBLE_REMOTE_TEMP=$work/home/remote \
  ANSIBLE_CALLBACK_PLUGINS=$source/tests/ansible/callbacks ANSIBLE_CALLBACKS_ENABLED=results_json \
  ANSIBLE_NOCOLOR=1 ANSIBLE_LOCALHOST_WARNING=false PYTHONDONTWRITEBYTECODE=1
mkdir -p "$HOME"
: >"$ANSIBLE_CONFIG"

# machine HOST REVISION [REFUSING]: four drives of the image's model at 0:1
# 0:2 1:0 1:1, 500 ms a command, ended from their own thread; REFUSING the
# address of one that refuses its third command; host A also has a drive of
# another model at 1:2.
machine() {
  local dir=$work/$1 revision=$2 refusing=${3:-} a t
  mkdir -p "$dir"
  {
    echo "trace quorvel-sim.trace"
    echo "state quorvel-sim.state"
    echo "dump  dumps"
    echo "adapters 2"
    for a in 0:1 0:2 1:0 1:1; do
      t="device ${a%:*} ${a#*:} type=0x05 vendor=\"QUORVEL \" product=\"CDRW-4824A      \" revision=\"$revision\" delay=500 completion=later transport=ata"
      [ "$a" = "$refusing" ] && t+=" refuse=3"
      echo "$t"
    done
    [ "$1" = host-a ] && echo 'device 1 2 type=0x05 vendor="QUORVEL " product="DVDRW-1612B     " revision="2.04"'
  } >"$dir/machine"
  : >"$dir/quorvel-sim.trace"
}
trace_of() { echo "$work/$1/quorvel-sim.trace"; }
# commands HOST A:T [FROM]: the download commands the drive received, from
# line FROM of the host's trace on.
commands() {
  tail -n +"${3:-1}" "$(trace_of "$1")" | grep -E "^SRB .* HaId=${2%:*} .* Target=${2#*:} .*Download=" || true
}
sent() { grep -cE 'Download=|^HOLD ' "$(trace_of "$1")" || true; }
lines() { wc -l <"$(trace_of "$1")"; }
first() { commands "$1" "$2" | head -n 1 | sed -E 's/.* time=([^ ]+) .*/\1/'; }
last() { commands "$1" "$2" | tail -n 1 | sed -E 's/.* time=([^ ]+) .*/\1/'; }

# play NAME PLAYBOOK [OPTIONS...]: ansible-playbook over the three hosts;
# its output in $work/NAME.out, its results' JSON in $work/NAME.json, its exit
# status in $status.
play() {
  local name=$1 playbook=$2
  shift 2
  status=0
  (cd "$work" && QUORVEL_ANSIBLE_RESULTS=$work/$name.json ansible-playbook -i "$work/inventory.yml" --forks 3 \
    "$playbook" "$@") >"$work/$name.out" 2>"$work/$name.err" || status=$?
}
# check NAME: Python's assertions (standard input) over that run's results:
# `results` host -> task name -> result, `stats` host -> counts.
check() {
  PYTHONPATH=$source/tests/ansible "$python" -c "
import sys
from results import FIRMWARE, FOUR as four, load, no_traceback
results, stats = load(sys.argv[1])
firmware = lambda host: results[host][FIRMWARE]
work = sys.argv[2]
sha256 = sys.argv[3]
exec(sys.stdin.read())" "$work/$1.json" "$work" "$(sha256sum "$work/images/FW.BIN" | cut -d' ' -f1)" ||
    fail "the results of $1 are not as expected (ansible-playbook exited $status): $(tail -c 3000 "$work/$1.out")"
}

# --- 0. the collection --------------------------------------------------------
for module in "$collection"/plugins/modules/*.py; do
  name=$(basename "$module" .py)
  ansible-doc -t module "quorvel.flash.$name" >"$work/doc-$name.txt" 2>&1 ||
    fail "ansible-doc quorvel.flash.$name: $(cat "$work/doc-$name.txt")"
  for heading in EXAMPLES RETURN.VALUES; do
    grep -q "^$heading:" "$work/doc-$name.txt" || fail "ansible-doc quorvel.flash.$name shows no $heading"
  done
  # Every option the module takes, and only those, documented and shown.
  ansible-doc --json -t module "quorvel.flash.$name" >"$work/doc-$name.json"
  options=$("$python" - "$module" "$work/doc-$name.json" "quorvel.flash.$name" <<'PY'
import ast, json, sys
takes = next(k.value for k in ast.walk(ast.parse(open(sys.argv[1]).read()))
            if isinstance(k, ast.keyword) and k.arg == "argument_spec")
taken = sorted(k.arg for k in takes.keywords)
documented = sorted(json.load(open(sys.argv[2]))[sys.argv[3]]["doc"]["options"])
assert taken == documented, (taken, documented)
print(" ".join(taken))
PY
  ) || fail "quorvel.flash.$name: the options it takes and those documented differ"
  for option in $options; do
    grep -qE "^[-=] $option\$" "$work/doc-$name.txt" || fail "ansible-doc quorvel.flash.$name does not show $option"
  done
done
# ansible-test sanity, in a copy (it writes its output into the collection).
# Its tests that install their own requirements into a virtual environment
# from the network (ansible-doc, changelog, import, pep8, pylint,
# runtime-metadata, validate-modules, yamllint; pslint is for PowerShell)
# cannot run here: the real ansible-doc above, the compile test below and the
# check of the changelog's fragments after it stand in for three of them.
mkdir -p "$work/sanity/ansible_collections/quorvel"
cp -r "$collection" "$work/sanity/ansible_collections/quorvel/flash"
offline=()
for t in ansible-doc changelog import pep8 pylint runtime-metadata validate-modules yamllint pslint; do
  offline+=(--skip-test "$t")
done
(cd "$work/sanity/ansible_collections/quorvel/flash" &&
  PATH=/usr/bin:/bin ansible-test sanity --local --python 3.11 "${offline[@]}") >"$work/sanity.log" 2>&1 ||
  fail "ansible-test sanity: $(grep -v '^WARNING' "$work/sanity.log" | tail -n 30)"
grep -q 'Running sanity test "compile" on Python 3.11' "$work/sanity.log" || fail "ansible-test sanity compiled nothing"
# The changelog's fragments as antsibull-changelog reads them: YAML, each key
# a section of the changelog's config, each entry a line of text.
"$python" - "$collection/changelogs" <<'PY' || fail "the changelog's fragments are not as antsibull-changelog reads them"
import glob, os, sys, yaml
folder = sys.argv[1]
config = yaml.safe_load(open(os.path.join(folder, "config.yaml")))
sections = set(name for name, _ in config["sections"]) | {config["prelude_section_name"], config["trivial_section_name"]}
fragments = sorted(glob.glob(os.path.join(folder, config["notesdir"], "*")))
assert fragments, "no fragment"
for path in fragments:
    assert path.endswith((".yml", ".yaml")), path
    fragment = yaml.safe_load(open(path))
    assert isinstance(fragment, dict) and fragment and set(fragment) <= sections, (path, fragment)
    for section, entries in fragment.items():
        assert isinstance(entries, list) and entries and all(isinstance(e, str) and e.strip() for e in entries), path
assert set(yaml.safe_load(open(os.path.join(folder, config["changes_file"])))["releases"]) == {"1.0.0"}
PY
for playbook in "$collection/playbooks/update_drives.yml" "$source/tests/ansible/fleet.yml" "$source/tests/ansible/bad-input.yml"; do
  ansible-playbook -i localhost, --syntax-check "$playbook" >"$work/syntax.log" 2>&1 ||
    fail "$playbook: $(cat "$work/syntax.log")"
done
(cd "$work" && ansible-galaxy collection build --output-path "$work/dist" "$collection") >"$work/galaxy.log" 2>&1 ||
  fail "ansible-galaxy collection build: $(cat "$work/galaxy.log")"
tar -tzf "$work/dist/quorvel-flash-2.0.0.tar.gz" >"$work/tarball"
for f in MANIFEST.json FILES.json README.md CHANGELOG.rst changelogs/changelog.yaml plugins/modules/firmware.py \
         plugins/modules/drives_info.py plugins/module_utils/quorvel_flash.py plugins/doc_fragments/quorvel_flash.py \
         playbooks/update_drives.yml meta/runtime.yml LICENSE; do
  grep -qx "$f" "$work/tarball" || fail "the tarball lacks $f"
done
grep -E '(__pycache__|\.pyc|tests/output)' "$work/tarball" && fail "the tarball holds build output"
echo "0: ansible-doc on every module, ansible-test sanity (offline tests), the changelog's fragments, the plays' syntax, the tarball"

# --- the hosts ------------------------------------------------------------------
mkdir -p "$work/images" "$work/images/old"
mkimage() { "$build/bin/quorvel-mkimage" --quiet "$@"; }
mkimage --model "QUORVEL CDRW-4824A" --version 1.20 --block-kb 60 --blocks 7 "$work/images/FW.BIN"
mkimage --model "QUORVEL DVDRW-1612B" --version 2.10 --block-kb 60 --blocks 5 "$work/images/FW1612.BIN"
mkimage --model "QUORVEL COMBO-52X" --version 5.10 --block-kb 60 --blocks 3 "$work/images/COMBO.BIN"
head -c 40 /dev/zero >"$work/images/SHORT.BIN"
# A quorvel-flash from before check --json: it refuses it as a usage error.
cat >"$work/images/old/quorvel-flash" <<'OLD'
#!/bin/sh
case "$1" in
  --version) echo "quorvel-flash 2.02" ;;
  check) echo "quorvel-flash: check takes no --json; quorvel-flash --help shows the usage." >&2; exit 64 ;;
  *) exit 64 ;;
esac
OLD
chmod +x "$work/images/old/quorvel-flash"
machine host-a 1.10
machine host-b 1.20
machine host-c 1.10 1:1
start_bus "$work/bus"
{
  echo "all:"
  echo "  vars:"
  echo "    ansible_connection: local"
  echo "    ansible_python_interpreter: $python"
  echo "    quorvel_flash: $flash"
  echo "    quorvel_image: $work/images/FW.BIN"
  echo "  children:"
  echo "    fleet:"
  echo "      hosts:"
  for host in "${hosts[@]}"; do
    echo "        $host:"
    [ "$host" = host-b ] && echo '          quorvel_drives: ["0:1", "0:2", "1:0", "1:1"]' || echo "          quorvel_all: true"
    echo "          quorvel_environment:"
    echo "            LD_LIBRARY_PATH: \"$sim_path\""
    echo "            QUORVEL_SIM_MACHINE: \"$work/$host/machine\""
    echo "            XDG_STATE_HOME: \"$work/$host/state\""
    echo "            DBUS_SYSTEM_BUS_ADDRESS: \"$DBUS_SYSTEM_BUS_ADDRESS\""
  done
} >"$work/inventory.yml"

# --- 1. check --json ---------------------------------------------------------------
qf() {
  (cd "$work/images" && LD_LIBRARY_PATH="$build/sim" QUORVEL_SIM_MACHINE="$work/host-a/machine" \
    XDG_STATE_HOME="$work/host-a/state" "$flash" "$@") >"$work/out" 2>"$work/err" || status=$?
}
status=0
qf check FW.BIN --json --all
[ "$status" -eq 0 ] || fail "check --json --all: exit $status: $(cat "$work/err")"
"$python" - "$work/out" <<'PY' || fail "check --json --all printed: $(cat "$work/out")"
import json, sys
text = open(sys.argv[1]).read()
assert text.count("\n") == 1 and text.endswith("\n"), "not one line"
drive = lambda a: {"drive": a, "model": "QUORVEL CDRW-4824A", "old": "1.10", "result": "would-write", "why": ""}
assert json.loads(text) == {
    "image": "FW.BIN", "model": "QUORVEL CDRW-4824A", "version": "1.20", "block-size": 61440, "blocks": 7,
    "size": 393216, "valid": True, "why": "", "status": 0,
    "drives": [drive("0:1"), drive("0:2"), drive("1:0"), drive("1:1")]}, text
PY
grep -qx 'quorvel-flash: left alone, another model: 1:2 QUORVEL DVDRW-1612B.' "$work/err" || fail "check said: $(cat "$work/err")"
status=0
qf check FW1612.BIN --json --drive 1:2 --drive 0:1 --drive 7:7
[ "$status" -eq 2 ] || fail "check --json of a drive of another model and an unknown one: exit $status"
"$python" - "$work/out" <<'PY' || fail "check --json with refused drives printed: $(cat "$work/out")"
import json, sys
check = json.load(open(sys.argv[1]))
assert check["status"] == 2 and check["valid"] is True and check["model"] == "QUORVEL DVDRW-1612B", check
assert check["drives"] == [
    {"drive": "1:2", "model": "QUORVEL DVDRW-1612B", "old": "2.04", "result": "would-write", "why": ""},
    {"drive": "0:1", "model": "QUORVEL CDRW-4824A", "old": "1.10", "result": "not-written",
     "why": "Different Model !! The image is for QUORVEL DVDRW-1612B."},
    {"drive": "7:7", "model": "", "old": "", "result": "not-written",
     "why": "Drive Not Found!! There is no CD/DVD drive at 7:7."}], check["drives"]
PY
status=0
qf check SHORT.BIN --json --all
[ "$status" -eq 2 ] || fail "check --json of an unreadable image: exit $status"
"$python" - "$work/out" <<'PY' || fail "check --json of an unreadable image printed: $(cat "$work/out")"
import json, sys
check = json.load(open(sys.argv[1]))
assert check == {"image": "SHORT.BIN", "model": "", "version": "", "block-size": 0, "blocks": 0, "size": 0,
                 "valid": False, "status": 2, "drives": [],
                 "why": "File Not Opened!! SHORT.BIN is too short to hold a trailer where its size puts it."}, check
PY
[ "$(sent host-a)" -eq 0 ] || fail "check --json sent a download command or held a drive"
echo "1: check --json: the image's figures, each chosen drive's verdict, one object; nothing sent"

# --- 2. bad input ---------------------------------------------------------------------
play bad-input "$source/tests/ansible/bad-input.yml"
[ "$status" -eq 0 ] || fail "the bad input play (its failures ignored) exited $status: $(tail -c 2000 "$work/bad-input.out")"
check bad-input <<'PY'
import re
images = work + "/images"
expected = {
    "missing image": "image %s/NONE.BIN: no such file on this host" % images,
    "unreadable image": "image %s/SHORT.BIN: File Not Opened!! SHORT.BIN is too short to hold a trailer where its "
                        "size puts it." % images,
    "another model, by address": "nothing was sent to any drive: 0:1 QUORVEL CDRW-4824A: Different Model !! The image "
                                 "is for QUORVEL DVDRW-1612B; 0:2 QUORVEL CDRW-4824A: Different Model !! The image is "
                                 "for QUORVEL DVDRW-1612B",
    "unknown drive": "nothing was sent to any drive: 7:7: Drive Not Found!! There is no CD/DVD drive at 7:7",
    "no drive": "'0-1' is no drive: give it as A:T, its adapter and target (0 to 255), as quorvel-flash list shows them",
    "all false": "all: false chooses no drive: give all: true, or drives (a list of A:T, as quorvel-flash list shows "
                 "them)",
    "another image than the checksum's": "image %s/FW.BIN is not the one meant: its sha256 is %s, the checksum says %s; "
                                         "nothing was sent" % (images, sha256, "0" * 64),
    "a checksum of no known form": "checksum 'md5:0123' is not ALGORITHM:HEX: give e.g. sha256: and the image's 64 hex "
                                   "digits (sha1, sha224, sha256, sha384 and sha512 are taken); nothing was sent",
    "quorvel-flash missing": "quorvel-flash not found: %s/nowhere/quorvel-flash is no executable file on this host; "
                             "install QUORVEL or give quorvel-flash's path in executable" % images,
    "quorvel-flash too old": "%s/old/quorvel-flash (quorvel-flash 2.02) is too old for this collection: it refuses "
                             "`check --json` (check takes no --json; quorvel-flash --help shows the usage.); install a "
                             "QUORVEL whose quorvel-flash has `check IMAGE --json`" % images,
}
tasks = results["host-a"]
for name, msg in expected.items():
    result = tasks[name]
    no_traceback(result)
    assert result.get("failed") is True and result["msg"] == msg, (name, result.get("msg"))
    assert result["changed"] is False and result["drives"] == [] and result["reboot_required"] is False, (name, result)
# The rules the module declares with its options, in Ansible's words.
for name, msg in (("drives and all", "parameters are mutually exclusive: drives|all"),
                  ("neither drives nor all", "one of the following is required: drives, all")):
    assert tasks[name].get("failed") is True and tasks[name]["msg"] == msg, (name, tasks[name])
# A host with no drive of the image's model has nothing to do.
nothing = tasks["another model, every drive"]
assert not nothing.get("failed") and nothing["changed"] is False and nothing["drives"] == [], nothing
assert nothing["msg"] == ("firmware 5.10 (COMBO.BIN): no drive on this host is a QUORVEL COMBO-52X, the image's model: "
                          "nothing to do (found: 0:1 QUORVEL CDRW-4824A, 0:2 QUORVEL CDRW-4824A, 1:0 QUORVEL CDRW-4824A, "
                          "1:1 QUORVEL CDRW-4824A, 1:2 QUORVEL DVDRW-1612B)"), nothing["msg"]
limit = tasks["drives_info with a history limit below 0"]
assert limit.get("failed") and limit["msg"] == ("history_limit is -1: give how many of the record's lines to return, "
                                                "0 or more"), limit
info = tasks["drives_info without quorvel-flash"]
no_traceback(info)
assert info.get("failed") and re.match(r"^quorvel-flash not found: no no-such-quorvel-flash on this host's PATH \(", info["msg"]), info
PY
[ "$(sent host-a)" -eq 0 ] || fail "bad input sent a download command or held a drive: $(grep -E 'Download=|^HOLD' "$(trace_of host-a)")"
echo "2: bad input: a sentence for each of 15, no traceback, nothing sent; a host of another model ok with nothing to do"

# --- 3. check mode --------------------------------------------------------------------
play check-mode "$source/tests/ansible/fleet.yml" --check --diff
[ "$status" -eq 0 ] || fail "check mode exited $status: $(tail -c 2000 "$work/check-mode.out")"
check check-mode <<'PY'
def entries(result):
    return [(d["drive"], d["vendor"], d["model"], d["version"], d["result"], d["blocks_sent"], d["block"], d["blocks"],
             d["cause"]) for d in result["drives"]]
would = "; the host would need its restart"
for host, before, result, changed, msg in (
        ("host-a", "1.10", "written", True, "firmware 1.20 (FW.BIN): would write 0:1, 0:2, 1:0, 1:1" + would),
        ("host-b", "1.20", "already", False, "firmware 1.20 (FW.BIN): already 0:1, 0:2, 1:0, 1:1"),
        ("host-c", "1.10", "written", True, "firmware 1.20 (FW.BIN): would write 0:1, 0:2, 1:0, 1:1" + would)):
    task = firmware(host)
    assert task["changed"] is changed and not task.get("failed") and task["msg"] == msg, (host, task)
    assert task["reboot_required"] is changed and task["restarting"] is False, (host, task)
    assert task["image"] == {"path": work + "/images/FW.BIN", "name": "FW.BIN", "sha256": sha256, "version": "1.20",
                             "blocks": 7}, task["image"]
    assert entries(task) == [(a, "QUORVEL", "CDRW-4824A", before, result, 0, 0, 7, "") for a in four], task
    lines = lambda version: "".join("%s QUORVEL CDRW-4824A %s\n" % (a, version) for a in four)
    assert task["diff"] == {"before": lines(before), "after": lines("1.20")}, task["diff"]
    info = results[host]["The drives afterwards"]
    assert [d["version"] for d in info["drives"] if d["model"] == "CDRW-4824A"] == [before] * 4, info
PY
for host in "${hosts[@]}"; do
  [ "$(sent "$host")" -eq 0 ] || fail "check mode sent $host a download command or held a drive"
  if [ -e "$work/$host/quorvel-sim.state" ] || [ -e "$work/$host/state/quorvel/flashes.jsonl" ]; then
    fail "check mode left a drive's new revision or a record on $host"
  fi
done
echo "3: check mode: A and C would be written, B already; the traces hold no download command and no hold"

# --- 4. the play ------------------------------------------------------------------------
play first "$source/tests/ansible/fleet.yml"
[ "$status" -eq 2 ] || fail "the play with a refusing drive on C exited $status, not 2"
check first <<'PY'
a = firmware("host-a")
assert a["changed"] is True and not a.get("failed") and a["reboot_required"] is True, a
assert [(d["drive"], d["version"], d["result"], d["blocks_sent"], d["block"], d["blocks"]) for d in a["drives"]] == \
    [(x, "1.10", "written", 7, 0, 7) for x in four], a["drives"]
assert a["msg"] == "firmware 1.20 (FW.BIN): written 0:1, 0:2, 1:0, 1:1; restart the host to finish", a["msg"]
b = firmware("host-b")
assert b["changed"] is False and not b.get("failed") and b["reboot_required"] is False, b
assert [d["result"] for d in b["drives"]] == ["already"] * 4, b
c = firmware("host-c")
assert c.get("failed") is True and c["changed"] is True and c["reboot_required"] is True, c
assert [(d["drive"], d["result"], d["blocks_sent"], d["block"], d["blocks"]) for d in c["drives"]] == [
    ("0:1", "written", 7, 0, 7), ("0:2", "written", 7, 0, 7), ("1:0", "written", 7, 0, 7), ("1:1", "refused", 3, 3, 7)], \
    c["drives"]
refused = c["drives"][3]
assert refused["cause"] == "The drive said: MEDIUM ERROR, write error (3/0C/00).", refused
assert c["msg"] == ("firmware 1.20 (FW.BIN): written 0:1, 0:2, 1:0; refused 1:1 at block 3 of 7 [The drive said: "
                    "MEDIUM ERROR, write error (3/0C/00)]; restart the host to finish"), c["msg"]
assert "The drives afterwards" not in results["host-c"], "C went on after its failure"
# A's drives report 1.10 until the host restarts, and the record's accepted
# flash of this image waits for it.
boot = open("/proc/sys/kernel/random/boot_id").read().strip()
info = results["host-a"]["The drives afterwards"]
assert info["boot_id"] == boot and info["reboot_required"] is True, info
assert sorted(r["event"] for r in info["history"]) == ["accepted"] * 4 + ["restart-not-requested"] * 4, info["history"]
ours = [d for d in info["drives"] if d["model"] == "CDRW-4824A"]
assert [(d["drive"], d["version"]) for d in ours] == [(x, "1.10") for x in four], ours
for d in ours:
    w = d["waiting"]
    assert w["event"] == "accepted" and w["sha256"] == sha256 and w["boot"] == boot and w["version"] == "1.20", d
assert [d["waiting"] for d in info["drives"] if d["drive"] == "1:2"] == [None], info
assert [d["transport"] for d in info["drives"]] == ["ata"] * 4 + ["unknown"], info["drives"]
assert stats["host-a"]["changed"] == 1 and stats["host-a"]["failures"] == 0, stats
assert stats["host-b"]["changed"] == 0 and stats["host-b"]["failures"] == 0, stats
assert stats["host-c"]["failures"] == 1, stats
PY
for host in host-a host-c; do
  written=(0:1 0:2 1:0 1:1)
  [ "$host" = host-c ] && written=(0:1 0:2 1:0)
  for drive in "${written[@]}"; do
    mapfile -t dumps < <(commands "$host" "$drive" | sed -E 's/.* Dump="([^"]*)".*/\1/')
    expect_dumps "$work/images/FW.BIN" "${dumps[@]}"
    grep -qx "pending ${drive%:*} ${drive#*:} \"1.20\" boot=\"$(cat /proc/sys/kernel/random/boot_id)\"" \
      "$work/$host/quorvel-sim.state" || fail "$host $drive does not keep 1.20 for the restart"
  done
done
[ "$(commands host-c 1:1 | wc -l)" -eq 3 ] || fail "C's refusing drive got $(commands host-c 1:1 | wc -l) commands, not 3"
[ "$(commands host-a 1:2 | wc -l)" -eq 0 ] || fail "A's drive of another model got a download command"
[ "$(sent host-b)" -eq 0 ] || fail "B's drives, already at the version, were sent something"
# In time: every flash's first block before any flash's last, A's and C's;
# B's first discovery before either host's last block.
firsts=$(for d in 0:1 0:2 1:0 1:1; do first host-a "$d"; first host-c "$d"; done | sort)
lasts=$(for d in 0:1 0:2 1:0 1:1; do last host-a "$d"; last host-c "$d"; done | sort)
[[ "$(tail -n 1 <<<"$firsts")" < "$(head -n 1 <<<"$lasts")" ]] ||
  fail "A's and C's flashes did not overlap: a first block at $(tail -n 1 <<<"$firsts"), a last at $(head -n 1 <<<"$lasts")"
b_began=$(grep -m 1 '^START ' "$(trace_of host-b)" | sed -E 's/.* time=([^ ]+) .*/\1/')
[[ "$b_began" < "$(head -n 1 <<<"$lasts")" ]] || fail "B's task began ($b_began) after a flash had ended"
grep -q ' reboot ' "$QUORVEL_SIM_LOGIN1_RECORD" && fail "a restart was requested"
echo "4: A written byte for byte, B already, C's refusing drive stopped at block 3 and its others written; in parallel"

# --- 5. the play again --------------------------------------------------------------
from_a=$(($(lines host-a) + 1)) from_b=$(($(lines host-b) + 1)) from_c=$(($(lines host-c) + 1))
play second "$source/tests/ansible/fleet.yml"
[ "$status" -eq 2 ] || fail "the second play exited $status, not 2 (C's drive refuses again)"
check second <<'PY'
a = firmware("host-a")
assert a["changed"] is False and not a.get("failed") and a["reboot_required"] is True, a
assert [(d["drive"], d["version"], d["result"]) for d in a["drives"]] == [(x, "1.10", "awaiting_restart") for x in four], a
assert a["msg"] == "firmware 1.20 (FW.BIN): awaiting restart 0:1, 0:2, 1:0, 1:1; restart the host to finish", a["msg"]
b = firmware("host-b")
assert b["changed"] is False and b["reboot_required"] is False and [d["result"] for d in b["drives"]] == ["already"] * 4, b
# Blocks reached C's refusing drive again: changed, though it took nothing.
c = firmware("host-c")
assert c.get("failed") is True and c["changed"] is True and c["reboot_required"] is True, c
assert [(d["drive"], d["result"], d["blocks_sent"]) for d in c["drives"]] == [
    ("0:1", "awaiting_restart", 0), ("0:2", "awaiting_restart", 0), ("1:0", "awaiting_restart", 0), ("1:1", "refused", 3)], c
assert stats["host-a"]["changed"] == 0 and stats["host-b"]["changed"] == 0, stats
PY
for drive in 0:1 0:2 1:0 1:1; do
  [ "$(commands host-a "$drive" "$from_a" | wc -l)" -eq 0 ] || fail "the second play sent A's $drive a command"
  [ "$drive" = 1:1 ] || [ "$(commands host-c "$drive" "$from_c" | wc -l)" -eq 0 ] ||
    fail "the second play sent C's written $drive a command"
done
[ "$(commands host-c 1:1 "$from_c" | wc -l)" -eq 3 ] || fail "C's refused drive was not tried again"
[ "$(tail -n +"$from_b" "$(trace_of host-b)" | grep -cE 'Download=|^HOLD ')" -eq 0 ] || fail "the second play sent B something"
echo "5: again: A and B unchanged (A awaiting restart), C's written drives left alone, its refused one tried again (changed)"

# The image's SHA-256 in the rule of a drive that waits, and force: in check
# mode, an image of the same version with other bytes would be written into
# A's drives, which wait with FW.BIN; with force, B's drives at 1.20 would be.
mkimage --model "QUORVEL CDRW-4824A" --version 1.20 --block-kb 60 --blocks 6 "$work/images/FW2.BIN"
play another-image "$source/tests/ansible/fleet.yml" --check --limit host-a,host-b \
  -e "quorvel_image=$work/images/FW2.BIN" -e '{"quorvel_force_hosts": ["host-b"]}'
[ "$status" -eq 0 ] || fail "check mode with another image exited $status: $(tail -c 2000 "$work/another-image.out")"
check another-image <<'PY'
for host, version in (("host-a", "1.10"), ("host-b", "1.20")):
    task = firmware(host)
    assert task["changed"] is True and [(d["version"], d["result"]) for d in task["drives"]] == [(version, "written")] * 4, \
        (host, task)
PY
echo "5b: check mode: another image for A's waiting drives would be written; so would B's with force"

# --- 6. the example playbook, on B ----------------------------------------------------
# Its play has no environment of its own: B's comes from the controller's,
# which a local connection's modules inherit.
status=0
(cd "$work" && LD_LIBRARY_PATH="$build/sim" QUORVEL_SIM_MACHINE="$work/host-b/machine" XDG_STATE_HOME="$work/host-b/state" \
  QUORVEL_ANSIBLE_RESULTS=$work/example.json ansible-playbook -i "$work/inventory.yml" quorvel.flash.update_drives \
  -e quorvel_hosts=host-b -e "quorvel_image=$work/images/FW.BIN" -e "quorvel_flash=$flash") \
  >"$work/example.out" 2>"$work/example.err" || status=$?
[ "$status" -eq 0 ] || fail "the example playbook on B exited $status: $(tail -c 3000 "$work/example.out")"
check example <<'PY'
b = results["host-b"]
assert b["The image into every drive of its model"]["changed"] is False, b
assert b["Restart the hosts where a drive waits for it"].get("skipped") is True, b
assert b["Every drive written now runs the image's version"]["msg"] == "4 drive(s) at 1.20, no restart needed", b
assert stats["host-b"]["failures"] == 0 and stats["host-b"]["skipped"] == 1, stats
PY
echo "6: the example playbook on B: nothing to write, no restart, the drives asserted at 1.20"

# --- 7. restart: true -------------------------------------------------------------------
# A's drives written again (another image, force) with the restart asked for:
# the login1 stand-in restarts A's simulated machine, and every drive runs
# what it accepted last; nothing waits any more.
play restart "$source/tests/ansible/fleet.yml" --limit host-a -e "quorvel_image=$work/images/FW2.BIN" \
  -e '{"quorvel_force_hosts": ["host-a"], "quorvel_restart": true}'
[ "$status" -eq 0 ] || fail "the play with restart: true exited $status: $(tail -c 2000 "$work/restart.out")"
check restart <<'PY'
a = firmware("host-a")
assert a["changed"] is True and a["restarting"] is True and a["reboot_required"] is False, a
assert a["msg"] == ("firmware 1.20 (FW2.BIN): written 0:1, 0:2, 1:0, 1:1; the host accepted the restart and goes down "
                    "now"), a["msg"]
info = results["host-a"]["The drives afterwards"]
ours = [d for d in info["drives"] if d["model"] == "CDRW-4824A"]
assert [(d["version"], d["waiting"]) for d in ours] == [("1.20", None)] * 4 and info["reboot_required"] is False, info
PY
grep -q " reboot interactive=true .* machine=\"$work/host-a/machine\" taken=0:1,0:2,1:0,1:1\$" "$QUORVEL_SIM_LOGIN1_RECORD" ||
  fail "A's machine was not restarted: $(grep ' reboot ' "$QUORVEL_SIM_LOGIN1_RECORD")"
echo "7: restart: true: the restart asked for and said, A's machine restarted, its drives at 1.20, none waiting"
echo "the fleet's collection through Ansible: sanity, check --json, bad input, check mode, three hosts at once, idempotent"
