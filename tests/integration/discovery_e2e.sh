#!/usr/bin/env bash
# Discovery end to end: knoblyctl discover against a simulated device over a veth pair,
# with avahi-daemon, mDNS and SSDP confined to two network namespaces of our own.
#
#   tests/integration/discovery_e2e.sh [BIN_DIR]     (as root; BIN_DIR defaults to build/bin)
#
# Exit 0: all cases passed; 1: some failed; 77: this machine cannot run it.
set -u -o pipefail

here=$(cd "$(dirname "$0")" && pwd)
KN_BIN=$(cd "${1:-$here/../../build/bin}" 2>/dev/null && pwd) || {
    echo "discovery_e2e: no bin directory ${1:-$here/../../build/bin}" >&2
    exit 1
}
# shellcheck source-path=SCRIPTDIR source=netns_lib.sh
source "$here/netns_lib.sh"

skip() {
    echo "discovery_e2e: SKIP: $*"
    exit 77
}

why=$(kn_preflight)
[[ -z $why ]] || skip "$why"
for program in knoblyctl knobly-devicesim; do
    if [[ ! -x $KN_BIN/$program ]]; then
        echo "discovery_e2e: $KN_BIN/$program is not built" >&2
        exit 1
    fi
done

kn_setup || {
    echo "discovery_e2e: could not set up the namespaces" >&2
    exit 1
}
kn_start_bus || exit 1

passed=0 failed=0
# Runs the named case function in this shell, so cleanup knows every process it starts;
# its output explains a failure.
run_case() {
    local name=$1 fn=$2 log=$KN_TMP/case.log
    printf -- '--- %s\n' "$name"
    if "$fn" >"$log" 2>&1; then
        passed=$((passed + 1)) && echo "PASS $name: $(tail -n 1 "$log")"
    else
        sed 's/^/    /' "$log" && failed=$((failed + 1)) && echo "FAIL $name"
    fi
    kn_stop_discover # whatever a failed case left running goes before the next one
    kn_stop_device
}
ctl_ok() { (($1 == 0)) || { echo "knoblyctl discover exited with $1:"; cat "$2.err"; return 1; }; }
stat_is() { # KEY OP VALUE: the simulator's count, compared with test(1)'s operator
    local got
    got=$(kn_sim_stat "$1")
    test "${got:-none}" "$2" "$3" 2>/dev/null || { echo "simulator: $1=${got:-none}, wanted $2 $3"; return 1; }
}
find_in() { kn_check "$@" 2>&1; } # OUT key=value...: what kn_check found, or why not

airplay_record=(ip="$KN_DEV_IP" source=airplay "name=Living Room" "model=WiiM Pro")

case_a_airplay_txt() {
    local out=$KN_TMP/a.out rc found line lines
    kn_fresh_avahi || return 1
    kn_start_device || return 1
    kn_publish_wiim_airplay || return 1
    kn_discover 6 "$out"
    rc=$?
    kn_stop_device
    ctl_ok "$rc" "$out" || return 1
    found=$(find_in "$out" find "${airplay_record[@]}") || {
        echo "$found"
        return 1
    }
    line=$(sed -n 's/.*line=\([0-9]*\).*/\1/p' <<<"$found")
    lines=$(sed -n 's/.*lines=\([0-9]*\).*/\1/p' <<<"$found")
    # Listed at once: before the 4.0 s delivery, the last line of a run where nothing else
    # changes.
    if ((line >= lines)); then
        echo "first listed only in the last delivery ($found)"
        return 1
    fi
    # A TXT record that names the brand needs no identity probe.
    stat_is getStatusEx -eq 0 || return 1
    echo "$found"
}

case_b_ssdp_probe() {
    local out=$KN_TMP/b.out rc
    kn_fresh_avahi || return 1
    # Another maker's SSDP answer, three times over; the identity behind it says WiiM.
    kn_start_device --ssdp renderer --ssdp-interface "$KN_DEV_IF" --ssdp-answers 3 || return 1
    kn_discover 6 "$out"
    rc=$?
    kn_stop_device
    ctl_ok "$rc" "$out" || return 1
    find_in "$out" find ip="$KN_DEV_IP" source=ssdp "name=WiiM Pro-9222" || return 1
    stat_is ssdp-searches -eq 1 || return 1
    stat_is getStatusEx -ge 1 || return 1
    kn_check "$out" find ip="$KN_DEV_IP"
}

