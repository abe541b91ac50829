#!/usr/bin/env bash
# Discovery end to end: knoblyctl discover and knobly against a simulated device over a veth
# pair, with avahi-daemon, mDNS and SSDP confined to two network namespaces of our own.
#
#   tests/integration/discovery_e2e.sh [BIN_DIR]     (as root; BIN_DIR defaults to build/bin)
#
# Exit 0: all cases passed; 1: some failed; 77: this machine cannot run it.
set -u -o pipefail

here=$(cd "$(dirname "$0")" && pwd)
KN_BIN=$(cd "${1:-$here/../../build/bin}" 2>/dev/null && pwd) ||
    { echo "discovery_e2e: no bin directory ${1:-$here/../../build/bin}" >&2; exit 1; }
# shellcheck source-path=SCRIPTDIR source=netns_lib.sh
source "$here/netns_lib.sh"

why=$(kn_preflight)
[[ -z $why ]] || { echo "discovery_e2e: SKIP: $why"; exit 77; }
for program in knoblyctl knobly knobly-devicesim; do
    [[ -x $KN_BIN/$program ]] || { echo "discovery_e2e: $KN_BIN/$program is not built" >&2; exit 1; }
done
if ! kn_setup || ! kn_start_bus; then echo "discovery_e2e: could not set up the namespaces" >&2; exit 1; fi

passed=0 failed=0
# Runs a case in this shell, so cleanup knows every process it starts; its output explains a
# failure, and its last line a success.
run_case() { # NAME FUNCTION
    printf -- '--- %s\n' "$1"
    if "$2" >"$KN_TMP/case.log" 2>&1; then
        passed=$((passed + 1)) && echo "PASS $1: $(tail -n 1 "$KN_TMP/case.log")"
    else
        sed 's/^/    /' "$KN_TMP/case.log" && failed=$((failed + 1)) && echo "FAIL $1"
    fi
    kn_stop_discover && kn_stop_device # whatever a failed case left running
}

# Waits for the discovery started last; prints what kn_check finds in its output, or why not.
finds() { # OUT key=value...
    kn_discover_wait
    local rc=$?
    ((rc == 0)) || { echo "knoblyctl discover exited with $rc:"; cat "$1.err"; return 1; }
    kn_check "$1" find "${@:2}" 2>&1
}

stat_is() { # KEY OP VALUE: the stopped simulator's count, compared with test(1)'s operator
    local got
    got=$(sed -n "s/^knobly-devicesim: stats .*\\b$1=\\([0-9][0-9]*\\).*/\\1/p" "$KN_SIM_OUT" | tail -n 1)
    test "${got:-none}" "$2" "$3" 2>/dev/null || { echo "simulator: $1=${got:-none}, wanted $2 $3"; return 1; }
}

wiim=(ip="$KN_DEV_IP" source=airplay "name=Living Room" "model=WiiM Pro")

case_a_airplay_txt() {
    kn_fresh_avahi && kn_start_device && kn_publish_wiim_airplay || return 1
    kn_discover_start 6 "$KN_TMP/a.out"
    # At once: before the 4.0 s delivery, the last line of a run where nothing else changes.
    KN_NOT_LAST=1 finds "$KN_TMP/a.out" "${wiim[@]}" || return 1
    kn_stop_device
    stat_is getStatusEx -eq 0 # a TXT record that names the brand needs no identity probe
}

case_b_ssdp_probe() {
    kn_fresh_avahi || return 1
    # Another maker's SSDP answer, three times over; the identity behind it says WiiM.
    kn_start_device --ssdp renderer --ssdp-interface "$KN_DEV_IF" --ssdp-answers 3 || return 1
    kn_discover_start 6 "$KN_TMP/b.out"
    finds "$KN_TMP/b.out" ip="$KN_DEV_IP" source=ssdp "name=WiiM Pro-9222" || return 1
    kn_stop_device
    stat_is ssdp-searches -eq 1 && stat_is getStatusEx -ge 1
}

