#!/usr/bin/env bash
# UPnP events against a renderer we did not write: Rygel's playbin renderer, in a network
# namespace this test makes for itself, with loopback and nothing else in it.
#
#   tests/integration/rygel_events.sh [BIN_DIR]     (as root; BIN_DIR defaults to build/bin)
#
# a: our own control point (upnp_control.py) sees Rygel act on each action and send LastChange,
#    so a failure in b is Knobly's, not the stand-in's;
# b: `knoblyctl watch --description` follows volume, mute, transport state and the track from
#    Rygel's events alone (its HTTPS poll has nothing to reach).
# Exit 0: all passed; 1: some failed; 77: this machine cannot run it, or knoblyctl cannot yet.
set -u -o pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
self=$here/$(basename "${BASH_SOURCE[0]}")
skip() { echo "rygel_events: SKIP: $*"; exit 77; }

# Rygel announces itself over SSDP, so everything runs in a namespace of our own.
if [[ ${RYGEL_EVENTS_NETNS:-} != inner ]]; then
    [[ $(id -u) -eq 0 ]] || skip "needs root (a network namespace of its own)"
    for tool in unshare ip; do
        command -v "$tool" >/dev/null 2>&1 || skip "$tool is not installed"
    done
    unshare -n true 2>/dev/null || skip "cannot create network namespaces here"
    # in-private-netns.sh runs the command as it is when it cannot isolate it: the mark
    # it sets is what says it did, so none may come in from outside.
    exec env -u KNOBLY_PRIVATE_NETNS RYGEL_EVENTS_NETNS=inner "$here/in-private-netns.sh" \
        "$self" "$@"
fi
[[ ${KNOBLY_PRIVATE_NETNS:-} == 1 ]] || skip "could not enter a network namespace of its own"

KN_BIN=$(cd "${1:-$here/../../build/bin}" 2>/dev/null && pwd) ||
    { echo "rygel_events: no bin directory ${1:-$here/../../build/bin}" >&2; exit 1; }
# shellcheck source-path=SCRIPTDIR source=netns_lib.sh
source "$here/netns_lib.sh" # kn_wait_until, kn_stop, kn_alive; no namespaces of its own here

PY=/usr/bin/python3
CTL=("$PY" "$here/upnp_control.py")
PORT=49494
TITLE="Knobly Test Tone" ARTIST=Knobly ALBUM=Tests

for tool in rygel dbus-run-session "$PY"; do
    command -v "$tool" >/dev/null 2>&1 || skip "$tool is not installed (Debian: rygel rygel-playbin dbus python3)"
done
compgen -G '/usr/lib/*/rygel-2.*/plugins/librygel-playbin.so' >/dev/null ||
    skip "Rygel's playbin renderer is not installed (Debian: rygel-playbin)"
[[ -x $KN_BIN/knoblyctl ]] || { echo "rygel_events: $KN_BIN/knoblyctl is not built" >&2; exit 1; }

TMP=$(mktemp -d /tmp/knobly-rygel.XXXXXX) || exit 1
# What the running case started; run_case and cleanup stop whatever is still set.
RYGEL_DIR='' LOC='' WATCH_PID='' EVENTS_PID='' runs=0

rygel_up() {
    RYGEL_DIR=$TMP/rygel.$((++runs))
    mkdir -p "$RYGEL_DIR"
    local t0=${EPOCHREALTIME/./}
    LOC=$("${CTL[@]}" rygel-start "$RYGEL_DIR" "$PORT") || return 1
    echo "Rygel answers at $LOC after $(((${EPOCHREALTIME/./} - t0) / 1000)) ms"
}

rygel_down() {
    [[ -n $RYGEL_DIR ]] && "${CTL[@]}" rygel-stop "$RYGEL_DIR"
    RYGEL_DIR=''
}

