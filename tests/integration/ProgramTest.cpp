// knobly and knoblyctl as processes, and the X11 key tap in this one, on a desktop of the test's
// own making: a private Xvfb display, a private session bus with a stand-in panel watcher, a
// network namespace with only loopback (so knobly's discovery reaches no real network), private
// folders and a simulated device. Keys come from xdotool through XTEST, so they take the server's
// normal path through the grabs; a second X connection plays the other program on the desktop.
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
#include <QStandardPaths>
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

struct MediaKeySym {
    const char *name;
    xcb_keysym_t keysym;
    Key key;
};
const MediaKeySym kKeys[] = {
    {"XF86AudioRaiseVolume", 0x1008FF13, Key::volumeUp},
    {"XF86AudioLowerVolume", 0x1008FF11, Key::volumeDown},
    {"XF86AudioMute", 0x1008FF12, Key::mute},
    {"XF86AudioPlay", 0x1008FF14, Key::playPause},
    {"XF86AudioNext", 0x1008FF17, Key::next},
    {"XF86AudioPrev", 0x1008FF16, Key::previous},
};
constexpr xcb_keysym_t kPlay = 0x1008FF14;
const QString kCapture = QStringLiteral("Capture Media Keys");
const QString kSettings = QStringLiteral("ip=%1\ndevice=Kitchen\nstep=5\n");

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
        if (symbols_)
            xcb_key_symbols_free(symbols_);
        xcb_disconnect(c_);
    }
    xcb_window_t root() const { return root_; }
    std::vector<xcb_keycode_t> keycodes(xcb_keysym_t keysym) const {
        std::vector<xcb_keycode_t> out;
        if (!symbols_)
            return out;
        XcbPtr<xcb_keycode_t> codes(xcb_key_symbols_get_keycode(symbols_, keysym));
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
    // A mapped window of ours: keys nobody grabs come here once it has the focus.
    bool mapWindow() {
        if (xcb_connection_has_error(c_) || !symbols_)
            return false;
        window_ = xcb_generate_id(c_);
        const std::uint32_t mask =
            XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_KEY_RELEASE | XCB_EVENT_MASK_STRUCTURE_NOTIFY;
        xcb_create_window(c_, XCB_COPY_FROM_PARENT, window_, root_, 0, 0, 100, 100, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK,
                          &mask);
        xcb_map_window(c_, window_);
        xcb_flush(c_);
        return next([](const xcb_generic_event_t *e) {
            return (e->response_type & ~0x80) == XCB_MAP_NOTIFY;
        });
    }
    bool takeFocus() {
        return !XcbPtr<xcb_generic_error_t>(
            xcb_request_check(c_, xcb_set_input_focus_checked(c_, XCB_INPUT_FOCUS_POINTER_ROOT,
                                                              window_, XCB_CURRENT_TIME)));
    }
    // 0 when the grab was had, else the X error code.
    int grab(xcb_keycode_t keycode, std::uint16_t modifiers) {
        XcbPtr<xcb_generic_error_t> error(
            xcb_request_check(c_, xcb_grab_key_checked(c_, 0, root_, modifiers, keycode,
                                                       XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC)));
        return error ? error->error_code : 0;
    }
    bool next(const std::function<bool(const xcb_generic_event_t *)> &wanted) {
        bool found = false;
        return eventually([&] {
            while (XcbPtr<xcb_generic_event_t> e{found ? nullptr : xcb_poll_for_event(c_)})
                found = wanted(e.get());
            return found;
        });
    }

private:
    xcb_connection_t *c_;
    xcb_window_t root_ = 0;
    xcb_window_t window_ = 0;
    xcb_key_symbols_t *symbols_ = nullptr;
};

struct XKey {
    bool press;
    xcb_keycode_t keycode;
    std::uint16_t state;
};

