#include "DiscoveryParsing.h"

#include "DeviceIdentity.h"

#include <QStringDecoder>
#include <QStringList>

#include <algorithm>

namespace knobly {

QByteArray ssdpSearchDatagram() {
    return QByteArrayLiteral("M-SEARCH * HTTP/1.1\r\n"
                             "HOST: 239.255.255.250:1900\r\n"
                             "MAN: \"ssdp:discover\"\r\n"
                             "MX: 2\r\n"
                             "ST: urn:schemas-upnp-org:device:MediaRenderer:1\r\n"
                             "\r\n");
}

SsdpAnswerClass classifySsdpAnswer(const QByteArray &datagram) {
    // Text up to the first zero byte, bad UTF-8 replaced, as the receive loop sees it.
    const qsizetype end = datagram.indexOf('\0');
    const QString text = QString::fromUtf8(end < 0 ? datagram : datagram.left(end)).toLower();
    if (text.contains(QLatin1String("linkplay")) || text.contains(QLatin1String("wiim")))
        return SsdpAnswerClass::wiimLike;
    if (text.contains(QLatin1String("mediarenderer")) || text.contains(QLatin1String("upnp")))
        return SsdpAnswerClass::renderer;
    return SsdpAnswerClass::other;
}

QUrl ssdpLocation(const QByteArray &datagram, const QHostAddress &sender) {
    for (const QByteArray &line : datagram.split('\n')) {
        const qsizetype colon = line.indexOf(':');
        if (colon < 0 || line.left(colon).trimmed().toLower() != "location")
            continue;
        const QUrl url(QString::fromLatin1(line.mid(colon + 1).trimmed()), QUrl::StrictMode);
        // Only a plain description on the device that answered: the events are asked there.
        if (url.isValid() && url.scheme() == QLatin1String("http") &&
            QHostAddress(url.host()).isEqual(sender))
            return url;
        return {};
    }
    return {};
}

QString ssdpFallbackName(SsdpAnswerClass answerClass) {
    return answerClass == SsdpAnswerClass::wiimLike ? QStringLiteral("WiiM Device")
                                                    : QStringLiteral("Unknown");
}

QMap<QString, QByteArray> txtRecordDictionary(const TxtRecord &record) {
    QMap<QString, QByteArray> map;
    for (const auto &[keyBytes, value] : record) {
        if (keyBytes.isEmpty())
            continue;
        // Stateless: a key cut off inside a character is an error, not a shorter key; and
        // a leading byte order mark stays part of the key instead of vanishing.
        QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless |
                                                         QStringDecoder::Flag::ConvertInitialBom);
        const QString key = decoder.decode(keyBytes);
        if (decoder.hasError() || map.contains(key))
            continue;
        map.insert(key, value);
    }
    return map;
}

namespace {
QString utf8Value(const QMap<QString, QByteArray> &txt, const char *key) {
    const QByteArray bytes = txt.value(QLatin1String(key));
    // Stateless, so that a value cut off inside a character reads as bad, not as shorter.
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder.decode(bytes);
    return decoder.hasError() ? QString() : text;
}
} // namespace

ServiceClassification classifyService(const QString &serviceName, const QString &serviceType,
                                      const std::optional<TxtRecord> &txtRecord) {
    const QMap<QString, QByteArray> txt =
        txtRecord ? txtRecordDictionary(*txtRecord) : QMap<QString, QByteArray>();
    const QString model = utf8Value(txt, "model");
    const QString manufacturer = utf8Value(txt, "manufacturer");
    const QString am = utf8Value(txt, "am");
    const QString fn = utf8Value(txt, "fn");
    const QString md = utf8Value(txt, "md");

    const QString match =
        QStringList{model, manufacturer, am, fn, md, serviceName}.join(QLatin1Char(' ')).toLower();

    ServiceClassification c;
    const bool airplay = serviceType.contains(QLatin1String("airplay"));
    c.source = airplay                                             ? DiscoverySource::airplay
               : serviceType.contains(QLatin1String("_linkplay.")) ? DiscoverySource::linkplay
                                                                   : DiscoverySource::chromecast;
    c.recognised =
        match.contains(QLatin1String("wiim")) || match.contains(QLatin1String("linkplay"));
    c.name = airplay || fn.isEmpty() ? serviceName : fn;
    c.model = !model.isEmpty() ? model : !md.isEmpty() ? md : am;
    return c;
}

std::optional<WiiMDevice> probedDevice(const std::optional<DeviceIdentity> &identity,
                                       const QString &name, const QString &ip, const QString &model,
                                       DiscoverySource source) {
    if (!identity || !identity->isWiiM())
        return std::nullopt;
    return WiiMDevice{identity->ssid.isEmpty() ? name : identity->ssid,
                      ip,
                      443,
                      identity->project.isEmpty() ? model : identity->project,
                      true,
                      source,
                      identity->uuid,
                      {}};
}

} // namespace knobly
