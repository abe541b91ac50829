#!/bin/sh
# Device change to MPRIS (build/bench/event_latency) on a private session bus, inside a
# network namespace with loopback only (as root), with a settings folder of its own.
#   bench/event_latency.sh [N] [BENCH_DIR]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
n=${1:-100}
bench=${2:-$root/build/bench}
[ -x "$bench/event_latency" ] || { echo "event_latency: $bench/event_latency is not built" >&2; exit 1; }
home=$(mktemp -d "${TMPDIR:-/tmp}/knobly-events.XXXXXX")
trap 'rm -rf "$home"' EXIT
XDG_CONFIG_HOME=$home XDG_RUNTIME_DIR=$home QT_QPA_PLATFORM=offscreen "$root/tests/integration/in-private-netns.sh" \
    "$root/tests/integration/with-session-bus.sh" "$bench/event_latency" "$n"
