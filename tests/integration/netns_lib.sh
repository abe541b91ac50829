# shellcheck shell=bash
# Sourced by tests/integration/discovery_e2e.sh and bench/discovery.sh.
#
# Two network namespaces joined by a veth pair and nothing else: the program side runs a
# private D-Bus system bus, avahi-daemon and the programs under test; the device side runs the
# simulated device and its mDNS publisher. Every process starts through `ip netns exec` and the
# veth pair is made straight inside the namespaces: nothing touches the machine's own network.
# The caller sets KN_BIN (the build's bin directory) and calls kn_preflight, then kn_setup,
# which installs the traps that tear everything down again.

export LC_ALL=C # EPOCHREALTIME and the checker's numbers use '.'

KN_LIB_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
KN_ID=$$ KN_PROG_IP=169.254.10.1 KN_DEV_IP=169.254.10.2
KN_PROG_NS=knobly-prog-$KN_ID KN_DEV_NS=knobly-dev-$KN_ID
KN_PROG_IF=knp$KN_ID KN_DEV_IF=knd$KN_ID # interface names have 15 characters at most
KN_PY=/usr/bin/python3                   # Debian's, where python3-zeroconf lives
KN_TMP='' KN_BUS_ADDR='' KN_NS_MADE=() KN_CLEANED=0 KN_RUNS=0 KN_SIM_OUT='' KN_PUB_OUT=''
# Processes of ours (kn_spawn sets most); cleanup stops whatever is still set.
# shellcheck disable=SC2034
KN_BUS_PID='' KN_AVAHI_PID='' KN_SIM_PID='' KN_PUB_PID='' KN_CTL_PID='' KN_READER_PID='' KN_CTL_SECONDS=0

kn_log() { printf '[netns] %s\n' "$*" >&2; }

# Why this machine cannot run the namespaces, or nothing when it can.
kn_preflight() {
    [[ $(id -u) -eq 0 ]] || { echo "needs root (network namespaces, avahi-daemon)"; return; }
    local tool
    for tool in ip avahi-daemon dbus-daemon unshare mount; do
        command -v "$tool" >/dev/null 2>&1 || { echo "$tool is not installed"; return; }
    done
    "$KN_PY" -c 'import zeroconf' 2>/dev/null || { echo "python3-zeroconf is not installed"; return; }
    # Some containers list namespaces but may not make them.
    ip netns add "knobly-probe-$KN_ID" 2>/dev/null || { echo "cannot create network namespaces here"; return; }
    ip netns del "knobly-probe-$KN_ID"
}

# Polls COMMAND for up to LIMIT seconds; its status 2 (the process died) ends the wait at once.
kn_wait_until() { # LIMIT COMMAND...
    local deadline=$((${EPOCHREALTIME/./} + $1 * 1000000))
    shift
    until "$@"; do
        (($? == 2 || ${EPOCHREALTIME/./} >= deadline)) && return 1
        sleep 0.05
    done
}

kn_alive() { [[ -n $1 ]] && kill -0 "$1" 2>/dev/null; }
kn_gone() { ! kill -0 "$1" 2>/dev/null; }
kn_said() { # PID FILE PATTERN; 2 once PID has died without saying it
    grep -qs -- "$3" "$2" && return 0
    kn_alive "$1" && return 1 || return 2
}

# TERM, five seconds' grace, then KILL, for the process in each named variable; reaps it and
# clears the variable.
kn_stop() { # VAR...
    local var pid
    for var; do
        pid=${!var}
        [[ -n $pid ]] || continue
        if kill -TERM "$pid" 2>/dev/null && ! kn_wait_until 5 kn_gone "$pid"; then
            kn_log "process $pid ignored SIGTERM" && kill -KILL "$pid" 2>/dev/null
        fi
        wait "$pid" 2>/dev/null
        printf -v "$var" ''
    done
    return 0
}

# Starts COMMAND in namespace NS with its output in LOG and its pid in VAR, and waits up to
# LIMIT seconds for LOG to show PATTERN.
kn_spawn() { # VAR LOG PATTERN LIMIT NS COMMAND...
    local var=$1 log=$2 pattern=$3 limit=$4 ns=$5
    shift 5
    ip netns exec "$ns" "$@" >"$log" 2>&1 &
    printf -v "$var" %s $!
    kn_wait_until "$limit" kn_said "${!var}" "$log" "$pattern" ||
        { kn_log "no '$pattern' from $*:"; cat "$log" >&2; return 1; }
}

kn_setup() {
    trap kn_cleanup EXIT
    trap 'exit 130' INT && trap 'exit 143' TERM && trap 'exit 129' HUP
    KN_TMP=$(mktemp -d /tmp/knobly-netns.XXXXXX) || return 1
    ip netns add "$KN_PROG_NS" && KN_NS_MADE+=("$KN_PROG_NS") || return 1
    ip netns add "$KN_DEV_NS" && KN_NS_MADE+=("$KN_DEV_NS") || return 1
    # Made inside the namespaces: the pair never appears on the machine's own side.
    ip link add "$KN_PROG_IF" netns "$KN_PROG_NS" type veth peer name "$KN_DEV_IF" \
        netns "$KN_DEV_NS" && kn_link "$KN_PROG_NS" "$KN_PROG_IF" "$KN_PROG_IP" &&
        kn_link "$KN_DEV_NS" "$KN_DEV_IF" "$KN_DEV_IP"
}

