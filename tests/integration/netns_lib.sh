# shellcheck shell=bash
# Sourced by tests/integration/discovery_e2e.sh and bench/discovery.sh.
#
# Two network namespaces joined by a veth pair and nothing else: the program side runs a
# private D-Bus system bus, avahi-daemon and knoblyctl; the device side runs the simulated
# device and its mDNS publisher. Nothing here sends a packet in the machine's own namespace:
# every daemon and every discovery starts through `ip netns exec`, and the veth pair is
# created straight inside the namespaces.
#
# The caller sets KN_BIN (the build's bin directory) and calls kn_setup after kn_preflight;
# kn_setup installs the traps that tear everything down again.

export LC_ALL=C # EPOCHREALTIME and the checker's numbers use '.'

KN_LIB_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
KN_ID=$$ KN_PROG_IP=169.254.10.1 KN_DEV_IP=169.254.10.2
KN_PROG_NS=knobly-prog-$KN_ID KN_DEV_NS=knobly-dev-$KN_ID
KN_PROG_IF=knp$KN_ID KN_DEV_IF=knd$KN_ID # interface names have 15 characters at most
KN_PY=/usr/bin/python3                   # Debian's, where python3-zeroconf lives
KN_TMP= KN_BUS_ADDR= KN_NS_PROG_MADE=0 KN_NS_DEV_MADE=0 KN_CLEANED=0
# Processes of ours; cleanup stops whatever is still set.
KN_BUS_PID= KN_AVAHI_PID= KN_SIM_PID= KN_PUB_PID= KN_CTL_PID= KN_READER_PID= KN_CTL_SECONDS=0
KN_AVAHI_RUNS=0 KN_SIM_RUNS=0 KN_PUB_RUNS=0 KN_SIM_OUT=

kn_log() { printf '[netns] %s\n' "$*" >&2; }

# Why this machine cannot run the namespaces, or nothing when it can.
kn_preflight() {
    [[ $(id -u) -eq 0 ]] || { echo "needs root (network namespaces, avahi-daemon)"; return; }
    local tool
    for tool in ip avahi-daemon dbus-daemon dbus-send unshare mount; do
        command -v "$tool" >/dev/null 2>&1 || { echo "$tool is not installed"; return; }
    done
    "$KN_PY" -c 'import zeroconf' 2>/dev/null || { echo "python3-zeroconf is not installed"; return; }
    # Some containers list namespaces but may not make them.
    ip netns add "knobly-probe-$KN_ID" 2>/dev/null || { echo "cannot create network namespaces here"; return; }
    ip netns del "knobly-probe-$KN_ID"
}

# Polls until the command succeeds, within the first argument's seconds. A command that
# returns 2 says waiting is pointless (the process died), which ends the wait at once.
kn_wait_until() {
    local limit=$1 rc
    shift
    local deadline=$((${EPOCHREALTIME/./} + limit * 1000000))
    while :; do
        "$@"
        rc=$?
        ((rc == 0)) && return 0
        ((rc == 2)) && return 1
        ((${EPOCHREALTIME/./} >= deadline)) && return 1
        sleep 0.05
    done
}

kn_alive() { [[ -n $1 ]] && kill -0 "$1" 2>/dev/null; }
kn_gone() { ! kill -0 "$1" 2>/dev/null; }

# TERM, a few seconds' grace, then KILL; reaps the process either way.
kn_stop_pid() {
    [[ -n $1 ]] || return 0
    if kn_alive "$1"; then
        kill -TERM "$1" 2>/dev/null
        kn_wait_until 5 kn_gone "$1" || { kn_log "process $1 ignored SIGTERM"; kill -KILL "$1" 2>/dev/null; }
    fi
    wait "$1" 2>/dev/null
    return 0
}

