#include "Await.h"
#include "ControllerFixture.h"
#include "DeviceFaults.h"
#include "Symbols.h"

#include <QKeyEvent>

using namespace knobly;
using devicesim::Fault;

namespace {

using AppDelegateTest = test::ControllerFixture;

// Without a device nothing is sent. Ctrl shortcuts work in the open menu, in submenus too. Start
// at Login shows the autostart file as the menu opens; a failure keeps it off and says so.
TEST_F(AppDelegateTest, TheMenuWorksWithoutADevice) {
    launch();
    EXPECT_EQ(keys->enables, 0) << "keys are not captured unless asked";
    EXPECT_EQ(keys->giveBacks, 1) << "keys an earlier run kept go back to the desktop";
    delegate->sliderChanged(20);
    delegate->statusBarScroll(+1);
    delegate->nextTrackAction();
    queue->advance(30);
    EXPECT_TRUE(sim.commands().empty());
    QStringList icons; // the thresholds, and below 0 too
    for (const int volume : {-5, 0, 1, 32, 33, 65, 66, 100})
        icons << volumeSymbolName(volume, false).section('.', 1, -2);
    EXPECT_EQ(icons.join(' '), "slash slash wave.1 wave.1 wave.2 wave.2 wave.3 wave.3");
    for (const Qt::Key key : {Qt::Key_R, Qt::Key_K}) {
        QKeyEvent press(QEvent::KeyPress, key, Qt::ControlModifier);
        QCoreApplication::sendEvent(delegate->menu(), &press);
    }
    EXPECT_EQ(discoveries, 2) << "Ctrl+R rescans";
    EXPECT_TRUE(delegate->interceptItem()->isChecked()) << "Ctrl+K captures";
    delegate->loginItem()->trigger();
    const QString folder = qEnvironmentVariable("XDG_CONFIG_HOME") + "/autostart";
    ASSERT_TRUE(QDir(folder).removeRecursively() && delegate->loginItem()->isChecked());
    Q_EMIT delegate->menu()->aboutToShow(); // turned off elsewhere meanwhile
    EXPECT_FALSE(delegate->loginItem()->isChecked());
    ASSERT_TRUE(QFile(folder).open(QIODevice::WriteOnly)); // a file where the folder goes
    delegate->loginItem()->trigger();
    EXPECT_FALSE(delegate->loginItem()->isChecked());
    EXPECT_EQ(prompts, QStringList{"Start at Login Could Not Be Changed"});
    QFile::remove(folder);
}

// The sleep timer is the device's: the menu asks how long is left as it opens, marks the
// choice made here, and says the time left of one set elsewhere without marking a choice.
TEST_F(AppDelegateTest, TheSleepTimerSaysWhatTheDeviceKeeps) {
    launchSaved();
    QMenu *sleep = delegate->sleepMenu();
    const QList<QAction *> rows = sleep->actions(); // time left, Off, 15, 30, 60, 90
    ASSERT_EQ(rows.size(), 6);
    const auto opened = [&](const std::function<bool()> &shown) {
        Q_EMIT delegate->menu()->aboutToShow();
        return queue->runUntil(shown);
    };
    ASSERT_TRUE(opened([&] { return rows[1]->isChecked(); })) << "Off while none runs";
    EXPECT_FALSE(rows[0]->isVisible());
    rows[3]->trigger();
    ASSERT_TRUE(queue->runUntil([&] { return rows[3]->isChecked() && rows[0]->isVisible(); }));
    EXPECT_EQ(rows[0]->text(), "30 min left");
    EXPECT_NEAR(sim.sleepSecondsLeft(), 1800, 5);
    const auto told = sim.commands();
    const auto set = std::find(told.begin(), told.end(), "setShutdown:1800");
    EXPECT_NE(std::find(set, told.end(), "getShutdown"), told.end())
        << "asked again after setting it";
    rows[1]->trigger();
    ASSERT_TRUE(queue->runUntil([&] { return rows[1]->isChecked() && !rows[0]->isVisible(); }));
    EXPECT_EQ(sim.sleepSecondsLeft(), 0);
    const auto sent = sim.commands();
    EXPECT_NE(std::find(sent.begin(), sent.end(), "setShutdown:-1"), sent.end())
        << "off is -1: 0 would turn the device off now";
    sim.runCommand("setShutdown:2700"); // set elsewhere: no entry is its choice
    ASSERT_TRUE(opened([&] { return rows[0]->isVisible(); }));
    EXPECT_EQ(rows[0]->text(), "45 min left");
    for (QAction *row : rows.mid(1))
        EXPECT_FALSE(row->isChecked()) << row->text().toStdString();
}

// A change made elsewhere reaches the panel, the menu and the transport row through the
// device's event, before any poll; the overlay stays for changes made here.
TEST_F(AppDelegateTest, ChangesMadeElsewhereReachEverySurfaceWithoutFeedback) {
    withEvents = true;
    launchSaved();
    const auto spin = [this](const std::function<bool()> &done) { return queue->runUntil(done); };
    ASSERT_TRUE(spin([&] {
        const DeviceEvents *e = delegate->controller().events();
        return e && e->alive();
    }));
    const auto polls = statusQueries(sim);
    sim.setVolume(62);
    ASSERT_TRUE(spin([&] { return tray->toolTip == "Kitchen \u2014 volume 62%"; }));
    EXPECT_EQ(delegate->volumeSlider()->value(), 62);
    sim.setStatus("pause");
    ASSERT_TRUE(spin(
        [&] { return delegate->playPauseButton()->property("symbol").toString() == "play.fill"; }));
    EXPECT_FALSE(delegate->hud().isVisible()) << "feedback for a change made elsewhere";
    EXPECT_EQ(statusQueries(sim), polls) << "events, not polls";
}

// Polls every 5 s, and at 0.5, 1.5 and 3 s after a skip; none after quitting. An idle poll
// changes nothing on screen.
TEST_F(AppDelegateTest, SavedDeviceIsPolledUntilQuit) {
    launchSaved();
    EXPECT_EQ(statusQueries(sim), 2u) << "the connect query and the first poll";
    EXPECT_EQ(tray->toolTip, "Kitchen \u2014 volume 35%");
    EXPECT_TRUE(delegate->nowPlayingItem()->isVisible());
    EXPECT_EQ(delegate->playPauseButton()->property("symbol").toString(), "pause.fill");
    // A poll that finds nothing new redraws and re-exports nothing.
    const int icons = tray->iconChanges;
    int rowChanges = 0;
    for (QAction *row : delegate->menu()->findChildren<QAction *>())
        QObject::connect(row, &QAction::changed, [&rowChanges] { ++rowChanges; });
    queue->advance(5.0);
    settle(3);
    EXPECT_EQ(tray->iconChanges - icons + rowChanges, 0);
    delegate->nextTrackAction();
    ASSERT_TRUE(
        queue->runUntil([&] { return sim.commandCount("setPlayerCmd:next") == 1 && !inFlight(); }));
    for (const auto &[advance, queries] :
         {std::pair{0.49, 3u}, {0.01, 4u}, {0.99, 4u}, {0.01, 5u}, {1.49, 5u}, {0.01, 6u}}) {
        queue->advance(advance);
        settle(queries);
        EXPECT_EQ(statusQueries(sim), queries) << "at " << queue->now();
    }
    EXPECT_EQ(delegate->nowPlayingItem()->text(),
              "Jo\u00e3o Gilberto \u2014 S\u00f3 Dan\u00e7o Samba");
    EXPECT_EQ(tray->iconChanges, icons) << "another track, the same speaker";
    delegate->quitApp();
    delegate->applicationWillTerminate(); // a second teardown does no harm
    EXPECT_FALSE(bonjour.browserFor("_airplay._tcp.")->searching());
    queue->advance(30);
    EXPECT_EQ(statusQueries(sim) + inFlight(), 6u) << "no poll after quitting";
}

// Every fault fails quietly: polling goes on, few requests at a time, and the first line and the
// panel say "unreachable" (state, not the name's text) from the first failed poll to a good one.
TEST_F(AppDelegateTest, EveryDeviceFaultFailsQuietlyAndRecovers) {
    for (const test::DeviceFault &c : test::kDeviceFaults) {
        SCOPED_TRACE(c.name);
        const QString name = QStringLiteral("The unreachable ") + c.name;
        sim.clearRequests();
        launchSaved(name);
        sim.setFault(c.fault);
        for (int i = 0; i < 3; ++i) {
            poll();
            ASSERT_EQ(title(), c.statusDecodes ? name : name + " (unreachable)") << "poll " << i;
        }
        EXPECT_EQ(tray->iconName, c.statusDecodes ? "org.knobly.Knobly-medium-symbolic"
                                                  : "org.knobly.Knobly-unreachable-symbolic");
        EXPECT_EQ(delegate->volumeSlider()->value(), 35) << "the last known level stays";
        EXPECT_GE(statusQueries(sim), c.reachesRequests ? 5u : 0u) << "polling goes on";
        EXPECT_LE(peakInFlight, 3u);
        sim.setFault(Fault::None);
        poll();
        EXPECT_EQ(title() + ' ' + tray->iconName, name + " org.knobly.Knobly-medium-symbolic");
    }
}

// Inputs follow the model and the device's answers, presets the device's list; a replaced
// device's answers are dropped.
TEST_F(AppDelegateTest, SourcesAndPresetsFollowTheDevice) {
    devicesim::DeviceSimulator amp({.project = "WiiM_Amp",
                                    .tracks = {},
                                    .presets = {{1, "Radio One"}, {4, "Jazz"}},
                                    .upnpPort = {}});
    ASSERT_TRUE(amp.start());
    Settings::setIp(amp.address());
    launch();
    QMenu *sources = delegate->sourceMenu(), *presets = delegate->presetMenu();
    const auto asked = [&amp](const char *command) {
        const auto c = amp.commands();
        return std::count(c.begin(), c.end(), command);
    };
    ASSERT_TRUE(queue->runUntil([&] { return presets->actions().size() == 2; }));
    sources->actions()[4]->trigger();
    // The group's questions after a poll may come later: the command is looked for, not last.
    ASSERT_TRUE(waitUntil([&] { return asked("setPlayerCmd:switchmode:HDMI") == 1; }));
    EXPECT_TRUE(sources->actions()[0]->isChecked()) << "Wi-Fi until the device says otherwise";
    queue->advance(5.0);
    ASSERT_TRUE(queue->runUntil([&] { return sources->actions()[4]->isChecked(); }));
    presets->actions()[1]->trigger();
    ASSERT_TRUE(waitUntil([&] { return asked("MCUKeyShortClick:4") == 1; }));
    delegate->connectToDevice(sim.address(), "Kitchen");
    EXPECT_FALSE(presets->menuAction()->isVisible()) << "the old device's presets go";
    amp.setFault(Fault::Delay, 300); // its answers come after the next switch, to be dropped
    delegate->connectToDevice(amp.address(), "Amp");
    const auto replaced = delegate->wiiMClient();
    const auto identities = asked("getStatusEx");
    // Its model is on the way when the user moves on.
    ASSERT_TRUE(queue->runUntil([&] { return asked("getStatusEx") > identities; }));
    delegate->connectToDevice(sim.address(), "Kitchen");
    settle(4);
    ASSERT_TRUE(queue->runUntil([&] { return replaced->session()->requestsInFlight() == 0; }));
    queue->runPending();
    EXPECT_EQ(title(), "Kitchen");
    for (QAction *input : sources->actions())
        EXPECT_NE(input->text(), "HDMI ARC") << "the Amp's inputs on the Pro";
}

// The saved device went silent; found by its id at another address, it is followed there.
// The search starts after three silent polls and runs at most once a minute. Its id is asked
// again after an answer that did not carry it.
TEST_F(AppDelegateTest, ADeviceThatMovedIsFollowedByItsId) {
    sim.setStatusExBody("<html>busy</html>");
    launchSaved();
    // Its answer taken: the inputs any model has.
    ASSERT_TRUE(queue->runUntil([&] { return delegate->sourceMenu()->actions().size() == 4; }));
    EXPECT_TRUE(Settings::deviceUuid().isEmpty());
    sim.setStatusExBody({});
    poll();
    ASSERT_TRUE(queue->runUntil([] { return !Settings::deviceUuid().isEmpty(); }));
    devicesim::DeviceSimulator moved({.bind = QHostAddress("127.0.0.2"),
                                      .port = sim.port(),
                                      .tracks = {},
                                      .presets = {},
                                      .upnpPort = {}});
    sim.stop();
    ASSERT_TRUE(moved.start());
    for (const auto &[polls, searches] : {std::pair{2, 1}, {1, 2}, {11, 2}, {1, 3}}) {
        for (int i = 0; i < polls; ++i)
            poll();
        EXPECT_EQ(discoveries, searches) << "at " << queue->now();
    }
    auto speaker = std::make_shared<ScriptedService>("Living Room", "_linkplay._tcp.");
    speaker->setAddresses(std::vector{QHostAddress("127.0.0.2")});
    queue->advance(0.5);
    ASSERT_NE(bonjour.browserFor("_linkplay._tcp."), nullptr);
    bonjour.browserFor("_linkplay._tcp.")->announce(speaker);
    speaker->deliverResolved();
    ASSERT_TRUE(queue->runUntil([&] { return Settings::ip() == moved.address(); }));
    EXPECT_EQ(Settings::deviceUuid(), "FF98F09C4BD0B0224C1F9A55");
    settle(1, &moved);
    EXPECT_EQ(title(), "Kitchen");
}

TEST_F(AppDelegateTest, DevicesAreFoundOrTyped) {
    Settings::setIp("127.0.0.3");
    launch();
    for (const auto &[name, ip] : {std::pair{"Kitchen", "127.0.0.3"}, {"WiiM Den", "127.0.0.4"}}) {
        auto service = std::make_shared<ScriptedService>(name, "_airplay._tcp.");
        service->setAddresses(std::vector{QHostAddress(QString(ip))});
        service->setTxt(ScriptedService::txtOf({"model=WiiM Pro"}));
        bonjour.browserFor("_airplay._tcp.")->announce(service);
        service->deliverResolved();
    }
    EXPECT_TRUE(delegate->devices().empty()) << "stored on a later turn, not inside the call";
    queue->runPending();
    const auto shown = [&] {
        QList<QAction *> rows;
        for (QAction *a : delegate->deviceSubmenu()->actions())
            if (a->isVisible())
                rows.append(a);
        return rows;
    };
    const auto entries = shown();
    ASSERT_EQ(entries.size(), 5);
    EXPECT_EQ(entries[0]->text(), "Kitchen \u2014 WiiM Pro");
    entries[1]->trigger(); // the mark moves at once
    EXPECT_EQ(Settings::ip(), "127.0.0.4");
    EXPECT_TRUE(!entries[0]->isChecked() && entries[1]->isChecked());
    QAction *const rescan = entries[3], *const enter = entries[4];
    rescan->trigger();
    const auto searching = shown();
    ASSERT_EQ(searching.size(), 4);
    EXPECT_EQ(searching[0]->text(), "Searching\u2026") << "a rescan empties the list at once";
    // Hosts that draw the menu know rows by id: rows that stay must stay the same.
    EXPECT_TRUE(searching[2] == rescan && searching[3] == enter);

    // A typed address connects under a stand-in name, then takes the device's own name unless
    // the user moved on meanwhile.
    delegate->enterIP();
    EXPECT_EQ(Settings::ip(), "127.0.0.4") << "cancel changes nothing";
    typed = QStringLiteral(" 127.0.0.1\n");
    delegate->enterIP();
    EXPECT_EQ(Settings::deviceName(), "WiiM (127.0.0.1)");
    ASSERT_TRUE(queue->runUntil([] { return Settings::deviceName() == "WiiM Pro-9222"; }));
    sim.clearRequests();
    delegate->enterIP();
    delegate->connectToDevice("127.0.0.4", "Hall");
    ASSERT_TRUE(queue->runUntil([&] { return !sim.commands().empty(); }));
    queue->runUntil([] { return false; }, std::chrono::milliseconds(300)); // for its answer
    EXPECT_EQ(Settings::deviceName(), "Hall");
}

// A capture that cannot start is switched off: quietly at launch, with the reason and the way
// to the shortcut settings when asked for, or when the desktop's dialog said no later.
TEST_F(AppDelegateTest, CaptureIsSwitchedOffWhenRefusedAndSaysWhy) {
    Settings::setInterceptKeys(true);
    keys->refuse = true;
    launch();
    EXPECT_FALSE(Settings::interceptKeys()) << "quietly: no prompt comes first below";
    QAction *capture = delegate->interceptItem();
    keys->refuse = false;
    capture->trigger();
    capture->trigger();
    EXPECT_FALSE(capture->isChecked() || Settings::interceptKeys() || keys->handler);
    capture->trigger();
    EXPECT_TRUE(capture->isChecked() && Settings::interceptKeys());
    keys->refuse = true;
    keys->refusal = KeyTap::Refusal::declined;
    keys->lose();
    EXPECT_FALSE(capture->isChecked() || delegate->keyInterceptor().isActive());
    for (const auto &[refusal, chosen, title] :
         {std::tuple{KeyTap::Refusal::keysTaken, true, "Media Keys Are in Use"},
          {KeyTap::Refusal::noPortal, false, "Media Keys Cannot Be Captured"}}) {
        keys->refusal = refusal;
        choose = chosen;
        capture->trigger();
        EXPECT_FALSE(capture->isChecked() || Settings::interceptKeys());
        EXPECT_EQ(prompts.constLast(), title);
    }
    EXPECT_EQ(prompts.first(), "Media Keys Were Not Granted");
    EXPECT_EQ(settingsOpened, 1) << "only when chosen";

    // The desktop's own volume control holds the keys: asked once each time, taken on yes.
    keys->refusal = KeyTap::Refusal::heldByDesktop;
    for (const bool yes : {false, true}) {
        prompts.clear();
        choose = yes;
        capture->trigger();
        EXPECT_EQ(prompts, QStringList{"Use the Volume Keys in Knobly?"}) << "and nothing more";
        EXPECT_EQ(capture->isChecked(), yes);
        EXPECT_EQ(Settings::interceptKeys(), yes);
        EXPECT_EQ(keys->takeOvers, yes ? 1 : 0);
    }
    EXPECT_TRUE(test::pressKey(*keys, MediaKey::volumeUp));

    // Once said yes to, the next start takes them again without asking.
    delegate.reset();
    prompts.clear();
    keys->refuse = true;
    launch();
    EXPECT_TRUE(prompts.isEmpty());
    EXPECT_TRUE(delegate->interceptItem()->isChecked() && keys->takeOvers == 2);
}

// A panel has a moment to take the item; without one the word comes once, and a second start
// brings it back, or the menu once a panel shows us.
TEST_F(AppDelegateTest, WithoutAPanelKnoblySaysSoAndASecondStartComesForward) {
    tray->inPanel = false;
    launch();
    queue->advance(AppDelegate::panelGraceSeconds - 0.5);
    EXPECT_EQ(noPanelWords, 0);
    queue->advance(1.0);
    EXPECT_EQ(noPanelWords, 1);
    queue->advance(30.0);
    EXPECT_EQ(noPanelWords, 1) << "once";
    delegate->activateFromDesktop();
    EXPECT_EQ(noPanelWords, 2);
    tray->inPanel = true;
    delegate->activateFromDesktop();
    EXPECT_EQ(noPanelWords, 2);
    EXPECT_TRUE(delegate->menu()->isVisible());
    delegate->menu()->close();
}

// Keys and panel scrolls drive the device. A device above a new limit stays there until the next
// change; the limit holds on every path a level comes from. A stored 150 reads as 100.
TEST_F(AppDelegateTest, KeysScrollsAndTheLimit) {
    Settings::setMaxVolume(150);
    Settings::setInterceptKeys(true);
    Settings::setVolumeStep(5);
    launchSaved();
    VolumeSliderRow *row = nullptr;
    for (QAction *a : delegate->menu()->actions())
        row = qobject_cast<VolumeSliderRow *>(a) ? qobject_cast<VolumeSliderRow *>(a) : row;
    ASSERT_NE(row, nullptr);
    // clang-format off
    const std::tuple<MediaKey, bool, QString> presses[] = { // with Shift (fine), by one
        {MediaKey::volumeUp, false, "vol:40"}, {MediaKey::volumeUp, true, "vol:41"}, {MediaKey::volumeDown, true, "vol:40"},
        {MediaKey::next, false, "next"}, {MediaKey::previous, false, "prev"}, {MediaKey::playPause, false, "pause"}};
    // clang-format on
    for (const auto &[key, fine, command] : presses) {
        const auto before = sim.commandCount("setPlayerCmd:" + command);
        EXPECT_TRUE(test::pressKey(*keys, key, fine));
        queue->advance(WiiMClient::volumeGapSeconds);
        ASSERT_TRUE(
            waitUntil([&] { return sim.commandCount("setPlayerCmd:" + command) > before; }));
    }
    // Mute drops the slider to 0; unmuting brings the stored volume back.
    EXPECT_TRUE(test::pressKey(*keys, MediaKey::mute));
    ASSERT_TRUE(queue->runUntil([&] { return delegate->hud().isMuted() && sim.muted(); }));
    EXPECT_EQ(delegate->volumeSlider()->value(), 0);
    EXPECT_EQ(row->text(), "Muted") << "not \"Volume 0%\"";
    EXPECT_EQ(tray->iconName, "org.knobly.Knobly-muted-symbolic");
    EXPECT_TRUE(test::pressKey(*keys, MediaKey::mute));
    ASSERT_TRUE(queue->runUntil([&] { return !delegate->hud().isMuted() && !sim.muted(); }));
    EXPECT_EQ(delegate->volumeSlider()->value(), 40);
    EXPECT_EQ(row->text(), "Volume 40%");

    sim.setVolume(80);
    QMenu *limits = nullptr;
    for (QAction *a : delegate->menu()->actions())
        limits = a->text() == "Maximum Volume" ? a->menu() : limits;
    ASSERT_NE(limits, nullptr);
    EXPECT_TRUE(limits->actions()[0]->isChecked());
    limits->actions()[4]->trigger(); // 60%
    poll();
    EXPECT_EQ(sim.volume(), 80);
    // Every path but the slider, which shows its own level, shows the level it sent.
    const std::pair<std::function<void()>, bool> paths[] = {
        {[&] { test::pressKey(*keys, MediaKey::volumeUp); }, true},
        {[&] { tray->callbacks.scroll(+1); }, true},
        {[&] { delegate->sliderChanged(95); }, false},
        {[&] { row->levels()[7]->trigger(); }, true}, // 70% from the menu
        {[&] { delegate->setVolumeFromDesktop(100); }, true}};
    for (std::size_t i = 0; i < std::size(paths); ++i) {
        sim.setVolume(10);
        queue->advance(WiiMClient::volumeGapSeconds);
        delegate->wiiMClient()->setCurrentVolume(59);
        delegate->hud().show(1, false);
        paths[i].first();
        queue->runPending();
        ASSERT_TRUE(queue->runUntil([&] { return sim.volume() == 60 && !inFlight(); })) << i;
        EXPECT_EQ(delegate->volumeSlider()->value(), 60);
        EXPECT_EQ(delegate->hud().volume(), paths[i].second ? 60 : 1) << i;
    }

    // Panel scrolls are drawn from the stored value at once; with a command in flight, later
    // ones wait, and those in one turn of the queue show the latest.
    sim.setFault(Fault::Hang);
    queue->advance(WiiMClient::volumeGapSeconds);
    for (const int expected : {55, 50, 45}) {
        tray->callbacks.scroll(-1);
        queue->runPending();
        EXPECT_EQ(delegate->hud().volume(), expected);
    }
    ASSERT_TRUE(waitUntil([&] { return sim.commandCount("setPlayerCmd:vol:55") == 1; }));
    tray->callbacks.scroll(+1);
    tray->callbacks.scroll(+1);
    queue->runPending();
    EXPECT_EQ(delegate->volumeSlider()->value(), 55);
}

} // namespace

