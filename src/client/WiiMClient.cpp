#include "WiiMClient.h"

#include "TrustLocalCerts.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace knobly {

namespace {

std::shared_ptr<UrlSession> makeSession() {
    UrlSessionConfig config;
    config.transferTimeoutSeconds = WiiMClient::requestTimeoutSeconds;
    // A device dripping bytes slower than the transfer timeout would otherwise hold on forever.
    config.totalTimeoutSeconds = 15.0;
    return UrlSession::create(config, std::make_shared<TrustLocalCerts>());
}

// Characters a host name, an IPv4/IPv6 literal or a port may use. Anything else (blanks,
// '/', '?', '#', '@', control characters) would change what the URL points at.
bool isAddressCharacter(QChar c) {
    const char16_t u = c.unicode();
    return (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z') || (u >= u'0' && u <= u'9') ||
           u == u'.' || u == u'-' || u == u'_' || u == u':' || u == u'[' || u == u']' || u == u'%';
}

} // namespace

WiiMClient::WiiMClient(const QString &ipAddress) : session_(makeSession()), ipAddress_(ipAddress) {}

QString WiiMClient::ipAddress() const {
    return ipAddress_;
}

QString WiiMClient::nowPlaying() const {
    std::lock_guard lock(textMutex_);
    return nowPlaying_;
}

void WiiMClient::setNowPlaying(const QString &line) {
    std::lock_guard lock(textMutex_);
    nowPlaying_ = line;
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
    if (!url) {
        completion(std::nullopt);
        return;
    }
    Asked asked;
    {
        std::lock_guard lock(intentMutex_);
        asked = {volumeIntent_.sent, muteIntent_.sent, playIntent_.sent};
    }
    // The query keeps the client alive until its answer has been stored.
    session_->get(*url, [self = shared_from_this(), asked,
                         completion = std::move(completion)](const UrlResponse &response) {
        std::optional<PlayerStatus> status;
        if (response.transportOk)
            status = decodePlayerStatus(response.body);
        if (status)
            self->applyStatus(*status, asked);
        completion(std::move(status));
    });
}

// What the user asked for since the question left stays shown over the device's older answer.
void WiiMClient::applyStatus(const PlayerStatus &status, const Asked &asked) {
    {
        std::lock_guard lock(textMutex_);
        lastStatus_ = status;
    }
    if (status.nowPlaying)
        setNowPlaying(*status.nowPlaying);
    std::lock_guard lock(intentMutex_);
    const auto settled = [](const Intent &i, std::uint64_t at) {
        return i.sent == at && !i.awaited;
    };
    if (status.volume && settled(volumeIntent_, asked.volume))
        setCurrentVolume(*status.volume);
    if (status.muted && settled(muteIntent_, asked.muted))
        setIsMuted(*status.muted);
    if (status.playing && settled(playIntent_, asked.playing))
        setIsPlaying(*status.playing);
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
    volumeLimit_.store(std::clamp<std::int64_t>(limit, 1, 100));
}

void WiiMClient::setVolume(std::int64_t volume, DoneCallback completion) {
    const std::int64_t clamped = std::clamp<std::int64_t>(volume, 0, volumeLimit());
    {
        std::lock_guard lock(intentMutex_);
        ++volumeIntent_.sent;
        ++volumeIntent_.awaited;
        setCurrentVolume(clamped);
    }
    // Every step's answer is awaited, merged into a later request or not.
    completion = [weak = weak_from_this(), completion = std::move(completion)](bool ok) {
        if (const auto self = weak.lock()) {
            std::lock_guard lock(self->intentMutex_);
            --self->volumeIntent_.awaited;
        }
        if (completion)
            completion(ok);
    };
    {
        std::lock_guard lock(volumeMutex_);
        if (volumeInFlight_) {
            waitingVolume_ = clamped;
            if (completion)
                waitingCompletions_.push_back(std::move(completion));
            return;
        }
        volumeInFlight_ = true;
    }
    std::vector<DoneCallback> completions;
    if (completion)
        completions.push_back(std::move(completion));
    sendVolume(clamped, std::move(completions));
}

void WiiMClient::sendVolume(std::int64_t volume, std::vector<DoneCallback> completions) {
    // Ends the flight or takes over what waited meanwhile, then runs the completions: by then
    // the state they may look at (or add to) is settled.
    auto done = [weak = weak_from_this(), completions = std::move(completions)](bool ok) {
        const auto self = weak.lock();
        std::optional<std::int64_t> next;
        std::vector<DoneCallback> waiting;
        if (self) {
            std::lock_guard lock(self->volumeMutex_);
            next = std::exchange(self->waitingVolume_, std::nullopt);
            waiting = std::exchange(self->waitingCompletions_, {});
            self->volumeInFlight_ = next.has_value();
        }
        for (const DoneCallback &c : completions)
            c(ok);
        if (next)
            self->sendVolume(*next, std::move(waiting));
    };
    sendCommand(QStringLiteral("setPlayerCmd:vol:") + QString::number(volume), std::move(done));
}

// Saturating, so that a step at either end of the integer range still clamps instead of
// wrapping around.
void WiiMClient::volumeUp(std::int64_t step) {
    std::int64_t target;
    if (__builtin_add_overflow(currentVolume(), step, &target))
        target = step > 0 ? std::numeric_limits<std::int64_t>::max()
                          : std::numeric_limits<std::int64_t>::min();
    setVolume(target);
}

void WiiMClient::volumeDown(std::int64_t step) {
    std::int64_t target;
    if (__builtin_sub_overflow(currentVolume(), step, &target))
        target = step > 0 ? std::numeric_limits<std::int64_t>::min()
                          : std::numeric_limits<std::int64_t>::max();
    setVolume(target);
}

namespace {
const QString kMute = QStringLiteral("setPlayerCmd:mute:1");
const QString kUnmute = QStringLiteral("setPlayerCmd:mute:0");
const QString kResume = QStringLiteral("setPlayerCmd:resume");
const QString kPause = QStringLiteral("setPlayerCmd:pause");
} // namespace

void WiiMClient::toggleMute(DoneCallback completion) {
    sendChange(&WiiMClient::isMuted_, &WiiMClient::muteIntent_, std::nullopt, kMute, kUnmute,
               std::move(completion));
}

void WiiMClient::playPause(DoneCallback completion) {
    sendChange(&WiiMClient::isPlaying_, &WiiMClient::playIntent_, std::nullopt, kResume, kPause,
               std::move(completion));
}

void WiiMClient::play(DoneCallback completion) {
    sendChange(&WiiMClient::isPlaying_, &WiiMClient::playIntent_, true, kResume, kPause,
               std::move(completion));
}

void WiiMClient::pause(DoneCallback completion) {
    sendChange(&WiiMClient::isPlaying_, &WiiMClient::playIntent_, false, kResume, kPause,
               std::move(completion));
}

void WiiMClient::stop(DoneCallback completion) {
    sendChange(&WiiMClient::isPlaying_, &WiiMClient::playIntent_, false, kResume,
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
        completion(std::nullopt);
        return;
    }
    session_->get(*url, [decode, completion = std::move(completion)](const UrlResponse &response) {
        const bool answered = response.transportOk && response.httpStatus == 200;
        completion(answered ? decode(response.body) : std::nullopt);
    });
}

void WiiMClient::fetchPresets(
    std::function<void(std::optional<std::vector<DevicePreset>>)> completion) {
    query(QStringLiteral("getPresetInfo"), &decodePresets, std::move(completion));
}

void WiiMClient::fetchIdentity(std::function<void(std::optional<DeviceIdentity>)> completion) {
    query(QStringLiteral("getStatusEx"), &decodeDeviceIdentity, std::move(completion));
}

void WiiMClient::fetchAlbumArt(std::function<void(std::optional<QUrl>)> completion) {
    query(QStringLiteral("getMetaInfo"), &decodeAlbumArt, std::move(completion));
}

std::optional<PlayerStatus> WiiMClient::lastStatus() const {
    std::lock_guard lock(textMutex_);
    return lastStatus_;
}

void WiiMClient::nextTrack(DoneCallback completion) {
    sendCommand(QStringLiteral("setPlayerCmd:next"), std::move(completion));
}

void WiiMClient::prevTrack(DoneCallback completion) {
    sendCommand(QStringLiteral("setPlayerCmd:prev"), std::move(completion));
}

namespace {
// Done only when the device says so: an error page, "unknown command" or "Failed" is no.
bool carriedOut(const UrlResponse &response) {
    return response.transportOk && response.httpStatus == 200 &&
           response.body.trimmed() == QByteArrayLiteral("OK");
}
} // namespace

void WiiMClient::sendChange(std::atomic<bool> WiiMClient::*flag, Intent WiiMClient::*intent,
                            std::optional<bool> value, const QString &whenOn,
                            const QString &whenOff, DoneCallback completion) {
    bool target;
    std::uint64_t sentAs;
    {
        // Presses not yet answered are already in what is shown: a second toggle undoes the first.
        std::lock_guard lock(intentMutex_);
        target = value.value_or(!(this->*flag).load());
        (this->*flag).store(target);
        sentAs = ++(this->*intent).sent;
        ++(this->*intent).awaited;
    }
    auto finish = [weak = weak_from_this(), flag, intent, target, sentAs,
                   completion = std::move(completion)](const UrlResponse &response) {
        const bool done = carriedOut(response);
        if (const auto self = weak.lock()) {
            std::lock_guard lock(self->intentMutex_);
            Intent &i = self.get()->*intent;
            --i.awaited;
            if (!done && i.sent == sentAs) // taken back, unless changed again since
                (self.get()->*flag).store(!target);
        }
        if (completion)
            completion(done);
    };
    const auto url = requestUrl(ipAddress(), target ? whenOn : whenOff);
    if (!url) {
        finish(UrlResponse{});
        return;
    }
    session_->get(*url, std::move(finish));
}

void WiiMClient::sendCommand(const QString &command, DoneCallback completion) {
    const auto url = requestUrl(ipAddress(), command);
    if (!url) {
        if (completion)
            completion(false);
        return;
    }
    session_->get(*url, [completion = std::move(completion)](const UrlResponse &response) {
        if (completion)
            completion(carriedOut(response));
    });
}

} // namespace knobly
