// knobly as a process taking the media keys on a private Xvfb display: keys typed with
// xdotool (XTEST, so they take the server's normal path through knobly's grabs) reach the
// simulated device and nobody else; a second X client plays the other program on the desktop.
// The private session bus carries a stand-in panel watcher and the menu; the network namespace
// has nothing but loopback, for the discovery knobly starts at launch.
#include "DeviceSimulator.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QNetworkInterface>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>
#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>

#include <poll.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <vector>

using devicesim::DeviceSimulator;

namespace {

const QString kWatcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString kMenuInterface = QStringLiteral("com.canonical.dbusmenu");
const QString kMenuPath = QStringLiteral("/MenuBar");
const QString kCapture = QStringLiteral("Capture Media Keys");

constexpr xcb_keysym_t kRaiseVolume = 0x1008FF13;
constexpr xcb_keysym_t kPlay = 0x1008FF14;
constexpr xcb_keysym_t kLetterA = 0x61;
constexpr int kWaitMs = 15000;

// Runs the loop until `done`; the guard only keeps a broken test from hanging. The tick
// wakes the loop for conditions no event announces (a file, the simulator's log).
bool pumpUntil(const std::function<bool()> &done, int guardMs = kWaitMs) {
    bool expired = false;
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [&] { expired = true; });
    guard.start(guardMs);
    QTimer tick;
    tick.start(20);
    while (!done() && !expired)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    return done();
}

// ---------------------------------------------------------------------------------------------
// Bus

int connectionCounter = 0;

class Connection {
public:
    explicit Connection(const QString &role)
        : name_(QStringLiteral("%1-%2").arg(role).arg(++connectionCounter)),
          bus_(QDBusConnection::connectToBus(QDBusConnection::SessionBus, name_)) {}
    ~Connection() {
        bus_.reset();
        QDBusConnection::disconnectFromBus(name_);
    }
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    QDBusConnection &bus() { return *bus_; }

    // Never blocks the loop: the watcher knobly talks to lives on this very thread.
    QDBusMessage call(const QString &service, const QString &path, const QString &interface,
                      const QString &method, const QVariantList &args = {}) {
        QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
        message.setArguments(args);
        QDBusPendingCallWatcher watcher(bus_->asyncCall(message));
        if (!pumpUntil([&] { return watcher.isFinished(); }))
            return QDBusMessage::createError(QStringLiteral("test.Timeout"), method);
        return watcher.reply();
    }

private:
    QString name_;
    std::optional<QDBusConnection> bus_;
};

// The panel's watcher: it learns the item's bus name from the registration.
class FakeWatcher : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
public:
    FakeWatcher() : connection_(std::make_unique<Connection>(QStringLiteral("watcher"))) {
        auto &bus = connection_->bus();
        running = bus.registerObject(QStringLiteral("/StatusNotifierWatcher"), this,
                                     QDBusConnection::ExportScriptableSlots) &&
                  bus.registerService(kWatcherService);
    }

    bool running = false;
    QStringList registered;

public Q_SLOTS:
    Q_SCRIPTABLE void RegisterStatusNotifierItem(const QString &service) { registered << service; }
    Q_SCRIPTABLE void RegisterStatusNotifierHost(const QString &) {}

private:
    std::unique_ptr<Connection> connection_;
};

// dbusmenu layout, read by hand: (ia{sv}av), children wrapped in variants.
struct Row {
    int id = -1;
    QVariantMap properties;
    QList<Row> children;

    QString label() const { return properties.value(QStringLiteral("label")).toString(); }
    int toggleState() const { return properties.value(QStringLiteral("toggle-state"), -1).toInt(); }
    const Row *find(const QString &text) const {
        if (label() == text)
            return this;
        for (const Row &child : children)
            if (const Row *found = child.find(text))
                return found;
        return nullptr;
    }
};

Row readRow(const QDBusArgument &arg) {
    Row row;
    arg.beginStructure();
    arg >> row.id >> row.properties;
    arg.beginArray();
    while (!arg.atEnd()) {
        QDBusVariant child;
        arg >> child;
        row.children << readRow(child.variant().value<QDBusArgument>());
    }
    arg.endArray();
    arg.endStructure();
    return row;
}

// ---------------------------------------------------------------------------------------------
// X

template <typename T> struct Freed {
    void operator()(T *p) const { std::free(p); }
};
template <typename T> using XcbPtr = std::unique_ptr<T, Freed<T>>;

bool xdotool(const QStringList &args) {
    return QProcess::execute(QStringLiteral("xdotool"), args) == 0;
}

