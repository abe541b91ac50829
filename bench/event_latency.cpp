// From a change made at the device (the simulator's own control, as another controller or its
// buttons would) to Knobly's MPRIS PropertiesChanged on the session bus, through the device's
// UPnP event: the whole program's path but the panel. Run by event_latency.sh on a private
// bus in a network namespace of its own.
#include "AppDelegate.h"
#include "DeviceEvents.h"
#include "DeviceSimulator.h"
#include "Figures.h"
#include "MainQueue.h"
#include "MediaControls.h"
#include "QtMainQueue.h"
#include "Settings.h"
#include "UrlSession.h"

#include <QApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QElapsedTimer>

#include <chrono>
#include <cstdio>
#include <optional>

using namespace knobly;
using Clock = std::chrono::steady_clock;

// Hears the player's PropertiesChanged as the desktop's media widget would: on a connection
// of its own.
class Listener : public QObject {
    Q_OBJECT
public:
    std::optional<int> volume;
    Clock::time_point at;
public Q_SLOTS:
    void changed(const QDBusMessage &m) {
        const QVariantMap props = qdbus_cast<QVariantMap>(m.arguments().value(1));
        if (props.contains(QStringLiteral("Volume"))) {
            volume = qRound(props.value(QStringLiteral("Volume")).toDouble() * 100);
            at = Clock::now();
        }
    }
};

namespace {

bool turnUntil(const std::function<bool()> &done, int ms) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    return done();
}

} // namespace

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Knobly"));
    QCoreApplication::setApplicationName(QStringLiteral("Knobly"));
    const int n = argc > 1 ? std::max(1, std::atoi(argv[1])) : 100;
    if (qEnvironmentVariableIsEmpty("KNOBLY_PRIVATE_SESSION_BUS")) {
        std::fprintf(stderr, "event_latency: run it through bench/event_latency.sh\n");
        return 2;
    }
    MainQueue::install(std::make_shared<QtMainQueue>());
    if (const QString why = DeviceEvents::unusableReason(); !why.isEmpty()) {
        std::fprintf(stderr, "event_latency: %s\n", qPrintable(why));
        return 1;
    }

    devicesim::DeviceSimulator::Options options;
    options.upnpPort = 0;
    devicesim::DeviceSimulator sim(options);
    QString error;
    if (!sim.start(&error)) {
        std::fprintf(stderr, "event_latency: simulator: %s\n", qPrintable(error));
        return 1;
    }
    Settings::setIp(sim.address());
    Settings::setDeviceName(QStringLiteral("Living Room"));

    Listener listener;
    QDBusConnection watcher =
        QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("watcher"));
    watcher.connect(QString(), QStringLiteral("/org/mpris/MediaPlayer2"),
                    QStringLiteral("org.freedesktop.DBus.Properties"),
                    QStringLiteral("PropertiesChanged"), &listener, SLOT(changed(QDBusMessage)));

    AppDelegate::Environment env;
    env.makeMediaControls = &MediaControls::create;
    env.makeEvents = [&sim](const QString &address, const QUrl &, DeviceEvents::Callbacks c) {
        return DeviceEvents::create(address, sim.upnpDescription(), std::move(c));
    };
    int status = 0;
    {
        AppDelegate delegate(env);
        delegate.applicationDidFinishLaunching();
        const auto &client = delegate.wiiMClient();
        if (!client || !turnUntil(
                           [&] {
                               return client->state().reachable.value_or(false) &&
                                      listener.volume.has_value();
                           },
                           10000)) {
            std::fprintf(stderr, "event_latency: the device did not answer\n");
            return 1;
        }
        // Settled: details fetched, the first event in, nothing more under way.
        turnUntil([] { return false; }, 2000);

        std::vector<double> ms;
        int lost = 0;
        for (int i = 0; i < n; ++i) {
            const int level = (i % 2 ? 50 : 20) + i % 7; // never the one before
            listener.volume.reset();
            const auto start = Clock::now();
            sim.setVolume(level);
            if (turnUntil([&] { return listener.volume == level; }, 2000))
                ms.push_back(
                    std::chrono::duration<double, std::milli>(listener.at - start).count());
            else
                ++lost;
            turnUntil([] { return false; }, 20); // the next change is a new one
        }
        const Figures f = summarise(ms);
        std::printf(
            "event_latency: %d volume changes at the simulator, to MPRIS PropertiesChanged\n"
            "  median %7.2f ms  p99 %7.2f ms  (%zu heard, %d lost; polls every 5 s)\n",
            n, f.median, f.p99, ms.size(), lost);
        status = lost ? 1 : 0;
    }
    UrlSession::abortAll();
    return status;
}

#include "event_latency.moc"
