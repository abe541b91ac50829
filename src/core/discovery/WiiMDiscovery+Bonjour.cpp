// Bonjour: every service found is resolved, then recorded at once when it names the brand,
// or handed to the identity probe.
#include "DiscoveryParsing.h"
#include "WiiMDiscovery.h"

namespace knobly {

void WiiMDiscovery::serviceFound(const std::shared_ptr<BonjourService> &service) {
    // The list owns the service, which keeps it alive while it resolves.
    discoveredServices_.push_back(service);
    const std::weak_ptr<WiiMDiscovery> weakSelf = weak_from_this();
    const std::weak_ptr<BonjourService> weakService = service;
    service->resolve(
        5.0,
        [weakSelf, weakService] {
            auto self = weakSelf.lock();
            auto resolved = weakService.lock();
            if (self && resolved)
                self->serviceResolved(*resolved);
        },
        [] {});
}

void WiiMDiscovery::serviceResolved(BonjourService &service) {
    const auto addresses = service.addresses();
    if (!addresses)
        return;
    const ServiceClassification c =
        classifyService(service.name(), service.type(), service.txtRecord());
    for (const QHostAddress &address : *addresses) {
        if (address.protocol() != QAbstractSocket::IPv4Protocol)
            continue;
        const QString ip = address.toString();
        if (c.recognised) {
            addOrUpdateDevice(WiiMDevice{c.name, ip, 443, c.model, true, c.source, {}, {}});
        } else if (!probedIPs_.contains(ip)) {
            probedIPs_.insert(ip);
            probeDevice(c.name, ip, c.model, c.source);
        }
        return;
    }
}

} // namespace knobly
