// knobly, knoblyctl and this process's X11 key tap on a private Xvfb display, session bus, folders
// and loopback. xdotool types through XTEST; a second X connection plays another program.
#include "Await.h"
#include "BusHarness.h"
#include "DeviceSimulator.h"
#include "KeyTap.h"

#include <QAbstractNativeEventFilter>
#include <QDBusConnectionInterface>
#include <QDBusVariant>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>

#include <iostream>
#include <set>

void PrintTo(const QString &s, std::ostream *os) {
    *os << '"' << s.toStdString() << '"';
}

using devicesim::Fault;
using knobly::KeyEvent;
using knobly::KeyTap;
using Key = knobly::MediaKey;
using namespace knobly::test;

namespace {

// clang-format off
const struct { const char *name; xcb_keysym_t keysym; Key key; } kKeys[] = {
    {"XF86AudioRaiseVolume", 0x1008FF13, Key::volumeUp}, {"XF86AudioLowerVolume", 0x1008FF11, Key::volumeDown},
    {"XF86AudioMute", 0x1008FF12, Key::mute}, {"XF86AudioPlay", 0x1008FF14, Key::playPause},
    {"XF86AudioNext", 0x1008FF17, Key::next}, {"XF86AudioPrev", 0x1008FF16, Key::previous}};
// clang-format on
const QString kCapture = "Capture Media Keys";
const QString kSettings = "ip=%1\ndevice=Kitchen\nstep=5\n";

bool run(const QString &program, const QStringList &args) {
    return QProcess::execute(program, args) == 0;
}

template <typename T> std::unique_ptr<T, void (*)(void *)> owned(T *p) {
    return {p, std::free};
}

// The other program holds grabs, has the focus and sees the keys nobody took. The filter, in
// before the tap's, counts keymap changes once the tap has handled them.
class Display : public ::testing::Test, QAbstractNativeEventFilter {
protected:
    void SetUp() override {
        if (!run("xdotool", {"version"}))
            GTEST_SKIP() << "xdotool is not installed";
        qGuiApp->installNativeEventFilter(this);
        const std::uint32_t mask = XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_KEY_RELEASE;
        xcb_create_window(c, XCB_COPY_FROM_PARENT, window, root, 0, 0, 100, 100, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK,
                          &mask);
        ASSERT_FALSE(
            check(xcb_map_window_checked(c, window)) ||
            check(xcb_set_input_focus_checked(c, XCB_INPUT_FOCUS_POINTER_ROOT, window, 0)));
        ASSERT_TRUE(symbols && (letterA = keycode(0x61)));
    }
    ~Display() override {
        qGuiApp->removeNativeEventFilter(this);
        xcb_key_symbols_free(symbols), xcb_disconnect(c);
    }
    bool nativeEventFilter(const QByteArray &, void *e, qintptr *) override {
        return mappings += (*static_cast<std::uint8_t *>(e) & 0x7f) == XCB_MAPPING_NOTIFY, false;
    }
    int check(xcb_void_cookie_t cookie) {
        const auto error = owned(xcb_request_check(c, cookie));
        return error ? error->error_code : 0;
    }
    xcb_keycode_t keycode(xcb_keysym_t keysym) const { // as the keymap was at the start
        const auto codes = owned(xcb_key_symbols_get_keycode(symbols, keysym));
        return codes ? *codes : 0;
    }
    int grab(xcb_keycode_t keycode, std::uint16_t modifiers) { // 0 or the X error code

        return check(xcb_grab_key_checked(c, 0, root, modifiers, keycode, XCB_GRAB_MODE_ASYNC,
                                          XCB_GRAB_MODE_ASYNC));
    }
    std::set<int> grabAll(std::uint16_t modifiers, xcb_keysym_t skip = 0) {
        std::set<int> results;
        for (const auto &key : kKeys)
            if (key.keysym != skip)
                results.insert(grab(keycode(key.keysym), modifiers));
        return results;
    }
    // Types `keys` and then a plain "a"; what the other program saw up to the "a".
    std::vector<xcb_key_press_event_t> typeThenA(const QStringList &keys) {
        std::vector<xcb_key_press_event_t> got;
        EXPECT_TRUE(run("xdotool", QStringList{"key"} + keys + QStringList{"a"}));
        EXPECT_TRUE(waitUntil([&] {
            while (const auto e = owned(xcb_poll_for_event(c))) {
                const auto *k = reinterpret_cast<const xcb_key_press_event_t *>(e.get());
                if ((e->response_type & 0x7e) == XCB_KEY_PRESS) // a press or a release
                    got.push_back(*k);
                if ((e->response_type & 0x7f) == XCB_KEY_RELEASE && k->detail == letterA)
                    return true;
            }
            return false;
        })) << "the plain key never reached the other program";
        return got;
    }

