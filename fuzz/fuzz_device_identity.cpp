// The device's JSON bodies besides the status: who it says it is (getStatusEx) and the record
// the probe makes of it, its presets (getPresetInfo) and its album art (getMetaInfo).
#include "DeviceIdentity.h"
#include "DeviceInputs.h"
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

    const bool object = knobly::jsonObjectFrom(body).has_value();
    if (const auto presets = knobly::decodePresets(body)) {
        FUZZ_CHECK(object);
        for (const auto &preset : *presets) {
            FUZZ_CHECK(preset.number >= 1 && preset.number <= 99);
            FUZZ_CHECK(!preset.name.isEmpty());
        }
    }
    if (const auto art = knobly::decodeAlbumArt(body)) {
        FUZZ_CHECK(object);
        FUZZ_CHECK(art->scheme() == QLatin1String("http") ||
                   art->scheme() == QLatin1String("https"));
        FUZZ_CHECK(!art->host().isEmpty());
    }
    return 0;
}
