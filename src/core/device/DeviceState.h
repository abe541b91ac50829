#pragma once

#include <QString>

#include <cstdint>
#include <optional>

namespace knobly {

// What is known of one device, as every surface shows it: the panel item, the menu, the
// feedback, the desktop's media controls and knoblyctl read this and nothing else.
struct DeviceState {
    std::optional<bool> reachable; // nothing before the first status answer
    std::int64_t volume = 50;      // 0-100
    bool volumeKnown = false;      // said by the device or set by the user, not the default
    bool muted = false;
    bool playing = false;
    QString nowPlaying; // "Artist — Title", or either alone; empty when nothing plays
    // The same track in parts, and the device's own word for what it is doing ("play",
    // "pause", "stop", "load", "none"; empty when it said nothing usable).
    QString transport;
    QString title, artist, album;
    std::optional<std::int64_t> lengthMs, positionMs;
    std::optional<std::int64_t> input; // the mode playing: an input, or a kind of streaming

    bool operator==(const DeviceState &) const = default;

    // Nothing loaded, or stopped: no track to show.
    bool isStopped() const {
        return !playing && (transport.isEmpty() || transport == QLatin1String("stop") ||
                            transport == QLatin1String("none"));
    }
};

// A track field as people should see it: devices fill idle or missing fields with "unknow".
inline QString shownText(const QString &text) {
    if (text.compare(QLatin1String("unknow"), Qt::CaseInsensitive) == 0 ||
        text == QLatin1String("Unknown"))
        return QString();
    return text.trimmed();
}

} // namespace knobly