// The display with the other program on it, and the key tap of this process.
class Display : public ::testing::Test {
protected:
    void SetUp() override {
        if (QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty())
            GTEST_SKIP() << "xdotool is not installed";
        ASSERT_TRUE(other.mapWindow() && other.takeFocus());
        ASSERT_TRUE(raise && letterA);
    }
    // Types `key` and then a plain "a"; what the other program saw up to the "a".
    std::vector<XKey> typeThenA(const QString &key) {
        std::vector<XKey> keys;
        EXPECT_TRUE(other.takeFocus() && run(QStringLiteral("xdotool"),
                                             {QStringLiteral("key"), key, QStringLiteral("a")}));
        EXPECT_TRUE(other.next([&](const xcb_generic_event_t *e) {
            const auto type = e->response_type & ~0x80;
            const auto *k = reinterpret_cast<const xcb_key_press_event_t *>(e);
            if (type == XCB_KEY_PRESS || type == XCB_KEY_RELEASE)
                keys.push_back({type == XCB_KEY_PRESS, k->detail, k->state});
            return type == XCB_KEY_RELEASE && k->detail == letterA;
        })) << "the plain key never reached the other program";
        return keys;
    }
    KeyTap::Handler record() {
        return [this](const KeyEvent &e) {
            seen.push_back(e);
            return drop;
        };
    }

