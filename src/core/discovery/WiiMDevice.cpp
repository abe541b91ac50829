#include "WiiMDevice.h"

namespace knobly {

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
