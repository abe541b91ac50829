#pragma once

// The controller on virtual time with everything but the device faked: a recording panel
// item, scripted Bonjour, and an SSDP search sent to a loopback port where nobody answers.
// Settings start empty. Each test brings its own simulated device.
#include "AppDelegate.h"
#include "DeviceSimulator.h"
#include "FakeMainQueue.h"
#include "RecordingStatusItem.h"
#include "ScriptedBonjour.h"
#include "UrlSession.h"
#include "WiiMDiscovery.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QUdpSocket>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>

namespace knobly::test {

inline std::size_t statusQueries(const devicesim::DeviceSimulator &sim) {
    const auto c = sim.commands();
    return static_cast<std::size_t>(std::count(c.begin(), c.end(), "getPlayerStatus"));
}

class ControllerFixture : public ::testing::Test {
protected:
    void SetUp() override {
        silent.bind(QHostAddress::LocalHost, 0);
        QDir(QFileInfo(QSettings("Knobly", "Knobly").fileName()).path()).removeRecursively();
        queue = std::make_shared<FakeMainQueue>();
        MainQueue::install(queue);
    }
    void TearDown() override {
        delegate.reset();
        UrlSession::abortAll();
        MainQueue::install(nullptr);
    }

    // Nothing is ever typed or agreed to; the identity probe goes to `probePort`.
    AppDelegate::Environment quietEnvironment(quint16 probePort) {
        AppDelegate::Environment env;
        env.makeStatusItem = [this](StatusItem::Callbacks callbacks) {
            return std::make_unique<RecordingStatusItem>(std::move(callbacks), tray);
        };
        env.makeDiscovery = [this, probePort] {
            WiiMDiscovery::Options o;
            o.probePort = probePort;
            o.ssdpAddress = QStringLiteral("127.0.0.1");
            o.ssdpPort = silent.localPort();
            o.makeBrowser = [this] { return bonjour.makeBrowser(); };
            return std::make_shared<WiiMDiscovery>(o);
        };
        env.askForAddress = [](const QString &) { return std::optional<QString>(); };
        env.warn = [](const QString &, const QString &, const QString &) { return false; };
        env.openShortcutSettings = [] {};
        env.probePort = probePort;
        return env;
    }

    // The device most cases talk to: playing, at volume 35.
    static void startPlayingDevice(devicesim::DeviceSimulator &sim) {
        ASSERT_TRUE(sim.start());
        sim.setVolume(35);
        sim.setStatus("play");
    }

    void launchWith(AppDelegate::Environment env) {
        delegate = std::make_unique<AppDelegate>(std::move(env));
        delegate->applicationDidFinishLaunching();
    }

    std::size_t inFlight() const {
        return delegate && delegate->wiiMClient()
                   ? delegate->wiiMClient()->session()->requestsInFlight()
                   : 0;
    }

    // Waits (real time, bounded) for `sim` to have answered `n` status queries in all and for
    // the answers to have reached the controller.
    [[nodiscard]] bool settled(const devicesim::DeviceSimulator &sim, std::size_t n) {
        if (!queue->runUntil([&] {
                return statusQueries(sim) >= n && delegate->wiiMClient() && inFlight() == 0;
            }))
            return false;
        queue->runPending();
        return true;
    }

    QUdpSocket silent; // a port on loopback where nobody answers the SSDP search
    ScriptedBonjour bonjour;
    std::shared_ptr<FakeMainQueue> queue;
    std::shared_ptr<RecordingStatusItem::Shared> tray =
        std::make_shared<RecordingStatusItem::Shared>();
    std::unique_ptr<AppDelegate> delegate;
};

} // namespace knobly::test
