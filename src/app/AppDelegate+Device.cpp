// More of the device: its inputs and presets.
#include "AppDelegate.h"

#include "MainQueue.h"
#include "Settings.h"

#include <QActionGroup>
#include <QMenu>

namespace knobly {

// Asked once a device answers, one question after the other (devices dislike being
// hammered): which model it is, then what presets it keeps.
void AppDelegate::fetchDeviceDetails() {
    if (!wiiMClient_ || detailsFetched_)
        return;
    detailsFetched_ = true;
    wiiMClient_->fetchIdentity([self = weak(), client = QPointer<WiiMClient>(wiiMClient_.get())](
                                   std::optional<DeviceIdentity> identity) {
        AppDelegate *d = self.get();
        if (!d || !client || client != d->wiiMClient_.get())
            return;
        d->inputs_ = inputsOfModel(identity ? identity->project : QString());
        d->rebuildSourceMenu();
        if (!identity) { // asked again after the device's next answer
            d->detailsFetched_ = false;
            return;
        }
        // Remembered beside the address, to find the device again if it moves.
        if (!identity->uuid.isEmpty() && Settings::ip() == client->ipAddress() &&
            Settings::deviceUuid() != identity->uuid)
            Settings::setDeviceUuid(identity->uuid);
        d->fetchPresets();
    });
}

void AppDelegate::fetchPresets() {
    wiiMClient_->fetchPresets([self = weak(), client = QPointer<WiiMClient>(wiiMClient_.get())](
                                  std::optional<std::vector<DevicePreset>> presets) {
        AppDelegate *d = self.get();
        if (d && client && client == d->wiiMClient_.get())
            d->rebuildPresetMenu(presets.value_or(std::vector<DevicePreset>{}));
    });
}

void AppDelegate::rebuildSourceMenu() {
    if (!sourceMenu_)
        return;
    sourceMenu_->clear();
    auto *group = new QActionGroup(sourceMenu_);
    for (const DeviceInput &input : inputs_) {
        QAction *entry = sourceMenu_->addAction(input.label);
        entry->setData(input.mode);
        entry->setCheckable(true);
        group->addAction(entry);
        connect(entry, &QAction::triggered, this, [this, mode = input.mode] {
            if (wiiMClient_)
                wiiMClient_->switchInput(mode);
            // The mark follows the device's next answer, not the click.
            updateSourceChecks();
        });
    }
    group->setExclusionPolicy(QActionGroup::ExclusionPolicy::ExclusiveOptional);
    sourceMenu_->menuAction()->setVisible(!inputs_.empty());
    updateSourceChecks();
}

void AppDelegate::updateSourceChecks() {
    if (!sourceMenu_ || !wiiMClient_)
        return;
    const auto status = wiiMClient_->lastStatus();
    const auto playing = status && status->mode ? inputOfMode(*status->mode) : std::nullopt;
    for (QAction *entry : sourceMenu_->actions())
        entry->setChecked(playing && isSameInput(entry->data().toString(), *playing));
}

void AppDelegate::rebuildPresetMenu(const std::vector<DevicePreset> &presets) {
    if (!presetMenu_)
        return;
    presetMenu_->clear();
    for (const DevicePreset &preset : presets) {
        QAction *entry =
            presetMenu_->addAction(QStringLiteral("%1. %2").arg(preset.number).arg(preset.name));
        connect(entry, &QAction::triggered, this, [this, number = preset.number] {
            if (wiiMClient_)
                wiiMClient_->playPreset(
                    number, [self = weak()](bool) { AppDelegate::pollAfterSkipFor(self); });
        });
    }
    presetMenu_->menuAction()->setVisible(!presets.empty());
}

// After three polls without an answer, look for the saved device by its id: a discovery at
// most once a minute, each device found asked who it is unless discovery already knows.
void AppDelegate::notePollAnswer(bool answered) {
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

void AppDelegate::followSavedDevice() {
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
        requestDeviceIdentity(
            withProbePort(device.ip), 2.0,
            [self = weak(), uuid, ip = device.ip](std::optional<DeviceIdentity> id) {
                if (!id || id->uuid != uuid)
                    return;
                AppDelegate *d = self.get();
                if (d && d->following_ && Settings::deviceUuid() == uuid)
                    d->moveToAddress(ip);
            });
    }
}

void AppDelegate::moveToAddress(const QString &ip) {
    following_ = false;
    failedPolls_ = 0;
    const QString uuid = Settings::deviceUuid();
    connectToDevice(withProbePort(ip), Settings::deviceName());
    Settings::setDeviceUuid(uuid); // the same device, only somewhere else
}

QString AppDelegate::withProbePort(const QString &ip) const {
    return env_.probePort ? ip + QLatin1Char(':') + QString::number(*env_.probePort) : ip;
}

} // namespace knobly
