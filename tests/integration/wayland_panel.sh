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
    cp "$bin"/{knobly,knoblyctl,knobly-devicesim} "$T/" || { echo "FAIL: no programs for $user"; exit 1; }
    mkdir "$T/home" && chown "$user:" "$T/home"
    # Loopback only, so knobly's discovery reaches no real network. The user stage is the PID
    # namespace's init: what is left when it ends goes with it. Only sanitizer settings go along.
    unshare -n -p -f -m --mount-proc --kill-child sh -c 'ip link set lo up && exec setpriv \
        --reuid="$1" --regid="$1" --init-groups env -i PATH=/usr/bin:/bin LANG=C.UTF-8 \
        HOME="$2/home" KNOBLY_WL_STAGE=user KNOBLY_PRIVATE_NETNS=1 \
        ASAN_OPTIONS="${ASAN_OPTIONS:-}" LSAN_OPTIONS="${LSAN_OPTIONS:-}" \
        UBSAN_OPTIONS="${UBSAN_OPTIONS:-}" "$3" "$2" "$4"' sh "$user" "$T" "$0" "${2:-}" & ns=$!
    # unshare ignores TERM; its child, the namespace's init, cleans up and so ends the run.
    trap 'kill $(ps -o pid= --ppid "$ns") 2>/dev/null; wait "$ns"; exit 143' TERM INT HUP
    wait "$ns"; status=$?; [[ -z ${2:-} ]] || cp "$T/home/shot.png" "$2" || status=1; exit "$status"
fi

# --- as the user, inside the namespaces; everything lives in $H ---
T=$1 H=$1/home shot=$2 failed=0 pids=()
export XDG_RUNTIME_DIR=$H/run XDG_CONFIG_HOME=$H/config XDG_CACHE_HOME=$H/cache
export XDG_DATA_HOME=$H/data DBUS_SESSION_BUS_ADDRESS=unix:path=$H/run/bus
# No system bus: nothing may ask the machine's avahi-daemon to browse real interfaces.
export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$H/no-system-bus GSETTINGS_BACKEND=memory NO_AT_BRIDGE=1
mkdir -m 700 "$XDG_RUNTIME_DIR" && mkdir -p "$XDG_CONFIG_HOME"/{Knobly,waybar} "$XDG_CACHE_HOME"
until_ok() { local end=$((${EPOCHREALTIME/./} + $1 * 1000000)); shift # SECONDS COMMAND...
    until "$@" >/dev/null 2>&1; do ((${EPOCHREALTIME/./} < end)) || return 1; sleep 0.1; done; }
gone() { ! kill -0 "$@" 2>/dev/null; }
cleanup() { local s=$?; kill -TERM "${pids[@]}" 2>/dev/null # 5 s of grace, then KILL
    until_ok 5 gone "${pids[@]}" || kill -KILL "${pids[@]}" 2>/dev/null; wait; exit "$s"; }
