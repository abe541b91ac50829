// Fifty wheel notches in half a second from one WiiMClient to the simulator on loopback, as a
// fast scroll makes them, against a device answering in 2 ms and one answering in 40 ms: how
// many requests reach the device, and how long until it has the final level. One volume
// command in flight and one per 100 ms at most, the latest level last.
#include "DeviceSimulator.h"
#include "MainQueue.h"
#include "QtMainQueue.h"
#include "WiiMClient.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>

#include <cstdio>

using namespace knobly;

namespace {

void turnLoopFor(int ms) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, ms - int(t.elapsed()));
}

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    MainQueue::install(std::make_shared<QtMainQueue>());
    devicesim::DeviceSimulator sim;
    QString error;
    if (!sim.start(&error)) {
        std::fprintf(stderr, "volume_burst: simulator did not start: %s\n", qPrintable(error));
        return 1;
    }
    constexpr int notches = 50, spacingMs = 10;
    std::printf("volume_burst: %d one-step notches %d ms apart\n", notches, spacingMs);
    std::printf("%-8s %-9s %-12s %s\n", "device", "requests", "final level",
                "ms to the final level");
    for (const int deviceMs : {2, 40}) {
        for (int round = 0; round < 3; ++round) {
            sim.setFault(devicesim::Fault::Delay, deviceMs);
            sim.setVolume(20);
            auto client = std::make_shared<WiiMClient>(sim.address());
            client->setCurrentVolume(20);
            turnLoopFor(200); // the connection, and no gap left from before
            sim.clearRequests();
            QElapsedTimer t;
            t.start();
            for (int i = 0; i < notches; ++i) {
                client->volumeUp(1);
                turnLoopFor(spacingMs);
            }
            while (sim.volume() != 20 + notches && t.elapsed() < 10000)
                turnLoopFor(1);
            const qint64 ms = t.elapsed();
            turnLoopFor(300); // nothing after the final level
            std::printf("%-8s %-9zu %-12d %lld\n",
                        qPrintable(QStringLiteral("%1 ms").arg(deviceMs)), sim.commands().size(),
                        sim.volume(), static_cast<long long>(ms));
        }
    }
    return 0;
}
