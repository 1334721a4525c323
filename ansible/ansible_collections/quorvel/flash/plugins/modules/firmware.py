#!/usr/bin/python
# -*- coding: utf-8 -*-
# quorvel.flash.firmware: a firmware image into the CD/DVD drives of the
# managed host, through quorvel-flash's JSON.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: firmware
short_description: Write a firmware image into the CD/DVD drives of a host
version_added: "1.0.0"
description:
  - Writes a firmware image into the host's CD/DVD drives with C(quorvel-flash), with every check
    of QUORVEL's own program (the image's model against each drive's, the image's blocks, a drive
    busy with another flash) and its guards (the drive locked, shutdown held off, a flash that
    outlives its front end).
  - Idempotent. A drive that already runs the image's version, or that has accepted this same image
    (the same SHA-256) since the host last started and waits for its restart, is left alone and
    reported as C(already) or C(awaiting_restart). A drive takes new firmware only at the next
    restart, and reports its old version until then; the record of flashes that C(quorvel-flash)
    keeps for the user (C(quorvel-flash history)) says which flash waits.
  - A host with no drive of the image's model has nothing to do (I(all=true)); the task is then ok and
    unchanged.
  - A drive that a flash of this same image (the same SHA-256) by this user is writing when the task
    begins, as C(quorvel-flash status) tells it, is neither written again nor failed as busy. The task
    follows that flash to its end (C(quorvel-flash watch)), before it writes any other drive, and
    reports the drive by how the flash ended, with C(drives[].followed) true. A flash followed whose
    starter is gone is seen to its end by the task, which records its end, as any first follower does.
  - A drive being written with another image, or by another user's flash (known only where that flash
    holds the drive's lock file), fails the task before anything is sent to any drive. Flashes under
    way are looked for where C(quorvel-flash) looks, in the user's runtime folder (C($XDG_RUNTIME_DIR),
    which a login session sets); without one none is found, and a drive being written fails as busy
    when written.
  - A flash followed whose starter asked for the host's restart (C(quorvel-flash write --restart)) ends
    with that restart, asked for by its starter (or by the task, when its starter is gone); the task
    then writes no other drive, and fails before anything is sent when it has one to write.
  - Never restarts the host unless I(restart) is given; restart the hosts whose C(reboot_required)
    is true with M(ansible.builtin.reboot), which waits for them to come back.
  - The task fails when any drive refused a block or failed, or a restart asked for was refused;
    C(drives) still says how each went.
  - Bad input (a missing image, an image that does not match I(checksum), an image for another
    model, an unknown drive, a missing or too old C(quorvel-flash)) fails the task with a sentence
    saying so, and nothing is sent to any drive.
options:
  image:
    description:
      - The firmware image, a path on the managed host.
      - The module reads it once, into a copy of its own, and hands that copy to C(quorvel-flash), so that
        the bytes checked against I(checksum) are the bytes sent.
    type: path
    required: true
  checksum:
    description:
      - What the image must be, as C(ALGORITHM:HEX) (C(sha256:) and the image's 64 hex digits), as
        M(ansible.builtin.get_url) takes a checksum; C(sha1), C(sha224), C(sha256), C(sha384) and
        C(sha512) are taken.
      - An image that does not match fails the task before anything is sent, in check mode too.
    type: str
  drives:
    description:
      - The drives to write, each as C(A:T), its host adapter and target as C(quorvel-flash list)
        shows them; each must be of the image's model.
      - Mutually exclusive with I(all); one of I(drives) and I(all) is required.
    type: list
    elements: str
  all:
    description:
      - C(true) chooses every drive of the image's model that the host lists; drives of other models
        are left alone, and a host with none has nothing to do.
      - Mutually exclusive with I(drives); one of I(drives) and I(all) is required. C(false) chooses no
        drive and fails the task.
    type: bool
  restart:
    description:
      - Once every drive written has accepted every block, ask the system for the restart that
        finishes the update (C(quorvel-flash write --restart)); C(restarting) says that the host
        accepted it. The connection to the host then goes down with it, so prefer
        M(ansible.builtin.reboot) after the task.
      - Nothing is restarted when no drive was written. A drive whose flash under way is followed is not
        written by the task; the restart waits for its acceptance and is asked for only when it accepted too,
        never for it alone.
    type: bool
    default: false
  force:
    description:
      - Write every chosen drive, even one that already runs the image's version or waits for its
        restart with this image.
    type: bool
    default: false
extends_documentation_fragment:
  - quorvel.flash.quorvel_flash
  - ansible.builtin.action_common_attributes
notes:
  - Check mode sends nothing to any drive. It reads the image, the drives' identities (the INQUIRY
    that lists them), the flashes under way and the record, and says which drives would be written
    (C(drives[].result) is then C(written) for those, and C(changed) and C(reboot_required) are what
    writing them would give) and which flashes under way would be followed (C(drives[].followed));
    it waits for none of them.
  - Diff mode shows each drive's version before and after.
  - Needs a C(quorvel-flash) that has C(check IMAGE --json).
