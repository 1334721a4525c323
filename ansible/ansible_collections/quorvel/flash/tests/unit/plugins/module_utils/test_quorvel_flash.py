# -*- coding: utf-8 -*-
# The collection's rules, as tables written out by hand: which accepted flash
# of a drive waits for the host's restart, addresses and checksums.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

import pytest

from ansible_collections.quorvel.flash.plugins.module_utils.quorvel_flash import (
    FlashError,
    parse_address,
    parse_checksum,
    waiting_flash,
)

DRIVE = dict(adapter=0, target=1, vendor="QUORVEL", model="CDRW-4824A", revision="1.10")


def line(flash, waits=True, target=1, adapter=0, vendor="QUORVEL", model="CDRW-4824A", sha256="aa", version="1.20"):
    """An accepted line of history --json, marked when quorvel-flash says it waits."""
    record = dict(flash=flash, event="accepted", boot="b", adapter=adapter, target=target, vendor=vendor, model=model,
                  sha256=sha256, version=version)
    if waits:
        record["awaits-restart"] = True
    return record


# Which flash of a drive waits is quorvel-flash's to say (its walker's test
# has the rule's cases); the module matches the mark to the drive.
@pytest.mark.parametrize("records, expected", [
    ([line("f1")], "f1"),
    ([line("f1", waits=False)], None),
    ([line("f0", waits=False), line("f1")], "f1"),
    ([line("f1", target=2)], None),
    ([line("f1", model="DVDRW-1612B")], None),
    ([line("f1", vendor="ACME")], None),
    ([line("f1", adapter=1)], None),
    # The drive reports the flash's version: it runs it, nothing waits.
    ([line("f1", version="1.10")], None),
    ([dict(line("f1"), **{"awaits-restart": "yes"})], None),
    ([], None),
    (["text", 7, None, {}], None),
], ids=["marked", "not marked", "the drive's marked one among others", "another target", "another model",
        "another vendor", "another adapter", "the drive reports its version", "a mark that is no boolean", "nothing",
        "foreign lines"])
def test_the_flash_quorvel_flash_marks_waits_for_its_drive(records, expected):
    found = waiting_flash(records, DRIVE)
    assert (found and found["flash"]) == expected


def test_only_a_flash_of_the_image_asked_about_waits_with_it():
    records = [line("f1", sha256="aa")]
    assert waiting_flash(records, DRIVE, sha256="aa")["flash"] == "f1"
    assert waiting_flash(records, DRIVE, sha256="bb") is None


@pytest.mark.parametrize("text, expected", [
    ("0:1", (0, 1)), ("255:255", (255, 255)), ("007:1", (7, 1)), (" 1:0 ", (1, 0)), ("256:0", None),
    ("0-1", None), ("0:", None), (":1", None), ("0:1:2", None), ("a:b", None), ("", None), (1, None)])
def test_an_address_is_two_numbers_up_to_255(text, expected):
    assert parse_address(text) == expected


def test_a_checksum_is_an_algorithm_and_its_whole_digest():
    digest = "ab" * 32
    assert parse_checksum("sha256:" + digest.upper()) == ("sha256", digest)
    assert parse_checksum("SHA1:" + "0" * 40) == ("sha1", "0" * 40)
    for bad in ("sha256:" + digest[:-1], "md5:" + "0" * 32, digest, "sha256:" + "g" * 64, "sha512:" + digest):
        with pytest.raises(FlashError, match="is not ALGORITHM:HEX"):
            parse_checksum(bad)
