# -*- coding: utf-8 -*-
# quorvel.flash.firmware's own rules: what becomes of each chosen drive
# before anything is sent, what a drive's answer makes of it, and the line
# that says it.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

import pytest

from ansible_collections.quorvel.flash.plugins.modules.firmware import message, outcome, planned

BOOT = "boot-now"
THIS, OTHER = "a" * 64, "b" * 64


def check(old):
    return dict(version="1.20", blocks=7, drives=[dict(drive="0:1", model="QUORVEL CDRW-4824A", old=old)])


def identities(old):
    return {"0:1": dict(adapter=0, target=1, vendor="QUORVEL", model="CDRW-4824A", revision=old)}


def accepted(sha256):
    return [{"flash": "f1", "event": "accepted", "boot": BOOT, "adapter": 0, "target": 1, "vendor": "QUORVEL",
             "model": "CDRW-4824A", "sha256": sha256, "version": "1.20", "awaits-restart": True}]


@pytest.mark.parametrize("old, records, force, expected", [
    ("1.10", [], False, "written"),
    ("1.20", [], False, "already"),
    ("1.10", accepted(THIS), False, "awaiting_restart"),
    # Waiting with another image: this one is still to be written.
    ("1.10", accepted(OTHER), False, "written"),
    ("1.20", [], True, "written"),
    ("1.10", accepted(THIS), True, "written"),
], ids=["old", "at the version", "waiting with this image", "waiting with another image", "force at the version",
        "force while waiting"])
def test_each_drive_is_planned_from_its_version_the_record_and_force(old, records, force, expected):
    entry, = planned(check(old), identities(old), records, THIS, force)
    assert entry["result"] == expected
    assert (entry["drive"], entry["vendor"], entry["model"], entry["version"], entry["blocks"]) == \
        ("0:1", "QUORVEL", "CDRW-4824A", old, 7)


@pytest.mark.parametrize("summary, expected", [
    (dict(result="accepted", block=7, blocks=7), ("written", 7, 0)),
    (dict(result="refused", block=3, blocks=7, cause="The drive said: X."), ("refused", 3, 3)),
    (dict(result="refused", block=0, blocks=7), ("failed", 0, 0)),
    (dict(result="gone", block=3, blocks=7), ("failed", 3, 3)),
    (dict(result="cut-off", block=2, blocks=7), ("failed", 2, 2)),
    (dict(result="not-written", why="DOWNLOAD BUSY!! Another program is writing to this drive."), ("failed", 0, 0)),
    ({}, ("failed", 0, 0)),
], ids=["accepted", "refused at 3", "refused before any block", "gone at 3", "cut off at 2", "busy", "no answer"])
def test_the_blocks_sent_follow_from_where_the_drive_stopped(summary, expected):
    result, sent, block, cause = outcome(summary)
    assert (result, sent, block) == expected
    assert cause if result == "failed" else True


def test_a_drive_stopped_is_named_with_its_block_and_its_cause_once_bracketed():
    image = dict(version="1.20", name="FW.BIN")
    entries = [dict(drive="0:1", result="written", block=0, blocks=7, cause=""),
               dict(drive="1:1", result="refused", block=3, blocks=7,
                    cause="The drive said: MEDIUM ERROR, write error (3/0C/00)."),
               dict(drive="1:2", result="failed", block=0, blocks=7,
                    cause="DOWNLOAD BUSY!! Another program is writing to this drive.")]
    assert message(image, entries, False) == (
        "firmware 1.20 (FW.BIN): written 0:1; refused 1:1 at block 3 of 7 [The drive said: MEDIUM ERROR, write error "
        "(3/0C/00)]; failed 1:2 [DOWNLOAD BUSY!! Another program is writing to this drive]")
    assert message(image, entries[:1], True) == "firmware 1.20 (FW.BIN): would write 0:1"
