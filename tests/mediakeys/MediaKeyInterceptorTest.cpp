#include "MediaKeyInterceptor.h"
#include "FakeKeyTap.h"

#include <gtest/gtest.h>

using namespace knobly;
using test::FakeKeyTap;

namespace {

// Presses act and are taken, repeats too; releases go on untouched and call nothing. With
// Shift, the volume keys call the fine callbacks where they are set.
TEST(MediaKeyInterceptor, DecidesEveryEventByTheTable) {
    const std::tuple<MediaKey, const char *, const char *> keys[] = {
        {MediaKey::volumeUp, "up", "fineUp"}, {MediaKey::volumeDown, "down", "fineDown"},
        {MediaKey::mute, "mute", "mute"},     {MediaKey::playPause, "play", "play"},
        {MediaKey::next, "next", "next"},     {MediaKey::previous, "prev", "prev"}};
    for (const auto &[key, plain, fine] : keys) {
        for (const int variant : {0, 1, 2, 3}) { // plain, repeat, Shift, Shift without fine
            for (const bool down : {true, false}) {
                std::string calls;
                const auto note = [&calls](const char *name) {
                    return [&calls, name] { calls += name; };
                };
                MediaKeyInterceptor m(nullptr);
                m.onVolumeUp = note("up"), m.onVolumeDown = note("down"), m.onMute = note("mute");
                m.onPlayPause = note("play"), m.onNext = note("next"), m.onPrev = note("prev");
                if (variant != 3)
                    m.onFineVolumeUp = note("fineUp"), m.onFineVolumeDown = note("fineDown");
                EXPECT_EQ(m.handle(KeyEvent{key, down, variant == 1, variant >= 2}), down);
                EXPECT_EQ(calls, down ? (variant == 2 ? fine : plain) : "")
                    << int(key) << " variant " << variant << " down " << down;
            }
        }
    }
}

TEST(MediaKeyInterceptor, StartStopAndRefusalDriveTheTap) {
    auto tap = std::make_shared<FakeKeyTap::Shared>();
    tap->refuse = true;
    {
        MediaKeyInterceptor interceptor(std::make_unique<FakeKeyTap>(tap));
        EXPECT_FALSE(interceptor.start() || interceptor.isActive());
        EXPECT_EQ(interceptor.lastRefusal(), KeyTap::Refusal::keysTaken);
        tap->refuse = false;
        ASSERT_TRUE(interceptor.start());
        EXPECT_TRUE(interceptor.start()) << "already running";
        EXPECT_EQ(tap->enables, 2);
        EXPECT_TRUE(tap->handler && tap->handler(KeyEvent{MediaKey::next, true}));
        interceptor.stop();
        interceptor.stop();
        EXPECT_FALSE(interceptor.isActive() || tap->handler);
        ASSERT_TRUE(interceptor.start());
    }
    EXPECT_FALSE(tap->handler) << "destruction lets the keys go";
    EXPECT_FALSE(MediaKeyInterceptor(nullptr).start());
}

} // namespace
