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
    // Drawn from the stored value at once; the device's answer is not awaited.
    MainQueue::main().async([self = weak(), client = wiiMClient_] {
        AppDelegate *d = self.get();
        if (!d)
            return;
        const std::int64_t volume = client->currentVolume();
        d->setSliderValue(volume);
        d->updateIcon(volume);
        d->showVolumeFeedback(volume, false);
    });
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
    wiiMClient_->playPause([self = weak()](bool) {
        MainQueue::main().async([self] {
            if (AppDelegate *d = self.get())
                d->updatePlaybackItems();
        });
    });
}

void AppDelegate::nextTrackAction() {
    if (!wiiMClient_)
        return;
    // pollAfterSkip only schedules main-queue work, so it may run on the network thread;
    // whether the controller is still there is checked by each scheduled step.
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
