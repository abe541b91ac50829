#!/usr/bin/env bash
# Knobly in a real KDE Plasma 5.27 session (kwin_wayland nested on Xvfb, plasmashell, plasma-pa),
# driven by real pointer and key input, with a simulated device on a private session bus, in
# network (loopback only), PID and mount namespaces of its own. Checks what Plasma does with the
# item: the panel shows it, clicks open its menu, menu rows stay valid after a rescan, the wheel
# steps the volume and shows Plasma's OSD, the media keys move between plasma-pa and Knobly
# through KDE's global shortcut service, and Knobly opens no window unasked.
# As root: plasma_session.sh BIN_DIR [SCREENSHOT.png]; exit 0 passed, 1 failed, 77 skipped.
# KNOBLY_KEEP=1 keeps the run's directory (/var/tmp/knobly-kde.*: logs, dbus-monitor output, shots).
set -u -o pipefail
user=knobly-kde
PY=/usr/bin/python3 # Debian's, where python3-dbus and python3-gi live
if [[ ${KNOBLY_KDE_STAGE:-} != user ]]; then
    skip() { echo "plasma_session: SKIP: $*"; exit 77; }
    [[ $(id -u) -eq 0 ]] || skip "needs root (namespaces; Plasma runs as the user $user)"
    for t in kwin_wayland plasmashell Xvfb xdotool import convert dbus-daemon dbus-monitor qdbus unshare setpriv ip; do
        command -v "$t" >/dev/null || skip "$t is not installed (run scripts/deps)"; done
    for p in plasma-pa plasma-workspace-wayland qt6-wayland python3-dbus python3-gi; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || skip "$p is missing"; done
    unshare -n -p -f -m --mount-proc true 2>/dev/null || skip "cannot create namespaces here"
    id -u "$user" >/dev/null 2>&1 || useradd --system --no-create-home --shell /usr/sbin/nologin "$user" ||
        { echo "FAIL: cannot create the user $user"; exit 1; }
    bin=$(cd "${1:?usage: $0 BIN_DIR [SCREENSHOT.png]}" && pwd) || exit 1
    here=$(cd "$(dirname "$0")" && pwd) || exit 1
    # Not under /tmp: the namespace gets a /tmp of its own, so the X servers' sockets and lock
    # files never meet the machine's.
    T=$(mktemp -d /var/tmp/knobly-kde.XXXXXX) && chmod 755 "$T" && trap '[[ -n ${KNOBLY_KEEP:-} ]] || rm -rf "$T"' EXIT
    cp "$bin"/{knobly,knoblyctl,knobly-devicesim} "$here/plasma_input.py" "$T/" &&
        cp "$0" "$T/plasma_session.sh" || { echo "FAIL: no programs for $user"; exit 1; }
    # kwin_wayland carries a file capability, which a plain user may not exec; a copy has none.
    cp "$(command -v kwin_wayland)" "$T/kwin_wayland" || { echo "FAIL: cannot copy kwin_wayland"; exit 1; }
    mkdir "$T/home" && chown "$user:" "$T/home"
    # Loopback only, so knobly's discovery reaches no real network. The user stage is the PID
    # namespace's init: what is left when it ends goes with it. Only sanitizer settings go along.
    unshare -n -p -f -m --mount-proc --kill-child sh -c 'ip link set lo up &&
        mount -t tmpfs -o mode=1777 tmpfs /tmp && exec setpriv \
        --reuid="$1" --regid="$1" --init-groups env -i PATH=/usr/bin:/bin LANG=C.UTF-8 \
        HOME="$2/home" KNOBLY_KDE_STAGE=user KNOBLY_PRIVATE_NETNS=1 \
        ASAN_OPTIONS="${ASAN_OPTIONS:-}" LSAN_OPTIONS="${LSAN_OPTIONS:-}" \
        UBSAN_OPTIONS="${UBSAN_OPTIONS:-}" "$2/plasma_session.sh" "$2" "$3"' sh "$user" "$T" "${2:-}" & ns=$!
    # unshare ignores TERM; its child, the namespace's init, cleans up and so ends the run.
    trap 'kill $(ps -o pid= --ppid "$ns") 2>/dev/null; wait "$ns"; exit 143' TERM INT HUP
    wait "$ns"; status=$?; [[ -z ${2:-} ]] || cp "$T/home/shot.png" "$2" || status=1; exit "$status"
fi