rygel_tail() {
    [[ -n $RYGEL_DIR ]] || return 0
    echo "the end of Rygel's log:"
    tail -n 20 "$RYGEL_DIR/rygel.log" | sed 's/^/    /'
}

cleanup() {
    local status=$?
    trap - INT TERM HUP
    kn_stop WATCH_PID EVENTS_PID
    rygel_down
    rm -rf "$TMP"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT && trap 'exit 143' TERM && trap 'exit 129' HUP

# A SOAP action on the renderer started last; a failure shows the status and body.
ctl() { "${CTL[@]}" "$LOC" "$@"; }

lines() { local n; n=$(wc -l <"$1") && echo "${n// /}"; }

# `CHECK_PY watch OUT FROM KEY=VALUE...`: 0 when a line at index FROM or later has every pair
# (VALUE is JSON where it parses as JSON: 37, true, null; else a string), 1 when none has yet,
# 2 when a line is not a well-formed state. `CHECK_PY notify OUT FROM SERVICE VAR=VALUE...`:
# 0 when for each pair some NOTIFY from SERVICE at index FROM or later has VAR at VALUE in its
# LastChange (instance 0; a channel, if any, is Master); VAR may be CurrentTrackMetaData/title
# (or /artist, /album) for a field of the track's DIDL-Lite. Prints the arrival of the last
# NOTIFY it needed. `CHECK_PY subscribed OUT`: 0 once both services answered and sent SEQ 0.
read -r -d '' CHECK_PY <<'EOF'
import json
import sys
import xml.etree.ElementTree as ET

KEYS = {"reachable", "volume", "muted", "playing", "nowPlaying", "title", "artist", "album",
        "input"}
mode, path, *args = sys.argv[1:]
with open(path, encoding="utf-8") as f:
    complete = f.read().split("\n")[:-1]  # a line still being written is not one yet


def value(text):
    try:
        return json.loads(text)
    except ValueError:
        return text


def same(a, b):  # true is not 1
    return isinstance(a, bool) == isinstance(b, bool) and a == b


def local(tag):
    return tag.rpartition("}")[2]


def first(root, name):
    return next((e for e in root.iter() if local(e.tag) == name), None)


def parsed(text):  # Rygel's DIDL-Lite is not well-formed once a title has '&' or '<'
    try:
        return ET.fromstring(text)
    except ET.ParseError:
        return None


if mode == "watch":
    start, wanted = int(args[0]), [a.split("=", 1) for a in args[1:]]
    for n, line in enumerate(complete):
        try:
            state = json.loads(line)
        except ValueError:
            state = None
        if not isinstance(state, dict) or set(state) != KEYS:
            print(f"line {n + 1} is not a device state: {line!r}", file=sys.stderr)
            sys.exit(2)
        if n >= start and all(same(state[k], value(v)) for k, v in wanted):
            print(f"line {n + 1}")
            sys.exit(0)
    sys.exit(1)

records = [json.loads(line) for line in complete]
if mode == "subscribed":
    done = {r["service"] for r in records if r["kind"] == "subscribed"}
    first_seq = {r["service"] for r in records if r["kind"] == "notify" and r["seq"] == "0"}
    sys.exit(0 if {"RenderingControl", "AVTransport"} <= done & first_seq else 1)

start, service, wanted = int(args[0]), args[1], [a.split("=", 1) for a in args[2:]]
last = 0.0
for var, want in wanted:
    name, _, field = var.partition("/")
    for r in records[start:]:
        if r["kind"] != "notify" or r["service"] != service or not r["lastChange"]:
            continue
        event = parsed(r["lastChange"])
        instance = next((i for i in (event if event is not None else [])
                         if local(i.tag) == "InstanceID" and i.get("val") == "0"), None)
        el = None if instance is None else first(instance, name)
        if el is None or el.get("channel", "Master") != "Master" or el.get("val") is None:
            continue
        got = el.get("val")
        if field:
            didl = parsed(got)
            item = None if didl is None else first(didl, field)
            got = None if item is None else item.text
        if got == want:
            last = max(last, r["at"])
            break
    else:
        sys.exit(1)
print(f"{last:.6f}")
EOF

# --- a: the renderer and our control point -----------------------------------------------

notified() { "$PY" -c "$CHECK_PY" notify "$TMP/events.out" "$@"; }

# Waits for what notified() looks for; on failure shows every NOTIFY so far.
expect_notify() { # FROM SERVICE VAR=VALUE...
    kn_wait_until 5 notified "$@" >"$TMP/at" && return 0
    echo "no $2 NOTIFY with ${*:3} within 5 s (from line $(($1 + 1)) on); every one so far:"
    "$PY" -c 'import json, sys
for r in map(json.loads, open(sys.argv[1])):
    print("   ", r["kind"], r["service"], "SEQ", r.get("seq"), r.get("lastChange") or "")' "$TMP/events.out"
    sed 's/^/    /' "$TMP/events.err"
    rygel_tail
    return 1
}

answer_is() { ANSWER=$(ctl "${@:2}") && [[ $ANSWER == "$1" ]]; }

expect_answer() { # WANTED COMMAND...: a Get action's answer, polled for 5 s
    ANSWER=''
    kn_wait_until 5 answer_is "$@" && return 0
    echo "$2 answers '$ANSWER', wanted '$1'"
    rygel_tail
    return 1
}

case_renderer() {
    rygel_up || return 1
    "${CTL[@]}" "$LOC" events --seconds 120 >"$TMP/events.out" 2>"$TMP/events.err" &
    # shellcheck disable=SC2034 # kn_stop stops it, by its name
    EVENTS_PID=$!
    kn_wait_until 5 "$PY" -c "$CHECK_PY" subscribed "$TMP/events.out" ||
        { echo "no subscription with a first NOTIFY:"; cat "$TMP/events.out" "$TMP/events.err"; return 1; }
    local mark sent
    mark=$(lines "$TMP/events.out") && ctl volume 37 || return 1
    sent=${EPOCHREALTIME/./}
    expect_answer 37 get-volume && expect_notify "$mark" RenderingControl Volume=37 || return 1
    local at
    at=$(<"$TMP/at")
    local volume_ms=$(((${at/./} - sent) / 1000))
    mark=$(lines "$TMP/events.out") && ctl mute 1 || return 1
    expect_answer 1 get-mute && expect_notify "$mark" RenderingControl Mute=1 || return 1
    mark=$(lines "$TMP/events.out") && ctl mute 0 || return 1
    expect_answer 0 get-mute && expect_notify "$mark" RenderingControl Mute=0 || return 1
    mark=$(lines "$TMP/events.out")
    ctl play "file://$RYGEL_DIR/tone.wav" --title "$TITLE" --artist "$ARTIST" --album "$ALBUM" || return 1
    expect_answer PLAYING transport-state &&
        expect_notify "$mark" AVTransport TransportState=PLAYING "CurrentTrackMetaData/title=$TITLE" \
            "CurrentTrackMetaData/artist=$ARTIST" "CurrentTrackMetaData/album=$ALBUM" || return 1
    mark=$(lines "$TMP/events.out") && ctl pause || return 1
    expect_answer PAUSED_PLAYBACK transport-state &&
        expect_notify "$mark" AVTransport TransportState=PAUSED_PLAYBACK || return 1
    echo "volume, mute, play and pause took effect and were evented (Volume NOTIFY $volume_ms ms after SetVolume's answer)"
}

# --- b: knoblyctl watch ------------------------------------------------------------------

watch_has() {
    local rc=0
    "$PY" -c "$CHECK_PY" watch "$TMP/watch.out" "$@" && return 0 || rc=$?
    ((rc == 1)) || return 2
    kn_alive "$WATCH_PID" || return 2
    return 1
}

expect_watch() { # LIMIT FROM KEY=VALUE...
    local limit=$1
    shift
    if kn_wait_until "$limit" watch_has "$@" >"$TMP/found"; then
        echo "  ${*:2}: $(cat "$TMP/found")"
        return 0
    fi
    kn_alive "$WATCH_PID" || echo "knoblyctl watch is gone"
    echo "no line with ${*:2} from line $(($1 + 1)) on within $limit s; knoblyctl watch printed:"
    sed 's/^/    /' "$TMP/watch.out"
    echo "and on stderr:"
    tail -n 30 "$TMP/watch.err" | sed 's/^/    /'
    rygel_tail
    return 1
}

watch_takes_description() {
    local said
    said=$(timeout 10 "$KN_BIN/knoblyctl" watch --description 2>&1 </dev/null)
    [[ $said != *"Unknown option 'description'"* ]]
}

case_knoblyctl_watch() {
    watch_takes_description || { echo "knoblyctl watch has no --description yet"; return 77; }
    rygel_up || return 1
    local first mark
    first=$(ctl get-volume) || return 1
    mkdir -p "$TMP/config"
    XDG_CONFIG_HOME=$TMP/config "$KN_BIN/knoblyctl" watch --device 127.0.0.1 --description "$LOC" \
        --interval 3600 >"$TMP/watch.out" 2>"$TMP/watch.err" &
    WATCH_PID=$!
    expect_watch 10 0 "volume=$first" || return 1
    mark=$(lines "$TMP/watch.out") && ctl volume 37 && expect_watch 5 "$mark" volume=37 || return 1
    mark=$(lines "$TMP/watch.out") && ctl mute 1 && expect_watch 5 "$mark" muted=true || return 1
    mark=$(lines "$TMP/watch.out") && ctl mute 0 && expect_watch 5 "$mark" muted=false || return 1
    mark=$(lines "$TMP/watch.out")
    ctl play "file://$RYGEL_DIR/tone.wav" --title "$TITLE" --artist "$ARTIST" --album "$ALBUM" &&
        expect_watch 5 "$mark" playing=true "title=$TITLE" "artist=$ARTIST" "album=$ALBUM" || return 1
    mark=$(lines "$TMP/watch.out") && ctl pause && expect_watch 5 "$mark" playing=false || return 1
    if ! kill -TERM "$WATCH_PID" || ! kn_wait_until 5 kn_gone "$WATCH_PID"; then
        echo "knoblyctl watch did not end within 5 s of SIGTERM" && return 1
    fi
    local rc=0
    wait "$WATCH_PID" || rc=$?
    WATCH_PID=''
    ((rc == 0)) || { echo "knoblyctl watch exited with $rc on SIGTERM:"; cat "$TMP/watch.err"; return 1; }
    echo "followed volume, mute, play with the track, and pause from $(lines "$TMP/watch.out") lines"
}

# -----------------------------------------------------------------------------------------

passed=0 failed=0 skipped=0
run_case() { # NAME FUNCTION
    printf -- '--- %s\n' "$1"
    local rc=0
    "$2" >"$TMP/case.log" 2>&1 || rc=$?
    case $rc in
    0) passed=$((passed + 1)) ; echo "PASS $1: $(tail -n 1 "$TMP/case.log")" ;;
    77) skipped=$((skipped + 1)) ; echo "SKIP $1: $(tail -n 1 "$TMP/case.log")" ;;
    *) sed 's/^/    /' "$TMP/case.log" ; failed=$((failed + 1)) ; echo "FAIL $1" ;;
    esac
    kn_stop WATCH_PID EVENTS_PID
    rygel_down
}

run_case "a: Rygel acts on our control point's actions and events them" case_renderer
run_case "b: knoblyctl watch follows Rygel's events" case_knoblyctl_watch

echo "$passed passed, $failed failed, $skipped skipped"
# A skipped case makes the whole run a skip, unless another failed.
((failed == 0)) && ((skipped > 0)) && exit 77
((failed == 0))
