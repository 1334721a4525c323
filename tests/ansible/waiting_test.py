"""The record's rule for a flash that waits for the host's restart, as a
table of records written out by hand: which accepted flash of a drive waits,
and what ends its wait."""

import sys
import unittest

sys.path.insert(0, sys.argv.pop(1) if len(sys.argv) > 1 else "ansible")
from ansible_collections.quorvel.flash.plugins.module_utils.quorvel_flash import (  # noqa: E402
    parse_address,
    waiting_flash,
)

BOOT, EARLIER = "boot-now", "boot-before"


def line(flash, event, boot=BOOT, adapter=0, target=1, vendor="QUORVEL", model="CDRW-4824A", sha256="aa"):
    return dict(flash=flash, event=event, boot=boot, adapter=adapter, target=target, vendor=vendor, model=model,
                sha256=sha256)


class WaitingFlash(unittest.TestCase):
    def waits(self, records):
        found = waiting_flash(records, BOOT, 0, 1, "QUORVEL", "CDRW-4824A")
        return None if found is None else (found["flash"], found["sha256"])

    def test_an_accepted_flash_of_this_boot_waits_until_a_later_flash_or_the_window_settles_it(self):
        rows = [
            ("accepted now", [line("f1", "accepted")], ("f1", "aa")),
            ("its own later lines change nothing",
             [line("f1", "accepted"), line("f1", "restart-not-requested"), line("f1", "unattended")], ("f1", "aa")),
            ("accepted before the boot", [line("f1", "accepted", boot=EARLIER)], None),
            ("refused", [line("f1", "refused")], None),
            ("a later flash refused", [line("f1", "accepted"), line("f2", "refused", sha256="bb")], None),
            ("a later flash accepted", [line("f1", "accepted"), line("f2", "accepted", sha256="bb")], ("f2", "bb")),
            ("confirmed", [line("f1", "accepted"), line("f1", "confirmed")], None),
            ("not taken", [line("f1", "accepted"), line("f1", "not-taken")], None),
            ("an older flash marked superseded later",
             [line("f0", "accepted", boot=EARLIER), line("f1", "accepted"), line("f0", "superseded")], ("f1", "aa")),
            ("another drive's later flash", [line("f1", "accepted"), line("f2", "refused", target=2)], ("f1", "aa")),
            ("another model at the address", [line("f1", "accepted", model="DVDRW-1612B")], None),
            ("another vendor's", [line("f1", "accepted", vendor="ACME")], None),
            ("another adapter's", [line("f1", "accepted", adapter=1)], None),
            ("nothing", [], None),
            ("foreign lines", ["text", 7, None, {}], None),
        ]
        for name, records, expected in rows:
            self.assertEqual(self.waits(records), expected, name)


class Addresses(unittest.TestCase):
    def test_two_numbers_up_to_255(self):
        rows = [("0:1", (0, 1)), ("255:255", (255, 255)), ("007:1", (7, 1)), (" 1:0 ", (1, 0)), ("256:0", None),
                ("0-1", None), ("0:", None), (":1", None), ("0:1:2", None), ("a:b", None), ("", None), (1, None)]
        for text, expected in rows:
            self.assertEqual(parse_address(text), expected, text)


if __name__ == "__main__":
    unittest.main()
