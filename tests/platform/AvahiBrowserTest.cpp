// The avahi backend: the poll adapter on the Qt loop, and the browser with no bus, with a bus
// but no avahi, and with a stand-in avahi on a private bus of our own. No real avahi-daemon
// and no network traffic: the stand-in only talks D-Bus over a unix socket.
#include "AvahiQtPoll.h"
#include "BonjourBrowser.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using namespace knobly;

// libdbus takes its global locks and a connection's lock in an order of its own; two
// connections in one process (avahi-client's and the stand-in daemon's below) are enough for
// ThreadSanitizer to draw the cycle. Nothing of ours is in it.
extern "C" const char *__tsan_default_suppressions() {
    return "deadlock:libdbus-1.so.3\n";
}

namespace {

// ---------------------------------------------------------------------------------------------
// Event loop

// Runs the loop until `done`; the guard only keeps a broken test from hanging.
bool pumpUntil(const std::function<bool()> &done, int guardMs = 10000) {
    bool expired = false;
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [&] { expired = true; });
    guard.start(guardMs);
    while (!done() && !expired)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    return done();
}

// Turns the loop without waiting: enough for whatever is already due.
void turnLoop(int turns = 20) {
    for (int i = 0; i < turns; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents);
}

bool onMainThread() {
    return QThread::currentThread() == QCoreApplication::instance()->thread();
}

// ---------------------------------------------------------------------------------------------
// The poll adapter

struct Pipe {
    int readEnd = -1;
    int writeEnd = -1;
    Pipe() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
            readEnd = fds[0];
            writeEnd = fds[1];
        }
    }
    ~Pipe() {
        closeRead();
        closeWrite();
    }
    Pipe(const Pipe &) = delete;
    Pipe &operator=(const Pipe &) = delete;
    void put() {
        const char byte = 'x';
        [[maybe_unused]] const auto n = ::write(writeEnd, &byte, 1);
    }
    void closeRead() {
        if (readEnd >= 0)
            ::close(readEnd);
        readEnd = -1;
    }
    void closeWrite() {
        if (writeEnd >= 0)
            ::close(writeEnd);
        writeEnd = -1;
    }
};

timeval secondsFromNow(double seconds) {
    timeval now{};
    ::gettimeofday(&now, nullptr);
    const long long us = static_cast<long long>(now.tv_sec) * 1000000 + now.tv_usec +
                         static_cast<long long>(seconds * 1e6);
    return timeval{static_cast<time_t>(us / 1000000), static_cast<suseconds_t>(us % 1000000)};
}

struct WatchLog {
    explicit WatchLog(const AvahiPoll *poll) : api(poll) {}
    const AvahiPoll *api;
    int calls = 0;
    int last = 0;
    int fromGetEvents = 0;
    bool allOnMainThread = true;
    std::function<void(AvahiWatch *)> then;
};

void recordWatch(AvahiWatch *w, int, AvahiWatchEvent event, void *userdata) {
    auto *log = static_cast<WatchLog *>(userdata);
    ++log->calls;
    log->last = event;
    log->fromGetEvents = log->api->watch_get_events(w);
    log->allOnMainThread = log->allOnMainThread && onMainThread();
    if (log->then)
        log->then(w);
}

struct TimeoutLog {
    int calls = 0;
    std::function<void(AvahiTimeout *)> then;
};

void recordTimeout(AvahiTimeout *t, void *userdata) {
    auto *log = static_cast<TimeoutLog *>(userdata);
    ++log->calls;
    if (log->then)
        log->then(t);
}

TEST(AvahiQtPoll, WatchReportsWhatHappenedOnTheMainThread) {
    struct Case {
        const char *name;
        AvahiWatchEvent asked;
        bool watchWriteEnd;
        void (*prepare)(Pipe &);
        int expected;
    };
    const Case cases[] = {
        {"data waiting", AVAHI_WATCH_IN, false, [](Pipe &p) { p.put(); }, AVAHI_WATCH_IN},
        {"room to write", AVAHI_WATCH_OUT, true, [](Pipe &) {}, AVAHI_WATCH_OUT},
        {"writer gone", AVAHI_WATCH_IN, false, [](Pipe &p) { p.closeWrite(); }, AVAHI_WATCH_HUP},
        {"reader gone", AVAHI_WATCH_OUT, true, [](Pipe &p) { p.closeRead(); },
         AVAHI_WATCH_OUT | AVAHI_WATCH_ERR},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        AvahiQtPoll poll;
        const AvahiPoll *api = poll.poll();
        Pipe pipe;
        const int fd = c.watchWriteEnd ? pipe.writeEnd : pipe.readEnd;
        c.prepare(pipe);
        WatchLog log{api};
        AvahiWatch *w = api->watch_new(api, fd, c.asked, recordWatch, &log);
        EXPECT_EQ(log.calls, 0) << "never from inside watch_new";
        ASSERT_TRUE(pumpUntil([&] { return log.calls > 0; }));
        EXPECT_EQ(log.last, c.expected);
        EXPECT_EQ(log.fromGetEvents, c.expected);
        EXPECT_TRUE(log.allOnMainThread);
        api->watch_free(w);
    }
}

TEST(AvahiQtPoll, WatchAskingForNothingStaysQuietUntilAskedAgain) {
    AvahiQtPoll poll;
    const AvahiPoll *api = poll.poll();
    Pipe pipe;
    pipe.put();
    WatchLog log{api};
    AvahiWatch *w = api->watch_new(api, pipe.readEnd, AVAHI_WATCH_IN, recordWatch, &log);
    ASSERT_TRUE(pumpUntil([&] { return log.calls > 0; }));

    api->watch_update(w, AvahiWatchEvent(0));
    const int before = log.calls;
    turnLoop();
    EXPECT_EQ(log.calls, before) << "the pipe is still readable, but nobody asks";

    api->watch_update(w, AVAHI_WATCH_IN);
    EXPECT_TRUE(pumpUntil([&] { return log.calls > before; }));
    api->watch_free(w);
}

TEST(AvahiQtPoll, WatchMayFreeItselfInItsCallback) {
    AvahiQtPoll poll;
    const AvahiPoll *api = poll.poll();
    Pipe pipe;
    pipe.put();
    WatchLog log{api};
    log.then = [&](AvahiWatch *w) { api->watch_free(w); };
    api->watch_new(api, pipe.readEnd, AVAHI_WATCH_IN, recordWatch, &log);
    ASSERT_TRUE(pumpUntil([&] { return log.calls > 0; }));
    turnLoop();
    EXPECT_EQ(log.calls, 1) << "the data is still there, but the watch is gone";
}

