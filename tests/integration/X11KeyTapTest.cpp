// The X11 key tap against a real X server (with-xvfb.sh gives each run a private Xvfb):
// keys come from xdotool through XTEST, so they take the server's normal path through our
// passive grabs; a second connection plays the other program on the desktop.
#include "X11KeyTap.h"
#include "X11Client.h"

#include <QAbstractEventDispatcher>
#include <QAbstractNativeEventFilter>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QGuiApplication>
#include <QProcess>
#include <QStandardPaths>
#include <QTimer>

#include <gtest/gtest.h>
#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>

#include <poll.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

using knobly::KeyEvent;
using knobly::KeyTap;
using knobly::test::OtherClient;

namespace {

constexpr int kWaitMs = 5000;

using Key = knobly::MediaKey;
struct TestKey {
    const char *name;
    xcb_keysym_t keysym;
    Key key;
};
const TestKey kKeys[] = {
    {"XF86AudioRaiseVolume", 0x1008FF13, Key::volumeUp},
    {"XF86AudioLowerVolume", 0x1008FF11, Key::volumeDown},
    {"XF86AudioMute", 0x1008FF12, Key::mute},
    {"XF86AudioPlay", 0x1008FF14, Key::playPause},
    {"XF86AudioNext", 0x1008FF17, Key::next},
    {"XF86AudioPrev", 0x1008FF16, Key::previous},
};
constexpr xcb_keysym_t kLetterA = 0x61;

bool run(const QString &program, const QStringList &args) {
    return QProcess::execute(program, args) == 0;
}

bool xdotool(const QStringList &args) {
    return run(QStringLiteral("xdotool"), args);
}

// Runs the Qt event loop until done() holds or the bound passes.
bool waitUntil(const std::function<bool()> &done) {
    QElapsedTimer clock;
    clock.start();
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done() || clock.elapsed() > kWaitMs)
            loop.quit();
    });
    check.start(5);
    if (!done())
        loop.exec();
    return done();
}

// What the tap hands its handler.
struct Seen {
    std::vector<KeyEvent> events;
    bool drop = true;
    KeyTap::Handler handler() {
        return [this](const KeyEvent &e) {
            events.push_back(e);
            return drop;
        };
    }
};

KeyEvent event(Key key, bool down, bool repeat = false) {
    return KeyEvent{key, down, repeat};
}

class X11KeyTapTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty())
            GTEST_SKIP() << "xdotool is not installed";
        ASSERT_TRUE(other.ok());
        ASSERT_TRUE(other.mapWindow());
        ASSERT_TRUE(other.takeFocus());
        letterA = other.keycode(kLetterA);
        ASSERT_NE(letterA, 0);
    }

    // Types `key` and then a plain "a"; returns what the other program saw up to the "a".
    std::vector<OtherClient::Key> typeThenA(const char *key) {
        EXPECT_TRUE(
            xdotool({QStringLiteral("key"), QString::fromLatin1(key), QStringLiteral("a")}));
        auto keys = other.keysUntilReleaseOf(letterA);
        EXPECT_TRUE(keys) << "the plain key never reached the other program";
        return keys.value_or(std::vector<OtherClient::Key>{});
    }

    OtherClient other;
    xcb_keycode_t letterA = 0;
};

TEST_F(X11KeyTapTest, EachMediaKeyReachesTheHandlerAndNobodyElse) {
    auto tap = KeyTap::create();
    Seen seen;
    ASSERT_TRUE(tap->enable(seen.handler()));
    EXPECT_EQ(tap->lastRefusal(), KeyTap::Refusal::none);

    for (const auto &key : kKeys) {
        SCOPED_TRACE(key.name);
        seen.events.clear();
        const auto keys = typeThenA(key.name);
        // The "a" comes after the media key, so a leak would already be in the list.
        ASSERT_EQ(keys.size(), 2u);
        EXPECT_EQ(keys[0].keycode, letterA);
        ASSERT_TRUE(waitUntil([&] { return seen.events.size() >= 2; }));
        ASSERT_EQ(seen.events.size(), 2u);
        EXPECT_EQ(seen.events[0], event(key.key, true));
        EXPECT_EQ(seen.events[1], event(key.key, false));
    }
    tap->disable();
}