    OtherClient other;
    const xcb_keycode_t raise = other.keycode(kKeys[0].keysym);
    const xcb_keycode_t letterA = other.keycode(0x61);
    std::unique_ptr<KeyTap> tap = KeyTap::create();
    std::vector<KeyEvent> seen;
    bool drop = true;
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
        options.name = QStringLiteral("Kitchen");
        options.tracks = {
            {QStringLiteral("So What"), QStringLiteral("Miles Davis"),
             QStringLiteral("Kind of Blue")},
            {QStringLiteral("Jóga — 全部"), QStringLiteral("Björk"), QStringLiteral("unknow")}};
        options.presets = {{1, QStringLiteral("Radio One")}, {3, QStringLiteral("Jazz")}};
        sim = std::make_unique<DeviceSimulator>(options);
        ASSERT_TRUE(config.isValid() && runtime.isValid() && sim->start());
        sim->setVolume(35);
        sim->setStatus(QStringLiteral("play"));
    }
    void TearDown() override {
        for (const auto &process : launched) {
            if (process->state() == QProcess::NotRunning)
                continue;
            ::kill(static_cast<pid_t>(process->processId()), SIGTERM);
            EXPECT_TRUE(exits(*process)) << "SIGTERM did not end knobly";
            process->kill();
        }
        for (const auto &process : launched)
            if (HasFailure())
                std::cerr << "--- knobly said:\n" << process->readAll().toStdString() << "---\n";
    }
    // The settings file as a person would write it; %1 stands for the device's address.
    void saveSettings(const QString &text) {
        ASSERT_TRUE(QDir(config.path()).mkpath(QStringLiteral("Knobly")));
        QFile file(settingsPath());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QStringLiteral("[General]\n%1")
                       .arg(QString(text).replace(QStringLiteral("%1"), sim->address()))
                       .toUtf8());
    }
    QString settingsPath() const { return config.filePath(QStringLiteral("Knobly/Knobly.conf")); }
    QString saved(const char *key) const {
        return QSettings(settingsPath(), QSettings::IniFormat).value(QLatin1String(key)).toString();
    }
    // The system bus is one nobody is on: an Avahi there would browse the real network for us.
    QProcess &launch(const QString &program, const QStringList &args = {}) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), config.path());
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
        env.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"),
                   QStringLiteral("unix:path=") + runtime.filePath("none"));
        env.remove(QStringLiteral("XDG_CURRENT_DESKTOP"));
        launched.push_back(std::make_unique<QProcess>());
        launched.back()->setProcessEnvironment(env);
        launched.back()->setProcessChannelMode(QProcess::MergedChannels);
        launched.back()->start(QStringLiteral(KNOBLY_BIN_DIR "/") + program, args);
        return *launched.back();
    }
    static bool exits(QProcess &process) {
        return pumpUntil([&] { return process.state() == QProcess::NotRunning; }) &&
               process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    }
    QStringList sent(const QString &prefix) const {
        QStringList found;
        for (const QString &c : sim->commands())
            if (c.startsWith(prefix))
                found << c;
        return found;
    }
    bool gets(const QString &command) const {
        return pumpUntil([&] { return sent(command).contains(command); });
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
        host = std::make_unique<Connection>(QStringLiteral("host"));
        watcher = std::make_unique<FakeWatcher>();
        ASSERT_TRUE(host->bus().isConnected() && watcher->running);
    }
    // Starts knobly with `settings` saved; returns once its menu shows the device's answer.
    void start(const QString &settings = kSettings) {
        ASSERT_NO_FATAL_FAILURE(saveSettings(settings));
        knobly = &launch(QStringLiteral("knobly"));
        ASSERT_TRUE(pumpUntil([&] { return !watcher->registered.isEmpty(); }))
            << "no item registered";
        service = watcher->registered.constFirst();
        ASSERT_TRUE(menuShows(QStringLiteral("Volume 35%")))
            << "the device's answer never reached the menu";
    }
    bool menuShows(const QString &label) {
        return pumpUntil([&] {
            menu = readLayout(*host, service).root;
            return menu.find(label) != nullptr;
        });
    }
    // A host's click on `row`, waiting for knobly's answer unless told not to.
    bool click(const Row *row, bool wait = true) {
        if (!row)
            return false;
        const QVariantList args{row->id, QStringLiteral("clicked"),
                                QVariant::fromValue(QDBusVariant(QString())), 0u};
        QDBusMessage message = QDBusMessage::createMethodCall(service, kMenuPath, kMenuInterface,
                                                              QStringLiteral("Event"));
        message.setArguments(args);
        return wait ? host->call(service, kMenuPath, kMenuInterface, QStringLiteral("Event"), args)
                              .type() == QDBusMessage::ReplyMessage
                    : host->bus().send(message);
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
        search.start(QStringLiteral("timeout"),
                     {QString::number(seconds), QStringLiteral("xdotool"), QStringLiteral("search"),
                      QStringLiteral("--sync"), QStringLiteral("--onlyvisible"),
                      QStringLiteral("--name"), QStringLiteral("^Knobly$")});
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
    EXPECT_TRUE(
        QRegularExpression(
            QStringLiteral("^org\\.kde\\.StatusNotifierItem-%1-\\d+$").arg(knobly->processId()))
            .match(service)
            .hasMatch())
        << service.toStdString();
    EXPECT_EQ(qint64(host->bus().interface()->servicePid(watcher->senders.constFirst()).value()),
              knobly->processId());

    const QStringList all{QStringLiteral("Kitchen"),        QStringLiteral("Miles Davis — So What"),
                          QStringLiteral("Volume 35%"),     QStringLiteral("Previous"),
                          QStringLiteral("Pause"),          QStringLiteral("Next"),
                          QStringLiteral("Source"),         QStringLiteral("Presets"),
                          QStringLiteral("Select Device"),  kCapture,
                          QStringLiteral("Start at Login"), QStringLiteral("Volume Step"),
                          QStringLiteral("Maximum Volume"), QStringLiteral("Check for Updates…"),
                          QStringLiteral("Quit Knobly")};
    EXPECT_TRUE(pumpUntil([&] {
        menu = readLayout(*host, service).root;
        return menu.labels() == all;
    })) << menu.labels().join(u'|').toStdString();
    // The device's row is a status line with the reachability mark, not something to click.
    EXPECT_FALSE(
        menu.children.constFirst().properties.value(QStringLiteral("enabled"), true).toBool());
    EXPECT_FALSE(menu.children.constFirst()
                     .properties.value(QStringLiteral("icon-data"))
                     .toByteArray()
                     .isEmpty());
    // The slider as hosts draw it: a submenu of levels with the nearest one checked.
    const Row *volume = menu.find(QStringLiteral("Volume 35%"));
    QStringList levels{QStringLiteral("Mute")};
    for (int level = 0; level <= 100; level += 10)
        levels << QStringLiteral("%1%").arg(level);
    EXPECT_EQ(volume->labels(), levels);
    EXPECT_EQ(checked(volume), QStringList{QStringLiteral("40%")});
    EXPECT_EQ(menu.find(QStringLiteral("Presets"))->labels(),
              (QStringList{"1. Radio One", "3. Jazz"}));
    EXPECT_EQ(menu.find(QStringLiteral("Select Device"))->labels().mid(1),
              (QStringList{"Rescan Network", "Enter IP Address…"}));
    EXPECT_EQ(menu.find(kCapture)->toggleState(), 0);
    EXPECT_EQ(menu.find(QStringLiteral("Volume Step"))->labels(),
              (QStringList{"1%", "2%", "3%", "5%", "10%"}));
    EXPECT_EQ(checked(menu.find(QStringLiteral("Volume Step"))), QStringList{"5%"});

    // The panel restarts: its watcher leaves the bus and a new one takes the name.
    watcher->stop();
    ASSERT_TRUE(pumpUntil(
        [&] { return !host->bus().interface()->isServiceRegistered(kWatcherService).value(); }));
    watcher = std::make_unique<FakeWatcher>();
    EXPECT_TRUE(pumpUntil([&] { return watcher->registered == QStringList{service}; }))
        << "no new registration";
}

