#include "AppDelegate.h"
#include "Await.h"
#include "ControllerFixture.h"
#include "DeviceFaults.h"
#include "FakeKeyTap.h"
#include "Settings.h"
#include "Symbols.h"

#include <QAction>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMenu>
#include <QSettings>
#include <QSlider>
#include <QToolButton>

#include <gtest/gtest.h>

using namespace knobly;
using devicesim::DeviceSimulator;
using devicesim::Fault;
using test::FakeKeyTap;
using test::pressKey;

namespace {

class AppDelegateTest : public test::ControllerFixture {
protected:
    void SetUp() override {
        ControllerFixture::SetUp();
        startPlayingDevice(sim);
    }

    AppDelegate::Environment environment() {
        AppDelegate::Environment env = quietEnvironment(sim.port());
        env.makeDiscovery = [this, make = env.makeDiscovery] {
            ++discoveriesMade;
            return make();
        };
        env.askForAddress = [this](const QString &saved) {
            dialogInitialText = saved;
            return typedAddress;
        };
        env.makeKeyTap = [this] { return std::make_unique<FakeKeyTap>(keys); };
        env.warn = [this](const QString &title, const QString &, const QString &action) {
            prompts.push_back({title, action});
            return chooseAction;
        };
        env.openShortcutSettings = [this] { ++settingsOpened; };
        return env;
    }

    void launch() { launchWith(environment()); }

    std::size_t statusQueries() const { return test::statusQueries(sim); }

    // Waits (real time) for the device to have answered `n` status queries in all and for
    // their results to reach the controller.
    void settle(std::size_t n) { ASSERT_TRUE(settled(sim, n)); }

    // Launches with the device saved, waits for its answers and counts first-line changes.
    void launchConnected(const QString &name = "Kitchen") {
        Settings::setIp(sim.address());
        Settings::setDeviceName(name);
        launch();
        settle(2);
        titleChanges = 0;
        QObject::connect(delegate->statusMenuItem(), &QAction::changed,
                         [this, last = title()]() mutable {
                             if (title() != last) {
                                 last = title();
                                 ++titleChanges;
                             }
                         });
    }
    QString title() const { return delegate->statusMenuItem()->text(); }

    // One poll: 5 s of virtual time, then a bounded real wait for its requests to end.
    void poll() {
        queue->advance(5.0);
        ASSERT_TRUE(queue->runUntil(
            [&] {
                peakInFlight = std::max(peakInFlight, inFlight());
                return inFlight() == 0;
            },
            std::chrono::seconds(25)));
        queue->runPending();
    }

    QStringList titles(QMenu *menu) const {
        QStringList t;
        for (QAction *a : menu->actions())
            t << (a->isSeparator() ? QStringLiteral("---") : a->text());
        return t;
    }

