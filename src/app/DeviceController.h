#pragma once

#include "DeviceEvents.h"
#include "DeviceInputs.h"
#include "EventFeed.h"
#include "WiiMClient.h"
#include "WiiMDevice.h"
#include "WiiMDiscovery.h"

#include <QObject>
#include <QPointer>
#include <QSet>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace knobly {

class RepeatingTimer;

// Chooses the device, follows it (polls, its details, a move to another address) and turns
// the user's intentions into commands, applying the step and the limit. No widgets: the
// surfaces follow its signals and read the device's state from client(). Main thread only.
class DeviceController : public QObject {
    Q_OBJECT
public:
    using DiscoveryFactory = std::function<std::shared_ptr<WiiMDiscovery>()>;
    // The device's events beside the polls (the platform's DeviceEvents::create).
    using EventsFactory = EventFeed::Factory;
    static constexpr double pollSeconds = 5.0;

    // Devices answer on 443; tests put a simulator's port on the addresses probed.
    DeviceController(DiscoveryFactory makeDiscovery, std::optional<quint16> probePort);
    ~DeviceController() override;

    // The device: chosen from the list, typed, or the saved one at launch.
    void connectToDevice(const QString &ip, const QString &name);
    // A typed address: connected at once under a provisional name, then asked for its own.
    void connectToTypedAddress(const QString &text);
    void startDiscovery();
    void rescanDevices();
    // Devices chosen from now on are also followed through their events.
    void setEventsFactory(EventsFactory makeEvents) { makeEvents_ = std::move(makeEvents); }
    // The chosen device's events; nothing when it has none or none are asked for.
    const DeviceEvents *events() const { return events_ ? events_->events() : nullptr; }
    // The same for other connections (a group's other rooms).
    const EventsFactory &eventsFactory() const { return makeEvents_; }
    // Polling and discovery end; commands still work.
    void stop();

    const std::shared_ptr<WiiMClient> &wiiMClient() const { return wiiMClient_; }
    // While the chosen device follows a group's leader, its transport goes to the leader and
    // the track shown is the leader's; nothing when it follows none.
    void setLeader(std::shared_ptr<WiiMClient> leader);
    const std::shared_ptr<WiiMClient> &leader() const { return leader_; }
    // What plays, as shown: the leader's state while following, else the device's own.
    const DeviceState &playback() const;
    // Group volume: given a volume change, the level for the chosen device (its group's other
    // rooms moved with it); nothing moves the device alone.
    using GroupMove = std::function<std::optional<std::int64_t>(std::int64_t delta)>;
    void setGroupMove(GroupMove move) { groupMove_ = std::move(move); }
    const QString &deviceName() const { return deviceName_; }
    const std::shared_ptr<WiiMDiscovery> &discovery() const { return discovery_; }
    const std::vector<WiiMDevice> &devices() const { return devices_; }
    const std::vector<DeviceInput> &inputs() const { return inputs_; }
    const std::vector<DevicePreset> &presets() const { return presets_; }
    const QUrl &artUrl() const { return artUrl_; }
    // The last command the device did not carry out, in words for a person: said where the
    // user acted, for one poll interval, or until another device is chosen.
    const QString &refusal() const { return refusal_; }

    // By the saved step unless given one; shown as feedback.
    void adjustVolume(bool up, std::optional<std::int64_t> step = std::nullopt);
    // The slider's level: no feedback (the slider is it), unless `feedback`.
    void setVolume(std::int64_t volume, bool feedback = false);
    void setVolumeLimit(std::int64_t limit);
    void toggleMute();
    void playPause();
    void play();
    void pause();
    void stopPlayback();
    void nextTrack();
    void prevTrack();
    void switchInput(const QString &mode);
    void playPreset(int number);
    // The sleep timer: off (0) or a number of minutes; the time left is asked for after.
    void setSleepTimer(int minutes);
    // Asks the device how long its sleep timer has left (as the menu opens).
    void refreshSleepTimer();
    // Seconds left when last asked (0: none runs); nothing until the device said.
    std::optional<std::int64_t> sleepSecondsLeft() const { return sleepLeft_; }
    // Three more polls after a skip, when the new track has had time to start.
    void pollAfterSkip();
    // Says why something the user asked for was not done, where they acted (refusal()).
    void sayRefusal(const QString &reason);

Q_SIGNALS:
    // Another device was chosen, or the chosen one got its name.
    void deviceChanged();
    // The chosen device's state changed (wiiMClient()->state()).
    void stateChanged();
    void devicesChanged();
    // Inputs or presets.
    void detailsChanged();
    void artChanged();
    // A volume or mute change the user made here, to be shown as feedback.
    void volumeFeedback(std::int64_t volume, bool muted);
    // refusal() changed.
    void refusalChanged();
    // The device said what sleepSecondsLeft() is, changed or not.
    void sleepTimerChanged();
    // The chosen device answered a poll: what follows it asks again (a device that does not
    // answer is asked nothing more).
    void polled();

private:
    void pollNow();
    void onStateChanged();
    void fetchDeviceDetails();
    void fetchPresets();
    void followAlbumArt();
    void notePollAnswer(bool answered);
    void followSavedDevice();
    void moveToAddress(const QString &ip);
    QString withProbePort(const QString &ip) const;
    // An answer for a device we have since left must not lead this one.
    bool isCurrent(const WiiMClient *client) const { return client && client == wiiMClient_.get(); }
    // The completion for a command: a refusal is said, a skip is followed by polls.
    WiiMClient::DoneCallback afterCommand(bool skip, WiiMClient *by = nullptr);
    WiiMClient *transport() const { return leader_ ? leader_.get() : wiiMClient_.get(); }
    // The level the chosen device is set to for a change by `delta` to `level`.
    std::int64_t withGroup(std::int64_t level, std::int64_t delta);

    void followEvents(const QString &ip);

    DiscoveryFactory makeDiscovery_;
    EventsFactory makeEvents_;
    std::optional<quint16> probePort_;
    std::shared_ptr<WiiMClient> wiiMClient_;
    std::unique_ptr<EventFeed> events_; // feeds wiiMClient_: declared after, so gone first
    std::shared_ptr<WiiMClient> leader_;
    GroupMove groupMove_;
    std::shared_ptr<RepeatingTimer> pollingTimer_;
    std::shared_ptr<WiiMDiscovery> discovery_;
    std::vector<WiiMDevice> devices_;
    QString deviceName_; // the chosen device's, as saved
    std::vector<DeviceInput> inputs_;
    std::vector<DevicePreset> presets_;
    QString artTrack_; // the track whose art artUrl_ is
    QUrl artUrl_;
    bool detailsFetched_ = false; // identity and presets asked of this device
    int failedPolls_ = 0;         // in a row
    bool following_ = false;      // looking for the saved device at another address
    QSet<QString> followAsked_;   // addresses asked for their id in this search
    QString refusal_;
    std::optional<std::int64_t> sleepLeft_;
    int refusalAge_ = 0; // which refusal a timer would clear
};

} // namespace knobly
