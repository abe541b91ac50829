#include "WiiMDevice.h"

namespace knobly {

std::optional<DiscoverySource> discoverySourceFromRaw(int raw) {
    switch (raw) {
    case 0:
        return DiscoverySource::airplay;
    case 1:
        return DiscoverySource::chromecast;
    case 2:
        return DiscoverySource::ssdp;
    case 3:
        return DiscoverySource::linkplay;
    default:
        return std::nullopt;
    }
}

QString discoverySourceName(DiscoverySource source) {
    switch (source) {
    case DiscoverySource::airplay:
        return QStringLiteral("airplay");
    case DiscoverySource::chromecast:
        return QStringLiteral("chromecast");
    case DiscoverySource::linkplay:
        return QStringLiteral("linkplay");
    case DiscoverySource::ssdp:
        break;
    }
    return QStringLiteral("ssdp");
}

} // namespace knobly