TEST(AvahiQtPoll, WatchMayBeReplacedFromItsCallback) {
    AvahiQtPoll poll;
    const AvahiPoll *api = poll.poll();
    Pipe pipe;
    pipe.put();
    WatchLog first{api};
    WatchLog second{api};
    AvahiWatch *replacement = nullptr;
    first.then = [&](AvahiWatch *w) {
        api->watch_free(w);
        replacement = api->watch_new(api, pipe.readEnd, AVAHI_WATCH_IN, recordWatch, &second);
    };
    api->watch_new(api, pipe.readEnd, AVAHI_WATCH_IN, recordWatch, &first);
    ASSERT_TRUE(pumpUntil([&] { return second.calls > 0; }));
    EXPECT_EQ(first.calls, 1);
    EXPECT_EQ(second.last, AVAHI_WATCH_IN);
    api->watch_free(replacement);
}

TEST(AvahiQtPoll, TimeoutFiresOnceWhenDueAndNotBefore) {
    struct Case {
        const char *name;
        double fromNow;
        bool fires;
    };
    const Case cases[] = {
        {"due now", 0, true},
        {"overdue", -30, true},
        {"an hour away", 3600, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        AvahiQtPoll poll;
        const AvahiPoll *api = poll.poll();
        TimeoutLog log;
        const timeval when = secondsFromNow(c.fromNow);
        AvahiTimeout *t = api->timeout_new(api, &when, recordTimeout, &log);
        EXPECT_EQ(log.calls, 0) << "never from inside timeout_new";
        if (c.fires) {
            EXPECT_TRUE(pumpUntil([&] { return log.calls > 0; }));
        }
        turnLoop();
        EXPECT_EQ(log.calls, c.fires ? 1 : 0);
        api->timeout_free(t);
    }
}

TEST(AvahiQtPoll, NullTimeMeansDisabled) {
    struct Case {
        const char *name;
        bool armedAtFirst;
    };
    const Case cases[] = {{"made without a time", false}, {"disarmed after", true}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        AvahiQtPoll poll;
        const AvahiPoll *api = poll.poll();
        TimeoutLog log;
        const timeval now = secondsFromNow(0);
        AvahiTimeout *t =
            api->timeout_new(api, c.armedAtFirst ? &now : nullptr, recordTimeout, &log);
        if (c.armedAtFirst)
            api->timeout_update(t, nullptr);
        turnLoop();
        EXPECT_EQ(log.calls, 0);

        api->timeout_update(t, &now);
        EXPECT_TRUE(pumpUntil([&] { return log.calls > 0; }));
        api->timeout_free(t);
    }
}

TEST(AvahiQtPoll, TimeoutMayRearmAndFreeItselfInItsCallback) {
    AvahiQtPoll poll;
    const AvahiPoll *api = poll.poll();
    TimeoutLog log;
    log.then = [&](AvahiTimeout *t) {
        if (log.calls == 1) {
            const timeval now = secondsFromNow(0);
            api->timeout_update(t, &now);
        } else {
            api->timeout_free(t);
        }
    };
    const timeval now = secondsFromNow(0);
    api->timeout_new(api, &now, recordTimeout, &log);
    ASSERT_TRUE(pumpUntil([&] { return log.calls == 2; }));
    turnLoop();
    EXPECT_EQ(log.calls, 2);
}

TEST(AvahiQtPoll, FreedTimeoutNeverFires) {
    AvahiQtPoll poll;
    const AvahiPoll *api = poll.poll();
    TimeoutLog log;
    const timeval now = secondsFromNow(0);
    api->timeout_free(api->timeout_new(api, &now, recordTimeout, &log));
    turnLoop();
    EXPECT_EQ(log.calls, 0);
}

// ---------------------------------------------------------------------------------------------
// Output: the browser must not alarm anyone when avahi is missing or comes and goes.

class OutputCapture {
public:
    OutputCapture() {
        messages().clear();
        previousHandler_ = qInstallMessageHandler(&OutputCapture::handle);
        std::fflush(stderr);
        file_ = std::tmpfile();
        savedStderr_ = ::dup(2);
        if (file_)
            ::dup2(::fileno(file_), 2);
    }
    ~OutputCapture() { finish(); }
    OutputCapture(const OutputCapture &) = delete;
    OutputCapture &operator=(const OutputCapture &) = delete;

    // What went to stderr around Qt's logging (libraries printing on their own).
    std::string finish() {
        if (savedStderr_ < 0)
            return stderrText_;
        std::fflush(stderr);
        ::dup2(savedStderr_, 2);
        ::close(savedStderr_);
        savedStderr_ = -1;
        qInstallMessageHandler(previousHandler_);
        if (file_) {
            std::rewind(file_);
            char buffer[512];
            std::size_t n;
            while ((n = std::fread(buffer, 1, sizeof buffer, file_)) > 0)
                stderrText_.append(buffer, n);
            std::fclose(file_);
            file_ = nullptr;
        }
        return stderrText_;
    }

    static int count(QtMsgType type) {
        int n = 0;
        for (const auto &m : messages())
            n += m.first == type;
        return n;
    }

private:
    static std::vector<std::pair<QtMsgType, QString>> &messages() {
        static std::vector<std::pair<QtMsgType, QString>> all;
        return all;
    }
    static void handle(QtMsgType type, const QMessageLogContext &, const QString &text) {
        messages().emplace_back(type, text);
    }

    QtMessageHandler previousHandler_ = nullptr;
    std::FILE *file_ = nullptr;
    int savedStderr_ = -1;
    std::string stderrText_;
};

void expectNothingAlarming(OutputCapture &output) {
    EXPECT_EQ(output.finish(), "");
    EXPECT_EQ(OutputCapture::count(QtWarningMsg), 0);
    EXPECT_EQ(OutputCapture::count(QtCriticalMsg), 0);
    EXPECT_LE(OutputCapture::count(QtDebugMsg), 1);
}

// ---------------------------------------------------------------------------------------------
// The system bus this process uses. libdbus reads the address once per process, so every
// test agrees on one place; nothing listens there unless a test starts a bus.

QString busDirectory() {
    return QDir::tempPath() + QStringLiteral("/knobly-avahi-test-%1").arg(::getpid());
}

QString busSocket() {
    return busDirectory() + QStringLiteral("/system_bus_socket");
}

void useTestSystemBus() {
    static const bool set = [] {
        const QByteArray address = "unix:path=" + busSocket().toLocal8Bit();
        return ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address.constData(), 1) == 0;
    }();
    ASSERT_TRUE(set);
}

struct Found {
    std::vector<std::shared_ptr<BonjourService>> services;
    std::vector<bool> moreComing;
    BonjourBrowser::Found callback() {
        return [this](std::shared_ptr<BonjourService> service, bool more) {
            EXPECT_TRUE(onMainThread());
            services.push_back(std::move(service));
            moreComing.push_back(more);
        };
    }
};

