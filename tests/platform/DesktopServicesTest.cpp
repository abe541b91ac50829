// The desktop's own services on a private session bus: volume feedback through Plasma's OSD
// or a notification, the MPRIS player's signals and flags, the shortcuts portal, and KDE's
// global shortcut service (the real kglobalaccel5, pressed through Xvfb).
#include "BusHarness.h"
#include "DesktopVolumeOsd.h"
#include "FakeMainQueue.h"
#include "MprisPlayer.h"
#include "PortalKeyTap.h"
#include <KGlobalAccelKeyTap.h>

#include <QDBusConnectionInterface>
#include <QDBusMetaType>
#include <QDBusVariant>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace knobly;
using namespace knobly::test;

namespace {

// GNOME shows normal urgency as a banner; the banner is replaced in place, closed once the
// level has stood for a moment, and never left in the message list when we quit.
TEST(DesktopVolumeOsd, NotificationsReplaceEachOtherAndCloseAfterTheLastChange) {
    auto queue = std::make_shared<FakeMainQueue>();
    MainQueue::install(queue);
    StandInService notifications("org.freedesktop.Notifications", "/org/freedesktop/Notifications");
    notifications.reply = [](const QDBusMessage &m) {
        if (m.member() != "Notify")
            return std::optional(QVariantList{});
        return std::optional(QVariantList{uint(40 + m.arguments().at(1).toUInt())});
    };
    const auto said = [&](int i) { // the call and the notification id it names
        const QDBusMessage &m = notifications.calls.at(i);
        return m.member() + ' ' + m.arguments().value(m.member() == "Notify" ? 1 : 0).toString();
    };
    const auto reaches = [&](qsizetype n) { // and no more come while the answer (the id) does
        return waitUntil([&] { return notifications.calls.size() == n; }) &&
               !waitUntil([&] { return notifications.calls.size() > n; }, 100);
    };
    auto osd = std::make_unique<DesktopVolumeOsd>();
    osd->show(35, false, "Kitchen", "audio-volume-medium");
    ASSERT_TRUE(reaches(1));
    queue->advance(1.0);
    osd->show(120, true, "Kitchen", "audio-volume-muted");
    ASSERT_TRUE(reaches(2));
    const QVariantList first = notifications.calls[0].arguments();
    const QVariantList second = notifications.calls[1].arguments();
    EXPECT_EQ(first.mid(0, 5),
              (QVariantList{"Knobly", 0u, "audio-volume-medium", "Kitchen", "Volume 35%"}));
    const QVariantMap hints = qdbus_cast<QVariantMap>(first[6]);
    EXPECT_EQ(hints.value("value").toInt(), 35);
    EXPECT_EQ(hints.value("urgency").toInt(), 1) << "low urgency is never a banner on GNOME";
    EXPECT_TRUE(hints.value("transient").toBool());
    EXPECT_EQ(second.mid(1, 4), (QVariantList{40u, "audio-volume-muted", "Kitchen", "Muted"}))
        << "replaces the first";
    EXPECT_EQ(qdbus_cast<QVariantMap>(second[6]).value("value").toInt(), 0);

    queue->advance(1.0); // the first one's time is up, but the level changed since
    EXPECT_TRUE(reaches(2));
    queue->advance(1.0);
    ASSERT_TRUE(reaches(3));
    EXPECT_EQ(said(2), "CloseNotification 80");

    osd->show(50, false, "Kitchen", "audio-volume-medium");
    ASSERT_TRUE(reaches(4));
    osd.reset(); // quitting
    ASSERT_TRUE(reaches(5));
    EXPECT_EQ(said(3) + ", " + said(4), "Notify 0, CloseNotification 40");
}

// The Plasma session shows its media player OSD; an older Plasma, without it, is asked once and
// then gets the plain volume OSD.
TEST(DesktopVolumeOsd, APlasmaWithoutTheMediaPlayerOsdGetsItsVolumeOsd) {
    StandInService plasma("org.kde.plasmashell", "/org/kde/osdService");
    plasma.reply = [](const QDBusMessage &m) {
        return m.member() == "mediaPlayerVolumeChanged" ? std::nullopt
                                                        : std::optional(QVariantList{});
    };
    DesktopVolumeOsd osd;
    for (const int level : {35, 36}) {
        osd.show(level, false, "Kitchen", "audio-volume-medium");
        ASSERT_TRUE(
            waitUntil([&] { return plasma.callsOf("volumeChanged").size() == level - 34; }));
        waitUntil([] { return false; }, 100); // the answer comes back
    }
    EXPECT_EQ(plasma.callsOf("mediaPlayerVolumeChanged").size(), 1) << "asked once";
    EXPECT_EQ(plasma.callsOf("volumeChanged")[1].arguments(), QVariantList{36});
}

// The player announces each real change once, never the position, and offers control only
// while the device answers.
TEST(MprisPlayer, ChangesAreAnnouncedOnceAndControlFollowsTheDevice) {
    int plays = 0;
    MediaControls::Commands commands;
    commands.play = [&] { ++plays; };
    commands.quit = [] {};
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
    // Quitting is offered (the GNOME session quits through it).
    const QDBusMessage canQuit =
        desktop.call(MprisPlayer::serviceName, MprisPlayer::objectPath, kPropertiesInterface, "Get",
                     {"org.mpris.MediaPlayer2", "CanQuit"});
    EXPECT_TRUE(canQuit.arguments().value(0).value<QDBusVariant>().variant().toBool());
}

struct KeyLog {
    std::vector<KeyEvent> seen;
    KeyTap::Handler handler() {
        return [this](const KeyEvent &e) {
            seen.push_back(e);
            return true;
        };
    }
    bool reaches(std::size_t n) {
        return waitUntil([&] { return seen.size() >= n; });
    }
};

} // namespace

