#include "Await.h"
#include "ControllerFixture.h"
#include "DeviceFaults.h"

#include <QKeyEvent>

using namespace knobly;
using devicesim::DeviceSimulator;
using devicesim::Fault;
using test::pressKey;

namespace {

using AppDelegateTest = test::ControllerFixture;

TEST_F(AppDelegateTest, WithoutADeviceNothingIsSentAndTheIconFollowsTheLevel) {
    launch();
    EXPECT_EQ(keys->enables, 0) << "keys are not captured unless asked";
    delegate->sliderChanged(20);
    delegate->statusBarScroll(+1);
    delegate->nextTrackAction();
    queue->advance(30);
    EXPECT_EQ(delegate->iconSymbol(), "speaker.wave.1.fill");
    EXPECT_TRUE(sim.commands().empty());
    QStringList icons; // the thresholds, and below 0 too
    for (const int volume : {-5, 0, 1, 32, 33, 65, 66, 100}) {
        delegate->updateIcon(volume);
        icons << delegate->iconSymbol().section('.', 1, -2);
    }
    EXPECT_EQ(icons.join(' '), "slash slash wave.1 wave.1 wave.2 wave.2 wave.3 wave.3");
    // Ctrl shortcuts work while the menu is open, those inside submenus too.
    for (const Qt::Key key : {Qt::Key_R, Qt::Key_K}) {
        QKeyEvent press(QEvent::KeyPress, key, Qt::ControlModifier);
        QCoreApplication::sendEvent(delegate->menu(), &press);
    }
    EXPECT_EQ(discoveries, 2) << "Ctrl+R rescans";
    EXPECT_TRUE(delegate->interceptItem()->isChecked()) << "Ctrl+K captures";
}

// The mark is the autostart file, read when the menu opens; a failure keeps it and says so.
TEST_F(AppDelegateTest, StartAtLoginFollowsTheAutostartFile) {
    const QString folder = qEnvironmentVariable("XDG_CONFIG_HOME") + "/autostart";
    QDir(folder).removeRecursively();
    launch();
    delegate->loginItem()->trigger();
    ASSERT_TRUE(QFile::remove(folder + "/org.knobly.Knobly.desktop")); // turned off elsewhere
    Q_EMIT delegate->menu()->aboutToShow();
    EXPECT_FALSE(delegate->loginItem()->isChecked());
    QDir(folder).removeRecursively();
    ASSERT_TRUE(QFile(folder).open(QIODevice::WriteOnly)); // a file where the folder goes
    delegate->loginItem()->trigger();
    EXPECT_FALSE(delegate->loginItem()->isChecked());
    EXPECT_EQ(prompts, QStringList{"Start at Login Could Not Be Changed"});
    QFile::remove(folder);
}

// Polls every 5 s, and at 0.5, 1.5 and 3 s after a skip; none after quitting.
TEST_F(AppDelegateTest, SavedDeviceIsPolledUntilQuit) {
    launchSaved();
    EXPECT_EQ(statusQueries(sim), 2u) << "the connect query and the first poll";
    EXPECT_EQ(tray->toolTip, "Kitchen \u2014 volume 35%");
    EXPECT_TRUE(delegate->nowPlayingItem()->isVisible());
    EXPECT_EQ(delegate->playPauseButton()->property("symbol").toString(), "pause.fill");
    queue->advance(5.0);
    settle(3);
    delegate->nextTrackAction();
    ASSERT_TRUE(queue->runUntil(
        [&] { return sim.commands().back() == "setPlayerCmd:next" && !inFlight(); }));
    for (const auto &[advance, queries] :
         {std::pair{0.49, 3u}, {0.01, 4u}, {0.99, 4u}, {0.01, 5u}, {1.49, 5u}, {0.01, 6u}}) {
        queue->advance(advance);
        settle(queries);
        EXPECT_EQ(statusQueries(sim), queries) << "at " << queue->now();
    }
    EXPECT_EQ(delegate->nowPlayingItem()->text(),
              "Jo\u00e3o Gilberto \u2014 S\u00f3 Dan\u00e7o Samba");
    delegate->quitApp();
    delegate->applicationWillTerminate(); // a second teardown does no harm
    EXPECT_FALSE(bonjour.browserFor("_airplay._tcp.")->searching());
    queue->advance(30);
    EXPECT_EQ(statusQueries(sim), 6u);
}

// Every fault fails quietly: polling goes on with few requests at a time, and the first line
// and the panel say "unreachable" until the next good poll. That is state, not the name's text.
TEST_F(AppDelegateTest, EveryDeviceFaultFailsQuietlyAndRecovers) {
    for (const test::DeviceFault &c : test::kDeviceFaults) {
        SCOPED_TRACE(c.name);
        const QString name = QStringLiteral("The unreachable ") + c.name;
        sim.clearRequests();
        launchSaved(name);
        sim.setFault(c.fault);
        for (int i = 0; i < 3; ++i)
            poll();
        EXPECT_EQ(title(), c.statusDecodes ? name : name + " (unreachable)");
        EXPECT_EQ(tray->iconName, c.statusDecodes ? "audio-volume-medium" : "network-error");
        EXPECT_EQ(delegate->volumeSlider()->value(), 35);
        EXPECT_GE(statusQueries(sim), c.reachesRequests ? 5u : 0u) << "polling goes on";
        EXPECT_LE(peakInFlight, 3u);
        sim.setFault(Fault::None);
        poll();
        EXPECT_EQ(title(), name);
        EXPECT_EQ(tray->iconName, "audio-volume-medium");
    }
}

TEST_F(AppDelegateTest, FlappingFlipsTheLineOnEveryPoll) {
    launchSaved();
    for (int i = 0; i < 6; ++i) {
        sim.setFault(i % 2 ? Fault::None : Fault::Reset);
        poll();
        ASSERT_EQ(title(), i % 2 ? "Kitchen" : "Kitchen (unreachable)") << "poll " << i;
    }
}

// A device above a new limit is left there until the volume changes; then the limit holds on
// every path a level comes from. A stored limit out of range reads as 100.
TEST_F(AppDelegateTest, TheVolumeLimitHoldsOnEveryPath) {
    Settings::setMaxVolume(150);
    Settings::setInterceptKeys(true);
    sim.setVolume(80);
    launchSaved();
    QMenu *limits = nullptr;
    for (QAction *a : delegate->menu()->actions())
        limits = a->text() == "Maximum Volume" ? a->menu() : limits;
    ASSERT_NE(limits, nullptr);
    EXPECT_TRUE(limits->actions()[0]->isChecked());
    limits->actions()[4]->trigger(); // 60%
    queue->advance(5.0);
    settle(3);
    EXPECT_EQ(sim.volume(), 80);
    const std::function<void()> paths[] = {
        [&] { pressKey(*keys, MediaKey::volumeUp); }, [&] { tray->callbacks.scroll(+1); },
        [&] { delegate->sliderChanged(95); }, [&] { delegate->setVolumeFromDesktop(100); }};
    for (std::size_t i = 0; i < std::size(paths); ++i) {
        sim.setVolume(10);
        delegate->wiiMClient()->setCurrentVolume(59);
        paths[i]();
        queue->runPending();
        ASSERT_TRUE(waitUntil([&] { return sim.volume() == 60; })) << "path " << i;
        EXPECT_EQ(delegate->volumeSlider()->value(), 60);
    }
}

// Inputs follow the model and the device's answers, presets the device's list.
TEST_F(AppDelegateTest, SourcesAndPresetsFollowTheDevice) {
    DeviceSimulator amp(
        {.project = "WiiM_Amp", .tracks = {}, .presets = {{1, "Radio One"}, {4, "Jazz"}}});
    ASSERT_TRUE(amp.start());
    Settings::setIp(amp.address());
    launch();
    QMenu *sources = delegate->sourceMenu(), *presets = delegate->presetMenu();
    ASSERT_TRUE(queue->runUntil([&] { return presets->actions().size() == 2; }));
    sources->actions()[4]->trigger();
    ASSERT_TRUE(waitUntil([&] { return amp.commands().back() == "setPlayerCmd:switchmode:ARC"; }));
    EXPECT_TRUE(sources->actions()[0]->isChecked()) << "Wi-Fi until the device says otherwise";
    queue->advance(5.0);
    ASSERT_TRUE(queue->runUntil([&] { return sources->actions()[4]->isChecked(); }));
    presets->actions()[1]->trigger();
    ASSERT_TRUE(waitUntil([&] { return amp.commands().back() == "MCUKeyShortClick:4"; }));
    delegate->connectToDevice(sim.address(), "Kitchen");
    EXPECT_FALSE(presets->menuAction()->isVisible()) << "the old device's presets go";
}

TEST_F(AppDelegateTest, AnswersFromAReplacedClientAreDropped) {
    DeviceSimulator slow;
    ASSERT_TRUE(slow.start());
    slow.setFault(Fault::Delay, 300);
    launch();
    delegate->connectToDevice(slow.address(), "Slow");
    const auto replaced = delegate->wiiMClient();
    delegate->connectToDevice(sim.address(), "Quick");
    settle(2);
    ASSERT_TRUE(queue->runUntil([&] { return replaced->session()->requestsInFlight() == 0; }));
    queue->runPending();
    EXPECT_EQ(slow.commands().size(), 2u) << "answered, and handed over too";
    EXPECT_EQ(title(), "Quick");
}

// The saved device went silent; found by its id at another address, it is followed there.
// The search starts after three silent polls and runs at most once a minute.
TEST_F(AppDelegateTest, ADeviceThatMovedIsFollowedByItsId) {
    launchSaved();
    ASSERT_TRUE(queue->runUntil([] { return !Settings::deviceUuid().isEmpty(); }));
    DeviceSimulator moved(
        {.bind = QHostAddress("127.0.0.2"), .port = sim.port(), .tracks = {}, .presets = {}});
    sim.stop();
    ASSERT_TRUE(moved.start());
    for (const auto &[polls, searches] : {std::pair{2, 1}, {1, 2}, {11, 2}, {1, 3}}) {
        for (int i = 0; i < polls; ++i)
            poll();
        EXPECT_EQ(discoveries, searches) << "at " << queue->now();
    }
    auto speaker = std::make_shared<ScriptedService>("Living Room", "_linkplay._tcp.");
    speaker->setAddresses(std::vector<QByteArray>{ScriptedService::ipv4Blob("127.0.0.2")});
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
        service->setAddresses(std::vector<QByteArray>{ScriptedService::ipv4Blob(ip)});
        service->setTxt(ScriptedService::txtRecord({"model=WiiM Pro"}));
        bonjour.browserFor("_airplay._tcp.")->announce(service);
        service->deliverResolved();
    }
    EXPECT_TRUE(delegate->devices().empty()) << "stored on a later turn, not inside the call";
    queue->runPending();
    const auto entries = delegate->deviceSubmenu()->actions();
    ASSERT_EQ(entries.size(), 5);
    EXPECT_EQ(entries[0]->text(), "Kitchen \u2014 WiiM Pro");
    entries[1]->trigger(); // the mark moves at once
    EXPECT_EQ(Settings::ip(), "127.0.0.4");
    EXPECT_TRUE(!entries[0]->isChecked() && entries[1]->isChecked());
    entries[3]->trigger();
    EXPECT_EQ(delegate->deviceSubmenu()->actions()[0]->text(), "Searching\u2026")
        << "a rescan empties the list at once";

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
}

