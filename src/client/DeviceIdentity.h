#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace knobly {

// The members of a getStatusEx answer that tell who a device is. Members that are missing
// or not text read as empty.
struct DeviceIdentity {
    QString firmware;
    QString project;
    QString ssid;

    // The brand shows in "linkplay" firmware, or in a "wiim" project or hotspot name.
    bool isWiiM() const;
};

// Nothing when the body is not a JSON object.
std::optional<DeviceIdentity> decodeDeviceIdentity(const QByteArray &body);

} // namespace knobly