attributes:
  check_mode:
    support: full
  diff_mode:
    support: full
  platform:
    platforms: posix
seealso:
  - module: quorvel.flash.drives_info
    description: The drives as they are, and the flash each waits with, after the restart or any time.
  - module: ansible.builtin.reboot
    description: Restarts the hosts whose C(reboot_required) is true, and waits until they are back.
  - module: ansible.builtin.copy
    description: Puts the image on the hosts; the collection's example playbook does, and passes its checksum.
"""

EXAMPLES = r"""
- name: The image on the host
  ansible.builtin.copy:
    src: FW4824.BIN
    dest: /srv/firmware/
    mode: "0644"

- name: Every drive of the image's model to firmware 1.20
  quorvel.flash.firmware:
    image: /srv/firmware/FW4824.BIN
    checksum: sha256:3f1c2d9a8e4b7f60a5c1d2e3f4a5b6c7d8e9f0a1b2c3d4e5f6a7b8c9d0e1f2a3
    all: true
  register: flashed

- name: Restart where a drive waits for it
  ansible.builtin.reboot:
  when: flashed.reboot_required

- name: Two drives, by address, written again even at 1.20
  quorvel.flash.firmware:
    image: /srv/firmware/FW4824.BIN
    drives: ["0:1", "1:0"]
    force: true
"""

RETURN = r"""
changed:
  description:
    - Whether a block of the image was sent to a drive while the task ran, by the task or by a flash under
      way that it followed, whatever the drive then answered (in check mode, whether a drive would be
      written or a flash followed).
  returned: always
  type: bool