class AvahiBrowserWithoutBus : public ::testing::Test {
protected:
    void SetUp() override {
        useTestSystemBus();
        ASSERT_FALSE(QFile::exists(busSocket()));
    }
};

TEST_F(AvahiBrowserWithoutBus, SearchFindsNothingAndSaysNothingAlarming) {
    OutputCapture output;
    Found found;
    auto browser = BonjourBrowser::create();
    browser->searchForServices(QStringLiteral("_airplay._tcp."), QStringLiteral("local."),
                               found.callback());
    turnLoop();
    browser->stop();
    browser->stop();
    turnLoop();
    browser.reset();
    turnLoop();
    EXPECT_TRUE(found.services.empty());
    expectNothingAlarming(output);
}

TEST_F(AvahiBrowserWithoutBus, BrowsersComeAndGoWhileTheClientWaits) {
    OutputCapture output;
    Found found;
    // Never searched.
    BonjourBrowser::create().reset();
    // Destroyed while searching, without stop().
    auto searching = BonjourBrowser::create();
    searching->searchForServices(QStringLiteral("_airplay._tcp."), QStringLiteral("local."),
                                 found.callback());
    searching.reset();
    // Searching again replaces the first search.
    auto twice = BonjourBrowser::create();
    twice->searchForServices(QStringLiteral("_airplay._tcp."), QStringLiteral("local."),
                             found.callback());
    twice->searchForServices(QStringLiteral("_googlecast._tcp."), QStringLiteral("local."),
                             found.callback());
    turnLoop();
    twice.reset();
    turnLoop();
    EXPECT_TRUE(found.services.empty());
    expectNothingAlarming(output);
}

// ---------------------------------------------------------------------------------------------
// libdbus, loaded at run time: the stand-in avahi needs a D-Bus connection of its own, and
// avahi-client has already brought the library into the process.

namespace dbus {

struct Connection;
struct Message;
// Laid out as libdbus's public DBusError.
struct Error {
    const char *name;
    const char *message;
    unsigned int dummy1 : 1;
    unsigned int dummy2 : 1;
    unsigned int dummy3 : 1;
    unsigned int dummy4 : 1;
    unsigned int dummy5 : 1;
    void *padding1;
};
// Room for libdbus's public DBusMessageIter, which is smaller.
struct Iter {
    alignas(void *) unsigned char opaque[128];
};
using Bool = uint32_t;
enum HandlerResult { kHandled = 0, kNotYetHandled = 1 };
using Filter = HandlerResult (*)(Connection *, Message *, void *);

constexpr int kInvalid = 0;
constexpr int kByte = 'y';
constexpr int kUint16 = 'q';
constexpr int kInt32 = 'i';
constexpr int kUint32 = 'u';
constexpr int kString = 's';
constexpr int kObjectPath = 'o';
constexpr int kArray = 'a';
constexpr int kMethodCall = 1;

struct Api {
    void (*error_init)(Error *);
    void (*error_free)(Error *);
    Connection *(*connection_open_private)(const char *, Error *);
    Bool (*bus_register)(Connection *, Error *);
    const char *(*bus_get_unique_name)(Connection *);
    int (*bus_request_name)(Connection *, const char *, unsigned, Error *);
    int (*bus_release_name)(Connection *, const char *, Error *);
    Bool (*connection_read_write_dispatch)(Connection *, int);
    Bool (*connection_add_filter)(Connection *, Filter, void *, void (*)(void *));
    Bool (*connection_send)(Connection *, Message *, uint32_t *);
    void (*connection_flush)(Connection *);
    void (*connection_close)(Connection *);
    void (*connection_unref)(Connection *);
    Message *(*connection_send_with_reply_and_block)(Connection *, Message *, int, Error *);
    int (*message_get_type)(Message *);
    Bool (*message_is_method_call)(Message *, const char *, const char *);
    const char *(*message_get_sender)(Message *);
    const char *(*message_get_path)(Message *);
    Message *(*message_new_method_call)(const char *, const char *, const char *, const char *);
    Message *(*message_new_method_return)(Message *);
    Message *(*message_new_error)(Message *, const char *, const char *);
    Message *(*message_new_signal)(const char *, const char *, const char *);
    Bool (*message_set_destination)(Message *, const char *);
    Bool (*message_append_args)(Message *, int, ...);
    Bool (*message_get_args)(Message *, Error *, int, ...);
    void (*message_iter_init_append)(Message *, Iter *);
    Bool (*message_iter_append_basic)(Iter *, int, const void *);
    Bool (*message_iter_open_container)(Iter *, int, const char *, Iter *);
    Bool (*message_iter_close_container)(Iter *, Iter *);
    Bool (*message_iter_append_fixed_array)(Iter *, int, const void *, int);
    void (*message_unref)(Message *);
    void (*free_string_array)(char **);
};

// Null when the library or one of its functions is missing.
const Api *api() {
    static const std::optional<Api> loaded = []() -> std::optional<Api> {
        void *lib = ::dlopen("libdbus-1.so.3", RTLD_NOW);
        if (!lib)
            return std::nullopt;
        Api a{};
        bool ok = true;
        auto load = [&](auto &function, const char *name) {
            void *symbol = ::dlsym(lib, name);
            static_assert(sizeof function == sizeof symbol);
            std::memcpy(&function, &symbol, sizeof symbol);
            ok = ok && symbol;
        };
        load(a.error_init, "dbus_error_init");
        load(a.error_free, "dbus_error_free");
        load(a.connection_open_private, "dbus_connection_open_private");
        load(a.bus_register, "dbus_bus_register");
        load(a.bus_get_unique_name, "dbus_bus_get_unique_name");
        load(a.bus_request_name, "dbus_bus_request_name");
        load(a.bus_release_name, "dbus_bus_release_name");
        load(a.connection_read_write_dispatch, "dbus_connection_read_write_dispatch");
        load(a.connection_add_filter, "dbus_connection_add_filter");
        load(a.connection_send, "dbus_connection_send");
        load(a.connection_flush, "dbus_connection_flush");
        load(a.connection_close, "dbus_connection_close");
        load(a.connection_unref, "dbus_connection_unref");
        load(a.connection_send_with_reply_and_block, "dbus_connection_send_with_reply_and_block");
        load(a.message_get_type, "dbus_message_get_type");
        load(a.message_is_method_call, "dbus_message_is_method_call");
        load(a.message_get_sender, "dbus_message_get_sender");
        load(a.message_get_path, "dbus_message_get_path");
        load(a.message_new_method_call, "dbus_message_new_method_call");
        load(a.message_new_method_return, "dbus_message_new_method_return");
        load(a.message_new_error, "dbus_message_new_error");
        load(a.message_new_signal, "dbus_message_new_signal");
        load(a.message_set_destination, "dbus_message_set_destination");
        load(a.message_append_args, "dbus_message_append_args");
        load(a.message_get_args, "dbus_message_get_args");
        load(a.message_iter_init_append, "dbus_message_iter_init_append");
        load(a.message_iter_append_basic, "dbus_message_iter_append_basic");
        load(a.message_iter_open_container, "dbus_message_iter_open_container");
        load(a.message_iter_close_container, "dbus_message_iter_close_container");
        load(a.message_iter_append_fixed_array, "dbus_message_iter_append_fixed_array");
        load(a.message_unref, "dbus_message_unref");
        load(a.free_string_array, "dbus_free_string_array");
        return ok ? std::optional<Api>(a) : std::nullopt;
    }();
    return loaded ? &*loaded : nullptr;
}

} // namespace dbus