kn_setup() {
    trap kn_cleanup EXIT
    trap 'exit 130' INT && trap 'exit 143' TERM && trap 'exit 129' HUP
    KN_TMP=$(mktemp -d /tmp/knobly-netns.XXXXXX)
    KN_BUS_ADDR=unix:path=$KN_TMP/system_bus_socket
    mkdir -p "$KN_TMP/config"

    ip netns add "$KN_PROG_NS" && KN_NS_PROG_MADE=1 && ip netns add "$KN_DEV_NS" && KN_NS_DEV_MADE=1 ||
        return 1
    # Made inside the namespaces: the pair never appears on the machine's own side.
    ip link add "$KN_PROG_IF" netns "$KN_PROG_NS" type veth peer name "$KN_DEV_IF" \
        netns "$KN_DEV_NS" || return 1

    local ns ifname addr
    for ns in "$KN_PROG_NS" "$KN_DEV_NS"; do
        ifname=$KN_PROG_IF addr=$KN_PROG_IP
        [[ $ns == "$KN_DEV_NS" ]] && ifname=$KN_DEV_IF addr=$KN_DEV_IP
        # IPv4 only: keeps router solicitations and MLD chatter out of the picture.
        ip netns exec "$ns" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 2>/dev/null || true
        ip netns exec "$ns" sysctl -qw net.ipv6.conf.default.disable_ipv6=1 2>/dev/null || true
        # The M-SEARCH goes out from an unbound socket, so the group needs a route.
        ip -n "$ns" link set lo up && ip -n "$ns" addr add "$addr/16" dev "$ifname" &&
            ip -n "$ns" link set "$ifname" up && ip -n "$ns" route add 224.0.0.0/4 dev "$ifname" ||
            return 1
    done
}

# --- program side ------------------------------------------------------------------------

kn_start_bus() {
    local conf=$KN_TMP/system-bus.conf
    cat >"$conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>$KN_BUS_ADDR</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/> <allow own="*"/>
    <allow send_type="method_call"/> <allow send_type="signal"/>
    <allow send_type="method_return"/> <allow send_type="error"/>
    <allow receive_type="method_call"/> <allow receive_type="signal"/>
    <allow receive_type="method_return"/> <allow receive_type="error"/>
  </policy>
</busconfig>
EOF
    ip netns exec "$KN_PROG_NS" dbus-daemon --nofork --nopidfile --nosyslog \
        --config-file="$conf" >"$KN_TMP/bus.log" 2>&1 &
    KN_BUS_PID=$!
    kn_wait_until 10 kn_bus_answers || { kn_log "no private system bus:"; cat "$KN_TMP/bus.log" >&2; return 1; }
}

kn_bus_answers() {
    kn_alive "$KN_BUS_PID" || return 2
    dbus-send --bus="$KN_BUS_ADDR" --print-reply --reply-timeout=1000 \
        --dest=org.freedesktop.DBus / org.freedesktop.DBus.GetId >/dev/null 2>&1
}

kn_avahi_running() {
    kn_alive "$KN_AVAHI_PID" || return 2
    local reply
    reply=$(dbus-send --bus="$KN_BUS_ADDR" --print-reply --reply-timeout=1000 \
        --dest=org.freedesktop.Avahi / org.freedesktop.Avahi.Server.GetState 2>/dev/null)
    [[ $reply == *"int32 2"* ]] # AVAHI_SERVER_RUNNING
}

# avahi-daemon on the program side only, with its own configuration. It insists on the
# fixed /run/avahi-daemon for its pid file and socket, so each run gets a private mount
# namespace with a fresh directory bound over /run: no daemon sees another's pid file (nor
# one of the machine's), and nothing lands in the machine's /run. `mount -n` keeps mount's
# own bookkeeping out of the real /run/mount as well.
kn_start_avahi() {
    KN_AVAHI_RUNS=$((KN_AVAHI_RUNS + 1))
    local dir=$KN_TMP/avahi.$KN_AVAHI_RUNS
    mkdir -p "$dir/run"
    cat >"$dir/avahi-daemon.conf" <<EOF
[server]
use-ipv4=yes
use-ipv6=no
allow-interfaces=$KN_PROG_IF
enable-dbus=yes
ratelimit-interval-usec=1000000
ratelimit-burst=1000

[wide-area]
enable-wide-area=no
[publish]
disable-publishing=yes
disable-user-service-publishing=yes
[reflector]
enable-reflector=no
EOF
    # shellcheck disable=SC2016 # "$1" and "$@" belong to the inner shell
    ip netns exec "$KN_PROG_NS" env DBUS_SYSTEM_BUS_ADDRESS="$KN_BUS_ADDR" \
        unshare --mount --propagation private \
        /bin/sh -c 'mount -n --bind "$1" /run && shift && exec "$@"' knobly-avahi "$dir/run" \
        avahi-daemon --no-drop-root --no-chroot --no-rlimits --no-proc-title \
        -f "$dir/avahi-daemon.conf" >"$dir/log" 2>&1 &
    KN_AVAHI_PID=$!
    kn_wait_until 15 kn_avahi_running || { kn_log "avahi-daemon did not start:"; cat "$dir/log" >&2; return 1; }
}