// A shortcut in BindShortcuts' answer, a(sa{sv}).
struct Listed {
    QString id;
    QVariantMap properties;
};
QDBusArgument &operator<<(QDBusArgument &arg, const Listed &l) {
    arg.beginStructure();
    arg << l.id << l.properties;
    arg.endStructure();
    return arg;
}
const QDBusArgument &operator>>(const QDBusArgument &arg, Listed &l) {
    arg.beginStructure();
    arg >> l.id >> l.properties;
    arg.endStructure();
    return arg;
}
Q_DECLARE_METATYPE(Listed)

namespace {

// The desktop portal as xdg-desktop-portal answers: each request's outcome as a Response
// signal on the request's own path, activations as signals of the portal object.
class StandInPortal : public StandInService {
public:
    StandInPortal() : StandInService("org.freedesktop.portal.Desktop", kPath) {
        qDBusRegisterMetaType<Listed>();
        qDBusRegisterMetaType<QList<Listed>>();
        reply = [this](const QDBusMessage &m) -> std::optional<QVariantList> {
            if (m.member() == "Get" && !withGlobalShortcuts)
                return std::nullopt;
            if (m.member() != "CreateSession" && m.member() != "BindShortcuts")
                return QVariantList{QVariant::fromValue(QDBusVariant(1u))};
            const QVariantMap options = qdbus_cast<QVariantMap>(m.arguments().constLast());
            const QString request = kPath + "/request/" + m.service().mid(1).replace(u'.', u'_') +
                                    "/" + options.value("handle_token").toString();
            QVariantMap results{{"session_handle", session}};
            uint code = 0;
            if (m.member() == "BindShortcuts") {
                code = bound.code;
                results.clear();
                if (bound.listed == Bound::all)
                    results.insert("shortcuts", m.arguments().value(1)); // a(sa{sv}) as sent
                else if (bound.listed == Bound::empty)
                    results.insert("shortcuts", QVariant::fromValue(QList<Listed>{}));
            }
            connection().bus().send(
                QDBusMessage::createSignal(request, "org.freedesktop.portal.Request", "Response")
                << code << results);
            return QVariantList{QVariant::fromValue(QDBusObjectPath(request))};
        };
    }
    // The answer to BindShortcuts: Plasma's 0 with the shortcuts, GNOME 48's 2 with them when
    // the user added them and 2 without when not, 1 for a plain no.
    struct Bound {
        uint code = 0;
        enum { none, empty, all } listed = all;
    };
    void press(const QString &id, const char *signal = "Activated") {
        QDBusMessage s =
            QDBusMessage::createSignal(kPath, "org.freedesktop.portal.GlobalShortcuts", signal);
        s << QVariant::fromValue(QDBusObjectPath(session)) << id << qulonglong(0) << QVariantMap();
        connection().bus().send(s);
    }

