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
        int takeOvers = 0, giveBacks = 0;
        std::function<void()> lose; // the desktop taking the keys back
    };
    explicit FakeKeyTap(std::shared_ptr<Shared> shared) : state(std::move(shared)) {}
    ~FakeKeyTap() override { state->handler = nullptr; }
    bool enable(Handler handler) override {
        ++state->enables;
        if (state->refuse)
            return false;
        state->handler = std::move(handler);
        state->lose = [this] { lost(); };
        return true;
    }
    void disable() override { state->handler = nullptr; }
    Refusal lastRefusal() const override { return state->refuse ? state->refusal : Refusal::none; }
    QString holderDescription() const override { return QStringLiteral("Audio Volume"); }
    // Only keys the desktop's own volume control holds can be taken over.
    bool takeOver() override {
        ++state->takeOvers;
        if (state->refusal != Refusal::heldByDesktop)
            return false;
        state->refuse = false;
        return true;
    }
    void giveBack() override { ++state->giveBacks; }
    const std::shared_ptr<Shared> state;
};

// Presses a media key; true when the press was taken from the desktop.
inline bool pressKey(const FakeKeyTap::Shared &keys, MediaKey key, bool fine = false) {
    return keys.handler && keys.handler(KeyEvent{key, true, false, fine});
}

} // namespace knobly::test
