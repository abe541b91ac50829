// knobly and knoblyctl as processes, and the X11 key tap in this one, on a private Xvfb display,
// session bus (with a stand-in panel watcher) and folders, in a network namespace with only
// loopback, against a simulated device. Keys come from xdotool through XTEST, so they take the
// server's path through the grabs; a second X connection plays the other program on the desktop.
#include "Await.h"
#include "BusHarness.h"
#include "DeviceSimulator.h"
#include "KeyTap.h"

#include <QAbstractEventDispatcher>
#include <QAbstractNativeEventFilter>
#include <QDBusConnectionInterface>
#include <QDBusVariant>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>

#include <cmath>
#include <csignal>
#include <iostream>

void PrintTo(const QString &s, std::ostream *os) {
    *os << '"' << s.toStdString() << '"';
}

using devicesim::DeviceSimulator;
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
const xcb_keysym_t kPlay = kKeys[3].keysym;
const QString kCapture = "Capture Media Keys";
const QString kSettings = "ip=%1\ndevice=Kitchen\nstep=5\n";

bool run(const QString &program, const QStringList &args) {
    return QProcess::execute(program, args) == 0;
}

struct Freed {
    void operator()(void *p) const { std::free(p); }
};
template <typename T> using XcbPtr = std::unique_ptr<T, Freed>;

// Another program on the same display, on a connection of its own: it holds grabs, owns a
// window with the keyboard focus and sees the keys nobody took.
class OtherClient {
public:
    OtherClient() : c_(xcb_connect(nullptr, nullptr)) {
        if (!xcb_connection_has_error(c_)) {
            root_ = xcb_setup_roots_iterator(xcb_get_setup(c_)).data->root;
            symbols_ = xcb_key_symbols_alloc(c_);
        }
    }
    ~OtherClient() {
        xcb_key_symbols_free(symbols_);
        xcb_disconnect(c_);
    }
    xcb_window_t root() const { return root_; }
    std::vector<xcb_keycode_t> keycodes(xcb_keysym_t keysym) const {
        std::vector<xcb_keycode_t> out;
        XcbPtr<xcb_keycode_t> codes(symbols_ ? xcb_key_symbols_get_keycode(symbols_, keysym)
                                             : nullptr);
        for (auto *k = codes.get(); k && *k != XCB_NO_SYMBOL; ++k)
            out.push_back(*k);
        return out;
    }
    xcb_keycode_t keycode(xcb_keysym_t keysym) const {
        const auto codes = keycodes(keysym);
        return codes.empty() ? 0 : codes.front();
    }
    bool unused(xcb_keycode_t keycode) const {
        for (int col = 0; col < 4; ++col)
            if (xcb_key_symbols_get_keysym(symbols_, keycode, col) != XCB_NO_SYMBOL)
                return false;
        return true;
    }
    // A mapped window of ours, given the focus: keys nobody grabs come here.
    bool mapWindow() {
        window_ = xcb_generate_id(c_);
        const std::uint32_t mask = XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_KEY_RELEASE;
        xcb_create_window(c_, XCB_COPY_FROM_PARENT, window_, root_, 0, 0, 100, 100, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK,
                          &mask);
        return !check(xcb_map_window_checked(c_, window_));
    }
    bool takeFocus() {
        return !check(xcb_set_input_focus_checked(c_, XCB_INPUT_FOCUS_POINTER_ROOT, window_, 0));
    }
    // 0 when the grab was had, else the X error code.
    int grab(xcb_keycode_t keycode, std::uint16_t modifiers) {
        return check(xcb_grab_key_checked(c_, 0, root_, modifiers, keycode, XCB_GRAB_MODE_ASYNC,
                                          XCB_GRAB_MODE_ASYNC));
    }
    bool next(const std::function<bool(const xcb_generic_event_t *)> &wanted) {
        bool found = false;
        return waitUntil([&] {
            while (XcbPtr<xcb_generic_event_t> e{found ? nullptr : xcb_poll_for_event(c_)})
                found = wanted(e.get());
            return found;
        });
    }

private:
    int check(xcb_void_cookie_t cookie) {
        XcbPtr<xcb_generic_error_t> error(xcb_request_check(c_, cookie));
        return error ? error->error_code : 0;
    }
    xcb_connection_t *c_;
    xcb_window_t root_ = 0;
    xcb_window_t window_ = 0;
    xcb_key_symbols_t *symbols_ = nullptr;
};