TEST_F(AppDelegateTest, KeysAndScrollsDriveTheDevice) {
    Settings::setInterceptKeys(true);
    Settings::setVolumeStep(5);
    launchSaved();
    // With Shift (fine), by one.
    for (const auto &[key, fine, volume] : {std::tuple{MediaKey::volumeUp, false, 40},
                                            {MediaKey::volumeUp, true, 41},
                                            {MediaKey::volumeDown, true, 40}}) {
        EXPECT_TRUE(pressKey(*keys, key, fine));
        queue->runPending();
        EXPECT_EQ(delegate->hud().volume(), volume);
        ASSERT_TRUE(waitUntil([&] { return sim.volume() == volume; }));
    }
    // Mute drops the slider to 0; unmuting brings the stored volume back.
    EXPECT_TRUE(pressKey(*keys, MediaKey::mute));
    ASSERT_TRUE(queue->runUntil([&] { return delegate->hud().isMuted(); }));
    EXPECT_TRUE(sim.muted() && delegate->volumeSlider()->value() == 0);
    EXPECT_EQ(tray->iconName, "audio-volume-muted");
    EXPECT_TRUE(pressKey(*keys, MediaKey::mute));
    ASSERT_TRUE(queue->runUntil([&] { return !delegate->hud().isMuted(); }));
    EXPECT_EQ(delegate->volumeSlider()->value(), 40);
    for (const auto &[key, command] : {std::pair{MediaKey::next, "setPlayerCmd:next"},
                                       {MediaKey::previous, "setPlayerCmd:prev"},
                                       {MediaKey::playPause, "setPlayerCmd:pause"}}) {
        EXPECT_TRUE(pressKey(*keys, key));
        ASSERT_TRUE(waitUntil([&] { return sim.commands().back() == command; }));
    }

    // Panel scrolls are drawn from the stored value at once; with a command in flight, later
    // ones wait, and those in one turn of the queue show the latest.
    sim.setFault(Fault::Hang);
    for (const int expected : {45, 50, 55}) {
        tray->callbacks.scroll(+1);
        queue->runPending();
        EXPECT_EQ(delegate->hud().volume(), expected);
    }
    ASSERT_TRUE(waitUntil([&] { return sim.commands().back().startsWith("setPlayerCmd:vol"); }));
    EXPECT_EQ(sim.commands().back(), "setPlayerCmd:vol:45");
    tray->callbacks.scroll(-1);
    tray->callbacks.scroll(-1);
    queue->runPending();
    EXPECT_EQ(delegate->volumeSlider()->value(), 45);
}

} // namespace
