#include "MediaKeyInterceptor.h"
#include "FakeKeyTap.h"

#include <gtest/gtest.h>

#include <array>

using namespace knobly;
using test::FakeKeyTap;

namespace {

enum Callback { volumeUp, volumeDown, mute, playPause, next, prev, fineUp, fineDown };

struct Counts {
    std::array<int, 8> calls{};
    void attach(MediaKeyInterceptor &m, bool fine) {
        m.onVolumeUp = [this] { ++calls[volumeUp]; };
        m.onVolumeDown = [this] { ++calls[volumeDown]; };
        m.onMute = [this] { ++calls[mute]; };
        m.onPlayPause = [this] { ++calls[playPause]; };
        m.onNext = [this] { ++calls[next]; };
        m.onPrev = [this] { ++calls[prev]; };
        if (fine) {
            m.onFineVolumeUp = [this] { ++calls[fineUp]; };
            m.onFineVolumeDown = [this] { ++calls[fineDown]; };
        }
    }
};

} // namespace

// Presses act and are taken, repeats too; releases go on untouched and call nothing. With
// Shift, the volume keys call the fine callbacks where they are set.
TEST(MediaKeyInterceptor, DecidesEveryEventByTheTable) {
    const std::tuple<MediaKey, Callback, Callback> keys[] = {
        {MediaKey::volumeUp, volumeUp, fineUp}, {MediaKey::volumeDown, volumeDown, fineDown},
        {MediaKey::mute, mute, mute},           {MediaKey::playPause, playPause, playPause},
        {MediaKey::next, next, next},           {MediaKey::previous, prev, prev},
    };
    for (const auto &[key, callback, fineCallback] : keys) {
        for (const int variant : {0, 1, 2, 3}) { // plain, repeat, Shift, Shift without fine
            for (const bool down : {true, false}) {
                SCOPED_TRACE(::testing::Message() << int(key) << " variant " << variant << down);
                MediaKeyInterceptor interceptor(nullptr);
                Counts counts;
                counts.attach(interceptor, variant != 3);
                const bool fine = variant >= 2;
                EXPECT_EQ(interceptor.handle(KeyEvent{key, down, variant == 1, fine}), down);
                const Callback expected = variant == 2 ? fineCallback : callback;
                for (int i = 0; i < 8; ++i)
                    EXPECT_EQ(counts.calls[i], down && i == expected ? 1 : 0) << "callback " << i;
            }
        }
    }
}

TEST(MediaKeyInterceptor, StartStopAndRefusalDriveTheTap) {
    auto tap = std::make_shared<FakeKeyTap::Shared>();
    tap->refuse = true;
    {
        MediaKeyInterceptor interceptor(std::make_unique<FakeKeyTap>(tap));
        EXPECT_FALSE(interceptor.start());
        EXPECT_FALSE(interceptor.isActive());
        EXPECT_EQ(interceptor.lastRefusal(), KeyTap::Refusal::keysTaken);

        tap->refuse = false;
        ASSERT_TRUE(interceptor.start());
        EXPECT_TRUE(interceptor.start()) << "already running";
        EXPECT_EQ(tap->enables, 2);
        ASSERT_TRUE(tap->handler);
        EXPECT_TRUE(tap->handler(KeyEvent{MediaKey::next, true}));
        interceptor.stop();
        interceptor.stop();
        EXPECT_FALSE(interceptor.isActive());
        EXPECT_FALSE(tap->handler);
        ASSERT_TRUE(interceptor.start());
    }
    EXPECT_FALSE(tap->handler) << "destruction lets the keys go";
    MediaKeyInterceptor without(nullptr);
    EXPECT_FALSE(without.start());
}