// Another program on the same display, on a connection of its own.
class OtherClient {
public:
    OtherClient() {
        c_ = xcb_connect(nullptr, nullptr);
        if (xcb_connection_has_error(c_))
            return;
        root_ = xcb_setup_roots_iterator(xcb_get_setup(c_)).data->root;
        symbols_ = xcb_key_symbols_alloc(c_);
    }
    ~OtherClient() {
        if (symbols_)
            xcb_key_symbols_free(symbols_);
        xcb_disconnect(c_);
    }
    OtherClient(const OtherClient &) = delete;
    OtherClient &operator=(const OtherClient &) = delete;

    bool ok() const { return !xcb_connection_has_error(c_) && symbols_; }

    std::vector<xcb_keycode_t> keycodes(xcb_keysym_t keysym) const {
        std::vector<xcb_keycode_t> out;
        XcbPtr<xcb_keycode_t> codes(xcb_key_symbols_get_keycode(symbols_, keysym));
        for (auto *k = codes.get(); k && *k != XCB_NO_SYMBOL; ++k)
            out.push_back(*k);
        return out;
    }
    xcb_keycode_t keycode(xcb_keysym_t keysym) const {
        const auto codes = keycodes(keysym);
        return codes.empty() ? 0 : codes.front();
    }

    // A mapped window of ours: keys nobody grabs come here once it has the focus.
    bool mapWindow() {
        window_ = xcb_generate_id(c_);
        const std::uint32_t mask =
            XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_KEY_RELEASE | XCB_EVENT_MASK_STRUCTURE_NOTIFY;
        xcb_create_window(c_, XCB_COPY_FROM_PARENT, window_, root_, 0, 0, 100, 100, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK,
                          &mask);
        xcb_map_window(c_, window_);
        xcb_flush(c_);
        return nextEvent([](const xcb_generic_event_t *e) {
            return (e->response_type & ~0x80) == XCB_MAP_NOTIFY;
        });
    }
    // Taken again before typing: knobly's own windows (the overlay) may have been shown.
    bool takeFocus() {
        XcbPtr<xcb_generic_error_t> error(
            xcb_request_check(c_, xcb_set_input_focus_checked(c_, XCB_INPUT_FOCUS_POINTER_ROOT,
                                                              window_, XCB_CURRENT_TIME)));
        return !error;
    }

    // 0 when the grab was had, else the X error code.
    int grab(xcb_keycode_t keycode, std::uint16_t modifiers) {
        XcbPtr<xcb_generic_error_t> error(
            xcb_request_check(c_, xcb_grab_key_checked(c_, 0, root_, modifiers, keycode,
                                                       XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC)));
        return error ? error->error_code : 0;
    }

    struct Key {
        bool press;
        xcb_keycode_t keycode;
        std::uint16_t state;
    };
    // Key events that reach our window, up to and including the release of `last`.
    std::optional<std::vector<Key>> keysUntilReleaseOf(xcb_keycode_t last) {
        std::vector<Key> keys;
        const bool seen = nextEvent([&](const xcb_generic_event_t *e) {
            const auto type = e->response_type & ~0x80;
            if (type != XCB_KEY_PRESS && type != XCB_KEY_RELEASE)
                return false;
            const auto *k = reinterpret_cast<const xcb_key_press_event_t *>(e);
            keys.push_back({type == XCB_KEY_PRESS, k->detail, k->state});
            return type == XCB_KEY_RELEASE && k->detail == last;
        });
        if (!seen)
            return std::nullopt;
        return keys;
    }

private:
    bool nextEvent(const std::function<bool(const xcb_generic_event_t *)> &wanted) {
        QElapsedTimer clock;
        clock.start();
        while (!xcb_connection_has_error(c_)) {
            while (XcbPtr<xcb_generic_event_t> e{xcb_poll_for_event(c_)})
                if (wanted(e.get()))
                    return true;
            const auto left = 5000 - clock.elapsed();
            if (left <= 0)
                return false;
            pollfd fd{xcb_get_file_descriptor(c_), POLLIN, 0};
            ::poll(&fd, 1, static_cast<int>(left));
        }
        return false;
    }

    xcb_connection_t *c_ = nullptr;
    xcb_window_t root_ = 0;
    xcb_window_t window_ = 0;
    xcb_key_symbols_t *symbols_ = nullptr;
};

// ---------------------------------------------------------------------------------------------
// Fixture