    static inline const QString kPath = "/org/freedesktop/portal/desktop";
    bool withGlobalShortcuts = true;
    Bound bound;
    QString session = kPath + "/session/1_1/knobly";
};

TEST(PortalKeyTap, BindsTheVolumeKeysAndReportsTheirActivations) {
    StandInPortal portal;
    // The portal handles calls in threads: a call sent before Register's answer may be
    // served first, and the connection then has no application id for good.
    portal.holds = [](const QDBusMessage &m) { return m.member() == "Register"; };
    PortalKeyTap tap;
    KeyLog log;
    ASSERT_TRUE(tap.enable(log.handler()));
    ASSERT_TRUE(waitUntil([&] { return !portal.callsOf("Register").isEmpty(); }));
    EXPECT_EQ(portal.calls[0].arguments().value(0), "org.knobly.Knobly") << "registered first";
    waitUntil([] { return false; }, 100); // nothing comes
    EXPECT_EQ(portal.calls.size(), 1) << "nothing else before Register's answer";
    portal.release();
    ASSERT_TRUE(waitUntil([&] { return !portal.callsOf("BindShortcuts").isEmpty(); }));
    portal.press("volume-down");
    portal.press("volume-down", "Deactivated");
    // A held key: activations again and again, then one deactivation (GNOME 48).
    portal.press("mute");
    portal.press("mute");
    portal.press("mute", "Deactivated");
    ASSERT_TRUE(log.reaches(5));
    EXPECT_EQ(log.seen, (std::vector<KeyEvent>{{MediaKey::volumeDown, true},
                                               {MediaKey::volumeDown, false},
                                               {MediaKey::mute, true},
                                               {MediaKey::mute, true, true},
                                               {MediaKey::mute, false}}));
    tap.disable();
    ASSERT_TRUE(waitUntil([&] { return !portal.callsOf("Close").isEmpty(); }));
    portal.press("mute");
    waitUntil([] { return false; }, 100); // nothing comes
    EXPECT_EQ(log.seen.size(), 5u) << "nothing after disable";
}

// What the desktops answer BindShortcuts with, and what it means.
TEST(PortalKeyTap, TheKeysAreOursWhenTheAnswerListsThem) {
    struct Case {
        const char *desktop;
        StandInPortal::Bound bound;
        bool registerFails; // a portal older than the registry, or no desktop entry
        bool ours;
    };
    using Bound = StandInPortal::Bound;
    const Case cases[] = {
        {"Plasma 6", {0, Bound::all}, false, true},
        {"GNOME 48, Add", {2, Bound::all}, false, true},
        {"GNOME 48, Cancel", {2, Bound::none}, false, false},
        {"2 and nothing bound", {2, Bound::empty}, false, false},
        {"a plain no", {1, Bound::none}, false, false},
        {"an older portal", {0, Bound::all}, true, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.desktop);
        StandInPortal portal;
        portal.bound = c.bound;
        const auto reply = portal.reply;
        portal.reply = [&](const QDBusMessage &m) -> std::optional<QVariantList> {
            if (c.registerFails && m.member() == "Register")
                return std::nullopt;
            return reply(m);
        };
        PortalKeyTap tap;
        int lost = 0;
        tap.lost = [&] { ++lost; };
        ASSERT_TRUE(tap.enable([](const KeyEvent &) { return true; }));
        ASSERT_TRUE(waitUntil([&] { return !portal.callsOf("BindShortcuts").isEmpty(); }));
        if (c.ours) {
            waitUntil([] { return false; }, 100); // nothing comes
            EXPECT_EQ(lost, 0);
            EXPECT_EQ(tap.lastRefusal(), KeyTap::Refusal::none);
        } else {
            ASSERT_TRUE(waitUntil([&] { return lost == 1; }));
            EXPECT_EQ(tap.lastRefusal(), KeyTap::Refusal::declined);
        }
    }
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
        portal.bound = {1, StandInPortal::Bound::none};
        PortalKeyTap tap;
        int lost = 0;
        tap.lost = [&] { ++lost; };
        EXPECT_TRUE(tap.enable([](const KeyEvent &) { return true; })) << "answered later";
        ASSERT_TRUE(waitUntil([&] { return lost == 1; }));
        EXPECT_EQ(tap.lastRefusal(),
                  shortcutsMissing ? KeyTap::Refusal::noPortal : KeyTap::Refusal::declined);
    }
    {
        // GNOME's own media keys (a full GNOME session) would take every press first.
        StandInPortal portal;
        StandInService gnomeKeys("org.gnome.SettingsDaemon.MediaKeys",
                                 "/org/gnome/SettingsDaemon/MediaKeys");
        PortalKeyTap tap;
        EXPECT_FALSE(tap.enable([](const KeyEvent &) { return true; }));
        EXPECT_EQ(tap.lastRefusal(), KeyTap::Refusal::noPortal);
        EXPECT_TRUE(portal.callsOf("BindShortcuts").isEmpty());
    }
}