namespace {

// A command the device refuses is taken back where it changed something and said where the user
// acted: on the first line and in the tool tip for one poll interval (the mute key's overlay
// shows the level back); a device that stops answering meanwhile says that instead.
TEST_F(AppDelegateTest, ARefusedCommandIsTakenBackAndSaidWhereTheUserActed) {
    Settings::setInterceptKeys(true);
    launchSaved();
    sim.setFault(Fault::UnknownCommands);
    const QString said = "Kitchen refused the command (it answered \"unknown command\")";
    TransportRow *transport = nullptr;
    for (QAction *a : delegate->menu()->actions())
        transport = qobject_cast<TransportRow *>(a) ? qobject_cast<TransportRow *>(a) : transport;
    ASSERT_NE(transport, nullptr);
    const std::pair<const char *, std::function<void()>> acts[] = {
        {"play/pause button", [&] { transport->playPause()->trigger(); }},
        {"next button", [&] { transport->next()->trigger(); }},
        {"mute key", [&] { test::pressKey(*keys, MediaKey::mute); }},
    };
    for (const auto &[name, act] : acts) {
        SCOPED_TRACE(name);
        act();
        ASSERT_TRUE(queue->runUntil([&] { return title() == said; }));
        EXPECT_EQ(tray->toolTip, said + " \u2014 volume 35%");
        EXPECT_EQ(delegate->playPauseButton()->property("symbol").toString(), "pause.fill")
            << "still playing, as the device is";
        EXPECT_FALSE(delegate->hud().isMuted());
        EXPECT_EQ(delegate->volumeSlider()->value(), 35);
        queue->advance(DeviceController::pollSeconds - 0.1);
        queue->runPending();
        EXPECT_EQ(title(), said);
        queue->advance(0.1);
        ASSERT_TRUE(queue->runUntil([&] { return title() == "Kitchen" && !inFlight(); }));
    }
    transport->next()->trigger();
    ASSERT_TRUE(queue->runUntil([&] { return title() == said; }));
    sim.setFault(Fault::Reset);
    poll();
    EXPECT_EQ(title(), "Kitchen (unreachable)");
}
} // namespace