    DeviceSimulator sim;
    int discoveriesMade = 0;
    std::optional<QString> typedAddress;
    QString dialogInitialText;
    std::shared_ptr<FakeKeyTap::Shared> keys = std::make_shared<FakeKeyTap::Shared>();
    std::vector<std::pair<QString, QString>> prompts;
    bool chooseAction = false;
    int settingsOpened = 0;
    int titleChanges = 0;
    std::size_t peakInFlight = 0;
};

TEST_F(AppDelegateTest, FirstLaunchShowsNoDeviceAndSendsNothing) {
    launch();
    EXPECT_EQ(tray->title, "WiiM");
    EXPECT_EQ(tray->iconName, "audio-speakers");
    EXPECT_EQ(delegate->statusMenuItem()->text(), "No Device Selected");
    EXPECT_FALSE(delegate->nowPlayingItem()->isVisible());
    EXPECT_FALSE(delegate->isPolling());
    EXPECT_EQ(keys->enables, 0) << "keys are not captured unless asked";
    ASSERT_NE(bonjour.browserFor("_airplay._tcp."), nullptr) << "discovery starts always";
    EXPECT_EQ(titles(delegate->deviceSubmenu()),
              (QStringList{"Searching\u2026", "---", "Rescan Network", "Enter IP Address\u2026"}));
    EXPECT_FALSE(delegate->deviceSubmenu()->actions()[0]->isEnabled());
    // Without a device the controls move the icon only.
    delegate->sliderChanged(20);
    delegate->statusBarScroll(+1);
    delegate->nextTrackAction();
    queue->advance(30);
    EXPECT_EQ(delegate->iconSymbol(), "speaker.wave.1.fill");
    EXPECT_TRUE(sim.commands().empty());
}

TEST_F(AppDelegateTest, MenuLayoutStatesAndShortcuts) {
    Settings::setVolumeStep(5);
    launch();
    QMenu *menu = delegate->menu();
    ASSERT_EQ(tray->menu, menu);
    EXPECT_EQ(titles(menu),
              (QStringList{"No Device Selected", "", "---", "Volume 50%", "Playback", "Source",
                           "Presets", "---", "Select Device", "---", "Capture Media Keys",
                           "Start at Login", "Volume Step", "Maximum Volume", "---",
                           "Check for Updates\u2026", "---", "Quit Knobly"}));
    const auto actions = menu->actions();
    EXPECT_FALSE(actions[5]->isVisible()) << "no device, no inputs";
    EXPECT_FALSE(actions[6]->isVisible());
    EXPECT_EQ(actions[10]->shortcut(), QKeySequence("Ctrl+K"));
    EXPECT_TRUE(actions[10]->isCheckable());
    EXPECT_FALSE(actions[10]->isChecked());
    EXPECT_EQ(actions[17]->shortcut(), QKeySequence("Ctrl+Q"));
    QMenu *steps = actions[12]->menu();
    ASSERT_NE(steps, nullptr);
    EXPECT_EQ(titles(steps), (QStringList{"1%", "2%", "3%", "5%", "10%"}));
    for (QAction *entry : steps->actions()) {
        EXPECT_EQ(entry->text(), QString::number(entry->data().toInt()) + "%");
        EXPECT_EQ(entry->isChecked(), entry->data().toInt() == 5) << entry->text().toStdString();
    }
    // Choosing 10% moves the mark and the setting.
    steps->actions()[4]->trigger();
    EXPECT_EQ(Settings::volumeStep(), 10);
    for (QAction *entry : steps->actions())
        EXPECT_EQ(entry->isChecked(), entry->data().toInt() == 10);

    // Ctrl+R works while the menu is open.
    auto *panel = static_cast<QWidget *>(menu);
    QKeyEvent press(QEvent::KeyPress, Qt::Key_R, Qt::ControlModifier);
    QCoreApplication::sendEvent(panel, &press);
    EXPECT_EQ(discoveriesMade, 2) << "Ctrl+R rescans";
    QKeyEvent keys(QEvent::KeyPress, Qt::Key_K, Qt::ControlModifier);
    QCoreApplication::sendEvent(panel, &keys);
    EXPECT_TRUE(delegate->interceptItem()->isChecked());
}

// The check mark is the autostart file, read when the menu opens; a failure keeps it.
TEST_F(AppDelegateTest, StartAtLoginFollowsTheAutostartFile) {
    const QString folder = qEnvironmentVariable("XDG_CONFIG_HOME") + "/autostart";
    const QString entry = folder + "/org.knobly.Knobly.desktop";
    QDir(folder).removeRecursively();
    launch();
    QAction *login = delegate->loginItem();
    EXPECT_FALSE(login->isChecked());
    login->trigger();
    EXPECT_TRUE(login->isChecked());
    EXPECT_TRUE(QFileInfo::exists(entry));
    QFile::remove(entry); // turned off elsewhere
    Q_EMIT delegate->menu()->aboutToShow();
    EXPECT_FALSE(login->isChecked());

    QFile blocker(folder);
    QDir(folder).removeRecursively();
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    login->trigger();
    EXPECT_FALSE(login->isChecked());
    ASSERT_EQ(prompts.size(), 1u);
    EXPECT_EQ(prompts[0].first, "Start at Login Could Not Be Changed");
    QFile::remove(folder);
}

TEST_F(AppDelegateTest, SavedDeviceIsConnectedAndPolled) {
    Settings::setIp(sim.address());
    Settings::setDeviceName("Kitchen");
    launch();
    EXPECT_EQ(delegate->statusMenuItem()->text(), "Kitchen");
    EXPECT_FALSE(delegate->statusMenuItem()->icon().isNull()) << "marked before any answer";
    settle(2);
    EXPECT_EQ(statusQueries(), 2u) << "the connect query and the first poll";
    EXPECT_EQ(delegate->statusMenuItem()->text(), "Kitchen");
    EXPECT_EQ(delegate->volumeSlider()->value(), 35);
    EXPECT_EQ(delegate->iconSymbol(), "speaker.wave.2.fill");
    EXPECT_EQ(tray->iconName, "audio-volume-medium");
    EXPECT_TRUE(delegate->nowPlayingItem()->isVisible());
    EXPECT_EQ(delegate->nowPlayingItem()->text(),
              QString::fromUtf8("Miles Davis \xe2\x80\x94 Blue in Green"));
    EXPECT_EQ(delegate->playPauseButton()->property("symbol").toString(), "pause.fill");
    EXPECT_TRUE(tray->toolTip.contains("Kitchen"));
    EXPECT_TRUE(tray->toolTip.contains("35%"));

    queue->advance(5.0);
    settle(3);
    EXPECT_EQ(statusQueries(), 3u) << "one poll every 5 s";
}

// Every way a device can misbehave fails quietly: polling goes on, few requests at a time,
// the first line says "unreachable" once and recovers on the next good poll. Reachability is
// state, not that line's text: a name with "unreachable" in it is no different.
TEST_F(AppDelegateTest, EveryDeviceFaultFailsQuietlyAndRecovers) {
    std::vector<test::DeviceFault> cases(std::begin(test::kDeviceFaults),
                                         std::end(test::kDeviceFaults));
    cases.push_back({"The unreachable room", Fault::Reset, false, false, true, false});
    for (const test::DeviceFault &c : cases) {
        SCOPED_TRACE(c.name);
        sim.setFault(Fault::None);
        sim.clearRequests();
        launchConnected(c.name == QLatin1String("The unreachable room") ? c.name : "Kitchen");
        const QString name = title();
        sim.setFault(c.fault);
        for (int i = 0; i < 3; ++i)
            poll();
        EXPECT_EQ(title(), c.statusDecodes ? name : name + " (unreachable)");
        EXPECT_EQ(titleChanges, c.statusDecodes ? 0 : 1) << "the first line changes once";
        EXPECT_EQ(tray->iconName, c.statusDecodes ? "audio-volume-medium" : "network-error");
        EXPECT_EQ(delegate->volumeSlider()->value(), 35) << "the slider keeps its value";
        EXPECT_TRUE(delegate->nowPlayingItem()->isVisible());
        if (c.reachesRequests) {
            EXPECT_GE(statusQueries(), 5u) << "polling goes on";
        }
        EXPECT_LE(peakInFlight, 3u);
        sim.setFault(Fault::None);
        sim.setVolume(70);
        poll();
        EXPECT_EQ(title(), name);
        EXPECT_EQ(titleChanges, c.statusDecodes ? 0 : 2);
        EXPECT_EQ(tray->iconName, "audio-volume-high");
        sim.setVolume(35);
        delegate.reset();
    }
}

TEST_F(AppDelegateTest, FlappingBetweenResetAndHealthyFlipsTheLineEachPoll) {
    launchConnected();
    for (int i = 0; i < 20; ++i) {
        const bool broken = i % 2 == 0;
        sim.setFault(broken ? Fault::Reset : Fault::None);
        poll();
        ASSERT_EQ(title(), broken ? "Kitchen (unreachable)" : "Kitchen") << "poll " << i;
        ASSERT_EQ(titleChanges, i + 1);
    }
    EXPECT_LE(peakInFlight, 3u);
}

// The maximum volume holds on every path a level can come from; a device already above it is
// left alone until the volume is changed.
TEST_F(AppDelegateTest, TheVolumeLimitHoldsOnEveryPath) {
    Settings::setIp(sim.address());
    Settings::setInterceptKeys(true);
    Settings::setVolumeStep(5);
    sim.setVolume(80);
    launch();
    settle(2);
    QMenu *limits = nullptr;
    for (QAction *a : delegate->menu()->actions())
        if (a->text() == "Maximum Volume")
            limits = a->menu();
    ASSERT_NE(limits, nullptr);
    EXPECT_EQ(titles(limits), (QStringList{"100%", "90%", "80%", "70%", "60%", "50%"}));
    limits->actions()[4]->trigger();
    EXPECT_EQ(Settings::maxVolume(), 60);
    queue->advance(5.0);
    settle(3);
    EXPECT_EQ(sim.volume(), 80) << "left alone until changed";

    const std::pair<const char *, std::function<void()>> paths[] = {
        {"key", [&] { pressKey(*keys, MediaKey::volumeUp); }},
        {"scroll", [&] { delegate->statusBarScroll(+1); }},
        {"slider", [&] { delegate->sliderChanged(95); }},
        {"exported level",
         [&] {
             for (QAction *a : delegate->menu()->actions())
                 if (auto *row = qobject_cast<VolumeSliderRow *>(a))
                     row->levels().constLast()->trigger(); // 100%
         }},
        {"desktop", [&] { delegate->setVolumeFromDesktop(100); }},
    };
    for (const auto &[name, change] : paths) {
        SCOPED_TRACE(name);
        sim.setVolume(10);
        delegate->wiiMClient()->setCurrentVolume(58);
        change();
        queue->runPending();
        ASSERT_TRUE(waitUntil([&] { return sim.volume() == 60; }));
        EXPECT_LE(delegate->volumeSlider()->value(), 60);
    }
}

TEST_F(AppDelegateTest, SourceAndPresetsFollowTheDevice) {
    DeviceSimulator::Options options;
    options.project = "WiiM_Amp";
    options.presets = {{1, "Radio One"}, {4, "Jazz"}};
    DeviceSimulator amp(options);
    ASSERT_TRUE(amp.start());
    Settings::setIp(amp.address());
    launch();
    ASSERT_TRUE(queue->runUntil([&] { return !delegate->presetMenu()->actions().isEmpty(); }));
    ASSERT_TRUE(queue->runUntil([&] { return !delegate->sourceMenu()->actions().isEmpty(); }));
    EXPECT_EQ(titles(delegate->sourceMenu()),
              (QStringList{"Wi-Fi", "Bluetooth", "Line In", "Optical", "HDMI ARC"}));
    EXPECT_TRUE(delegate->sourceMenu()->actions()[0]->isChecked()) << "streaming is Wi-Fi";
    EXPECT_EQ(titles(delegate->presetMenu()), (QStringList{"1. Radio One", "4. Jazz"}));

    delegate->sourceMenu()->actions()[4]->trigger();
    const auto got = [&](const char *command) {
        const auto c = amp.commands();
        return std::find(c.begin(), c.end(), command) != c.end();
    };
    ASSERT_TRUE(waitUntil([&] { return got("setPlayerCmd:switchmode:ARC"); }));
    EXPECT_TRUE(delegate->sourceMenu()->actions()[0]->isChecked()) << "until the device says so";
    queue->advance(5.0);
    ASSERT_TRUE(queue->runUntil([&] { return delegate->sourceMenu()->actions()[4]->isChecked(); }));
    delegate->presetMenu()->actions()[1]->trigger();
    ASSERT_TRUE(waitUntil([&] { return got("MCUKeyShortClick:4"); }));

    // A device without presets has no such submenu.
    Settings::setIp(sim.address());
    delegate->connectToDevice(sim.address(), "Kitchen");
    settle(2);
    queue->runPending();
    EXPECT_FALSE(delegate->presetMenu()->menuAction()->isVisible());
    EXPECT_TRUE(delegate->sourceMenu()->menuAction()->isVisible());
}

TEST_F(AppDelegateTest, SilentTrackHidesNowPlayingAndPausedShowsPlay) {
    DeviceSimulator::Options quiet;
    quiet.tracks = {{"", "", ""}};
    DeviceSimulator other(quiet);
    ASSERT_TRUE(other.start());
    other.setStatus("pause");
    launch();
    delegate->connectToDevice(sim.address(), "Kitchen");
    settle(2);
    EXPECT_TRUE(delegate->nowPlayingItem()->isVisible());
    delegate->connectToDevice(other.address(), "Den");
    ASSERT_TRUE(queue->runUntil([&] {
        return other.commands().size() >= 2 &&
               delegate->wiiMClient()->session()->requestsInFlight() == 0;
    }));
    queue->runPending();
    EXPECT_FALSE(delegate->nowPlayingItem()->isVisible());
    EXPECT_EQ(delegate->playPauseButton()->property("symbol").toString(), "play.fill");
}

TEST_F(AppDelegateTest, SkipAddsPollsAtHalfOneAndAHalfAndThreeSeconds) {
    Settings::setIp(sim.address());
    launch();
    settle(2);
    delegate->nextTrackAction();
    ASSERT_TRUE(queue->runUntil([&] {
        return sim.commands().back() == "setPlayerCmd:next" &&
               delegate->wiiMClient()->session()->requestsInFlight() == 0;
    }));
    const struct {
        double advance;
        std::size_t queries;
    } steps[] = {{0.49, 2}, {0.01, 3}, {0.99, 3}, {0.01, 4}, {1.49, 4}, {0.01, 5}};
    for (const auto &s : steps) {
        queue->advance(s.advance);
        settle(s.queries);
        EXPECT_EQ(statusQueries(), s.queries) << "at " << queue->now();
    }
    EXPECT_EQ(delegate->nowPlayingItem()->text(),
              QString::fromUtf8("Jo\xc3\xa3o Gilberto \xe2\x80\x94 S\xc3\xb3 Dan\xc3\xa7o Samba"));
}

TEST_F(AppDelegateTest, VolumeStepsAreShownBeforeTheDeviceAnswers) {
    sim.setVolume(40);
    Settings::setIp(sim.address());
    launch();
    settle(2);
    sim.setFault(Fault::Hang); // no answer will come
    for (const int expected : {43, 46, 49}) {
        delegate->statusBarScroll(+1);
        queue->runPending();
        EXPECT_EQ(delegate->hud().volume(), expected);
        EXPECT_FALSE(delegate->hud().isMuted());
        EXPECT_TRUE(delegate->hud().isVisible());
    }
    EXPECT_EQ(delegate->volumeSlider()->value(), 49);
    EXPECT_EQ(delegate->iconSymbol(), "speaker.wave.2.fill");
    const auto volumeCommands = [&] {
        QStringList sent;
        for (const QString &c : sim.commands())
            if (c.startsWith("setPlayerCmd:vol:"))
                sent << c;
        return sent;
    };
    ASSERT_TRUE(waitUntil([&] { return !volumeCommands().isEmpty(); }));
    // One command in flight; the later steps wait for its answer, and only the latest goes.
    EXPECT_EQ(volumeCommands(), QStringList{"setPlayerCmd:vol:43"});
    // Steps quicker than the main queue turns all show the value stored last.
    delegate->statusBarScroll(-1);
    delegate->statusBarScroll(-1);
    queue->runPending();
    EXPECT_EQ(delegate->volumeSlider()->value(), 43);
    EXPECT_EQ(delegate->hud().volume(), 43);
}

// One mapping for the panel and the overlay, below 0 too.
TEST_F(AppDelegateTest, IconFollowsTheThresholdsAndMute) {
    launch();
    const struct {
        std::int64_t volume;
        const char *symbol;
    } cases[] = {{0, "speaker.slash.fill"},    {1, "speaker.wave.1.fill"},
                 {32, "speaker.wave.1.fill"},  {33, "speaker.wave.2.fill"},
                 {65, "speaker.wave.2.fill"},  {66, "speaker.wave.3.fill"},
                 {100, "speaker.wave.3.fill"}, {-5, "speaker.slash.fill"}};
    for (const auto &c : cases) {
        delegate->updateIcon(c.volume);
        EXPECT_EQ(delegate->iconSymbol(), c.symbol) << c.volume;
        EXPECT_EQ(volumeSymbolName(c.volume, false), c.symbol) << "the overlay's, " << c.volume;
    }
    delegate->connectToDevice(sim.address(), "Kitchen");
    delegate->wiiMClient()->setIsMuted(true);
    delegate->updateIcon(80);
    EXPECT_EQ(delegate->iconSymbol(), "speaker.slash.fill");
    EXPECT_EQ(tray->iconName, "audio-volume-muted");
    EXPECT_FALSE(tray->image.isNull());
}

TEST_F(AppDelegateTest, AnswersFromAReplacedClientAreDropped) {
    DeviceSimulator slow;
    ASSERT_TRUE(slow.start());
    slow.setVolume(90);
    slow.setFault(Fault::Delay, 300);
    sim.setVolume(12);
    launch();
    delegate->connectToDevice(slow.address(), "Slow");
    const auto replaced = delegate->wiiMClient();
    delegate->connectToDevice(sim.address(), "Quick");
    settle(2);
    // The slow device's two answers arrive later and are handed over too.
    ASSERT_TRUE(queue->runUntil([&] { return replaced->session()->requestsInFlight() == 0; }));
    queue->runPending();
    EXPECT_EQ(slow.commands().size(), 2u);
    EXPECT_EQ(delegate->statusMenuItem()->text(), "Quick");
    EXPECT_EQ(delegate->volumeSlider()->value(), 12);
    EXPECT_EQ(Settings::ip(), sim.address());
    EXPECT_EQ(Settings::deviceName(), "Quick");
}

// The saved device stops answering; found again by its id at another address, it is connected
// there and saved. The search starts after three silent polls and at most once a minute.
TEST_F(AppDelegateTest, ADeviceThatMovedIsFollowedByItsId) {
    Settings::setIp(sim.address());
    launch();
    settle(2);
    ASSERT_TRUE(queue->runUntil([] { return !Settings::deviceUuid().isEmpty(); }));
    DeviceSimulator::Options elsewhere;
    elsewhere.bind = QHostAddress(QStringLiteral("127.0.0.2"));
    elsewhere.port = sim.port();
    sim.stop();
    DeviceSimulator moved(elsewhere);
    ASSERT_TRUE(moved.start());

    const auto failedPolls = [&](int n) {
        for (int i = 0; i < n; ++i) {
            queue->advance(5.0);
            ASSERT_TRUE(queue->runUntil([&] { return inFlight() == 0; }));
            queue->runPending();
        }
    };
    failedPolls(2);
    EXPECT_EQ(discoveriesMade, 1);
    failedPolls(1);
    EXPECT_EQ(discoveriesMade, 2) << "three silent polls start a search";
    failedPolls(11);
    EXPECT_EQ(discoveriesMade, 2) << "no more than one a minute";
    failedPolls(1);
    EXPECT_EQ(discoveriesMade, 3);

    auto speaker = std::make_shared<ScriptedService>("Living Room", "_linkplay._tcp.");
    speaker->setAddresses(std::vector<QByteArray>{ScriptedService::ipv4Blob("127.0.0.2")});
    queue->advance(0.5);
    ASSERT_NE(bonjour.browserFor("_linkplay._tcp."), nullptr);
    bonjour.browserFor("_linkplay._tcp.")->announce(speaker);
    speaker->deliverResolved();
    ASSERT_TRUE(queue->runUntil([&] { return Settings::ip() == moved.address(); }));
    EXPECT_EQ(Settings::deviceUuid(), "FF98F09C4BD0B0224C1F9A55");
    ASSERT_TRUE(settled(moved, 1));
    EXPECT_FALSE(delegate->statusMenuItem()->text().contains("unreachable"));
}

TEST_F(AppDelegateTest, DevicesFromDiscoveryFillTheSubmenu) {
    Settings::setIp("10.0.0.2");
    launch();
    using S = ScriptedService;
    auto kitchen = std::make_shared<S>("Kitchen", "_airplay._tcp.");
    kitchen->setAddresses(std::vector<QByteArray>{S::ipv4Blob("10.0.0.2")});
    kitchen->setTxt(S::txtRecord({"model=WiiM Pro"}));
    auto den = std::make_shared<S>("WiiM Den", "_airplay._tcp.");
    den->setAddresses(std::vector<QByteArray>{S::ipv4Blob("10.0.0.3")});
    bonjour.browserFor("_airplay._tcp.")->announce(kitchen);
    bonjour.browserFor("_airplay._tcp.")->announce(den);
    kitchen->deliverResolved();
    den->deliverResolved();
    EXPECT_EQ(delegate->devices().size(), 0u) << "stored on a later turn, not inside the call";
    queue->runPending();
    ASSERT_EQ(delegate->devices().size(), 2u);
    QMenu *sub = delegate->deviceSubmenu();
    EXPECT_EQ(titles(sub), (QStringList{"Kitchen \u2014 WiiM Pro", "WiiM Den", "---",
                                        "Rescan Network", "Enter IP Address\u2026"}));
    EXPECT_TRUE(sub->actions()[0]->isChecked());
    EXPECT_FALSE(sub->actions()[1]->isChecked());
    EXPECT_EQ(sub->actions()[3]->shortcut(), QKeySequence("Ctrl+R"));

    // Picking moves the mark at once and connects.
    sub->actions()[1]->trigger();
    EXPECT_EQ(Settings::ip(), "10.0.0.3");
    EXPECT_EQ(Settings::deviceName(), "WiiM Den");
    EXPECT_FALSE(sub->actions()[0]->isChecked());
    EXPECT_TRUE(sub->actions()[1]->isChecked());

    // A rescan empties the list at once and starts a new discovery.
    sub->actions()[3]->trigger();
    EXPECT_TRUE(delegate->devices().empty());
    EXPECT_EQ(titles(sub).first(), "Searching\u2026");
    EXPECT_EQ(discoveriesMade, 2);
}

TEST_F(AppDelegateTest, TypedAddressConnectsAndTakesTheDevicesName) {
    Settings::setIp("10.9.9.9");
    launch();
    typedAddress = std::nullopt;
    delegate->enterIP();
    EXPECT_EQ(dialogInitialText, "10.9.9.9");
    EXPECT_EQ(Settings::ip(), "10.9.9.9") << "cancel changes nothing";

    typedAddress = QStringLiteral(" 127.0.0.1\n");
    delegate->enterIP();
    EXPECT_EQ(Settings::ip(), "127.0.0.1");
    EXPECT_EQ(Settings::deviceName(), "WiiM (127.0.0.1)");
    ASSERT_TRUE(queue->runUntil([&] { return Settings::deviceName() == "WiiM Pro-9222"; }));
    EXPECT_EQ(delegate->statusMenuItem()->text(), "WiiM Pro-9222");
}

TEST_F(AppDelegateTest, ProbedNameIsDroppedWhenTheUserMovedOn) {
    launch();
    sim.setFault(Fault::Delay, 200);
    typedAddress = QStringLiteral("127.0.0.1");
    delegate->enterIP();
    delegate->connectToDevice("10.0.0.4", "Hall");
    ASSERT_TRUE(queue->runUntil([&] { return !sim.commands().empty(); }));
    queue->runUntil([] { return false; }, std::chrono::milliseconds(500));
    EXPECT_EQ(Settings::deviceName(), "Hall");
}

TEST_F(AppDelegateTest, QuitRunsTheTeardownTwiceWithoutHarm) {
    Settings::setIp(sim.address());
    launch();
    settle(2);
    delegate->quitApp();
    delegate->applicationWillTerminate();
    EXPECT_FALSE(delegate->isPolling());
    EXPECT_FALSE(bonjour.browserFor("_airplay._tcp.")->searching());
    const std::size_t before = statusQueries();
    queue->advance(30);
    EXPECT_EQ(statusQueries(), before);
}

TEST_F(AppDelegateTest, SavedCaptureStartsAtLaunchOrIsSwitchedOffQuietly) {
    struct Case {
        bool refuse;
        bool captured;
    };
    for (const Case c : {Case{false, true}, Case{true, false}}) {
        Settings::setInterceptKeys(true);
        keys->refuse = c.refuse;
        launch();
        EXPECT_EQ(delegate->interceptItem()->isChecked(), c.captured);
        EXPECT_EQ(delegate->keyInterceptor().isActive(), c.captured);
        EXPECT_EQ(Settings::interceptKeys(), c.captured);
        EXPECT_TRUE(prompts.empty()) << "no prompt at launch";
        delegate.reset();
    }
}

TEST_F(AppDelegateTest, CaptureTogglesFromTheMenuAndExplainsARefusal) {
    launch();
    delegate->interceptItem()->trigger();
    EXPECT_TRUE(delegate->interceptItem()->isChecked());
    EXPECT_TRUE(Settings::interceptKeys());
    delegate->interceptItem()->trigger();
    EXPECT_FALSE(delegate->interceptItem()->isChecked());
    EXPECT_FALSE(Settings::interceptKeys());
    EXPECT_FALSE(keys->handler) << "keys reach the desktop again";

    struct Case {
        KeyTap::Refusal refusal;
        const char *title;
        bool choose;
        int opened;
    };
    const Case cases[] = {{KeyTap::Refusal::keysTaken, "Media Keys Are in Use", true, 1},
                          {KeyTap::Refusal::noX11, "Media Keys Cannot Be Captured", false, 1},
                          {KeyTap::Refusal::noPortal, "Media Keys Cannot Be Captured", false, 1}};
    keys->refuse = true;
    for (const Case &c : cases) {
        keys->refusal = c.refusal;
        chooseAction = c.choose;
        prompts.clear();
        delegate->interceptItem()->trigger();
        EXPECT_FALSE(delegate->interceptItem()->isChecked());
        EXPECT_FALSE(Settings::interceptKeys());
        ASSERT_EQ(prompts.size(), 1u);
        EXPECT_EQ(prompts[0].first, c.title);
        EXPECT_EQ(prompts[0].second, "Open Settings");
        EXPECT_EQ(settingsOpened, c.opened);
    }
}

// The desktop's dialog answered "no" after capture was switched on.
TEST_F(AppDelegateTest, KeysRefusedLaterSwitchCaptureOffWithAPrompt) {
    launch();
    delegate->interceptItem()->trigger();
    ASSERT_TRUE(Settings::interceptKeys());
    keys->refuse = true;
    keys->refusal = KeyTap::Refusal::declined;
    keys->lose();
    EXPECT_FALSE(delegate->interceptItem()->isChecked());
    EXPECT_FALSE(delegate->keyInterceptor().isActive());
    EXPECT_FALSE(Settings::interceptKeys());
    ASSERT_EQ(prompts.size(), 1u);
    EXPECT_EQ(prompts[0].first, "Media Keys Were Not Granted");
}

TEST_F(AppDelegateTest, MediaKeysDriveTheDevice) {
    Settings::setIp(sim.address());
    Settings::setInterceptKeys(true);
    Settings::setVolumeStep(5);
    launch();
    settle(2);
    ASSERT_TRUE(delegate->keyInterceptor().isActive());

    EXPECT_TRUE(pressKey(*keys, MediaKey::volumeUp));
    queue->runPending();
    EXPECT_EQ(delegate->hud().volume(), 40);
    ASSERT_TRUE(waitUntil([&] { return sim.volume() == 40; }));
    // Shift steps by one.
    EXPECT_TRUE(keys->handler(KeyEvent{MediaKey::volumeUp, true, false, true}));
    queue->runPending();
    ASSERT_TRUE(waitUntil([&] { return sim.volume() == 41; }));
    EXPECT_TRUE(keys->handler(KeyEvent{MediaKey::volumeDown, true, false, true}));
    queue->runPending();
    ASSERT_TRUE(waitUntil([&] { return sim.volume() == 40; }));

    // Mute: the overlay and the slider drop to 0, the stored volume comes back on unmute.
    EXPECT_TRUE(pressKey(*keys, MediaKey::mute));
    ASSERT_TRUE(queue->runUntil([&] { return delegate->hud().isMuted(); }));
    EXPECT_EQ(delegate->hud().volume(), 0);
    EXPECT_EQ(delegate->volumeSlider()->value(), 0);
    EXPECT_EQ(delegate->iconSymbol(), "speaker.slash.fill");
    EXPECT_TRUE(sim.muted());
    EXPECT_TRUE(pressKey(*keys, MediaKey::mute));
    ASSERT_TRUE(queue->runUntil([&] { return !delegate->hud().isMuted(); }));
    EXPECT_EQ(delegate->hud().volume(), 40);
    EXPECT_EQ(delegate->volumeSlider()->value(), 40);

    const std::size_t before = sim.commands().size();
    EXPECT_TRUE(pressKey(*keys, MediaKey::next));
    EXPECT_TRUE(pressKey(*keys, MediaKey::previous));
    EXPECT_TRUE(pressKey(*keys, MediaKey::playPause));
    ASSERT_TRUE(waitUntil([&] { return sim.commands().size() >= before + 3; }));
    const auto c = sim.commands();
    // Three requests at once may reach the device in any order.
    QStringList sent;
    for (std::size_t i = before; i < before + 3; ++i)
        sent << c[i];
    sent.sort();
    EXPECT_EQ(sent, (QStringList{"setPlayerCmd:next", "setPlayerCmd:pause", "setPlayerCmd:prev"}));
}

} // namespace
