#!/usr/bin/env bash
# Knobly in a real KDE Plasma session (kwin_wayland nested on Xvfb, plasmashell, plasma-pa), driven
# by real input, in namespaces of its own (desktop_lib.sh). The panel shows the item, clicks open its menu,
# rows stay valid after a rescan, the wheel and the touchpad step the volume with Plasma's OSD, the media
# keys move between plasma-pa and Knobly through kglobalaccel, and Knobly opens no window unasked.
# Plasma 5.27 (Debian 12) or 6 (Debian 13), told once by what is installed; the names below follow.
if [[ -x /usr/bin/kded6 ]]; then plasma=6 qdbus=qdbus6 clients=windowList active=activeWindow
else plasma=5 qdbus=qdbus clients=clientList active=activeClient; fi
user=knobly-kde tools="kwin_wayland plasmashell Xvfb xdotool import convert dbus-monitor $qdbus"
debs="plasma-pa" copy=kwin_wayland
. "$(dirname "$0")/desktop_lib.sh"
absence=1.5 # each look at the windows runs a KWin script: fewer looks will do

# 1. Plasma's environment (the bus hands it to all it starts); a bus with the standard service dirs (kded5,
# the activity manager, the portals start on demand) that dbus-monitor reads; Xvfb, KWin on it, plasmashell.
session "$H"
export XDG_CURRENT_DESKTOP=KDE KDE_FULL_SESSION=true KDE_SESSION_VERSION=$plasma XDG_SESSION_TYPE=wayland
export WAYLAND_DISPLAY=wayland-0 QT_QPA_PLATFORM=wayland QT_QUICK_BACKEND=software
printf '[KSplash]\nEngine=none\nTheme=None\n' >"$XDG_CONFIG_HOME/ksplashrc" # no splash over the screen
bus session "$XDG_RUNTIME_DIR/bus" '<standard_session_servicedirs/>'
dbus-monitor >"$S/mon.txt" 2>&1 & pids+=($!)
mkfifo "$S/display"
Xvfb -displayfd 3 -screen 0 1440x900x24 -nolisten tcp 3>"$S/display" >"$S/xvfb.log" 2>&1 & pids+=($!)
read -r -t 20 xdisplay <"$S/display" || die "Xvfb did not start"
export DISPLAY=:$xdisplay # xdotool's and import's: KWin's window on it takes their input as real input
env -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM KWIN_WAYLAND_NO_PERMISSION_CHECKS=1 "$T/bin/kwin_wayland" --x11-display "$DISPLAY" \
    --width 1440 --height 900 --xwayland --socket wayland-0 >"$S/kwin.log" 2>&1 & comp=$!; pids+=($!)
until_ok 30 test -S "$XDG_RUNTIME_DIR/wayland-0" && until_ok 30 has_name org.kde.KWin || die "kwin_wayland did not start"
plasmashell --no-respawn >"$S/plasmashell.log" 2>&1 & spid=$!; pids+=($!)
until_ok 60 has_name org.kde.StatusNotifierWatcher || die "no StatusNotifierWatcher (kded$plasma starts it for plasmashell's tray)"
until_ok 30 has_name org.kde.plasmashell || die "plasmashell did not start"
xdotool() { timeout 10 /usr/bin/xdotool "$@"; } # it waits forever once KWin is gone
owner() { has_name "$1" 2>/dev/null | grep -oP 'string "\K[^"]+'; }
kwin() { # JS: runs it as a KWin script; prints what it p()s (KWin logs print() as "js: ...")
    local tag=kt$RANDOM$RANDOM s; printf 'function p(s) { print("%s\\t" + s); }\n%s\np("end");\n' "$tag" "$1" >"$S/$tag.js"
    $qdbus org.kde.KWin /Scripting org.kde.kwin.Scripting.loadScript "$S/$tag.js" "$tag" >/dev/null &&
        $qdbus org.kde.KWin /Scripting org.kde.kwin.Scripting.start >/dev/null && until_ok 3 grep -q "^js: $tag	end" "$S/kwin.log"; s=$?
    $qdbus org.kde.KWin /Scripting org.kde.kwin.Scripting.unloadScript "$tag" >/dev/null
    grep "^js: $tag	" "$S/kwin.log" | grep -v "	end$" | cut -f 2-; return $s; }