// plasma-pa's volume keys: the component keeps KMix's old name.
const QList<QStringList> kPlasmaVolume = {
    {"kmix", "increase_volume", "Audio Volume", "Increase Volume"},
    {"kmix", "decrease_volume", "Audio Volume", "Decrease Volume"},
    {"kmix", "mute", "Audio Volume", "Mute"}};
const int kVolumeKeys[] = {Qt::Key_VolumeUp, Qt::Key_VolumeDown, Qt::Key_VolumeMute};

// KDE's global shortcut service itself, with a configuration of its own, on an Xvfb display of
// its own where xdotool presses real keys; the test talks to it as Plasma's programs do.
class RealKGlobalAccel {
public:
    RealKGlobalAccel() {
        qDBusRegisterMetaType<KeyChord>();
        qDBusRegisterMetaType<KeyChords>();
        if (QStandardPaths::findExecutable("Xvfb").isEmpty() ||
            QStandardPaths::findExecutable("xdotool").isEmpty() || daemon().isEmpty())
            return;
        // No auto-repeat: a key held down while a loaded machine is slow must not repeat.
        xvfb_.start("Xvfb",
                    {"-displayfd", "1", "-nolisten", "tcp", "-r", "-screen", "0", "640x480x24"});
        if (!waitUntil([&] { return xvfb_.canReadLine(); }, 10000))
            return;
        env_ = QProcessEnvironment::systemEnvironment();
        env_.insert("DISPLAY", ":" + xvfb_.readLine().trimmed());
        env_.insert("QT_QPA_PLATFORM", "xcb");
        for (const char *dir : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"})
            env_.insert(dir, home_.path());
        daemon_.setProcessEnvironment(env_);
        daemon_.start(daemon(), {});
        running = waitUntil([&] {
            return client_.bus().interface()->isServiceRegistered("org.kde.kglobalaccel").value();
        });
    }
    ~RealKGlobalAccel() {
        for (QProcess *p : {&applet_, &daemon_, &xvfb_}) {
            p->terminate();
            p->waitForFinished(5000);
        }
    }
    QDBusMessage call(const QString &method, const QVariantList &args,
                      const QString &path = "/kglobalaccel",
                      const QString &interface = "org.kde.KGlobalAccel") {
        return client_.call("org.kde.kglobalaccel", path, interface, method, args);
    }
    static QVariant keys(const KeyChords &keys) { return QVariant::fromValue(keys); }
    KeyChords keysOf(const QStringList &action) {
        return qdbus_cast<KeyChords>(call("shortcutKeys", {action}).arguments().value(0));
    }
    QStringList holder(int key) {
        const QDBusMessage r = call("actionList", {QVariant::fromValue(KeyChord{key})});
        return r.arguments().value(0).toStringList();
    }
    // As a KDE program registers its action and key at start.
    void registerAction(const QStringList &id, int key) {
        call("doRegister", {id});
        call("setShortcutKeys", {id, keys({{key}}), 2u});
        call("setShortcutKeys", {id, keys({{key}}), 8u});
    }
    // Plasma's own volume control: plasma-pa's applet, run on its own, takes the keys at start.
    // Plasma 6 keeps them in a kded module instead, loaded by kded6 at start.
    bool startPlasmaVolume() {
        QProcessEnvironment env = env_;
        env.insert("QT_QUICK_BACKEND", "software");
        applet_.setProcessEnvironment(env);
        if (QFile::exists(
                "/usr/lib/x86_64-linux-gnu/qt6/plugins/kf6/kded/audioshortcutsservice.so") &&
            !QStandardPaths::findExecutable("kded6").isEmpty()) {
            // Outside a full session kded6 loads it when asked, as Plasma's startup does.
            applet_.start("kded6", {});
            waitUntil([&] {
                return client_.bus().interface()->isServiceRegistered("org.kde.kded6").value();
            });
            client_.call("org.kde.kded6", "/kded", "org.kde.kded6", "loadModule",
                         {QString("audioshortcutsservice")});
        } else if (QFile::exists("/usr/share/plasma/plasmoids/org.kde.plasma.volume") &&
                   !QStandardPaths::findExecutable("plasmawindowed").isEmpty())
            applet_.start("plasmawindowed", {"org.kde.plasma.volume"});
        else
            return false;
        return waitUntil([&] { return !keysOf(kPlasmaVolume[2]).isEmpty(); });
    }
    bool xdotool(const QStringList &args) {
        return QProcess::execute("env", QStringList{"DISPLAY=" + env_.value("DISPLAY"), "xdotool"} +
                                            args) == 0;
    }

    // Plasma 5's daemon, or Plasma 6's.
    static QString daemon() {
        for (const char *path :
             {"/usr/bin/kglobalaccel5", "/usr/lib/x86_64-linux-gnu/libexec/kglobalacceld"})
            if (QFile::exists(path))
                return path;
        return {};
    }
    bool running = false;

private:
    QProcess xvfb_, daemon_, applet_;
    QTemporaryDir home_;
    QProcessEnvironment env_;
    Connection client_{"plasma"};
};

const char kNeeds[] = "needs Xvfb, xdotool and KDE's global shortcut daemon (run scripts/deps)";

TEST(KGlobalAccelKeyTap, FreeKeysAreOursAndTheirPressesReachTheHandler) {
    RealKGlobalAccel kglobalaccel;
    if (!kglobalaccel.running)
        GTEST_SKIP() << kNeeds;
    KGlobalAccelKeyTap tap;
    KeyLog log;
    int lost = 0;
    tap.lost = [&] { ++lost; };
    ASSERT_TRUE(tap.enable(log.handler()));
    EXPECT_EQ(kglobalaccel.holder(Qt::Key_VolumeUp),
              QStringList({"org.knobly.Knobly", "volume-up", "Knobly", "Volume Up"}));
    // The service may grab a key a moment after it answered: press until the first arrives,
    // then one key at a time, each seen before the next.
    for (int tries = 0; tries < 10 && log.seen.empty(); ++tries) {
        ASSERT_TRUE(kglobalaccel.xdotool({"key", "XF86AudioLowerVolume"}));
        waitUntil([&] { return log.seen.size() >= 2; }, 500);
    }
    ASSERT_TRUE(log.reaches(2));
    // The daemon grabs the keyboard synchronously until it has taken a press: release only then.
    ASSERT_TRUE(kglobalaccel.xdotool({"keydown", "XF86AudioLowerVolume"}));
    ASSERT_TRUE(log.reaches(3));
    ASSERT_TRUE(kglobalaccel.xdotool({"keyup", "XF86AudioLowerVolume"}));
    ASSERT_TRUE(log.reaches(4));
    // Plasma's volume control has a "mute" of its own: a change there leaves ours alone.
    kglobalaccel.registerAction(kPlasmaVolume[2], Qt::Key_F6);
    kglobalaccel.call("setForeignShortcutKeys",
                      {kPlasmaVolume[2], RealKGlobalAccel::keys({{Qt::Key_F7}})});
    ASSERT_TRUE(kglobalaccel.xdotool({"keydown", "XF86AudioMute"}));
    ASSERT_TRUE(log.reaches(5));
    // A held key repeats as presses without releases.
    kglobalaccel.call("invokeShortcut", {"mute"}, "/component/org_knobly_Knobly",
                      "org.kde.kglobalaccel.Component");
    ASSERT_TRUE(log.reaches(6));
    ASSERT_TRUE(kglobalaccel.xdotool({"keyup", "XF86AudioMute"}));
    ASSERT_TRUE(log.reaches(7));
    using K = MediaKey;
    EXPECT_EQ(log.seen, (std::vector<KeyEvent>{{K::volumeDown, true},
                                               {K::volumeDown, false},
                                               {K::volumeDown, true},
                                               {K::volumeDown, false},
                                               {K::mute, true},
                                               {K::mute, true, true},
                                               {K::mute, false}}));

    // System Settings giving our key to something else ends capture and frees the others.
    kglobalaccel.call("setForeignShortcutKeys",
                      {QStringList{"org.knobly.Knobly", "volume-up", "", ""},
                       RealKGlobalAccel::keys({{Qt::Key_F5}})});
    ASSERT_TRUE(waitUntil([&] { return lost == 1; }));
    EXPECT_EQ(tap.lastRefusal(), KeyTap::Refusal::keysTaken);
    EXPECT_TRUE(waitUntil([&] { return kglobalaccel.holder(Qt::Key_VolumeMute).isEmpty(); }));
}

TEST(KGlobalAccelKeyTap, PlasmasVolumeKeysAreTakenOverAndComeBackAfterwards) {
    RealKGlobalAccel kglobalaccel;
    if (!kglobalaccel.running)
        GTEST_SKIP() << kNeeds;
    if (!kglobalaccel.startPlasmaVolume())
        GTEST_SKIP() << "needs plasma-pa and plasmawindowed (plasma-workspace)";
    const auto plasmaHasItsKeys = [&] {
        for (int i = 0; i < 3; ++i)
            if (kglobalaccel.keysOf(kPlasmaVolume[i]) != KeyChords{{kVolumeKeys[i]}})
                return false;
        return true;
    };
    {
        KGlobalAccelKeyTap tap;
        KeyLog log;
        EXPECT_FALSE(tap.enable(log.handler()));
        EXPECT_EQ(tap.lastRefusal(), KeyTap::Refusal::heldByDesktop);
        EXPECT_EQ(tap.holderDescription(), "Audio Volume: Increase Volume, Decrease Volume, Mute");
        EXPECT_TRUE(plasmaHasItsKeys()) << "a refusal takes nothing";
        ASSERT_TRUE(tap.takeOver());
        ASSERT_TRUE(tap.enable(log.handler()));
        // Cleared as [] or as one empty chord, as KDE's own library clears a key.
        for (int i = 0; i < 3; ++i) {
            const KeyChords left = kglobalaccel.keysOf(kPlasmaVolume[i]);
            EXPECT_TRUE(left.isEmpty() || left == KeyChords{{0}}) << i;
        }
        ASSERT_TRUE(kglobalaccel.xdotool({"key", "XF86AudioRaiseVolume"}));
        ASSERT_TRUE(log.reaches(1));
        EXPECT_EQ(log.seen[0], (KeyEvent{MediaKey::volumeUp, true}));
        tap.disable();
        EXPECT_TRUE(waitUntil(plasmaHasItsKeys)) << "given back on disable";
    }
    // A run that crashed left the keys with us; the next start without capture gives them back.
    for (int i = 0; i < 3; ++i) {
        const QStringList ours{"org.knobly.Knobly",
                               QStringList{"volume-up", "volume-down", "mute"}[i], "Knobly", ""};
        kglobalaccel.call("setForeignShortcutKeys", {kPlasmaVolume[i], RealKGlobalAccel::keys({})});
        kglobalaccel.call("setShortcutKeys",
                          {ours, RealKGlobalAccel::keys({{kVolumeKeys[i]}}), 6u});
    }
    ASSERT_EQ(kglobalaccel.holder(Qt::Key_VolumeMute).value(0), "org.knobly.Knobly");
    KGlobalAccelKeyTap atStart;
    atStart.giveBack();
    EXPECT_TRUE(waitUntil(plasmaHasItsKeys));
    EXPECT_EQ(kglobalaccel.holder(Qt::Key_VolumeUp), kPlasmaVolume[0]);
}

TEST(KGlobalAccelKeyTap, AnotherHolderOrNoServiceIsRefused) {
    {
        KGlobalAccelKeyTap tap;
        EXPECT_FALSE(tap.enable([](const KeyEvent &) { return true; }));
        EXPECT_EQ(tap.lastRefusal(), KeyTap::Refusal::noPortal) << "no kglobalaccel running";
    }
    for (const bool plasmaHoldsTheOthers : {false, true}) {
        SCOPED_TRACE(plasmaHoldsTheOthers);
        RealKGlobalAccel kglobalaccel;
        if (!kglobalaccel.running)
            GTEST_SKIP() << kNeeds;
        kglobalaccel.registerAction({"org.example.Player", "mute", "Player", "Mute"},
                                    Qt::Key_VolumeMute);
        if (plasmaHoldsTheOthers)
            kglobalaccel.registerAction(kPlasmaVolume[0], Qt::Key_VolumeUp);
        KGlobalAccelKeyTap tap;
        EXPECT_FALSE(tap.enable([](const KeyEvent &) { return true; }));
        EXPECT_EQ(tap.lastRefusal(), KeyTap::Refusal::keysTaken);
        EXPECT_FALSE(tap.takeOver());
        EXPECT_TRUE(waitUntil([&] { return kglobalaccel.holder(Qt::Key_VolumeDown).isEmpty(); }))
            << "the key it could have is not kept";
    }
}

} // namespace
