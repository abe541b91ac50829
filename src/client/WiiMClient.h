#pragma once

#include "DeviceIdentity.h"
#include "DeviceInputs.h"
#include "PlayerStatus.h"
#include "UrlSession.h"

#include <QString>
#include <QUrl>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace knobly {

// The channel to one device. Commands return at once; callbacks run on the session's
// background thread (or at once on the caller's thread when no URL can be formed).
// Make clients with std::make_shared: completions hold them weakly.
class WiiMClient : public std::enable_shared_from_this<WiiMClient> {
public:
    using DoneCallback = std::function<void(bool)>;
    using StatusCallback =
        std::function<void(std::optional<std::int64_t> volume, std::optional<bool> muted,
                           std::optional<QString> nowPlaying)>;
    using PlayerStatusCallback = std::function<void(std::optional<PlayerStatus>)>;

    static constexpr double requestTimeoutSeconds = 3.0;

    explicit WiiMClient(const QString &ipAddress);
    WiiMClient(const WiiMClient &) = delete;
    WiiMClient &operator=(const WiiMClient &) = delete;

    QString ipAddress() const;
    std::int64_t currentVolume() const { return currentVolume_.load(); }
    void setCurrentVolume(std::int64_t volume) { currentVolume_.store(volume); }
    bool isMuted() const { return isMuted_.load(); }
    void setIsMuted(bool muted) { isMuted_.store(muted); }
    bool isPlaying() const { return isPlaying_.load(); }
    void setIsPlaying(bool playing) { isPlaying_.store(playing); }
    QString nowPlaying() const;
    void setNowPlaying(const QString &line);

    void fetchStatus(StatusCallback completion);
    // The same query, reporting the whole decoded answer (nothing on any failure).
    void fetchPlayerStatus(PlayerStatusCallback completion);

    // At most one volume command is in flight: a change made meanwhile waits, and only the
    // latest waiting one is sent when the device answers (its completions all run then).
    void setVolume(std::int64_t volume, DoneCallback completion = {});
    // The highest volume any command may set (1-100, 100 unless told).
    void setVolumeLimit(std::int64_t limit);
    std::int64_t volumeLimit() const { return volumeLimit_.load(); }
    void volumeUp(std::int64_t step = 3);
    void volumeDown(std::int64_t step = 3);
    void toggleMute(DoneCallback completion = {});
    void playPause(DoneCallback completion = {});
    void nextTrack(DoneCallback completion = {});
    void prevTrack(DoneCallback completion = {});
    // Plain play, pause and stop, for callers that know which they want.
    void play(DoneCallback completion = {});
    void pause(DoneCallback completion = {});
    void stop(DoneCallback completion = {});
    // Inputs and presets.
    void switchInput(const QString &mode, DoneCallback completion = {});
    void playPreset(int number, DoneCallback completion = {});
    void fetchPresets(std::function<void(std::optional<std::vector<DevicePreset>>)> completion);
    void fetchIdentity(std::function<void(std::optional<DeviceIdentity>)> completion);
    // The playing track's album art, where the device knows it; nothing on any failure.
    void fetchAlbumArt(std::function<void(std::optional<QUrl>)> completion);
    // The last status answer in full; nothing before the first.
    std::optional<PlayerStatus> lastStatus() const;

    // "https://" + address + "/httpapi.asp?command=" + command, or nothing when the address
    // is not a plain host (with an optional port) that can stand in a URL.
    static std::optional<QUrl> requestUrl(const QString &address, const QString &command);

    const std::shared_ptr<UrlSession> &session() const { return session_; }

private:
    void sendCommand(const QString &command, DoneCallback completion);
    void sendVolume(std::int64_t volume, std::vector<DoneCallback> completions);
    template <typename T>
    void query(const QString &command, std::optional<T> (*decode)(const QByteArray &body),
               std::function<void(std::optional<T>)> completion);
    // A field changed from here: changes sent, and their answers still awaited. A status
    // answer sets the field only when nothing was sent after it was asked and none is awaited.
    struct Intent {
        std::uint64_t sent = 0;
        int awaited = 0;
    };
    struct Asked {
        std::uint64_t volume, muted, playing;
    };
    // Shows `value` (the opposite of what is shown, when none) at once and sends the command
    // for it; taken back if the device does not carry it out and nothing changed it since.
    void sendChange(std::atomic<bool> WiiMClient::*flag, Intent WiiMClient::*intent,
                    std::optional<bool> value, const QString &whenOn, const QString &whenOff,
                    DoneCallback completion);
    void applyStatus(const PlayerStatus &status, const Asked &asked);

    const std::shared_ptr<UrlSession> session_;
    const QString ipAddress_;      // fixed: another address is another client
    mutable std::mutex textMutex_; // guards the text fields and the last status
    QString nowPlaying_;
    std::optional<PlayerStatus> lastStatus_;
    std::atomic<std::int64_t> currentVolume_{50};
    std::atomic<bool> isMuted_{false};
    std::atomic<bool> isPlaying_{false};
    std::atomic<std::int64_t> volumeLimit_{100};
    std::mutex intentMutex_; // guards the intents, and the fields' writes that go with them
    Intent volumeIntent_, muteIntent_, playIntent_;
    std::mutex volumeMutex_; // guards the three below
    bool volumeInFlight_ = false;
    std::optional<std::int64_t> waitingVolume_;
    std::vector<DoneCallback> waitingCompletions_;
};

} // namespace knobly