windows() { kwin 'for (const w of workspace.'$clients'()) { const g = w.frameGeometry;
    p([w.pid, w.popupWindow ? 1 : 0, [g.x, g.y, g.width, g.height].join(" "), w.caption].join("\t")); }'; } # pid popup x y w h caption
kwins() { windows | awk -F'\t' -v p="$kpid" '$1 == p'; } && has_window() { [[ -n $(kwins) ]]; }
popups() { windows | awk -F'\t' -v p="$spid" '$1 == p && $2 == 1 { print $3 }'; } # plasmashell's
# KWin gives the keyboard to knobly's window, the dialog the test is about to answer.
focus_knobly() { kwin "for (const w of workspace.$clients()) if (w.pid == $kpid) workspace.$active = w;" >/dev/null; sleep 0.2; }
# The panel: plasmashell's wide, low window (captioned "Plasma" by 5, not at all by 6).
panel() { windows | awk -F'\t' -v p="$spid" '$1 == p { split($3, g, " "); if (g[3] > 400 && g[4] < 120) print $3 }' | grep -m 1 .; }
until_ok 30 panel || die "no panel in KWin's windows: $(windows)"
read -r px py pw ph <<<"$(panel)"
keys="16777330 16777328 16777329" # Qt::Key_VolumeUp, Key_VolumeDown, Key_VolumeMute
key_owners() { local k; for k in $keys; do dp kga owner "$k"; done | tr '\n' ';'; }
kmix_keys() { [[ $(key_owners) == "kmix increase_volume;kmix decrease_volume;kmix mute;" ]]; }
until_ok 30 kmix_keys || die "plasma-pa does not hold the volume keys: $(key_owners)"
device && pass "$(plasmashell --version 2>/dev/null | sed "s/plasmashell/Plasma/") is up (panel at $px,$py ${pw}x$ph), plasma-pa holds the volume keys, the device serves"
# Anything that opens System Settings would show up here.
(while :; do ps -eo pid=,comm= | grep -E ' (systemsettings|kcmshell)' >>"$S/settings.txt"; sleep 0.2; done) & pids+=($!)

# 2. Knobly, told where the device is, the keys left alone.
start_knobly knobly.log $'step=5\nkeys=false\n' && registered && kbus=$(owner "$name") && sbus=$(owner org.kde.plasmashell) &&
    pass "registered with the StatusNotifierWatcher as $name ($kbus)"
no_window "at rest"

# 3. The icon: of the icon-sized things in the panel, the one whose right click makes plasmashell read our menu.
lines() { wc -l <"$S/mon.txt"; } && shoot() { import -window root -depth 8 "rgb:$S/$1.rgb"; } # NAME
calls() { dp mon "$1" calls "$name,$kbus" "${@:2}"; } # MARK MEMBER [PATH]: calls to knobly since MARK
menu_read() { [[ -n $(calls "$1" AboutToShow)$(calls "$1" GetLayout) ]]; }
menu_closed() { ! popups | awk '$4 > 100 { f = 1 } END { exit !f }'; }
close_menu() { xdotool key Escape; until_ok 3 menu_closed || { xdotool key Escape; until_ok 3 menu_closed; }; }
# The tray lays out the new icons: wait for two equal looks at the panel half a second apart.
settled() { shoot panel0; sleep 0.5; shoot panel; cmp -s "$S/panel0.rgb" "$S/panel.rgb"; }
until_ok 5 settled
ix= iy=$((py + ph / 2)) icons=$(dp icons panel $((px + pw / 2)) "$py" $((px + pw)) $((py + ph)))
for x in $icons; do
    mark=$(lines); xdotool mousemove "$x" "$iy" click 3
    if until_ok 1.5 menu_read "$mark"; then ix=$x; close_menu; break; fi
    xdotool key Escape; until_ok 2 menu_closed