case_d1_avahi_late() {
    local out=$KN_TMP/d1.out rc
    kn_stop_avahi
    kn_start_device || return 1
    kn_publish_wiim_airplay || return 1
    kn_discover_start 10 "$out"
    sleep 1 # discovery is under way with no daemon to talk to
    local started=$EPOCHREALTIME
    kn_start_avahi || return 1
    kn_discover_wait
    rc=$?
    ctl_ok "$rc" "$out" || return 1
    KN_NOT_BEFORE=$started find_in "$out" find "${airplay_record[@]}"
}

case_d2_avahi_restart() {
    local out=$KN_TMP/d2.out rc
    kn_fresh_avahi || return 1
    kn_start_device || return 1
    kn_discover_start 12 "$out"
    sleep 1 # browsing is under way
    kn_stop_avahi
    kn_start_avahi || return 1
    # Published only now: only browsing that came back after the restart can see it.
    local published=$EPOCHREALTIME
    kn_publish_wiim_airplay || return 1
    kn_discover_wait
    rc=$?
    ctl_ok "$rc" "$out" || return 1
    KN_NOT_BEFORE=$published find_in "$out" find "${airplay_record[@]}"
}

# knobly itself (offscreen, on no session bus) with the device saved; the device then moves to
# another address and announces itself there over _linkplay._tcp only.
case_e_device_moves() {
    local conf=$KN_TMP/knobly-config/Knobly/Knobly.conf moved=169.254.10.3 first=$KN_DEV_IP pid rc=1
    kn_fresh_avahi || return 1
    kn_start_device || return 1
    mkdir -p "$(dirname "$conf")" "$KN_TMP/knobly-run" && chmod 700 "$KN_TMP/knobly-run"
    printf '[General]\nip=%s\ndevice=Living Room\n' "$KN_DEV_IP" >"$conf"
    ip netns exec "$KN_PROG_NS" env DBUS_SYSTEM_BUS_ADDRESS="$KN_BUS_ADDR" \
        DBUS_SESSION_BUS_ADDRESS="unix:path=$KN_TMP/no-session-bus" QT_QPA_PLATFORM=offscreen \
        XDG_CONFIG_HOME="$KN_TMP/knobly-config" XDG_RUNTIME_DIR="$KN_TMP/knobly-run" \
        "$KN_BIN/knobly" >"$KN_TMP/knobly.out" 2>&1 &
    pid=$!
    # The device's id is saved once it has answered.
    if kn_wait_until 20 grep -q '^uuid=FF98F09C4BD0B0224C1F9A55' "$conf"; then
        kn_stop_device
        ip -n "$KN_DEV_NS" addr add "$moved/16" dev "$KN_DEV_IF"
        KN_DEV_IP=$moved
        kn_start_device &&
            kn_start_publisher --type _linkplay._tcp.local. --name "Living Room" --port 443 &&
            # Three silent polls (15 s), a discovery and a probe.
            kn_wait_until 60 grep -qx "ip=$moved" "$conf" && rc=0
        KN_DEV_IP=$first
        ip -n "$KN_DEV_NS" addr del "$moved/16" dev "$KN_DEV_IF"
    else
        echo "knobly never saved the device's id"
    fi
    kn_stop_pid "$pid"
    if ((rc != 0)); then
        echo "the settings still say:" && cat "$conf" && cat "$KN_TMP/knobly.out"
        return 1
    fi
    grep -q '^uuid=FF98F09C4BD0B0224C1F9A55' "$conf" || { echo "the id was lost"; return 1; }
    echo "followed to $moved"
}

run_case "a: AirPlay TXT model 'WiiM Pro' listed at once" case_a_airplay_txt
run_case "b: SSDP renderer with a WiiM identity, confirmed by probe" case_b_ssdp_probe
run_case "d1: avahi-daemon started after discovery began" case_d1_avahi_late
run_case "d2: avahi-daemon restarted during discovery" case_d2_avahi_restart
run_case "e: a device that moved is followed by its id" case_e_device_moves

echo "$passed passed, $failed failed"
((failed == 0))
