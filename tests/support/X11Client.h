#pragma once

// Another program on the same X display, on a connection of its own: it holds grabs, owns a
// window with the keyboard focus and sees the keys nobody took.
#include <QElapsedTimer>

#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>

#include <poll.h>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace knobly::test {

template <typename T> struct Freed {
    void operator()(T *p) const { std::free(p); }
};
template <typename T> using XcbPtr = std::unique_ptr<T, Freed<T>>;

class OtherClient {
public:
    static constexpr int kWaitMs = 5000;

    OtherClient() {
        c_ = xcb_connect(nullptr, nullptr);
        if (xcb_connection_has_error(c_))
            return;
        root_ = xcb_setup_roots_iterator(xcb_get_setup(c_)).data->root;
        symbols_ = xcb_key_symbols_alloc(c_);
    }
    ~OtherClient() {
        if (symbols_)
            xcb_key_symbols_free(symbols_);
        xcb_disconnect(c_);
    }
    OtherClient(const OtherClient &) = delete;
    OtherClient &operator=(const OtherClient &) = delete;

    bool ok() const { return !xcb_connection_has_error(c_) && symbols_; }
    xcb_window_t root() const { return root_; }

    std::vector<xcb_keycode_t> keycodes(xcb_keysym_t keysym) const {
        std::vector<xcb_keycode_t> out;
        XcbPtr<xcb_keycode_t> codes(xcb_key_symbols_get_keycode(symbols_, keysym));
        for (auto *k = codes.get(); k && *k != XCB_NO_SYMBOL; ++k)
            out.push_back(*k);
        return out;
    }
    // The first key that makes `keysym`; 0 when none does.
    xcb_keycode_t keycode(xcb_keysym_t keysym) const {
        const auto codes = keycodes(keysym);
        return codes.empty() ? 0 : codes.front();
    }

    // No symbol at all on the key, in any of the four columns.
    bool unused(xcb_keycode_t keycode) const {
        for (int col = 0; col < 4; ++col)
            if (xcb_key_symbols_get_keysym(symbols_, keycode, col) != XCB_NO_SYMBOL)
                return false;
        return true;
    }

    // A mapped window of ours: keys nobody grabs come here once it has the focus.
    bool mapWindow() {
        window_ = xcb_generate_id(c_);
        const std::uint32_t mask =
            XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_KEY_RELEASE | XCB_EVENT_MASK_STRUCTURE_NOTIFY;
        xcb_create_window(c_, XCB_COPY_FROM_PARENT, window_, root_, 0, 0, 100, 100, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK,
                          &mask);
        xcb_map_window(c_, window_);
        xcb_flush(c_);
        return nextEvent([](const xcb_generic_event_t *e) {
            return (e->response_type & ~0x80) == XCB_MAP_NOTIFY;
        });
    }
    // The keyboard focus to our window (mapped first).
    bool takeFocus() {
        XcbPtr<xcb_generic_error_t> error(
            xcb_request_check(c_, xcb_set_input_focus_checked(c_, XCB_INPUT_FOCUS_POINTER_ROOT,
                                                              window_, XCB_CURRENT_TIME)));
        return !error;
    }

    // 0 when the grab was had, else the X error code.
    int grab(xcb_keycode_t keycode, std::uint16_t modifiers) {
        XcbPtr<xcb_generic_error_t> error(
            xcb_request_check(c_, xcb_grab_key_checked(c_, 0, root_, modifiers, keycode,
                                                       XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC)));
        return error ? error->error_code : 0;
    }

    struct Key {
        bool press;
        xcb_keycode_t keycode;
        std::uint16_t state;
    };
    // Key events that reach our window, up to and including the release of `last`.
    std::optional<std::vector<Key>> keysUntilReleaseOf(xcb_keycode_t last) {
        std::vector<Key> keys;
        const bool seen = nextEvent([&](const xcb_generic_event_t *e) {
            const auto type = e->response_type & ~0x80;
            if (type != XCB_KEY_PRESS && type != XCB_KEY_RELEASE)
                return false;
            const auto *k = reinterpret_cast<const xcb_key_press_event_t *>(e);
            keys.push_back({type == XCB_KEY_PRESS, k->detail, k->state});
            return type == XCB_KEY_RELEASE && k->detail == last;
        });
        if (!seen)
            return std::nullopt;
        return keys;
    }

private:
    bool nextEvent(const std::function<bool(const xcb_generic_event_t *)> &wanted) {
        QElapsedTimer clock;
        clock.start();
        while (!xcb_connection_has_error(c_)) {
            while (XcbPtr<xcb_generic_event_t> e{xcb_poll_for_event(c_)})
                if (wanted(e.get()))
                    return true;
            const auto left = kWaitMs - clock.elapsed();
            if (left <= 0)
                return false;
            pollfd fd{xcb_get_file_descriptor(c_), POLLIN, 0};
            ::poll(&fd, 1, static_cast<int>(left));
        }
        return false;
    }

    xcb_connection_t *c_ = nullptr;
    xcb_window_t root_ = 0;
    xcb_window_t window_ = 0;
    xcb_key_symbols_t *symbols_ = nullptr;
};

} // namespace knobly::test