TEST_F(X11KeyTapTest, LockModifiersDoNotLetKeysThrough) {
    struct Lock {
        const char *name;
        QStringList keys;
        std::uint16_t mask;
    };
    const Lock locks[] = {
        {"NumLock", {QStringLiteral("Num_Lock")}, XCB_MOD_MASK_2},
        {"CapsLock", {QStringLiteral("Caps_Lock")}, XCB_MOD_MASK_LOCK},
        {"both",
         {QStringLiteral("Num_Lock"), QStringLiteral("Caps_Lock")},
         XCB_MOD_MASK_2 | XCB_MOD_MASK_LOCK},
    };
    auto tap = KeyTap::create();
    Seen seen;
    ASSERT_TRUE(tap->enable(seen.handler()));

    for (const auto &lock : locks) {
        SCOPED_TRACE(lock.name);
        seen.events.clear();
        for (const auto &k : lock.keys)
            ASSERT_TRUE(xdotool({QStringLiteral("key"), k}));
        const auto keys = typeThenA("XF86AudioRaiseVolume");
        // Toggle back first, so a failure below leaves the next case clean.
        for (const auto &k : lock.keys)
            ASSERT_TRUE(xdotool({QStringLiteral("key"), k}));

        // The lock events themselves, then the "a" carrying the locked state.
        ASSERT_GE(keys.size(), 2u);
        const auto &a = keys[keys.size() - 2];
        EXPECT_TRUE(a.press);
        EXPECT_EQ(a.keycode, letterA);
        EXPECT_EQ(a.state & lock.mask, lock.mask) << "the lock was not on";
        for (const auto &k : keys)
            EXPECT_NE(k.keycode, other.keycode(kKeys[0].keysym)) << "the media key leaked";

        ASSERT_TRUE(waitUntil([&] { return seen.events.size() >= 2; }));
        EXPECT_EQ(seen.events[0], event(Key::volumeUp, true));
        EXPECT_EQ(seen.events[1], event(Key::volumeUp, false));
    }
}

TEST_F(X11KeyTapTest, AfterDisableTheKeysGoBackToTheDesktop) {
    auto tap = KeyTap::create();
    Seen seen;
    ASSERT_TRUE(tap->enable(seen.handler()));
    tap->disable();
    tap->disable(); // twice is fine

    const auto raise = other.keycode(kKeys[0].keysym);
    const auto keys = typeThenA("XF86AudioRaiseVolume");
    ASSERT_EQ(keys.size(), 4u);
    EXPECT_TRUE(keys[0].press);
    EXPECT_EQ(keys[0].keycode, raise);
    EXPECT_FALSE(keys[1].press);
    EXPECT_EQ(keys[1].keycode, raise);
    QCoreApplication::processEvents();
    EXPECT_TRUE(seen.events.empty());

    // And every key is free to be had.
    for (const auto &key : kKeys)
        for (auto code : other.keycodes(key.keysym))
            EXPECT_EQ(other.grab(code, XCB_MOD_MASK_ANY), 0) << key.name;
}