// The display with the other program on it, and the key tap of this process.
class Display : public ::testing::Test {
protected:
    void SetUp() override {
        if (!run("xdotool", {"version"}))
            GTEST_SKIP() << "xdotool is not installed";
        ASSERT_TRUE(raise && letterA && other.mapWindow());
    }
    // Types `key` and then a plain "a"; what the other program saw up to the "a".
    std::vector<xcb_key_press_event_t> typeThenA(const QString &key) {
        std::vector<xcb_key_press_event_t> keys;
        EXPECT_TRUE(other.takeFocus() && run("xdotool", {"key", key, "a"}));
        EXPECT_TRUE(other.next([&](const xcb_generic_event_t *e) {
            const auto type = e->response_type & ~0x80;
            const auto *k = reinterpret_cast<const xcb_key_press_event_t *>(e);
            if (type == XCB_KEY_PRESS || type == XCB_KEY_RELEASE)
                keys.push_back(*k);
            return type == XCB_KEY_RELEASE && k->detail == letterA;
        })) << "the plain key never reached the other program";
        return keys;
    }

    OtherClient other;
    const xcb_keycode_t raise = other.keycode(kKeys[0].keysym);
    const xcb_keycode_t letterA = other.keycode(0x61);
    std::unique_ptr<KeyTap> tap = KeyTap::create();
    std::vector<KeyEvent> seen;
    bool drop = true;
    KeyTap::Handler record = [this](const KeyEvent &e) { return seen.push_back(e), drop; };
};

// A simulated device on loopback and private folders for knobly and knoblyctl. Whatever a case
// leaves running ends the way a session logout ends it.
class Program : public Display {
protected:
    void SetUp() override {
        Display::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        DeviceSimulator::Options options;
        options.name = "Kitchen";
        options.tracks = {{"So What", "Miles Davis", "Kind of Blue"},
                          {"Jóga — 全部", "Björk", "unknow"}};
        options.presets = {{1, "Radio One"}, {3, "Jazz"}};
        sim = std::make_unique<DeviceSimulator>(options);
        ASSERT_TRUE(config.isValid() && runtime.isValid() && sim->start());
        sim->setVolume(35);
        sim->setStatus("play");
    }
    void TearDown() override {
        for (const auto &process : launched) {
            if (process->state() != QProcess::NotRunning) {
                ::kill(static_cast<pid_t>(process->processId()), SIGTERM);
                EXPECT_TRUE(exits(*process)) << "SIGTERM did not end knobly cleanly";
            }
            if (HasFailure())
                std::cerr << "--- it said:\n" << process->readAll().toStdString() << "---\n";
        }
    }
    // The settings file as a person would write it; %1 stands for the device's address.
    void saveSettings(QString text) {
        QDir(config.path()).mkpath("Knobly");
        QFile file(settingsPath());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(("[General]\n" + text.replace("%1", sim->address())).toUtf8());
    }
    QString settingsPath() const { return config.filePath("Knobly/Knobly.conf"); }
    QString saved(const char *key) const {
        return QSettings(settingsPath(), QSettings::IniFormat).value(key).toString();
    }
    // The system bus is one nobody is on: an Avahi there would browse the real network for us.
    QProcess &launch(const QString &program, const QStringList &args = {}) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_CONFIG_HOME", config.path());
        env.insert("XDG_RUNTIME_DIR", runtime.path());
        env.insert("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + runtime.filePath("none"));
        env.remove("XDG_CURRENT_DESKTOP");
        auto &process = *launched.emplace_back(std::make_unique<QProcess>());
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(KNOBLY_BIN_DIR "/" + program, args);
        return process;
    }
    static bool exits(QProcess &process) {
        return waitUntil([&] { return process.state() == QProcess::NotRunning; }) &&
               process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    }
    QStringList sent(const QString &part) const {
        const auto all = sim->commands();
        return QStringList(all.begin(), all.end()).filter(part);
    }
    bool gets(const QString &command) const {
        return waitUntil([&] { return sent(command).contains(command); });
    }

