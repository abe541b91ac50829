#pragma once

#include <QString>
#include <QUrl>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace knobly {

// The desktop's own media controls (media keys routed by the desktop, its media widgets,
// phone remotes) showing and driving the device. Main thread only.
class MediaControls {
public:
    enum class Playback { stopped, playing, paused };

    struct State {
        QString identity; // the device's display name
        bool reachable = false;
        Playback playback = Playback::stopped;
        // Empty values are left out by the desktop side.
        QString title, artist, album;
        std::optional<std::int64_t> lengthUs;
        std::int64_t positionUs = 0;
        QUrl artUrl;
        double volume = 0; // 0.0 - 1.0

        bool operator==(const State &) const = default;
    };

    struct Commands {
        std::function<void()> playPause, play, pause, stop, next, previous;
        // Quitting the program; the desktop offers it only when set.
        std::function<void()> quit;
        // Always finite and within 0.0 - 1.0.
        std::function<void(double)> setVolume;
    };

    virtual ~MediaControls() = default;
    virtual void setState(const State &state) = 0;

    // The platform's, chosen at link time; nothing when the desktop offers none.
    static std::unique_ptr<MediaControls> create(Commands commands);
};

} // namespace knobly
