#pragma once

// The controller on virtual time with all but the device faked: a recording panel item, scripted
// Bonjour, a key tap, dialogs that answer as told, and SSDP sent where nobody answers.
#include "AppDelegate.h"
#include "DeviceSimulator.h"
#include "FakeKeyTap.h"
#include "FakeMainQueue.h"
#include "RecordingStatusItem.h"
#include "ScriptedBonjour.h"
#include "Settings.h"
#include "UrlSession.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QUdpSocket>

#include <gtest/gtest.h>

namespace knobly::test {

class ControllerFixture : public ::testing::Test {
protected:
    void SetUp() override {
        silent.bind(QHostAddress::LocalHost, 0);
        QDir(QFileInfo(QSettings("Knobly", "Knobly").fileName()).path()).removeRecursively();
        MainQueue::install(queue);
        ASSERT_TRUE(sim.start()); // at volume 35, playing
    }
    void TearDown() override {
        delegate.reset();
        UrlSession::abortAll();
        MainQueue::install(nullptr);
    }

    void launch() {
        AppDelegate::Environment env;
        env.makeStatusItem = [this](StatusItem::Callbacks callbacks) {
            return std::make_unique<RecordingStatusItem>(std::move(callbacks), tray);
        };
        env.makeDiscovery = [this] {
            ++discoveries;
            return std::make_shared<WiiMDiscovery>(
                WiiMDiscovery::Options{.ssdpAddress = "127.0.0.1",
                                       .ssdpPort = silent.localPort(),
                                       .makeBrowser = [this] { return bonjour.makeBrowser(); },
                                       .probePort = devicePort()});
        };
        env.askForAddress = [this](const QString &) { return typed; };
        env.makeKeyTap = [this] { return std::make_unique<FakeKeyTap>(keys); };
        env.warn = [this](const QString &title, const QString &, const QString &) {
            prompts << title;
            return choose;
        };
        env.openShortcutSettings = [this] { ++settingsOpened; };
        env.sayNoPanel = [this] { ++noPanelWords; };
        env.probePort = devicePort();
        if (withEvents)
            env.makeEvents = [this](const QString &address, const QUrl &,
                                    DeviceEvents::Callbacks callbacks) {
                return DeviceEvents::create(
                    address, descriptionFor ? descriptionFor(address) : sim.upnpDescription(),
                    std::move(callbacks));
            };
        delegate = std::make_unique<AppDelegate>(std::move(env));
        delegate->applicationDidFinishLaunching();
    }
    // With `sim` saved; returns once its connect answer and first poll are in.
    void launchSaved(const QString &name = "Kitchen") {
        Settings::setIp(sim.address());
        Settings::setDeviceName(name);
        launch();
        settle(2);
    }

    std::size_t inFlight() { // noting the most seen
        const auto &client = delegate->wiiMClient();
        const std::size_t n = client ? client->session()->requestsInFlight() : 0;
        peakInFlight = std::max(peakInFlight, n);
        return n;
    }
    static std::size_t statusQueries(const devicesim::DeviceSimulator &d) {
        const auto c = d.commands();
        return static_cast<std::size_t>(std::count(c.begin(), c.end(), "getPlayerStatus"));
    }
    // Waits (real time, bounded) until `d` (else `sim`) answered `n` status queries in all and
    // the answers reached the controller.
    void settle(std::size_t n, const devicesim::DeviceSimulator *d = nullptr) {
        ASSERT_TRUE(queue->runUntil([&] {
            return statusQueries(d ? *d : sim) >= n && delegate->wiiMClient() && inFlight() == 0;
        }));
        queue->runPending();
    }
    // One poll: 5 s of virtual time, then its requests end (a hung one by its timeout).
    void poll() {
        queue->advance(5.0);
        ASSERT_TRUE(queue->runUntil([&] { return inFlight() == 0; }, std::chrono::seconds(25)));
        queue->runPending();
    }

    QString title() const { return delegate->statusMenuItem()->text(); }

    // Also a UPnP renderer; its events are followed when a test asks.
    static devicesim::DeviceSimulator::Options renderer() {
        devicesim::DeviceSimulator::Options o;
        o.upnpPort = 0;
        return o;
    }
    devicesim::DeviceSimulator sim{renderer()};
    bool withEvents = false;
    std::function<QUrl(const QString &address)> descriptionFor; // the sim's for any, unless set
    std::optional<quint16> probePort; // where found devices answer: the simulator's unless set
    quint16 devicePort() const { return probePort.value_or(sim.port()); }
    QUdpSocket silent;
    ScriptedBonjour bonjour;
    std::shared_ptr<FakeMainQueue> queue = std::make_shared<FakeMainQueue>();
    std::shared_ptr<RecordingStatusItem::Shared> tray{new RecordingStatusItem::Shared};
    std::shared_ptr<FakeKeyTap::Shared> keys = std::make_shared<FakeKeyTap::Shared>();
    std::unique_ptr<AppDelegate> delegate;
    std::optional<QString> typed; // what the address dialog returns
    QStringList prompts;          // warning titles
    bool choose = false;          // whether a warning's action is chosen
    int discoveries = 0, settingsOpened = 0, noPanelWords = 0;
    std::size_t peakInFlight = 0;
};

} // namespace knobly::test