    xcb_connection_t *c = xcb_connect(nullptr, nullptr);
    xcb_key_symbols_t *symbols = xcb_connection_has_error(c) ? nullptr : xcb_key_symbols_alloc(c);
    xcb_window_t root = symbols ? xcb_setup_roots_iterator(xcb_get_setup(c)).data->root : 0;
    xcb_window_t window = xcb_generate_id(c);
    xcb_keycode_t letterA = 0;
    int mappings = 0;
    std::unique_ptr<KeyTap> tap = KeyTap::create();
    std::vector<KeyEvent> seen;
    KeyTap::Handler record = [this](const KeyEvent &e) { return seen.push_back(e), true; };
};

// A device at volume 35, playing, a panel host and private folders for knobly and knoblyctl.
// What a case leaves running gets SIGTERM, as at a session's end.
class Program : public Display {
protected:
    void SetUp() override {
        if (const std::string why = whyNoPrivateDesktop(); !why.empty())
            GTEST_SKIP() << why; // also keeps knoblyctl's traffic in the namespace
        Display::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        host = std::make_unique<Connection>("host");
        watcher = std::make_unique<FakeWatcher>();
        ASSERT_TRUE(config.isValid() && runtime.isValid() && sim.start() &&
                    host->bus().isConnected() && watcher->running);
        // For what this launches. No system bus: an Avahi there would browse the real network.
        qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
        qputenv("XDG_RUNTIME_DIR", runtime.path().toUtf8());
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + runtime.filePath("none").toUtf8());
        qunsetenv("XDG_CURRENT_DESKTOP");
    }
    void TearDown() override {
        for (const auto &process : launched) {
            if (process->state() != QProcess::NotRunning) {
                process->terminate();
                EXPECT_TRUE(exits(*process)) << "SIGTERM did not end it cleanly";
            }
            std::cerr << (HasFailure() ? process->readAll().toStdString() : "");
        }
    }
    // The settings file as a person would write it; %1 stands for the device's address.
    void saveSettings(QString text) {
        QFile file(settingsPath);
        ASSERT_TRUE(QDir().mkpath(config.filePath("Knobly")) && file.open(QIODevice::WriteOnly));
        file.write(("[General]\n" + text.replace("%1", sim.address())).toUtf8());
    }
    // Read from a private copy: QSettings keeps its parse of a path while the file's size and
    // time stay the same, and two writes of one length within a clock tick keep both.
    QString saved(const char *key) const {
        QTemporaryDir scratch;
        const QString copy = scratch.filePath("Knobly.conf");
        QFile::copy(settingsPath, copy);
        return QSettings(copy, QSettings::IniFormat).value(key).toString();
    }
    QProcess &launch(const QString &program, const QStringList &args = {}) {
        auto &process = *launched.emplace_back(std::make_unique<QProcess>());
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(KNOBLY_BIN_DIR "/" + program, args);
        return process;
    }
    static bool exits(QProcess &process) {
        return waitUntil([&] { return process.state() == QProcess::NotRunning; }) &&
               process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    }
    QStringList sent(const QString &part) const {
        const auto all = sim.commands();
        return QStringList(all.begin(), all.end()).filter(part);
    }
    bool gets(const QString &command) const {
        return waitUntil([&] { return sent(command).contains(command); });
    }

