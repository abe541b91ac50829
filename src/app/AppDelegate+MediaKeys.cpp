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
    keys.onFineVolumeUp = [self = weak()] {
        if (AppDelegate *d = self.get())
            d->adjustVolume(true, 1);
    };
    keys.onFineVolumeDown = [self = weak()] {
        if (AppDelegate *d = self.get())
            d->adjustVolume(false, 1);
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

    // The desktop said no after all (its dialog answered, or the portal went away).
    keys.onLost = [self = weak()] {
        AppDelegate *d = self.get();
        if (!d)
            return;
        if (d->interceptItem_)
            d->interceptItem_->setChecked(false);
        Settings::setInterceptKeys(false);
        d->showAccessibilityPrompt();
    };

    if (!Settings::interceptKeys()) {
        keys.giveBack();
        return;
    }
    // The user said yes when capture was turned on: not asked again at each start.
    const bool started = startKeys(false);
    if (interceptItem_)
        interceptItem_->setChecked(started);
    // A capture that cannot start any more is switched off quietly at launch.
    if (!started)
        Settings::setInterceptKeys(false);
}

// Starts capture; where the desktop's own volume control holds the keys, asks whether Knobly
// may have them (the default answer takes them). Quitting gives them back to the desktop.
bool AppDelegate::startKeys(bool ask) {
    MediaKeyInterceptor &keys = *keyInterceptor_;
    if (keys.start())
        return true;
    if (keys.lastRefusal() != KeyTap::Refusal::heldByDesktop || (ask && !env_.warn))
        return false;
    const QString text =
        tr("The volume keys are shortcuts of %1 in the desktop's shortcut settings.\n\n"
           "Let Knobly use them instead? Turning \u201cCapture Media Keys\u201d off gives them "
           "back.")
            .arg(keys.holderDescription());
    if (ask && !env_.warn(tr("Use the Volume Keys in Knobly?"), text, tr("Use in Knobly")))
        return false;
    return keys.takeOver() && keys.start();
}

void AppDelegate::toggleMuteFromKey() {
    if (!wiiMClient_)
        return;
    // Shown at once; shown again if the device refused and the change was taken back.
    const auto showMute = [](AppDelegate *d) {
        const bool muted = d->wiiMClient_ && d->wiiMClient_->isMuted();
        const std::int64_t volume = d->wiiMClient_ ? d->wiiMClient_->currentVolume() : 0;
        d->updateIcon(volume);
        d->showVolumeFeedback(muted ? 0 : volume, muted);
        d->setSliderValue(muted ? 0 : volume);
    };
    wiiMClient_->toggleMute([self = weak(), showMute](bool done) {
        if (AppDelegate *d = self.get(); d && !done)
            showMute(d);
    });
    showMute(this);
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
    const bool started = startKeys(true);
    if (interceptItem_)
        interceptItem_->setChecked(started);
    Settings::setInterceptKeys(started);
    // A "no" to taking the keys from the desktop needs no second word.
    if (!started && keys.lastRefusal() != KeyTap::Refusal::heldByDesktop)
        showAccessibilityPrompt();
}

// Linux has no permission to grant: keys are refused because another program holds them, or
// because the session lets no program take them (no X11, no shortcuts portal, or the user said
// no in the desktop's dialog). Say which, and what works instead.
void AppDelegate::showAccessibilityPrompt() {
    if (!env_.warn)
        return;
    const KeyTap::Refusal why = keyInterceptor_->lastRefusal();
    const QString instead =
        tr("Play, pause and skip keys reach Knobly through the desktop's media controls. For "
           "the volume keys, bind \u201cknoblyctl volume up\u201d, \u201cknoblyctl volume "
           "down\u201d and \u201cknoblyctl mute\u201d in your desktop's keyboard shortcut "
           "settings.");
    QString title = tr("Media Keys Cannot Be Captured");
    QString text;
    switch (why) {
    case KeyTap::Refusal::keysTaken:
    case KeyTap::Refusal::heldByDesktop:
        title = tr("Media Keys Are in Use");
        text = tr("Another program already captures the volume, mute or playback keys.\n\n"
                  "Free them in your desktop's keyboard shortcut settings, then choose "
                  "\u201cCapture Media Keys\u201d again.");
        break;
    case KeyTap::Refusal::declined:
        title = tr("Media Keys Were Not Granted");
        text = tr("The desktop did not give Knobly the volume keys.\n\n") + instead;
        break;
    case KeyTap::Refusal::noPortal:
        text = tr("This desktop offers programs no way to take the volume keys.\n\n") + instead;
        break;
    case KeyTap::Refusal::noX11:
    case KeyTap::Refusal::none:
        text = tr("This desktop session does not let programs capture keys.\n\n") + instead;
        break;
    }
    const QString action = env_.openShortcutSettings ? tr("Open Settings") : QString();
    if (env_.warn(title, text, action) && env_.openShortcutSettings)
        env_.openShortcutSettings();
}

} // namespace knobly