// A dbus-daemon of our own, listening where DBUS_SYSTEM_BUS_ADDRESS points. Started with a
// plain fork and exec: ThreadSanitizer loses track of mutexes once QProcess has spawned.
class PrivateBus {
public:
    ~PrivateBus() { stop(); }

    static QString program() {
        return QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
    }

    bool start() {
        const QByteArray daemon = program().toLocal8Bit();
        if (daemon.isEmpty() || !QDir().mkpath(busDirectory()))
            return false;
        const QString config = busDirectory() + QStringLiteral("/bus.conf");
        QFile file(config);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return false;
        file.write(QStringLiteral(R"(<!DOCTYPE busconfig PUBLIC
 "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>knobly-test</type>
  <listen>unix:path=%1</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)")
                       .arg(busSocket())
                       .toUtf8());
        file.close();

        const QByteArray configArg = "--config-file=" + config.toLocal8Bit();
        const char *const argv[] = {daemon.constData(), configArg.constData(), "--nofork",
                                    "--nopidfile",      "--print-address",     nullptr};
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0)
            return false;
        const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        pid_ = ::fork();
        if (pid_ == 0) {
            // Gone with us, even if a test dies half way. It grumbles on stderr about limits
            // it may not raise; that is not ours to judge.
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            ::dup2(out[1], 1);
            ::dup2(devNull, 2);
            ::execv(argv[0], const_cast<char *const *>(argv));
            ::_exit(127);
        }
        ::close(out[1]);
        ::close(devNull);
        // The address comes out once the socket listens; the poll only guards a hang.
        pollfd ready{out[0], POLLIN, 0};
        char line[256];
        const bool listening =
            pid_ > 0 && ::poll(&ready, 1, 10000) == 1 && ::read(out[0], line, sizeof line) > 0;
        ::close(out[0]);
        return listening;
    }

    void stop() {
        if (pid_ <= 0)
            return;
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
        QFile::remove(busSocket());
    }

private:
    pid_t pid_ = -1;
};

// Stands in for avahi-daemon on the private bus: answers what avahi-client calls and sends the
// signals it listens for, on a thread of its own so the client's blocking calls get answers.
class FakeAvahi {
public:
    struct Item {
        int32_t interface;
        int32_t protocol;
        std::string name;
    };
    struct Answer {
        enum Kind { Found, Failure, Silent } kind = Found;
        int32_t aprotocol = 0;
        std::string address;
        uint16_t port = 0;
        // As on the wire.
        std::vector<std::string> txt;
    };
    struct BrowseRequest {
        int32_t interface;
        int32_t protocol;
        std::string type;
        std::string domain;
        uint32_t flags;
    };
    struct ResolveRequest {
        int32_t interface;
        int32_t protocol;
        std::string name;
        std::string type;
        std::string domain;
        int32_t aprotocol;
        uint32_t flags;
        std::string path;
    };

    FakeAvahi() : d_(*dbus::api()) {
        dbus::Error error;
        d_.error_init(&error);
        const QByteArray address = "unix:path=" + busSocket().toLocal8Bit();
        connection_ = d_.connection_open_private(address.constData(), &error);
        if (connection_ && !d_.bus_register(connection_, &error)) {
            d_.connection_close(connection_);
            d_.connection_unref(connection_);
            connection_ = nullptr;
        }
        d_.error_free(&error);
        if (!connection_)
            return;
        ownName_ = d_.bus_get_unique_name(connection_);
        d_.connection_add_filter(connection_, &FakeAvahi::filter, this, nullptr);
        thread_ = std::thread([this] { run(); });
    }

