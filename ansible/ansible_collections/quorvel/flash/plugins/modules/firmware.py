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
    reported as C(already) or C(awaiting restart). A drive takes new firmware only at the next
    restart, and reports its old version until then; the record of flashes that C(quorvel-flash)
    keeps for the user (C(quorvel-flash history)) says which flash waits.
  - Never restarts the host unless I(restart) is given; restart the hosts whose C(reboot_required)
    is true with M(ansible.builtin.reboot), which waits for them to come back.
  - The task fails when any drive refused a block or failed; C(drives) still says how each went.
  - Bad input (a missing image, an image for another model, an unknown drive, a missing or too old
    C(quorvel-flash)) fails the task with a sentence saying so, and nothing is sent to any drive.
options:
  image:
    description:
      - The firmware image, a path on the managed host.
    type: path
    required: true
  drives:
    description:
      - The drives to write, each as C(A:T), its host adapter and target as C(quorvel-flash list)
        shows them.
      - Give either I(drives) or I(all).
    type: list
    elements: str
  all:
    description:
      - Every drive of the image's model that the host lists; drives of other models are left
        alone.
      - Give either I(drives) or I(all).
    type: bool
  restart:
    description:
      - Once every drive written has accepted every block, ask the system for the restart that
        finishes the update (C(quorvel-flash write --restart)). The connection to the host then goes
        down with it, so prefer M(ansible.builtin.reboot) after the task.
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
notes:
  - Check mode sends nothing to any drive. It reads the image, the drives' identities (the INQUIRY
    that lists them) and the record, and says which drives would be written (C(drives[].result) is
    then C(written) for those).
  - Diff mode shows each drive's version before and after.
  - Needs a C(quorvel-flash) that has C(check IMAGE --json).
attributes:
  check_mode:
    support: full
  diff_mode:
    support: full
"""

EXAMPLES = r"""
- name: Every drive of the image's model to firmware 1.20
  quorvel.flash.firmware:
    image: /srv/firmware/FW4824.BIN
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
  description: Whether a drive was written (in check mode, would be).
  returned: always
  type: bool
drives:
  description: One entry a chosen drive, in the order given (with I(all), the order the host lists them).
  returned: always
  type: list
  elements: dict
  contains:
    drive:
      description: The drive's address, C(A:T).
      type: str
      sample: "0:1"
    model:
      description: The drive's vendor and model as it reports them.
      type: str
      sample: QUORVEL CDRW-4824A
    before:
      description: The version the drive reported before the task.
      type: str
      sample: "1.10"
    version:
      description: The image's version.
      type: str
      sample: "1.20"
    result:
      description:
        - C(written) the drive accepted every block (in check mode, it would be written);
          C(already) it runs the image's version; C(awaiting restart) it accepted this image since
          the host started and takes it at the restart; C(refused) it refused block C(drives[].block);
          C(failed) nothing was written (busy with another flash, its flash cut off, ...), C(drives[].cause) says why.
      type: str
      choices: [written, already, awaiting restart, refused, failed]
    block:
      description: The blocks it accepted (written), or the block it refused or was cut off at; 0 when nothing was sent.
      type: int
      sample: 7
    blocks:
      description: The image's blocks.
      type: int
      sample: 7
    cause:
      description: Why a drive refused or failed, where known; empty otherwise.
      type: str
      sample: "DOWNLOAD BUSY!! Another program is writing to this drive."
reboot_required:
  description: Whether a drive has accepted firmware that takes effect at the host's next restart.
  returned: always
  type: bool
msg:
  description: What became of the drives, in one line.
  returned: always
  type: str
  sample: "firmware 1.20 (FW4824.BIN): written 0:1, 0:2; already 1:0; restart the host to finish"
