# The tests' own callback: every task's result for every host, and each
# host's counts, as one JSON document written at the end of the run to the
# file $QUORVEL_ANSIBLE_RESULTS (Debian's ansible-core has no such callback
# of its own). Enabled beside the default output, whose lines (the PLAY RECAP
# among them) stay as an administrator sees them.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = """
name: results_json
type: aggregate
short_description: Every task's result for every host as one JSON document in a file
description:
  - At the end of the run, writes the plays, each with its tasks, each with every host's result, and
    every host's counts, to the file named by QUORVEL_ANSIBLE_RESULTS.
requirements:
  - enabled in callbacks_enabled
"""

import json
import os

from ansible.module_utils.common.json import AnsibleJSONEncoder
from ansible.plugins.callback import CallbackBase


class CallbackModule(CallbackBase):
    CALLBACK_VERSION = 2.0
    CALLBACK_TYPE = "aggregate"
    CALLBACK_NAME = "results_json"
    CALLBACK_NEEDS_ENABLED = True

    def __init__(self):
        super(CallbackModule, self).__init__()
        self.plays = []
        self.tasks = {}

    def v2_playbook_on_play_start(self, play):
        self.plays.append({"play": {"name": play.get_name()}, "tasks": []})

    def v2_playbook_on_task_start(self, task, is_conditional):
        entry = {"task": {"name": task.get_name()}, "hosts": {}}
        self.tasks[task._uuid] = entry
        self.plays[-1]["tasks"].append(entry)

    def _record(self, result, **extra):
        outcome = dict(result._result)
        outcome.update(extra)
        self.tasks[result._task._uuid]["hosts"][result._host.get_name()] = outcome

    def v2_runner_on_ok(self, result):
        self._record(result)

    def v2_runner_on_failed(self, result, ignore_errors=False):
        self._record(result, failed=True)

    def v2_runner_on_skipped(self, result):
        self._record(result, skipped=True)

    def v2_runner_on_unreachable(self, result):
        self._record(result, unreachable=True)

    def v2_playbook_on_stats(self, stats):
        counts = dict((host, stats.summarize(host)) for host in sorted(stats.processed))
        with open(os.environ["QUORVEL_ANSIBLE_RESULTS"], "w") as handle:
            json.dump({"plays": self.plays, "stats": counts}, handle, cls=AnsibleJSONEncoder, indent=1)
