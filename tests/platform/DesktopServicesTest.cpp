// The desktop's own services on a private session bus: volume feedback through Plasma's OSD
// or a notification, the MPRIS player's signals and flags, and the shortcuts portal.
#include "BusHarness.h"
#include "linux/DesktopVolumeOsd.h"
#include "linux/MprisPlayer.h"
#include "linux/PortalKeyTap.h"

#include <QDBusVariant>

#include <gtest/gtest.h>

using namespace knobly;
using namespace knobly::test;

namespace {

TEST(DesktopVolumeOsd, NotificationsReplaceEachOtherWithTheLevelAsAHint) {
    StandInService notifications("org.freedesktop.Notifications", "/org/freedesktop/Notifications");
    notifications.reply = [](const QDBusMessage &m) {
        return std::optional(QVariantList{uint(40 + m.arguments().at(1).toUInt())});
    };
    DesktopVolumeOsd osd;
    osd.show(35, false, "Kitchen", "audio-volume-medium");
    ASSERT_TRUE(waitUntil([&] { return notifications.calls.size() == 1; }));
    waitUntil([] { return false; }, 100); // the id comes back
    osd.show(120, true, "Kitchen", "audio-volume-muted");
    ASSERT_TRUE(waitUntil([&] { return notifications.calls.size() == 2; }));
    const QVariantList first = notifications.calls[0].arguments();
    const QVariantList second = notifications.calls[1].arguments();
    EXPECT_EQ(first.mid(0, 5),
              (QVariantList{"Knobly", 0u, "audio-volume-medium", "Kitchen", "Volume 35%"}));
    EXPECT_EQ(qdbus_cast<QVariantMap>(first[6]).value("value").toInt(), 35);
    EXPECT_EQ(second.mid(1, 4), (QVariantList{40u, "audio-volume-muted", "Kitchen", "Muted"}))
        << "replaces the first";
    EXPECT_EQ(qdbus_cast<QVariantMap>(second[6]).value("value").toInt(), 0);
}

TEST(DesktopVolumeOsd, PlasmaShowsItsMediaPlayerOsdOrElseItsVolumeOsd) {
    for (const bool hasMediaOsd : {true, false}) {
        SCOPED_TRACE(hasMediaOsd);
        StandInService plasma("org.kde.plasmashell", "/org/kde/osdService");
        plasma.reply = [hasMediaOsd](const QDBusMessage &m) -> std::optional<QVariantList> {
            if (m.member() == "mediaPlayerVolumeChanged" && !hasMediaOsd)
                return std::nullopt;
            return QVariantList{};
        };
        DesktopVolumeOsd osd;
        for (const int level : {35, 36}) {
            osd.show(level, false, "Kitchen", "audio-volume-medium");
            ASSERT_TRUE(waitUntil([&] {
                return !plasma.callsOf("volumeChanged").isEmpty() ||
                       plasma.callsOf("mediaPlayerVolumeChanged").size() == (level - 34);
            }));
            waitUntil([] { return false; }, 100); // the answer comes back
        }
        const auto media = plasma.callsOf("mediaPlayerVolumeChanged");
        const auto plain = plasma.callsOf("volumeChanged");
        EXPECT_EQ(media.size(), hasMediaOsd ? 2 : 1) << "asked once, then known to be missing";
        ASSERT_EQ(plain.size(), hasMediaOsd ? 0 : 2);
        const QVariantList last =
            hasMediaOsd ? QVariantList{36, "Kitchen", "audio-volume-medium"} : QVariantList{36};
        EXPECT_EQ((hasMediaOsd ? media : plain)[1].arguments(), last);
    }
}

// The player announces each real change once, never the position, and offers control only
// while the device answers.
TEST(MprisPlayer, ChangesAreAnnouncedOnceAndControlFollowsTheDevice) {
    int plays = 0;
    MediaControls::Commands commands;
    commands.play = [&] { ++plays; };
    MprisPlayer player(commands);
    ASSERT_TRUE(player.isRegistered());
    Connection desktop("desktop");
    SignalLog log;
    ASSERT_TRUE(log.listen(desktop.bus(), MprisPlayer::serviceName, MprisPlayer::objectPath,
                           kPropertiesInterface, "PropertiesChanged"));
    // Its answer comes after whatever the player sent before.
    const auto play = [&] {
        desktop.call(MprisPlayer::serviceName, MprisPlayer::objectPath,
                     "org.mpris.MediaPlayer2.Player", "Play");
        QCoreApplication::processEvents();
    };
    const auto changed = [&](int i) {
        return qdbus_cast<QVariantMap>(log.messages.value(i).arguments().value(1));
    };
    MediaControls::State state;
    state.reachable = true;
    state.playback = MediaControls::Playback::playing;
    player.setState(state);
    player.setState(state);
    state.positionUs = 73'000'000;
    player.setState(state);
    play();
    EXPECT_EQ(plays, 1);
    EXPECT_EQ(log.messages.size(), 1);
    EXPECT_EQ(changed(0).value("PlaybackStatus"), "Playing");
    EXPECT_FALSE(changed(0).contains("Position"));
    state.reachable = false;
    player.setState(state);
    play();
    EXPECT_EQ(plays, 1) << "no control while the device does not answer";
    EXPECT_EQ(log.messages.size(), 2);
    EXPECT_FALSE(changed(1).value("CanPlay", true).toBool());
}

// The desktop portal as xdg-desktop-portal answers: each request's outcome as a Response
// signal on the request's own path, activations as signals of the portal object.
class StandInPortal : public StandInService {
public:
    StandInPortal() : StandInService("org.freedesktop.portal.Desktop", kPath) {
        reply = [this](const QDBusMessage &m) -> std::optional<QVariantList> {
            if (m.member() == "Get" && !withGlobalShortcuts)
                return std::nullopt;
            if (m.member() != "CreateSession" && m.member() != "BindShortcuts")
                return QVariantList{QVariant::fromValue(QDBusVariant(1u))};
            const QVariantMap options = qdbus_cast<QVariantMap>(m.arguments().constLast());
            const QString request = kPath + "/request/" + m.service().mid(1).replace(u'.', u'_') +
                                    "/" + options.value("handle_token").toString();
            const bool no = userSaysNo && m.member() == "BindShortcuts";
            connection().bus().send(
                QDBusMessage::createSignal(request, "org.freedesktop.portal.Request", "Response")
                << (no ? 1u : 0u) << QVariantMap{{"session_handle", session}});
            return QVariantList{QVariant::fromValue(QDBusObjectPath(request))};
        };
    }
    void press(const QString &id, const char *signal = "Activated") {
        QDBusMessage s =
            QDBusMessage::createSignal(kPath, "org.freedesktop.portal.GlobalShortcuts", signal);
        s << QVariant::fromValue(QDBusObjectPath(session)) << id << qulonglong(0) << QVariantMap();
        connection().bus().send(s);
    }