    QTemporaryDir config;
    QTemporaryDir runtime;
    std::unique_ptr<DeviceSimulator> sim;
    std::vector<std::unique_ptr<QProcess>> launched;
};

// knobly itself, with a panel host played from this process.
class Desktop : public Program {
protected:
    void SetUp() override {
        if (const std::string why = whyNoPrivateDesktop(); !why.empty())
            GTEST_SKIP() << why;
        Program::SetUp();
        host = std::make_unique<Connection>("host");
        watcher = std::make_unique<FakeWatcher>();
        ASSERT_TRUE(host->bus().isConnected() && watcher->running);
    }
    // Starts knobly with `settings` saved; returns once its menu shows the device's answer.
    void start(const QString &settings = kSettings) {
        ASSERT_NO_FATAL_FAILURE(saveSettings(settings));
        knobly = &launch("knobly");
        ASSERT_TRUE(waitUntil([&] { return !watcher->registered.isEmpty(); })) << "no item";
        service = watcher->registered.constFirst();
        ASSERT_TRUE(menuShows([](const Row &m) { return m.find("Volume 35%"); })) << "no device";
    }
    bool menuShows(const std::function<bool(const Row &)> &wanted) {
        return waitUntil([&] {
            menu = readLayout(*host, service).root;
            return wanted(menu);
        });
    }
    // A host's click on `row`; the bus keeps a connection's messages in order.
    bool click(const Row *row) {
        return row &&
               host->bus().send(
                   QDBusMessage::createMethodCall(service, kMenuPath, kMenuInterface, "Event")
                   << row->id << "clicked" << QVariant::fromValue(QDBusVariant(0)) << 0u);
    }
    static QStringList checked(const Row *parent) {
        QStringList out;
        for (const Row &row : parent ? parent->children : QList<Row>{})
            if (row.toggleState() == 1)
                out << row.label();
        return out;
    }
    // Whether a mapped top-level window titled "Knobly" appears within `seconds`.
    static bool promptShown(int seconds) {
        QProcess search;
        search.start("timeout", {QString::number(seconds), "xdotool", "search", "--sync",
                                 "--onlyvisible", "--name", "^Knobly$"});
        return search.waitForFinished(seconds * 1000 + 5000) && search.exitCode() == 0;
    }

    std::unique_ptr<Connection> host;
    std::unique_ptr<FakeWatcher> watcher;
    QProcess *knobly = nullptr;
    QString service;
    Row menu;
};

TEST_F(Desktop, ItemRegistersAndItsMenuShowsTheDeviceAndEveryControl) {
    ASSERT_NO_FATAL_FAILURE(start());
    const QRegularExpression name(
        QString("^org\\.kde\\.StatusNotifierItem-%1-\\d+$").arg(knobly->processId()));
    EXPECT_TRUE(name.match(service).hasMatch()) << service.toStdString();
    // clang-format off
    const QStringList all{"Kitchen", "Miles Davis — So What", "Volume 35%", "Previous", "Pause",
        "Next", "Source", "Presets", "Select Device", kCapture, "Start at Login", "Volume Step",
        "Maximum Volume", "Check for Updates…", "Quit Knobly"};
    // clang-format on
    EXPECT_TRUE(menuShows([&](const Row &m) { return m.labels() == all; }))
        << menu.labels().join(u'|').toStdString();
    // The slider as hosts draw it: a submenu of levels with the nearest one checked.
    const Row *volume = menu.find("Volume 35%");
    EXPECT_EQ(volume->labels(), (QStringList{"Mute", "0%", "10%", "20%", "30%", "40%", "50%", "60%",
                                             "70%", "80%", "90%", "100%"}));
    EXPECT_EQ(checked(volume), QStringList{"40%"});
    EXPECT_EQ(menu.find("Presets")->labels(), (QStringList{"1. Radio One", "3. Jazz"}));
    EXPECT_EQ(checked(menu.find("Volume Step")), QStringList{"5%"});

    // The panel restarts: its watcher leaves the bus and a new one takes the name.
    watcher->stop();
    ASSERT_TRUE(waitUntil(
        [&] { return !host->bus().interface()->isServiceRegistered(kWatcherService).value(); }));
    watcher = std::make_unique<FakeWatcher>();
    EXPECT_TRUE(waitUntil([&] { return watcher->registered == QStringList{service}; }));
}

