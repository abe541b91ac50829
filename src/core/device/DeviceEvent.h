#pragma once

#include <QString>
#include <QUrl>

#include <cstdint>
#include <optional>

namespace knobly {

// What the device said changed, unasked; only what it said is set.
struct DeviceEvent {
    struct Track {
        QString title, artist, album;
        QUrl art;
        bool operator==(const Track &) const = default;
    };
    std::optional<std::int64_t> volume; // 0-100
    std::optional<bool> muted;
    // Our word for what it is doing ("play", "pause", "stop", "load", "none").
    std::optional<QString> transport;
    std::optional<Track> track; // an empty one: nothing loaded

    bool isEmpty() const { return !volume && !muted && !transport && !track; }
    bool operator==(const DeviceEvent &) const = default;
};

} // namespace knobly