    ~FakeAvahi() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable())
            thread_.join();
        if (connection_) {
            d_.connection_close(connection_);
            d_.connection_unref(connection_);
        }
    }

    bool connected() const { return connection_ != nullptr; }

    bool acquireName() {
        return onThread([this] {
            dbus::Error error;
            d_.error_init(&error);
            const int reply = d_.bus_request_name(connection_, kName, 4 /* DO_NOT_QUEUE */, &error);
            d_.error_free(&error);
            return reply == 1 /* PRIMARY_OWNER */;
        });
    }

    void releaseName() {
        onThread([this] {
            dbus::Error error;
            d_.error_init(&error);
            d_.bus_release_name(connection_, kName, &error);
            d_.error_free(&error);
            return true;
        });
    }

    // Connections on the bus other than the stand-in's own.
    std::vector<std::string> otherPeers() {
        return onThread([this] {
            dbus::Message *call =
                d_.message_new_method_call("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                           "org.freedesktop.DBus", "ListNames");
            dbus::Error error;
            d_.error_init(&error);
            dbus::Message *reply =
                d_.connection_send_with_reply_and_block(connection_, call, 10000, &error);
            d_.message_unref(call);
            std::vector<std::string> peers;
            char **names = nullptr;
            int count = 0;
            if (reply && d_.message_get_args(reply, &error, dbus::kArray, dbus::kString, &names,
                                             &count, dbus::kInvalid)) {
                for (int i = 0; i < count; ++i) {
                    if (names[i][0] == ':' && ownName_ != names[i])
                        peers.emplace_back(names[i]);
                }
                d_.free_string_array(names);
            }
            if (reply)
                d_.message_unref(reply);
            d_.error_free(&error);
            return peers;
        });
    }

    void setItems(std::vector<Item> items) {
        std::lock_guard lock(mutex_);
        items_ = std::move(items);
    }
    void setAnswer(Answer answer) {
        std::lock_guard lock(mutex_);
        answer_ = std::move(answer);
    }

    // Sent to every browser and resolver ever made, freed or not, as a careless daemon might.
    void announceToAllBrowsers(const Item &item) {
        onThread([this, item] {
            for (const Browser &b : browsers_)
                sendItem(b, item);
            return true;
        });
    }
    void answerAllResolvers(const Answer &answer) {
        onThread([this, answer] {
            for (const Resolver &r : resolvers_)
                sendAnswer(r, answer);
            return true;
        });
    }

    std::vector<BrowseRequest> browses() {
        std::lock_guard lock(mutex_);
        return browseRequests_;
    }
    std::vector<ResolveRequest> resolves() {
        std::lock_guard lock(mutex_);
        return resolveRequests_;
    }
    std::vector<std::string> freed() {
        std::lock_guard lock(mutex_);
        return freed_;
    }
    bool wasFreed(const std::string &path) {
        const auto all = freed();
        return std::find(all.begin(), all.end(), path) != all.end();
    }

private:
    static constexpr const char *kName = "org.freedesktop.Avahi";
    static constexpr const char *kServer = "org.freedesktop.Avahi.Server";
    static constexpr const char *kBrowser = "org.freedesktop.Avahi.ServiceBrowser";
    static constexpr const char *kResolver = "org.freedesktop.Avahi.ServiceResolver";

    struct Browser {
        std::string path;
        std::string client;
        std::string type;
        std::string domain;
    };
    struct Resolver {
        std::string path;
        std::string client;
        ResolveRequest request;
    };

    // Runs `job` on the stand-in's thread and waits for its result.
    template <typename F> auto onThread(F job) -> decltype(job()) {
        std::optional<decltype(job())> result;
        std::unique_lock lock(mutex_);
        jobs_.push_back([&] {
            auto value = job();
            std::lock_guard done(mutex_);
            result = std::move(value);
            finished_.notify_all();
        });
        wake_.notify_all();
        finished_.wait(lock, [&] { return result.has_value(); });
        return std::move(*result);
    }

    void run() {
        bool connected = true;
        for (;;) {
            std::deque<std::function<void()>> jobs;
            {
                std::unique_lock lock(mutex_);
                if (!connected)
                    wake_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
                if (stopping_)
                    return;
                jobs.swap(jobs_);
            }
            for (auto &job : jobs)
                job();
            // A short wait, so jobs from the test do not sit behind a quiet bus.
            if (connected)
                connected = d_.connection_read_write_dispatch(connection_, 10);
        }
    }

    static dbus::HandlerResult filter(dbus::Connection *, dbus::Message *message, void *self) {
        return static_cast<FakeAvahi *>(self)->handle(message);
    }

    dbus::HandlerResult handle(dbus::Message *m) {
        if (d_.message_get_type(m) != dbus::kMethodCall)
            return dbus::kNotYetHandled;
        const std::string sender = d_.message_get_sender(m);
        dbus::Error error;
        d_.error_init(&error);
        if (d_.message_is_method_call(m, kServer, "GetAPIVersion")) {
            const uint32_t version = 0x0204; // what avahi 0.8 reports
            reply(m, dbus::kUint32, &version);
        } else if (d_.message_is_method_call(m, kServer, "GetState")) {
            const int32_t running = 2;
            reply(m, dbus::kInt32, &running);
        } else if (d_.message_is_method_call(m, kServer, "ServiceBrowserNew")) {
            BrowseRequest request{};
            const char *type = "";
            const char *domain = "";
            d_.message_get_args(m, &error, dbus::kInt32, &request.interface, dbus::kInt32,
                                &request.protocol, dbus::kString, &type, dbus::kString, &domain,
                                dbus::kUint32, &request.flags, dbus::kInvalid);
            request.type = type;
            request.domain = domain;
            const Browser browser{"/Client1/ServiceBrowser" + std::to_string(browsers_.size() + 1),
                                  sender, request.type, request.domain};
            browsers_.push_back(browser);
            std::vector<Item> items;
            {
                std::lock_guard lock(mutex_);
                browseRequests_.push_back(request);
                items = items_;
            }
            const char *path = browser.path.c_str();
            reply(m, dbus::kObjectPath, &path);
            for (const Item &item : items)
                sendItem(browser, item);
            sendSignal(browser.path, browser.client, kBrowser, "AllForNow", nullptr);
        } else if (d_.message_is_method_call(m, kServer, "ServiceResolverNew")) {
            ResolveRequest request{};
            const char *name = "";
            const char *type = "";
            const char *domain = "";
            d_.message_get_args(m, &error, dbus::kInt32, &request.interface, dbus::kInt32,
                                &request.protocol, dbus::kString, &name, dbus::kString, &type,
                                dbus::kString, &domain, dbus::kInt32, &request.aprotocol,
                                dbus::kUint32, &request.flags, dbus::kInvalid);
            request.name = name;
            request.type = type;
            request.domain = domain;
            request.path = "/Client1/ServiceResolver" + std::to_string(resolvers_.size() + 1);
            const Resolver resolver{request.path, sender, request};
            resolvers_.push_back(resolver);
            Answer answer;
            {
                std::lock_guard lock(mutex_);
                resolveRequests_.push_back(request);
                answer = answer_;
            }
            const char *path = resolver.path.c_str();
            reply(m, dbus::kObjectPath, &path);
            sendAnswer(resolver, answer);
        } else if (d_.message_is_method_call(m, kBrowser, "Free") ||
                   d_.message_is_method_call(m, kResolver, "Free")) {
            {
                std::lock_guard lock(mutex_);
                freed_.push_back(d_.message_get_path(m));
            }
            reply(m, dbus::kInvalid, nullptr);
        } else {
            dbus::Message *e = d_.message_new_error(m, "org.freedesktop.DBus.Error.UnknownMethod",
                                                    "not in this stand-in");
            d_.connection_send(connection_, e, nullptr);
            d_.message_unref(e);
        }
        d_.error_free(&error);
        return dbus::kHandled;
    }

    void reply(dbus::Message *call, int type, const void *value) {
        dbus::Message *r = d_.message_new_method_return(call);
        if (type != dbus::kInvalid)
            d_.message_append_args(r, type, value, dbus::kInvalid);
        d_.connection_send(connection_, r, nullptr);
        d_.message_unref(r);
    }

    void sendSignal(const std::string &path, const std::string &client, const char *interface,
                    const char *member, const std::function<void(dbus::Message *)> &fill) {
        dbus::Message *s = d_.message_new_signal(path.c_str(), interface, member);
        // Addressed to the one client, as avahi-daemon does.
        d_.message_set_destination(s, client.c_str());
        if (fill)
            fill(s);
        d_.connection_send(connection_, s, nullptr);
        d_.message_unref(s);
    }

    void sendItem(const Browser &b, const Item &item) {
        sendSignal(b.path, b.client, kBrowser, "ItemNew", [&](dbus::Message *s) {
            const char *name = item.name.c_str();
            const char *type = b.type.c_str();
            const char *domain = b.domain.c_str();
            const uint32_t flags = 0;
            d_.message_append_args(s, dbus::kInt32, &item.interface, dbus::kInt32, &item.protocol,
                                   dbus::kString, &name, dbus::kString, &type, dbus::kString,
                                   &domain, dbus::kUint32, &flags, dbus::kInvalid);
        });
    }

    void sendAnswer(const Resolver &r, const Answer &answer) {
        if (answer.kind == Answer::Silent)
            return;
        if (answer.kind == Answer::Failure) {
            sendSignal(r.path, r.client, kResolver, "Failure", [&](dbus::Message *s) {
                const char *reason = "org.freedesktop.Avahi.TimeoutError";
                d_.message_append_args(s, dbus::kString, &reason, dbus::kInvalid);
            });
            return;
        }
        sendSignal(r.path, r.client, kResolver, "Found", [&](dbus::Message *s) {
            const ResolveRequest &q = r.request;
            const char *name = q.name.c_str();
            const char *type = q.type.c_str();
            const char *domain = q.domain.c_str();
            const char *host = "speaker.local";
            const char *address = answer.address.c_str();
            const uint32_t flags = 0;
            dbus::Iter iter;
            d_.message_iter_init_append(s, &iter);
            d_.message_iter_append_basic(&iter, dbus::kInt32, &q.interface);
            d_.message_iter_append_basic(&iter, dbus::kInt32, &q.protocol);
            d_.message_iter_append_basic(&iter, dbus::kString, &name);
            d_.message_iter_append_basic(&iter, dbus::kString, &type);
            d_.message_iter_append_basic(&iter, dbus::kString, &domain);
            d_.message_iter_append_basic(&iter, dbus::kString, &host);
            d_.message_iter_append_basic(&iter, dbus::kInt32, &answer.aprotocol);
            d_.message_iter_append_basic(&iter, dbus::kString, &address);
            d_.message_iter_append_basic(&iter, dbus::kUint16, &answer.port);
            dbus::Iter strings;
            d_.message_iter_open_container(&iter, dbus::kArray, "ay", &strings);
            // avahi-daemon keeps a TXT record's strings last-first and sends them that way.
            for (auto it = answer.txt.rbegin(); it != answer.txt.rend(); ++it) {
                dbus::Iter bytes;
                d_.message_iter_open_container(&strings, dbus::kArray, "y", &bytes);
                const char *data = it->data();
                d_.message_iter_append_fixed_array(&bytes, dbus::kByte, &data,
                                                   static_cast<int>(it->size()));
                d_.message_iter_close_container(&strings, &bytes);
            }
            d_.message_iter_close_container(&iter, &strings);
            d_.message_iter_append_basic(&iter, dbus::kUint32, &flags);
        });
    }

    const dbus::Api &d_;
    dbus::Connection *connection_ = nullptr;
    std::string ownName_;
    std::thread thread_;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable finished_;
    bool stopping_ = false;
    std::deque<std::function<void()>> jobs_;
    std::vector<Item> items_;
    Answer answer_;
    std::vector<BrowseRequest> browseRequests_;
    std::vector<ResolveRequest> resolveRequests_;
    std::vector<std::string> freed_;

    // The fake's thread only.
    std::vector<Browser> browsers_;
    std::vector<Resolver> resolvers_;
};