// Step choices saved from the menu while this process writes a key of its own into the same
// file: every key keeps its last value and nobody takes the file for damaged.
TEST_F(Desktop, MenuClicksReachTheDeviceAndTheSettingsWrittenMeanwhileAreKept) {
    ASSERT_NO_FATAL_FAILURE(start());
    const Row *volume = menu.find("Volume 35%");
    ASSERT_TRUE(click(volume->find("Mute")) && click(volume->find("20%")) &&
                click(menu.find("Next")));
    for (const char *command : {"setPlayerCmd:mute:1", "setPlayerCmd:vol:20", "setPlayerCmd:next"})
        EXPECT_TRUE(gets(command)) << command;
    EXPECT_TRUE(menuShows([](const Row &m) { return m.find("Björk — Jóga — 全部"); }));

    const Row *steps = menu.find("Volume Step");
    for (int i = 0; i < 100; ++i) {
        ASSERT_TRUE(click(steps->find(i % 2 ? "5%" : "1%")));
        QSettings other(settingsPath(), QSettings::IniFormat);
        other.setValue("keys", i % 2 == 1);
        other.sync();
        ASSERT_EQ(other.status(), QSettings::NoError) << "round " << i;
    }
    ASSERT_TRUE(click(steps->find("10%")));
    EXPECT_TRUE(waitUntil([&] { return saved("step") == "10"; })) << saved("step").toStdString();
    EXPECT_EQ(saved("keys"), "true");
    EXPECT_EQ(saved("ip"), sim->address());
    EXPECT_EQ(saved("device"), "Kitchen");
    EXPECT_TRUE(QDir(config.filePath("Knobly")).entryList({"*.damaged-*"}).isEmpty());
    EXPECT_TRUE(menuShows(
        [](const Row &m) { return checked(m.find("Volume Step")) == QStringList{"10%"}; }));
}

TEST_F(Desktop, ScrollingStepsTheVolumeUpWhicheverPanelSendsIt) {
    ASSERT_NO_FATAL_FAILURE(start());
    // Plasma counts a positive delta as up; Waybar (like most hosts) as down.
    ASSERT_TRUE(scrollAs("plasmashell", service, 120, "Vertical"));
    ASSERT_TRUE(gets("setPlayerCmd:vol:40"));
    ASSERT_TRUE(scrollAs("waybar", service, -1, "vertical"));
    ASSERT_TRUE(gets("setPlayerCmd:vol:45"));
    EXPECT_EQ(sent("setPlayerCmd:vol").size(), 2);
    EXPECT_TRUE(menuShows([](const Row &m) { return m.find("Volume 45%"); }));
}

TEST_F(Desktop, ASecondCopyLeavesAtOnceAndQuitEndsTheFirst) {
    ASSERT_NO_FATAL_FAILURE(start());
    const qsizetype known = watcher->connected.size();
    EXPECT_TRUE(exits(launch("knobly"))) << "the second copy kept running";
    // Whatever the second copy said on the bus has reached the watcher once it is gone.
    const QSet<QString> joined(watcher->connected.begin() + known, watcher->connected.end());
    ASSERT_TRUE(waitUntil([&] { return watcher->departed.contains(joined); }));
    EXPECT_EQ(watcher->registered, QStringList{service});

    ASSERT_TRUE(click(menu.find("Quit Knobly")));
    EXPECT_TRUE(exits(*knobly)) << "Quit did not end knobly";
    EXPECT_TRUE(
        waitUntil([&] { return !host->bus().interface()->isServiceRegistered(service).value(); }));
}

