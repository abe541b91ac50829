#!/usr/bin/python3
"""Drives a GNOME Shell 43 in unsafe mode for gnome_session.sh, over org.gnome.Shell.Eval.

  gnome_shell.py eval JS      print the JSON the code returns; fail if it threw
  gnome_shell.py ok JS        exit 0 when the code returns something truthy
  gnome_shell.py shot FILE X Y W H    save a part of the screen
  gnome_shell.py ink FILE X Y W H     the mean colour drawn there over the box's background

Every call first defines KT (once per shell) on the shell's side: virtual input devices that
go through Clutter's seat like real ones, and readers of the panel, menus and message tray.
"""
import json
import sys

import dbus

LIB = r'''
globalThis.KT ??= (() => {
    const {Clutter, GLib, Gio} = imports.gi;
    const Main = imports.ui.main;
    const now = () => GLib.get_monotonic_time();
    const seat = Clutter.get_default_backend().get_default_seat();
    const K = {scrolls: [], events: [], nid: 0, pids: new Map()};
    K.now = now;
    K.ptr = seat.create_virtual_device(Clutter.InputDeviceType.POINTER_DEVICE);
    K.kbd = seat.create_virtual_device(Clutter.InputDeviceType.KEYBOARD_DEVICE);
    K.pidOf = name => {
        if (!K.pids.has(name)) {
            try {
                K.pids.set(name, Gio.DBus.session.call_sync('org.freedesktop.DBus',
                    '/org/freedesktop/DBus', 'org.freedesktop.DBus', 'GetConnectionUnixProcessID',
                    new GLib.Variant('(s)', [name]), null, 0, 1000, null).deep_unpack()[0]);
            } catch (e) {
                return -1;
            }
        }
        return K.pids.get(name);
    };
    // The AppIndicator extension's panel button whose item is served by process PID.
    K.item = pid => Object.values(Main.panel.statusArea).find(a => {
        const owner = a?._indicator?._proxy?.g_name_owner;
        return owner && K.pidOf(owner) === pid;
    }) ?? null;
    K.box = a => {
        const [x, y] = a.get_transformed_position();
        const [w, h] = a.get_transformed_size();
        return {x, y, w, h, cx: Math.round(x + w / 2), cy: Math.round(y + h / 2)};
    };
    K.move = (x, y) => K.ptr.notify_absolute_motion(now(), x, y);
    K.click = (x, y, button = 1) => {
        K.move(x, y);
        K.ptr.notify_button(now(), button, Clutter.ButtonState.PRESSED);
        K.ptr.notify_button(now(), button, Clutter.ButtonState.RELEASED);
        return now();
    };
    K.clickActor = (a, button = 1) => {
        const b = K.box(a);
        return K.click(b.cx, b.cy, button);
    };
    K.key = keyval => {
        K.kbd.notify_keyval(now(), keyval, Clutter.KeyState.PRESSED);
        K.kbd.notify_keyval(now(), keyval, Clutter.KeyState.RELEASED);
        return now();
    };
    K.wheel = (a, up) => {
        const b = K.box(a);
        K.move(b.cx, b.cy);
        K.ptr.notify_discrete_scroll(now(), up ? Clutter.ScrollDirection.UP
            : Clutter.ScrollDirection.DOWN, Clutter.ScrollSource.WHEEL);
        return now();
    };
    // A two-finger swipe: N smooth events of DY, MS apart, then the end of the gesture. Like
    // libinput's, these deltas reach Clutter divided by 10.
    K.swipe = (a, dy, n, ms) => {
        const b = K.box(a);
        K.move(b.cx, b.cy);
        let i = 0;
        GLib.timeout_add(GLib.PRIORITY_DEFAULT, ms, () => {
            if (i++ < n) {
                K.ptr.notify_scroll_continuous(now(), 0, dy, Clutter.ScrollSource.FINGER,
                    Clutter.ScrollFinishFlags.NONE);
                return GLib.SOURCE_CONTINUE;
            }
            K.ptr.notify_scroll_continuous(now(), 0, 0, Clutter.ScrollSource.FINGER,
                Clutter.ScrollFinishFlags.VERTICAL);
            K.swipeDone = now();
            return GLib.SOURCE_REMOVE;
        });
        K.swipeDone = 0;
        return now();
    };
    // Record what the extension hands to Scroll() (it floors these), without changing it.
    K.hookScroll = a => {
        const ind = a._indicator;
        if (!ind._ktScroll) {
            ind._ktScroll = ind.scroll.bind(ind);
            ind.scroll = (dx, dy) => {
                K.scrolls.push([now(), dx, dy]);
                return ind._ktScroll(dx, dy);
            };
        }
        return true;
    };
    const label = it => (it.label?.text ?? '').replace(/_/g, '');
    K.rows = menu => menu._getMenuItems().filter(it => it.visible && it.label).map(it => ({
        text: label(it), sub: !!it.menu && it !== menu, open: !!it.menu?.isOpen}));
    // The row whose label starts with TEXT, in MENU or any open submenu of it.
    K.row = (menu, text) => {
        for (const it of menu._getMenuItems()) {
            if (it.visible && it.label && label(it).startsWith(text))
                return it;
            if (it.menu && it.menu !== menu && it.menu.isOpen) {
                const r = K.row(it.menu, text);
                if (r)
                    return r;
            }
        }
        return null;
    };
    // Clicks a row once it is laid out and has stopped moving (submenus slide open).
    K.settled = {};
    K.clickRow = (menu, text) => {
        const r = K.row(menu, text);
        if (!r || !r.mapped || !r.reactive)
            return false;
        const b = K.box(r);
        const key = JSON.stringify(b);
        if (b.w < 2 || b.h < 2 || K.settled[text] !== key) {
            K.settled[text] = key;
            return false;
        }
        delete K.settled[text];
        K.clickActor(r);
        return true;
    };
    K.windows = pid => global.get_window_actors().map(w => w.meta_window)
        .filter(w => w.get_pid() === pid)
        .map(w => ({title: w.get_title(), type: w.get_window_type(), wmclass: w.get_wm_class()}));
    K.closeWindows = pid => {
        global.get_window_actors().map(w => w.meta_window).filter(w => w.get_pid() === pid)
            .forEach(w => w.delete(global.get_current_time()));
        return true;
    };
    const mine = (s, pid) => s.pid === pid || /knobly/i.test(`${s.title} ${s.initialTitle ?? ''}`);
    const note = n => {
        n._ktId ??= ++K.nid;
        return {id: n._ktId, source: n.source?.title, pid: n.source?.pid, title: n.title,
            body: n.bannerBodyText, urgency: n.urgency, transient: n.isTransient,
            resident: n.resident};
    };
    K.notes = pid => Main.messageTray.getSources().filter(s => mine(s, pid))
        .flatMap(s => s.notifications.map(note));
    K.listed = pid => Main.panel.statusArea.dateMenu._messageList._notificationSection._messages
        .filter(m => m.notification && mine(m.notification.source, pid)).map(m => note(m.notification));
    K.allNotes = () => Main.messageTray.getSources().flatMap(s => s.notifications.map(note));
    K.clearNotes = () => {
        Main.messageTray.getSources().forEach(s => s.destroy());
        return true;
    };
    // The banner on screen (showing or shown), if any.
    K.banner = () => {
        const t = Main.messageTray;
        return t._notification && [1, 2].includes(t._notificationState) ? note(t._notification) : null;
    };
    // Every 20 ms: which notification the banner shows, and how many Knobly has per source.
    K.track = pid => {
        K.events = [];
        K.trackPid = pid;
        if (K.tracking)
            return true;
        K.tracking = GLib.timeout_add(GLib.PRIORITY_DEFAULT, 20, () => {
            const b = K.banner();
            const last = K.lastBanner;
            if ((b?.id ?? 0) !== (last?.id ?? 0) || JSON.stringify(b) !== JSON.stringify(last))
                K.events.push({t: now(), banner: b});
            K.lastBanner = b;
            K.maxListed = Math.max(K.maxListed ?? 0, K.notes(K.trackPid).length);
            return GLib.SOURCE_CONTINUE;
        });
        const watch = s => {
            s.connect('notification-show', (_s, n) => K.events.push({t: now(), show: note(n)}));
            s.connect('notification-added', (_s, n) => K.events.push({t: now(), added: note(n)}));
        };
        Main.messageTray.connect('source-added', (_t, s) => watch(s));
        Main.messageTray.getSources().forEach(watch);
        return true;
    };
    // First time after T0 that a banner of Knobly's was on screen, in ms after T0 (or -1).
    K.bannerAfter = (t0, pid) => {
        const e = K.events.find(e => e.t >= t0 && e.banner && mine(e.banner, pid));
        return e ? (e.t - t0) / 1000 : -1;
    };
    K.firstBanner = (t0, pid) => K.events.find(e => e.t >= t0 && e.banner && mine(e.banner, pid))?.banner ?? null;
    K.bannersSince = (t0, pid) => [...new Set(K.events.filter(e => e.t >= t0 && e.banner &&
        mine(e.banner, pid)).map(e => e.banner.id))];
    // Notifications of Knobly's shown as a banner, or new in the list, since T0.
    K.shownSince = (t0, pid) => K.events.filter(e => e.t >= t0 && (e.show ?? e.added) &&
        mine(e.show ?? e.added, pid)).map(e => ({how: e.show ? 'banner' : 'listed', ...(e.show ?? e.added)}));
    return K;
})();
'''


