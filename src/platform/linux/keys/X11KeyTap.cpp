#include "X11KeyTap.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QLoggingCategory>

#include <xcb/xcb_keysyms.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace knobly {

namespace {

Q_LOGGING_CATEGORY(lcKeys, "knobly.mediakeys")

struct KeySym {
    xcb_keysym_t keysym;
    MediaKey key;
};

constexpr std::array<KeySym, 6> kMediaKeys{{
    {0x1008FF13, MediaKey::volumeUp},   // XF86AudioRaiseVolume
    {0x1008FF11, MediaKey::volumeDown}, // XF86AudioLowerVolume
    {0x1008FF12, MediaKey::mute},       // XF86AudioMute
    {0x1008FF14, MediaKey::playPause},  // XF86AudioPlay
    {0x1008FF17, MediaKey::next},       // XF86AudioNext
    {0x1008FF16, MediaKey::previous},   // XF86AudioPrev
}};

constexpr xcb_keysym_t kNumLock = 0xFF7F;
constexpr xcb_keysym_t kScrollLock = 0xFF14;

constexpr std::uint8_t kXkbNewKeyboardNotify = 0;
constexpr std::uint8_t kXkbMapNotify = 1;

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};
template <typename T> using XcbPtr = std::unique_ptr<T, FreeDeleter>;

struct KeySymbolsDeleter {
    void operator()(xcb_key_symbols_t *s) const { xcb_key_symbols_free(s); }
};
using KeySymbols = std::unique_ptr<xcb_key_symbols_t, KeySymbolsDeleter>;

std::vector<xcb_keycode_t> keycodesFor(xcb_key_symbols_t *symbols, xcb_keysym_t keysym) {
    std::vector<xcb_keycode_t> codes;
    XcbPtr<xcb_keycode_t> list(xcb_key_symbols_get_keycode(symbols, keysym));
    for (auto *k = list.get(); k && *k != XCB_NO_SYMBOL; ++k)
        codes.push_back(*k);
    return codes;
}

// The ModN a lock keysym sits on, from the modifier map; 0 when it sits on none.
std::uint16_t modifierMaskFor(xcb_connection_t *c, xcb_key_symbols_t *symbols,
                              xcb_keysym_t keysym) {
    const auto wanted = keycodesFor(symbols, keysym);
    if (wanted.empty())
        return 0;
    XcbPtr<xcb_get_modifier_mapping_reply_t> reply(
        xcb_get_modifier_mapping_reply(c, xcb_get_modifier_mapping(c), nullptr));
    if (!reply)
        return 0;
    const auto *codes = xcb_get_modifier_mapping_keycodes(reply.get());
    const int perModifier = reply->keycodes_per_modifier;
    for (int mod = 0; mod < 8; ++mod) {
        for (int i = 0; i < perModifier; ++i) {
            const auto code = codes[mod * perModifier + i];
            if (code != 0 && std::find(wanted.begin(), wanted.end(), code) != wanted.end())
                return static_cast<std::uint16_t>(1u << mod);
        }
    }
    return 0;
}

} // namespace

X11KeyTap::~X11KeyTap() {
    disable();
}

bool X11KeyTap::enable(Handler handler) {
    disable();
    refusal_ = Refusal::none;

    auto *x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    connection_ = x11 ? x11->connection() : nullptr;
    if (!connection_) {
        refusal_ = Refusal::noX11;
        return false;
    }

    roots_.clear();
    for (auto it = xcb_setup_roots_iterator(xcb_get_setup(connection_)); it.rem;
         xcb_screen_next(&it))
        roots_.push_back(it.data->root);

    // Qt's connection speaks XKB, and the server then skips the core MappingNotify for a new
    // keyboard; its XKB events tell us instead.
    static constexpr char kXkb[] = "XKEYBOARD";
    XcbPtr<xcb_query_extension_reply_t> xkb(xcb_query_extension_reply(
        connection_, xcb_query_extension(connection_, sizeof kXkb - 1, kXkb), nullptr));
    xkbFirstEvent_ = xkb && xkb->present ? xkb->first_event : 0;

    if (!grabAll(Partial::refuse)) {
        refusal_ = Refusal::keysTaken;
        connection_ = nullptr;
        return false;
    }
    handler_ = std::move(handler);
    QCoreApplication::instance()->installNativeEventFilter(this);
    filterInstalled_ = true;
    return true;
}

void X11KeyTap::disable() {
    if (filterInstalled_ && QCoreApplication::instance())
        QCoreApplication::instance()->removeNativeEventFilter(this);
    filterInstalled_ = false;
    ungrabAll();
    handler_ = nullptr;
    connection_ = nullptr;
}

