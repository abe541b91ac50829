#!/usr/bin/env bash
# Runs a command on a private session bus of its own, so nothing from the user's desktop can
# answer and nothing can be started on demand; the bus goes away when the command ends.
# Usage: with-session-bus.sh COMMAND [ARG...]
set -euo pipefail
[ $# -ge 1 ] || { echo "usage: $0 COMMAND [ARG...]" >&2; exit 2; }

dir=$(mktemp -d "${TMPDIR:-/tmp}/knobly-bus.XXXXXX")
trap 'rm -rf "$dir"' EXIT
# No service directories: a call to a name nobody owns fails at once instead of launching
# whatever the machine has installed.
cat >"$dir/session.conf" <<CONF
<busconfig><type>session</type><listen>unix:dir=$dir</listen><auth>EXTERNAL</auth>
<policy context="default"><allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/><allow own="*"/></policy>
</busconfig>
CONF
# dbus-run-session starts the daemon, runs the command with DBUS_SESSION_BUS_ADDRESS set
# and stops the daemon once the command exits; the trap still runs on its failure.
KNOBLY_PRIVATE_SESSION_BUS=1 dbus-run-session --config-file="$dir/session.conf" -- "$@"
