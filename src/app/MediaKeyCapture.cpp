#include "MediaKeyCapture.h"

#include "DeviceController.h"
#include "Settings.h"

namespace knobly {

MediaKeyCapture::MediaKeyCapture(std::unique_ptr<KeyTap> tap, DeviceController &controller,
                                 Warn warn, std::function<void()> openShortcutSettings)
    : interceptor_(std::move(tap)), warn_(std::move(warn)),
      openShortcutSettings_(std::move(openShortcutSettings)) {
    MediaKeyInterceptor &keys = interceptor_;
    DeviceController *c = &controller; // outlives the keys: the delegate holds both
    keys.onVolumeUp = [c] { c->adjustVolume(true); };
    keys.onVolumeDown = [c] { c->adjustVolume(false); };
    keys.onFineVolumeUp = [c] { c->adjustVolume(true, 1); };
    keys.onFineVolumeDown = [c] { c->adjustVolume(false, 1); };
    keys.onMute = [c] { c->toggleMute(); };
    keys.onPlayPause = [c] { c->playPause(); };
    keys.onNext = [c] { c->nextTrack(); };
    keys.onPrev = [c] { c->prevTrack(); };
    // The desktop said no after all (its dialog answered, or the portal went away).
    keys.onLost = [this] {
        Settings::setInterceptKeys(false);
        Q_EMIT activeChanged(false);
        this->showRefusal();
    };
}

void MediaKeyCapture::setup() {
    if (!Settings::interceptKeys()) {
        interceptor_.giveBack();
        return;
    }
    // The user said yes when capture was turned on: not asked again at each start.
    const bool started = startKeys(false);
    // A capture that cannot start any more is switched off quietly at launch.
    if (!started)
        Settings::setInterceptKeys(false);
    Q_EMIT activeChanged(started);
}

// Starts capture; where the desktop's own volume control holds the keys, asks whether Knobly
// may have them (the default answer takes them). Quitting gives them back to the desktop.
bool MediaKeyCapture::startKeys(bool ask) {
    MediaKeyInterceptor &keys = interceptor_;
    if (keys.start())
        return true;
    if (keys.lastRefusal() != KeyTap::Refusal::heldByDesktop || (ask && !warn_))
        return false;
    const QString text =
        tr("The volume keys are shortcuts of %1 in the desktop's shortcut settings.\n\n"
           "Let Knobly use them instead? Turning \u201cCapture Media Keys\u201d off gives them "
           "back.")
            .arg(keys.holderDescription());
    if (ask && !warn_(tr("Use the Volume Keys in Knobly?"), text, tr("Use in Knobly")))
        return false;
    return keys.takeOver() && keys.start();
}

void MediaKeyCapture::toggle() {
    MediaKeyInterceptor &keys = interceptor_;
    if (keys.isActive()) {
        keys.stop();
        Settings::setInterceptKeys(false);
        Q_EMIT activeChanged(false);
        return;
    }
    const bool started = startKeys(true);
    Settings::setInterceptKeys(started);
    Q_EMIT activeChanged(started);
    // A "no" to taking the keys from the desktop needs no second word.
    if (!started && keys.lastRefusal() != KeyTap::Refusal::heldByDesktop)
        showRefusal();
}

// Linux has no permission to grant: keys are refused because another program holds them, or
// because the session lets no program take them (no X11, no shortcuts portal, or the user said
// no in the desktop's dialog). Say which, and what works instead.
void MediaKeyCapture::showRefusal() {
    if (!warn_)
        return;
    const KeyTap::Refusal why = interceptor_.lastRefusal();
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
    const QString action = openShortcutSettings_ ? tr("Open Settings") : QString();
    if (warn_(title, text, action) && openShortcutSettings_)
        openShortcutSettings_();
}

} // namespace knobly