// Step choices saved from the menu while this process writes a key of its own into the same
// file: every key keeps its last value and nobody takes the file for damaged.
TEST_F(Desktop, MenuClicksReachTheDeviceAndTheSettingsWrittenMeanwhileAreKept) {
    ASSERT_NO_FATAL_FAILURE(start());
    const Row *volume = menu.find(QStringLiteral("Volume 35%"));
    ASSERT_TRUE(click(volume->find(QStringLiteral("Mute"))) &&
                click(volume->find(QStringLiteral("20%"))));
    ASSERT_TRUE(click(menu.find(QStringLiteral("Next"))));
    for (const char *command : {"setPlayerCmd:mute:1", "setPlayerCmd:vol:20", "setPlayerCmd:next"})
        EXPECT_TRUE(gets(QLatin1String(command))) << command;
    EXPECT_TRUE(menuShows(QStringLiteral("Björk — Jóga — 全部")))
        << "the skip shows at the next poll";

    const Row *steps = menu.find(QStringLiteral("Volume Step"));
    for (int i = 0; i < 100; ++i) {
        ASSERT_TRUE(click(steps->find(i % 2 ? QStringLiteral("5%") : QStringLiteral("1%")), false));
        QSettings other(settingsPath(), QSettings::IniFormat);
        other.setValue(QStringLiteral("keys"), i % 2 == 1);
        other.sync();
        ASSERT_EQ(other.status(), QSettings::NoError) << "round " << i;
    }
    // Once the last choice is saved, every click before it has been handled.
    ASSERT_TRUE(click(steps->find(QStringLiteral("10%"))));
    EXPECT_TRUE(pumpUntil([&] { return saved("step") == QLatin1String("10"); }))
        << saved("step").toStdString();
    EXPECT_EQ(saved("keys"), QStringLiteral("true"));
    EXPECT_EQ(saved("ip"), sim->address());
    EXPECT_EQ(saved("device"), QStringLiteral("Kitchen"));
    EXPECT_TRUE(
        QDir(config.filePath("Knobly")).entryList({QStringLiteral("*.damaged-*")}).isEmpty());
    EXPECT_TRUE(pumpUntil([&] {
        menu = readLayout(*host, service).root;
        return checked(menu.find(QStringLiteral("Volume Step"))) == QStringList{"10%"};
    }));
}

TEST_F(Desktop, ScrollingStepsTheVolumeUpWhicheverPanelSendsIt) {
    ASSERT_NO_FATAL_FAILURE(start());
    // Plasma counts a positive delta as up; Waybar (like most hosts) as down.
    ASSERT_TRUE(scrollAs(QStringLiteral("plasmashell"), service, 120, QStringLiteral("Vertical")));
    ASSERT_TRUE(gets(QStringLiteral("setPlayerCmd:vol:40")));
    ASSERT_TRUE(scrollAs(QStringLiteral("waybar"), service, -1, QStringLiteral("vertical")));
    ASSERT_TRUE(gets(QStringLiteral("setPlayerCmd:vol:45")));
    EXPECT_EQ(sent(QStringLiteral("setPlayerCmd:vol")).size(), 2);
    EXPECT_TRUE(menuShows(QStringLiteral("Volume 45%"))) << "the slider row follows";
}

