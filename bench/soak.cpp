// Soak: 1,000 reconnects, 200 rescans and a day of polls (17,280 at 5 s) on virtual time,
// against the simulator on loopback, with descriptors, threads and resident memory before
// and after each. Flat figures mean nothing is left behind.
#include "DeviceSimulator.h"
#include "FakeMainQueue.h"
#include "ScriptedBonjour.h"
#include "WiiMClient.h"
#include "WiiMDiscovery.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QNetworkDatagram>
#include <QUdpSocket>

#include <cstdio>
#include <functional>

using namespace knobly;

namespace {

struct Usage {
    qsizetype descriptors, threads;
    double rssMiB;
};

Usage usage() {
    QFile status(QStringLiteral("/proc/self/status"));
    double rss = 0;
    if (status.open(QIODevice::ReadOnly))
        for (const QByteArray &line : status.readAll().split('\n'))
            if (line.startsWith("VmRSS:"))
                rss = line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
    const auto entries = [](const char *path) {
        return QDir(QString::fromLatin1(path))
            .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
            .size();
    };
    return {entries("/proc/self/fd"), entries("/proc/self/task"), rss};
}

// Turns the loop as the program's main loop does, deferred deletions included.
bool turnUntil(const std::function<bool()> &done) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > 10000)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return true;
}

void report(const char *phase, const Usage &before, const Usage &after, qint64 ms, int failures) {
    std::printf("  %-22s descriptors %3lld -> %3lld  threads %2lld -> %2lld  VmRSS %5.1f -> %5.1f "
                "MiB  (%lld ms, %d failed)\n",
                phase, static_cast<long long>(before.descriptors),
                static_cast<long long>(after.descriptors), static_cast<long long>(before.threads),
                static_cast<long long>(after.threads), before.rssMiB, after.rssMiB,
                static_cast<long long>(ms), failures);
    std::fflush(stdout);
}

// One status query, waited for on the loop; true when it was answered.
bool poll(WiiMClient &client) {
    std::optional<bool> answered;
    client.fetchStatus([&](auto volume, auto, auto) { answered = volume.has_value(); });
    return turnUntil([&] { return answered.has_value(); }) && *answered;
}

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    auto queue = std::make_shared<FakeMainQueue>();
    MainQueue::install(queue);
    devicesim::DeviceSimulator sim;
    QString error;
    if (!sim.start(&error)) {
        std::fprintf(stderr, "soak: simulator did not start: %s\n", qPrintable(error));
        return 1;
    }
    std::printf("soak: on virtual time, against the simulator on loopback\n");
    {
        // Warm-up: the first connection loads TLS and the network stack once for all.
        auto client = std::make_shared<WiiMClient>(sim.address());
        poll(*client);
    }

    Usage before = usage();
    QElapsedTimer t;
    t.start();
    int failures = 0;
    for (int i = 0; i < 1000; ++i) {
        if (i % 100 == 0)
            sim.clearRequests();
        auto client = std::make_shared<WiiMClient>(sim.address());
        failures += !poll(*client);
        client->setVolume(i % 100);
        queue->advance(WiiMClient::volumeGapSeconds);
        turnUntil([&] { return client->session()->requestsInFlight() == 0; });
    }
    turnUntil([] { return UrlSession::allRequestsInFlight() == 0; });
    report("1,000 reconnects", before, usage(), t.restart(), failures);

    // Rescans: an SSDP answer on loopback naming the brand, confirmed by the identity probe.
    QUdpSocket responder;
    responder.bind(QHostAddress::LocalHost, 0);
    ScriptedBonjour bonjour;
    before = usage();
    failures = 0;
    for (int i = 0; i < 200; ++i) {
        auto discovery = std::make_shared<WiiMDiscovery>(
            WiiMDiscovery::Options{.ssdpAddress = QStringLiteral("127.0.0.1"),
                                   .ssdpPort = responder.localPort(),
                                   .makeBrowser = [&] { return bonjour.makeBrowser(); },
                                   .probePort = sim.port()});
        std::size_t found = 0;
        discovery->startDiscovery([&](const std::vector<WiiMDevice> &d) { found = d.size(); });
        queue->advance(0.5);
        if (turnUntil([&] { return responder.hasPendingDatagrams(); })) {
            const QNetworkDatagram search = responder.receiveDatagram();
            responder.writeDatagram(search.makeReply(
                "HTTP/1.1 200 OK\r\nST: urn:schemas-upnp-org:device:MediaRenderer:1\r\n"
                "SERVER: Linux UPnP/1.0 WiiM/4.8\r\n\r\n"));
        }
        failures += !turnUntil([&] { return found > 0; });
        queue->advance(4.0);
        discovery->stopDiscovery();
    }
    turnUntil([] { return UrlSession::allRequestsInFlight() == 0; });
    report("200 rescans", before, usage(), t.restart(), failures);

    before = usage();
    failures = 0;
    auto client = std::make_shared<WiiMClient>(sim.address());
    for (int i = 0; i < 17280; ++i) {
        failures += !poll(*client);
        queue->advance(5.0);
        if (i % 1000 == 0)
            sim.clearRequests(); // the simulator's own log of them is not ours to count
    }
    client.reset();
    turnUntil([] { return true; });
    report("a day of polls", before, usage(), t.restart(), failures);
    MainQueue::install(nullptr);
    return 0;
}