# --- as the user, inside the namespaces; everything lives in $H ---
T=$1 H=$1/home shot=$2 failed=0 pids=()
export XDG_RUNTIME_DIR=$H/run XDG_CONFIG_HOME=$H/config XDG_CACHE_HOME=$H/cache XDG_DATA_HOME=$H/data
export DBUS_SESSION_BUS_ADDRESS=unix:path=$H/run/bus
# No system bus: nothing may ask the machine's avahi-daemon to browse real interfaces.
export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$H/no-system-bus NO_AT_BRIDGE=1
# A Plasma Wayland session's environment; the bus hands it to every service it starts.
export XDG_CURRENT_DESKTOP=KDE KDE_FULL_SESSION=true KDE_SESSION_VERSION=5 XDG_SESSION_TYPE=wayland
export WAYLAND_DISPLAY=wayland-0 QT_QPA_PLATFORM=wayland QT_QUICK_BACKEND=software
mkdir -m 700 "$XDG_RUNTIME_DIR" && mkdir -p "$XDG_CONFIG_HOME/Knobly" "$XDG_CACHE_HOME" "$XDG_DATA_HOME"
printf '[KSplash]\nEngine=none\nTheme=None\n' >"$XDG_CONFIG_HOME/ksplashrc" # no splash over the screen
until_ok() { local w=${1%.*} f=0; [[ $1 == *.* ]] && f=${1#*.}; shift # SECONDS[.TENTHS] COMMAND...
    local end=$((${EPOCHREALTIME/./} + w * 1000000 + ${f:0:1} * 100000))
    until "$@" >/dev/null 2>&1; do ((${EPOCHREALTIME/./} < end)) || return 1; sleep 0.1; done; }
gone() { ! kill -0 "$@" 2>/dev/null; }
cleanup() { local s=$?; kill -TERM "${pids[@]}" 2>/dev/null # 5 s of grace, then KILL
    until_ok 5 gone "${pids[@]}" || kill -KILL "${pids[@]}" 2>/dev/null; wait; exit "$s"; }
trap cleanup EXIT && trap 'exit 143' TERM INT HUP
pass() { echo "PASS: $*"; } && fail() { echo "FAIL: $*"; failed=1; [[ -z ${kwpid:-} ]] || ! gone "$kwpid" || crashed; }
# KWin hosts kglobalaccel: a call it cannot read (a key sequence that is not four ints) aborts it,
# and the whole session with it. No point in going on then.
crashed() { echo "FAIL: kwin_wayland is gone: $(grep -v '^js: ' "$H/kwin.log" | tail -n 3 | tr '\n' ' ')"; kwpid=; logs; exit 1; }
xdotool() { timeout 10 /usr/bin/xdotool "$@"; } # it waits forever once KWin is gone
logs() { for f in "$H"/{kwin,plasmashell,knobly}.log; do echo "--- ${f##*/}"; grep -v '^js: ' "$f" | tail -n 20; done; }
die() { fail "$*"; logs; exit 1; }
has_name() { dbus-send --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.GetNameOwner "string:$1"; }
owner() { has_name "$1" 2>/dev/null | grep -oP 'string "\K[^"]+'; }

# All the D-Bus, screenshot and kglobalaccel reading in one place: kt COMMAND ARGS...
kt() { "$PY" - "$@" <<'EOF'
import os, re, sys
cmd, args = sys.argv[1], sys.argv[2:]
H = os.environ['H']
def bus():
    import dbus
    return dbus, dbus.SessionBus()
def prop(b, name, path, iface, key):
    return b.get_object(name, path).Get(iface, key, dbus_interface='org.freedesktop.DBus.Properties')
text = lambda props: re.sub('_(.)', r'\1', str(props.get('label', '')))  # without mnemonics

if cmd == 'registered':  # the watcher's entry that the process PID serves
    dbus, b = bus()
    W, D = 'org.kde.StatusNotifierWatcher', 'org.freedesktop.DBus'
    names = [str(e).split('/')[0] for e in prop(b, W, '/StatusNotifierWatcher', W, 'RegisteredStatusNotifierItems')]
    pid = lambda n: b.get_object(D, '/').GetConnectionUnixProcessID(n, dbus_interface=D)
    sys.exit(next((print(n) for n in names if pid(n) == int(args[0])), f'no entry of pid {args[0]} in {names}'))

if cmd == 'layout':  # NAME: the exported menu as a host reads it, without asking it to update
    # one row per item: id, parent id, depth, shown (visible and enabled), separator, toggle-state, label
    dbus, b = bus()
    path = prop(b, args[0], '/StatusNotifierItem', 'org.kde.StatusNotifierItem', 'Menu')
    menu = dbus.Interface(b.get_object(args[0], path), 'com.canonical.dbusmenu')
    def walk(node, parent, depth):
        for k in node[2]:
            p = k[1]
            shown = bool(p.get('visible', True)) and bool(p.get('enabled', True))
            print(int(k[0]), parent, depth, int(shown), int(p.get('type', '') == 'separator'),
                  int(p.get('toggle-state', -1)), text(p), sep='\t')
            walk(k, int(k[0]), depth + 1)
    walk(menu.GetLayout(0, -1, [])[1], 0, 0)
    sys.exit()

if cmd == 'mon':  # FROM_LINE QUERY...: messages dbus-monitor logged from line FROM_LINE on
    msgs, cur = [], None
    with open(f'{H}/mon.log', errors='replace') as f:
        for n, line in enumerate(f, 1):
            if n < int(args[0]):
                continue
            m = re.match(r'(method call|method return|error|signal) (.*)', line)
            if m:
                cur = dict(re.findall(r'(\w+)=([^\s;]+)', m.group(2)), type=m.group(1), args=[], line=n)
                msgs.append(cur)
            elif cur is not None:
                v = re.match(r'\s+(?:string|int32|uint32|int64|boolean|double|object path) "?(.*?)"?$', line)
                if v:
                    cur['args'].append(v.group(1))
    q = args[1]
    if q == 'calls':  # DESTS MEMBER [PATH]: method calls to any of the comma-separated DESTS
        dests = args[2].split(',')
        for m in msgs:
            if m['type'] == 'method call' and m.get('destination') in dests and m.get('member') == args[3] \
                    and (len(args) < 5 or m.get('path') == args[4]):
                print(m['sender'], m['serial'], m.get('path'), *m['args'], sep='\t')
    elif q == 'reply':  # SENDER SERIAL: how the call was answered
        for m in msgs:
            if m['type'] in ('method return', 'error') and m.get('destination') == args[2] \
                    and m.get('reply_serial') == args[3]:
                print('error' if m['type'] == 'error' else 'return', m.get('error_name', ''), *m['args'][:1], sep='\t')
                break
    sys.exit()

def load(name):  # a screenshot taken with shoot: raw RGB at the screen's size
    with open(f'{H}/{name}.rgb', 'rb') as f:
        return f.read()
W, HT = 1440, 900
px = lambda img, x, y: img[(y * W + x) * 3:(y * W + x) * 3 + 3]

if cmd == 'icons':  # SHOT X0 Y0 X1 Y1: centres of icon-sized things in the panel, right to left
    img, (x0, y0, x1, y1) = load(args[0]), map(int, args[1:5])
    from collections import Counter
    bg = Counter(px(img, x, y) for x in range(x0, x1) for y in range(y0, y1, 3)).most_common(1)[0][0]
    far = lambda c: sum(abs(a - b) for a, b in zip(c, bg)) > 24
    cols = [any(far(px(img, x, y)) for y in range(y0 + 2, y1 - 2)) for x in range(x0, x1)]
    runs, start = [], None
    for i, on in enumerate(cols + [False]):
        if on and start is None:
            start = i
        elif not on and start is not None:
            if runs and start - runs[-1][1] <= 2:  # glyphs of one thing
                start = runs.pop()[0]
            runs.append((start, i))
            start = None
    print(*[x0 + (a + b) // 2 for a, b in reversed(runs) if 6 <= b - a <= 40])
    sys.exit()

if cmd == 'changed':  # A B X0 Y0 X1 Y1: how many pixels differ, and where
    a, b = load(args[0]), load(args[1])
    x0, y0, x1, y1 = (max(0, min(int(v), lim)) for v, lim in zip(args[2:6], (W, HT, W, HT)))
    n, box = 0, [W, HT, -1, -1]
    for y in range(y0, y1):
        s, e = (y * W + x0) * 3, (y * W + x1) * 3
        if a[s:e] == b[s:e]:
            continue
        for x in range(x0, x1):
            if sum(abs(p - q) for p, q in zip(px(a, x, y), px(b, x, y))) > 30:
                n += 1
                box = [min(box[0], x), min(box[1], y), max(box[2], x), max(box[3], y)]
    print(n, *box)
    sys.exit()

if cmd == 'highlight':  # A B X0 Y0 X1 Y1: "x y y'": middles of the rows highlighted in B and in A
    a, b = load(args[0]), load(args[1])
    x0, y0, x1, y1 = map(int, args[2:6])
    from collections import Counter
    probe = x0 + 8  # inside a highlight, left of any icon or text
    bg = Counter(px(b, probe, y) for y in range(y0, y1)).most_common(1)[0][0]
    moved = [y for y in range(y0, y1) if px(a, probe, y) != px(b, probe, y)]
    now = [y for y in moved if px(b, probe, y) != bg]
    was = [y for y in moved if px(a, probe, y) != bg]
    if not now:
        sys.exit('no row changed')
    mid = lambda r: (r[0] + r[-1]) // 2
    print((x0 + x1) // 2, mid(now), mid(was) if was else mid(now) - (now[-1] - now[0] + 2))
    sys.exit()

if cmd == 'kga':  # owner KEY | keys COMPONENT ACTION: what KDE's global shortcut service holds
    dbus, b = bus()
    ka = dbus.Interface(b.get_object('org.kde.kglobalaccel', '/kglobalaccel'), 'org.kde.KGlobalAccel')
    if args[0] == 'owner':
        print(' '.join(map(str, ka.action(int(args[1]))[:2])) or 'nobody')
    else:
        print(','.join(str(int(k)) for k in ka.shortcut([args[1], args[2], '', '']) if k) or 'none')
    sys.exit()
sys.exit(f'kt: unknown command {cmd}')
EOF
}
export H
shoot() { import -window root -depth 8 "rgb:$H/$1.rgb"; } # NAME
lines() { wc -l <"$H/mon.log"; }
# Every window KWin manages, one a line: pid, popup, x y w h, caption, active (through a KWin
# script that prints into KWin's log).
windows() { local tag=knobly$RANDOM$RANDOM
    printf 'var ws = workspace.clientList();
for (var i = 0; i < ws.length; i++) { var w = ws[i], g = w.frameGeometry;
  print("%s\\t" + w.pid + "\\t" + (w.popupWindow ? 1 : 0) + "\\t" + g.x + " " + g.y + " " + g.width + " " + g.height + "\\t" + w.caption + "\\t" + (w.active ? "active" : "inactive")); }
print("%s\\tend");\n' "$tag" "$tag" >"$H/windows.js"
    qdbus org.kde.KWin /Scripting org.kde.kwin.Scripting.loadScript "$H/windows.js" "$tag" >/dev/null &&
        qdbus org.kde.KWin /Scripting org.kde.kwin.Scripting.start >/dev/null &&
        until_ok 3 grep -q "^js: $tag	end" "$H/kwin.log"; local s=$?
    qdbus org.kde.KWin /Scripting org.kde.kwin.Scripting.unloadScript "$tag" >/dev/null
    grep "^js: $tag	" "$H/kwin.log" | grep -v "	end$" | cut -f 2-; return $s; }
# Makes KWin give the keyboard to knobly's newest window (a dialog the test is about to answer).
focus_knobly() {
    printf 'var ws = workspace.clientList();
for (var i = 0; i < ws.length; i++) if (ws[i].pid == %s) workspace.activeClient = ws[i];\n' "$kpid" >"$H/focus.js"
    qdbus org.kde.KWin /Scripting org.kde.kwin.Scripting.loadScript "$H/focus.js" knoblyfocus >/dev/null &&
        qdbus org.kde.KWin /Scripting org.kde.kwin.Scripting.start >/dev/null; sleep 0.3
    qdbus org.kde.KWin /Scripting org.kde.kwin.Scripting.unloadScript knoblyfocus >/dev/null; }
knobly_windows() { windows | awk -F'\t' -v p="$kpid" '$1 == p'; }
has_knobly_window() { [[ -n $(knobly_windows) ]]; }
popups() { windows | awk -F'\t' -v p="$spid" '$1 == p && $2 == 1 { print $3 }'; } # plasmashell's
ctl() { "$T/knoblyctl" status --device 127.0.0.1:8443; }
volume() { ctl | grep -oP '"volume":\K[0-9]+'; }
volume_is() { [[ $(volume) == "$1" ]]; }

# 1. Session bus with the standard service directories (Plasma starts kded5, the activity manager,
# the portals on demand) and eavesdropping for dbus-monitor; Xvfb; KWin on it; plasmashell.
cat >"$H/bus.conf" <<EOF
<busconfig><type>session</type><listen>unix:path=$XDG_RUNTIME_DIR/bus</listen><auth>EXTERNAL</auth>
<standard_session_servicedirs/>
<policy context='default'><allow send_destination='*' eavesdrop='true'/><allow eavesdrop='true'/>
<allow own='*'/></policy></busconfig>
EOF
dbus-daemon --nofork --nopidfile --config-file="$H/bus.conf" >"$H/bus.log" 2>&1 & pids+=($!)
until_ok 20 has_name org.freedesktop.DBus || die "the session bus did not start"
dbus-monitor >"$H/mon.log" 2>&1 & pids+=($!)
mkfifo "$H/display"
Xvfb -displayfd 3 -screen 0 1440x900x24 -nolisten tcp 3>"$H/display" >"$H/xvfb.log" 2>&1 & pids+=($!)
read -r -t 20 xdisplay <"$H/display" || die "Xvfb did not start"
export DISPLAY=:$xdisplay # xdotool's and import's: KWin's window on it gets their input as real input
env -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM KWIN_WAYLAND_NO_PERMISSION_CHECKS=1 "$T/kwin_wayland" \
    --x11-display "$DISPLAY" --width 1440 --height 900 --xwayland --socket wayland-0 >"$H/kwin.log" 2>&1 & kwpid=$!
pids+=("$kwpid")
until_ok 30 test -S "$XDG_RUNTIME_DIR/wayland-0" && until_ok 30 has_name org.kde.KWin || die "kwin_wayland did not start"
plasmashell --no-respawn >"$H/plasmashell.log" 2>&1 & spid=$!; pids+=("$spid")
until_ok 60 has_name org.kde.StatusNotifierWatcher || die "no StatusNotifierWatcher (kded5 starts it for plasmashell's tray)"
until_ok 30 has_name org.kde.plasmashell || die "plasmashell did not start"
panel() { windows | awk -F'\t' -v p="$spid" '$1 == p && $4 == "Plasma" { print $3 }' | grep -m 1 .; }
until_ok 30 panel || die "no panel in KWin's windows: $(windows)"
read -r px py pw ph <<<"$(panel)"
keys="16777330 16777328 16777329" # Qt::Key_VolumeUp, Key_VolumeDown, Key_VolumeMute
key_owners() { local k; for k in $keys; do kt kga owner "$k"; done | tr '\n' ';'; }
kmix_keys() { [[ $(key_owners) == "kmix increase_volume;kmix decrease_volume;kmix mute;" ]]; }
until_ok 30 kmix_keys || die "plasma-pa does not hold the volume keys: $(key_owners)"
"$T/knobly-devicesim" --port 8443 --bind 127.0.0.1 --name Kitchen >"$H/sim.log" 2>&1 & pids+=($!)
until_ok 20 grep -q serving "$H/sim.log" || die "knobly-devicesim did not start"
pass "Plasma is up (panel at $px,$py ${pw}x$ph), plasma-pa holds the volume keys, the device serves"
# Anything that opens System Settings would show up here.
(while :; do ps -eo pid=,comm= | grep -E ' (systemsettings|kcmshell)' >>"$H/settings.log"; sleep 0.2; done) & pids+=($!)

# 2. Knobly, told where the device is, the keys left alone.
printf '[General]\nip=127.0.0.1:8443\ndevice=Kitchen\nstep=5\nkeys=false\n' >"$XDG_CONFIG_HOME/Knobly/Knobly.conf"
"$T/knobly" >"$H/knobly.log" 2>&1 & kpid=$!; pids+=("$kpid")
until_ok 20 kt registered "$kpid" ||
    die "$(gone "$kpid" && echo "knobly exited; ")$(kt registered "$kpid" 2>&1 | tail -n 1)"
name=$(kt registered "$kpid") && kbus=$(owner "$name") && sbus=$(owner org.kde.plasmashell) &&
    pass "registered with the StatusNotifierWatcher as $name ($kbus)"
to_knobly="$name,$kbus"
no_window() { # WHEN: Knobly shows no window of its own (proving an absence needs a little wait)
    if until_ok 1.5 has_knobly_window; then fail "$1, knobly has a window: $(knobly_windows)"
    else pass "$1, knobly has no window"; fi; }
no_window "at rest"

# 3. Where the icon is: of the icon-sized things in the panel, the one whose right click makes
# plasmashell ask Knobly's menu for its rows.
menu_read() { [[ -n $(kt mon "$1" calls "$to_knobly" AboutToShow)$(kt mon "$1" calls "$to_knobly" GetLayout) ]]; }
menu_closed() { ! popups | awk '$4 > 100 { f = 1 } END { exit !f }'; }
close_menu() { xdotool key Escape; until_ok 3 menu_closed || { xdotool key Escape; until_ok 3 menu_closed; }; }
# The tray lays out the new icons: wait for two equal looks at the panel half a second apart.
settled() { shoot panel0; sleep 0.5; shoot panel; cmp -s "$H/panel0.rgb" "$H/panel.rgb"; }
until_ok 5 settled
ix= iy=$((py + ph / 2)) icons=$(kt icons panel $((px + pw / 2)) "$py" $((px + pw)) $((py + ph)))
for x in $icons; do
    mark=$(lines); xdotool mousemove "$x" "$iy" click 3
    if until_ok 1.5 menu_read "$mark"; then ix=$x; close_menu; break; fi
    xdotool key Escape; until_ok 2 menu_closed
done
[[ -n $ix ]] || die "none of the icons in the panel at x = $icons opens knobly's menu (is it in the tray's overflow?)"
pass "plasmashell shows the item in the panel at $ix,$iy"
[[ -z $shot ]] || convert -size 1440x900 -depth 8 "rgb:$H/panel.rgb" -crop "${pw}x$ph+$px+$py" +repage "$H/shot.png" ||
    fail "no screenshot"

# 4. Left and right clicks open Plasma's drawing of the menu: plasmashell reads the menu after the
# click, and a menu-sized area above the icon changes.
xdotool mousemove $((ix - 300)) $((iy - 300)); sleep 0.3; shoot closed
open_menu() { # BUTTON: clicks the icon, waits for the menu; 1 when it did not open
    mark=$(lines); xdotool mousemove "$ix" "$iy" click "$1"
    until_ok 3 menu_read "$mark" || return 1
    menu_shown() { shoot open && read -r n _ <<<"$(kt changed closed open $((ix - 450)) $((py - 700)) $((ix + 450)) "$py")" && ((n > 20000)); }
    until_ok 3 menu_shown || return 1
    menu=$(popups | sort -k4 -n | tail -n 1) && read -r mx my mw mh <<<"$menu"; }
for b in "1 left" "3 right"; do
    read -r button side <<<"$b"
    if open_menu "$button"; then
        how=""; if [[ $button == 1 ]]; then
            call=$(kt mon "$mark" calls "$to_knobly" Activate | head -n 1)
            how=" (Activate $(cut -f 4,5 <<<"$call" | tr '\t' ,) answered: $(kt mon "$mark" reply "$sbus" "$(cut -f 2 <<<"$call")" | cut -f 1,2 | tr '\t' ' '))"
        fi
        pass "a $side click opens the menu, ${mw}x$mh at $mx,$my$how"
        close_menu || fail "Escape did not close the menu"
    else
        fail "a $side click did not open the menu: $(kt mon "$mark" calls "$to_knobly" Activate | head -n 2 | tr '\n\t' '  ')"
        xdotool key Escape; sleep 0.5
    fi
    no_window "after a $side click"
done

# 5. Menu rows through Plasma with real keys: Down to the row, and for a submenu a hover over it.
# The row's place comes from Knobly's exported menu, as Plasma lists it (enabled, visible rows).
row_index() { # PARENT_ID LABEL: how many Down presses reach the row
    kt layout "$name" | awk -F'\t' -v p="$1" -v l="$2" '$2 == p && $4 == 1 && $5 == 0 { n++; if ($7 == l) { print n; exit } }'; }
item_id() { kt layout "$name" | awk -F'\t' -v p="$1" -v l="$2" '$2 == p && $7 == l { print $1; exit }'; } # PARENT LABEL
down() { local i; for ((i = 0; i < $1; i++)); do xdotool key Down; sleep 0.05; done; }
# Plasma's activation of a row: the last Event "clicked" since MARK, and its answer after a second
# (Plasma sends it asynchronously and does not wait): prints "ID return|none|error NAME MESSAGE".
clicked() { local e r; e=$(kt mon "$1" calls "$to_knobly" Event /MenuBar | awk -F'\t' '$5 == "clicked"' | tail -n 1)
    [[ -n $e ]] || return 1; sleep 1; r=$(kt mon "$1" reply "$sbus" "$(cut -f 2 <<<"$e")")
    echo "$(cut -f 4 <<<"$e") ${r:-none}"; }
# X Y: sweeps the pointer along the row; a menu takes a hover only from a pointer that moves in it
hover() { local dx steps=(); for ((dx = -60; dx <= 60; dx += 15)); do steps+=(move $(($1 + dx)) "$2" sleep 0.02); done
    "$PY" "$T/plasma_input.py" "${steps[@]}"; }
menu_read_of() { [[ -n $(kt mon "$1" calls "$to_knobly" AboutToShow /MenuBar | awk -F'\t' -v i="$2" '$4 == i') ]]; } # MARK ID
open_submenu() { # LABEL: with the menu open, highlights the row with the keys and hovers it; sets sub
    # (its popup) and first_hover (empty when the first hover showed it, else what went wrong)
    local id n before at x y yp m; id=$(item_id 0 "$1") && n=$(row_index 0 "$1") || return 1
    before=$(popups | wc -l) first_hover=
    down $((n - 1)); sleep 0.2; shoot rowa; down 1; sleep 0.2; shoot rowb
    at=$(kt highlight rowa rowb "$mx" "$my" $((mx + mw)) $((my + mh))) && read -r x y yp <<<"$at" || return 1
    more_popups() { (($(popups | wc -l) > before)); }
    xdotool key Up; m=$(lines); hover "$x" "$y" # the hovered row must differ from the keys' one
    if ! until_ok 2 more_popups; then
        if menu_read_of "$m" "$id"; then first_hover="Plasma read the submenu but showed nothing"
        else first_hover="Plasma did not even read the submenu"; fi
        hover "$x" "$yp"; sleep 0.5; hover "$x" "$y"; until_ok 2 more_popups || return 1
    fi
    sub=$(popups | grep -vxF "$menu" | sort -k4 -n | tail -n 1); }

if open_menu 3 && open_submenu "Select Device"; then
    read -r sx sy sw sh <<<"$sub"; sid=$(item_id 0 "Select Device")
    rows=$(kt layout "$name" | awk -F'\t' -v p="$sid" '$2 == p && $5 == 0' | wc -l)
    if [[ -z $first_hover ]] && ((sh >= 20 * rows)); then pass "Select Device shows its rows on the first hover (${sw}x$sh for $rows rows)"
    else fail "Select Device on the first hover: ${first_hover:-${sw}x$sh for $rows rows}"; fi
    mark=$(lines); down "$(row_index "$sid" "Rescan Network")"; xdotool key Return
    if until_ok 3 clicked "$mark" && read -r id reply <<<"$(clicked "$mark")" && [[ $reply != error* ]]; then
        pass "Rescan Network through Plasma's menu (item $id, answered: $reply)"
    else fail "Rescan Network: Plasma's click ${id:-was not seen}, answered: ${reply:-}"; fi
    until_ok 3 menu_closed || close_menu
else fail "could not open the Select Device submenu: $(popups | tr '\n' ';')"; close_menu; fi
sleep 1 # the rescan runs and the submenu may be rebuilt underneath Plasma
if open_menu 3 && open_submenu "Select Device"; then
    sid=$(item_id 0 "Select Device"); mark=$(lines)
    down "$(row_index "$sid" "Enter IP Address…")"; xdotool key Return
    if until_ok 3 clicked "$mark" && read -r id reply <<<"$(clicked "$mark")" && [[ $reply != error* ]]; then
        pass "Enter IP Address… after the rescan: Plasma's click on item $id got no error (answered: $reply)"
    else fail "Enter IP Address… after the rescan: Plasma's click ${id:-was not seen}, answered: ${reply:-}"; fi
    if until_ok 5 has_knobly_window; then
        pass "the address dialog opened: $(knobly_windows | cut -f 3- | tr '\t' ' ')"
        focus_knobly; xdotool key Escape
        if until_ok 5 eval '! has_knobly_window'; then pass "Escape closed the address dialog"
        else fail "the address dialog is still open after Escape: $(knobly_windows)"; fi
    else fail "no address dialog appeared"; fi
    until_ok 3 menu_closed || close_menu
else fail "could not open the Select Device submenu a second time"; close_menu; fi

# 6. The wheel over the icon: one notch is one step, and Plasma shows its OSD for it.
xdotool mousemove "$ix" "$iy"; sleep 0.3; v0=$(volume)
[[ $v0 =~ ^[0-9]+$ ]] && ((v0 >= 20 && v0 <= 80)) || fail "the device's volume is not in 20..80: $(ctl)"
shoot calm; mark=$(lines)
xdotool click 4
if until_ok 5 volume_is $((v0 + 5)) && sleep 0.7 && volume_is $((v0 + 5)); then pass "a notch up raised the volume by one step: $v0 -> $(volume)"
else fail "a notch up: $v0 -> $(volume), wanted $((v0 + 5))"; fi
shoot osd
echo "  Scroll from plasmashell: $(kt mon "$mark" calls "$to_knobly" Scroll | cut -f 4- | head -n 1 | tr '\t' ' ')"
osd=$(grep -n "sender=$kbus .*path=/org/kde/osdService; interface=org.kde.osdService" "$H/mon.log" | awk -F: -v m="$mark" '$1 >= m' | head -n 1)
if [[ -n $osd ]]; then pass "the step asked Plasma's OSD: $(grep -oP 'member=\K\S+' <<<"$osd")"
else fail "the step did not call org.kde.osdService"; fi
read -r n _ <<<"$(kt changed calm osd 320 225 1120 800)"
if ((n > 3000)); then pass "the OSD is on screen ($n pixels changed mid-screen)"; else fail "no OSD on screen ($n pixels changed)"; fi
v1=$(volume); xdotool click 5
if until_ok 5 volume_is $((v1 - 5)) && sleep 0.7 && volume_is $((v1 - 5)); then pass "a notch down lowered the volume by one step: $v1 -> $(volume)"
else fail "a notch down: $v1 -> $(volume), wanted $((v1 - 5))"; fi
# A touchpad: axis events of 1.25 (Plasma passes 15 per event, 120 being a notch) with no notch,
# sixteen of them worth two notches. A pause first, so no earlier scroll adds to the swipe.
volume_not() { [[ $(volume) != "$1" ]]; }
for dir in -1.25:up:1 1.25:down:-1; do
    IFS=: read -r value way sign <<<"$dir"; sleep 1.5; v1=$(volume); steps=()
    for ((i = 0; i < 16; i++)); do steps+=(axis vertical "$value" sleep 0.02); done
    mark=$(lines); "$PY" "$T/plasma_input.py" move "$ix" "$iy" "${steps[@]}" || fail "plasma_input failed"
    until_ok 3 volume_not "$v1"; sleep 0.7 # then no further step may follow
    v2=$(volume) deltas=$(kt mon "$mark" calls "$to_knobly" Scroll | cut -f 4 | sort | uniq -c | tr -s ' \n' ' ')
    d=$(((v2 - v1) * sign))
    if ((d >= 5 && d <= 10)); then pass "a two-notch swipe $way moved $v1 -> $v2 (Scroll deltas, count x value: $deltas)"
    else fail "a two-notch swipe $way moved $v1 -> $v2, wanted one or two steps (Scroll deltas: $deltas)"; fi
done
no_window "after scrolling"

# 7. Media keys: taken over from plasma-pa's "kmix" component after a question, given back.
menu_toggle() { # LABEL: activates the row through Plasma's menu; prints Plasma's click and answer
    menu_closed || close_menu; open_menu 3 || return 1; local m; m=$(lines)
    down "$(row_index 0 "$1")"; xdotool key Return
    until_ok 3 clicked "$m" && clicked "$m"; }
ticked() { [[ $(kt layout "$name" | awk -F'\t' -v l="$1" '$2 == 0 && $7 == l { print $6 }') == 1 ]]; } # LABEL
knobly_keys() { [[ $(key_owners) =~ ^(org\.knobly\.Knobly [^;]+;){3}$ ]]; }
r=$(menu_toggle "Capture Media Keys") || fail "could not activate Capture Media Keys through Plasma's menu: $r"
echo "  Capture Media Keys: $r"
if until_ok 5 has_knobly_window; then
    pass "Knobly asks before taking the keys: $(knobly_windows | cut -f 3- | tr '\t' ' ')"
    focus_knobly; xdotool key Return
else fail "no question window after Capture Media Keys"; fi
if until_ok 5 knobly_keys; then pass "kglobalaccel: the volume keys are Knobly's ($(key_owners))"
else fail "the volume keys are not Knobly's: $(key_owners)"; fi
kmix_lost() { local a; for a in increase_volume decrease_volume mute; do [[ $(kt kga keys kmix $a) == none ]] || return 1; done; }
if kmix_lost; then pass "kmix's increase_volume, decrease_volume and mute have no keys now"
else fail "kmix still has keys: $(for a in increase_volume decrease_volume mute; do echo -n "$a=$(kt kga keys kmix $a) "; done)"; fi
v1=$(volume); xdotool mousemove 700 400 key XF86AudioRaiseVolume
if until_ok 5 volume_is $((v1 + 5)) && sleep 0.7 && volume_is $((v1 + 5)); then pass "XF86AudioRaiseVolume raised the volume by one step: $v1 -> $(volume)"
else fail "XF86AudioRaiseVolume: $v1 -> $(volume), wanted $((v1 + 5))"; fi
if until_ok 3 ticked "Capture Media Keys"; then pass "Capture Media Keys is ticked"; else fail "Capture Media Keys is not ticked"; fi
no_window "after answering the question"
r=$(menu_toggle "Capture Media Keys") || fail "could not activate Capture Media Keys a second time: $r"
if until_ok 5 kmix_keys; then pass "the volume keys are back with kmix ($(key_owners))"
else fail "the volume keys did not go back to kmix: $(key_owners) kmix has $(for a in increase_volume decrease_volume mute; do
    echo -n "$a=$(kt kga keys kmix $a) "; done)"; fi
if until_ok 3 eval '! ticked "Capture Media Keys"'; then pass "Capture Media Keys is unticked"; else fail "Capture Media Keys is still ticked"; fi
no_window "after giving the keys back"
if [[ -s $H/settings.log ]]; then fail "System Settings was started: $(sort -u "$H/settings.log" | tr '\n' ' ')"
else pass "System Settings never started"; fi
gone "$kpid" && fail "knobly is gone"
gone "$kwpid" && crashed
((failed)) && logs
exit "$failed"
