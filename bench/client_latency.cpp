// Sequential status queries from one WiiMClient to the simulator on loopback, beside
// `curl -sk` fetching the same URL, so the client's overhead (and its connection reuse)
// shows as figures.
#include "DeviceSimulator.h"
#include "Figures.h"
#include "WiiMClient.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QProcess>
#include <QStandardPaths>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <optional>
#include <vector>

using namespace knobly;
using Clock = std::chrono::steady_clock;

namespace {

// CPU time of this thread (the client's; the simulator serves on a thread of its own).
double threadCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

double since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    int n = 200;
    if (argc > 1)
        n = std::max(1, std::atoi(argv[1]));

    devicesim::DeviceSimulator sim;
    QString error;
    if (!sim.start(&error)) {
        std::fprintf(stderr, "client_latency: simulator did not start: %s\n", qPrintable(error));
        return 1;
    }

    auto client = std::make_shared<WiiMClient>(sim.address());
    std::vector<double> clientMs;
    double cpuMs = 0;
    int failures = 0;
    for (int i = 0; i < n + 1; ++i) {
        std::optional<bool> answered;
        const auto start = Clock::now();
        const double cpuStart = threadCpuMs();
        client->fetchStatus(
            [&answered](auto volume, auto, auto) { answered = volume.has_value(); });
        while (!answered)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        const bool ok = *answered;
        if (i == 0)
            continue; // the first query pays for the TLS handshake; reported separately
        clientMs.push_back(since(start));
        cpuMs += threadCpuMs() - cpuStart;
        failures += ok ? 0 : 1;
    }
    const int clientHandshakes = sim.tlsHandshakes();

    const QString curl = QStandardPaths::findExecutable(QStringLiteral("curl"));
    std::vector<double> curlMs;
    if (!curl.isEmpty()) {
        const QString url =
            QStringLiteral("https://%1/httpapi.asp?command=getPlayerStatus").arg(sim.address());
        for (int i = 0; i < n; ++i) {
            QProcess p;
            const auto start = Clock::now();
            p.start(curl, {QStringLiteral("-sk"), QStringLiteral("-o"), QStringLiteral("/dev/null"),
                           url});
            p.waitForFinished(10000);
            curlMs.push_back(since(start));
        }
    }
    const int curlHandshakes = sim.tlsHandshakes() - clientHandshakes;

    const Figures c = summarise(clientMs);
    std::printf("client_latency: %d sequential getPlayerStatus queries on loopback\n", n);
    std::printf("  WiiMClient : median %7.3f ms  p99 %7.3f ms  failures %d  TLS handshakes %d\n",
                c.median, c.p99, failures, clientHandshakes);
    std::printf("               CPU of the client's thread: %.3f ms a query\n", cpuMs / n);
    if (curl.isEmpty()) {
        std::printf("  curl -sk   : not installed\n");
        return 0;
    }
    const Figures k = summarise(curlMs);
    std::printf("  curl -sk   : median %7.3f ms  p99 %7.3f ms  TLS handshakes %d (one per run)\n",
                k.median, k.p99, curlHandshakes);
    std::printf("  ratio curl/client: median %.1fx  p99 %.1fx\n", k.median / c.median,
                k.p99 / c.p99);
    return 0;
}
