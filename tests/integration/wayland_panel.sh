#!/usr/bin/env bash
# Knobly in a real Wayland panel (headless sway, waybar's tray, a simulated device, a private
# session bus) in namespaces of its own (desktop_lib.sh): the item registers as a menu, its
# Volume submenu drives the device, and activating it opens no window.
user=knobly-wl tools="sway swaymsg waybar grim" debs="" copy=""
. "$(dirname "$0")/desktop_lib.sh"

# 1. Session bus (no service directories: nothing starts on demand), sway, waybar, the device.
session "$H" && export GSETTINGS_BACKEND=memory && mkdir -p "$XDG_CONFIG_HOME/waybar"
bus session "$XDG_RUNTIME_DIR/bus"
printf 'xwayland disable\noutput HEADLESS-1 mode 1280x720\nbar {\n swaybar_command waybar\n}\n' >"$S/sway.conf"
echo '{"height": 32, "modules-right": ["tray"], "tray": {"icon-size": 24}}' >"$XDG_CONFIG_HOME/waybar/config"
WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman sway -c "$S/sway.conf" >"$S/sway.log" 2>&1 & comp=$!; pids+=($!)
sock() { compgen -G "$XDG_RUNTIME_DIR/$1" | head -n 1; }
until_ok 20 sock 'sway-ipc.*.sock' && until_ok 20 sock 'wayland-[0-9]' || die "sway did not start"
SWAYSOCK=$(sock 'sway-ipc.*.sock') WAYLAND_DISPLAY=$(basename "$(sock 'wayland-[0-9]')") && export SWAYSOCK WAYLAND_DISPLAY
until_ok 20 has_name org.kde.StatusNotifierWatcher || die "waybar's tray watcher did not appear"
device && pass "sway, waybar, session bus and device are up"

# 2-4. Knobly, registered with waybar's watcher, as an item that is a menu.
start_knobly knobly.log && registered && pass "registered with the watcher as $name"
item() { dbus-send --print-reply --dest="$name" /StatusNotifierItem "$@"; } # METHOD ARGS...
is_menu=$(prop "$name" /StatusNotifierItem org.kde.StatusNotifierItem ItemIsMenu 2>&1)
if [[ $is_menu == *'boolean true' ]]; then pass "ItemIsMenu is true"; else fail "ItemIsMenu is not true: $is_menu"; fi

# 5. The Volume submenu drives the device: Mute, then 20%.
on() { ctl | grep -q "\"$1\":$2[,}]"; } # FIELD VALUE: what the device says
v0=$(vol)
if ! until_ok 20 dp volume "$name" shows false "$v0"; then fail "volume submenu: $(dp volume "$name" shows false "$v0" 2>&1 | tail -n 1)"
elif ! on muted false || [[ $v0 == 20 ]]; then fail "the device should start unmuted at a volume other than 20: $(ctl)"
else for step in "Mute muted true true $v0" "20% volume 20 true 20"; do # click; the device; the menu
        read -r label field value muted shown <<<"$step"
        if dp volume "$name" click "$label" && until_ok 20 on "$field" "$value" && until_ok 20 dp volume "$name" shows "$muted" "$shown"
        then pass "$label set the device: $(ctl)"
        else fail "$label did not set the device or show it: $(ctl); $(dp volume "$name" shows "$muted" "$shown" 2>&1 | tail -n 1)"; fi
    done; fi
[[ -z $shot ]] || grim -g "0,0 1280x32" "$H/shot.png" || fail "grim took no screenshot"

# 6. Activate (a host's left click, unless it draws the menu itself) opens no window of knobly's.
# An item that is a menu may refuse it ("show the exported menu"); any other error is a failure.
windows() { swaymsg -t get_tree | grep -Eio "\"pid\": $kpid\b|\"app_id\": \"[^\"]*knobly[^\"]*\""; }
has_window() { [[ -n $(windows) ]]; }
swaymsg -t get_tree >/dev/null && ! has_window || die "sway's tree unread, or a window of knobly's already: $(windows)"
r=$(item org.kde.StatusNotifierItem.Activate int32:20 int32:10 2>&1) || [[ $r == *UnknownMethod* ]] || fail "Activate failed: $r"
no_window "after Activate"
gone "$kpid" && fail "knobly is gone"
finish