    // Starts knobly with `settings` saved; returns once its menu shows the device's answer.
    void start(const QString &settings = kSettings) {
        ASSERT_NO_FATAL_FAILURE(saveSettings(settings));
        knobly = &launch("knobly");
        ASSERT_TRUE(waitUntil([&] { return !watcher->registered.isEmpty(); })) << "no item";
        service = watcher->registered.constFirst();
        ASSERT_TRUE(menuShows([](const Row &m) { return m.find("Volume 35%"); })) << "no device";
    }
    bool registered(const QString &name) {
        return host->bus().interface()->isServiceRegistered(name).value();
    }
    bool menuShows(const std::function<bool(const Row &)> &wanted) {
        return waitUntil([&] { return wanted(menu = readLayout(*host, service).root); });
    }
    // A host's click on `row`; the bus keeps a connection's messages in order.
    bool click(const Row *row) {
        auto event = QDBusMessage::createMethodCall(service, kMenuPath, kMenuInterface, "Event");
        return row && host->bus().send(event << row->id << "clicked"
                                             << QVariant::fromValue(QDBusVariant(0)) << 0u);
    }

    QTemporaryDir config, runtime;
    const QString settingsPath = config.filePath("Knobly/Knobly.conf");
    devicesim::DeviceSimulator sim{
        {.name = "Kitchen",
         .tracks = {{"Jóga — 全部", "Björk", "unknow"}, {"So What", "Miles Davis", "Kind of Blue"}},
         .presets = {{1, "Radio One"}, {3, "Jazz"}},
         .upnpPort = {}}};
    std::vector<std::unique_ptr<QProcess>> launched;
    std::unique_ptr<Connection> host;
    std::unique_ptr<FakeWatcher> watcher;
    QProcess *knobly = nullptr;
    QString service;
    Row menu;
};

// Captured keys reach the device and nobody else until capture is switched off.
TEST_F(Program, CapturesKeysRegistersAgainAfterThePanelRestartsAndIsTheOnlyCopy) {
    ASSERT_NO_FATAL_FAILURE(start(kSettings + "keys=true\n"));
    EXPECT_EQ(service.section(u'-', 0, 1),
              QString("org.kde.StatusNotifierItem-%1").arg(knobly->processId()));
    EXPECT_EQ(menu.find("Volume 35%")->find("40%")->toggleState(), 1) << "35 is nearest to 40";
    EXPECT_EQ(grabAll(0), std::set<int>{XCB_ACCESS}) << "a media key is not held";
    EXPECT_EQ(typeThenA({kKeys[0].name}).size(), 2u) << "the media key reached the other program";
    EXPECT_TRUE(gets("setPlayerCmd:vol:40"));
    ASSERT_TRUE(click(menu.find(kCapture)));
    EXPECT_TRUE(waitUntil([&] { return saved("keys") == "false"; }));
    EXPECT_TRUE(menuShows([](const Row &m) { return m.find(kCapture)->toggleState() == 0; }));
    EXPECT_EQ(typeThenA({kKeys[0].name}).size(), 4u) << "the key was not given back";
    EXPECT_EQ(sent("setPlayerCmd:vol").size(), 1);
    EXPECT_EQ(grabAll(XCB_MOD_MASK_ANY), std::set<int>{0}) << "a grab was kept";
    watcher->stop(); // the panel restarts
    ASSERT_TRUE(waitUntil([&] { return !registered(kWatcherService); }));
    watcher = std::make_unique<FakeWatcher>();
    EXPECT_TRUE(waitUntil([&] { return watcher->registered == QStringList{service}; }));
    const qsizetype known = watcher->connected.size();
    EXPECT_TRUE(exits(launch("knobly"))) << "the second copy kept running";
    // Whatever the second copy said on the bus has reached the watcher once it is gone.
    const QSet<QString> joined(watcher->connected.begin() + known, watcher->connected.end());
    ASSERT_TRUE(waitUntil([&] { return watcher->departed.contains(joined); }));
    EXPECT_EQ(watcher->registered, QStringList{service});
    ASSERT_TRUE(click(menu.find("Quit Knobly")));
    EXPECT_TRUE(exits(*knobly)) << "Quit did not end knobly";
    EXPECT_TRUE(waitUntil([&] { return !registered(service); }));
}