bool X11KeyTap::grabAll(Partial partial) {
    KeySymbols symbols(xcb_key_symbols_alloc(connection_));
    if (!symbols)
        return false;

    keys_.clear();
    for (const auto &key : kMediaKeys) {
        for (auto keycode : keycodesFor(symbols.get(), key.keysym)) {
            // One keycode stands for one key: the first keysym found on it wins.
            const bool known = std::any_of(keys_.begin(), keys_.end(),
                                           [&](const auto &k) { return k.keycode == keycode; });
            if (!known)
                keys_.push_back({keycode, key.key});
        }
    }

    const std::uint16_t locks[] = {
        XCB_MOD_MASK_LOCK,
        modifierMaskFor(connection_, symbols.get(), kNumLock),
        modifierMaskFor(connection_, symbols.get(), kScrollLock),
    };
    std::vector<std::uint16_t> combos;
    for (unsigned subset = 0; subset < 8; ++subset) {
        std::uint16_t mask = 0;
        for (unsigned bit = 0; bit < 3; ++bit)
            if (subset & (1u << bit))
                mask |= locks[bit];
        if (std::find(combos.begin(), combos.end(), mask) == combos.end())
            combos.push_back(mask);
    }

    // Send every grab first, then check them all: one round trip rather than one per grab.
    struct Pending {
        Grab grab;
        xcb_void_cookie_t cookie;
    };
    std::vector<Pending> pending;
    const auto grab = [&](xcb_window_t root, xcb_keycode_t keycode, std::uint16_t mods) {
        pending.push_back({{root, keycode, mods},
                           xcb_grab_key_checked(connection_, 0, root, mods, keycode,
                                                XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC)});
    };
    for (auto root : roots_)
        for (const auto &key : keys_)
            for (auto mods : combos) {
                grab(root, key.keycode, mods);
                // Shift with a volume key steps finely.
                if (key.key == MediaKey::volumeUp || key.key == MediaKey::volumeDown)
                    grab(root, key.keycode, mods | XCB_MOD_MASK_SHIFT);
            }
    bool ok = true;
    for (const auto &p : pending) {
        XcbPtr<xcb_generic_error_t> error(xcb_request_check(connection_, p.cookie));
        if (!error) {
            grabs_.push_back(p.grab);
            continue;
        }
        ok = false;
        if (error->error_code == XCB_ACCESS)
            qCInfo(lcKeys, "keycode %u is grabbed by another program", p.grab.keycode);
        else
            qCWarning(lcKeys, "grabbing keycode %u failed: X error %u", p.grab.keycode,
                      error->error_code);
    }
    if (!ok && partial == Partial::refuse)
        ungrabAll();
    return ok;
}

void X11KeyTap::ungrabAll() {
    if (connection_ && !grabs_.empty()) {
        // Waited for: once this returns, no other client can still run into one of ours.
        std::vector<xcb_void_cookie_t> cookies;
        for (const auto &g : grabs_)
            cookies.push_back(xcb_ungrab_key_checked(connection_, g.keycode, g.root, g.modifiers));
        for (auto cookie : cookies)
            XcbPtr<xcb_generic_error_t>(xcb_request_check(connection_, cookie));
    }
    grabs_.clear();
}

void X11KeyTap::regrab() {
    ungrabAll();
    if (!grabAll(Partial::keep))
        qCWarning(lcKeys, "after a keyboard mapping change another program holds some media "
                          "keys; the others stay captured");
}

bool X11KeyTap::onKey(const xcb_key_press_event_t *event, bool press) {
    // Only what our grabs deliver: those come to a root window, where Qt selects no keys.
    if (std::find(roots_.begin(), roots_.end(), event->event) == roots_.end())
        return false;
    const auto key = std::find_if(keys_.begin(), keys_.end(),
                                  [&](const auto &k) { return k.keycode == event->detail; });
    if (key == keys_.end())
        return false;

    bool repeat = false;
    if (press) {
        repeat = lastReleaseKey_ == event->detail && lastReleaseTime_ == event->time;
    } else {
        lastReleaseKey_ = event->detail;
        lastReleaseTime_ = event->time;
    }
    const KeyEvent out{key->key, press, repeat, (event->state & XCB_MOD_MASK_SHIFT) != 0};
    // A copy: the handler may disable this tap, which resets handler_ under it.
    const Handler handler = handler_;
    return handler && handler(out);
}

bool X11KeyTap::nativeEventFilter(const QByteArray &eventType, void *message, qintptr *) {
    if (!connection_ || eventType != "xcb_generic_event_t")
        return false;
    const auto *event = static_cast<const xcb_generic_event_t *>(message);
    const std::uint8_t type = event->response_type & ~0x80;
    switch (type) {
    case XCB_KEY_PRESS:
        return onKey(reinterpret_cast<const xcb_key_press_event_t *>(event), true);
    case XCB_KEY_RELEASE:
        return onKey(reinterpret_cast<const xcb_key_press_event_t *>(event), false);
    case XCB_MAPPING_NOTIFY: {
        const auto *mapping = reinterpret_cast<const xcb_mapping_notify_event_t *>(event);
        if (mapping->request == XCB_MAPPING_KEYBOARD || mapping->request == XCB_MAPPING_MODIFIER)
            regrab();
        return false; // Qt wants it too
    }
    default:
        break;
    }
    if (xkbFirstEvent_ != 0 && type == xkbFirstEvent_) {
        // Every XKB event shares this event code; the second byte says which it is.
        std::uint8_t xkbType = 0;
        std::memcpy(&xkbType, reinterpret_cast<const std::uint8_t *>(event) + 1, 1);
        if (xkbType == kXkbNewKeyboardNotify || xkbType == kXkbMapNotify)
            regrab();
    }
    return false;
}

} // namespace knobly