QByteArray ipv4Blob(const char *address, uint16_t port) {
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(port);
    ::inet_pton(AF_INET, address, &in.sin_addr);
    return QByteArray(reinterpret_cast<const char *>(&in), sizeof in);
}

QByteArray ipv6Blob(const char *address, uint16_t port, uint32_t scope) {
    sockaddr_in6 in6{};
    in6.sin6_family = AF_INET6;
    in6.sin6_port = htons(port);
    in6.sin6_scope_id = scope;
    ::inet_pton(AF_INET6, address, &in6.sin6_addr);
    return QByteArray(reinterpret_cast<const char *>(&in6), sizeof in6);
}

struct Resolution {
    int resolved = 0;
    int notResolved = 0;
    BonjourService::Resolved onResolved() {
        return [this] {
            EXPECT_TRUE(onMainThread());
            ++resolved;
        };
    }
    BonjourService::NotResolved onNotResolved() {
        return [this] {
            EXPECT_TRUE(onMainThread());
            ++notResolved;
        };
    }
};

constexpr int32_t kInet = 0;  // AVAHI_PROTO_INET
constexpr int32_t kInet6 = 1; // AVAHI_PROTO_INET6

class AvahiBrowserOnPrivateBus : public ::testing::Test {
protected:
    void SetUp() override {
        useTestSystemBus();
        if (!dbus::api())
            GTEST_SKIP() << "libdbus cannot be loaded";
        if (PrivateBus::program().isEmpty())
            GTEST_SKIP() << "dbus-daemon is not installed";
        ASSERT_TRUE(bus_.start());
        fake_ = std::make_unique<FakeAvahi>();
        ASSERT_TRUE(fake_->connected());
    }

    void TearDown() override {
        fake_.reset();
        bus_.stop();
        // Let the shared client see its bus go before the next test starts another.
        turnLoop();
        QDir(busDirectory()).removeRecursively();
    }

    std::unique_ptr<BonjourBrowser> browseAirPlay(Found &found) {
        auto browser = BonjourBrowser::create();
        browser->searchForServices(QStringLiteral("_airplay._tcp."), QStringLiteral("local."),
                                   found.callback());
        return browser;
    }

    // A browser that has found the one speaker the stand-in announces.
    std::shared_ptr<BonjourService> findSpeaker(Found &found,
                                                std::unique_ptr<BonjourBrowser> &browser) {
        fake_->setItems({{2, kInet, "Speaker"}});
        if (!fake_->acquireName())
            return nullptr;
        browser = browseAirPlay(found);
        if (!pumpUntil([&] { return found.services.size() == 1; }))
            return nullptr;
        return found.services.front();
    }

    PrivateBus bus_;
    std::unique_ptr<FakeAvahi> fake_;
};

TEST_F(AvahiBrowserOnPrivateBus, WaitsQuietlyForAvahiAndBrowsesOnceItAppears) {
    OutputCapture output;
    Found found;
    auto early = browseAirPlay(found);
    auto gone = browseAirPlay(found);
    // Our client has reached the bus and found no avahi there.
    ASSERT_TRUE(pumpUntil([&] { return !fake_->otherPeers().empty(); }));
    turnLoop();
    gone.reset();
    EXPECT_TRUE(fake_->browses().empty());

    fake_->setItems({{2, kInet, "Speaker"}});
    ASSERT_TRUE(fake_->acquireName());
    ASSERT_TRUE(pumpUntil([&] { return found.services.size() == 1; }));
    turnLoop();
    EXPECT_EQ(found.services.size(), 1u) << "only the browser still searching";
    EXPECT_EQ(fake_->browses().size(), 1u);
    early.reset();
    expectNothingAlarming(output);
}

