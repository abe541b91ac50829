#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QUrl>

#include <cstdint>
#include <optional>

namespace knobly {

// What one getPlayerStatus answer says; each value is absent when the answer lacks it or
// holds it in an unusable form.
struct PlayerStatus {
    std::optional<std::int64_t> volume;
    std::optional<bool> muted;
    std::optional<QString> nowPlaying; // "Artist — Title", or either alone
    std::optional<bool> playing;       // absent when there is no usable "status"
    // The same answer in parts, for the desktop's media controls.
    std::optional<QString> state; // "play", "pause", "stop", "load", "none"
    std::optional<QString> title, artist, album;
    std::optional<std::int64_t> lengthMs, positionMs;
    std::optional<std::int64_t> mode; // what plays: an input, or a kind of streaming
};

// Decodes a getPlayerStatus body; nothing when it is not a JSON object.
std::optional<PlayerStatus> decodePlayerStatus(const QByteArray &body);

// The album art's address from a getMetaInfo body: http or https only; nothing for the
// device's "unknow" and anything else.
std::optional<QUrl> decodeAlbumArt(const QByteArray &body);

// The seconds a getShutdown body says are left before the device turns off: 0 when no sleep
// timer runs (the device says 0 or -1 then); nothing when it is not a whole number.
std::optional<std::int64_t> decodeSecondsLeft(const QByteArray &body);

// The device's hex text of UTF-8 bytes back to text. Groups that are not a hex byte are
// skipped; bytes that are not valid UTF-8 give nothing.
std::optional<QString> hexDecode(const QString &hex);

// The body as a JSON object; nothing when it is empty, not JSON, or not an object.
std::optional<QJsonObject> jsonObjectFrom(const QByteArray &body);

// Whole-number forms read from device JSON, shared with the other JSON readers.
std::optional<std::int64_t> integerFromJsonNumber(double value);
std::optional<std::int64_t> integerFromDecimalText(const QString &text);

} // namespace knobly