"""

import os

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.quorvel.flash.plugins.module_utils.quorvel_flash import (
    FlashError,
    QuorvelFlash,
    boot_id,
    image_sha256,
    parse_address,
    waiting_flash,
)

# In the order msg names them.
RESULTS = ("written", "awaiting restart", "already", "refused", "failed")


def chosen_drives(params):
    """The `--drive`/`--all` words of quorvel-flash, from the options."""
    drives, everything = params["drives"], params["all"]
    if drives and everything:
        raise FlashError("give drives or all: true, not both")
    if everything:
        return ["--all"]
    if not drives:
        raise FlashError("give drives (a list of A:T, as quorvel-flash list shows them) or all: true")
    words, seen = [], set()
    for text in drives:
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


def refusals(image, check, flash):
    """Why the image or the drives chosen cannot be written, as one sentence, or ""."""
    if not check.get("valid"):
        return "image %s: %s" % (image, check.get("why"))
    refused = [" ".join(w for w in (d.get("drive"), d.get("model")) if w) + ": " + d.get("why", "").rstrip(".")
               for d in check.get("drives", []) if d.get("result") != "would-write"]
    if refused:
        return "nothing was sent to any drive: " + "; ".join(refused)
    if not check.get("drives"):
        found, why = flash.drives()
        listed = ", ".join("%s:%s %s %s" % (d.get("adapter"), d.get("target"), d.get("vendor"), d.get("model"))
                           for d in found)
        return "no drive on this host is a %s, the image's model (%s); nothing was sent" % (
            check.get("model"), ("found: " + listed) if listed else (why or "no drive found"))
    return ""


def planned(check, identities, records, boot, sha256, force):
    """Each chosen drive and what is to become of it, before anything is sent."""
    entries = []
    for drive in check["drives"]:
        identity = identities.get(drive["drive"], {})
        entry = dict(drive=drive["drive"], model=drive.get("model", ""), before=drive.get("old", ""),
                     version=check.get("version", ""), result="written", block=0, blocks=check.get("blocks", 0),
                     cause="")
        waiting = waiting_flash(records, boot, identity.get("adapter"), identity.get("target"),
                                identity.get("vendor"), identity.get("model"))
        if not force and waiting is not None and waiting.get("sha256") == sha256:
            entry["result"] = "awaiting restart"
        elif not force and entry["before"] == entry["version"]:
            entry["result"] = "already"
        entries.append(entry)
    return entries


def outcome(summary_drive):
    """(result, block, cause) of one drive of `write --json`'s summary."""
    result = summary_drive.get("result")
    block, blocks = summary_drive.get("block", 0), summary_drive.get("blocks", 0)
    cause = summary_drive.get("cause", "") or ""
    if result == "accepted":
        return "written", blocks, cause
    if result == "refused" and block > 0:
        return "refused", block, cause
    if result == "refused":
        return "failed", 0, cause or "the transfer could not be started; nothing was sent"
    if result == "gone":
        return "failed", block, cause or "the drive went away at block %d of %d (unplugged, reset or switched off)" % (
            block, blocks)
    if result == "cut-off":
        return "failed", block, cause or "its flash's process ended at block %d of %d" % (block, blocks)
    if result == "not-written":
        return "failed", 0, cause or summary_drive.get("why", "")
    return "failed", block, cause or "quorvel-flash gave no answer for it"


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
        if entry["result"] != "written":
            continue
        entry["result"], entry["block"], entry["cause"] = outcome(by_address.get(entry["drive"], {}))
    return rc, flash.told(err)


def told_of(entry):
    text = entry["drive"]
    if entry["result"] == "refused":
        text += " at block %d of %d" % (entry["block"], entry["blocks"])
    return text + (" (%s)" % entry["cause"] if entry["cause"] else "")


def message(check, entries, check_mode, reboot_required):
    groups = []
    for result in RESULTS:
        chosen = [entry for entry in entries if entry["result"] == result]
        if chosen:
            said = "would write" if result == "written" and check_mode else result
            groups.append(said + " " + ", ".join(told_of(entry) for entry in chosen))
    text = "firmware %s (%s): %s" % (check.get("version"), os.path.basename(check.get("image", "")), "; ".join(groups))
    if reboot_required:
        text += "; restart the host to finish"
    return text


def diff(entries):
    before = "".join("%s %s %s\n" % (e["drive"], e["model"], e["before"]) for e in entries)
    after = "".join("%s %s %s\n" % (e["drive"], e["model"], e["version"] if e["result"] in RESULTS[:3]
                                    else e["before"]) for e in entries)
    return dict(before=before, after=after)


def run(module):
    params = module.params
    drive_words = chosen_drives(params)
    image = checked_image(params)
    flash = QuorvelFlash(module, params["executable"])
    rc, check, err = flash.json(["check", "--json"] + drive_words + ["--", os.path.basename(image)],
                                cwd=os.path.dirname(image))
    if not isinstance(check, dict) or not isinstance(check.get("drives"), list):
        raise FlashError("%s check --json gave no image and drives" % flash.path)
    refused = refusals(image, check, flash)
    if refused:
        raise FlashError(refused)
    if rc != 0:
        raise FlashError("quorvel-flash check refused (exit %d): %s" % (rc, flash.told(err)))

    found, _ = flash.drives()
    identities = dict(("%s:%s" % (d.get("adapter"), d.get("target")), d) for d in found if isinstance(d, dict))
    entries = planned(check, identities, flash.records(), boot_id(), image_sha256(image), params["force"])

    status, said = 0, ""
    to_write = any(e["result"] == "written" for e in entries)
    if to_write and not module.check_mode:
        status, said = written(flash, params, image, entries)
    changed = any(e["result"] == "written" for e in entries)
    restarting = params["restart"] and changed and status == 0 and not module.check_mode
    reboot_required = not restarting and any(e["result"] in ("written", "awaiting restart") for e in entries)
    if module.check_mode:
        reboot_required = any(e["result"] == "awaiting restart" for e in entries)
    result = dict(changed=changed, drives=entries, reboot_required=reboot_required,
                  msg=message(check, entries, module.check_mode, reboot_required))
    if module._diff:
        result["diff"] = diff(entries)
    failed = [e for e in entries if e["result"] in ("refused", "failed")]
    if failed:
        module.fail_json(**result)
    if status == 3:
        result["msg"] += "; " + said
        module.fail_json(**result)
    module.exit_json(**result)


def main():
    module = AnsibleModule(
        argument_spec=dict(
            image=dict(type="path", required=True),
            drives=dict(type="list", elements="str"),
            all=dict(type="bool"),
            restart=dict(type="bool", default=False),
            force=dict(type="bool", default=False),
            executable=dict(type="str", default="quorvel-flash"),
        ),
        supports_check_mode=True,
    )
    try:
        run(module)
    except FlashError as error:
        module.fail_json(msg=str(error), changed=False, drives=[], reboot_required=False)


if __name__ == "__main__":
    main()
