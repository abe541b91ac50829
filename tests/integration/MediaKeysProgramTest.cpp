// knobly as a process taking the media keys on a private Xvfb display: keys typed with
// xdotool (XTEST, so they take the server's normal path through knobly's grabs) reach the
// simulated device and nobody else; a second X client plays the other program on the desktop.
// The private session bus carries a stand-in panel watcher and the menu; the network namespace
// has nothing but loopback, for the discovery knobly starts at launch.
#include "BusHarness.h"
#include "DeviceSimulator.h"
#include "ProgramFixture.h"
#include "X11Client.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>

#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <vector>

using devicesim::DeviceSimulator;
using namespace knobly::test;

namespace {

const QString kCapture = QStringLiteral("Capture Media Keys");

constexpr xcb_keysym_t kRaiseVolume = 0x1008FF13;
constexpr xcb_keysym_t kPlay = 0x1008FF14;
constexpr xcb_keysym_t kLetterA = 0x61;

bool xdotool(const QStringList &args) {
    return QProcess::execute(QStringLiteral("xdotool"), args) == 0;
}

// ---------------------------------------------------------------------------------------------
// Fixture

class MediaKeysProgram : public ProgramFixture {
protected:
    void SetUp() override {
        if (QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty())
            GTEST_SKIP() << "xdotool is not installed";
        DeviceSimulator::Options options;
        options.name = QStringLiteral("Kitchen");
        setUpProgram(options, QStringLiteral("step=5\nkeys=true\n"));
        if (IsSkipped() || HasFatalFailure())
            return;

        ASSERT_TRUE(other.ok());
        ASSERT_TRUE(other.mapWindow());
        ASSERT_TRUE(other.takeFocus());
        raise = other.keycode(kRaiseVolume);
        letterA = other.keycode(kLetterA);
        ASSERT_NE(raise, 0);
        ASSERT_NE(letterA, 0);
    }

    QVariant savedKeys() const {
        return QSettings(settingsPath(), QSettings::IniFormat).value(QStringLiteral("keys"));
    }

