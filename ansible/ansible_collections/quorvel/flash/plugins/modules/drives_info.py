#!/usr/bin/python
# -*- coding: utf-8 -*-
# quorvel.flash.drives_info: the host's CD/DVD drives and its record of
# flashes, as data.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: drives_info
short_description: The CD/DVD drives of a host and its record of flashes
version_added: "1.0.0"
description:
  - Lists the host's CD/DVD drives as C(quorvel-flash list --json) finds them (address, transport
    where known, vendor, model, firmware version), each with the accepted flash that waits for the
    host's restart, if any, and the newest lines of the record of flashes (C(quorvel-flash history
    --json)), for C(when:) conditions and reports.
  - Sends nothing to any drive but the INQUIRY that lists it.
options:
  history_limit:
    description:
      - How many of the record's newest lines C(history) returns; C(0) returns none. Which flash waits
        for the restart is decided from the whole record all the same.
    type: int
    default: 20
extends_documentation_fragment:
  - quorvel.flash.quorvel_flash
  - ansible.builtin.action_common_attributes
attributes:
  check_mode:
    support: full
  diff_mode:
    support: none
  platform:
    platforms: posix
seealso:
  - module: quorvel.flash.firmware
    description: Writes an image into the drives; its C(drives[].version) has the meaning of C(version) here.
"""

EXAMPLES = r"""
- name: The drives as they are now
  quorvel.flash.drives_info:
    history_limit: 0
  register: info

- name: Every drive of the model runs 1.20
  ansible.builtin.assert:
    that: >-
      info.drives | selectattr('model', 'equalto', 'CDRW-4824A')
      | rejectattr('version', 'equalto', '1.20') | list | length == 0
"""

RETURN = r"""
drives:
  description: The CD/DVD drives, in the order the host lists them.
  returned: always
  type: list
  elements: dict
  contains:
    drive:
      description: The address, C(A:T).
      type: str
      sample: "0:1"
    adapter:
      description: The host adapter.
      type: int
    target:
      description: The target.
      type: int
    transport:
      description: How the drive is connected (C(usb), C(ata), C(scsi), C(virtual)), or C(unknown).
      type: str
      sample: ata
    vendor:
      description: The vendor the drive reports.
      type: str
      sample: QUORVEL
    model:
      description: The model the drive reports.
      type: str
      sample: CDRW-4824A
    version:
      description: The firmware version the drive reports now.
      type: str
      sample: "1.10"
    waiting:
      description:
        - The record's line of a flash this drive accepted since the host started, which takes effect at
          the restart; null when there is none, or when the drive already reports that flash's version.
      type: dict
history:
  description:
    - The newest I(history_limit) lines of the record of flashes, oldest first, one object an event (C(man
      quorvel) gives the fields).
  returned: always
  type: list
  elements: dict
boot_id:
  description: The host's boot id, as the record's C(boot) fields give it.
  returned: always
  type: str
reboot_required:
  description: Whether a drive waits for the host's restart.
  returned: always
  type: bool
msg:
  description: How many drives were found, or why none.
  returned: always
  type: str
  sample: 5 drives
"""

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.quorvel.flash.plugins.module_utils.quorvel_flash import (
    FlashError,
    QuorvelFlash,
    boot_id,
    waiting_flash,
)


def run(module):
    limit = module.params["history_limit"]
    if limit < 0:
        raise FlashError("history_limit is %d: give how many of the record's lines to return, 0 or more" % limit)
    flash = QuorvelFlash(module, module.params["executable"])
    found, why = flash.drives()
    records = flash.records()
    boot = boot_id()
    drives = []
    for d in found:
        if not isinstance(d, dict):
            continue
        drives.append(dict(
            drive="%s:%s" % (d.get("adapter"), d.get("target")),
            adapter=d.get("adapter"),
            target=d.get("target"),
            transport=d.get("transport") or "unknown",
            vendor=d.get("vendor", ""),
            model=d.get("model", ""),
            version=d.get("revision", ""),
            waiting=waiting_flash(records, d),
        ))
    msg = "%d drive%s" % (len(drives), "" if len(drives) == 1 else "s")
    if why:
        msg += ": " + why
    module.exit_json(changed=False, drives=drives, history=records[len(records) - limit:] if limit else [],
                     boot_id=boot, reboot_required=any(d["waiting"] is not None for d in drives), msg=msg)


def main():
    module = AnsibleModule(argument_spec=dict(executable=dict(type="str", default="quorvel-flash"),
                                              history_limit=dict(type="int", default=20)),
                           supports_check_mode=True)
    try:
        run(module)
    except FlashError as error:
        module.fail_json(msg=str(error), changed=False)


if __name__ == "__main__":
    main()
