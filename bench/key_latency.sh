#!/bin/sh
# Media key to wire (build/bench/key_latency) on a private Xvfb display, inside a network
# namespace with loopback only (as root; the simulator listens on 127.0.0.1 all the same).
#   bench/key_latency.sh [N] [BENCH_DIR]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
n=${1:-200}
bench=${2:-$root/build/bench}
[ -x "$bench/key_latency" ] || { echo "key_latency: $bench/key_latency is not built" >&2; exit 1; }
runtime=$(mktemp -d "${TMPDIR:-/tmp}/knobly-keys.XXXXXX")
trap 'rm -rf "$runtime"' EXIT
status=0
XDG_RUNTIME_DIR=$runtime "$root/tests/integration/in-private-netns.sh" \
    "$root/tests/integration/with-xvfb.sh" "$bench/key_latency" "$n" || status=$?
exit "$status"