kn_link() { # NS IFNAME ADDRESS
    # IPv4 only: keeps router solicitations and MLD chatter out of the picture.
    ip netns exec "$1" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 \
        net.ipv6.conf.default.disable_ipv6=1 >/dev/null 2>&1
    # The M-SEARCH goes out from an unbound socket, so the group needs a route.
    ip -n "$1" link set lo up && ip -n "$1" addr add "$3/16" dev "$2" &&
        ip -n "$1" link set "$2" up && ip -n "$1" route add 224.0.0.0/4 dev "$2"
}

# --- program side ------------------------------------------------------------------------

kn_start_bus() {
    KN_BUS_ADDR=unix:path=$KN_TMP/system_bus_socket
    cat >"$KN_TMP/bus.conf" <<EOF
<busconfig><type>system</type><listen>$KN_BUS_ADDR</listen><auth>EXTERNAL</auth>
<policy context="default"><allow user="*"/><allow own="*"/>
<allow send_type="method_call"/><allow send_type="signal"/><allow send_type="method_return"/><allow send_type="error"/>
<allow receive_type="method_call"/><allow receive_type="signal"/><allow receive_type="method_return"/><allow receive_type="error"/>
</policy></busconfig>
EOF
    kn_spawn KN_BUS_PID "$KN_TMP/bus.log" '^unix:' 10 "$KN_PROG_NS" dbus-daemon --nofork \
        --nopidfile --nosyslog --print-address --config-file="$KN_TMP/bus.conf"
}

# avahi-daemon on the program side only, with its own configuration. It insists on the fixed
# /run/avahi-daemon for its pid file and socket, so each run gets a private mount namespace
# with a fresh directory bound over /run: no daemon sees another's pid file, and nothing lands
# in the machine's /run (`mount -n`: not even mount's own bookkeeping).
kn_start_avahi() {
    local dir=$KN_TMP/avahi.$((++KN_RUNS))
    mkdir -p "$dir/run"
    printf '%s\n' '[server]' use-ipv4=yes use-ipv6=no "allow-interfaces=$KN_PROG_IF" \
        enable-dbus=yes ratelimit-interval-usec=1000000 ratelimit-burst=1000 '[wide-area]' \
        enable-wide-area=no '[publish]' disable-publishing=yes >"$dir/avahi-daemon.conf"
    # shellcheck disable=SC2016 # "$1" and "$@" belong to the inner shell
    kn_spawn KN_AVAHI_PID "$dir/log" 'startup complete' 15 "$KN_PROG_NS" \
        env DBUS_SYSTEM_BUS_ADDRESS="$KN_BUS_ADDR" unshare --mount --propagation private \
        /bin/sh -c 'mount -n --bind "$1" /run && shift && exec "$@"' knobly-avahi "$dir/run" \
        avahi-daemon --no-drop-root --no-chroot --no-rlimits --no-proc-title -f "$dir/avahi-daemon.conf"
}

kn_stop_avahi() { kn_stop KN_AVAHI_PID; }

# A daemon with an empty cache: nothing one case saw leaks into the next.
kn_fresh_avahi() { kn_stop_avahi && kn_start_avahi; }

# --- device side -------------------------------------------------------------------------

# knobly-devicesim on KN_DEV_IP, port 443; arguments pass through. Its stats line lands in
# KN_SIM_OUT when it stops.
kn_start_device() {
    KN_SIM_OUT=$KN_TMP/sim.$((++KN_RUNS)).out
    kn_spawn KN_SIM_PID "$KN_SIM_OUT" serving 15 "$KN_DEV_NS" "$KN_BIN/knobly-devicesim" \
        --port 443 --bind "$KN_DEV_IP" --stats "$@"
}

kn_start_publisher() { # [--late] TYPE NAME PORT [KEY=VALUE...], on KN_DEV_IP; see mdns_publish.py
    KN_PUB_OUT=$KN_TMP/publish.$((++KN_RUNS)).out
    kn_spawn KN_PUB_PID "$KN_PUB_OUT" '^published$' 20 "$KN_DEV_NS" \
        "$KN_PY" "$KN_LIB_DIR/mdns_publish.py" "$KN_DEV_IP" "$@"
}

# The WiiM that AirPlay alone names: TXT model "WiiM Pro".
# shellcheck disable=SC2120 # --late is for one case only
kn_publish_wiim_airplay() { # [--late]
    kn_start_publisher "$@" _airplay._tcp.local. "Living Room" 7000 "model=WiiM Pro" \
        deviceid=B8:13:32:E0:92:22 srcvers=366.0 features=0x445F8A00,0x1C340
}

kn_stop_device() { kn_stop KN_PUB_PID KN_SIM_PID; }

# --- discovery ---------------------------------------------------------------------------

