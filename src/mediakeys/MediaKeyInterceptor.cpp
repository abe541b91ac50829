#include "MediaKeyInterceptor.h"

namespace knobly {

namespace {

constexpr std::int64_t kSystemDefined = 14;
constexpr std::int32_t kAuxControlButtons = 8;
constexpr std::uint64_t kKeyDown = 0x0A;

} // namespace

MediaKeyInterceptor::MediaKeyInterceptor(std::unique_ptr<KeyTap> tap) : tap_(std::move(tap)) {}

MediaKeyInterceptor::~MediaKeyInterceptor() {
    stop();
}

bool MediaKeyInterceptor::start() {
    if (isActive_)
        return true;
    if (!tap_)
        return false;
    // The tap owns the handler; it is dropped again in stop(), before this object can go.
    isActive_ = tap_->enable([this](const SystemEvent &event) { return !handle(event); });
    return isActive_;
}

void MediaKeyInterceptor::stop() {
    // Always asked of the tap, so one left half-enabled is cleaned up too.
    if (tap_)
        tap_->disable();
    isActive_ = false;
}

KeyTap::Refusal MediaKeyInterceptor::lastRefusal() const {
    return tap_ ? tap_->lastRefusal() : KeyTap::Refusal::none;
}

std::optional<SystemEvent> MediaKeyInterceptor::handle(const SystemEvent &event) {
    // A tap switched off by the system: the X11 grab never is, so there is nothing to
    // re-enable; the event itself is not ours.
    if (event.type == -1 || event.type == -2)
        return event;
    if (event.type != kSystemDefined || event.subtype != kAuxControlButtons)
        return event;

    const auto code = (event.data1 & 0xFFFF0000u) >> 16;
    const auto state = (event.data1 & 0xFF00u) >> 8;
    // Only presses act; releases go on so nobody sees a key stuck down.
    if (state != kKeyDown)
        return event;

    const std::function<void()> *callback = nullptr;
    switch (code) {
    case 0:
        callback = &onVolumeUp;
        break;
    case 1:
        callback = &onVolumeDown;
        break;
    case 7:
        callback = &onMute;
        break;
    case 16:
        callback = &onPlayPause;
        break;
    case 17:
        callback = &onNext;
        break;
    case 18:
        callback = &onPrev;
        break;
    default:
        return event;
    }
    if (*callback)
        (*callback)();
    return std::nullopt;
}

} // namespace knobly