done
[[ -n $ix ]] || die "none of the icons in the panel at x = $icons opens knobly's menu (is it in the tray's overflow?)"
pass "plasmashell shows the item in the panel at $ix,$iy"
[[ -z $shot ]] || convert -size 1440x900 -depth 8 "rgb:$S/panel.rgb" -crop "${pw}x$ph+$px+$py" +repage "$H/shot.png" || fail "no screenshot"

# 4. Left and right clicks open the menu: plasmashell reads it, and a menu-sized area above the icon changes.
xdotool mousemove $((ix - 300)) $((iy - 300)); sleep 0.3; shoot closed
menu_shown() { shoot open && read -r n _ <<<"$(dp changed closed open $((ix - 450)) $((py - 700)) $((ix + 450)) "$py")" && ((n > 20000)); }
open_menu() { # BUTTON: clicks the icon, waits for the menu; sets menu (its popup: x y w h)
    mark=$(lines); xdotool mousemove "$ix" "$iy" click "$1"
    until_ok 3 menu_read "$mark" && until_ok 3 menu_shown && menu=$(popups | sort -k4 -n | tail -n 1) && read -r mx my mw mh <<<"$menu"; }
for b in "1 left" "3 right"; do
    read -r button side <<<"$b"
    if open_menu "$button"; then pass "a $side click opens the menu, ${mw}x$mh at $mx,$my"; close_menu || fail "Escape did not close the menu"
    else fail "a $side click did not open the menu: $(calls "$mark" Activate | head -n 2 | tr '\n\t' '  ')"; xdotool key Escape; sleep 0.5; fi
    no_window "after a $side click"
done

# 5. Menu rows through Plasma with real keys: Down to the row, and for a submenu a hover over it.
# The row's place comes from Knobly's exported menu, as Plasma lists it (enabled, visible rows).
row_index() { dp layout "$name" | awk -F'\t' -v p="$1" -v l="$2" '$2 == p && $4 == 1 && $5 == 0 { n++; if ($7 == l) { print n; exit } }'; } # PARENT LABEL
item_id() { dp layout "$name" | awk -F'\t' -v p="$1" -v l="$2" '$2 == p && $7 == l { print $1; exit }'; } # PARENT LABEL
down() { local i; for ((i = 0; i < $1; i++)); do xdotool key Down; sleep 0.05; done; }
# Plasma's activation of a row: the last Event "clicked" since MARK and, a second later (Plasma does not
# wait for it), its answer: prints "ID return|none|error NAME MESSAGE".
clicked() { local e r; e=$(calls "$1" Event /MenuBar | awk -F'\t' '$5 == "clicked"' | tail -n 1)
    [[ -n $e ]] || return 1; sleep 1; r=$(dp mon "$1" reply "$sbus" "$(cut -f 2 <<<"$e")"); echo "$(cut -f 4 <<<"$e") ${r:-none}"; }
# X Y: sweeps the pointer along the row; a menu takes a hover only from a pointer that moves in it
hover() { local dx steps=(); for ((dx = -60; dx <= 60; dx += 15)); do steps+=(move $(($1 + dx)) "$2" sleep 0.02); done; dp input "${steps[@]}"; }
open_submenu() { # LABEL: with the menu open, highlights the row with the keys and hovers it; sets sub
    # (its popup) and first_hover (empty when the first hover showed it, else what went wrong)
    local id n before x y yp m; id=$(item_id 0 "$1") && n=$(row_index 0 "$1") || return 1
    before=$(popups | wc -l) first_hover=
    down $((n - 1)); sleep 0.2; shoot rowa; down 1; sleep 0.2; shoot rowb
    read -r x y yp <<<"$(dp highlight rowa rowb "$mx" "$my" $((mx + mw)) $((my + mh)))" && [[ -n $yp ]] || return 1
    more_popups() { (($(popups | wc -l) > before)); }
    xdotool key Up; m=$(lines); hover "$x" "$y" # the hovered row must differ from the keys' one
    if ! until_ok 2 more_popups; then
        first_hover="nothing shown; Plasma read it $(calls "$m" AboutToShow /MenuBar | awk -F'\t' -v i="$id" '$4 == i' | wc -l) times"
        hover "$x" "$yp"; sleep 0.5; hover "$x" "$y"; until_ok 2 more_popups || return 1
    fi
    sub=$(popups | grep -vxF "$menu" | sort -k4 -n | tail -n 1); }
