#!/usr/bin/env bash
# Runs a command with an X display: the one there is, or a fresh Xvfb.
set -euo pipefail
if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
  exec "$@"
fi
# -noreset: without it the server resets whenever its last client leaves, and
# a program connecting at that moment (right after a check with xdpyinfo) is
# refused.
exec xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp -noreset" "$@"
