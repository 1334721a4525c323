"""Reads the window of a running program as a screen reader finds it, through
AT-SPI: every control that another names through labelled-by, as
`ROLE: "LABEL" "NAME"`, and every progress bar with its name, in the order of
the tree. Waits up to 30 s for the program's window with its panel. With
--values, a progress bar's line ends with the value it shows.
    atspi-read.py PID WINDOW_TITLE [--values]
"""
import sys
import time

import pyatspi


def application(pid):
    for app in pyatspi.Registry.getDesktop(0):
        try:
            if app is not None and app.get_process_id() == pid:
                return app
        except Exception:  # an application that went away meanwhile
            continue
    return None


def walk(accessible):
    yield accessible
    for child in accessible:
        if child is not None:
            yield from walk(child)


def window(pid, title):
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        app = application(pid)
        if app is not None:
            for frame in app:
                if frame is not None and frame.name == title and frame.childCount > 0:
                    return frame
        time.sleep(0.2)
    return None


def main():
    pid, title = int(sys.argv[1]), sys.argv[2]
    values = "--values" in sys.argv[3:]
    frame = window(pid, title)
    if frame is None:
        print(f"no window {title!r} of process {pid} on the accessibility bus", file=sys.stderr)
        return 1
    for accessible in walk(frame):
        role = accessible.getRoleName()
        labels = [
            relation.getTarget(i).name
            for relation in accessible.getRelationSet()
            if relation.getRelationType() == pyatspi.RELATION_LABELLED_BY
            for i in range(relation.getNTargets())
        ]
        if labels:
            print(f'{role}: {" ".join(repr(label) for label in labels)} {accessible.name!r}')
        elif accessible.getRole() == pyatspi.ROLE_PROGRESS_BAR:
            value = f" {accessible.queryValue().currentValue:g}" if values else ""
            print(f"{role}: {accessible.name!r}{value}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
