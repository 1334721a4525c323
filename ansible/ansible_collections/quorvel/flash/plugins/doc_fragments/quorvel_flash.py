# -*- coding: utf-8 -*-
# What every module of the collection documents alike: quorvel-flash on the
# managed host, and whose record of flashes it reads.

from __future__ import absolute_import, division, print_function

__metaclass__ = type


class ModuleDocFragment(object):
    DOCUMENTATION = r"""
options:
  executable:
    description:
      - C(quorvel-flash)'s name on the host's PATH, or its path.
    type: str
    default: quorvel-flash
notes:
  - Runs as the user whose record of flashes it reads (C($XDG_STATE_HOME/quorvel/flashes.jsonl));
    that user needs read-write access to the drives' C(/dev/sg*) nodes.
requirements:
  - QUORVEL's C(quorvel-flash) on the managed host.
author:
  - The QUORVEL developers
"""