TEST_F(AvahiBrowserOnPrivateBus, ReportsEverySightingWithTheTypeAsAsked) {
    fake_->setItems({{2, kInet, "Kitchen"}, {2, kInet6, "Kitchen"}, {3, kInet, "Study"}});
    ASSERT_TRUE(fake_->acquireName());
    Found found;
    auto browser = browseAirPlay(found);
    ASSERT_TRUE(pumpUntil([&] { return found.services.size() == 3; }));

    std::vector<QString> names;
    for (const auto &service : found.services) {
        names.push_back(service->name());
        EXPECT_EQ(service->type(), QStringLiteral("_airplay._tcp."));
        EXPECT_EQ(service->addresses(), std::nullopt) << "nothing before resolving";
        EXPECT_EQ(service->txtRecordData(), std::nullopt);
    }
    EXPECT_EQ(names, (std::vector<QString>{"Kitchen", "Kitchen", "Study"}));
    EXPECT_EQ(found.moreComing, (std::vector<bool>{false, false, false}));

    const auto browses = fake_->browses();
    ASSERT_EQ(browses.size(), 1u);
    EXPECT_EQ(browses[0].interface, -1);
    EXPECT_EQ(browses[0].protocol, -1);
    EXPECT_EQ(browses[0].type, "_airplay._tcp");
    EXPECT_EQ(browses[0].domain, "local");

    // Each sighting resolves where it was seen.
    fake_->setAnswer({FakeAvahi::Answer::Found, kInet, "192.168.1.40", 7000, {}});
    Resolution resolution;
    found.services[1]->resolve(10, resolution.onResolved(), resolution.onNotResolved());
    ASSERT_TRUE(pumpUntil([&] { return resolution.resolved == 1; }));
    const auto resolves = fake_->resolves();
    ASSERT_EQ(resolves.size(), 1u);
    EXPECT_EQ(resolves[0].interface, 2);
    EXPECT_EQ(resolves[0].protocol, kInet6);
    EXPECT_EQ(resolves[0].name, "Kitchen");
    EXPECT_EQ(resolves[0].type, "_airplay._tcp");
    EXPECT_EQ(resolves[0].domain, "local");
    EXPECT_EQ(resolves[0].aprotocol, -1) << "any address family";
    EXPECT_TRUE(fake_->wasFreed(resolves[0].path)) << "one answer is all we wait for";
}

TEST_F(AvahiBrowserOnPrivateBus, ResolvedAddressesAreSocketAddressesInArrivalOrder) {
    Found found;
    std::unique_ptr<BonjourBrowser> browser;
    auto service = findSpeaker(found, browser);
    ASSERT_TRUE(service);

    struct Case {
        const char *name;
        int32_t aprotocol;
        const char *address;
        uint16_t port;
        QByteArray expected;
    };
    // The stand-in answers on interface 2, where the speaker was seen.
    const Case cases[] = {
        {"IPv4", kInet, "192.168.1.40", 443, ipv4Blob("192.168.1.40", 443)},
        {"global IPv6", kInet6, "2001:db8::40", 443, ipv6Blob("2001:db8::40", 443, 0)},
        {"link-local IPv6 carries its interface", kInet6, "fe80::40", 8443,
         ipv6Blob("fe80::40", 8443, 2)},
    };
    std::vector<QByteArray> expected;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        fake_->setAnswer({FakeAvahi::Answer::Found, c.aprotocol, c.address, c.port, {"a=1"}});
        Resolution resolution;
        service->resolve(10, resolution.onResolved(), resolution.onNotResolved());
        ASSERT_TRUE(pumpUntil([&] { return resolution.resolved == 1; }));
        expected.push_back(c.expected);
        EXPECT_EQ(service->addresses(), expected);
        EXPECT_EQ(resolution.notResolved, 0);
    }

    // The same address again adds nothing.
    fake_->setAnswer({FakeAvahi::Answer::Found, kInet, "192.168.1.40", 443, {"a=1"}});
    Resolution again;
    service->resolve(10, again.onResolved(), again.onNotResolved());
    ASSERT_TRUE(pumpUntil([&] { return again.resolved == 1; }));
    EXPECT_EQ(service->addresses(), expected);
}

TEST_F(AvahiBrowserOnPrivateBus, TxtRecordIsInWireForm) {
    Found found;
    std::unique_ptr<BonjourBrowser> browser;
    auto service = findSpeaker(found, browser);
    ASSERT_TRUE(service);

    struct Case {
        const char *name;
        std::vector<std::string> strings;
        std::optional<QByteArray> expected;
    };
    const Case cases[] = {
        {"in wire order",
         {"deviceid=AA:BB", "model=WiiM Pro", "features=0x1"},
         QByteArray("\x0e"
                    "deviceid=AA:BB"
                    "\x0e"
                    "model=WiiM Pro"
                    "\x0c"
                    "features=0x1")},
        {"one string", {"x"}, QByteArray("\x01x")},
        {"no record", {}, std::nullopt},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        fake_->setAnswer({FakeAvahi::Answer::Found, kInet, "192.168.1.40", 7000, c.strings});
        Resolution resolution;
        service->resolve(10, resolution.onResolved(), resolution.onNotResolved());
        ASSERT_TRUE(pumpUntil([&] { return resolution.resolved == 1; }));
        EXPECT_EQ(service->txtRecordData(), c.expected);
    }
}

TEST_F(AvahiBrowserOnPrivateBus, UnansweredResolutionGivesUpOnceAtTheTimeout) {
    Found found;
    std::unique_ptr<BonjourBrowser> browser;
    auto service = findSpeaker(found, browser);
    ASSERT_TRUE(service);

    struct Case {
        const char *name;
        FakeAvahi::Answer::Kind kind;
        double timeout;
    };
    const Case cases[] = {
        {"no answer", FakeAvahi::Answer::Silent, 0},
        {"avahi gives up first", FakeAvahi::Answer::Failure, 30},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        fake_->setAnswer({c.kind, kInet, "", 0, {}});
        Resolution resolution;
        service->resolve(c.timeout, resolution.onResolved(), resolution.onNotResolved());
        ASSERT_TRUE(pumpUntil([&] { return resolution.notResolved > 0; }));
        turnLoop();
        EXPECT_EQ(resolution.notResolved, 1);
        EXPECT_EQ(resolution.resolved, 0);
        EXPECT_EQ(service->addresses(), std::nullopt);
        EXPECT_TRUE(fake_->wasFreed(fake_->resolves().back().path));
    }
}

