// Volume steps, the slider, the transport buttons and the step chooser.
#include "AppDelegate.h"

#include "MainQueue.h"
#include "Settings.h"

#include <QAction>
#include <QMenu>

namespace knobly {

void AppDelegate::adjustVolume(bool up, std::optional<std::int64_t> by) {
    if (!wiiMClient_)
        return;
    const std::int64_t step = by.value_or(Settings::volumeStep());
    if (up)
        wiiMClient_->volumeUp(step);
    else
        wiiMClient_->volumeDown(step);
    // Drawn from the shown value at once; the device's answer is not awaited.
    const std::int64_t volume = wiiMClient_->currentVolume();
    setSliderValue(volume);
    updateIcon(volume);
    showVolumeFeedback(volume, false);
}

void AppDelegate::sliderChanged(int value) {
    if (!wiiMClient_) {
        updateIcon(value);
        return;
    }
    wiiMClient_->setVolume(value);
    // Drawn as sent: never above the limit (while dragging, the same value is no change).
    const std::int64_t sent = wiiMClient_->currentVolume();
    setSliderValue(sent);
    updateIcon(sent);
}

// A device already above a new limit is left there until the volume is next changed.
void AppDelegate::setVolumeLimit(std::int64_t limit) {
    Settings::setMaxVolume(limit);
    if (wiiMClient_)
        wiiMClient_->setVolumeLimit(limit);
}

void AppDelegate::playPauseAction() {
    if (!wiiMClient_)
        return;
    // Shown at once, and again when a refused change has been taken back.
    wiiMClient_->playPause([self = weak()](bool) {
        if (AppDelegate *d = self.get())
            d->updatePlaybackItems();
    });
    updatePlaybackItems();
}

void AppDelegate::nextTrackAction() {
    if (!wiiMClient_)
        return;
    wiiMClient_->nextTrack([self = weak()](bool) { AppDelegate::pollAfterSkipFor(self); });
}

void AppDelegate::prevTrackAction() {
    if (!wiiMClient_)
        return;
    wiiMClient_->prevTrack([self = weak()](bool) { AppDelegate::pollAfterSkipFor(self); });
}

void AppDelegate::setStep(QAction *entry) {
    if (!entry)
        return;
    const int tag = entry->data().toInt();
    Settings::setVolumeStep(tag);
    if (auto *menu = qobject_cast<QMenu *>(entry->parent()))
        for (QAction *a : menu->actions())
            a->setChecked(a->data().toInt() == tag);
}

} // namespace knobly
