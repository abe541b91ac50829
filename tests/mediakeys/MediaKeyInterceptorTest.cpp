#include "MediaKeyInterceptor.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

using knobly::KeyTap;
using knobly::MediaKeyInterceptor;
using knobly::SystemEvent;

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

std::uint64_t keyData(std::uint64_t code, std::uint64_t state, std::uint64_t flags = 0) {
    return (code << 16) | (state << 8) | flags;
}

SystemEvent mediaKey(std::uint64_t code, std::uint64_t state, std::uint64_t flags = 0) {
    return SystemEvent{14, 8, keyData(code, state, flags)};
}

struct Case {
    std::string name;
    SystemEvent event;
    bool dropped;
    Callback callback; // called once (when set) if dropped; none: nothing is called
};

std::vector<Case> decisionTable() {
    std::vector<Case> cases;
    const std::pair<std::uint64_t, Callback> keys[] = {
        {0, volumeUp}, {1, volumeDown}, {7, mute}, {16, playPause}, {17, next}, {18, prev},
    };
    for (auto [code, callback] : keys) {
        const auto c = std::to_string(code);
        cases.push_back({"code " + c + " down", mediaKey(code, 0x0A), true, callback});
        cases.push_back({"code " + c + " up", mediaKey(code, 0x0B), false, none});
        cases.push_back({"code " + c + " down, repeat", mediaKey(code, 0x0A, 1), true, callback});
        cases.push_back({"code " + c + " up, repeat", mediaKey(code, 0x0B, 1), false, none});
    }
    for (std::uint64_t code : {2, 3, 19, 20}) {
        const auto c = std::to_string(code);
        cases.push_back({"code " + c + " down", mediaKey(code, 0x0A), false, none});
        cases.push_back({"code " + c + " up", mediaKey(code, 0x0B), false, none});
    }
    cases.push_back({"state 0", mediaKey(0, 0x00), false, none});
    cases.push_back({"bits above data1's low word ignored",
                     SystemEvent{14, 8, (1ull << 32) | keyData(7, 0x0A)}, true, mute});
    cases.push_back({"subtype 7", SystemEvent{14, 7, keyData(0, 0x0A)}, false, none});
    cases.push_back({"ordinary key down", SystemEvent{10, 8, keyData(0, 0x0A)}, false, none});
    cases.push_back({"ordinary key, subtype 0", SystemEvent{10, 0, 0}, false, none});
    cases.push_back({"tap off by timeout", SystemEvent{-1, 0, 0}, false, none});
    cases.push_back({"tap off by user input", SystemEvent{-2, 0, 0}, false, none});
    cases.push_back({"tap off, media key data", SystemEvent{-2, 8, keyData(0, 0x0A)}, false, none});
    return cases;
}

} // namespace

TEST(MediaKeyInterceptor, DecidesEveryEventByTheTable) {
    for (const bool callbacksSet : {true, false}) {
        for (const auto &c : decisionTable()) {
            SCOPED_TRACE(c.name + (callbacksSet ? "" : " (no callbacks)"));
            MediaKeyInterceptor interceptor(nullptr);
            Counts counts;
            if (callbacksSet)
                counts.attach(interceptor);

            const auto result = interceptor.handle(c.event);

            EXPECT_EQ(!result.has_value(), c.dropped);
            if (result) {
                // Passed on untouched.
                EXPECT_EQ(result->type, c.event.type);
                EXPECT_EQ(result->subtype, c.event.subtype);
                EXPECT_EQ(result->data1, c.event.data1);
            }
            for (int i = 0; i < kCallbacks; ++i)
                EXPECT_EQ(counts.calls[i], (callbacksSet && i == c.callback) ? 1 : 0)
                    << "callback " << i;
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

    EXPECT_TRUE(log->handler(mediaKey(17, 0x0A)));  // dropped
    EXPECT_FALSE(log->handler(mediaKey(17, 0x0B))); // passed
    EXPECT_FALSE(log->handler(SystemEvent{10, 0, 0}));
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
