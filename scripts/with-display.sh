#!/usr/bin/env bash
# Runs a command with an X display: the one there is, or a fresh Xvfb.
set -euo pipefail
# shellcheck source=SCRIPTDIR/lib.sh
. "$(cd "$(dirname "$0")" && pwd)/lib.sh"
if have_display; then
  exec "$@"
fi
# -noreset: without it the server resets whenever its last client leaves, and
# a program connecting at that moment (right after a check with xdpyinfo) is
# refused.
exec xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp -noreset" "$@"