TEST_F(Desktop, CapturedKeysReachTheDeviceAndNobodyElseUntilCaptureIsSwitchedOff) {
    ASSERT_NO_FATAL_FAILURE(start(kSettings + "keys=true\n"));
    EXPECT_EQ(menu.find(kCapture)->toggleState(), 1);
    EXPECT_EQ(other.grab(raise, 0), XCB_ACCESS);
    EXPECT_EQ(typeThenA(kKeys[0].name).size(), 2u) << "the media key reached the other program";
    EXPECT_TRUE(gets("setPlayerCmd:vol:40"));

    ASSERT_TRUE(click(menu.find(kCapture)));
    EXPECT_TRUE(waitUntil([&] { return saved("keys") == "false"; }));
    EXPECT_TRUE(menuShows([](const Row &m) { return m.find(kCapture)->toggleState() == 0; }));
    EXPECT_EQ(typeThenA(kKeys[0].name).size(), 4u) << "the key was not given back";
    EXPECT_EQ(sent("setPlayerCmd:vol").size(), 1);
    EXPECT_EQ(other.grab(raise, XCB_MOD_MASK_ANY), 0);
}

TEST_F(Desktop, KeysHeldElsewhereSwitchCaptureOffQuietlyAndPromptOnlyWhenAsked) {
    for (auto code : other.keycodes(kPlay))
        ASSERT_EQ(other.grab(code, 0), 0);
    ASSERT_NO_FATAL_FAILURE(start(kSettings + "keys=true\n"));
    EXPECT_EQ(menu.find(kCapture)->toggleState(), 0);
    EXPECT_TRUE(waitUntil([&] { return saved("keys") == "false"; }));
    EXPECT_FALSE(promptShown(1)) << "a prompt came up at launch";
    ASSERT_TRUE(click(menu.find(kCapture)));
    EXPECT_TRUE(promptShown(10)) << "no prompt after choosing Capture Media Keys";
    EXPECT_EQ(saved("keys"), "false");
}

TEST_F(Desktop, PlayerctlSeesAndDrivesTheDevice) {
    ASSERT_NO_FATAL_FAILURE(start());
    const auto playerctl = [](const QStringList &args) {
        QProcess p;
        p.start("playerctl", QStringList{"-p", "knobly"} + args);
        return p.waitForFinished(10000) && p.exitCode() == 0 ? QString(p.readAll()).trimmed() : "";
    };
    const auto answers = [&](const QStringList &args, const QString &expected) {
        return waitUntil([&] { return playerctl(args) == expected; });
    };
    EXPECT_TRUE(answers({"status"}, "Playing"));
    EXPECT_TRUE(answers({"metadata", "--format",
                         "{{title}}|{{artist}}|{{album}}|{{mpris:length}}|{{mpris:artUrl}}"},
                        "So What|Miles Davis|Kind of Blue|337000000|http://127.0.0.1/art/1.jpg"));
    EXPECT_EQ(playerctl({"volume"}), "0.350000");
    playerctl({"play-pause"});
    EXPECT_TRUE(gets("setPlayerCmd:pause"));
    EXPECT_TRUE(answers({"status"}, "Paused"));
    playerctl({"next"});
    EXPECT_TRUE(answers({"metadata", "--format", "{{title}}|{{album}}"}, "Jóga — 全部|"))
        << "\"unknow\" is no album";

    // Levels as desktops send them: in range, above it, and values that are no level.
    playerctl({"volume", "0.2"});
    EXPECT_TRUE(gets("setPlayerCmd:vol:20"));
    playerctl({"volume", "1.5"});
    EXPECT_TRUE(gets("setPlayerCmd:vol:100"));
    for (const double level : {std::nan(""), HUGE_VAL}) {
        const QDBusMessage reply = host->call(
            "org.mpris.MediaPlayer2.knobly", "/org/mpris/MediaPlayer2", kPropertiesInterface, "Set",
            {"org.mpris.MediaPlayer2.Player", "Volume", QVariant::fromValue(QDBusVariant(level))});
        EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage);
    }
    EXPECT_TRUE(answers({"volume"}, "1.000000"));
    EXPECT_EQ(sent("vol:"), (QStringList{"setPlayerCmd:vol:20", "setPlayerCmd:vol:100"}));
    // The device stopping on its own shows at the next poll.
    sim->setStatus("stop");
    EXPECT_TRUE(answers({"status"}, "Stopped"));
}