TEST_F(Desktop, ASecondCopyLeavesAtOnceAndQuitEndsTheFirst) {
    ASSERT_NO_FATAL_FAILURE(start());
    const qsizetype known = watcher->connected.size();
    EXPECT_TRUE(exits(launch(QStringLiteral("knobly")))) << "the second copy kept running";
    // Whatever the second copy said on the bus has reached the watcher once it is gone.
    const QStringList joined = watcher->connected.mid(known);
    ASSERT_TRUE(pumpUntil([&] {
        return std::all_of(joined.begin(), joined.end(),
                           [&](const QString &n) { return watcher->departed.contains(n); });
    }));
    EXPECT_EQ(watcher->registered, QStringList{service});

    ASSERT_TRUE(click(menu.find(QStringLiteral("Quit Knobly"))));
    EXPECT_TRUE(exits(*knobly)) << "Quit did not end knobly";
    EXPECT_TRUE(
        pumpUntil([&] { return !host->bus().interface()->isServiceRegistered(service).value(); }));
}

TEST_F(Desktop, CapturedKeysReachTheDeviceAndNobodyElseUntilCaptureIsSwitchedOff) {
    ASSERT_NO_FATAL_FAILURE(start(kSettings + QStringLiteral("keys=true\n")));
    EXPECT_EQ(menu.find(kCapture)->toggleState(), 1);
    EXPECT_EQ(other.grab(raise, 0), XCB_ACCESS);
    EXPECT_EQ(typeThenA(kKeys[0].name).size(), 2u) << "the media key reached the other program too";
    EXPECT_TRUE(gets(QStringLiteral("setPlayerCmd:vol:40")));

    ASSERT_TRUE(click(menu.find(kCapture), false));
    EXPECT_TRUE(pumpUntil([&] { return saved("keys") == QLatin1String("false"); }));
    EXPECT_TRUE(pumpUntil([&] {
        menu = readLayout(*host, service).root;
        return menu.find(kCapture) && menu.find(kCapture)->toggleState() == 0;
    }));
    const auto keys = typeThenA(kKeys[0].name);
    ASSERT_EQ(keys.size(), 4u) << "the key was not given back";
    EXPECT_EQ(keys[0].keycode, raise);
    EXPECT_EQ(sent(QStringLiteral("setPlayerCmd:vol")).size(), 1);
    EXPECT_EQ(other.grab(raise, XCB_MOD_MASK_ANY), 0);
}

TEST_F(Desktop, KeysHeldElsewhereSwitchCaptureOffQuietlyAndPromptOnlyWhenAsked) {
    for (auto code : other.keycodes(kPlay))
        ASSERT_EQ(other.grab(code, 0), 0);
    ASSERT_NO_FATAL_FAILURE(start(kSettings + QStringLiteral("keys=true\n")));
    EXPECT_EQ(menu.find(kCapture)->toggleState(), 0);
    EXPECT_TRUE(pumpUntil([&] { return saved("keys") == QLatin1String("false"); }));
    EXPECT_FALSE(promptShown(1)) << "a prompt came up at launch";
    ASSERT_TRUE(click(menu.find(kCapture), false));
    EXPECT_TRUE(promptShown(10)) << "no prompt after choosing Capture Media Keys";
    EXPECT_EQ(saved("keys"), QStringLiteral("false"));
}