pick() { # LABEL: Return on that row of the open Select Device submenu; Plasma's click must get no error
    local id reply m; m=$(lines); down "$(row_index "$(item_id 0 "Select Device")" "$1")"; xdotool key Return
    if until_ok 3 clicked "$m" && read -r id reply <<<"$(clicked "$m")" && [[ $reply != error* ]]; then pass "$1 through Plasma's menu (item $id, answered: $reply)"
    else fail "$1: Plasma's click ${id:-was not seen}, answered: ${reply:-}"; fi; }
if open_menu 3 && open_submenu "Select Device"; then
    read -r sx sy sw sh <<<"$sub"; rows=$(dp layout "$name" | awk -F'\t' -v p="$(item_id 0 "Select Device")" '$2 == p && $5 == 0' | wc -l)
    if [[ -z $first_hover ]] && ((sh >= 20 * rows)); then pass "Select Device shows its rows on the first hover (${sw}x$sh for $rows rows)"
    else fail "Select Device on the first hover: ${first_hover:-${sw}x$sh for $rows rows}"; fi
    pick "Rescan Network"; until_ok 3 menu_closed || close_menu
else fail "could not open the Select Device submenu: $(popups | tr '\n' ';')"; close_menu; fi
sleep 1 # the rescan runs and the submenu may be rebuilt underneath Plasma
if open_menu 3 && open_submenu "Select Device"; then
    pick "Enter IP Address…"
    if until_ok 5 has_window; then
        pass "the address dialog opened after the rescan: $(kwins | cut -f 3- | tr '\t' ' ')"; focus_knobly; xdotool key Escape
        if until_ok 5 eval '! has_window'; then pass "Escape closed the address dialog"; else fail "the address dialog is still open after Escape: $(kwins)"; fi
    else fail "no address dialog appeared"; fi
    until_ok 3 menu_closed || close_menu
else fail "could not open the Select Device submenu a second time"; close_menu; fi

# 6. The wheel over the icon: one notch is one step, and Plasma shows its OSD for it.
vol_is() { [[ $(vol) == "$1" ]]; } && vol_not() { [[ $(vol) != "$1" ]]; }
steps_to() { until_ok 5 vol_is "$1" && sleep 0.7 && vol_is "$1"; } # V: gets there, no step follows
xdotool mousemove "$ix" "$iy"; sleep 0.3; v0=$(vol)
[[ $v0 =~ ^[0-9]+$ ]] && ((v0 >= 20 && v0 <= 80)) || fail "the device's volume is not in 20..80: $(ctl)"; shoot calm; mark=$(lines)
for b in "4 up 5 raised" "5 down -5 lowered"; do
    read -r button way d did <<<"$b"; v1=$(vol); xdotool click "$button"
    if steps_to $((v1 + d)); then pass "a notch $way $did the volume by one step: $v1 -> $(vol)"; else fail "a notch $way: $v1 -> $(vol), wanted $((v1 + d))"; fi
    [[ $button == 5 ]] || shoot osd