    // Starts knobly on the Xvfb display and waits for its item; the item's bus name.
    QString startKnobly() {
        QProcessEnvironment env = programEnvironment(QStringLiteral("xcb"));
        env.remove(QStringLiteral("XDG_CURRENT_DESKTOP"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        return ProgramFixture::startKnobly(env);
    }

    // The menu once the device's first answer is in: the slider row carries its volume, so a
    // key now steps from 35.
    std::optional<Row> connectedMenu(const QString &service) {
        std::optional<Row> menu;
        pumpUntil([&] {
            menu = layout(service);
            return menu && menu->find(QStringLiteral("Volume 35%"));
        });
        return menu;
    }

    int captureState(const QString &service) {
        const std::optional<Row> menu = layout(service);
        const Row *row = menu ? menu->find(kCapture) : nullptr;
        return row ? row->toggleState() : -2;
    }

    QStringList volumeCommands() const {
        QStringList found;
        for (const QString &c : sim->commands())
            if (c.startsWith(QLatin1String("setPlayerCmd:vol")))
                found << c;
        return found;
    }

    // Types `keys` and then a plain "a"; what the other program saw up to the "a".
    std::vector<OtherClient::Key> typeThenA(const QStringList &keys) {
        EXPECT_TRUE(other.takeFocus());
        EXPECT_TRUE(
            xdotool(QStringList{QStringLiteral("key")} + keys + QStringList{QStringLiteral("a")}));
        auto seen = other.keysUntilReleaseOf(letterA);
        EXPECT_TRUE(seen) << "the plain key never reached the other program";
        return seen.value_or(std::vector<OtherClient::Key>{});
    }

    // Whether a mapped top-level window titled "Knobly" is on the display, waiting up to
    // `seconds` for one to appear.
    static bool promptShown(int seconds) {
        QProcess search;
        search.start(QStringLiteral("timeout"),
                     {QString::number(seconds), QStringLiteral("xdotool"), QStringLiteral("search"),
                      QStringLiteral("--sync"), QStringLiteral("--onlyvisible"),
                      QStringLiteral("--name"), QStringLiteral("^Knobly$")});
        search.waitForFinished(seconds * 1000 + 5000);
        return search.exitStatus() == QProcess::NormalExit && search.exitCode() == 0 &&
               !search.readAllStandardOutput().trimmed().isEmpty();
    }

    OtherClient other;
    xcb_keycode_t raise = 0;
    xcb_keycode_t letterA = 0;
};

// ---------------------------------------------------------------------------------------------
// Cases

TEST_F(MediaKeysProgram, CapturedKeysReachTheDeviceAndNobodyElse) {
    const QString service = startKnobly();
    ASSERT_FALSE(service.isEmpty()) << "no RegisterStatusNotifierItem arrived";
    ASSERT_TRUE(connectedMenu(service)) << "the device's answer never reached the menu";
    EXPECT_EQ(captureState(service), 1);
    // The grab is in place: the other program is refused the key.
    ASSERT_EQ(other.grab(raise, 0), XCB_ACCESS);

    auto keys = typeThenA({QStringLiteral("XF86AudioRaiseVolume")});
    ASSERT_EQ(keys.size(), 2u) << "the media key reached the other program too";
    EXPECT_EQ(keys[0].keycode, letterA);
    ASSERT_TRUE(pumpUntil([&] { return !volumeCommands().isEmpty(); }));
    EXPECT_EQ(volumeCommands(), QStringList{QStringLiteral("setPlayerCmd:vol:40")});

    // NumLock on changes the modifier state the key arrives with.
    ASSERT_TRUE(xdotool({QStringLiteral("key"), QStringLiteral("Num_Lock")}));
    keys = typeThenA({QStringLiteral("XF86AudioRaiseVolume")});
    ASSERT_TRUE(xdotool({QStringLiteral("key"), QStringLiteral("Num_Lock")}));
    ASSERT_GE(keys.size(), 2u);
    EXPECT_EQ(keys[keys.size() - 2].state & XCB_MOD_MASK_2, XCB_MOD_MASK_2) << "NumLock was not on";
    for (const auto &k : keys)
        EXPECT_NE(k.keycode, raise) << "the media key leaked under NumLock";
    ASSERT_TRUE(pumpUntil([&] { return volumeCommands().size() >= 2; }));
    EXPECT_EQ(volumeCommands(), (QStringList{QStringLiteral("setPlayerCmd:vol:40"),
                                             QStringLiteral("setPlayerCmd:vol:45")}));
    EXPECT_EQ(sim->volume(), 45);
}

TEST_F(MediaKeysProgram, CaptureSwitchedOffFromTheMenuGivesTheKeysBack) {
    const QString service = startKnobly();
    ASSERT_FALSE(service.isEmpty());
    const std::optional<Row> menu = connectedMenu(service);
    ASSERT_TRUE(menu);
    const Row *capture = menu->find(kCapture);
    ASSERT_NE(capture, nullptr);
    ASSERT_EQ(capture->toggleState(), 1);

    ASSERT_TRUE(clickWithoutWaiting(service, capture->id));
    EXPECT_TRUE(pumpUntil([&] { return captureState(service) == 0; }));
    EXPECT_TRUE(pumpUntil([&] { return savedKeys().isValid() && !savedKeys().toBool(); }))
        << "keys is " << savedKeys().toString().toStdString();

    const auto keys = typeThenA({QStringLiteral("XF86AudioRaiseVolume")});
    ASSERT_EQ(keys.size(), 4u);
    EXPECT_TRUE(keys[0].press);
    EXPECT_EQ(keys[0].keycode, raise);
    EXPECT_FALSE(keys[1].press);
    EXPECT_EQ(keys[1].keycode, raise);
    EXPECT_EQ(keys[2].keycode, letterA);
    EXPECT_TRUE(volumeCommands().isEmpty());
    // And the key is free to be had.
    EXPECT_EQ(other.grab(raise, XCB_MOD_MASK_ANY), 0);
}

TEST_F(MediaKeysProgram, KeysHeldElsewhereSwitchCaptureOffQuietlyAndPromptOnlyWhenAsked) {
    for (auto code : other.keycodes(kPlay))
        ASSERT_EQ(other.grab(code, 0), 0);

    const QString service = startKnobly();
    ASSERT_FALSE(service.isEmpty());
    ASSERT_TRUE(connectedMenu(service));
    EXPECT_EQ(captureState(service), 0);
    EXPECT_TRUE(pumpUntil([&] { return savedKeys().isValid() && !savedKeys().toBool(); }))
        << "keys is " << savedKeys().toString().toStdString();
    EXPECT_FALSE(promptShown(1)) << "a prompt came up at launch";

    const std::optional<Row> menu = layout(service);
    ASSERT_TRUE(menu);
    const Row *capture = menu->find(kCapture);
    ASSERT_NE(capture, nullptr);
    ASSERT_TRUE(clickWithoutWaiting(service, capture->id));
    EXPECT_TRUE(promptShown(10)) << "no prompt after choosing Capture Media Keys";
    EXPECT_FALSE(savedKeys().toBool());
    EXPECT_EQ(knobly->state(), QProcess::Running);
}

} // namespace

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    if (::testing::GTEST_FLAG(list_tests))
        return RUN_ALL_TESTS(); // listing needs no display
    if (!std::getenv("DISPLAY")) {
        std::fprintf(stderr, "no DISPLAY: run under with-xvfb.sh\n");
        return 77;
    }
    return RUN_ALL_TESTS();
}
