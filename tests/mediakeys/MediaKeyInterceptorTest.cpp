#include "MediaKeyInterceptor.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

using knobly::KeyEvent;
using knobly::KeyTap;
using knobly::MediaKey;
using knobly::MediaKeyInterceptor;

namespace {

// What a fake tap saw, kept apart from the tap so it outlives the interceptor that owns it.
struct TapLog {
    bool accept = true;
    KeyTap::Refusal refusal = KeyTap::Refusal::keysTaken;
    int enables = 0;
    int disables = 0;
    KeyTap::Handler handler;
};

class FakeTap final : public KeyTap {
public:
    explicit FakeTap(std::shared_ptr<TapLog> log) : log_(std::move(log)) {}
    ~FakeTap() override { log_->handler = nullptr; }
    bool enable(Handler handler) override {
        ++log_->enables;
        if (!log_->accept)
            return false;
        log_->handler = std::move(handler);
        return true;
    }
    void disable() override {
        ++log_->disables;
        log_->handler = nullptr;
    }
    Refusal lastRefusal() const override { return log_->accept ? Refusal::none : log_->refusal; }

private:
    std::shared_ptr<TapLog> log_;
};

enum Callback { volumeUp, volumeDown, mute, playPause, next, prev, none };
constexpr int kCallbacks = 6;

struct Counts {
    std::array<int, kCallbacks> calls{};
    void attach(MediaKeyInterceptor &m) {
        m.onVolumeUp = [this] { ++calls[volumeUp]; };
        m.onVolumeDown = [this] { ++calls[volumeDown]; };
        m.onMute = [this] { ++calls[mute]; };
        m.onPlayPause = [this] { ++calls[playPause]; };
        m.onNext = [this] { ++calls[next]; };
        m.onPrev = [this] { ++calls[prev]; };
    }
};

} // namespace

// Presses act and are taken, repeats too; releases go on untouched and call nothing.
TEST(MediaKeyInterceptor, DecidesEveryEventByTheTable) {
    using knobly::MediaKey;
    const std::pair<MediaKey, Callback> keys[] = {
        {MediaKey::volumeUp, volumeUp}, {MediaKey::volumeDown, volumeDown},
        {MediaKey::mute, mute},         {MediaKey::playPause, playPause},
        {MediaKey::next, next},         {MediaKey::previous, prev},
    };
    for (const bool callbacksSet : {true, false}) {
        for (const auto &[key, callback] : keys) {
            for (const bool down : {true, false}) {
                for (const bool repeat : {false, true}) {
                    SCOPED_TRACE(::testing::Message() << int(key) << (down ? " down" : " up")
                                                      << (repeat ? " repeat" : "")
                                                      << (callbacksSet ? "" : " (no callbacks)"));
                    MediaKeyInterceptor interceptor(nullptr);
                    Counts counts;
                    if (callbacksSet)
                        counts.attach(interceptor);
                    EXPECT_EQ(interceptor.handle(KeyEvent{key, down, repeat}), down);
                    for (int i = 0; i < kCallbacks; ++i)
                        EXPECT_EQ(counts.calls[i], (callbacksSet && down && i == callback) ? 1 : 0)
                            << "callback " << i;
                }
            }
        }
    }
}

TEST(MediaKeyInterceptor, RefusedTapLeavesItInactive) {
    auto log = std::make_shared<TapLog>();
    log->accept = false;
    MediaKeyInterceptor interceptor(std::make_unique<FakeTap>(log));

    EXPECT_FALSE(interceptor.start());
    EXPECT_FALSE(interceptor.isActive());
    EXPECT_EQ(interceptor.lastRefusal(), KeyTap::Refusal::keysTaken);
    EXPECT_EQ(log->enables, 1);
}

TEST(MediaKeyInterceptor, StartHandsTheTapTheDecision) {
    auto log = std::make_shared<TapLog>();
    MediaKeyInterceptor interceptor(std::make_unique<FakeTap>(log));
    Counts counts;
    counts.attach(interceptor);

    ASSERT_TRUE(interceptor.start());
    EXPECT_TRUE(interceptor.isActive());
    EXPECT_EQ(interceptor.lastRefusal(), KeyTap::Refusal::none);
    ASSERT_TRUE(log->handler);

    EXPECT_TRUE(log->handler(KeyEvent{MediaKey::next, true}));   // taken
    EXPECT_FALSE(log->handler(KeyEvent{MediaKey::next, false})); // passed on
    EXPECT_EQ(counts.calls[next], 1);

    // Already running: no second enable.
    EXPECT_TRUE(interceptor.start());
    EXPECT_EQ(log->enables, 1);
}

TEST(MediaKeyInterceptor, StopIsIdempotentAndTakesTheHandlerAway) {
    auto log = std::make_shared<TapLog>();
    MediaKeyInterceptor interceptor(std::make_unique<FakeTap>(log));
    ASSERT_TRUE(interceptor.start());

    interceptor.stop();
    EXPECT_FALSE(interceptor.isActive());
    EXPECT_FALSE(log->handler);
    interceptor.stop();
    EXPECT_FALSE(interceptor.isActive());
    EXPECT_FALSE(log->handler);

    // And it starts again.
    ASSERT_TRUE(interceptor.start());
    EXPECT_TRUE(log->handler);
    EXPECT_EQ(log->enables, 2);
}

TEST(MediaKeyInterceptor, StopWithoutStartIsFine) {
    auto log = std::make_shared<TapLog>();
    MediaKeyInterceptor interceptor(std::make_unique<FakeTap>(log));
    interceptor.stop();
    EXPECT_FALSE(interceptor.isActive());
    EXPECT_EQ(log->enables, 0);
}

TEST(MediaKeyInterceptor, DestructionDisablesTheTap) {
    auto log = std::make_shared<TapLog>();
    {
        MediaKeyInterceptor interceptor(std::make_unique<FakeTap>(log));
        ASSERT_TRUE(interceptor.start());
        ASSERT_TRUE(log->handler);
    }
    EXPECT_GE(log->disables, 1);
    EXPECT_FALSE(log->handler);
}

TEST(MediaKeyInterceptor, WithoutTapNothingStarts) {
    MediaKeyInterceptor interceptor(nullptr);
    EXPECT_FALSE(interceptor.start());
    EXPECT_FALSE(interceptor.isActive());
    interceptor.stop();
}