kn_stop_avahi() { kn_stop_pid "$KN_AVAHI_PID"; KN_AVAHI_PID=; }

# A daemon with an empty cache: nothing one case saw leaks into the next.
kn_fresh_avahi() { kn_stop_avahi && kn_start_avahi; }

# --- device side -------------------------------------------------------------------------

kn_said() { # PID FILE PATTERN
    grep -q -- "$3" "$2" && return 0
    kn_alive "$1" || return 2
    return 1
}

# knobly-devicesim on the device address, port 443; extra arguments pass through.
kn_start_device() {
    KN_SIM_RUNS=$((KN_SIM_RUNS + 1))
    KN_SIM_OUT=$KN_TMP/sim.$KN_SIM_RUNS.out
    ip netns exec "$KN_DEV_NS" "$KN_BIN/knobly-devicesim" --port 443 --bind "$KN_DEV_IP" \
        --stats "$@" >"$KN_SIM_OUT" 2>&1 &
    KN_SIM_PID=$!
    kn_wait_until 15 kn_said "$KN_SIM_PID" "$KN_SIM_OUT" 'serving' ||
        { kn_log "knobly-devicesim did not start:"; cat "$KN_SIM_OUT" >&2; return 1; }
}

# mdns_publish.py on the device address; arguments: --type, --name, --port, --txt ...
kn_start_publisher() {
    KN_PUB_RUNS=$((KN_PUB_RUNS + 1))
    local out=$KN_TMP/publish.$KN_PUB_RUNS.out
    ip netns exec "$KN_DEV_NS" "$KN_PY" "$KN_LIB_DIR/mdns_publish.py" \
        --address "$KN_DEV_IP" --interface-address "$KN_DEV_IP" "$@" >"$out" 2>&1 &
    KN_PUB_PID=$!
    kn_wait_until 20 kn_said "$KN_PUB_PID" "$out" '^published$' ||
        { kn_log "the mDNS publisher did not come up:"; cat "$out" >&2; return 1; }
}

# The WiiM that AirPlay alone names: TXT model "WiiM Pro".
kn_publish_wiim_airplay() {
    kn_start_publisher --type _airplay._tcp.local. --name "Living Room" --port 7000 \
        --txt "model=WiiM Pro" --txt "deviceid=B8:13:32:E0:92:22" --txt "srcvers=366.0" \
        --txt "features=0x445F8A00,0x1C340"
}

# Stops the device side; the simulator's stats line stays in KN_SIM_OUT.
kn_stop_device() { kn_stop_pid "$KN_PUB_PID" && kn_stop_pid "$KN_SIM_PID"; KN_PUB_PID= KN_SIM_PID=; }

# One number from the last simulator's stats line, e.g. `kn_sim_stat getStatusEx`.
kn_sim_stat() {
    sed -n "s/^knobly-devicesim: stats .*\\b$1=\\([0-9][0-9]*\\).*/\\1/p" "$KN_SIM_OUT" | tail -n 1
}

# --- discovery ---------------------------------------------------------------------------

# Stamps each line with the wall clock as it is read.
kn_stamp() { local line; while IFS= read -r line; do printf '%s %s\n' "$EPOCHREALTIME" "$line"; done; }

# Starts `knoblyctl discover --seconds N` on the program side. Lines land in OUT, each
# with its arrival time; OUT.start holds the time just before the process was started.
kn_discover_start() {
    local seconds=$1 out=$2
    rm -f "$out" "$out.fifo"
    mkfifo "$out.fifo"
    kn_stamp <"$out.fifo" >"$out" &
    KN_READER_PID=$!
    printf '%s\n' "$EPOCHREALTIME" >"$out.start"
    ip netns exec "$KN_PROG_NS" env DBUS_SYSTEM_BUS_ADDRESS="$KN_BUS_ADDR" \
        XDG_CONFIG_HOME="$KN_TMP/config" \
        "$KN_BIN/knoblyctl" discover --seconds "$seconds" >"$out.fifo" 2>"$out.err" &
    KN_CTL_PID=$!
    KN_CTL_SECONDS=$seconds
}

# Waits for the run started last; returns knoblyctl's exit status (124: it overran).
kn_discover_wait() {
    local rc=0
    if kn_wait_until $((KN_CTL_SECONDS + 30)) kn_gone "$KN_CTL_PID"; then
        wait "$KN_CTL_PID"; rc=$?
    else
        kn_log "knoblyctl discover overran its --seconds"; kn_stop_pid "$KN_CTL_PID"; rc=124
    fi
    KN_CTL_PID=
    wait "$KN_READER_PID" 2>/dev/null
    KN_READER_PID=
    return "$rc"
}