    static inline const QString kPath = "/org/freedesktop/portal/desktop";
    bool withGlobalShortcuts = true;
    bool userSaysNo = false;
    QString session = kPath + "/session/1_1/knobly";
};

TEST(PortalKeyTap, BindsTheVolumeKeysAndReportsTheirActivations) {
    StandInPortal portal;
    PortalKeyTap tap;
    std::vector<KeyEvent> seen;
    ASSERT_TRUE(tap.enable([&](const KeyEvent &e) {
        seen.push_back(e);
        return true;
    }));
    ASSERT_TRUE(waitUntil([&] { return !portal.callsOf("BindShortcuts").isEmpty(); }));
    EXPECT_EQ(portal.calls[0].arguments().value(0), "org.knobly.Knobly") << "registered first";
    portal.press("volume-down");
    portal.press("volume-down", "Deactivated");
    portal.press("mute");
    ASSERT_TRUE(waitUntil([&] { return seen.size() == 3; }));
    EXPECT_EQ(seen, (std::vector<KeyEvent>{{MediaKey::volumeDown, true},
                                           {MediaKey::volumeDown, false},
                                           {MediaKey::mute, true}}));
    tap.disable();
    ASSERT_TRUE(waitUntil([&] { return !portal.callsOf("Close").isEmpty(); }));
    portal.press("mute");
    waitUntil([] { return false; }, 100); // nothing comes
    EXPECT_EQ(seen.size(), 3u) << "nothing after disable";
}

TEST(PortalKeyTap, NoPortalOrADeclineIsReportedAsSuch) {
    {
        PortalKeyTap tap;
        EXPECT_FALSE(tap.enable([](const KeyEvent &) { return true; })) << "no portal at all";
        EXPECT_EQ(tap.lastRefusal(), KeyTap::Refusal::noPortal);
    }
    for (const bool shortcutsMissing : {true, false}) {
        SCOPED_TRACE(shortcutsMissing);
        StandInPortal portal;
        portal.withGlobalShortcuts = !shortcutsMissing;
        portal.userSaysNo = !shortcutsMissing;
        PortalKeyTap tap;
        int lost = 0;
        tap.lost = [&] { ++lost; };
        EXPECT_TRUE(tap.enable([](const KeyEvent &) { return true; })) << "answered later";
        ASSERT_TRUE(waitUntil([&] { return lost == 1; }));
        EXPECT_EQ(tap.lastRefusal(),
                  shortcutsMissing ? KeyTap::Refusal::noPortal : KeyTap::Refusal::declined);
    }
}

} // namespace
