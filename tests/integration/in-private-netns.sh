#!/bin/sh
# Runs a command in a network namespace of its own with only loopback up, so that whatever
# it starts (knobly's discovery included) cannot reach a real network; the namespace goes
# away with the command. Needs root; elsewhere the command runs as it is, without
# KNOBLY_PRIVATE_NETNS set, and tests that need the namespace skip themselves.
# Usage: in-private-netns.sh COMMAND [ARG...]
set -eu
[ $# -ge 1 ] || { echo "usage: $0 COMMAND [ARG...]" >&2; exit 2; }

if [ "$(id -u)" -eq 0 ] && command -v unshare >/dev/null 2>&1 &&
    command -v ip >/dev/null 2>&1 && unshare -n true 2>/dev/null; then
    # shellcheck disable=SC2016 # "$@" belongs to the inner shell
    exec unshare -n sh -c 'ip link set lo up && KNOBLY_PRIVATE_NETNS=1 exec "$@"' sh "$@"
fi
exec "$@"
