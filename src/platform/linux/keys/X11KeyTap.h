#pragma once

#include "KeyTap.h"

#include <QAbstractNativeEventFilter>

#include <xcb/xcb.h>

#include <cstdint>
#include <vector>

namespace knobly {

// The media keys on X11: passive grabs on every root window for each keycode the six
// keysyms sit on, under every combination of the lock modifiers, read back through Qt's own
// xcb connection by a native event filter.
class X11KeyTap final : public KeyTap, private QAbstractNativeEventFilter {
public:
    X11KeyTap() = default;
    ~X11KeyTap() override;
    X11KeyTap(const X11KeyTap &) = delete;
    X11KeyTap &operator=(const X11KeyTap &) = delete;

    bool enable(Handler handler) override;
    void disable() override;
    Refusal lastRefusal() const override { return refusal_; }

private:
    struct Grab {
        xcb_window_t root;
        xcb_keycode_t keycode;
        std::uint16_t modifiers;
    };
    struct GrabbedKey {
        xcb_keycode_t keycode;
        MediaKey key;
    };

    bool nativeEventFilter(const QByteArray &eventType, void *message, qintptr *result) override;
    // All or nothing when capture is switched on; after a keyboard mapping change whatever
    // can be had is kept, since dropping every key would leave capture on holding none.
    enum class Partial { refuse, keep };
    bool grabAll(Partial partial);
    void ungrabAll();
    bool onKey(const xcb_key_press_event_t *event, bool press);
    void regrab();

    xcb_connection_t *connection_ = nullptr;
    Handler handler_;
    Refusal refusal_ = Refusal::none;
    bool filterInstalled_ = false;
    std::uint8_t xkbFirstEvent_ = 0; // 0: no XKB on this server
    std::vector<xcb_window_t> roots_;
    std::vector<Grab> grabs_;
    std::vector<GrabbedKey> keys_;
    // Qt leaves detectable auto-repeat off, so a repeat is a release and a press of the same
    // key with the same timestamp.
    xcb_keycode_t lastReleaseKey_ = 0;
    xcb_timestamp_t lastReleaseTime_ = 0;
};

} // namespace knobly
