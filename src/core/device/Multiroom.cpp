#include "Multiroom.h"

#include "PlayerStatus.h"

#include <QHostAddress>
#include <QJsonArray>
#include <QRegularExpression>

#include <algorithm>

namespace knobly {

namespace {

QJsonValue member(const QJsonObject &object, QLatin1String key) {
    for (auto it = object.begin(); it != object.end(); ++it)
        if (it.key().compare(key, Qt::CaseInsensitive) == 0)
            return it.value();
    return {};
}

QString text(const QJsonValue &value) {
    return value.isDouble() ? QString::number(value.toDouble()) : value.toString();
}

// A number or a decimal text; out of range is clamped, anything else is nothing.
std::optional<std::int64_t> level(const QJsonValue &value) {
    const auto number = value.isDouble() ? integerFromJsonNumber(value.toDouble())
                                         : integerFromDecimalText(value.toString());
    if (!number)
        return std::nullopt;
    return std::clamp<std::int64_t>(*number, 0, 100);
}

} // namespace

std::optional<SlaveList> decodeSlaveList(const QByteArray &body) {
    const auto json = jsonObjectFrom(body);
    if (!json)
        return std::nullopt;
    SlaveList list;
    list.version = text(member(*json, QLatin1String("wmrm_version")));
    for (const QJsonValue &entry : member(*json, QLatin1String("slave_list")).toArray()) {
        // Each member is a connection of ours, polled: a list of thousands opens none of them.
        if (list.members.size() == maxGroupMembers)
            break;
        const QJsonObject m = entry.toObject();
        GroupMember g;
        g.name = text(member(m, QLatin1String("name")));
        g.uuid = text(member(m, QLatin1String("uuid")));
        g.ip = text(member(m, QLatin1String("ip")));
        g.version = text(member(m, QLatin1String("version")));
        g.volume = level(member(m, QLatin1String("volume"))).value_or(0);
        g.muted = level(member(m, QLatin1String("mute"))).value_or(0) == 1;
        QHostAddress address;
        if (address.setAddress(g.ip))
            list.members.push_back(std::move(g));
    }
    return list;
}

QString shortUuid(const QString &uuid) {
    QString digits = uuid.trimmed();
    if (digits.startsWith(QLatin1String("uuid:"), Qt::CaseInsensitive))
        digits = digits.mid(5);
    digits.remove(u'-');
    static const QRegularExpression hex(QStringLiteral("^[0-9A-Fa-f]{24,}$"));
    return hex.match(digits).hasMatch() ? digits.left(24).toUpper() : QString();
}

bool sameDevice(const QString &uuid, const QString &other) {
    const QString a = shortUuid(uuid);
    return !a.isEmpty() && a == shortUuid(other);
}

std::optional<QString> multiroomAddress(const QString &leaderAddress) {
    QString host = leaderAddress.trimmed();
    if (const qsizetype colon = host.lastIndexOf(u':'); colon > 0 && host.count(u':') == 1)
        host = host.left(colon);
    QHostAddress address;
    if (!address.setAddress(host) || address.protocol() != QAbstractSocket::IPv4Protocol ||
        address == QHostAddress(QHostAddress::AnyIPv4) ||
        address == QHostAddress(QHostAddress::Broadcast))
        return std::nullopt;
    return address.toString();
}

} // namespace knobly