// Rows run in order against one device; settings, when given, are saved before the row.
TEST_F(Program, KnoblyctlCommandsAndExitCodes) {
    // clang-format off
    // `last`: the device's last command (nullptr: not looked at); `out`: text the output holds.
    struct Case { const char *settings; Fault fault; QStringList args; int exitCode; const char *last, *out; };
    const char *none = "step=5\n"; // no device chosen
    const Case cases[] = {
        {"ip=%1\nstep=5\n", Fault::None, {"volume", "up"}, 0, "setPlayerCmd:vol:40", "volume 40"},
        {nullptr, Fault::None, {"volume", "down"}, 0, "setPlayerCmd:vol:35", "volume 35"},
        {nullptr, Fault::None, {"volume", "250"}, 0, "setPlayerCmd:vol:100", "volume 100"},
        {nullptr, Fault::None, {"mute"}, 0, "setPlayerCmd:mute:1", "muted"},
        {nullptr, Fault::None, {"mute"}, 0, "setPlayerCmd:mute:0", "unmuted"},
        {nullptr, Fault::None, {"play-pause"}, 0, "setPlayerCmd:pause", "paused"},
        {nullptr, Fault::None, {"play-pause"}, 0, "setPlayerCmd:resume", "playing"},
        {nullptr, Fault::None, {"next"}, 0, "setPlayerCmd:next", ""},
        {nullptr, Fault::None, {"prev"}, 0, "setPlayerCmd:prev", ""},
        {nullptr, Fault::None, {"status"}, 0, "getPlayerStatus", R"({"muted":false,"nowPlaying":"Miles Davis — So What","playing":true,"volume":100})"},
        {nullptr, Fault::WrongTypes, {"status"}, 0, nullptr, R"({"muted":null,"nowPlaying":null,"playing":null,"volume":null})"},
        {nullptr, Fault::None, {"source"}, 0, "getPlayerStatus", "* wifi       Wi-Fi"},
        {nullptr, Fault::None, {"source", "line in"}, 0, "setPlayerCmd:switchmode:line-in", "source Line In"},
        {nullptr, Fault::None, {"source"}, 0, "getPlayerStatus", "* line-in    Line In"},
        {nullptr, Fault::None, {"source", "HDMI"}, 2, nullptr, ""},
        {nullptr, Fault::None, {"preset", "3"}, 0, "MCUKeyShortClick:3", "preset 3 Jazz"},
        {nullptr, Fault::None, {"preset", "2"}, 1, "getPresetInfo", ""},
        {nullptr, Fault::None, {"preset", "x"}, 2, "getPresetInfo", ""},
        {"ip=%1\nmaxVolume=60\n", Fault::None, {"volume", "250"}, 0, "setPlayerCmd:vol:60", "volume 60"},
        {none, Fault::None, {"status"}, 1, nullptr, ""},
        {none, Fault::Reset, {"status", "--device", "%1"}, 1, nullptr, ""},
        {none, Fault::None, {}, 2, nullptr, ""},
        {none, Fault::None, {"launch"}, 2, nullptr, ""},
        {none, Fault::None, {"volume"}, 2, nullptr, ""},
        {none, Fault::None, {"volume", "loud"}, 2, nullptr, ""},
        {none, Fault::None, {"next", "now"}, 2, nullptr, ""},
        {none, Fault::None, {"status", "--device"}, 2, nullptr, ""},
        {none, Fault::None, {"status", "--device", "10.0.0.1/x"}, 2, nullptr, ""},
    };
    // clang-format on
    for (const Case &c : cases) {
        const QStringList args = QStringList(c.args).replaceInStrings("%1", sim->address());
        SCOPED_TRACE(args.join(u' ').toStdString());
        if (c.settings)
            saveSettings(c.settings);
        sim->setFault(c.fault);
        QProcess &ctl = launch("knoblyctl", args);
        ASSERT_TRUE(ctl.waitForFinished(30000));
        const QString out = ctl.readAll();
        const int code = ctl.exitStatus() == QProcess::NormalExit ? ctl.exitCode() : -1;
        EXPECT_TRUE(code == c.exitCode && out.contains(c.out) && (code == 0 || !out.isEmpty()))
            << "exit " << code << ": " << out.toStdString();
        EXPECT_EQ(c.last ? sim->commands().back() : QString(), QString(c.last));
    }
}