TEST_F(Desktop, PlayerctlSeesAndDrivesTheDevice) {
    ASSERT_NO_FATAL_FAILURE(start());
    const auto playerctl = [](const QStringList &args) {
        QProcess p;
        p.start(QStringLiteral("playerctl"),
                QStringList{QStringLiteral("-p"), QStringLiteral("knobly")} + args);
        return p.waitForFinished(10000) && p.exitCode() == 0
                   ? QString::fromUtf8(p.readAllStandardOutput()).trimmed()
                   : QString();
    };
    const auto answers = [&](const QStringList &args, const QString &expected) {
        return pumpUntil([&] { return playerctl(args) == expected; });
    };
    const QString format = QStringLiteral(
        "{{xesam:title}}|{{xesam:artist}}|{{xesam:album}}|{{mpris:length}}|{{mpris:artUrl}}");
    EXPECT_TRUE(answers({"status"}, "Playing"));
    EXPECT_TRUE(answers({"metadata", "--format", format},
                        "So What|Miles Davis|Kind of Blue|337000000|http://127.0.0.1/art/1.jpg"));
    EXPECT_EQ(playerctl({"volume"}), QStringLiteral("0.350000"));
    playerctl({"play-pause"});
    EXPECT_TRUE(gets(QStringLiteral("setPlayerCmd:pause")));
    EXPECT_TRUE(answers({"status"}, "Paused"));
    playerctl({"next"});
    EXPECT_TRUE(
        answers({"metadata", "--format", "{{xesam:title}}|{{xesam:album}}"}, "Jóga — 全部|"))
        << "\"unknow\" is no album";

    // Levels as desktops send them: in range, above it, and values that are no level.
    playerctl({"volume", "0.2"});
    EXPECT_TRUE(gets(QStringLiteral("setPlayerCmd:vol:20")));
    playerctl({"volume", "1.5"});
    EXPECT_TRUE(gets(QStringLiteral("setPlayerCmd:vol:100")));
    for (const double level : {std::nan(""), INFINITY}) {
        const QDBusMessage reply = host->call(
            QStringLiteral("org.mpris.MediaPlayer2.knobly"),
            QStringLiteral("/org/mpris/MediaPlayer2"), kPropertiesInterface, QStringLiteral("Set"),
            {QStringLiteral("org.mpris.MediaPlayer2.Player"), QStringLiteral("Volume"),
             QVariant::fromValue(QDBusVariant(level))});
        EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage);
    }
    EXPECT_TRUE(answers({"volume"}, "1.000000"));
    EXPECT_EQ(sent(QStringLiteral("setPlayerCmd:vol")).size(), 2)
        << sent(QStringLiteral("setPlayerCmd:vol")).join(' ').toStdString();
    // The device stopping on its own shows at the next poll.
    sim->setStatus(QStringLiteral("stop"));
    EXPECT_TRUE(answers({"status"}, "Stopped"));
}

// Rows run in order against one device; settings (when given) are saved before the row.
TEST_F(Program, KnoblyctlCommandsAndExitCodes) {
    struct Case {
        const char *settings;
        Fault fault;
        QStringList args;
        int exitCode;
        const char *last; // the device's last command; nullptr: not looked at
        const char *out;  // text the output holds
    };
    const char *noDevice = "step=5\n";
    // clang-format off
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
        {nullptr, Fault::None, {"source"}, 0, "getPlayerStatus", "* wifi       Wi-Fi"},
        {nullptr, Fault::None, {"source", "line in"}, 0, "setPlayerCmd:switchmode:line-in", "source Line In"},
        {nullptr, Fault::None, {"source"}, 0, "getPlayerStatus", "* line-in    Line In"},
        {nullptr, Fault::None, {"source", "HDMI"}, 2, nullptr, ""},
        {nullptr, Fault::None, {"preset", "3"}, 0, "MCUKeyShortClick:3", "preset 3 Jazz"},
        {nullptr, Fault::None, {"preset", "2"}, 1, "getPresetInfo", ""},
        {nullptr, Fault::None, {"preset", "x"}, 2, "getPresetInfo", ""},
        {nullptr, Fault::WrongTypes, {"status"}, 0, nullptr, R"({"muted":null,"nowPlaying":null,"playing":null,"volume":null})"},
        {"ip=%1\nmaxVolume=60\n", Fault::None, {"volume", "250"}, 0, "setPlayerCmd:vol:60", "volume 60"},
        {noDevice, Fault::None, {"status"}, 1, nullptr, ""},
        {noDevice, Fault::None, {"next"}, 1, nullptr, ""},
        {noDevice, Fault::Reset, {"status", "--device", "%1"}, 1, nullptr, ""},
        {noDevice, Fault::Reset, {"volume", "up", "--device", "%1"}, 1, nullptr, ""},
        {noDevice, Fault::None, {}, 2, nullptr, ""},
        {noDevice, Fault::None, {"launch"}, 2, nullptr, ""},
        {noDevice, Fault::None, {"volume"}, 2, nullptr, ""},
        {noDevice, Fault::None, {"volume", "loud"}, 2, nullptr, ""},
        {noDevice, Fault::None, {"next", "now"}, 2, nullptr, ""},
        {noDevice, Fault::None, {"status", "--device"}, 2, nullptr, ""},
        {noDevice, Fault::None, {"status", "--device", "10.0.0.1/x"}, 2, nullptr, ""},
    };
    // clang-format on
    for (const Case &c : cases) {
        QStringList args = c.args;
        args.replaceInStrings(QStringLiteral("%1"), sim->address());
        SCOPED_TRACE(args.join(u' ').toStdString());
        if (c.settings)
            ASSERT_NO_FATAL_FAILURE(saveSettings(QString::fromUtf8(c.settings)));
        sim->setFault(c.fault);
        QProcess &ctl = launch(QStringLiteral("knoblyctl"), args);
        ASSERT_TRUE(ctl.waitForFinished(30000));
        const QString out = QString::fromUtf8(ctl.readAll());
        EXPECT_EQ(ctl.exitStatus() == QProcess::NormalExit ? ctl.exitCode() : -1, c.exitCode)
            << out.toStdString();
        EXPECT_TRUE(out.contains(QString::fromUtf8(c.out)) && (c.exitCode == 0 || !out.isEmpty()))
            << out.toStdString();
        if (c.last)
            EXPECT_EQ(sim->commands().back(), QLatin1String(c.last));
    }
}

