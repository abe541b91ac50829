#!/usr/bin/env bash
# Runs a command on a private Xvfb display of its own, never the user's; the server goes away
# when the command ends. Exits 77 (skipped) where Xvfb is not installed, except for the test
# listing, which needs no display.
# Usage: with-xvfb.sh COMMAND [ARG...]
set -euo pipefail
if ! command -v Xvfb >/dev/null 2>&1; then
    [[ " $* " == *" --gtest_list_tests "* ]] && exec env -u DISPLAY "$@"
    echo "with-xvfb.sh: Xvfb is not installed; skipping" >&2
    exit 77
fi
dir=$(mktemp -d "${TMPDIR:-/tmp}/knobly-xvfb.XXXXXX")
xvfb_pid=
trap '[ -z "$xvfb_pid" ] || { kill "$xvfb_pid"; wait "$xvfb_pid"; } 2>/dev/null; rm -rf "$dir"' EXIT
# -displayfd: Xvfb takes the first free display number itself and writes it once it accepts
# connections, so there is no race over :N and nothing to poll.
mkfifo "$dir/display"
Xvfb -displayfd 3 -screen 0 1440x900x24 -nolisten tcp 3>"$dir/display" 2>"$dir/xvfb.log" &
xvfb_pid=$! display=
read -r -t 20 display <"$dir/display" || true
[ -n "$display" ] || { echo "with-xvfb.sh: Xvfb did not start" >&2; cat "$dir/xvfb.log" >&2; exit 1; }
DISPLAY=":$display" env -u WAYLAND_DISPLAY "$@" # its status is the script's: the trap keeps it