TEST_F(Display, TheTapTakesEachMediaKeyUntilDisabled) {
    ASSERT_TRUE(tap->enable(record));
    for (const auto &key : kKeys) {
        SCOPED_TRACE(key.name);
        for (auto code : other.keycodes(key.keysym))
            EXPECT_EQ(other.grab(code, 0), XCB_ACCESS);
        seen.clear();
        EXPECT_EQ(typeThenA(key.name).size(), 2u) << "the key leaked";
        EXPECT_TRUE(waitUntil([&] { return seen.size() >= 2; }));
        EXPECT_EQ(seen, (std::vector<KeyEvent>{{key.key, true}, {key.key, false}}));
    }
    tap->disable();
    tap->disable(); // twice is fine
    EXPECT_EQ(typeThenA(kKeys[0].name).size(), 4u) << "the key was not given back";
    for (const auto &key : kKeys)
        for (auto code : other.keycodes(key.keysym))
            EXPECT_EQ(other.grab(code, XCB_MOD_MASK_ANY), 0) << key.name;
}

TEST_F(Display, LockModifiersAndShiftDoNotLetKeysThrough) {
    // clang-format off
    const struct { const char *name; QStringList locks; bool shift; std::uint16_t mask; } cases[] = {
        {"NumLock", {"Num_Lock"}, false, XCB_MOD_MASK_2},
        {"CapsLock", {"Caps_Lock"}, false, XCB_MOD_MASK_LOCK},
        {"both", {"Num_Lock", "Caps_Lock"}, false, XCB_MOD_MASK_2 | XCB_MOD_MASK_LOCK},
        {"Shift", {}, true, 0},
        {"Shift and NumLock", {"Num_Lock"}, true, XCB_MOD_MASK_2}, // Shift: a fine step
    };
    // clang-format on
    ASSERT_TRUE(tap->enable(record));
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        seen.clear();
        for (const auto &k : c.locks)
            ASSERT_TRUE(run("xdotool", {"key", k}));
        const auto keys = typeThenA(QString(c.shift ? "shift+" : "") + kKeys[0].name);
        for (const auto &k : c.locks) // back first, so a failure leaves the next case clean
            ASSERT_TRUE(run("xdotool", {"key", k}));
        ASSERT_GE(keys.size(), 2u);
        EXPECT_EQ(keys[keys.size() - 2].state & c.mask, c.mask) << "the lock was not on";
        for (const auto &k : keys)
            EXPECT_NE(k.detail, raise) << "the media key leaked";
        EXPECT_TRUE(waitUntil([&] { return seen.size() >= 2; }));
        EXPECT_EQ(seen.front(), (KeyEvent{Key::volumeUp, true, false, c.shift}));
    }
}

TEST_F(Display, AKeyHeldElsewhereRefusesAllAndKeepsNothing) {
    for (auto code : other.keycodes(kPlay))
        ASSERT_EQ(other.grab(code, 0), 0);
    EXPECT_FALSE(tap->enable(record));
    EXPECT_EQ(tap->lastRefusal(), KeyTap::Refusal::keysTaken);
    // Nothing of ours is left: AnyModifier collides with any grab of the same key.
    for (const auto &key : kKeys)
        for (auto code :
             key.keysym == kPlay ? std::vector<xcb_keycode_t>{} : other.keycodes(key.keysym))
            EXPECT_EQ(other.grab(code, XCB_MOD_MASK_ANY), 0) << key.name;
}