kn_stop_discover() { kn_stop_pid "$KN_CTL_PID" && kn_stop_pid "$KN_READER_PID"; KN_CTL_PID= KN_READER_PID=; }

kn_discover() { kn_discover_start "$@" && kn_discover_wait; }

# Checks a run's output. Every line must be a well-formed device list.
#   kn_check OUT find key=value...  the first line with a record matching all pairs;
#                                   prints "line=I lines=N after=SECONDS"
# With KN_NOT_BEFORE set (a wall-clock time), a find that matches a line read before then
# fails: the record was there before whatever should have brought it.
kn_check() {
    KN_NOT_BEFORE=${KN_NOT_BEFORE:-0} "$KN_PY" - "$@" <<'EOF'
import json
import os
import sys

out, mode, wanted = sys.argv[1], sys.argv[2], sys.argv[3:]
start = float(open(out + ".start").read())
not_before = float(os.environ["KN_NOT_BEFORE"])
lines = []
for number, raw in enumerate(open(out, encoding="utf-8").read().splitlines(), 1):
    stamp, _, text = raw.partition(" ")
    try:
        devices = json.loads(text)
    except ValueError:
        sys.exit(f"line {number} is not JSON: {text!r}")
    if not isinstance(devices, list):
        sys.exit(f"line {number} is not a JSON array: {text!r}")
    ips = set()
    for d in devices:
        if not isinstance(d, dict) or set(d) != {"name", "ip", "port", "model", "source"}:
            sys.exit(f"line {number}: not a device record: {d!r}")
        if d["port"] != 443 or d["source"] not in ("airplay", "chromecast", "ssdp"):
            sys.exit(f"line {number}: bad port or source: {d!r}")
        if d["ip"] in ips:
            sys.exit(f"line {number}: {d['ip']} listed twice: {text}")
        ips.add(d["ip"])
    lines.append((float(stamp) - start, devices, text))

if not lines:
    sys.exit("no output at all (not even the 4.0 s delivery)")
pairs = [w.split("=", 1) for w in wanted]
for number, (after, devices, _) in enumerate(lines, 1):
    if any(all(d.get(k) == v for k, v in pairs) for d in devices):
        if start + after < not_before:
            sys.exit(f"listed at {after:.3f}s, before it could be known "
                     f"({not_before - start:.3f}s)")
        print(f"line={number} lines={len(lines)} after={after:.3f}")
        sys.exit(0)
sys.exit("no line lists " + " ".join(wanted) + "; got:\n  " +
         "\n  ".join(f"{a:6.3f}s {t}" for a, _, t in lines))
EOF
}

# --- cleanup -----------------------------------------------------------------------------

kn_cleanup() {
    local status=$?
    ((KN_CLEANED)) && return
    KN_CLEANED=1
    trap - INT TERM HUP
    local pid ns leftovers=()
    for pid in "$KN_CTL_PID" "$KN_READER_PID" "$KN_PUB_PID" "$KN_SIM_PID" "$KN_AVAHI_PID" "$KN_BUS_PID"; do
        kn_stop_pid "$pid"
    done
    # Anything else still inside our namespaces was started there by us.
    for ns in "$KN_PROG_NS" "$KN_DEV_NS"; do
        for pid in $(ip netns pids "$ns" 2>/dev/null); do kill -KILL "$pid" 2>/dev/null; done
    done
    ((KN_NS_PROG_MADE)) && ip netns del "$KN_PROG_NS" 2>/dev/null
    ((KN_NS_DEV_MADE)) && ip netns del "$KN_DEV_NS" 2>/dev/null
    [[ -n $KN_TMP && -d $KN_TMP ]] && rm -rf "$KN_TMP"

    # Children of this shell still running (reaped ones may have had their ids reused).
    for pid in $(jobs -pr); do leftovers+=("process $pid"); done
    for ns in "$KN_PROG_NS" "$KN_DEV_NS"; do
        ip netns list 2>/dev/null | grep -q "^$ns\\b" && leftovers+=("namespace $ns")
    done
    ((${#leftovers[@]} == 0)) || { kn_log "cleanup left behind: ${leftovers[*]}"; exit 1; }
    exit "$status"
}