class MediaKeysProgram : public ::testing::Test {
protected:
    void SetUp() override {
        if (!qEnvironmentVariableIsSet("KNOBLY_PRIVATE_SESSION_BUS"))
            GTEST_SKIP() << "needs a private session bus: run through with-session-bus.sh";
        if (!qEnvironmentVariableIsSet("KNOBLY_PRIVATE_NETNS"))
            GTEST_SKIP() << "needs a network namespace of its own: run through "
                            "in-private-netns.sh (as root)";
        for (const QNetworkInterface &i : QNetworkInterface::allInterfaces())
            if (!i.flags().testFlag(QNetworkInterface::IsLoopBack))
                GTEST_SKIP() << "interface " << i.name().toStdString() << " is here too";
        if (QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty())
            GTEST_SKIP() << "xdotool is not installed";

        ASSERT_TRUE(config.isValid() && runtime.isValid() && scratch.isValid());
        DeviceSimulator::Options options;
        options.name = QStringLiteral("Kitchen");
        sim = std::make_unique<DeviceSimulator>(options);
        QString error;
        ASSERT_TRUE(sim->start(&error)) << error.toStdString();
        sim->setVolume(35);

        ASSERT_TRUE(QDir(config.path()).mkpath(QStringLiteral("Knobly")));
        QFile file(settingsPath());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QStringLiteral("[General]\nip=%1\ndevice=Kitchen\nstep=5\nkeys=true\n")
                       .arg(sim->address())
                       .toUtf8());
        file.close();

        host = std::make_unique<Connection>(QStringLiteral("host"));
        ASSERT_TRUE(host->bus().isConnected());
        watcher = std::make_unique<FakeWatcher>();
        ASSERT_TRUE(watcher->running);

        ASSERT_TRUE(other.ok());
        ASSERT_TRUE(other.mapWindow());
        ASSERT_TRUE(other.takeFocus());
        raise = other.keycode(kRaiseVolume);
        letterA = other.keycode(kLetterA);
        ASSERT_NE(raise, 0);
        ASSERT_NE(letterA, 0);
    }

    void TearDown() override {
        if (knobly && knobly->state() != QProcess::NotRunning) {
            ::kill(static_cast<pid_t>(knobly->processId()), SIGTERM);
            const bool ended = pumpUntil([&] { return knobly->state() == QProcess::NotRunning; });
            if (!ended) {
                knobly->kill();
                knobly->waitForFinished(5000);
            }
            EXPECT_TRUE(ended) << "SIGTERM did not end knobly";
            EXPECT_EQ(knobly->exitStatus(), QProcess::NormalExit);
            EXPECT_EQ(knobly->exitCode(), 0);
        }
        if (HasFailure() && knobly)
            std::cerr << "--- knobly said:\n" << knobly->readAll().toStdString() << "---\n";
        watcher.reset();
        host.reset();
        if (sim)
            sim->stop();
    }

    QString settingsPath() const { return config.filePath(QStringLiteral("Knobly/Knobly.conf")); }
    QVariant savedKeys() const {
        return QSettings(settingsPath(), QSettings::IniFormat).value(QStringLiteral("keys"));
    }

    // Starts knobly on the Xvfb display and waits for its item; the item's bus name.
    QString startKnobly() {
        knobly = std::make_unique<QProcess>();
        knobly->setProgram(QStringLiteral(KNOBLY_BIN_DIR "/knobly"));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), config.path());
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
        env.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"),
                   QStringLiteral("unix:path=") + scratch.filePath(QStringLiteral("no-bus")));
        env.remove(QStringLiteral("XDG_CURRENT_DESKTOP"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        knobly->setProcessEnvironment(env);
        knobly->setProcessChannelMode(QProcess::MergedChannels);
        knobly->start();
        if (!knobly->waitForStarted())
            return {};
        if (!pumpUntil([&] { return !watcher->registered.isEmpty(); }))
            return {};
        return watcher->registered.constFirst();
    }

    std::optional<Row> layout(const QString &service) {
        const QDBusMessage reply = host->call(service, kMenuPath, kMenuInterface,
                                              QStringLiteral("GetLayout"), {0, -1, QStringList()});
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 2)
            return std::nullopt;
        return readRow(reply.arguments().at(1).value<QDBusArgument>());
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

    // Sent without waiting for the answer: the click may open a modal prompt first.
    bool click(const QString &service, int id) {
        QDBusMessage message = QDBusMessage::createMethodCall(service, kMenuPath, kMenuInterface,
                                                              QStringLiteral("Event"));
        message.setArguments(
            {id, QStringLiteral("clicked"), QVariant::fromValue(QDBusVariant(QString())), 0u});
        return host->bus().send(message);
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

    QTemporaryDir config;
    QTemporaryDir runtime;
    QTemporaryDir scratch;
    std::unique_ptr<DeviceSimulator> sim;
    std::unique_ptr<Connection> host;
    std::unique_ptr<FakeWatcher> watcher;
    std::unique_ptr<QProcess> knobly;
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

    ASSERT_TRUE(click(service, capture->id));
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
    ASSERT_TRUE(click(service, capture->id));
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

#include "MediaKeysProgramTest.moc"