TEST_F(Display, ARepeatIsAPressAfterAReleaseAtTheSameTime) {
    ASSERT_TRUE(tap->enable(record));
    // Fed straight to the application's filters, as Qt feeds what the server sends.
    xcb_key_press_event_t e{};
    e.detail = other.keycode(kKeys[2].keysym);
    e.root = other.root();
    const auto feed = [&](std::uint8_t type, xcb_timestamp_t time, xcb_window_t window) {
        e.response_type = type;
        e.time = time;
        e.event = window;
        seen.clear();
        return QAbstractEventDispatcher::instance()->filterNativeEvent("xcb_generic_event_t", &e,
                                                                       nullptr);
    };
    // clang-format off
    const struct { std::uint8_t type; xcb_timestamp_t time; bool repeat; } steps[] = {
        {XCB_KEY_PRESS, 100, false}, {XCB_KEY_RELEASE, 200, false}, {XCB_KEY_PRESS, 200, true},
        {XCB_KEY_RELEASE, 233, false}, {XCB_KEY_PRESS, 233, true}, {XCB_KEY_RELEASE, 300, false},
        {XCB_KEY_PRESS, 301, false}};
    // clang-format on
    for (const auto &s : steps) {
        EXPECT_TRUE(feed(s.type, s.time, other.root())) << s.time;
        EXPECT_EQ(seen, (std::vector<KeyEvent>{{Key::mute, s.type == XCB_KEY_PRESS, s.repeat}}))
            << s.time;
    }
    EXPECT_FALSE(feed(XCB_KEY_PRESS, 400, other.root() + 1)) << "not from our grab: not ours";
    EXPECT_TRUE(seen.empty());
    drop = false;
    EXPECT_FALSE(feed(XCB_KEY_PRESS, 500, other.root())) << "passed on by the handler: Qt gets it";
    EXPECT_EQ(seen.size(), 1u);
}

// Counts mapping changes; installed before the tap's filter, it sees one after the tap regrabbed.
class MappingCount : public QAbstractNativeEventFilter {
public:
    MappingCount() { qGuiApp->installNativeEventFilter(this); }
    ~MappingCount() override { qGuiApp->removeNativeEventFilter(this); }
    int changes = 0;
    bool nativeEventFilter(const QByteArray &type, void *message, qintptr *) override {
        const auto *e = static_cast<xcb_generic_event_t *>(message);
        changes +=
            type == "xcb_generic_event_t" && (e->response_type & ~0x80) == XCB_MAPPING_NOTIFY;
        return false;
    }
};

// Last: it leaves the keymap changed.
TEST_F(Display, AfterAKeymapChangeTheTapFollowsAndKeepsWhatItCanHave) {
    MappingCount mappings;
    ASSERT_TRUE(tap->enable(record));
    const auto remap = [&](xcb_keycode_t keycode, const char *keysym) {
        const int before = mappings.changes;
        return run("xmodmap", {"-e", QString("keycode %1 = %2").arg(keycode).arg(keysym)}) &&
               waitUntil([&] { return mappings.changes > before; });
    };
    std::vector<xcb_keycode_t> spare, ours;
    for (int code = 255; code > 8 && spare.size() < 2; --code)
        if (other.unused(static_cast<xcb_keycode_t>(code)))
            spare.push_back(static_cast<xcb_keycode_t>(code));
    ASSERT_EQ(spare.size(), 2u);
    for (const auto &key : kKeys)
        for (auto code : other.keycodes(key.keysym))
            if (code != raise)
                ours.push_back(code);

    // Volume up moves to a keycode it did not have; mute gains one the other program holds.
    ASSERT_EQ(other.grab(spare[1], XCB_MOD_MASK_ANY), 0);
    ASSERT_TRUE(remap(spare[0], "XF86AudioRaiseVolume") && remap(raise, "NoSymbol") &&
                remap(spare[1], "XF86AudioMute"));
    EXPECT_EQ(typeThenA(kKeys[0].name).size(), 2u) << "the key on its new keycode leaked";
    EXPECT_TRUE(waitUntil([&] { return !seen.empty(); }));
    EXPECT_EQ(seen.front(), (KeyEvent{Key::volumeUp, true}));
    for (auto code : ours)
        EXPECT_EQ(other.grab(code, 0), XCB_ACCESS) << "keycode " << int(code) << " was let go";
}

} // namespace

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (::testing::GTEST_FLAG(list_tests))
        return RUN_ALL_TESTS(); // listing needs no display
    if (!std::getenv("DISPLAY"))
        return 77;                         // run under with-xvfb.sh
    ::setenv("QT_QPA_PLATFORM", "xcb", 1); // before the application: it picks the plugin
    QGuiApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
