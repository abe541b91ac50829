// LastChange values from the device's events, and the track metadata they carry.
#include "FuzzCheck.h"
#include "LastChange.h"

#include <QByteArray>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const QByteArray text(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));

    const knobly::DeviceEvent event = knobly::decodeLastChange(text);
    if (event.volume)
        FUZZ_CHECK(*event.volume >= 0 && *event.volume <= 100);
    if (event.transport)
        FUZZ_CHECK(!event.transport->isEmpty());

    if (const auto track = knobly::decodeTrackMetaData(text)) {
        FUZZ_CHECK(track->title.size() <= 1024 && track->artist.size() <= 1024 &&
                   track->album.size() <= 1024);
        FUZZ_CHECK(track->art.isEmpty() || track->art.scheme().startsWith(QLatin1String("http")));
    }
    return 0;
}