# Stamps each line with the wall clock as it is read.
kn_stamp() { local line; while IFS= read -r line; do printf '%s %s\n' "$EPOCHREALTIME" "$line"; done; }

# Starts `knoblyctl discover --seconds N` on the program side. Its lines land in OUT, each
# stamped with its arrival; OUT.start holds the time just before it started.
kn_discover_start() { # N OUT
    rm -f "$2" "$2.fifo" && mkfifo "$2.fifo"
    kn_stamp <"$2.fifo" >"$2" &
    KN_READER_PID=$! KN_CTL_SECONDS=$1
    printf '%s\n' "$EPOCHREALTIME" >"$2.start"
    ip netns exec "$KN_PROG_NS" env DBUS_SYSTEM_BUS_ADDRESS="$KN_BUS_ADDR" \
        XDG_CONFIG_HOME="$KN_TMP/config" "$KN_BIN/knoblyctl" discover --seconds "$1" \
        >"$2.fifo" 2>"$2.err" &
    KN_CTL_PID=$!
}

# Waits for the run started last; returns knoblyctl's exit status (124: it overran).
kn_discover_wait() {
    local rc=124
    if kn_wait_until $((KN_CTL_SECONDS + 30)) kn_gone "$KN_CTL_PID"; then
        wait "$KN_CTL_PID"
        rc=$?
    else
        kn_log "knoblyctl discover overran its --seconds"
    fi
    kn_stop KN_CTL_PID
    wait "$KN_READER_PID" 2>/dev/null # it ends at the end of the output, not before
    KN_READER_PID=
    return "$rc"
}

kn_stop_discover() { kn_stop KN_CTL_PID KN_READER_PID; }

kn_discover() { kn_discover_start "$@" && kn_discover_wait; }

# kn_check OUT find key=value...: every line of a run must be a well-formed device list; finds
# the first line with a record matching all pairs and prints "line=I lines=N after=SECONDS".
# It fails when that line was read before KN_NOT_BEFORE (a wall-clock time: before whatever
# should have brought the record), or, with KN_NOT_LAST set, when it is the run's last line.
kn_check() {
    KN_NOT_BEFORE=${KN_NOT_BEFORE:-0} KN_NOT_LAST=${KN_NOT_LAST:-} "$KN_PY" - "$@" <<'EOF'
import json
import os
import sys

out, wanted = sys.argv[1], [w.split("=", 1) for w in sys.argv[3:]]
start = float(open(out + ".start").read())
not_before = float(os.environ["KN_NOT_BEFORE"])


def record(d):
    return (isinstance(d, dict) and set(d) == {"name", "ip", "port", "model", "source"}
            and d["port"] == 443 and d["source"] in ("airplay", "chromecast", "ssdp"))


lines = []
for n, raw in enumerate(open(out, encoding="utf-8").read().splitlines(), 1):
    stamp, _, text = raw.partition(" ")
    try:
        devices = json.loads(text)
    except ValueError:
        devices = None
    if not isinstance(devices, list) or not all(map(record, devices)):
        sys.exit(f"line {n} is not a list of device records: {text!r}")
    if len({d["ip"] for d in devices}) < len(devices):
        sys.exit(f"line {n} lists an address twice: {text}")
    lines.append((float(stamp) - start, devices, text))
if not lines:
    sys.exit("no output at all (not even the 4.0 s delivery)")
for n, (after, devices, _) in enumerate(lines, 1):
    if any(all(d.get(k) == v for k, v in wanted) for d in devices):
        found = f"line={n} lines={len(lines)} after={after:.3f}"
        if start + after < not_before:
            sys.exit(f"{found}: listed before it could be known ({not_before - start:.3f}s)")
        if os.environ["KN_NOT_LAST"] and n == len(lines):
            sys.exit(f"{found}: first listed only in the last delivery")
        print(found)
        sys.exit(0)
sys.exit("no line lists " + " ".join(sys.argv[3:]) + "; got:\n  " +
         "\n  ".join(f"{a:6.3f}s {t}" for a, _, t in lines))
EOF
}

# --- cleanup -----------------------------------------------------------------------------

kn_cleanup() {
    local status=$? pid ns leftovers=()
    ((KN_CLEANED++)) && return
    trap - INT TERM HUP
    kn_stop KN_CTL_PID KN_READER_PID KN_PUB_PID KN_SIM_PID KN_AVAHI_PID KN_BUS_PID
    # Anything else still inside our namespaces was started there by us.
    for ns in "${KN_NS_MADE[@]}"; do
        for pid in $(ip netns pids "$ns" 2>/dev/null); do kill -KILL "$pid" 2>/dev/null; done
        ip netns del "$ns" 2>/dev/null
        ip netns list 2>/dev/null | grep -q "^$ns\\b" && leftovers+=("namespace $ns")
    done
    [[ -n $KN_TMP ]] && rm -rf "$KN_TMP"
    # Children of this shell still running (reaped ones may have had their ids reused).
    for pid in $(jobs -pr); do leftovers+=("process $pid"); done
    ((${#leftovers[@]} == 0)) || { kn_log "cleanup left behind: ${leftovers[*]}"; exit 1; }
    exit "$status"
}