TEST_F(Display, TheTapTakesEachMediaKeyUntilDisabled) {
    ASSERT_TRUE(tap->enable(record()));
    EXPECT_EQ(tap->lastRefusal(), KeyTap::Refusal::none);
    for (const auto &key : kKeys) {
        SCOPED_TRACE(key.name);
        for (auto code : other.keycodes(key.keysym))
            EXPECT_EQ(other.grab(code, 0), XCB_ACCESS);
        seen.clear();
        EXPECT_EQ(typeThenA(key.name).size(), 2u) << "the key leaked";
        EXPECT_TRUE(pumpUntil([&] { return seen.size() >= 2; }));
        EXPECT_EQ(seen, (std::vector<KeyEvent>{{key.key, true}, {key.key, false}}));
    }
    tap->disable();
    tap->disable(); // twice is fine
    seen.clear();
    EXPECT_EQ(typeThenA(kKeys[0].name).size(), 4u) << "the key was not given back";
    QCoreApplication::processEvents();
    EXPECT_TRUE(seen.empty());
    for (const auto &key : kKeys)
        for (auto code : other.keycodes(key.keysym))
            EXPECT_EQ(other.grab(code, XCB_MOD_MASK_ANY), 0) << key.name;
}

TEST_F(Display, LockModifiersAndShiftDoNotLetKeysThrough) {
    struct Case {
        const char *name;
        QStringList locks;
        bool shift; // held with the key: a fine step
        std::uint16_t mask;
    };
    const Case cases[] = {
        {"NumLock", {"Num_Lock"}, false, XCB_MOD_MASK_2},
        {"CapsLock", {"Caps_Lock"}, false, XCB_MOD_MASK_LOCK},
        {"both", {"Num_Lock", "Caps_Lock"}, false, XCB_MOD_MASK_2 | XCB_MOD_MASK_LOCK},
        {"Shift", {}, true, 0},
        {"Shift and NumLock", {"Num_Lock"}, true, XCB_MOD_MASK_2},
    };
    ASSERT_TRUE(tap->enable(record()));
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        seen.clear();
        for (const auto &k : c.locks)
            ASSERT_TRUE(run(QStringLiteral("xdotool"), {QStringLiteral("key"), k}));
        const auto keys = typeThenA((c.shift ? QStringLiteral("shift+") : QString()) +
                                    QLatin1String(kKeys[0].name));
        for (const auto &k : c.locks) // back first, so a failure leaves the next case clean
            ASSERT_TRUE(run(QStringLiteral("xdotool"), {QStringLiteral("key"), k}));
        ASSERT_GE(keys.size(), 2u);
        EXPECT_EQ(keys[keys.size() - 2].state & c.mask, c.mask) << "the lock was not on";
        for (const auto &k : keys)
            EXPECT_NE(k.keycode, raise) << "the media key leaked";
        EXPECT_TRUE(pumpUntil([&] { return seen.size() >= 2; }));
        EXPECT_EQ(seen, (std::vector<KeyEvent>{{Key::volumeUp, true, false, c.shift},
                                               {Key::volumeUp, false, false, c.shift}}));
    }
}

