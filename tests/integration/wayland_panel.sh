#!/usr/bin/env bash
# Knobly in a real Wayland panel (headless sway, waybar's tray, a simulated device, a private
# session bus) in network (loopback only), PID and mount namespaces of its own: the item registers
# as a menu, its Volume submenu drives the device, and activating it opens no window.
# As root: wayland_panel.sh BIN_DIR [SCREENSHOT.png]; exit 0 passed, 1 failed, 77 skipped.
set -u -o pipefail
user=knobly-wl
PY=/usr/bin/python3 # Debian's, where python3-dbus lives
if [[ ${KNOBLY_WL_STAGE:-} != user ]]; then
    skip() { echo "wayland_panel: SKIP: $*"; exit 77; }
    [[ $(id -u) -eq 0 ]] || skip "needs root (namespaces; sway runs as the user $user)"
    for t in sway swaymsg waybar grim dbus-daemon unshare setpriv ip; do
        command -v "$t" >/dev/null || skip "$t is not installed (run scripts/deps)"; done
    dpkg-query -W -f='${Status}' qt6-wayland 2>/dev/null | grep -q 'ok installed' &&
        "$PY" -c 'import dbus' 2>/dev/null || skip "qt6-wayland or python3-dbus is missing"
    unshare -n -p -f -m --mount-proc true 2>/dev/null || skip "cannot create namespaces here"
    id -u "$user" >/dev/null 2>&1 || useradd --system --no-create-home --shell /usr/sbin/nologin "$user" ||
        { echo "FAIL: cannot create the user $user"; exit 1; }
    bin=$(cd "${1:?usage: $0 BIN_DIR [SCREENSHOT.png]}" && pwd) || exit 1
    T=$(mktemp -d /tmp/knobly-wl.XXXXXX) && chmod 755 "$T" && trap 'rm -rf "$T"' EXIT
    for p in knobly knoblyctl knobly-devicesim; do # copies the test user can run
        cp "$bin/$p" "$T/$p" || { echo "FAIL: $bin/$p is not there"; exit 1; }; done
    mkdir "$T/home" && chown "$user:" "$T/home"
    # Loopback only, so knobly's discovery reaches no real network. The user stage is the PID
    # namespace's init: whatever is left when it ends goes with it. Sanitizer settings (and
    # their suppressions) go along; nothing else of ours does.
    unshare -n -p -f -m --mount-proc --kill-child sh -c 'ip link set lo up && exec setpriv \
        --reuid="$1" --regid="$1" --init-groups env -i PATH=/usr/bin:/bin LANG=C.UTF-8 \
        HOME="$2/home" KNOBLY_WL_STAGE=user KNOBLY_PRIVATE_NETNS=1 \
        ASAN_OPTIONS="${ASAN_OPTIONS:-}" LSAN_OPTIONS="${LSAN_OPTIONS:-}" \
        UBSAN_OPTIONS="${UBSAN_OPTIONS:-}" "$3" "$2" "$4"' sh "$user" "$T" "$0" "${2:-}" & ns=$!
    # unshare ignores TERM; its child, the namespace's init, cleans up and so ends the run.
    trap 'kill $(ps -o pid= --ppid "$ns") 2>/dev/null; wait "$ns"; exit 143' TERM INT HUP
    wait "$ns"; status=$?
    [[ -z ${2:-} || ! -s $T/home/shot.png ]] || cp "$T/home/shot.png" "$2" || status=1
    exit "$status"
fi

# --- as the user, inside the namespaces; everything lives in $H ---
T=$1 H=$1/home shot=$2 failed=0 pids=()
export XDG_RUNTIME_DIR=$H/run XDG_CONFIG_HOME=$H/config XDG_CACHE_HOME=$H/cache
export XDG_DATA_HOME=$H/data DBUS_SESSION_BUS_ADDRESS=unix:path=$H/run/bus
# No system bus: nothing may ask the machine's avahi-daemon to browse real interfaces.
export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$H/no-system-bus GSETTINGS_BACKEND=memory NO_AT_BRIDGE=1
mkdir -m 700 "$XDG_RUNTIME_DIR" && mkdir -p "$XDG_CONFIG_HOME"/{Knobly,waybar} "$XDG_CACHE_HOME"
until_ok() { # SECONDS COMMAND...: polls the command within the limit
    local end=$((${EPOCHREALTIME/./} + $1 * 1000000)); shift
    until "$@" >/dev/null 2>&1; do ((${EPOCHREALTIME/./} < end)) || return 1; sleep 0.1; done
}
gone() { ! kill -0 "$@" 2>/dev/null; }
cleanup() { # TERM, 5 s of grace, KILL
    local s=$?; kill -TERM "${pids[@]}" 2>/dev/null
    until_ok 5 gone "${pids[@]}" || kill -KILL "${pids[@]}" 2>/dev/null; wait; exit "$s"; }