// The menu, a panel's scroll and playerctl reach the device. Step choices saved from the menu
// while this process writes a key of its own into the same file: each key keeps its last value.
TEST_F(Program, MenuScrollAndPlayerctlDriveTheDeviceAndSettingsWrittenMeanwhileAreKept) {
    ASSERT_NO_FATAL_FAILURE(start());
    // Waits for `expected`; a command's answer is "" at once.
    const auto answers = [](const QStringList &args, const QString &expected = "") {
        return waitUntil([&] {
            QProcess p;
            p.start("playerctl", QStringList{"-p", "knobly"} + args);
            return QString(p.waitForFinished(10000) ? p.readAll() : "").trimmed() == expected;
        });
    };
    const QString all = "{{title}}|{{artist}}|{{album}}|{{mpris:length}}|{{mpris:artUrl}}";
    EXPECT_TRUE(answers({"metadata", "--format", all},
                        "Jóga — 全部|Björk||337000000|http://127.0.0.1/art/1.jpg"))
        << "\"unknow\" is no album";
    EXPECT_TRUE(answers({"volume"}, "0.350000"));
    // Long after the last volume command, so nothing would hold a level these made back.
    for (const char *level : {"nan", "inf"})
        answers({"volume", level});
    EXPECT_TRUE(answers({"play-pause"}) && gets("setPlayerCmd:pause"));
    ASSERT_TRUE(click(menu.find("Volume 35%")->find("20%")) && gets("setPlayerCmd:vol:20"));
    EXPECT_TRUE(answers({"next"}) && gets("setPlayerCmd:next"));
    // Waybar, like most hosts, counts a positive scroll as down.
    ASSERT_TRUE(scrollAs("waybar", service, -1, "vertical") && gets("setPlayerCmd:vol:25"));
    for (const char *level : {"0.2", "1.5", "0.5"})
        answers({"volume", level});
    EXPECT_TRUE(gets("setPlayerCmd:vol:50"));
    // "nan" and "inf" sent nothing; levels close together merge into the latest.
    const QStringList levels = sent("vol:").join(' ').remove("setPlayerCmd:vol:").split(' ');
    EXPECT_TRUE(
        levels.mid(0, 2) == QStringList({"20", "25"}) && levels.back() == "50" &&
        QSet<QString>(levels.begin() + 2, levels.end()).subtract({"20", "100", "50"}).isEmpty())
        << levels.join(' ').toStdString();
    const Row *steps = menu.find("Volume Step");
    for (int i = 0; i < 100; ++i) {
        ASSERT_TRUE(click(steps->find(i % 2 ? "5%" : "1%")));
        QSettings other(settingsPath, QSettings::IniFormat);
        other.setValue("keys", i % 2 == 1);
        other.sync();
        ASSERT_EQ(other.status(), QSettings::NoError) << "round " << i;
    }
    ASSERT_TRUE(click(steps->find("10%")));
    EXPECT_TRUE(waitUntil([&] { return saved("step") == "10"; })) << saved("step").toStdString();
    EXPECT_EQ(QStringList({saved("keys"), saved("ip"), saved("device")}),
              QStringList({"true", sim.address(), "Kitchen"}));
    EXPECT_TRUE(QDir(config.filePath("Knobly")).entryList({"*.damaged-*"}).isEmpty());
}

