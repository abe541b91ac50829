#pragma once

#include "DeviceEvent.h"
#include "DeviceIdentity.h"
#include "DeviceInputs.h"
#include "DeviceState.h"
#include "Multiroom.h"
#include "PlayerStatus.h"
#include "UrlSession.h"

#include <QObject>
#include <QString>
#include <QUrl>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace knobly {

// The connection to one device, on the main thread: commands return at once and callbacks run
// later from the main loop (or at once when no URL can be formed). It owns the device's state,
// which holds what was asked of the device before its answer comes.
class WiiMClient : public QObject {
    Q_OBJECT
public:
    using DoneCallback = std::function<void(bool)>;
    using StatusCallback =
        std::function<void(std::optional<std::int64_t> volume, std::optional<bool> muted,
                           std::optional<QString> nowPlaying)>;
    using PlayerStatusCallback = std::function<void(std::optional<PlayerStatus>)>;

    static constexpr double requestTimeoutSeconds = 3.0;
    // Volume commands: one in flight, and no closer together than this.
    static constexpr double volumeGapSeconds = 0.1;

    explicit WiiMClient(const QString &ipAddress);

    QString ipAddress() const { return ipAddress_; }
    const DeviceState &state() const { return state_; }
    std::int64_t currentVolume() const { return state_.volume; }
    void setCurrentVolume(std::int64_t volume);
    bool isMuted() const { return state_.muted; }
    void setIsMuted(bool muted);
    bool isPlaying() const { return state_.playing; }
    void setIsPlaying(bool playing);
    QString nowPlaying() const { return state_.nowPlaying; }

    void fetchStatus(StatusCallback completion);
    // The same query, reporting the whole decoded answer (nothing on any failure).
    void fetchPlayerStatus(PlayerStatusCallback completion);

    // One volume command in flight and one per volumeGapSeconds at most: levels asked for
    // meanwhile are merged, the latest sent last (all their completions run with its answer).
    void setVolume(std::int64_t volume, DoneCallback completion = {});
    // The highest volume any command may set (1-100, 100 unless told).
    void setVolumeLimit(std::int64_t limit);
    std::int64_t volumeLimit() const { return volumeLimit_; }
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
    // The sleep timer: the device turns off after `seconds` (none runs after -1).
    void setSleepTimer(std::int64_t seconds, DoneCallback completion = {});
    // The seconds left (0: none runs); nothing on any failure.
    void fetchSleepTimer(std::function<void(std::optional<std::int64_t>)> completion);
    // The playing track's album art, where the device knows it; nothing on any failure.
    void fetchAlbumArt(std::function<void(std::optional<QUrl>)> completion);

    // Multiroom. The followers this device leads and its multiroom version.
    void fetchSlaveList(std::function<void(std::optional<SlaveList>)> completion);
    // Joins the group that the device at `leaderAddress` leads; an empty or unusable address
    // is refused here, and nothing is sent.
    void joinGroup(const QString &leaderAddress, DoneCallback completion = {});
    // On a leader: one follower out, or all of them.
    void removeFromGroup(const QString &memberAddress, DoneCallback completion = {});
    void ungroup(DoneCallback completion = {});
    // On a follower.
    void leaveGroup(DoneCallback completion = {});

    // "https://" + address + "/httpapi.asp?command=" + command, or nothing when the address
    // is not a plain host (with an optional port) that can stand in a URL.
    static std::optional<QUrl> requestUrl(const QString &address, const QString &command);

    // What the device said changed, unasked. What the user asked for and the device has not
    // answered yet stays shown, and so does a later level over an earlier one of ours that an
    // event echoes late.
    void applyEvent(const DeviceEvent &event);
    // While events flow, a poll that finds a change they did not bring counts it.
    void setFollowingEvents(bool following) { followingEvents_ = following; }
    int missedChanges() const { return missedChanges_; }

    const std::shared_ptr<UrlSession> &session() const { return session_; }
    // Why the last command or query that failed did, in words for a person.
    const QString &failureReason() const { return failureReason_; }

Q_SIGNALS:
    // Something in state() changed: by a command sent from here, by its refusal, or by an
    // answer.
    void stateChanged();
    // A poll found a change no event brought: the events may have stopped.
    void changeMissed();

private:
    void sendCommand(const QString &command, DoneCallback completion);
    // A command naming another device, refused unsent when that address cannot stand in it.
    void sendNaming(const QString &address, const QString &command, DoneCallback completion);
    // True for a complete 200 answer; otherwise notes why not.
    bool answered(const UrlResponse &response);
    void sendWaitingVolume();
    template <typename T>
    void query(const QString &command, std::optional<T> (*decode)(const QByteArray &body),
               std::function<void(std::optional<T>)> completion);
    // A field changed from here: changes sent, and their answers still awaited. A status
    // answer sets the field only when nothing was sent after it was asked and none is awaited.
    // An event also counts as sent: a poll that left before it must not undo it.
    struct Intent {
        std::uint64_t sent = 0;
        int awaited = 0;
        std::vector<std::int64_t> echoes; // values sent and not yet confirmed by an event
        bool showsEvent(std::int64_t value, std::int64_t shown);
    };
    struct Asked {
        std::uint64_t volume, muted, playing, track;
    };
    // Shows `value` (the opposite of what is shown, when none) at once and sends the command
    // for it; taken back if the device does not carry it out and nothing changed it since.
    void sendChange(bool DeviceState::*flag, Intent WiiMClient::*intent, std::optional<bool> value,
                    const QString &whenOn, const QString &whenOff, DoneCallback completion);
    void applyStatus(const std::optional<PlayerStatus> &status, const Asked &asked);
    void show(DeviceState next);
    void showFlag(bool DeviceState::*flag, bool on);

    const std::shared_ptr<UrlSession> session_;
    const QString ipAddress_; // fixed: another address is another client
    DeviceState state_;
    QString failureReason_;
    std::int64_t volumeLimit_ = 100;
    Intent volumeIntent_, muteIntent_, playIntent_;
    std::uint64_t trackEvents_ = 0;
    bool followingEvents_ = false;
    int missedChanges_ = 0;
    bool volumeInFlight_ = false;
    bool volumeGapRunning_ = false;
    std::optional<std::int64_t> waitingVolume_;
    std::vector<DoneCallback> waitingCompletions_;
};

} // namespace knobly