TEST_F(Display, AKeyHeldElsewhereRefusesAllAndKeepsNothing) {
    for (auto code : other.keycodes(kPlay))
        ASSERT_EQ(other.grab(code, 0), 0);
    EXPECT_FALSE(tap->enable(record()));
    EXPECT_EQ(tap->lastRefusal(), KeyTap::Refusal::keysTaken);
    // Nothing of ours is left: AnyModifier collides with any grab of the same key.
    for (const auto &key : kKeys)
        for (auto code :
             key.keysym == kPlay ? std::vector<xcb_keycode_t>{} : other.keycodes(key.keysym))
            EXPECT_EQ(other.grab(code, XCB_MOD_MASK_ANY), 0) << key.name;
}

TEST_F(Display, ARepeatIsAPressAfterAReleaseAtTheSameTime) {
    ASSERT_TRUE(tap->enable(record()));
    // Fed straight to the application's filters, as Qt feeds what the server sends.
    const auto feed = [&](std::uint8_t type, xcb_timestamp_t time, xcb_window_t window = 0) {
        xcb_key_press_event_t e{};
        e.response_type = type;
        e.detail = other.keycode(kKeys[2].keysym);
        e.time = time;
        e.root = other.root();
        e.event = window ? window : other.root();
        qintptr result = 0;
        seen.clear();
        return QAbstractEventDispatcher::instance()->filterNativeEvent("xcb_generic_event_t", &e,
                                                                       &result);
    };
    const struct {
        std::uint8_t type;
        xcb_timestamp_t time;
        bool repeat;
    } steps[] = {{XCB_KEY_PRESS, 100, false}, {XCB_KEY_RELEASE, 200, false},
                 {XCB_KEY_PRESS, 200, true},  {XCB_KEY_RELEASE, 233, false},
                 {XCB_KEY_PRESS, 233, true},  {XCB_KEY_RELEASE, 300, false},
                 {XCB_KEY_PRESS, 301, false}};
    for (const auto &s : steps) {
        EXPECT_TRUE(feed(s.type, s.time)) << s.time;
        EXPECT_EQ(seen, (std::vector<KeyEvent>{{Key::mute, s.type == XCB_KEY_PRESS, s.repeat}}))
            << s.time;
    }
    EXPECT_FALSE(feed(XCB_KEY_PRESS, 400, other.root() + 1)) << "not from our grab: not ours";
    EXPECT_TRUE(seen.empty());
    drop = false;
    EXPECT_FALSE(feed(XCB_KEY_PRESS, 500)) << "passed on by the handler: Qt gets it";
    EXPECT_EQ(seen.size(), 1u);
}

// Counts the mapping changes Qt has handled; installed before the tap's filter, it runs after
// it, so it sees a change once the tap has regrabbed for it.
class MappingCount : public QAbstractNativeEventFilter {
public:
    MappingCount() { qGuiApp->installNativeEventFilter(this); }
    ~MappingCount() override { qGuiApp->removeNativeEventFilter(this); }
    int changes = 0;
    bool nativeEventFilter(const QByteArray &type, void *message, qintptr *) override {
        changes += type == "xcb_generic_event_t" &&
                   (static_cast<xcb_generic_event_t *>(message)->response_type & ~0x80) ==
                       XCB_MAPPING_NOTIFY;
        return false;
    }
};

// Last: it leaves the keymap changed.
TEST_F(Display, AfterAKeymapChangeTheTapFollowsAndKeepsWhatItCanHave) {
    MappingCount mappings;
    ASSERT_TRUE(tap->enable(record()));
    const auto remap = [&](xcb_keycode_t keycode, const char *keysym) {
        const int before = mappings.changes;
        return run(QStringLiteral("xmodmap"),
                   {QStringLiteral("-e"), QStringLiteral("keycode %1 = %2")
                                              .arg(keycode)
                                              .arg(QString::fromLatin1(keysym))}) &&
               pumpUntil([&] { return mappings.changes > before; });
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
    EXPECT_TRUE(pumpUntil([&] { return !seen.empty(); }));
    EXPECT_EQ(seen.front(), (KeyEvent{Key::volumeUp, true}));
    for (auto code : ours)
        EXPECT_EQ(other.grab(code, 0), XCB_ACCESS) << "keycode " << int(code) << " was let go";
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
    ::setenv("QT_QPA_PLATFORM", "xcb", 1); // before the application: it picks the plugin
    QGuiApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