case_d1_avahi_late() {
    kn_stop_avahi
    kn_start_device && kn_publish_wiim_airplay || return 1
    kn_discover_start 10 "$KN_TMP/d1.out"
    sleep 1 # discovery is under way with no daemon to talk to
    local started=$EPOCHREALTIME
    kn_start_avahi && KN_NOT_BEFORE=$started finds "$KN_TMP/d1.out" "${wiim[@]}"
}

case_d2_avahi_restart() {
    kn_fresh_avahi && kn_start_device || return 1
    kn_discover_start 12 "$KN_TMP/d2.out"
    sleep 1 # browsing is under way
    kn_fresh_avahi || return 1
    # Published only now: only browsing that came back after the restart can see it.
    local published=$EPOCHREALTIME
    kn_publish_wiim_airplay && KN_NOT_BEFORE=$published finds "$KN_TMP/d2.out" "${wiim[@]}"
}

# The service has no address until the restart, and browsing cannot find it after: only the
# resolution under way when the daemon left, taken up again on the new one, can list it.
case_d3_resolution_resumes() {
    kn_fresh_avahi && kn_start_device && kn_publish_wiim_airplay --late || return 1
    kn_discover_start 8 "$KN_TMP/d3.out"
    sleep 1 # found, and resolving waits for an address
    kn_stop_avahi && kill -USR1 "$KN_PUB_PID" || return 1
    kn_wait_until 5 kn_said "$KN_PUB_PID" "$KN_PUB_OUT" resolvable && kn_start_avahi &&
        finds "$KN_TMP/d3.out" "${wiim[@]}"
}

# knobly itself (offscreen, on no session bus) with the device saved; the device then moves to
# another address and announces itself there over _linkplay._tcp only.
case_e_device_moves() {
    local conf=$KN_TMP/knobly/Knobly/Knobly.conf uuid=FF98F09C4BD0B0224C1F9A55
    kn_fresh_avahi && kn_start_device || return 1
    mkdir -p "${conf%/*}" "$KN_TMP/run" && chmod 700 "$KN_TMP/run"
    printf '[General]\nip=%s\ndevice=Living Room\n' "$KN_DEV_IP" >"$conf"
    ip netns exec "$KN_PROG_NS" env DBUS_SYSTEM_BUS_ADDRESS="$KN_BUS_ADDR" QT_QPA_PLATFORM=offscreen \
        DBUS_SESSION_BUS_ADDRESS="unix:path=$KN_TMP/no-session-bus" XDG_CONFIG_HOME="$KN_TMP/knobly" \
        XDG_RUNTIME_DIR="$KN_TMP/run" "$KN_BIN/knobly" >"$KN_TMP/knobly.out" 2>&1 &
    KN_CTL_PID=$! # stopped like knoblyctl, should the case fail
    kn_wait_until 20 grep -q "^uuid=$uuid" "$conf" || { echo "knobly never saved the device's id"; cat "$KN_TMP/knobly.out"; return 1; }
    kn_stop_device
    local KN_DEV_IP=169.254.10.3 # the device moves, for this case only
    ip -n "$KN_DEV_NS" addr add "$KN_DEV_IP/16" dev "$KN_DEV_IF" && kn_start_device &&
        kn_start_publisher _linkplay._tcp.local. "Living Room" 443 || return 1
    # Three silent polls (15 s), a discovery and a probe.
    kn_wait_until 60 grep -qx "ip=$KN_DEV_IP" "$conf" ||
        { echo "the settings still say:"; cat "$conf" "$KN_TMP/knobly.out"; return 1; }
    kn_stop KN_CTL_PID
    grep -q "^uuid=$uuid" "$conf" || { echo "the id was lost"; return 1; }
    echo "followed to $KN_DEV_IP"
}

run_case "a: AirPlay TXT model 'WiiM Pro' listed at once" case_a_airplay_txt
run_case "b: SSDP renderer with a WiiM identity, confirmed by probe" case_b_ssdp_probe
run_case "d1: avahi-daemon started after discovery began" case_d1_avahi_late
run_case "d2: avahi-daemon restarted during discovery" case_d2_avahi_restart
run_case "d3: a resolution under way resumes after avahi-daemon restarts" case_d3_resolution_resumes
run_case "e: a device that moved is followed by its id" case_e_device_moves

echo "$passed passed, $failed failed"
((failed == 0))
