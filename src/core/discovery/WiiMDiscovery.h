#pragma once

#include "BonjourBrowser.h"
#include "WiiMDevice.h"

#include <QHash>
#include <QUrl>

#include <QSet>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QUdpSocket;

namespace knobly {

// Finds WiiM devices: Bonjour browsing for AirPlay and Google Cast, one SSDP search, and an
// HTTPS identity probe for candidates that do not name the brand. Reports the merged list
// on the main thread after every change and once at 4.0 s. Main thread only; create with
// std::make_shared (deferred steps and probes hold it weakly).
class WiiMDiscovery : public std::enable_shared_from_this<WiiMDiscovery> {
public:
    using Listener = std::function<void(const std::vector<WiiMDevice> &devices)>;
    using BrowserFactory = std::function<std::unique_ptr<BonjourBrowser>()>;

    struct Options {
        // Where the search goes; tests aim it at a responder on loopback.
        QString ssdpAddress = QStringLiteral("239.255.255.250");
        quint16 ssdpPort = 1900;
        BrowserFactory makeBrowser = &BonjourBrowser::create;
        double probeTimeoutSeconds = 2.0;
        // Devices answer on 443; tests point probes at a simulator's port instead.
        std::optional<quint16> probePort;
        double ssdpReceiveTimeoutSeconds = 2.0;
    };

    WiiMDiscovery();
    explicit WiiMDiscovery(Options options);
    ~WiiMDiscovery();
    WiiMDiscovery(const WiiMDiscovery &) = delete;
    WiiMDiscovery &operator=(const WiiMDiscovery &) = delete;

    void startDiscovery(Listener onUpdate);
    void stopDiscovery();

    const std::vector<WiiMDevice> &resolvedDevices() const { return resolvedDevices_; }
    const QSet<QString> &probedIPs() const { return probedIPs_; }
    bool isSearchingSsdp() const { return ssdpSocket_ != nullptr; }

private:
    void startSSDPDiscovery();
    void stopSSDPDiscovery();
    void armSsdpWindow();
    void readSsdpAnswers();
    void ssdpCandidate(const QString &ip, const QString &fallbackName);

    void serviceFound(const std::shared_ptr<BonjourService> &service);
    void serviceResolved(BonjourService &service);

    void probeDevice(const QString &name, const QString &ip, const QString &model,
                     DiscoverySource source);
    void addOrUpdateDevice(const WiiMDevice &device);

    Options options_;
    std::unique_ptr<BonjourBrowser> airplayBrowser_;
    std::unique_ptr<BonjourBrowser> castBrowser_;
    std::unique_ptr<BonjourBrowser> linkplayBrowser_;
    std::vector<std::shared_ptr<BonjourService>> discoveredServices_;
    std::vector<WiiMDevice> resolvedDevices_;
    QSet<QString> probedIPs_;
    QHash<QString, QUrl> ssdpLocations_; // by address: where SSDP answers put the description
    Listener onUpdate_;
    std::unique_ptr<QUdpSocket> ssdpSocket_;
    std::uint64_t ssdpWindow_ = 0;
};

} // namespace knobly
