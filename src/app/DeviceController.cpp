#include "DeviceController.h"

#include "DeviceIdentity.h"
#include "MainQueue.h"
#include "Settings.h"

namespace knobly {

DeviceController::DeviceController(DiscoveryFactory makeDiscovery, std::optional<quint16> probePort)
    : makeDiscovery_(std::move(makeDiscovery)), probePort_(probePort) {
    discovery_ = makeDiscovery_();
}

DeviceController::~DeviceController() {
    stop();
}

void DeviceController::stop() {
    if (pollingTimer_) {
        pollingTimer_->invalidate();
        pollingTimer_.reset();
    }
    if (discovery_)
        discovery_->stopDiscovery();
}

void DeviceController::connectToDevice(const QString &ip, const QString &name) {
    // Another device's id must not lead the search for this one.
    if (Settings::ip() != ip && !Settings::deviceUuid().isEmpty())
        Settings::setDeviceUuid(QString());
    Settings::setIp(ip);
    Settings::setDeviceName(name);
    deviceName_ = name;
    events_.reset();
    setLeader(nullptr);
    if (wiiMClient_)
        wiiMClient_->disconnect(this);
    wiiMClient_ = std::make_shared<WiiMClient>(ip);
    connect(wiiMClient_.get(), &WiiMClient::stateChanged, this, &DeviceController::onStateChanged);
    followEvents(ip);
    wiiMClient_->setVolumeLimit(Settings::maxVolume());
    artTrack_.clear();
    artUrl_.clear();
    detailsFetched_ = false;
    failedPolls_ = 0;
    inputs_.clear();
    presets_.clear();
    refusal_.clear();
    sleepLeft_.reset();
    Q_EMIT deviceChanged();
    Q_EMIT detailsChanged();
    // The first answer sets the first line; the poll timer then asks at once and every 5 s.
    wiiMClient_->fetchPlayerStatus(
        [self = QPointer<DeviceController>(this), client = QPointer<WiiMClient>(wiiMClient_.get())](
            const std::optional<PlayerStatus> &status) {
            if (self && self->isCurrent(client) && status && status->volume)
                self->fetchDeviceDetails();
        });
    if (pollingTimer_)
        pollingTimer_->invalidate();
    pollNow();
    pollingTimer_ =
        MainQueue::main().scheduleRepeating(pollSeconds, [self = QPointer<DeviceController>(this)] {
            if (self)
                self->pollNow();
        });
}

// Events bring changes made elsewhere at once; the polls go on, and a change they find that no
// event brought asks for the events afresh.
void DeviceController::followEvents(const QString &ip) {
    QUrl description;
    for (const WiiMDevice &d : devices_)
        if (d.ip == ip)
            description = d.description;
    events_ = std::make_unique<EventFeed>(*wiiMClient_, makeEvents_, description);
}

void DeviceController::connectToTypedAddress(const QString &text) {
    const QString ip = text.trimmed();
    if (ip.isEmpty())
        return;
    connectToDevice(ip, QStringLiteral("WiiM (%1)").arg(ip));
    requestDeviceIdentity(
        withProbePort(ip), 2.0,
        [self = QPointer<DeviceController>(this), ip](std::optional<DeviceIdentity> identity) {
            if (!identity)
                return;
            const QString name = !identity->ssid.isEmpty() ? identity->ssid
                                 : !identity->project.isEmpty()
                                     ? identity->project
                                     : QStringLiteral("WiiM (%1)").arg(ip);
            // The user may have picked another device meanwhile: that one keeps its name.
            if (Settings::ip() != ip)
                return;
            Settings::setDeviceName(name);
            if (self) {
                self->deviceName_ = name;
                Q_EMIT self->deviceChanged();
            }
        });
}

void DeviceController::pollNow() {
    if (!wiiMClient_)
        return;
    wiiMClient_->fetchPlayerStatus(
        [self = QPointer<DeviceController>(this), client = QPointer<WiiMClient>(wiiMClient_.get())](
            const std::optional<PlayerStatus> &status) {
            // An answer for a device we have since left must not lead this one.
            if (!self || !self->isCurrent(client))
                return;
            const bool answered = status && status->volume;
            self->notePollAnswer(answered);
            if (answered) {
                self->fetchDeviceDetails(); // once they have arrived, this asks nothing
                Q_EMIT self->polled();
            }
        });
}

void DeviceController::pollAfterSkip() {
    for (const double delay : {0.5, 1.5, 3.0})
        MainQueue::main().asyncAfter(delay, [self = QPointer<DeviceController>(this)] {
            if (self)
                self->pollNow();
        });
}

void DeviceController::onStateChanged() {
    followAlbumArt();
    Q_EMIT stateChanged();
}

// Asked once a device answers, one question after the other (devices dislike being
// hammered): which model it is, then what presets it keeps.
void DeviceController::fetchDeviceDetails() {
    if (!wiiMClient_ || detailsFetched_)
        return;
    detailsFetched_ = true;
    wiiMClient_->fetchIdentity(
        [self = QPointer<DeviceController>(this),
         client = QPointer<WiiMClient>(wiiMClient_.get())](std::optional<DeviceIdentity> identity) {
            if (!self || !self->isCurrent(client))
                return;
            self->inputs_ = inputsOfModel(identity ? identity->project : QString());
            Q_EMIT self->detailsChanged();
            if (!identity) { // asked again after the device's next answer
                self->detailsFetched_ = false;
                return;
            }
            // Remembered beside the address, to find the device again if it moves.
            if (!identity->uuid.isEmpty() && Settings::ip() == client->ipAddress() &&
                Settings::deviceUuid() != identity->uuid)
                Settings::setDeviceUuid(identity->uuid);
            self->fetchPresets();
        });
}

void DeviceController::fetchPresets() {
    wiiMClient_->fetchPresets(
        [self = QPointer<DeviceController>(this), client = QPointer<WiiMClient>(wiiMClient_.get())](
            std::optional<std::vector<DevicePreset>> presets) {
            if (!self || !self->isCurrent(client))
                return;
            self->presets_ = presets.value_or(std::vector<DevicePreset>{});
            Q_EMIT self->detailsChanged();
        });
}

// Asked once per track: the device's metadata call is slower than its status.
void DeviceController::followAlbumArt() {
    const DeviceState &s = wiiMClient_->state();
    const QString track = s.isStopped() ? QString()
                                        : shownText(s.title) + u'\n' + shownText(s.artist) + u'\n' +
                                              shownText(s.album);
    if (track == artTrack_)
        return;
    artTrack_ = track;
    const bool hadArt = !artUrl_.isEmpty();
    artUrl_.clear();
    if (hadArt)
        Q_EMIT artChanged();
    if (track.trimmed().isEmpty())
        return;
    wiiMClient_->fetchAlbumArt([self = QPointer<DeviceController>(this),
                                client = QPointer<WiiMClient>(wiiMClient_.get()),
                                track](std::optional<QUrl> url) {
        if (!self || !url || !self->isCurrent(client) || self->artTrack_ != track)
            return;
        self->artUrl_ = *url;
        Q_EMIT self->artChanged();
    });
}

// After three polls without an answer, look for the saved device by its id: a discovery at
// most once a minute, each device found asked who it is unless discovery already knows.
void DeviceController::notePollAnswer(bool answered) {
    if (answered) {
        failedPolls_ = 0;
        following_ = false;
        return;
    }
    ++failedPolls_;
    constexpr int kFirst = 3;
    constexpr int kEvery = 12; // polls are 5 s apart
    if (failedPolls_ < kFirst || (failedPolls_ - kFirst) % kEvery != 0 ||
        Settings::deviceUuid().isEmpty())
        return;
    following_ = true;
    followAsked_.clear();
    rescanDevices();
}

void DeviceController::startDiscovery() {
    discovery_->startDiscovery(
        [self = QPointer<DeviceController>(this)](const std::vector<WiiMDevice> &devices) {
            // Never act inside the discovery's own call: store and rebuild on a later turn.
            MainQueue::main().async([self, devices] {
                if (!self)
                    return;
                self->devices_ = devices;
                Q_EMIT self->devicesChanged();
                self->followSavedDevice();
            });
        });
}

void DeviceController::rescanDevices() {
    devices_.clear();
    Q_EMIT devicesChanged();
    discovery_->stopDiscovery();
    discovery_ = makeDiscovery_();
    startDiscovery();
}

void DeviceController::followSavedDevice() {
    if (!following_ || !wiiMClient_)
        return;
    const QString uuid = Settings::deviceUuid();
    for (const WiiMDevice &device : devices_) {
        if (device.ip == wiiMClient_->ipAddress())
            continue;
        if (!device.uuid.isEmpty()) {
            if (device.uuid == uuid) {
                moveToAddress(device.ip);
                return;
            }
            continue;
        }
        if (followAsked_.contains(device.ip))
            continue;
        followAsked_.insert(device.ip);
        requestDeviceIdentity(withProbePort(device.ip), 2.0,
                              [self = QPointer<DeviceController>(this), uuid,
                               ip = device.ip](std::optional<DeviceIdentity> id) {
                                  if (!id || id->uuid != uuid)
                                      return;
                                  if (self && self->following_ && Settings::deviceUuid() == uuid)
                                      self->moveToAddress(ip);
                              });
    }
}

void DeviceController::moveToAddress(const QString &ip) {
    following_ = false;
    failedPolls_ = 0;
    const QString uuid = Settings::deviceUuid();
    connectToDevice(withProbePort(ip), Settings::deviceName());
    Settings::setDeviceUuid(uuid); // the same device, only somewhere else
}

QString DeviceController::withProbePort(const QString &ip) const {
    return probePort_ ? ip + QLatin1Char(':') + QString::number(*probePort_) : ip;
}

// ---- Commands --------------------------------------------------------------------------

WiiMClient::DoneCallback DeviceController::afterCommand(bool skip, WiiMClient *by) {
    return
        [self = QPointer<DeviceController>(this), client = QPointer<WiiMClient>(wiiMClient_.get()),
         by = QPointer<WiiMClient>(by ? by : wiiMClient_.get()), skip](bool done) {
            if (!self)
                return;
            if (!done && self->isCurrent(client) && by)
                self->sayRefusal(by->failureReason());
            if (skip)
                self->pollAfterSkip();
        };
}

void DeviceController::setLeader(std::shared_ptr<WiiMClient> leader) {
    if (leader == leader_)
        return;
    if (leader_)
        leader_->disconnect(this);
    leader_ = std::move(leader);
    if (leader_)
        connect(leader_.get(), &WiiMClient::stateChanged, this, &DeviceController::onStateChanged);
    onStateChanged();
}

const DeviceState &DeviceController::playback() const {
    static const DeviceState none;
    return leader_ ? leader_->state() : wiiMClient_ ? wiiMClient_->state() : none;
}

std::int64_t DeviceController::withGroup(std::int64_t level, std::int64_t delta) {
    if (groupMove_)
        if (const auto moved = groupMove_(delta))
            return *moved;
    return level;
}

void DeviceController::sayRefusal(const QString &reason) {
    refusal_ = reason;
    const int age = ++refusalAge_;
    Q_EMIT refusalChanged();
    MainQueue::main().asyncAfter(pollSeconds, [self = QPointer<DeviceController>(this), age] {
        if (!self || self->refusalAge_ != age || self->refusal_.isEmpty())
            return;
        self->refusal_.clear();
        Q_EMIT self->refusalChanged();
    });
}

void DeviceController::adjustVolume(bool up, std::optional<std::int64_t> by) {
    if (!wiiMClient_)
        return;
    const std::int64_t step = by.value_or(Settings::volumeStep());
    const std::int64_t delta = std::clamp<std::int64_t>(up ? step : -step, -100, 100);
    wiiMClient_->setVolume(withGroup(wiiMClient_->currentVolume() + delta, delta));
    // Shown from the stored value at once; the device's answer is not awaited.
    Q_EMIT volumeFeedback(wiiMClient_->currentVolume(), false);
}

void DeviceController::setVolume(std::int64_t volume, bool feedback) {
    if (!wiiMClient_)
        return;
    const std::int64_t level = std::clamp<std::int64_t>(volume, 0, 100);
    wiiMClient_->setVolume(withGroup(level, level - wiiMClient_->currentVolume()));
    if (feedback)
        Q_EMIT volumeFeedback(wiiMClient_->currentVolume(), wiiMClient_->isMuted());
}

// A device already above a new limit is left there until the volume is next changed.
void DeviceController::setVolumeLimit(std::int64_t limit) {
    Settings::setMaxVolume(limit);
    if (wiiMClient_)
        wiiMClient_->setVolumeLimit(limit);
}

void DeviceController::toggleMute() {
    if (!wiiMClient_)
        return;
    const auto feedback = [this] {
        const bool muted = wiiMClient_->isMuted();
        Q_EMIT volumeFeedback(muted ? 0 : wiiMClient_->currentVolume(), muted);
    };
    // Shown at once; shown again when the device refused and the change was taken back.
    wiiMClient_->toggleMute([self = QPointer<DeviceController>(this),
                             client = QPointer<WiiMClient>(wiiMClient_.get()),
                             feedback](bool done) {
        if (done || !self || !self->isCurrent(client))
            return;
        feedback();
        self->sayRefusal(client->failureReason());
    });
    feedback();
}

void DeviceController::playPause() {
    if (WiiMClient *to = transport())
        to->playPause(afterCommand(false, to));
}

void DeviceController::play() {
    if (WiiMClient *to = transport())
        to->play(afterCommand(true, to));
}

void DeviceController::pause() {
    if (WiiMClient *to = transport())
        to->pause(afterCommand(true, to));
}

void DeviceController::stopPlayback() {
    if (WiiMClient *to = transport())
        to->stop(afterCommand(true, to));
}

void DeviceController::nextTrack() {
    if (WiiMClient *to = transport())
        to->nextTrack(afterCommand(true, to));
}

void DeviceController::prevTrack() {
    if (WiiMClient *to = transport())
        to->prevTrack(afterCommand(true, to));
}

void DeviceController::switchInput(const QString &mode) {
    if (wiiMClient_)
        wiiMClient_->switchInput(mode, afterCommand(false));
}

void DeviceController::setSleepTimer(int minutes) {
    if (!wiiMClient_)
        return;
    const auto after = afterCommand(false);
    wiiMClient_->setSleepTimer(minutes > 0 ? std::int64_t(minutes) * 60 : -1,
                               [self = QPointer<DeviceController>(this), after](bool done) {
                                   after(done);
                                   if (self)
                                       self->refreshSleepTimer();
                               });
}

void DeviceController::refreshSleepTimer() {
    if (!wiiMClient_)
        return;
    wiiMClient_->fetchSleepTimer(
        [self = QPointer<DeviceController>(this),
         client = QPointer<WiiMClient>(wiiMClient_.get())](std::optional<std::int64_t> left) {
            if (!self || !self->isCurrent(client) || !left)
                return;
            self->sleepLeft_ = left;
            Q_EMIT self->sleepTimerChanged();
        });
}

void DeviceController::playPreset(int number) {
    if (wiiMClient_)
        wiiMClient_->playPreset(number, afterCommand(true));
}

} // namespace knobly
