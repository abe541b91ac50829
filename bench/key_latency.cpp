// Media key to wire, in one process: keys pressed through XTEST on a second X connection go
// the X server's way through the real X11 tap and the interceptor to a WiiMClient, and the
// simulator notes when each volume command arrives. Also times the native event filter the key
// passes through (tap, decision and the client call), from a filter wrapped around it.
#include "DeviceSimulator.h"
#include "Figures.h"
#include "MediaKeyInterceptor.h"
#include "WiiMClient.h"

#include <QAbstractEventDispatcher>
#include <QAbstractNativeEventFilter>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QTimer>

#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <vector>

using namespace knobly;
using Clock = std::chrono::steady_clock;

namespace {

constexpr xcb_keysym_t kRaiseVolume = 0x1008FF13;
constexpr xcb_keysym_t kLowerVolume = 0x1008FF11;

// Installed after the tap's, so Qt asks it first; it hands each key event on to the rest of
// the chain itself, timing the lot.
class TimingFilter : public QAbstractNativeEventFilter {
public:
    std::vector<double> micros;

    bool nativeEventFilter(const QByteArray &type, void *message, qintptr *result) override {
        if (inside_ || type != "xcb_generic_event_t")
            return false;
        const auto kind = static_cast<xcb_generic_event_t *>(message)->response_type & ~0x80;
        if (kind != XCB_KEY_PRESS && kind != XCB_KEY_RELEASE)
            return false;
        inside_ = true;
        const auto start = Clock::now();
        const bool taken =
            QAbstractEventDispatcher::instance()->filterNativeEvent(type, message, result);
        const auto end = Clock::now();
        inside_ = false;
        if (kind == XCB_KEY_PRESS)
            micros.push_back(std::chrono::duration<double, std::micro>(end - start).count());
        return taken;
    }

private:
    bool inside_ = false;
};

bool waitUntil(const std::function<bool()> &done, int guardMs = 5000) {
    QElapsedTimer clock;
    clock.start();
    QTimer tick; // the simulator's log announces nothing to this loop
    tick.start(1);
    while (!done() && clock.elapsed() < guardMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    return done();
}

std::size_t volumeCommands(const devicesim::DeviceSimulator &sim,
                           std::vector<Clock::time_point> *times = nullptr) {
    std::size_t n = 0;
    for (const auto &r : sim.requests()) {
        if (!r.command.startsWith(QLatin1String("setPlayerCmd:vol:")))
            continue;
        ++n;
        if (times)
            times->push_back(r.time);
    }
    return n;
}

} // namespace

int main(int argc, char *argv[]) {
    if (!std::getenv("DISPLAY")) {
        std::fprintf(stderr, "key_latency: no DISPLAY; run through bench/key_latency.sh\n");
        return 1;
    }
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    QGuiApplication app(argc, argv);
    int n = 200;
    if (argc > 1)
        n = std::max(1, std::atoi(argv[1]));

    devicesim::DeviceSimulator sim;
    QString error;
    if (!sim.start(&error)) {
        std::fprintf(stderr, "key_latency: simulator did not start: %s\n", qPrintable(error));
        return 1;
    }
    sim.setVolume(50);
    auto client = std::make_shared<WiiMClient>(sim.address());
    {
        std::promise<bool> answered; // warm: the TLS handshake is paid here
        client->fetchStatus(
            [&answered](auto volume, auto, auto) { answered.set_value(volume.has_value()); });
        if (!answered.get_future().get()) {
            std::fprintf(stderr, "key_latency: no status from the simulator\n");
            return 1;
        }
    }

    MediaKeyInterceptor keys(KeyTap::create());
    keys.onVolumeUp = [&] { client->volumeUp(1); };
    keys.onVolumeDown = [&] { client->volumeDown(1); };
    if (!keys.start()) {
        std::fprintf(stderr, "key_latency: the media keys could not be grabbed\n");
        return 1;
    }
    TimingFilter timing;
    app.installNativeEventFilter(&timing);

    xcb_connection_t *c = xcb_connect(nullptr, nullptr);
    xcb_key_symbols_t *symbols = c ? xcb_key_symbols_alloc(c) : nullptr;
    if (xcb_connection_has_error(c) || !symbols) {
        std::fprintf(stderr, "key_latency: no second X connection\n");
        return 1;
    }
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    auto keycodeOf = [&](xcb_keysym_t keysym) {
        xcb_keycode_t *codes = xcb_key_symbols_get_keycode(symbols, keysym);
        const xcb_keycode_t code = codes ? codes[0] : 0;
        std::free(codes);
        return code;
    };
    const xcb_keycode_t up = keycodeOf(kRaiseVolume);
    const xcb_keycode_t down = keycodeOf(kLowerVolume);

    std::vector<Clock::time_point> sent;
    int lost = 0;
    for (int i = 0; i < n; ++i) {
        // Up and down in turn, so the volume stays inside 0..100.
        const xcb_keycode_t key = i % 2 ? down : up;
        const std::size_t before = volumeCommands(sim);
        xcb_test_fake_input(c, XCB_KEY_PRESS, key, XCB_CURRENT_TIME, root, 0, 0, 0);
        xcb_test_fake_input(c, XCB_KEY_RELEASE, key, XCB_CURRENT_TIME, root, 0, 0, 0);
        xcb_flush(c);
        sent.push_back(Clock::now());
        if (!waitUntil([&] { return volumeCommands(sim) > before; })) {
            ++lost;
            sent.pop_back();
        }
    }

    std::vector<Clock::time_point> arrived;
    volumeCommands(sim, &arrived);
    std::vector<double> wireMs;
    for (std::size_t i = 0; i < std::min(sent.size(), arrived.size()); ++i)
        wireMs.push_back(std::chrono::duration<double, std::milli>(arrived[i] - sent[i]).count());

    const Figures wire = summarise(wireMs);
    const Figures filter = summarise(timing.micros);
    std::printf("key_latency: %d media key presses through XTEST on Xvfb\n", n);
    std::printf("  %-34s median %8.3f ms  p99 %8.3f ms  (%zu matched, %d lost)\n",
                "key sent -> volume command at sim", wire.median, wire.p99, wireMs.size(), lost);
    std::printf("  %-34s median %8.1f us  p99 %8.1f us  (%zu presses)\n",
                "in the native event filter", filter.median, filter.p99, timing.micros.size());

    app.removeNativeEventFilter(&timing);
    keys.stop();
    xcb_key_symbols_free(symbols);
    xcb_disconnect(c);
    sim.stop();
    return lost ? 1 : 0;
}
