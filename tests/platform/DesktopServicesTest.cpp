// The desktop's own services on a private session bus: volume feedback through Plasma's OSD
// or a notification, the MPRIS player's signals and flags, and the shortcuts portal.
#include "BusHarness.h"
#include "linux/DesktopVolumeOsd.h"
#include "linux/MprisPlayer.h"
#include "linux/PortalKeyTap.h"

#include <QDBusMessage>
#include <QDBusVariant>

#include <gtest/gtest.h>

using namespace knobly;
using namespace knobly::test;

namespace {

// Replies that a service's methods give: Notify an id, everything else nothing.
std::optional<QVariantList> answerLikeADesktop(const QDBusMessage &m) {
    if (m.member() == QLatin1String("Notify"))
        return QVariantList{uint(40 + m.arguments().at(1).toUInt())};
    return QVariantList{};
}

TEST(DesktopVolumeOsd, NotificationsReplaceEachOtherWithTheLevelAsAHint) {
    StandInService notifications(QStringLiteral("org.freedesktop.Notifications"),
                                 QStringLiteral("/org/freedesktop/Notifications"));
    notifications.reply = answerLikeADesktop;
    DesktopVolumeOsd osd;
    osd.show(35, false, QStringLiteral("Kitchen"), QStringLiteral("audio-volume-medium"));
    ASSERT_TRUE(waitUntil([&] { return notifications.calls.size() == 1; }));
    waitUntil([] { return false; }, 100); // the id comes back
    osd.show(120, true, QStringLiteral("Kitchen"), QStringLiteral("audio-volume-muted"));
    ASSERT_TRUE(waitUntil([&] { return notifications.calls.size() == 2; }));

    const QVariantList first = notifications.calls[0].arguments();
    const QVariantList second = notifications.calls[1].arguments();
    EXPECT_EQ(first.mid(0, 5),
              (QVariantList{"Knobly", 0u, "audio-volume-medium", "Kitchen", "Volume 35%"}));
    EXPECT_EQ(qdbus_cast<QVariantMap>(first[6]).value("value").toInt(), 35);
    EXPECT_TRUE(qdbus_cast<QVariantMap>(first[6]).value("transient").toBool());
    EXPECT_EQ(second[1].toUInt(), 40u) << "replaces the first";
    EXPECT_EQ(second[4].toString(), "Muted");
    EXPECT_EQ(qdbus_cast<QVariantMap>(second[6]).value("value").toInt(), 0);
}

TEST(DesktopVolumeOsd, PlasmaShowsItsMediaPlayerOsdOrElseItsVolumeOsd) {
    for (const bool hasMediaOsd : {true, false}) {
        SCOPED_TRACE(hasMediaOsd);
        StandInService plasma(QStringLiteral("org.kde.plasmashell"),
                              QStringLiteral("/org/kde/osdService"));
        plasma.reply = [hasMediaOsd](const QDBusMessage &m) -> std::optional<QVariantList> {
            if (m.member() == QLatin1String("mediaPlayerVolumeChanged") && !hasMediaOsd)
                return std::nullopt;
            return QVariantList{};
        };
        DesktopVolumeOsd osd;
        for (const int level : {35, 36}) {
            osd.show(level, false, QStringLiteral("Kitchen"),
                     QStringLiteral("audio-volume-medium"));
            ASSERT_TRUE(waitUntil([&] {
                return !plasma.callsOf("volumeChanged").isEmpty() ||
                       plasma.callsOf("mediaPlayerVolumeChanged").size() == (level - 34);
            }));
            waitUntil([] { return false; }, 100);
        }
        const auto media = plasma.callsOf("mediaPlayerVolumeChanged");
        const auto plain = plasma.callsOf("volumeChanged");
        if (hasMediaOsd) {
            ASSERT_EQ(media.size(), 2);
            EXPECT_EQ(media[1].arguments(),
                      (QVariantList{36, QStringLiteral("Kitchen"), "audio-volume-medium"}));
            EXPECT_TRUE(plain.isEmpty());
        } else {
            EXPECT_EQ(media.size(), 1) << "asked once, then known to be missing";
            ASSERT_EQ(plain.size(), 2);
            EXPECT_EQ(plain[1].arguments(), QVariantList{36});
        }
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
    Connection desktop(QStringLiteral("desktop"));
    SignalLog log;
    ASSERT_TRUE(log.listen(desktop.bus(), MprisPlayer::serviceName, MprisPlayer::objectPath,
                           kPropertiesInterface, QStringLiteral("PropertiesChanged")));
    const auto changes = [&] {
        QList<QVariantMap> c;
        for (const QDBusMessage &m : log.messages)
            if (m.arguments().at(0) == QLatin1String("org.mpris.MediaPlayer2.Player"))
                c << qdbus_cast<QVariantMap>(m.arguments().at(1));
        return c;
    };

    MediaControls::State state;
    state.identity = QStringLiteral("Kitchen");
    state.reachable = true;
    state.playback = MediaControls::Playback::playing;
    state.title = QStringLiteral("So What");
    state.volume = 0.35;
    player.setState(state);
    player.setState(state);
    state.positionUs = 73'000'000;
    player.setState(state);
    ASSERT_TRUE(waitUntil([&] { return !changes().isEmpty(); }));
    waitUntil([] { return false; }, 200);
    ASSERT_EQ(changes().size(), 1);
    EXPECT_EQ(changes()[0].value("PlaybackStatus").toString(), "Playing");
    EXPECT_FALSE(changes()[0].contains("Position"));

    const auto call = [&](const QString &method) {
        return desktop.call(MprisPlayer::serviceName, MprisPlayer::objectPath,
                            QStringLiteral("org.mpris.MediaPlayer2.Player"), method);
    };
    call(QStringLiteral("Play"));
    EXPECT_EQ(plays, 1);
    state.reachable = false;
    player.setState(state);
    call(QStringLiteral("Play"));
    EXPECT_EQ(plays, 1) << "no control while the device does not answer";
    ASSERT_TRUE(waitUntil([&] { return changes().size() == 2; }));
    EXPECT_FALSE(changes()[1].value("CanPlay", true).toBool());
}

} // namespace

namespace {

// The desktop portal as xdg-desktop-portal answers: each request's outcome as a Response
// signal on the request's own path, activations as signals of the portal object.
class StandInPortal : public StandInService {
public:
    StandInPortal()
        : StandInService(QStringLiteral("org.freedesktop.portal.Desktop"),
                         QStringLiteral("/org/freedesktop/portal/desktop")) {
        reply = [this](const QDBusMessage &m) -> std::optional<QVariantList> {
            if (m.member() == QLatin1String("Get"))
                return withGlobalShortcuts
                           ? std::optional(QVariantList{QVariant::fromValue(QDBusVariant(uint(1)))})
                           : std::nullopt;
            if (m.member() == QLatin1String("Register") || m.arguments().isEmpty())
                return QVariantList{};
            const QVariantMap options = qdbus_cast<QVariantMap>(m.arguments().constLast());
            QString sender = m.service().mid(1);
            sender.replace(u'.', u'_');
            const QString request = QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2")
                                        .arg(sender, options.value("handle_token").toString());
            QVariantMap results;
            uint response = 0;
            if (m.member() == QLatin1String("CreateSession"))
                results.insert("session_handle", session);
            else if (m.member() == QLatin1String("BindShortcuts"))
                response = userSaysNo ? 1 : 0;
            else
                return QVariantList{};
            QDBusMessage done = QDBusMessage::createSignal(
                request, QStringLiteral("org.freedesktop.portal.Request"), "Response");
            done << response << results;
            connection().bus().send(done);
            return QVariantList{QVariant::fromValue(QDBusObjectPath(request))};
        };
    }
    void press(const QString &id, const char *signal = "Activated") {
        QDBusMessage s = QDBusMessage::createSignal(
            QStringLiteral("/org/freedesktop/portal/desktop"),
            QStringLiteral("org.freedesktop.portal.GlobalShortcuts"), signal);
        s << QVariant::fromValue(QDBusObjectPath(session)) << id << qulonglong(0) << QVariantMap();
        connection().bus().send(s);
    }