trap cleanup EXIT && trap 'exit 143' TERM INT HUP
pass() { echo "PASS: $*"; } && fail() { echo "FAIL: $*"; failed=1; }
die() { fail "$*"; for f in "$H"/*.log; do echo "--- ${f##*/}"; tail -n 15 "$f"; done; exit 1; }
has_name() { dbus-send --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.GetNameOwner "string:$1"; }
sni() { "$PY" - "$@" <<'EOF'
import json, re, sys, dbus
cmd, args = sys.argv[1], sys.argv[2:]
if cmd == 'windows':  # in sway's tree args[1]: the windows of pid args[0] or of a knobly app id
    def walk(n): return [n] + sum(map(walk, n.get('nodes', []) + n.get('floating_nodes', [])), [])
    print(*[f"{n.get('app_id')} (pid {n['pid']})" for n in walk(json.loads(args[1])) if 'pid' in n
            and (n['pid'] == int(args[0]) or 'knobly' in str(n.get('app_id')).lower())]); sys.exit()
bus = dbus.SessionBus()
prop = lambda name, path, iface, key: bus.get_object(name, path).Get(
    iface, key, dbus_interface='org.freedesktop.DBus.Properties')
if cmd == 'registered':  # the bus name of the watcher's entry that knobly's process serves
    W, D = 'org.kde.StatusNotifierWatcher', 'org.freedesktop.DBus'
    names = [str(e).split('/')[0] for e in prop(W, '/StatusNotifierWatcher', W, 'RegisteredStatusNotifierItems')]
    pid = lambda name: bus.get_object(D, '/').GetConnectionUnixProcessID(name, dbus_interface=D)
    sys.exit(next((print(n) for n in names if pid(n) == int(args[0])), f'no entry of pid {args[0]} in {names}'))
item = lambda key: prop(args[0], '/StatusNotifierItem', 'org.kde.StatusNotifierItem', key)
if cmd == 'prop':
    print(item(args[1]))
elif cmd == 'activate':  # then a round trip, so the queued activation has run
    bus.get_object(args[0], '/StatusNotifierItem').Activate(20, 10, dbus_interface='org.kde.StatusNotifierItem')
    item('Title')
else:  # volume NAME (click LABEL | shows MUTED PERCENT): the "Volume N%" submenu, as a host reads it
    menu = dbus.Interface(bus.get_object(args[0], item('Menu')), 'com.canonical.dbusmenu')
    text = lambda n: re.sub('_(.)', r'\1', str(n[1].get('label', '')))  # without mnemonics
    def find(node):
        if re.fullmatch(r'Volume \d+%', text(node)) and node[2]: return node
        return next(filter(None, map(find, node[2])), None)
    menu.AboutToShow(0)
    sub = find(menu.GetLayout(0, -1, [])[1]) or sys.exit('no "Volume N%" submenu with items')
    menu.AboutToShow(sub[0])
    sub = menu.GetLayout(sub[0], -1, [])[1]
    kids = {text(k): k for k in sub[2]}
    radios = [text(k) for k in sub[2] if k[1].get('toggle-type') == 'radio']
    if kids.get('Mute', [0, {}])[1].get('toggle-type') != 'checkmark' or radios != [f'{v}%' for v in range(0, 101, 10)]:
        sys.exit(f'the submenu is not Mute and 0%..100%: {list(kids)}')
    if args[1] == 'click':
        sys.exit(menu.Event(kids[args[2]][0], 'clicked', dbus.Int32(0), dbus.UInt32(0), signature='isvu'))
    on = lambda label: kids[label][1].get('toggle-state') == 1
    step = f'{args[3]}%' not in radios or on(f'{args[3]}%')  # a step's volume checks its item
    if text(sub) != f'Volume {args[3]}%' or not step or on('Mute') != (args[2] == 'true'):
        sys.exit(f'shows {text(sub)!r}, Mute {on("Mute")}')
EOF
}
ctl() { "$T/knoblyctl" status --device 127.0.0.1:8443; }
device() { # FIELD [VALUE]: prints the device's field, or fails unless it has the value
    ctl | "$PY" -c 'import json, sys; v = json.dumps(json.load(sys.stdin)[sys.argv[1]])
sys.exit(print(v) if len(sys.argv) == 2 else sys.argv[2] != v)' "$@"
}

