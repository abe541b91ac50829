#pragma once

// A key tap that a test presses keys on. What it saw lives apart from it, so that it outlives
// the interceptor that owns the tap.
#include "KeyTap.h"

namespace knobly::test {

class FakeKeyTap final : public KeyTap {
public:
    struct Shared {
        bool refuse = false;
        Refusal refusal = Refusal::keysTaken;
        Handler handler;
        int enables = 0;
        std::function<void()> lose; // the desktop taking the keys back
    };
    explicit FakeKeyTap(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}
    ~FakeKeyTap() override { shared_->handler = nullptr; }
    bool enable(Handler handler) override {
        ++shared_->enables;
        if (shared_->refuse)
            return false;
        shared_->handler = std::move(handler);
        shared_->lose = [this] { lost(); };
        return true;
    }
    void disable() override { shared_->handler = nullptr; }
    Refusal lastRefusal() const override {
        return shared_->refuse ? shared_->refusal : Refusal::none;
    }

private:
    std::shared_ptr<Shared> shared_;
};

// Presses a media key (down, then up); true when the press was taken from the desktop.
inline bool pressKey(const FakeKeyTap::Shared &keys, MediaKey key, bool fine = false) {
    const bool taken = keys.handler && keys.handler(KeyEvent{key, true, false, fine});
    if (keys.handler)
        keys.handler(KeyEvent{key, false, false, fine});
    return taken;
}

} // namespace knobly::test