// Rows in order on one device; `last`: its last command, if looked at; settings "": no device.
TEST_F(Program, KnoblyctlCommandsAndExitCodes) {
    // clang-format off
    struct Case { const char *settings; Fault fault; QStringList args; int exitCode; const char *last, *out; };
    const Case cases[] = {
        {"ip=%1\nstep=5\n", Fault::None, {"volume", "up"}, 0, "setPlayerCmd:vol:40", "volume 40"},
        {nullptr, Fault::None, {"volume", "250"}, 0, "setPlayerCmd:vol:100", "volume 100"},
        {nullptr, Fault::None, {"mute"}, 0, "setPlayerCmd:mute:1", "muted"},
        {nullptr, Fault::None, {"mute"}, 0, "setPlayerCmd:mute:0", "unmuted"},
        {nullptr, Fault::None, {"play-pause"}, 0, "setPlayerCmd:pause", "paused"},
        {nullptr, Fault::None, {"play-pause"}, 0, "setPlayerCmd:resume", "playing"},
        {nullptr, Fault::None, {"status"}, 0, "getPlayerStatus", R"({"muted":false,"nowPlaying":"Björk — Jóga — 全部","playing":true,"volume":100})"},
        {nullptr, Fault::WrongTypes, {"status"}, 0, nullptr, R"({"muted":null,"nowPlaying":null,"playing":null,"volume":null})"},
        {nullptr, Fault::None, {"volume", "-5"}, 0, "setPlayerCmd:vol:0", "volume 0"},
        {nullptr, Fault::None, {"source", "line in"}, 0, "setPlayerCmd:switchmode:line-in", "source Line In"},
        {nullptr, Fault::None, {"source", "HDMI"}, 2, nullptr, ""},
        {nullptr, Fault::None, {"preset", "3"}, 0, "MCUKeyShortClick:3", "preset 3 Jazz"},
        {nullptr, Fault::None, {"preset", "2"}, 1, "getPresetInfo", ""},
        {"ip=%1\nmaxVolume=60\n", Fault::None, {"volume", "250"}, 0, "setPlayerCmd:vol:60", "volume 60"},
        {"", Fault::None, {"status"}, 1, nullptr, ""},
        {"", Fault::Html404, {"next", "--device", "%1"}, 1, "setPlayerCmd:next", "HTTP status 404"},
        {"", Fault::UnknownCommands, {"mute", "--device", "%1"}, 1, "setPlayerCmd:mute:1", "refused the command (it answered \"unknown command\")"},
        {"", Fault::Reset, {"status", "--device", "%1"}, 1, nullptr, "did not answer"},
        {"", Fault::None, {}, 2, nullptr, ""},
        {"", Fault::None, {"volume", "loud"}, 2, nullptr, ""},
        {"", Fault::None, {"status", "--device"}, 2, nullptr, ""},
        {"", Fault::None, {"status", "--device", "10.0.0.1/x"}, 2, nullptr, ""},
        {"", Fault::None, {"status", "--interval", "1"}, 2, nullptr, ""},
        {"", Fault::None, {"watch", "--interval", "0"}, 2, nullptr, ""},
    };
    // clang-format on
    for (const Case &c : cases) {
        const QStringList args = QStringList(c.args).replaceInStrings("%1", sim.address());
        SCOPED_TRACE(args.join(u' ').toStdString());
        if (c.settings)
            saveSettings(c.settings);
        sim.setFault(c.fault);
        QProcess &ctl = launch("knoblyctl", args);
        ASSERT_TRUE(ctl.waitForFinished(30000) && ctl.exitStatus() == QProcess::NormalExit);
        const QString out = ctl.readAll();
        EXPECT_TRUE(ctl.exitCode() == c.exitCode && out.contains(c.out) &&
                    (c.exitCode == 0 || !out.isEmpty()))
            << "exit " << ctl.exitCode() << ": " << out.toStdString();
        EXPECT_EQ(c.last ? sim.commands().back() : QString(), QString(c.last));
    }
}

