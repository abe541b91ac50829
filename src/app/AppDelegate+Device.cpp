// More of the device: its inputs and presets.
#include "AppDelegate.h"

#include "MainQueue.h"

#include <QActionGroup>
#include <QMenu>

namespace knobly {

// Asked once a device answers: which model it is, and what presets it keeps.
void AppDelegate::fetchDeviceDetails() {
    if (!wiiMClient_ || detailsFetched_)
        return;
    detailsFetched_ = true;
    const std::weak_ptr<WiiMClient> client = wiiMClient_;
    wiiMClient_->fetchIdentity([self = weak(), client](std::optional<DeviceIdentity> identity) {
        MainQueue::main().async([self, client, identity] {
            AppDelegate *d = self.get();
            if (!d || client.lock() != d->wiiMClient_)
                return;
            d->inputs_ = inputsOfModel(identity ? identity->project : QString());
            d->rebuildSourceMenu();
        });
    });
    wiiMClient_->fetchPresets(
        [self = weak(), client](std::optional<std::vector<DevicePreset>> presets) {
            MainQueue::main().async([self, client, presets] {
                AppDelegate *d = self.get();
                if (d && client.lock() == d->wiiMClient_)
                    d->rebuildPresetMenu(presets.value_or(std::vector<DevicePreset>{}));
            });
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

} // namespace knobly
