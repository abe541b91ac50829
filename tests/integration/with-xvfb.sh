#!/usr/bin/env bash
# Runs a command on a private Xvfb display of its own, never the user's; the server goes away
# when the command ends. Exits 77 (skipped) where Xvfb is not installed.
# Usage: with-xvfb.sh COMMAND [ARG...]
set -euo pipefail
[ $# -ge 1 ] || { echo "usage: $0 COMMAND [ARG...]" >&2; exit 2; }

if ! command -v Xvfb >/dev/null 2>&1; then
    # Listing the tests needs no display; running them does.
    for arg in "$@"; do
        if [ "$arg" = --gtest_list_tests ]; then
            env -u DISPLAY "$@"
            exit $?
        fi
    done
    echo "with-xvfb.sh: Xvfb is not installed; skipping" >&2
    exit 77
fi

dir=$(mktemp -d "${TMPDIR:-/tmp}/knobly-xvfb.XXXXXX")
xvfb_pid=
cleanup() {
    if [ -n "$xvfb_pid" ]; then
        kill "$xvfb_pid" 2>/dev/null || true
        wait "$xvfb_pid" 2>/dev/null || true
    fi
    rm -rf "$dir"
}
trap cleanup EXIT

# -displayfd: Xvfb takes the first free display number itself and writes it once it accepts
# connections, so there is no race over :N and nothing to poll.
mkfifo "$dir/display"
Xvfb -displayfd 3 -screen 0 1440x900x24 -nolisten tcp 3>"$dir/display" 2>"$dir/xvfb.log" &
xvfb_pid=$!
display=
read -r -t 20 display <"$dir/display" || true
if [ -z "$display" ]; then
    echo "with-xvfb.sh: Xvfb did not start" >&2
    cat "$dir/xvfb.log" >&2 || true
    exit 1
fi

export DISPLAY=":$display"
unset WAYLAND_DISPLAY
status=0
"$@" || status=$?
exit "$status"
