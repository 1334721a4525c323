"""An ansible-playbook run's results as the tests' callback (results_json)
wrote them: `load(path)` gives each host's task results by the task's name,
and each host's counts."""

import json

# The firmware task of fleet.yml, and the four drives of the image's model
# on every host's machine.
FIRMWARE = "The image into the host's drives"
FOUR = ["0:1", "0:2", "1:0", "1:1"]


def load(path):
    with open(path) as handle:
        run = json.load(handle)
    results = {}
    for play in run["plays"]:
        for task in play["tasks"]:
            for host, result in task["hosts"].items():
                results.setdefault(host, {})[task["task"]["name"]] = result
    return results, run["stats"]


def no_traceback(result):
    """A failure told in a sentence: no Python traceback anywhere in it."""
    text = json.dumps(result)
    assert "Traceback" not in text and "module_stderr" not in result and "exception" not in result, result
