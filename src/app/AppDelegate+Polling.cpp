// Status polling: every 5 s, and three more times after a skip.
#include "AppDelegate.h"

#include "MainQueue.h"
#include "Settings.h"
#include "Symbols.h"

#include <QAction>
#include <QToolButton>

namespace knobly {

void AppDelegate::startPolling() {
    if (pollingTimer_)
        pollingTimer_->invalidate();
    pollNow();
    pollingTimer_ = MainQueue::main().scheduleRepeating(5.0, [self = weak()] {
        if (AppDelegate *d = self.get())
            d->pollNow();
    });
}

void AppDelegate::pollNow() {
    if (!wiiMClient_)
        return;
    wiiMClient_->fetchStatus([self = weak(), client = QPointer<WiiMClient>(wiiMClient_.get())](
                                 auto volume, auto, auto line) {
        if (AppDelegate *d = self.get())
            d->applyPollResult(client, volume, line);
    });
}

void AppDelegate::applyPollResult(const WiiMClient *client, std::optional<std::int64_t> volume,
                                  std::optional<QString> line) {
    // An answer for a device we have since left must not paint over the new one.
    if (!client || client != wiiMClient_.get())
        return;
    notePollAnswer(volume.has_value());
    // Kept as state: the first line's text is for people (and a name may say anything).
    if (reachable_ != volume.has_value())
        setReachable(volume.has_value(), deviceName_);
    if (volume) {
        fetchDeviceDetails(); // once they have arrived, this asks nothing
        setSliderValue(*volume);
        updateIcon(*volume);
    }
    if (nowPlayingItem_) {
        if (line && !line->isEmpty()) {
            nowPlayingItem_->setText(*line);
            nowPlayingItem_->setVisible(true);
        } else if (volume) {
            nowPlayingItem_->setVisible(false);
        }
    }
    updatePlaybackItems();
}

void AppDelegate::updatePlaybackItems() {
    updateMediaControls();
    updateSourceChecks();
    if (transportRow_)
        transportRow_->setPlaying(wiiMClient_ && wiiMClient_->isPlaying());
}

void AppDelegate::pollAfterSkip() {
    pollAfterSkipFor(weak());
}

void AppDelegate::pollAfterSkipFor(Weak self) {
    for (const double delay : {0.5, 1.5, 3.0})
        MainQueue::main().asyncAfter(delay, [self] {
            if (AppDelegate *d = self.get())
                d->pollNow();
        });
}

} // namespace knobly
