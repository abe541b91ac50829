#include "PlayerStatus.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QStringDecoder>
#include <QTextBoundaryFinder>

#include <algorithm>
#include <cmath>
#include <limits>

namespace knobly {

namespace {

// One group of hex text as an unsigned byte: an optional sign, then hex digits only.
std::optional<std::uint8_t> byteFromGroup(QStringView group) {
    bool negative = false;
    if (!group.isEmpty() && (group.front() == u'+' || group.front() == u'-')) {
        negative = group.front() == u'-';
        group = group.mid(1);
    }
    if (group.isEmpty())
        return std::nullopt;
    unsigned value = 0;
    for (QChar c : group) {
        const char16_t u = c.unicode();
        unsigned digit;
        if (u >= u'0' && u <= u'9')
            digit = u - u'0';
        else if (u >= u'a' && u <= u'f')
            digit = u - u'a' + 10;
        else if (u >= u'A' && u <= u'F')
            digit = u - u'A' + 10;
        else
            return std::nullopt;
        value = value * 16 + digit;
    }
    if (negative && value != 0)
        return std::nullopt;
    return static_cast<std::uint8_t>(value);
}

std::optional<std::int64_t> integerFrom(const QJsonValue &v) {
    if (v.isDouble()) {
        // Integers that fit come back exactly; anything else goes through the double.
        const QVariant exact = v.toVariant();
        if (exact.typeId() == QMetaType::LongLong)
            return exact.toLongLong();
        return integerFromJsonNumber(v.toDouble());
    }
    if (v.isString())
        return integerFromDecimalText(v.toString());
    return std::nullopt;
}

std::optional<QString> decodedText(const QJsonValue &v) {
    if (!v.isString())
        return std::nullopt;
    const QString text = v.toString();
    if (text.isEmpty())
        return std::nullopt;
    return hexDecode(text);
}

} // namespace

std::optional<std::int64_t> integerFromJsonNumber(double value) {
    // 2^63 is exactly representable; anything at or above it does not fit.
    constexpr double limit = 9223372036854775808.0;
    if (!std::isfinite(value) || std::trunc(value) != value || value >= limit || value < -limit)
        return std::nullopt;
    return static_cast<std::int64_t>(value);
}

std::optional<std::int64_t> integerFromDecimalText(const QString &text) {
    QStringView digits(text);
    bool negative = false;
    if (!digits.isEmpty() && (digits.front() == u'+' || digits.front() == u'-')) {
        negative = digits.front() == u'-';
        digits = digits.mid(1);
    }
    if (digits.isEmpty())
        return std::nullopt;
    // Accumulate negatively so that the most negative value fits too.
    std::int64_t value = 0;
    constexpr std::int64_t min = std::numeric_limits<std::int64_t>::min();
    for (QChar c : digits) {
        if (c.unicode() < u'0' || c.unicode() > u'9')
            return std::nullopt;
        const int digit = c.unicode() - u'0';
        if (value < (min + digit) / 10)
            return std::nullopt;
        value = value * 10 - digit;
    }
    if (!negative) {
        if (value == min)
            return std::nullopt;
        value = -value;
    }
    return value;
}

std::optional<QString> hexDecode(const QString &hex) {
    QByteArray bytes;
    // Groups are counted in user-perceived characters, not code units.
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, hex);
    qsizetype start = 0;
    while (start < hex.size()) {
        qsizetype end = finder.toNextBoundary();
        if (end < 0)
            break;
        qsizetype second = finder.toNextBoundary();
        if (second >= 0)
            end = second;
        if (const auto byte = byteFromGroup(QStringView(hex).mid(start, end - start)))
            bytes.append(static_cast<char>(*byte));
        start = end;
    }
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

std::optional<QJsonObject> jsonObjectFrom(const QByteArray &body) {
    if (body.isEmpty())
        return std::nullopt;
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return std::nullopt;
    return doc.object();
}

std::optional<std::int64_t> decodeSecondsLeft(const QByteArray &body) {
    const auto seconds = integerFromDecimalText(QString::fromLatin1(body.trimmed()));
    if (!seconds)
        return std::nullopt;
    // A week is far beyond any timer the device offers.
    return std::clamp<std::int64_t>(*seconds, 0, 7 * 24 * 3600);
}

std::optional<QUrl> decodeAlbumArt(const QByteArray &body) {
    const auto object = jsonObjectFrom(body);
    if (!object)
        return std::nullopt;
    const QJsonValue art =
        object->value(QLatin1String("metaData")).toObject().value(QLatin1String("albumArtURI"));
    const QUrl url(art.toString(), QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty() ||
        (url.scheme() != QLatin1String("http") && url.scheme() != QLatin1String("https")))
        return std::nullopt;
    return url;
}

std::optional<PlayerStatus> decodePlayerStatus(const QByteArray &body) {
    const auto object = jsonObjectFrom(body);
    if (!object)
        return std::nullopt;
    const QJsonObject &json = *object;

    PlayerStatus status;
    // A level out of range is read as the nearest one the device can have.
    if (const auto volume = integerFrom(json.value(QLatin1String("vol"))))
        status.volume = std::clamp<std::int64_t>(*volume, 0, 100);

    const QJsonValue mute = json.value(QLatin1String("mute"));
    if (mute.isString())
        status.muted = mute.toString() == QLatin1String("1");
    else if (mute.isDouble())
        status.muted = mute.toDouble() == 1.0;

    status.artist = decodedText(json.value(QLatin1String("Artist")));
    status.title = decodedText(json.value(QLatin1String("Title")));
    status.album = decodedText(json.value(QLatin1String("Album")));
    std::optional<QString> line = status.artist;
    if (status.title)
        line = line ? *line + QStringLiteral(" \u2014 ") + *status.title : *status.title;
    status.nowPlaying = line;
    status.lengthMs = integerFrom(json.value(QLatin1String("totlen")));
    status.positionMs = integerFrom(json.value(QLatin1String("curpos")));
    status.mode = integerFrom(json.value(QLatin1String("mode")));

    const QJsonValue state = json.value(QLatin1String("status"));
    if (state.isString()) {
        status.state = state.toString();
        status.playing = *status.state == QLatin1String("play");
    }
    return status;
}

} // namespace knobly