# 1. Session bus (no service directories: nothing starts on demand), sway, waybar, the device.
echo "<busconfig><type>session</type><listen>unix:path=$XDG_RUNTIME_DIR/bus</listen><auth>EXTERNAL</auth>
<policy context='default'><allow send_destination='*' eavesdrop='true'/><allow eavesdrop='true'/>
<allow own='*'/></policy></busconfig>" >"$H/bus.conf"
dbus-daemon --nofork --nopidfile --config-file="$H/bus.conf" >"$H/bus.log" 2>&1 & pids+=($!)
until_ok 20 has_name org.freedesktop.DBus || die "the session bus did not start"
printf 'xwayland disable\noutput HEADLESS-1 mode 1280x720\nbar {\n swaybar_command waybar\n}\n' >"$H/sway.conf"
echo '{"height": 32, "modules-right": ["tray"], "tray": {"icon-size": 24}}' >"$XDG_CONFIG_HOME/waybar/config"
WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman sway -c "$H/sway.conf" \
    >"$H/sway.log" 2>&1 & pids+=($!)
sock() { compgen -G "$XDG_RUNTIME_DIR/$1" | head -n 1; }
until_ok 20 sock 'sway-ipc.*.sock' && until_ok 20 sock 'wayland-[0-9]' || die "sway did not start"
SWAYSOCK=$(sock 'sway-ipc.*.sock') WAYLAND_DISPLAY=$(basename "$(sock 'wayland-[0-9]')")
export SWAYSOCK WAYLAND_DISPLAY
until_ok 20 has_name org.kde.StatusNotifierWatcher || die "waybar's tray watcher did not appear"
"$T/knobly-devicesim" --port 8443 --bind 127.0.0.1 --name Kitchen >"$H/sim.log" 2>&1 & pids+=($!)
until_ok 20 grep -q serving "$H/sim.log" || die "knobly-devicesim did not start"
pass "sway, waybar, session bus and device are up"

# 2. Knobly, told where the device is.
printf '[General]\nip=127.0.0.1:8443\ndevice=Kitchen\n' >"$XDG_CONFIG_HOME/Knobly/Knobly.conf"
QT_QPA_PLATFORM=wayland "$T/knobly" >"$H/knobly.log" 2>&1 & kpid=$!; pids+=("$kpid")

# 3, 4. Registered with waybar's watcher, as an item that is a menu.
until_ok 20 sni registered "$kpid" ||
    die "$(gone "$kpid" && echo "knobly exited; ")$(sni registered "$kpid" 2>&1 | tail -n 1)"
name=$(sni registered "$kpid") && pass "registered with the watcher as $name"
is_menu=$(sni prop "$name" ItemIsMenu 2>&1)
if [[ $is_menu == 1 ]]; then pass "ItemIsMenu is true"; else fail "ItemIsMenu is not true: ${is_menu##*$'\n'}"; fi

# 5. The Volume submenu drives the device: Mute, then 20%.
v0=$(device volume)
if ! until_ok 20 sni volume "$name" shows false "$v0"; then
    fail "volume submenu: $(sni volume "$name" shows false "$v0" 2>&1 | tail -n 1)"
elif ! device muted false || device volume 20; then
    fail "the device should start unmuted at a volume other than 20: $(ctl)"
else
    if sni volume "$name" click Mute && until_ok 20 device muted true &&
        until_ok 20 sni volume "$name" shows true "$v0"; then pass "Mute muted the device: $(ctl)"
    else fail "Mute did not mute the device or show it: $(ctl)"; fi
    if sni volume "$name" click 20% && until_ok 20 device volume 20 &&
        until_ok 20 sni volume "$name" shows true 20; then pass "20% set the device: $(ctl)"
    else fail "20% did not set the device or show it: $(ctl)"; fi
fi
[[ -z $shot ]] || grim -g "0,0 1280x32" "$H/shot.png" || fail "grim took no screenshot"

# 6. Activate (a host's left click, unless it draws the menu itself) opens no window of knobly's.
# Proving an absence needs a wait: a window maps within tens of ms, so 2 s of none is a pass.
windows() { local tree; tree=$(swaymsg -t get_tree) && sni windows "$kpid" "$tree"; }
has_window() { [[ -n $(windows) ]]; }
before=$(windows) && [[ -z $before ]] || die "sway's tree unread, or a window of knobly's already: $before"
sni activate "$name" || fail "Activate failed"
if until_ok 2 has_window; then fail "activating the item opened a window: $(windows)"
else pass "activating the item opened no window"; fi
gone "$kpid" && fail "knobly is gone"
((failed)) && tail -n 15 "$H/knobly.log"
exit "$failed"
