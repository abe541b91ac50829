// The desktop's media controls (MPRIS on Linux) and the desktop's own volume feedback.
#include "AppDelegate.h"

#include "MainQueue.h"
#include "Settings.h"
#include "Symbols.h"

#include <limits>

namespace knobly {

namespace {

// Devices fill idle or missing fields with these.
QString shown(const std::optional<QString> &text) {
    if (!text || text->compare(QLatin1String("unknow"), Qt::CaseInsensitive) == 0 ||
        *text == QLatin1String("Unknown"))
        return QString();
    return text->trimmed();
}

std::optional<std::int64_t> microseconds(const std::optional<std::int64_t> &ms) {
    if (!ms || *ms <= 0 || *ms > std::numeric_limits<std::int64_t>::max() / 1000)
        return std::nullopt;
    return *ms * 1000;
}

} // namespace

void AppDelegate::setupMediaControls() {
    if (mediaControls_ || !env_.makeMediaControls)
        return;
    MediaControls::Commands c;
    const auto on = [self = weak()](void (AppDelegate::*action)()) {
        return [self, action] {
            if (AppDelegate *d = self.get())
                (d->*action)();
        };
    };
    // The desktop routes its media keys here: they take the same way as captured keys.
    const auto key = [self = weak()](MediaKey k) {
        return [self, k] {
            if (AppDelegate *d = self.get())
                d->keyInterceptor_->handle(KeyEvent{k, true});
        };
    };
    c.playPause = key(MediaKey::playPause);
    c.next = key(MediaKey::next);
    c.previous = key(MediaKey::previous);
    c.play = on(&AppDelegate::playAction);
    c.pause = on(&AppDelegate::pauseAction);
    c.stop = on(&AppDelegate::stopAction);
    c.quit = on(&AppDelegate::quitApp);
    c.setVolume = [self = weak()](double volume) {
        if (AppDelegate *d = self.get())
            d->setVolumeFromDesktop(std::llround(volume * 100));
    };
    mediaControls_ = env_.makeMediaControls(std::move(c));
    updateMediaControls();
}

void AppDelegate::updateMediaControls() {
    if (!mediaControls_ || !wiiMClient_)
        return;
    MediaControls::State s;
    s.identity = deviceName_;
    s.reachable = reachable_.value_or(false);
    const auto status = wiiMClient_->lastStatus();
    const QString state = status && status->state ? *status->state : QString();
    if (wiiMClient_->isPlaying())
        s.playback = MediaControls::Playback::playing;
    else if (state.isEmpty() || state == QLatin1String("stop") || state == QLatin1String("none"))
        s.playback = MediaControls::Playback::stopped;
    else
        s.playback = MediaControls::Playback::paused;
    if (status && s.playback != MediaControls::Playback::stopped) {
        s.title = shown(status->title);
        s.artist = shown(status->artist);
        s.album = shown(status->album);
        s.lengthUs = microseconds(status->lengthMs);
        s.positionUs = microseconds(status->positionMs).value_or(0);
    }
    followAlbumArt(s.title + u'\n' + s.artist + u'\n' + s.album);
    s.artUrl = artUrl_;
    s.volume = std::clamp<std::int64_t>(wiiMClient_->currentVolume(), 0, 100) / 100.0;
    mediaControls_->setState(s);
}

// Asked once per track: the device's metadata call is slower than its status.
void AppDelegate::followAlbumArt(const QString &track) {
    if (track == artTrack_)
        return;
    artTrack_ = track;
    artUrl_.clear();
    if (track.trimmed().isEmpty())
        return;
    wiiMClient_->fetchAlbumArt([self = weak(), client = QPointer<WiiMClient>(wiiMClient_.get()),
                                track](std::optional<QUrl> url) {
        AppDelegate *d = self.get();
        if (!d || !url || !client || client != d->wiiMClient_.get() || d->artTrack_ != track)
            return;
        d->artUrl_ = *url;
        d->updateMediaControls();
    });
}

void AppDelegate::playAction() {
    if (wiiMClient_)
        wiiMClient_->play([self = weak()](bool) { AppDelegate::pollAfterSkipFor(self); });
    updatePlaybackItems();
}

void AppDelegate::pauseAction() {
    if (wiiMClient_)
        wiiMClient_->pause([self = weak()](bool) { AppDelegate::pollAfterSkipFor(self); });
    updatePlaybackItems();
}

void AppDelegate::stopAction() {
    if (wiiMClient_)
        wiiMClient_->stop([self = weak()](bool) { AppDelegate::pollAfterSkipFor(self); });
    updatePlaybackItems();
}

void AppDelegate::setVolumeFromDesktop(std::int64_t volume) {
    if (!wiiMClient_)
        return;
    sliderChanged(static_cast<int>(std::clamp<std::int64_t>(volume, 0, 100)));
    showVolumeFeedback(wiiMClient_->currentVolume(), false);
}

void AppDelegate::showVolumeFeedback(std::int64_t volume, bool muted) {
    if (!env_.showVolume) {
        hud_->show(volume, muted);
        return;
    }
    env_.showVolume(
        volume, muted, deviceName_,
        freedesktopVolumeIconName(muted ? QStringLiteral("speaker.slash.fill") : iconSymbol_));
}

} // namespace knobly
