#include "MediaKeyInterceptor.h"

namespace knobly {

MediaKeyInterceptor::MediaKeyInterceptor(std::unique_ptr<KeyTap> tap) : tap_(std::move(tap)) {
    if (tap_)
        tap_->lost = [this] {
            isActive_ = false;
            if (onLost)
                onLost();
        };
}

MediaKeyInterceptor::~MediaKeyInterceptor() {
    stop();
}

bool MediaKeyInterceptor::start() {
    if (isActive_)
        return true;
    if (!tap_)
        return false;
    // The tap owns the handler; it is dropped again in stop(), before this object can go.
    isActive_ = tap_->enable([this](const KeyEvent &event) { return handle(event); });
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

bool MediaKeyInterceptor::handle(const KeyEvent &event) {
    if (!event.down)
        return false;
    const std::function<void()> *callback = nullptr;
    switch (event.key) {
    case MediaKey::volumeUp:
        callback = event.fine && onFineVolumeUp ? &onFineVolumeUp : &onVolumeUp;
        break;
    case MediaKey::volumeDown:
        callback = event.fine && onFineVolumeDown ? &onFineVolumeDown : &onVolumeDown;
        break;
    case MediaKey::mute:
        callback = &onMute;
        break;
    case MediaKey::playPause:
        callback = &onPlayPause;
        break;
    case MediaKey::next:
        callback = &onNext;
        break;
    case MediaKey::previous:
        callback = &onPrev;
        break;
    }
    if (callback && *callback)
        (*callback)();
    return true;
}

} // namespace knobly