// watch: a line for each change of the device's state from its first answer on; a device that
// stops answering is a line, and so is its return; polls that find nothing new print nothing.
// SIGTERM (at the end of the case) ends it with 0.
TEST_F(Program, KnoblyctlWatchPrintsEachChangeOfTheDevice) {
    QProcess &ctl = launch("knoblyctl", {"watch", "--device", sim.address(), "--interval", "0.1"});
    QList<QJsonObject> lines;
    const auto lineWith = [&](const char *key, const QJsonValue &value) {
        return waitUntil([&] {
            while (ctl.canReadLine())
                lines << QJsonDocument::fromJson(ctl.readLine()).object();
            ctl.waitForReadyRead(10);
            return !lines.isEmpty() && lines.back().value(key) == value;
        });
    };
    ASSERT_TRUE(lineWith("reachable", true));
    EXPECT_EQ(lines.back().value("title"), "J\u00f3ga \u2014 \u5168\u90e8");
    EXPECT_EQ(lines.back().value("album"), "") << "the device's \"unknow\" is no album";
    EXPECT_EQ(lines.back().value("volume"), 35);
    sim.setVolume(60);
    ASSERT_TRUE(lineWith("volume", 60));
    const auto polled = sent("getPlayerStatus").size();
    ASSERT_TRUE(waitUntil([&] { return sent("getPlayerStatus").size() >= polled + 5; }));
    ctl.waitForReadyRead(50);
    EXPECT_FALSE(ctl.canReadLine()) << "five polls that found nothing new";
    sim.setFault(Fault::Reset);
    ASSERT_TRUE(lineWith("reachable", false));
    EXPECT_EQ(lines.back().value("volume"), 60) << "the last known level stays";
    sim.setFault(Fault::None);
    ASSERT_TRUE(lineWith("reachable", true));
    EXPECT_EQ(lines.size(), 4);
}

// knoblyctl sleep sets the device's timer, says how long is left, and turns it off.
TEST_F(Program, KnoblyctlSleepSetsAndSaysTheDevicesTimer) {
    const struct {
        QStringList args;
        int exit;
        const char *out;
    } rows[] = {
        {{"sleep", "15"}, 0, "sleep 15 min left\n"},
        {{"sleep"}, 0, "sleep 15 min left\n"},
        {{"sleep", "off"}, 0, "sleep off\n"},
        {{"sleep", "0"}, 2, ""},
        {{"sleep", "1441"}, 2, ""},
        {{"sleep", "soon"}, 2, ""},
        {{"sleep", "5", "6"}, 2, ""},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.args.join(' ').toStdString());
        QProcess &ctl = launch("knoblyctl", row.args + QStringList{"--device", sim.address()});
        ASSERT_TRUE(ctl.waitForFinished(15000));
        const QByteArray out = ctl.readAllStandardOutput();
        EXPECT_EQ(ctl.exitCode(), row.exit) << out.toStdString();
        if (row.exit == 0) {
            EXPECT_EQ(out, row.out);
        }
    }
    EXPECT_EQ(sim.sleepSecondsLeft(), 0);
}

// status --verbose says how the device's events are doing: alive, when the last came, the
// changes a poll found that they had not brought, and where the device was found.
TEST_F(Program, KnoblyctlStatusVerboseSaysHowTheEventsDo) {
    devicesim::DeviceSimulator::Options options;
    options.upnpPort = 0;
    devicesim::DeviceSimulator renderer(options);
    ASSERT_TRUE(renderer.start());
    const auto status = [&](const QStringList &extra) {
        QProcess &ctl =
            launch("knoblyctl",
                   QStringList{"status", "--verbose", "--device", renderer.address()} + extra);
        EXPECT_TRUE(ctl.waitForFinished(15000));
        EXPECT_EQ(ctl.exitCode(), 0) << ctl.readAllStandardError().toStdString();
        return QJsonDocument::fromJson(ctl.readAllStandardOutput()).object();
    };
    const QJsonObject found = status({"--description", renderer.upnpDescription().toString()});
    const QJsonObject events = found.value("events").toObject();
    EXPECT_EQ(found.value("volume"), 35);
    EXPECT_EQ(events.value("alive"), true);
    EXPECT_TRUE(events.value("lastEvent").isString());
    EXPECT_EQ(events.value("changesMissed"), 0);
    EXPECT_EQ(events.value("description"), renderer.upnpDescription().toString());
    const QJsonObject none = status({}).value("events").toObject(); // not on 49152 or 59152
    EXPECT_EQ(none.value("alive"), false);
    EXPECT_EQ(none.value("description"), QJsonValue());
}