trap cleanup EXIT && trap 'exit 143' TERM INT HUP
pass() { echo "PASS: $*"; } && fail() { echo "FAIL: $*"; failed=1; }
die() { fail "$*"; for f in "$H"/*.log; do echo "--- ${f##*/}"; tail -n 15 "$f"; done; exit 1; }
has_name() { dbus-send --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.GetNameOwner "string:$1"; }
item() { dbus-send --print-reply --dest="$name" /StatusNotifierItem "$@"; } # METHOD ARGS...
sni() { "$PY" - "$@" <<'EOF'
import re, sys, dbus
cmd, args = sys.argv[1], sys.argv[2:]
bus = dbus.SessionBus()
prop = lambda name, path, iface, key: bus.get_object(name, path).Get(
    iface, key, dbus_interface='org.freedesktop.DBus.Properties')
if cmd == 'registered':  # the bus name of the watcher's entry that knobly's process serves
    W, D = 'org.kde.StatusNotifierWatcher', 'org.freedesktop.DBus'
    names = [str(e).split('/')[0] for e in prop(W, '/StatusNotifierWatcher', W, 'RegisteredStatusNotifierItems')]
    pid = lambda name: bus.get_object(D, '/').GetConnectionUnixProcessID(name, dbus_interface=D)
    sys.exit(next((print(n) for n in names if pid(n) == int(args[0])), f'no entry of pid {args[0]} in {names}'))
# volume NAME (click LABEL | shows MUTED PERCENT): the "Volume N%" submenu, as a host reads it
path = prop(args[0], '/StatusNotifierItem', 'org.kde.StatusNotifierItem', 'Menu')
menu = dbus.Interface(bus.get_object(args[0], path), 'com.canonical.dbusmenu')
text = lambda n: re.sub('_(.)', r'\1', str(n[1].get('label', '')))  # without mnemonics
menu.AboutToShow(0)
sub = next((k for k in menu.GetLayout(0, -1, [])[1][2] if re.fullmatch(r'Volume \d+%', text(k)) and k[2]),
           None) or sys.exit('no "Volume N%" submenu with items')
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
ctl() { "$T/knoblyctl" status --device 127.0.0.1:8443; } && device() { ctl | grep -q "\"$1\":$2[,}]"; }

# 1. Session bus (no service directories: nothing starts on demand), sway, waybar, the device.
echo "<busconfig><type>session</type><listen>unix:path=$XDG_RUNTIME_DIR/bus</listen><auth>EXTERNAL</auth>
<policy context='default'><allow send_destination='*'/><allow receive_sender='*'/><allow own='*'/>
</policy></busconfig>" >"$H/bus.conf"
dbus-daemon --nofork --nopidfile --config-file="$H/bus.conf" >"$H/bus.log" 2>&1 & pids+=($!)
until_ok 20 has_name org.freedesktop.DBus || die "the session bus did not start"
printf 'xwayland disable\noutput HEADLESS-1 mode 1280x720\nbar {\n swaybar_command waybar\n}\n' >"$H/sway.conf"
echo '{"height": 32, "modules-right": ["tray"], "tray": {"icon-size": 24}}' >"$XDG_CONFIG_HOME/waybar/config"
WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman sway -c "$H/sway.conf" \
    >"$H/sway.log" 2>&1 & pids+=($!)
sock() { compgen -G "$XDG_RUNTIME_DIR/$1" | head -n 1; }
until_ok 20 sock 'sway-ipc.*.sock' && until_ok 20 sock 'wayland-[0-9]' || die "sway did not start"
SWAYSOCK=$(sock 'sway-ipc.*.sock') WAYLAND_DISPLAY=$(basename "$(sock 'wayland-[0-9]')") && export SWAYSOCK WAYLAND_DISPLAY
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
is_menu=$(item org.freedesktop.DBus.Properties.Get string:org.kde.StatusNotifierItem string:ItemIsMenu 2>&1)
if [[ $is_menu == *'boolean true' ]]; then pass "ItemIsMenu is true"; else fail "ItemIsMenu is not true: $is_menu"; fi

# 5. The Volume submenu drives the device: Mute, then 20%.
v0=$(ctl | grep -oP '"volume":\K[0-9]+')
if ! until_ok 20 sni volume "$name" shows false "$v0"; then
    fail "volume submenu: $(sni volume "$name" shows false "$v0" 2>&1 | tail -n 1)"
elif ! device muted false || [[ $v0 == 20 ]]; then
    fail "the device should start unmuted at a volume other than 20: $(ctl)"
else
    for step in "Mute muted true true $v0" "20% volume 20 true 20"; do # click; the device; the menu
        read -r label field value muted shown <<<"$step"
        if sni volume "$name" click "$label" && until_ok 20 device "$field" "$value" &&
            until_ok 20 sni volume "$name" shows "$muted" "$shown"; then pass "$label set the device: $(ctl)"
        else fail "$label did not set the device or show it: $(ctl)"; fi
    done
fi
[[ -z $shot ]] || grim -g "0,0 1280x32" "$H/shot.png" || fail "grim took no screenshot"

# 6. Activate (a host's left click, unless it draws the menu itself) opens no window of knobly's.
# Proving an absence needs a wait: a window maps within tens of ms, so 2 s of none is a pass.
windows() { swaymsg -t get_tree | grep -Eio "\"pid\": $kpid\b|\"app_id\": \"[^\"]*knobly[^\"]*\""; }
has_window() { [[ -n $(windows) ]]; }
swaymsg -t get_tree >/dev/null && ! has_window || die "sway's tree unread, or a window of knobly's already: $(windows)"
item org.kde.StatusNotifierItem.Activate int32:20 int32:10 >/dev/null || fail "Activate failed"
if until_ok 2 has_window; then fail "activating the item opened a window: $(windows)"
else pass "activating the item opened no window"; fi
gone "$kpid" && fail "knobly is gone"
((failed)) && tail -n 15 "$H/knobly.log"
exit "$failed"
