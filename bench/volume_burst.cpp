// Bursts of volume steps from one WiiMClient to the simulator on loopback, as a fast scroll or
// a held key makes them: how many requests reach the device and how long until it has the
// final volume. With one volume command in flight and the rest merged, a burst of 50 should
// cost a handful of requests, not fifty.
#include "DeviceSimulator.h"
#include "WiiMClient.h"

#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

using namespace knobly;
using Clock = std::chrono::steady_clock;

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    devicesim::DeviceSimulator sim;
    QString error;
    if (!sim.start(&error)) {
        std::fprintf(stderr, "volume_burst: simulator did not start: %s\n", qPrintable(error));
        return 1;
    }
    std::printf("%-6s %-9s %s\n", "burst", "requests", "ms to the final volume");
    for (const int burst : {10, 50}) {
        for (int round = 0; round < 3; ++round) {
            auto client = std::make_shared<WiiMClient>(sim.address());
            sim.setVolume(20);
            client->setCurrentVolume(20);
            sim.clearRequests();
            const auto start = Clock::now();
            for (int i = 0; i < burst; ++i)
                client->volumeUp(1);
            while (sim.volume() != 20 + burst && Clock::now() - start < std::chrono::seconds(10))
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            const double ms =
                std::chrono::duration<double, std::milli>(Clock::now() - start).count();
            std::printf("%-6d %-9zu %.1f\n", burst, sim.commands().size(), ms);
        }
    }
    UrlSession::abortAll();
    return 0;
}
