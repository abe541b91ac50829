// The media keys: what each key does, switching capture, and why it could not be switched on.
#include "AppDelegate.h"

#include "MainQueue.h"
#include "Settings.h"

namespace knobly {

void AppDelegate::setupMediaKeys() {
    MediaKeyInterceptor &keys = *keyInterceptor_;
    keys.onVolumeUp = [self = weak()] {
        if (AppDelegate *d = self.get())
            d->adjustVolume(true);
    };
    keys.onVolumeDown = [self = weak()] {
        if (AppDelegate *d = self.get())
            d->adjustVolume(false);
    };
    keys.onMute = [self = weak()] {
        if (AppDelegate *d = self.get())
            d->toggleMuteFromKey();
    };
    keys.onPlayPause = [self = weak()] {
        if (AppDelegate *d = self.get())
            d->playPauseAction();
    };
    keys.onNext = [self = weak()] {
        if (AppDelegate *d = self.get())
            d->nextTrackAction();
    };
    keys.onPrev = [self = weak()] {
        if (AppDelegate *d = self.get())
            d->prevTrackAction();
    };

    if (!Settings::interceptKeys())
        return;
    const bool started = keys.start();
    if (interceptItem_)
        interceptItem_->setChecked(started);
    // A capture that cannot start any more is switched off quietly at launch.
    if (!started)
        Settings::setInterceptKeys(false);
}

void AppDelegate::toggleMuteFromKey() {
    if (!wiiMClient_)
        return;
    wiiMClient_->toggleMute([self = weak()](bool) {
        MainQueue::main().async([self] {
            AppDelegate *d = self.get();
            if (!d)
                return;
            const bool muted = d->wiiMClient_ && d->wiiMClient_->isMuted();
            const std::int64_t volume = d->wiiMClient_ ? d->wiiMClient_->currentVolume() : 0;
            d->updateIcon(volume);
            d->showVolumeFeedback(muted ? 0 : volume, muted);
            d->setSliderValue(muted ? 0 : volume);
        });
    });
}

void AppDelegate::toggleIntercept() {
    MediaKeyInterceptor &keys = *keyInterceptor_;
    if (keys.isActive()) {
        keys.stop();
        if (interceptItem_)
            interceptItem_->setChecked(false);
        Settings::setInterceptKeys(false);
        return;
    }
    const bool started = keys.start();
    if (interceptItem_)
        interceptItem_->setChecked(started);
    Settings::setInterceptKeys(started);
    if (!started)
        showAccessibilityPrompt();
}

// Linux has no permission to grant: keys are refused because another program holds them,
// or because the session (Wayland) lets no program take them. Say which.
void AppDelegate::showAccessibilityPrompt() {
    if (!env_.warn)
        return;
    const bool noX11 = keyInterceptor_->lastRefusal() == KeyTap::Refusal::noX11;
    const QString title = noX11 ? tr("Media Keys Cannot Be Captured") : tr("Media Keys Are in Use");
    const QString text =
        noX11 ? tr("This desktop session does not let programs capture keys (Wayland).\n\n"
                   "Bind the keys to Knobly's commands in your desktop's keyboard shortcut "
                   "settings instead, for example \u201cknoblyctl volume up\u201d.")
              : tr("Another program already captures the volume, mute or playback keys.\n\n"
                   "Free them in your desktop's keyboard shortcut settings, then choose "
                   "\u201cCapture Media Keys\u201d again.");
    const QString action = env_.openShortcutSettings ? tr("Open Settings") : QString();
    if (env_.warn(title, text, action) && env_.openShortcutSettings)
        env_.openShortcutSettings();
}

} // namespace knobly
