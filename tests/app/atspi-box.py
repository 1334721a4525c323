"""Answers a box of a running program as a screen reader's user would, through
AT-SPI, with no display server to reach: waits up to TIMEOUT seconds (30) for a
window of the process titled TITLE that shows a text containing TEXT, prints
its texts on one line, and, given a BUTTON, runs that button's press action.
    atspi-box.py PID TITLE TEXT [BUTTON] [TIMEOUT]
Ends with 1 when no such window came or the button could not be pressed.
"""
import sys
import time

import pyatspi


def windows(pid):
    for app in pyatspi.Registry.getDesktop(0):
        try:
            if app is None or app.get_process_id() != pid:
                continue
            yield from (window for window in app if window is not None)
        except Exception:  # an application or window that went away meanwhile
            continue


def walk(accessible):
    yield accessible
    for child in accessible:
        if child is not None:
            yield from walk(child)


def texts(window):
    return [a.name for a in walk(window) if a.getRole() == pyatspi.ROLE_LABEL and a.name]


def find(pid, title, text, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        for window in windows(pid):
            try:
                if window.name == title and any(text in shown for shown in texts(window)):
                    return window
            except Exception:  # closed while it was read
                continue
        time.sleep(0.2)
    return None


def press(window, name):
    for accessible in walk(window):
        if accessible.getRole() != pyatspi.ROLE_PUSH_BUTTON or accessible.name != name:
            continue
        action = accessible.queryAction()
        for i in range(action.nActions):
            if action.getName(i).lower() == "press":
                return action.doAction(i)
    return False


def main():
    pid, title, text = int(sys.argv[1]), sys.argv[2], sys.argv[3]
    button = sys.argv[4] if len(sys.argv) > 4 and sys.argv[4] else None
    timeout = float(sys.argv[5]) if len(sys.argv) > 5 else 30.0
    window = find(pid, title, text, timeout)
    if window is None:
        print(f"no window {title!r} showing {text!r} from process {pid} on the accessibility bus", file=sys.stderr)
        return 1
    print(" | ".join(texts(window)))
    if button is not None and not press(window, button):
        print(f"no button {button!r} could be pressed in {title!r}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
