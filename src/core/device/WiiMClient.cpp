#include "WiiMClient.h"

#include "MainQueue.h"
#include "TrustLocalCerts.h"

#include <QPointer>

#include <algorithm>
#include <tuple>
#include <utility>

namespace knobly {

namespace {

std::shared_ptr<UrlSession> makeSession() {
    UrlSessionConfig config;
    config.transferTimeoutSeconds = WiiMClient::requestTimeoutSeconds;
    // A device dripping bytes slower than the transfer timeout would otherwise hold on forever.
    config.totalTimeoutSeconds = 15.0;
    return UrlSession::createForDevice(config, std::make_shared<TrustLocalCerts>());
}

// Characters a host name, an IPv4/IPv6 literal or a port may use. Anything else (blanks,
// '/', '?', '#', '@', control characters) would change what the URL points at.
bool isAddressCharacter(QChar c) {
    const char16_t u = c.unicode();
    return (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z') || (u >= u'0' && u <= u'9') ||
           u == u'.' || u == u'-' || u == u'_' || u == u':' || u == u'[' || u == u']' || u == u'%';
}

// A few are enough: a device echoes what it was sent in order, soon after.
void rememberEcho(auto &intent, std::int64_t value) {
    if (intent.echoes.size() >= 16)
        intent.echoes.erase(intent.echoes.begin());
    intent.echoes.push_back(value);
}

} // namespace

WiiMClient::WiiMClient(const QString &ipAddress) : session_(makeSession()), ipAddress_(ipAddress) {}

// One signal for however many fields one answer or command changed.
void WiiMClient::show(DeviceState next) {
    if (next == state_)
        return;
    state_ = std::move(next);
    Q_EMIT stateChanged();
}

void WiiMClient::setCurrentVolume(std::int64_t volume) {
    DeviceState next = state_;
    next.volume = std::clamp<std::int64_t>(volume, 0, 100);
    next.volumeKnown = true;
    show(std::move(next));
}

void WiiMClient::showFlag(bool DeviceState::*flag, bool on) {
    DeviceState next = state_;
    next.*flag = on;
    show(std::move(next));
}

void WiiMClient::setIsMuted(bool muted) {
    showFlag(&DeviceState::muted, muted);
}

void WiiMClient::setIsPlaying(bool playing) {
    showFlag(&DeviceState::playing, playing);
}

std::optional<QUrl> WiiMClient::requestUrl(const QString &address, const QString &command) {
    if (address.isEmpty() || !std::all_of(address.begin(), address.end(), isAddressCharacter))
        return std::nullopt;
    const QString text =
        QStringLiteral("https://") + address + QStringLiteral("/httpapi.asp?command=") + command;
    QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty() || url.path() != QLatin1String("/httpapi.asp"))
        return std::nullopt;
    return url;
}

void WiiMClient::fetchPlayerStatus(PlayerStatusCallback completion) {
    const auto url = requestUrl(ipAddress(), QStringLiteral("getPlayerStatus"));
    const Asked asked{volumeIntent_.sent, muteIntent_.sent, playIntent_.sent, trackEvents_};
    if (!url) {
        failureReason_ = QStringLiteral("is not an address a request can go to");
        applyStatus(std::nullopt, asked);
        completion(std::nullopt);
        return;
    }
    session_->get(*url, [self = QPointer<WiiMClient>(this), asked,
                         completion = std::move(completion)](const UrlResponse &response) {
        std::optional<PlayerStatus> status;
        if (response.isOk())
            status = decodePlayerStatus(response.body);
        if (self) {
            if (self->answered(response) && !status)
                self->failureReason_ = QStringLiteral("gave an answer that is not the device's");
            self->applyStatus(status, asked);
        }
        completion(std::move(status));
    });
}

// A status answer, or its absence. What the user asked for since the question left stays
// shown over the device's older answer.
void WiiMClient::applyStatus(const std::optional<PlayerStatus> &status, const Asked &asked) {
    DeviceState next = state_;
    // An answer without a usable volume is not the device's.
    next.reachable = status && status->volume;
    if (!next.reachable.value()) {
        show(std::move(next));
        return;
    }
    if (trackEvents_ == asked.track) {
        next.nowPlaying = status->nowPlaying.value_or(QString());
        next.transport = status->state.value_or(QString());
        next.title = status->title.value_or(QString());
        next.artist = status->artist.value_or(QString());
        next.album = status->album.value_or(QString());
    }
    next.lengthMs = status->lengthMs;
    next.positionMs = status->positionMs;
    next.input = status->mode;
    const auto settled = [](const Intent &i, std::uint64_t at) {
        return i.sent == at && !i.awaited;
    };
    if (status->volume && settled(volumeIntent_, asked.volume)) {
        next.volume = std::clamp<std::int64_t>(*status->volume, 0, 100);
        next.volumeKnown = true;
    }
    if (status->muted && settled(muteIntent_, asked.muted))
        next.muted = *status->muted;
    if (status->playing && settled(playIntent_, asked.playing))
        next.playing = *status->playing;
    const auto seen = [](const DeviceState &s) {
        return std::tie(s.volume, s.muted, s.playing, s.title, s.artist);
    };
    if (followingEvents_ && state_.reachable.value_or(false) && state_.volumeKnown &&
        seen(next) != seen(state_)) {
        ++missedChanges_;
        show(std::move(next));
        Q_EMIT changeMissed();
        return;
    }
    show(std::move(next));
}

// True when an event's value for a field the user changes is to be shown.
bool WiiMClient::Intent::showsEvent(std::int64_t value, std::int64_t shown) {
    if (awaited)
        return false;
    ++sent;               // newer than any poll under way
    if (value == shown) { // confirmed: no echo of ours can come after it
        echoes.clear();
        return false;
    }
    if (std::find(echoes.begin(), echoes.end(), value) != echoes.end())
        return false;
    echoes.clear();
    return true;
}

void WiiMClient::applyEvent(const DeviceEvent &event) {
    DeviceState next = state_;
    if (event.volume &&
        volumeIntent_.showsEvent(*event.volume, next.volumeKnown ? next.volume : -1)) {
        next.volume = *event.volume;
        next.volumeKnown = true;
    }
    if (event.muted && muteIntent_.showsEvent(*event.muted, next.muted))
        next.muted = *event.muted;
    if (event.transport && *event.transport != QLatin1String("load")) {
        const bool playing = *event.transport == QLatin1String("play");
        if (playIntent_.showsEvent(playing, next.playing))
            next.playing = playing;
        if (next.playing == playing) {
            next.transport = *event.transport;
            ++trackEvents_;
        }
    }
    if (event.track) {
        next.title = event.track->title;
        next.artist = event.track->artist;
        next.album = event.track->album;
        const QString title = shownText(next.title), artist = shownText(next.artist);
        next.nowPlaying = artist.isEmpty() || title.isEmpty()
                              ? artist + title
                              : artist + QStringLiteral(" \u2014 ") + title;
        ++trackEvents_;
    }
    show(std::move(next));
}

void WiiMClient::fetchStatus(StatusCallback completion) {
    fetchPlayerStatus([completion = std::move(completion)](std::optional<PlayerStatus> status) {
        if (!completion)
            return;
        if (!status) {
            completion(std::nullopt, std::nullopt, std::nullopt);
            return;
        }
        completion(status->volume, status->muted, status->nowPlaying);
    });
}

void WiiMClient::setVolumeLimit(std::int64_t limit) {
    volumeLimit_ = std::clamp<std::int64_t>(limit, 1, 100);
}

void WiiMClient::setVolume(std::int64_t volume, DoneCallback completion) {
    const std::int64_t clamped = std::clamp<std::int64_t>(volume, 0, volumeLimit_);
    ++volumeIntent_.sent;
    ++volumeIntent_.awaited;
    setCurrentVolume(clamped);
    waitingVolume_ = clamped;
    // Every step's answer is awaited, merged into a later request or not.
    waitingCompletions_.push_back(std::move(completion));
    sendWaitingVolume();
}

// Sends the latest level asked for, once the last request is answered and the gap is over.
void WiiMClient::sendWaitingVolume() {
    if (volumeInFlight_ || volumeGapRunning_ || !waitingVolume_)
        return;
    volumeInFlight_ = volumeGapRunning_ = true;
    MainQueue::main().asyncAfter(volumeGapSeconds, [self = QPointer<WiiMClient>(this)] {
        if (!self)
            return;
        self->volumeGapRunning_ = false;
        self->sendWaitingVolume();
    });
    const std::int64_t level = *std::exchange(waitingVolume_, std::nullopt);
    rememberEcho(volumeIntent_, level);
    auto done = [self = QPointer<WiiMClient>(this),
                 completions = std::exchange(waitingCompletions_, {})](bool ok) {
        if (self) {
            self->volumeIntent_.awaited -= static_cast<int>(completions.size());
            self->volumeInFlight_ = false;
        }
        for (const DoneCallback &c : completions)
            if (c)
                c(ok);
        if (self)
            self->sendWaitingVolume();
    };
    sendCommand(QStringLiteral("setPlayerCmd:vol:") + QString::number(level), std::move(done));
}

// The shown level is always 0-100, so a step (bounded to a full sweep) cannot overflow.
void WiiMClient::volumeUp(std::int64_t step) {
    setVolume(state_.volume + std::clamp<std::int64_t>(step, -100, 100));
}

void WiiMClient::volumeDown(std::int64_t step) {
    setVolume(state_.volume - std::clamp<std::int64_t>(step, -100, 100));
}

namespace {
const QString kMute = QStringLiteral("setPlayerCmd:mute:1");
const QString kUnmute = QStringLiteral("setPlayerCmd:mute:0");
const QString kResume = QStringLiteral("setPlayerCmd:resume");
const QString kPause = QStringLiteral("setPlayerCmd:pause");
} // namespace

void WiiMClient::toggleMute(DoneCallback completion) {
    sendChange(&DeviceState::muted, &WiiMClient::muteIntent_, std::nullopt, kMute, kUnmute,
               std::move(completion));
}

void WiiMClient::playPause(DoneCallback completion) {
    sendChange(&DeviceState::playing, &WiiMClient::playIntent_, std::nullopt, kResume, kPause,
               std::move(completion));
}

void WiiMClient::play(DoneCallback completion) {
    sendChange(&DeviceState::playing, &WiiMClient::playIntent_, true, kResume, kPause,
               std::move(completion));
}

void WiiMClient::pause(DoneCallback completion) {
    sendChange(&DeviceState::playing, &WiiMClient::playIntent_, false, kResume, kPause,
               std::move(completion));
}

void WiiMClient::stop(DoneCallback completion) {
    sendChange(&DeviceState::playing, &WiiMClient::playIntent_, false, kResume,
               QStringLiteral("setPlayerCmd:stop"), std::move(completion));
}

void WiiMClient::switchInput(const QString &mode, DoneCallback completion) {
    sendCommand(QStringLiteral("setPlayerCmd:switchmode:") + mode, std::move(completion));
}

void WiiMClient::playPreset(int number, DoneCallback completion) {
    sendCommand(QStringLiteral("MCUKeyShortClick:%1").arg(number), std::move(completion));
}

// A query whose decoded answer is all the caller wants: nothing on any failure.
template <typename T>
void WiiMClient::query(const QString &command, std::optional<T> (*decode)(const QByteArray &body),
                       std::function<void(std::optional<T>)> completion) {
    const auto url = requestUrl(ipAddress(), command);
    if (!url) {
        failureReason_ = QStringLiteral("is not an address a request can go to");
        completion(std::nullopt);
        return;
    }
    session_->get(*url, [self = QPointer<WiiMClient>(this), decode,
                         completion = std::move(completion)](const UrlResponse &response) {
        std::optional<T> value;
        if (self && self->answered(response)) {
            value = decode(response.body);
            if (!value)
                self->failureReason_ = QStringLiteral("gave an answer that is not the device's");
        }
        completion(std::move(value));
    });
}

void WiiMClient::fetchPresets(
    std::function<void(std::optional<std::vector<DevicePreset>>)> completion) {
    query(QStringLiteral("getPresetInfo"), &decodePresets, std::move(completion));
}

void WiiMClient::fetchIdentity(std::function<void(std::optional<DeviceIdentity>)> completion) {
    query(QStringLiteral("getStatusEx"), &decodeDeviceIdentity, std::move(completion));
}

void WiiMClient::setSleepTimer(std::int64_t seconds, DoneCallback completion) {
    sendCommand(QStringLiteral("setShutdown:%1").arg(std::max<std::int64_t>(seconds, -1)),
                std::move(completion));
}

void WiiMClient::fetchSleepTimer(std::function<void(std::optional<std::int64_t>)> completion) {
    query(QStringLiteral("getShutdown"), &decodeSecondsLeft, std::move(completion));
}

void WiiMClient::fetchAlbumArt(std::function<void(std::optional<QUrl>)> completion) {
    query(QStringLiteral("getMetaInfo"), &decodeAlbumArt, std::move(completion));
}

// The group's queries live beside their commands.
template void WiiMClient::query<SlaveList>(const QString &,
                                           std::optional<SlaveList> (*)(const QByteArray &),
                                           std::function<void(std::optional<SlaveList>)>);

void WiiMClient::nextTrack(DoneCallback completion) {
    sendCommand(QStringLiteral("setPlayerCmd:next"), std::move(completion));
}

void WiiMClient::prevTrack(DoneCallback completion) {
    sendCommand(QStringLiteral("setPlayerCmd:prev"), std::move(completion));
}

bool WiiMClient::answered(const UrlResponse &response) {
    if (!response.transportOk)
        failureReason_ = QStringLiteral("did not answer (%1)").arg(response.error);
    else if (response.httpStatus != 200)
        failureReason_ = QStringLiteral("answered with HTTP status %1").arg(response.httpStatus);
    return response.isOk();
}

void WiiMClient::sendChange(bool DeviceState::*flag, Intent WiiMClient::*intent,
                            std::optional<bool> value, const QString &whenOn,
                            const QString &whenOff, DoneCallback completion) {
    // Presses not yet answered are already in what is shown: a second toggle undoes the first.
    const bool target = value.value_or(!(state_.*flag));
    showFlag(flag, target);
    const std::uint64_t sentAs = ++(this->*intent).sent;
    rememberEcho(this->*intent, target);
    ++(this->*intent).awaited;
    auto finish = [self = QPointer<WiiMClient>(this), flag, intent, target, sentAs,
                   completion = std::move(completion)](bool done) {
        if (self) {
            Intent &i = self.data()->*intent;
            --i.awaited;
            if (!done && i.sent == sentAs) // taken back, unless changed again since
                self->showFlag(flag, !target);
        }
        if (completion)
            completion(done);
    };
    sendCommand(target ? whenOn : whenOff, std::move(finish));
}

// Done only when the device says so: an error page, "unknown command" or "Failed" is a no.
void WiiMClient::sendCommand(const QString &command, DoneCallback completion) {
    const auto url = requestUrl(ipAddress(), command);
    if (!url) {
        failureReason_ = QStringLiteral("is not an address a request can go to");
        if (completion)
            completion(false);
        return;
    }
    session_->get(*url, [self = QPointer<WiiMClient>(this),
                         completion = std::move(completion)](const UrlResponse &response) {
        const QByteArray said = response.body.trimmed();
        const bool done = response.isOk() && said == "OK";
        if (self && self->answered(response) && !done)
            self->failureReason_ = QStringLiteral("refused the command (it answered \"%1\")")
                                       .arg(QString::fromUtf8(said.left(60)).simplified());
        if (completion)
            completion(done);
    });
}

} // namespace knobly
