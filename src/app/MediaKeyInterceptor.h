#pragma once

#include "KeyTap.h"

#include <functional>
#include <memory>

namespace knobly {

// Takes the volume, mute and transport keys away from the desktop while active and calls
// the matching callback on each key press. Callbacks run on the main thread.
class MediaKeyInterceptor {
public:
    std::function<void()> onVolumeUp;
    std::function<void()> onVolumeDown;
    // With Shift held; the plain callbacks serve when these are not set.
    std::function<void()> onFineVolumeUp;
    std::function<void()> onFineVolumeDown;
    std::function<void()> onMute;
    std::function<void()> onPlayPause;
    std::function<void()> onNext;
    std::function<void()> onPrev;
    // The desktop took back keys it had granted, or refused them after start() returned.
    std::function<void()> onLost;

    // The tap is the platform's (KeyTap::create()) in the program; without one nothing starts.
    explicit MediaKeyInterceptor(std::unique_ptr<KeyTap> tap);
    ~MediaKeyInterceptor();

    bool start();
    void stop();
    bool isActive() const { return isActive_; }
    KeyTap::Refusal lastRefusal() const;
    // After Refusal::heldByDesktop: who holds the keys, and moving them to us.
    QString holderDescription() const { return tap_ ? tap_->holderDescription() : QString(); }
    bool takeOver() { return tap_ && tap_->takeOver(); }
    // Keys an earlier run kept go back to the desktop while capture is off.
    void giveBack() {
        if (tap_ && !isActive_)
            tap_->giveBack();
    }

    // The decision for one event: true when it is taken (a press acts), false when it goes
    // on (releases, so that nobody sees a key stuck down).
    bool handle(const KeyEvent &event);

private:
    std::unique_ptr<KeyTap> tap_;
    bool isActive_ = false;
};

} // namespace knobly