def shell(iface, path='/org/gnome/Shell'):
    obj = dbus.SessionBus().get_object('org.gnome.Shell', path)
    return dbus.Interface(obj, iface)


def evaluate(code):
    ok, out = shell('org.gnome.Shell').Eval(LIB + '\n' + code, timeout=10)
    if not ok:
        sys.exit(f'Eval failed: {out}')
    return json.loads(out) if out else None


def main():
    cmd, args = sys.argv[1], sys.argv[2:]
    if cmd == 'eval':
        print(json.dumps(evaluate(args[0])))
    elif cmd == 'ok':
        sys.exit(0 if evaluate(args[0]) else 1)
    elif cmd == 'shot':
        x, y, w, h = (int(v) for v in args[1:5])
        ok, used = shell('org.gnome.Shell.Screenshot', '/org/gnome/Shell/Screenshot').ScreenshotArea(
            x, y, w, h, False, args[0])
        sys.exit(0 if ok else f'no screenshot: {used}')
    elif cmd == 'ink':  # the mean colour of what is drawn in a box, apart from its background
        import gi
        gi.require_version('GdkPixbuf', '2.0')
        from gi.repository import GdkPixbuf
        x, y, w, h = (int(v) for v in args[1:5])
        pix = GdkPixbuf.Pixbuf.new_from_file(args[0]).new_subpixbuf(x, y, w, h)
        data, n, stride = pix.get_pixels(), pix.get_n_channels(), pix.get_rowstride()
        ink = [data[r * stride + c * n:r * stride + c * n + 3] for r in range(h) for c in range(w)]
        ink = [p for p in ink if sum(abs(a - b) for a, b in zip(p, ink[0])) > 60]  # not the background
        mean = [sum(p[i] for p in ink) // max(len(ink), 1) for i in range(3)]
        light = max(ink, key=sum, default=b'\0\0\0')
        print('#%02x%02x%02x, #%02x%02x%02x over %d px' % (*mean, *light, len(ink)))
    else:
        sys.exit(f'unknown command {cmd}')


if __name__ == '__main__':
    try:
        main()
    except dbus.DBusException as e:
        sys.exit(f'D-Bus: {e.get_dbus_message()}')
