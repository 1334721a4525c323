# -*- coding: utf-8 -*-
# What the collection's modules share: quorvel-flash run and its JSON read,
# which of its record's flashes waits for the host's restart (quorvel-flash
# history --json marks it; the rule is quorvel-flash's own), the boot id and
# the image's digests. The modules never read the lines quorvel-flash
# writes for people, only its JSON and its exit status.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

import hashlib
import json
import os
import re

BOOT_ID_PATH = "/proc/sys/kernel/random/boot_id"

_ADDRESS = re.compile(r"^([0-9]{1,3}):([0-9]{1,3})$")

# The algorithms a checksum may name, and the hex digits of each digest.
CHECKSUM_DIGITS = {"sha1": 40, "sha224": 56, "sha256": 64, "sha384": 96, "sha512": 128}


class FlashError(Exception):
    """A sentence for the task's msg: the task fails with it, nothing sent."""


def parse_address(text):
    """(adapter, target) from "A:T", each 0 to 255, or None."""
    match = _ADDRESS.match(text.strip()) if isinstance(text, str) else None
    if not match:
        return None
    adapter, target = int(match.group(1)), int(match.group(2))
    if adapter > 255 or target > 255:
        return None
    return adapter, target


def parse_checksum(text):
    """(algorithm, lower-case hex digest) from "ALGORITHM:HEX", as the builtin
    modules that fetch files take a checksum; a FlashError that says the form
    otherwise."""
    algorithm, _, digest = text.strip().partition(":")
    algorithm, digest = algorithm.lower(), digest.lower()
    digits = CHECKSUM_DIGITS.get(algorithm)
    if digits is None or len(digest) != digits or not re.match(r"^[0-9a-f]+$", digest):
        raise FlashError("checksum '%s' is not ALGORITHM:HEX: give e.g. sha256: and the image's 64 hex digits "
                         "(sha1, sha224, sha256, sha384 and sha512 are taken); nothing was sent" % text)
    return algorithm, digest


def boot_id(path=BOOT_ID_PATH):
    try:
        with open(path) as handle:
            return handle.read().strip()
    except (IOError, OSError) as error:
        raise FlashError("the boot id cannot be read from %s: %s" % (path, error.strerror or error))


def image_digest(path, algorithm="sha256"):
    """The digest of the image's bytes, in lower-case hex (SHA-256: as the record keeps it)."""
    digest = hashlib.new(algorithm)
    try:
        with open(path, "rb") as handle:
            for chunk in iter(lambda: handle.read(1 << 20), b""):
                digest.update(chunk)
    except (IOError, OSError) as error:
        raise FlashError("image %s cannot be read: %s" % (path, error.strerror or error))
    return digest.hexdigest()


def waiting_flash(records, drive, sha256=None):
    """The accepted flash of `drive` that waits for the host's restart, or
    None. `records` are `quorvel-flash history --json`'s, which marks each
    drive's waiting flash ("awaits-restart": accepted during this boot, no
    later flash of the drive, nothing settled it since); `drive` is one of
    `quorvel-flash list --json`'s: its adapter, target, vendor, model and the
    revision it reports.

    A drive that reports the flash's version runs it already: nothing waits.
    With `sha256`, only a flash of that image waits: a drive that waits with
    another image still has this one to take.
    """
    key = tuple(drive.get(k) for k in ("adapter", "target", "vendor", "model"))
    for record in records:
        if not isinstance(record, dict) or record.get("awaits-restart") is not True:
            continue
        if tuple(record.get(k) for k in ("adapter", "target", "vendor", "model")) != key:
            continue
        if record.get("version") == drive.get("revision"):
            return None
        if sha256 is not None and record.get("sha256") != sha256:
            return None
        return record
    return None


class QuorvelFlash(object):
    """quorvel-flash on the managed host, found once, run for its JSON."""

    def __init__(self, module, executable):
        self.module = module
        self.path = self._find(executable)

    def _find(self, executable):
        if not executable:
            raise FlashError("executable is empty: give quorvel-flash's name or path")
        if "/" in executable:
            if os.path.isfile(executable) and os.access(executable, os.X_OK):
                return executable
            raise FlashError("quorvel-flash not found: %s is no executable file on this host; install QUORVEL "
                             "or give quorvel-flash's path in executable" % executable)
        found = self.module.get_bin_path(executable)
        if not found:
            raise FlashError("quorvel-flash not found: no %s on this host's PATH (%s); install QUORVEL or give "
                             "quorvel-flash's path in executable" % (executable, os.environ.get("PATH", "")))
        return found

    def run(self, arguments, cwd=None):
        return self.module.run_command([self.path] + list(arguments), cwd=cwd, check_rc=False)

    def told(self, err):
        """quorvel-flash's last line for people, without its name."""
        lines = [line for line in (err or "").splitlines() if line.strip()]
        return re.sub(r"^quorvel-flash: ", "", lines[-1]) if lines else ""

    def json(self, arguments, cwd=None):
        """(exit status, the JSON on standard output, standard error)."""
        rc, out, err = self.run(arguments, cwd=cwd)
        if rc == 64:
            raise FlashError(self._too_old(arguments, err))
        try:
            return rc, json.loads(out), err
        except ValueError:
            raise FlashError("%s answered `%s` with no JSON (exit %d: %s): is it quorvel-flash?" % (
                self.path, " ".join(arguments[:2]), rc, self.told(err) or "nothing said"))

    def json_lines(self, arguments, cwd=None):
        """(exit status, every JSON object of standard output, standard error)."""
        rc, out, err = self.run(arguments, cwd=cwd)
        if rc == 64:
            raise FlashError(self._too_old(arguments, err))
        objects = []
        for line in out.splitlines():
            try:
                objects.append(json.loads(line))
            except ValueError:
                continue
        return rc, objects, err

    def _too_old(self, arguments, err):
        # This collection's command lines are right for a quorvel-flash that
        # has what it needs: a usage error means one that has not.
        rc, out, _ = self.run(["--version"])
        version = out.strip() if rc == 0 and out.strip() else "an unknown version"
        return ("%s (%s) is too old for this collection: it refuses `%s` (%s); install a QUORVEL whose "
                "quorvel-flash has `check IMAGE --json`" % (self.path, version, " ".join(arguments[:2]), self.told(err)))

    def drives(self):
        """`list --json`: the drives, or [] with the reason where none answered."""
        rc, drives, err = self.json(["list", "--json"])
        if not isinstance(drives, list):
            raise FlashError("%s list --json gave no list of drives" % self.path)
        return drives, ("" if rc == 0 else self.told(err))

    def records(self):
        """`history --json`: the record of flashes, oldest first."""
        _, records, _ = self.json(["history", "--json"])
        if not isinstance(records, list):
            raise FlashError("%s history --json gave no list of records" % self.path)
        return records