// Each media key is taken and reported, whatever locks are on; the volume keys with Shift too.
TEST_F(Display, EveryMediaKeyIsTakenWhateverLocksAreOn) {
    // clang-format off
    const struct { int key; QStringList locks; bool shift; std::uint16_t mask; } cases[] = {
        {5, {}, false, 0}, {2, {"Num_Lock"}, false, XCB_MOD_MASK_2}, {3, {"Caps_Lock"}, false, XCB_MOD_MASK_LOCK},
        {4, {"Num_Lock", "Caps_Lock"}, false, XCB_MOD_MASK_2 | XCB_MOD_MASK_LOCK},
        {0, {}, true, 0}, {1, {"Num_Lock"}, true, XCB_MOD_MASK_2}}; // Shift: a fine step
    // clang-format on
    ASSERT_TRUE(tap->enable(record));
    for (const auto &c : cases) {
        const auto &key = kKeys[c.key];
        SCOPED_TRACE(key.name);
        seen.clear();
        const auto keys =
            typeThenA(c.locks + QStringList{(c.shift ? "shift+" : "") + QString(key.name)});
        ASSERT_TRUE(c.locks.isEmpty() || run("xdotool", QStringList{"key"} + c.locks)); // back off
        ASSERT_GE(keys.size(), 2u);
        EXPECT_EQ(keys[keys.size() - 2].state & c.mask, c.mask) << "the lock was not on";
        for (const auto &k : keys)
            EXPECT_NE(k.detail, keycode(key.keysym)) << "the media key leaked";
        EXPECT_TRUE(waitUntil([&] { return seen.size() >= 2; }));
        EXPECT_EQ(seen.front(), (KeyEvent{key.key, true, false, c.shift}));
    }
}

// Last: it leaves the keymap changed.
TEST_F(Display, AfterAKeymapChangeTheTapKeepsWhatItCanButRefusesToStartWithAKeyHeld) {
    ASSERT_TRUE(tap->enable(record));
    const auto remap = [&](xcb_keycode_t keycode, const char *keysym) {
        const int before = mappings;
        return run("xmodmap", {"-e", QString("keycode %1 = %2").arg(keycode).arg(keysym)}) &&
               waitUntil([&] { return mappings > before; });
    };
    std::vector<xcb_keycode_t> spare; // keycodes with no keysym
    for (int code = 255; code > 8 && spare.size() < 2; --code)
        if (xcb_key_symbols_get_keysym(symbols, code, 0) == XCB_NO_SYMBOL)
            spare.push_back(static_cast<xcb_keycode_t>(code));
    ASSERT_EQ(spare.size(), 2u);
    // Volume up moves to a keycode it did not have; mute gains one the other program holds.
    ASSERT_EQ(grab(spare[1], XCB_MOD_MASK_ANY), 0);
    ASSERT_TRUE(remap(spare[0], "XF86AudioRaiseVolume") &&
                remap(keycode(kKeys[0].keysym), "NoSymbol") && remap(spare[1], "XF86AudioMute"));
    EXPECT_EQ(typeThenA({kKeys[0].name}).size(), 2u) << "the key on its new keycode leaked";
    EXPECT_TRUE(waitUntil([&] { return !seen.empty(); }));
    EXPECT_EQ(seen.front(), (KeyEvent{Key::volumeUp, true}));
    EXPECT_EQ(grabAll(0, kKeys[0].keysym), std::set<int>{XCB_ACCESS}) << "a key was let go";
    // Starting anew, the held mute refuses all; AnyModifier collides with any grab of a key.
    tap->disable();
    EXPECT_FALSE(tap->enable(record));
    EXPECT_EQ(tap->lastRefusal(), KeyTap::Refusal::keysTaken);
    EXPECT_EQ(grabAll(XCB_MOD_MASK_ANY, kKeys[0].keysym), std::set<int>{0}) << "a grab was kept";
}

} // namespace

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (::testing::GTEST_FLAG(list_tests))
        return RUN_ALL_TESTS();            // listing needs no display
    ::setenv("QT_QPA_PLATFORM", "xcb", 1); // before the application: it picks the plugin
    QGuiApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
