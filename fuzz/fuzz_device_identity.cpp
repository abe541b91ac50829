// getStatusEx bodies: who the device says it is, and the record the probe makes of it.
#include "DeviceIdentity.h"
#include "DiscoveryParsing.h"
#include "FuzzCheck.h"
#include "PlayerStatus.h"

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const QByteArray body(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));

    const auto identity = knobly::decodeDeviceIdentity(body);
    FUZZ_CHECK(identity.has_value() == knobly::jsonObjectFrom(body).has_value());
    const bool wiim = identity && identity->isWiiM();

    const QString name = QStringLiteral("Living Room");
    const QString ip = QStringLiteral("192.168.1.108");
    const QString model = QStringLiteral("WiiM Pro");
    const auto device =
        knobly::probedDevice(identity, name, ip, model, knobly::DiscoverySource::airplay);
    FUZZ_CHECK(device.has_value() == wiim);
    if (device) {
        FUZZ_CHECK(device->ip == ip);
        FUZZ_CHECK(device->port == 443);
        FUZZ_CHECK(device->isConfirmedWiiM);
        FUZZ_CHECK(device->source == knobly::DiscoverySource::airplay);
        FUZZ_CHECK(!device->name.isEmpty());
        FUZZ_CHECK(!device->model.isEmpty());
    }
    return 0;
}
