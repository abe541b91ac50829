#include "DeviceIdentity.h"

#include "PlayerStatus.h"
#include "TrustLocalCerts.h"
#include "WiiMClient.h"

namespace knobly {

bool DeviceIdentity::isWiiM() const {
    return firmware.toLower().contains(QLatin1String("linkplay")) ||
           project.toLower().contains(QLatin1String("wiim")) ||
           ssid.toLower().contains(QLatin1String("wiim"));
}

std::optional<DeviceIdentity> decodeDeviceIdentity(const QByteArray &body) {
    const auto json = jsonObjectFrom(body);
    if (!json)
        return std::nullopt;
    // toString() gives the empty text for every non-text member.
    DeviceIdentity identity;
    identity.firmware = json->value(QLatin1String("firmware")).toString();
    identity.project = json->value(QLatin1String("project")).toString();
    identity.ssid = json->value(QLatin1String("ssid")).toString();
    identity.uuid = json->value(QLatin1String("uuid")).toString();
    identity.deviceName = json->value(QLatin1String("DeviceName")).toString();
    identity.following = json->value(QLatin1String("group")).toString() == QLatin1String("1");
    if (identity.following) {
        identity.leaderIp = json->value(QLatin1String("master_ip")).toString();
        identity.leaderUuid = json->value(QLatin1String("master_uuid")).toString();
    }
    return identity;
}

void requestDeviceIdentity(const QString &host, double timeoutSeconds,
                           std::function<void(std::optional<DeviceIdentity>)> done) {
    const auto url = WiiMClient::requestUrl(host, QStringLiteral("getStatusEx"));
    if (!url) {
        done(std::nullopt);
        return;
    }
    UrlSessionConfig config;
    config.transferTimeoutSeconds = timeoutSeconds;
    // The whole probe, too: a host that drips its answer a byte at a time never idles that long.
    config.totalTimeoutSeconds = timeoutSeconds;
    // A session for this one request; it lives until the request completes.
    const auto session = UrlSession::createForDevice(config, std::make_shared<TrustLocalCerts>());
    session->get(*url, [done = std::move(done)](const UrlResponse &response) {
        done(response.isOk() ? decodeDeviceIdentity(response.body) : std::nullopt);
    });
}

} // namespace knobly
