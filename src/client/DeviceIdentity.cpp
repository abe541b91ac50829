#include "DeviceIdentity.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace knobly {

bool DeviceIdentity::isWiiM() const {
    return firmware.toLower().contains(QLatin1String("linkplay")) ||
           project.toLower().contains(QLatin1String("wiim")) ||
           ssid.toLower().contains(QLatin1String("wiim"));
}

std::optional<DeviceIdentity> decodeDeviceIdentity(const QByteArray &body) {
    if (body.isEmpty())
        return std::nullopt;
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return std::nullopt;
    const QJsonObject json = doc.object();
    // toString() gives the empty text for every non-text member.
    return DeviceIdentity{json.value(QLatin1String("firmware")).toString(),
                          json.value(QLatin1String("project")).toString(),
                          json.value(QLatin1String("ssid")).toString()};
}

} // namespace knobly
