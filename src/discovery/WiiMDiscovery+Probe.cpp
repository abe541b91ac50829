// The identity probe: ask a candidate for getStatusEx and look for the brand in the answer.
#include "DiscoveryParsing.h"
#include "MainQueue.h"
#include "TrustLocalCerts.h"
#include "UrlSession.h"
#include "WiiMClient.h"
#include "WiiMDiscovery.h"

namespace knobly {

void WiiMDiscovery::probeDevice(const QString &name, const QString &ip, const QString &model,
                                DiscoverySource source) {
    const QString host =
        options_.probePort ? ip + QLatin1Char(':') + QString::number(*options_.probePort) : ip;
    const auto url = WiiMClient::requestUrl(host, QStringLiteral("getStatusEx"));
    if (!url)
        return;
    UrlSessionConfig config;
    config.transferTimeoutSeconds = options_.probeTimeoutSeconds;
    // A session of its own, for this one request; it lives until the request completes.
    const auto session = UrlSession::create(config, std::make_shared<TrustLocalCerts>());
    session->get(*url, [weak = weak_from_this(), name, ip, model, source](const UrlResponse &r) {
        if (!r.transportOk)
            return;
        const auto device = probedDevice(r.body, name, ip, model, source);
        if (!device)
            return;
        MainQueue::main().async([weak, device = *device] {
            if (auto self = weak.lock())
                self->addOrUpdateDevice(device);
        });
    });
}

} // namespace knobly