TEST_F(X11KeyTapTest, AKeyHeldElsewhereRefusesAllAndKeepsNothing) {
    // Every keycode of Play, so no grab of ours on it can succeed.
    for (auto code : other.keycodes(0x1008FF14))
        ASSERT_EQ(other.grab(code, 0), 0);

    auto tap = KeyTap::create();
    Seen seen;
    EXPECT_FALSE(tap->enable(seen.handler()));
    EXPECT_EQ(tap->lastRefusal(), KeyTap::Refusal::keysTaken);

    // Nothing of ours is left: AnyModifier collides with any grab of the same key.
    for (const auto &key : kKeys) {
        if (key.keysym == 0x1008FF14)
            continue;
        for (auto code : other.keycodes(key.keysym))
            EXPECT_EQ(other.grab(code, XCB_MOD_MASK_ANY), 0) << key.name;
    }
    // Nor does a key reach the refused handler: the other program, now holding it, has it.
    const auto keys = typeThenA("XF86AudioRaiseVolume");
    ASSERT_EQ(keys.size(), 4u);
    EXPECT_TRUE(keys[0].press);
    EXPECT_EQ(keys[0].keycode, other.keycode(kKeys[0].keysym));
    QCoreApplication::processEvents();
    EXPECT_TRUE(seen.events.empty());
}

TEST_F(X11KeyTapTest, RefusalIsReportedAgainstTheGrab) {
    // The other way round: ours first, then the other program is the one refused.
    auto tap = KeyTap::create();
    Seen seen;
    ASSERT_TRUE(tap->enable(seen.handler()));
    for (const auto &key : kKeys)
        for (auto code : other.keycodes(key.keysym))
            EXPECT_EQ(other.grab(code, 0), XCB_ACCESS) << key.name;
}

// Filters running after the tap's: they see an event only when the tap passed it on.
class Observer : public QAbstractNativeEventFilter {
public:
    std::function<void(const xcb_generic_event_t *)> onEvent;
    bool nativeEventFilter(const QByteArray &type, void *message, qintptr *) override {
        if (type == "xcb_generic_event_t" && onEvent)
            onEvent(static_cast<const xcb_generic_event_t *>(message));
        return false;
    }
};

TEST_F(X11KeyTapTest, ARepeatIsAPressAfterAReleaseAtTheSameTime) {
    auto tap = KeyTap::create();
    Seen seen;
    ASSERT_TRUE(tap->enable(seen.handler()));
    const auto mute = other.keycode(0x1008FF12);

    // Fed straight to the application's filters, as Qt feeds what the server sends.
    auto feed = [&](std::uint8_t type, xcb_window_t window, xcb_timestamp_t time) {
        xcb_key_press_event_t e{};
        e.response_type = type;
        e.detail = mute;
        e.time = time;
        e.root = other.root();
        e.event = window;
        qintptr result = 0;
        return QAbstractEventDispatcher::instance()->filterNativeEvent("xcb_generic_event_t", &e,
                                                                       &result);
    };
    struct Step {
        std::uint8_t type;
        xcb_timestamp_t time;
        KeyEvent expected;
    };
    const Step steps[] = {
        {XCB_KEY_PRESS, 100, event(Key::mute, true)},
        {XCB_KEY_RELEASE, 200, event(Key::mute, false)},
        {XCB_KEY_PRESS, 200, event(Key::mute, true, true)},
        {XCB_KEY_RELEASE, 233, event(Key::mute, false)},
        {XCB_KEY_PRESS, 233, event(Key::mute, true, true)},
        {XCB_KEY_RELEASE, 300, event(Key::mute, false)},
        {XCB_KEY_PRESS, 301, event(Key::mute, true)},
    };
    for (const auto &step : steps) {
        SCOPED_TRACE(step.time);
        seen.events.clear();
        EXPECT_TRUE(feed(step.type, other.root(), step.time)); // consumed: the handler drops
        ASSERT_EQ(seen.events.size(), 1u);
        EXPECT_EQ(seen.events[0], step.expected);
    }

    // Not from our grab (a window of Qt's own): not ours to take.
    seen.events.clear();
    EXPECT_FALSE(feed(XCB_KEY_PRESS, other.root() + 1, 400));
    EXPECT_TRUE(seen.events.empty());

    // Passed on by the handler: Qt gets it.
    seen.drop = false;
    EXPECT_FALSE(feed(XCB_KEY_PRESS, other.root(), 500));
    EXPECT_EQ(seen.events.size(), 1u);
}