done
if grep -n "sender=$kbus .*path=/org/kde/osdService; interface=org.kde.osdService" "$S/mon.txt" | awk -F: -v m="$mark" '$1 >= m' | grep -q .
then pass "the step asked Plasma's OSD"; else fail "the step did not call org.kde.osdService"; fi
read -r n _ <<<"$(dp changed calm osd 320 225 1120 800)"
if ((n > 3000)); then pass "the OSD is on screen ($n pixels changed mid-screen)"; else fail "no OSD on screen ($n pixels changed)"; fi
# A touchpad: axis events of 1.25 (Plasma passes 15 per event, 120 being a notch) with no notch,
# sixteen of them worth two notches. A pause first, so no earlier scroll adds to the swipe.
for dir in -1.25:up:1 1.25:down:-1; do
    IFS=: read -r value way sign <<<"$dir"; sleep 1.5; v1=$(vol); steps=()
    for ((i = 0; i < 16; i++)); do steps+=(axis vertical "$value" sleep 0.02); done
    mark=$(lines); dp input move "$ix" "$iy" "${steps[@]}" || fail "fake input failed"
    until_ok 3 vol_not "$v1"; sleep 0.7; v2=$(vol) d=$(((v2 - v1) * sign)) # then no further step may follow
    if ((d >= 5 && d <= 10)); then pass "a two-notch swipe $way moved $v1 -> $v2"
    else fail "a two-notch swipe $way moved $v1 -> $v2, wanted one or two steps (Scroll deltas: $(calls "$mark" Scroll | cut -f 4 | sort | uniq -c | tr -s ' \n' ' '))"; fi
done
no_window "after scrolling"

# 7. Media keys: taken over from plasma-pa's "kmix" component after a question, given back.
menu_toggle() { # LABEL: activates the row through Plasma's menu; prints Plasma's click and answer
    menu_closed || close_menu; open_menu 3 || return 1; local m; m=$(lines)
    down "$(row_index 0 "$1")"; xdotool key Return; until_ok 3 clicked "$m" && clicked "$m"; }
ticked() { [[ $(dp layout "$name" | awk -F'\t' '$2 == 0 && $7 == "Capture Media Keys" { print $6 }') == 1 ]]; }
knobly_keys() { [[ $(key_owners) =~ ^(org\.knobly\.Knobly [^;]+;){3}$ ]]; }
kmix_has() { local a; for a in increase_volume decrease_volume mute; do echo -n "$a=$(dp kga keys kmix $a) "; done; }
r=$(menu_toggle "Capture Media Keys") || fail "could not activate Capture Media Keys through Plasma's menu: $r"
if until_ok 5 has_window; then pass "Knobly asks before taking the keys: $(kwins | cut -f 3- | tr '\t' ' ')"; focus_knobly; xdotool key Return
else fail "no question window after Capture Media Keys"; fi
if until_ok 5 knobly_keys; then pass "kglobalaccel: the volume keys are Knobly's ($(key_owners))"; else fail "the volume keys are not Knobly's: $(key_owners)"; fi
if [[ $(kmix_has) == "increase_volume=none decrease_volume=none mute=none " ]]; then pass "kmix's increase_volume, decrease_volume and mute have no keys now"
else fail "kmix still has keys: $(kmix_has)"; fi
v1=$(vol); xdotool mousemove 700 400 key XF86AudioRaiseVolume
if steps_to $((v1 + 5)); then pass "XF86AudioRaiseVolume raised the volume by one step: $v1 -> $(vol)"; else fail "XF86AudioRaiseVolume: $v1 -> $(vol), wanted $((v1 + 5))"; fi
if until_ok 3 ticked; then pass "Capture Media Keys is ticked"; else fail "Capture Media Keys is not ticked"; fi
no_window "after answering the question"
r=$(menu_toggle "Capture Media Keys") || fail "could not activate Capture Media Keys a second time: $r"
if until_ok 5 kmix_keys; then pass "the volume keys are back with kmix ($(key_owners))"; else fail "the volume keys did not go back to kmix: $(key_owners) kmix has $(kmix_has)"; fi
if until_ok 3 eval '! ticked'; then pass "Capture Media Keys is unticked"; else fail "Capture Media Keys is still ticked"; fi
no_window "after giving the keys back"
if [[ -s $S/settings.txt ]]; then fail "System Settings was started: $(sort -u "$S/settings.txt" | tr '\n' ' ')"; else pass "System Settings never started"; fi
gone "$kpid" && fail "knobly is gone"
finish
