#pragma once

#include <QString>
#include <QUrl>

#include <cstdint>
#include <optional>

namespace knobly {

// Which search found a device. The values are the precedence: lower wins.
enum class DiscoverySource : int {
    airplay = 0,
    chromecast = 1,
    ssdp = 2,
    linkplay = 3,
};

QString discoverySourceName(DiscoverySource source);

// One discovered device; the registry keys records by `ip`.
struct WiiMDevice {
    QString name;
    QString ip;
    std::int64_t port = 443;
    QString model;
    bool isConfirmedWiiM = true;
    DiscoverySource source = DiscoverySource::ssdp;
    QString uuid;     // from the device's own answer, when it was asked
    QUrl description; // its UPnP description, where an SSDP answer said
};

} // namespace knobly
