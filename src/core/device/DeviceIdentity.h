#pragma once

#include <QByteArray>
#include <QString>

#include <functional>
#include <optional>

namespace knobly {

// The members of a getStatusEx answer that tell who a device is. Members that are missing
// or not text read as empty.
struct DeviceIdentity {
    QString firmware;
    QString project;
    QString ssid;
    QString uuid;       // stays the same when the device moves to another address
    QString deviceName; // the name the user gave it
    // In a group: whether it follows a leader, and which ("master_ip" and "master_uuid" stay
    // after it leaves, so they count only while it follows).
    bool following = false;
    QString leaderIp;
    QString leaderUuid;

    // The brand shows in "linkplay" firmware, or in a "wiim" project or hotspot name.
    bool isWiiM() const;
};

// Nothing when the body is not a JSON object.
std::optional<DeviceIdentity> decodeDeviceIdentity(const QByteArray &body);

// Asks the device at `host` for getStatusEx on a session of its own (any certificate,
// `timeoutSeconds` without data). `done` runs on that session's thread, with nothing when
// the request failed or the answer is not a JSON object.
void requestDeviceIdentity(const QString &host, double timeoutSeconds,
                           std::function<void(std::optional<DeviceIdentity>)> done);

} // namespace knobly
