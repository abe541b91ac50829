#!/usr/bin/env bash
# How long discovery takes to list a device, in the same namespace setup as the end-to-end
# test: K runs that find a WiiM by its AirPlay TXT record alone, and K that find one by an
# SSDP answer and an HTTPS identity probe. Prints the median of each.
#
#   bench/discovery.sh [--runs K] [BIN_DIR]      (as root; K defaults to 5, BIN_DIR to build/bin)
set -u -o pipefail

here=$(cd "$(dirname "$0")" && pwd)
runs=5
bin=$here/../build/bin
while (($#)); do
    case $1 in
    --runs)
        runs=${2:-}
        shift 2 || true
        ;;
    -h | --help)
        sed -n '2,7p' "$0" | sed 's/^# \{0,1\}//'
        exit 0
        ;;
    *)
        bin=$1
        shift
        ;;
    esac
done
if ! [[ $runs =~ ^[1-9][0-9]*$ ]]; then
    echo "bench/discovery.sh: --runs needs a positive whole number" >&2
    exit 2
fi
KN_BIN=$(cd "$bin" 2>/dev/null && pwd) || {
    echo "bench/discovery.sh: no bin directory $bin" >&2
    exit 2
}
# shellcheck source-path=SCRIPTDIR source=../tests/integration/netns_lib.sh
source "$here/../tests/integration/netns_lib.sh"

why=$(kn_preflight)
if [[ -n $why ]]; then
    echo "bench/discovery.sh: cannot run: $why" >&2
    exit 1
fi
kn_setup || exit 1
kn_start_bus || exit 1

# One cold run: avahi-daemon restarted with an empty cache, then knoblyctl started. Sets
# measured to the seconds until the first line listing the device, or "-" when none did.
# Runs in this shell, not in $(...): the daemons it starts must stay known to cleanup.
measured=
measure() { # NAME key=value...
    local out=$KN_TMP/$1.out found
    shift
    measured=-
    kn_fresh_avahi || return 1
    if ! kn_discover 6 "$out"; then
        echo "knoblyctl discover failed:" >&2
        cat "$out.err" >&2
        return 0
    fi
    if found=$(kn_check "$out" find "$@" 2>&1); then
        measured=$(sed -n 's/.*after=\([0-9.]*\).*/\1/p' <<<"$found")
    else
        printf '%s\n' "$found" >&2
    fi
}

series() { # LABEL NAME key=value...: K runs, appended to the results as "LABEL<TAB>times"
    local label=$1 name=$2 i times=()
    shift 2
    for ((i = 1; i <= runs; i++)); do
        measure "$name.$i" "$@" || return 1
        times+=("$measured")
        printf '  %s run %d: %s s\n' "$label" "$i" "$measured" >&2
    done
    printf '%s\t%s\n' "$label" "${times[*]}" >>"$KN_TMP/results"
}

: >"$KN_TMP/results"
echo "knoblyctl discover, $runs runs each:" >&2

kn_start_device || exit 1
kn_publish_wiim_airplay || exit 1
# The publisher does not answer for records it multicast less than a second ago (RFC 6762
# section 6), which would slow the first run only; let its announcements settle.
sleep 2
series "AirPlay TXT record (no probe)" airplay \
    ip="$KN_DEV_IP" source=airplay "name=Living Room" || exit 1
kn_stop_device
grep -h 'stats' "$KN_SIM_OUT" >&2

kn_start_device --ssdp wiim --ssdp-interface "$KN_DEV_IF" || exit 1
series "SSDP answer + HTTPS probe" ssdp ip="$KN_DEV_IP" source=ssdp || exit 1
kn_stop_device
grep -h 'stats' "$KN_SIM_OUT" >&2

"$KN_PY" - "$KN_TMP/results" <<'EOF'
import statistics
import sys

print("Time from starting knoblyctl discover to the first output line that lists the device")
print("(includes process start-up; avahi-daemon restarted with an empty cache before each run):")
missed = 0
for row in open(sys.argv[1]).read().splitlines():
    label, times = row.split("\t")
    found = [float(t) for t in times.split() if t != "-"]
    missed += len(times.split()) - len(found)
    median = f"{statistics.median(found):.3f} s" if found else "n/a"
    print(f"  {label:32} median {median}   runs: {times}")
    if len(found) < len(times.split()):
        print(f"  {'':32} {len(times.split()) - len(found)} run(s) never listed the device")
sys.exit(1 if missed else 0)
EOF