    bool withGlobalShortcuts = true;
    bool userSaysNo = false;
    QString session = QStringLiteral("/org/freedesktop/portal/desktop/session/1_1/knobly");
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
    EXPECT_EQ(portal.callsOf("Register").value(0).arguments().value(0).toString(),
              "org.knobly.Knobly")
        << "the application id is registered before the session";
    EXPECT_EQ(portal.calls[0].member(), "Register");
    // The ids the activations below use, each with the key the desktop should propose.
    const QString bound = portal.callsOf("BindShortcuts")[0]
                              .arguments()
                              .at(1)
                              .value<QDBusArgument>()
                              .currentSignature();
    EXPECT_EQ(bound, "a(sa{sv})");
    portal.press("volume-down");
    portal.press("volume-down", "Deactivated");
    portal.press("mute");
    ASSERT_TRUE(waitUntil([&] { return seen.size() == 3; }));
    EXPECT_EQ(seen[0], (KeyEvent{MediaKey::volumeDown, true}));
    EXPECT_EQ(seen[1], (KeyEvent{MediaKey::volumeDown, false}));
    EXPECT_EQ(seen[2], (KeyEvent{MediaKey::mute, true}));
    tap.disable();
    ASSERT_TRUE(waitUntil([&] { return !portal.callsOf("Close").isEmpty(); }));
    portal.press("mute");
    waitUntil([] { return false; }, 100);
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