// Counts the mapping changes Qt has handled. Filters installed later run earlier, so the
// observer sees a change only after the tap has regrabbed for it.
class KeymapChange : public X11KeyTapTest {
protected:
    void SetUp() override {
        X11KeyTapTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        observer.onEvent = [this](const xcb_generic_event_t *e) {
            if ((e->response_type & ~0x80) == XCB_MAPPING_NOTIFY)
                ++changes;
        };
        qGuiApp->installNativeEventFilter(&observer);
    }
    void TearDown() override { qGuiApp->removeNativeEventFilter(&observer); }

    // Maps a key with xmodmap and waits for the tap to have followed.
    bool remap(xcb_keycode_t keycode, const char *keysym) {
        const int before = changes;
        return run(QStringLiteral("xmodmap"),
                   {QStringLiteral("-e"), QStringLiteral("keycode %1 = %2")
                                              .arg(keycode)
                                              .arg(QString::fromLatin1(keysym))}) &&
               waitUntil([&] { return changes > before; });
    }

    // A keycode with no symbol on it; 0 when there is none.
    xcb_keycode_t spareKeycode() const {
        for (int code = 255; code > 8; --code)
            if (other.unused(static_cast<xcb_keycode_t>(code)))
                return static_cast<xcb_keycode_t>(code);
        return 0;
    }

    Observer observer;
    int changes = 0;
};

TEST_F(KeymapChange, TheTapFollowsAKeyToItsNewKeycode) {
    auto tap = KeyTap::create();
    Seen seen;
    ASSERT_TRUE(tap->enable(seen.handler()));

    // Volume up moves to a keycode it did not have before.
    const auto old = other.keycode(kKeys[0].keysym);
    const auto spare = spareKeycode();
    ASSERT_NE(spare, 0);
    ASSERT_TRUE(remap(spare, "XF86AudioRaiseVolume"));
    ASSERT_TRUE(remap(old, "NoSymbol"));

    const auto keys = typeThenA("XF86AudioRaiseVolume");
    EXPECT_EQ(keys.size(), 2u) << "the key on its new keycode leaked";
    ASSERT_TRUE(waitUntil([&] { return seen.events.size() >= 2; }));
    EXPECT_EQ(seen.events[0], event(Key::volumeUp, true));
}

TEST_F(KeymapChange, AKeyHeldElsewhereCostsOnlyThatKey) {
    auto tap = KeyTap::create();
    Seen seen;
    ASSERT_TRUE(tap->enable(seen.handler()));

    // The other program holds a spare keycode; volume up is then mapped onto it as well.
    const auto spare = spareKeycode();
    ASSERT_NE(spare, 0);
    ASSERT_EQ(other.grab(spare, XCB_MOD_MASK_ANY), 0);
    ASSERT_TRUE(remap(spare, "XF86AudioRaiseVolume"));

    // Every other key is still ours.
    for (const auto &key : kKeys) {
        SCOPED_TRACE(key.name);
        for (auto code : other.keycodes(key.keysym)) {
            if (code != spare) {
                EXPECT_EQ(other.grab(code, 0), XCB_ACCESS);
            }
        }
    }
    const auto keys = typeThenA("XF86AudioMute");
    EXPECT_EQ(keys.size(), 2u) << "mute leaked to the desktop";
    ASSERT_TRUE(waitUntil([&] { return seen.events.size() >= 2; }));
    EXPECT_EQ(seen.events[0], event(Key::mute, true));
}

} // namespace

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (::testing::GTEST_FLAG(list_tests))
        return RUN_ALL_TESTS(); // listing needs no display
    if (!std::getenv("DISPLAY")) {
        std::fprintf(stderr, "no DISPLAY: run under with-xvfb.sh\n");
        return 77;
    }
    // Before the application exists: the platform plugin is picked in its constructor.
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    QGuiApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
