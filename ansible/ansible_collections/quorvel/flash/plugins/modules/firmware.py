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
      - Nothing is restarted when no drive was written.
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
    that lists them) and the record, and says which drives would be written (C(drives[].result) is
    then C(written) for those, and C(changed) and C(reboot_required) are what writing them would give).
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
    - Whether a block of the image was sent to a drive, whatever the drive then answered (in check mode,
      whether a drive would be written).
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
        - C(written) the drive accepted every block (in check mode, it would be written);
          C(already) it runs the image's version; C(awaiting_restart) it accepted this image since the host
          started and takes it at the restart; C(refused) it refused block C(drives[].block), after
          accepting the blocks before it; C(failed) its flash did not end (it went away, did not answer, its
          flash's process was cut off) or could not start (busy with another flash), C(drives[].cause) says
          why.
        - After C(refused), or C(failed) with C(drives[].blocks_sent) above 0, part of the image reached
          the drive, which is to be written again before the host restarts.
      type: str
      choices: [written, already, awaiting_restart, refused, failed]
    blocks_sent:
      description: How many of the image's blocks were sent to the drive by this task; 0 when none.
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
    waiting_flash,
)

# In the order msg names them, with the words it names them by.
RESULTS = (("written", "written"), ("awaiting_restart", "awaiting restart"), ("already", "already"),
           ("refused", "refused"), ("failed", "failed"))
# The drives that run the image once the host has restarted.
TAKEN = ("written", "awaiting_restart", "already")


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


def refusals(image, check):
    """Why the image or the drives chosen cannot be written, as one sentence, or ""."""
    if not check.get("valid"):
        return "image %s: %s" % (image, check.get("why"))
    refused = [" ".join(w for w in (d.get("drive"), d.get("model")) if w) + ": " + d.get("why", "").rstrip(".")
               for d in check.get("drives", []) if d.get("result") != "would-write"]
    if refused:
        return "nothing was sent to any drive: " + "; ".join(refused)
    return ""


def nothing_to_do(check, found, why):
    """What a host with no drive of the image's model is told: not a failure."""
    listed = ", ".join("%s:%s %s %s" % (d.get("adapter"), d.get("target"), d.get("vendor"), d.get("model"))
                       for d in found)
    return "no drive on this host is a %s, the image's model: nothing to do (%s)" % (
        check.get("model"), ("found: " + listed) if listed else (why or "no drive found"))


def planned(check, identities, records, sha256, force):
    """Each chosen drive and what is to become of it, before anything is sent."""
    entries = []
    for drive in check["drives"]:
        identity = identities.get(drive["drive"], {})
        entry = dict(drive=drive["drive"], vendor=identity.get("vendor", ""), model=identity.get("model", ""),
                     version=drive.get("old", ""), result="written", blocks_sent=0, block=0,
                     blocks=check.get("blocks", 0), cause="")
        if force:
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


def written(flash, params, image, entries):
    """The drives to write written; their entries completed. Returns write's exit status and what it said last."""
    words = ["write", "--json", "--yes"] + (["--restart"] if params["restart"] else [])
    for entry in entries:
        if entry["result"] == "written":
            words += ["--drive", entry["drive"]]
    # From the image's folder: quorvel-flash takes paths of up to 131 characters.
    rc, objects, err = flash.json_lines(words + ["--", os.path.basename(image)], cwd=os.path.dirname(image))
    summaries = [o for o in objects if isinstance(o, dict) and isinstance(o.get("drives"), list) and "status" in o]
    if not summaries:
        raise FlashError("quorvel-flash write gave no summary (exit %d): %s" % (rc, flash.told(err) or "nothing said"))
    by_address = dict((d.get("drive"), d) for d in summaries[-1]["drives"] if isinstance(d, dict))
    for entry in entries:
        if entry["result"] == "written":
            entry["result"], entry["blocks_sent"], entry["block"], entry["cause"] = outcome(
                by_address.get(entry["drive"], {}))
    return rc, flash.told(err)


def told_of(entry):
    text = entry["drive"]
    if entry["block"]:
        text += " at block %d of %d" % (entry["block"], entry["blocks"])
    # The cause is a sentence of its own, with brackets of its own.
    return text + (" [%s]" % entry["cause"].rstrip(".") if entry["cause"] else "")


def message(image, entries, check_mode):
    groups = []
    for result, words in RESULTS:
        chosen = [entry for entry in entries if entry["result"] == result]
        if chosen:
            said = "would write" if result == "written" and check_mode else words
            groups.append(said + " " + ", ".join(told_of(entry) for entry in chosen))
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
    rc, check, err = flash.json(["check", "--json"] + drive_words + ["--", os.path.basename(image)],
                                cwd=os.path.dirname(image))
    if not isinstance(check, dict) or not isinstance(check.get("drives"), list):
        raise FlashError("%s check --json gave no image and drives" % flash.path)
    refused = refusals(path, check)
    if refused:
        raise FlashError(refused)
    described = dict(path=path, name=os.path.basename(path), sha256=sha256, version=check.get("version", ""),
                     blocks=check.get("blocks", 0))
    result = dict(changed=False, drives=[], image=described, reboot_required=False, restarting=False)
    found, why = flash.drives()
    if not check["drives"]:
        module.exit_json(msg="firmware %s (%s): %s" % (described["version"], described["name"],
                                                      nothing_to_do(check, found, why)), **result)
    if rc != 0:
        raise FlashError("quorvel-flash check refused (exit %d): %s" % (rc, flash.told(err)))

    identities = dict(("%s:%s" % (d.get("adapter"), d.get("target")), d) for d in found if isinstance(d, dict))
    entries = planned(check, identities, flash.records(), sha256, params["force"])
    status, said = 0, ""
    to_write = any(e["result"] == "written" for e in entries)
    if to_write and not module.check_mode:
        status, said = written(flash, params, image, entries)
    if module.check_mode:
        result["changed"] = to_write
    else:
        result["changed"] = any(e["blocks_sent"] > 0 for e in entries)
    waits = any(e["result"] in ("written", "awaiting_restart") for e in entries)
    result["restarting"] = params["restart"] and to_write and status == 0 and not module.check_mode
    result["reboot_required"] = waits and not result["restarting"]
    result["drives"] = entries
    result["msg"] = message(described, entries, module.check_mode)
    if result["restarting"]:
        result["msg"] += "; the host accepted the restart and goes down now"
    elif status == 3:
        result["msg"] += "; the restart asked for was refused: " + said
    elif result["reboot_required"]:
        result["msg"] += "; the host would need its restart" if module.check_mode else "; restart the host to finish"
    if module._diff:
        result["diff"] = diff(entries, described["version"])
    if status == 3 or any(e["result"] in ("refused", "failed") for e in entries):
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
