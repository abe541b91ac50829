// The identity probe: ask a candidate for getStatusEx and look for the brand in the answer.
#include "DiscoveryParsing.h"
#include "MainQueue.h"
#include "WiiMDiscovery.h"

namespace knobly {

void WiiMDiscovery::probeDevice(const QString &name, const QString &ip, const QString &model,
                                DiscoverySource source) {
    const QString host =
        options_.probePort ? ip + QLatin1Char(':') + QString::number(*options_.probePort) : ip;
    requestDeviceIdentity(host, options_.probeTimeoutSeconds,
                          [weak = weak_from_this(), name, ip, model, source](auto identity) {
                              const auto device = probedDevice(identity, name, ip, model, source);
                              if (!device)
                                  return;
                              if (auto self = weak.lock())
                                  self->addOrUpdateDevice(*device);
                          });
}

} // namespace knobly