drives:
  description:
    - One entry a chosen drive, in the order given (with I(all), the order the host lists them); empty when
      the host has no drive of the image's model, or the task failed before any drive.
  returned: always
  type: list
  elements: dict
  contains:
    drive:
      description: The drive's address, C(A:T).
      type: str
      sample: "0:1"
    vendor:
      description: The vendor the drive reports.
      type: str
      sample: QUORVEL
    model:
      description: The model the drive reports.
      type: str
      sample: CDRW-4824A
    version:
      description:
        - The firmware version the drive reported when the task began. A drive written goes on reporting it
          until the host's restart.
      type: str
      sample: "1.10"
    result:
      description:
        - C(written) the drive accepted every block, from the task or from the flash under way it followed (in
          check mode, it would be written, or its flash followed);
          C(already) it runs the image's version; C(awaiting_restart) it accepted this image since the host
          started and takes it at the restart; C(refused) it refused block C(drives[].block), after
          accepting the blocks before it; C(failed) its flash did not end (it went away, did not answer, its
          flash's process was cut off) or could not start (busy with a flash of another program's),
          C(drives[].cause) says why.
        - After C(refused), or C(failed) with C(drives[].blocks_sent) above 0, part of the image reached
          the drive, which is to be written again before the host restarts.
      type: str
      choices: [written, already, awaiting_restart, refused, failed]
    followed:
      description:
        - Whether a flash of this image by this user was writing the drive when the task began, and the task
          followed it to its end rather than writing the drive; C(result), C(blocks_sent), C(block) and
          C(cause) are then that flash's.
      type: bool
      sample: false
    blocks_sent:
      description:
        - How many of the image's blocks were sent to the drive by this task, or by the flash it followed
          (from that flash's start); 0 when none.
      type: int
      sample: 7
    block:
      description: The block at which the drive's flash stopped (refused, went away, cut off); 0 when it did not stop.
      type: int
      sample: 0
    blocks:
      description: The image's blocks.
      type: int
      sample: 7
    cause:
      description: Why a drive refused or failed, as QUORVEL says it, where known; empty otherwise.
      type: str
      sample: "The drive said: MEDIUM ERROR, write error (3/0C/00)."
image:
  description: The image the task read, as it was checked and sent.
  returned: success, and when a drive refused or failed
  type: dict
  contains:
    path:
      description: Its path on the host.
      type: str
      sample: /srv/firmware/FW4824.BIN
    name:
      description: Its file name.
      type: str
      sample: FW4824.BIN
    sha256:
      description: The SHA-256 of its bytes, as the record of flashes keeps it.
      type: str
    version:
      description: The firmware version it carries, which a drive written runs after the restart.
      type: str
      sample: "1.20"
    blocks:
      description: Its blocks.
      type: int
      sample: 7
reboot_required:
  description:
    - Whether a drive has accepted firmware that takes effect at the host's next restart, and this task did
      not have the host restart (in check mode, whether a drive would).
  returned: always
  type: bool
restarting:
  description: Whether this task asked for the host's restart (I(restart=true)) and the host accepted it.
  returned: always
  type: bool
msg:
  description: What became of the drives, in one line.
  returned: always
  type: str
  sample: "firmware 1.20 (FW4824.BIN): written 0:1, 0:2; already 1:0; restart the host to finish"
"""

import os
import shutil
import tempfile

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.quorvel.flash.plugins.module_utils.quorvel_flash import (
    FlashError,
    QuorvelFlash,
    boot_id,
    image_digest,
    parse_address,
    parse_checksum,
    under_way,
    waiting_flash,
)

# In the order msg names them, with the words it names them by.
RESULTS = (("written", "written"), ("awaiting_restart", "awaiting restart"), ("already", "already"),
           ("refused", "refused"), ("failed", "failed"))
# The drives that run the image once the host has restarted.
TAKEN = ("written", "awaiting_restart", "already")
# The record's lines of a drive's answer, as write's summary words them.
ENDINGS = {"accepted": "accepted", "refused": "refused", "gone": "gone", "process-lost": "cut-off"}


def chosen_drives(params):
    """The `--drive`/`--all` words of quorvel-flash, from the options (Ansible
    has made sure of one of drives and all, never both, as the module declares)."""
    if params["all"] is not None:
        if not params["all"]:
            raise FlashError("all: false chooses no drive: give all: true, or drives (a list of A:T, as "
                             "quorvel-flash list shows them)")
        return ["--all"]
    if not params["drives"]:
        raise FlashError("drives is empty: give the drives as A:T, as quorvel-flash list shows them, or all: true")
    words, seen = [], set()
    for text in params["drives"]:
        address = parse_address(text)
        if address is None:
            raise FlashError("'%s' is no drive: give it as A:T, its adapter and target (0 to 255), as quorvel-flash "
                             "list shows them" % text)
        if address in seen:
            raise FlashError("drive %d:%d is listed twice" % address)
        seen.add(address)
        words += ["--drive", "%d:%d" % address]
    return words


def checked_image(params):
    path = os.path.abspath(params["image"])
    if not os.path.exists(path):
        raise FlashError("image %s: no such file on this host" % path)
    if not os.path.isfile(path):
        raise FlashError("image %s is no regular file" % path)
    if not os.access(path, os.R_OK):
        raise FlashError("image %s cannot be read by this user" % path)
    return path


def sealed_image(module, path, checksum):
    """A copy of the image of the module's own, which quorvel-flash is given:
    the bytes checked against `checksum` are the bytes sent, whatever becomes
    of the host's file meanwhile. Its path and its SHA-256."""
    wanted = parse_checksum(checksum) if checksum else None
    copy = os.path.join(tempfile.mkdtemp(dir=module.tmpdir), os.path.basename(path))
    try:
        shutil.copyfile(path, copy)
    except (IOError, OSError) as error:
        raise FlashError("image %s cannot be read: %s" % (path, error.strerror or error))
    if wanted is not None:
        found = image_digest(copy, wanted[0])
        if found != wanted[1]:
            raise FlashError("image %s is not the one meant: its %s is %s, the checksum says %s; nothing was sent"
                             % (path, wanted[0], found, wanted[1]))
    return copy, image_digest(copy)


def refusals(image, check, flashes):
    """Why the image or the drives chosen cannot be written, as one sentence,
    or "". `flashes` is what a flash under way makes of each drive (under_way):
    a drive to follow is no refusal, whatever check says of it."""
    if not check.get("valid"):
        return "image %s: %s" % (image, check.get("why"))
    refused = []
    for drive in check.get("drives", []):
        decision = flashes.get(drive.get("drive"))
        if decision is not None and decision[0] == "follow":
            continue
        why = decision[1] if decision is not None else drive.get("why", "")
        if decision is not None or drive.get("result") != "would-write":
            refused.append(" ".join(w for w in (drive.get("drive"), drive.get("model")) if w) + ": " + why.rstrip("."))
    if refused:
        return "nothing was sent to any drive: " + "; ".join(refused)
    return ""


def nothing_to_do(check, found, why):
    """What a host with no drive of the image's model is told: not a failure."""
    listed = ", ".join("%s:%s %s %s" % (d.get("adapter"), d.get("target"), d.get("vendor"), d.get("model"))
                       for d in found)
    return "no drive on this host is a %s, the image's model: nothing to do (%s)" % (
        check.get("model"), ("found: " + listed) if listed else (why or "no drive found"))


def planned(check, identities, records, sha256, force, follow=()):
    """Each chosen drive and what is to become of it, before anything is sent.
    The drives of `follow` are being written with this image: their flash is
    followed, whatever their version, the record or force say."""
    entries = []
    for drive in check["drives"]:
        identity = identities.get(drive["drive"], {})
        entry = dict(drive=drive["drive"], vendor=identity.get("vendor", ""), model=identity.get("model", ""),
                     version=drive.get("old", ""), result="written", followed=drive["drive"] in follow, blocks_sent=0,
                     block=0, blocks=check.get("blocks", 0), cause="")
        if force or entry["followed"]:
            pass
        elif entry["version"] == check.get("version"):
            entry["result"] = "already"
        elif waiting_flash(records, identity, sha256) is not None:
            entry["result"] = "awaiting_restart"
        entries.append(entry)
    return entries


def outcome(summary_drive):
    """(result, blocks sent, the block it stopped at, cause) of one drive of `write --json`'s summary."""
    result = summary_drive.get("result")
    block, blocks = summary_drive.get("block", 0), summary_drive.get("blocks", 0)
    cause = summary_drive.get("cause", "") or ""
    if result == "accepted":
        return "written", blocks, 0, cause
    if result == "refused" and block > 0:
        return "refused", block, block, cause
    if result == "refused":
        return "failed", 0, 0, cause or "the transfer could not be started; nothing was sent"
    if result == "gone":
        return "failed", block, block, cause or "the drive went away at block %d of %d (unplugged, reset or " \
                                                "switched off)" % (block, blocks)
    if result == "cut-off":
        return "failed", block, block, cause or "its flash's process ended at block %d of %d" % (block, blocks)
    if result == "not-written":
        return "failed", 0, 0, cause or summary_drive.get("why", "")
    return "failed", block, block, cause or "quorvel-flash gave no answer for it"


def to_write(entry):
    return entry["result"] == "written" and not entry["followed"]


def recorded_end(records, flash_id):
    """How the record says flash `flash_id` ended, as write's summary says a
    drive's end; None while it says nothing of it."""
    for record in reversed(records):
        if isinstance(record, dict) and record.get("flash") == flash_id and record.get("event") in ENDINGS:
            return dict(result=ENDINGS[record["event"]], block=record.get("block", 0), blocks=record.get("blocks", 0),
                        cause=record.get("cause", ""))
    return None


def summary_drives(objects):
    """Each drive's object of the last summary of write's or watch's JSON lines, by its address."""
    summaries = [o for o in objects if isinstance(o, dict) and isinstance(o.get("drives"), list) and "status" in o]
    if not summaries:
        return None
    return dict((d.get("drive"), d) for d in summaries[-1]["drives"] if isinstance(d, dict))


def followed_to_end(flash, entries, flashes):
    """The flashes under way of the drives to follow, followed to their end as
    quorvel-flash watch sees them; their entries completed as the drive's
    answer makes them. Returns watch's exit status and what it said last."""
    words = ["watch", "--json"]
    for entry in entries:
        if entry["followed"]:
            words += ["--drive", entry["drive"]]
    rc, objects, err = flash.json_lines(words)
    by_address = summary_drives(objects) or {}
    records = None
    for entry in entries:
        if not entry["followed"]:
            continue
        summary = by_address.get(entry["drive"], {})
        if summary.get("result") in (None, "not-written"):
            # The flash ended between the status and the watch: its record
            # says how.
            records = flash.records() if records is None else records
            summary = recorded_end(records, flashes[entry["drive"]].get("flash")) or dict(
                result="not-written", why="its flash under way could not be followed to its end: %s" % (
                    summary.get("why") or flash.told(err) or "quorvel-flash watch said nothing"))
        entry["result"], entry["blocks_sent"], entry["block"], entry["cause"] = outcome(summary)
    return rc, flash.told(err)


def written(flash, restart, image, entries):
    """The drives to write written; their entries completed. Returns write's exit status and what it said last."""
    words = ["write", "--json", "--yes"] + (["--restart"] if restart else [])
    for entry in entries:
        if to_write(entry):
            words += ["--drive", entry["drive"]]
    # From the image's folder: quorvel-flash takes paths of up to 131 characters.
    rc, objects, err = flash.json_lines(words + ["--", os.path.basename(image)], cwd=os.path.dirname(image))
    by_address = summary_drives(objects)
    if by_address is None:
        raise FlashError("quorvel-flash write gave no summary (exit %d): %s" % (rc, flash.told(err) or "nothing said"))
    for entry in entries:
        if to_write(entry):
            entry["result"], entry["blocks_sent"], entry["block"], entry["cause"] = outcome(
                by_address.get(entry["drive"], {}))
    return rc, flash.told(err)


def told_of(entry):
    text = entry["drive"] + (" (followed the flash under way)" if entry.get("followed") else "")
    if entry["block"]:
        text += " at block %d of %d" % (entry["block"], entry["blocks"])
    # The cause is a sentence of its own, with brackets of its own.
    return text + (" [%s]" % entry["cause"].rstrip(".") if entry["cause"] else "")


def message(image, entries, check_mode):
    groups = []
    for result, words in RESULTS:
        chosen = [entry for entry in entries
                  if entry["result"] == result and not (check_mode and entry.get("followed"))]
        if chosen:
            said = "would write" if result == "written" and check_mode else words
            groups.append(said + " " + ", ".join(told_of(entry) for entry in chosen))
    follow = [entry["drive"] for entry in entries if check_mode and entry.get("followed")]
    if follow:
        groups.append("would follow the flash under way of " + ", ".join(follow))
    return "firmware %s (%s): %s" % (image["version"], image["name"], "; ".join(groups))


def diff(entries, version):
    line = "%s %s %s %s\n"
    before = "".join(line % (e["drive"], e["vendor"], e["model"], e["version"]) for e in entries)
    after = "".join(line % (e["drive"], e["vendor"], e["model"], version if e["result"] in TAKEN else e["version"])
                    for e in entries)
    return dict(before=before, after=after)


def run(module):
    params = module.params
    drive_words = chosen_drives(params)
    path = checked_image(params)
    flash = QuorvelFlash(module, params["executable"])
    image, sha256 = sealed_image(module, path, params["checksum"])
    # Before check: a flash that ends between the two is followed all the
    # same, its end read from the record; one that begins between them is
    # refused by check as busy.
    serving = flash.status()
    rc, check, err = flash.json(["check", "--json"] + drive_words + ["--", os.path.basename(image)],
                                cwd=os.path.dirname(image))
    if not isinstance(check, dict) or not isinstance(check.get("drives"), list):
        raise FlashError("%s check --json gave no image and drives" % flash.path)
    decisions = {}
    for drive in check["drives"]:
        decision = under_way(serving, drive.get("drive"), sha256)
        if decision is not None:
            decisions[drive.get("drive")] = decision
    refused = refusals(path, check, decisions)
    if refused:
        raise FlashError(refused)
    follow = dict((d, decision[1]) for d, decision in decisions.items() if decision[0] == "follow")
    described = dict(path=path, name=os.path.basename(path), sha256=sha256, version=check.get("version", ""),
                     blocks=check.get("blocks", 0))
    result = dict(changed=False, drives=[], image=described, reboot_required=False, restarting=False)
    found, why = flash.drives()
    if not check["drives"]:
        module.exit_json(msg="firmware %s (%s): %s" % (described["version"], described["name"],
                                                      nothing_to_do(check, found, why)), **result)
    if rc != 0 and not follow:
        raise FlashError("quorvel-flash check refused (exit %d): %s" % (rc, flash.told(err)))

    identities = dict(("%s:%s" % (d.get("adapter"), d.get("target")), d) for d in found if isinstance(d, dict))
    entries = planned(check, identities, flash.records(), sha256, params["force"], follow)
    writes = any(to_write(e) for e in entries)
    restarts = sorted(d for d, f in follow.items() if f.get("restart"))
    if restarts and writes:
        raise FlashError("nothing was sent to any drive: the flash under way of %s ends with the host's restart, which "
                         "its starter asked for; write %s once the host is back" % (
                             ", ".join(restarts), ", ".join(e["drive"] for e in entries if to_write(e))))
    status, said, watched, asked = 0, "", 0, False
    if not module.check_mode:
        # The flashes followed first: a restart asked for comes after every
        # drive has answered, and only when every one accepted. (A watch's
        # restart is its flash's starter's, refused or not: nothing is
        # written after it.)
        if follow:
            watched, said = followed_to_end(flash, entries, follow)
        if writes:
            asked = params["restart"] and all(e["result"] == "written" for e in entries if e["followed"])
            status, said = written(flash, asked, image, entries)
    if module.check_mode:
        result["changed"] = any(e["result"] == "written" for e in entries)
    else:
        result["changed"] = any(e["blocks_sent"] > 0 for e in entries)
    waits = any(e["result"] in ("written", "awaiting_restart") for e in entries)
    result["restarting"] = asked and status == 0
    result["reboot_required"] = waits and not result["restarting"]
    result["drives"] = entries
    result["msg"] = message(described, entries, module.check_mode)
    if result["restarting"]:
        result["msg"] += "; the host accepted the restart and goes down now"
    elif status == 3 or watched == 3:
        result["msg"] += "; the restart asked for was refused: " + said
    elif restarts and not module.check_mode and all(e["result"] == "written" for e in entries if e["followed"]):
        result["msg"] += "; the restart that the flash's starter asked for follows"
    elif result["reboot_required"]:
        result["msg"] += "; the host would need its restart" if module.check_mode else "; restart the host to finish"
    if module._diff:
        result["diff"] = diff(entries, described["version"])
    if status == 3 or watched == 3 or any(e["result"] in ("refused", "failed") for e in entries):
        module.fail_json(**result)
    module.exit_json(**result)


def main():
    module = AnsibleModule(
        argument_spec=dict(
            image=dict(type="path", required=True),
            checksum=dict(type="str"),
            drives=dict(type="list", elements="str"),
            all=dict(type="bool"),
            restart=dict(type="bool", default=False),
            force=dict(type="bool", default=False),
            executable=dict(type="str", default="quorvel-flash"),
        ),
        mutually_exclusive=[("drives", "all")],
        required_one_of=[("drives", "all")],
        supports_check_mode=True,
    )
    try:
        run(module)
    except FlashError as error:
        module.fail_json(msg=str(error), changed=False, drives=[], reboot_required=False, restarting=False)


if __name__ == "__main__":
    main()