TEST_F(AvahiBrowserOnPrivateBus, NewResolutionReplacesOneRunning) {
    Found found;
    std::unique_ptr<BonjourBrowser> browser;
    auto service = findSpeaker(found, browser);
    ASSERT_TRUE(service);

    fake_->setAnswer({FakeAvahi::Answer::Silent, kInet, "", 0, {}});
    Resolution first;
    service->resolve(30, first.onResolved(), first.onNotResolved());
    ASSERT_TRUE(pumpUntil([&] { return fake_->resolves().size() == 1; }));

    fake_->setAnswer({FakeAvahi::Answer::Found, kInet, "192.168.1.40", 7000, {}});
    Resolution second;
    service->resolve(30, second.onResolved(), second.onNotResolved());
    ASSERT_TRUE(pumpUntil([&] { return second.resolved == 1; }));
    EXPECT_TRUE(fake_->wasFreed(fake_->resolves().front().path));

    // A late answer to the first resolver finds nobody listening.
    fake_->answerAllResolvers({FakeAvahi::Answer::Found, kInet, "192.168.1.41", 7000, {}});
    turnLoop();
    EXPECT_EQ(first.resolved + first.notResolved, 0);
    EXPECT_EQ(second.resolved, 1);
    EXPECT_EQ(service->addresses(), (std::vector<QByteArray>{ipv4Blob("192.168.1.40", 7000)}));
}

TEST_F(AvahiBrowserOnPrivateBus, NoCallbacksOnceTheBrowserStopsOrGoes) {
    struct Case {
        const char *name;
        void (*end)(std::unique_ptr<BonjourBrowser> &);
    };
    const Case cases[] = {
        {"stopped", [](std::unique_ptr<BonjourBrowser> &b) { b->stop(); }},
        {"destroyed", [](std::unique_ptr<BonjourBrowser> &b) { b.reset(); }},
    };
    fake_->setItems({{2, kInet, "Speaker"}});
    ASSERT_TRUE(fake_->acquireName());
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Found found;
        auto browser = browseAirPlay(found);
        ASSERT_TRUE(pumpUntil([&] { return found.services.size() == 1; }));
        c.end(browser);
        EXPECT_EQ(fake_->freed().size(), fake_->browses().size()) << "the browser was freed";
        fake_->announceToAllBrowsers({2, kInet, "Latecomer"});
        turnLoop();
        EXPECT_EQ(found.services.size(), 1u);
    }
}

TEST_F(AvahiBrowserOnPrivateBus, FoundCallbackMayDestroyItsBrowser) {
    fake_->setItems({{2, kInet, "First"}, {2, kInet, "Second"}});
    ASSERT_TRUE(fake_->acquireName());
    std::unique_ptr<BonjourBrowser> browser = BonjourBrowser::create();
    std::vector<QString> names;
    browser->searchForServices(QStringLiteral("_airplay._tcp."), QStringLiteral("local."),
                               [&](std::shared_ptr<BonjourService> service, bool) {
                                   names.push_back(service->name());
                                   browser.reset();
                               });
    ASSERT_TRUE(pumpUntil([&] { return !names.empty(); }));
    turnLoop();
    EXPECT_EQ(names, (std::vector<QString>{"First"}));
}

TEST_F(AvahiBrowserOnPrivateBus, ServiceGoneMidResolutionNeverCallsBack) {
    Found found;
    std::unique_ptr<BonjourBrowser> browser;
    auto service = findSpeaker(found, browser);
    ASSERT_TRUE(service);
    fake_->setAnswer({FakeAvahi::Answer::Silent, kInet, "", 0, {}});
    Resolution resolution;
    // Due on the next turn of the loop, which the service does not live to see.
    service->resolve(0, resolution.onResolved(), resolution.onNotResolved());
    ASSERT_EQ(fake_->resolves().size(), 1u);

    found.services.clear();
    service.reset();
    EXPECT_TRUE(fake_->wasFreed(fake_->resolves().front().path));
    fake_->answerAllResolvers({FakeAvahi::Answer::Found, kInet, "192.168.1.40", 7000, {}});
    turnLoop();
    EXPECT_EQ(resolution.resolved + resolution.notResolved, 0);
}

TEST_F(AvahiBrowserOnPrivateBus, AvahiRestartBrowsesAgainAndResumesResolution) {
    OutputCapture output;
    Found found;
    std::unique_ptr<BonjourBrowser> browser;
    auto service = findSpeaker(found, browser);
    ASSERT_TRUE(service);
    fake_->setAnswer({FakeAvahi::Answer::Silent, kInet, "", 0, {}});
    Resolution resolution;
    service->resolve(30, resolution.onResolved(), resolution.onNotResolved());
    ASSERT_TRUE(pumpUntil([&] { return fake_->resolves().size() == 1; }));

    const auto before = fake_->otherPeers();
    ASSERT_EQ(before.size(), 1u);
    fake_->releaseName();
    // The old client is finished; a new one waits on the bus for avahi to come back.
    ASSERT_TRUE(pumpUntil([&] {
        const auto now = fake_->otherPeers();
        return now.size() == 1 && now != before;
    }));
    turnLoop();

    fake_->setAnswer({FakeAvahi::Answer::Found, kInet, "192.168.1.40", 7000, {}});
    ASSERT_TRUE(fake_->acquireName());
    ASSERT_TRUE(pumpUntil([&] { return found.services.size() == 2 && resolution.resolved == 1; }));
    EXPECT_EQ(fake_->browses().size(), 2u);
    EXPECT_EQ(fake_->resolves().size(), 2u);
    EXPECT_EQ(resolution.notResolved, 0);
    EXPECT_EQ(service->addresses(), (std::vector<QByteArray>{ipv4Blob("192.168.1.40", 7000)}));
    browser.reset();
    expectNothingAlarming(output);
}

TEST_F(AvahiBrowserOnPrivateBus, BusRestartReconnectsOnItsOwn) {
    OutputCapture output;
    Found found;
    std::unique_ptr<BonjourBrowser> browser;
    ASSERT_TRUE(findSpeaker(found, browser));

    fake_.reset();
    bus_.stop();
    turnLoop();
    ASSERT_TRUE(bus_.start());
    fake_ = std::make_unique<FakeAvahi>();
    fake_->setItems({{2, kInet, "Speaker"}});
    ASSERT_TRUE(fake_->acquireName());
    // The client retries after a pause of its own; the guard just has to outlast it.
    ASSERT_TRUE(pumpUntil([&] { return found.services.size() == 2; }, 20000));
    browser.reset();
    expectNothingAlarming(output);
}

} // namespace
