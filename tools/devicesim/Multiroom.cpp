#include "Multiroom.h"

#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

namespace devicesim {

namespace {

// "name" as this firmware spells it: older firmware capitalises the first letter.
QString key(const char *name, bool capitalised) {
    QString text = QString::fromLatin1(name);
    if (capitalised)
        text[0] = text[0].toUpper();
    return text;
}

bool isDeviceAddress(const QByteArray &text) {
    QHostAddress address;
    return address.setAddress(QString::fromLatin1(text)) &&
           address.protocol() == QAbstractSocket::IPv4Protocol &&
           address != QHostAddress(QHostAddress::AnyIPv4);
}

std::optional<int> level(const QByteArray &text) {
    bool ok = false;
    const int value = text.toInt(&ok);
    return ok && value >= 0 && value <= 100 ? std::optional(value) : std::nullopt;
}

} // namespace

std::optional<QByteArray> Multiroom::answer(const QByteArray &command, const Self &self,
                                            std::vector<PeerCall> &calls) {
    const QList<QByteArray> fields = command.split(':');
    if (command == "multiroom:getSlaveList")
        return slaveList();
    if (command.startsWith("ConnectMasterAp:JoinGroupMaster:")) {
        // eth<leader>:wifi0.0.0.0
        if (fields.size() != 4 || !fields[2].startsWith("eth") || fields[3] != "wifi0.0.0.0")
            return "Failed";
        return join(fields[2].mid(3), self, calls);
    }
    if (command.startsWith("multiroom:JoinGroup:") && fields.size() >= 3 &&
        fields[2].startsWith("IP="))
        return join(fields[2].mid(3), self, calls);
    if (command.startsWith("multiroom:SlaveKickout:") && fields.size() == 3) {
        if (!follower(fields[2]))
            return "Failed";
        dropFollower(QString::fromLatin1(fields[2]), calls);
        return "OK";
    }
    if (command == "multiroom:Ungroup") {
        if (followers_.empty())
            return "Failed";
        while (!followers_.empty())
            dropFollower(followers_.back().ip, calls);
        return "OK";
    }
    if (command == "multiroom:LeaveGroup") {
        if (!following_)
            return "Failed";
        following_ = false;
        calls.push_back({leaderIp_, "simMultiroom:left:" + self.ip.toLatin1(), {}});
        return "OK";
    }
    if ((command.startsWith("multiroom:SlaveVolume:") ||
         command.startsWith("multiroom:SlaveMute:")) &&
        fields.size() == 4) {
        Follower *member = follower(fields[2]);
        const bool volume = fields[1] == "SlaveVolume";
        const auto value = level(fields[3]);
        if (!member || !value || (!volume && *value > 1))
            return "Failed";
        if (volume)
            member->volume = *value;
        else
            member->muted = *value == 1;
        calls.push_back(
            {member->ip, (volume ? "setPlayerCmd:vol:" : "setPlayerCmd:mute:") + fields[3], {}});
        return "OK";
    }
    if (command.startsWith("setPlayerCmd:slave_vol:")) {
        const auto value = level(fields.value(2));
        if (!value)
            return "Failed";
        self.volume = *value;
        for (Follower &member : followers_) {
            member.volume = *value;
            calls.push_back({member.ip, "setPlayerCmd:vol:" + fields[2], {}});
        }
        return "OK";
    }
    if (command == "setPlayerCmd:slave_mute:mute" || command == "setPlayerCmd:slave_mute:unmute") {
        const bool mute = command.endsWith(":mute");
        self.muted = mute;
        for (Follower &member : followers_) {
            member.muted = mute;
            calls.push_back({member.ip, mute ? "setPlayerCmd:mute:1" : "setPlayerCmd:mute:0", {}});
        }
        return "OK";
    }
    if (command.startsWith("simMultiroom:attach:"))
        return attach(fields, self);
    if (command == "simMultiroom:detach") {
        following_ = false;
        return "OK";
    }
    if (command.startsWith("simMultiroom:left:") && fields.size() == 3) {
        std::erase_if(followers_, [&](const Follower &f) { return f.ip == fields[2]; });
        return "OK";
    }
    return std::nullopt;
}

// Real devices say OK at once and join in the background; one that cannot join stays alone.
QByteArray Multiroom::join(const QByteArray &leader, const Self &self,
                           std::vector<PeerCall> &calls) {
    if (!isDeviceAddress(leader) || leader == self.ip.toLatin1() || !followers_.empty())
        return "Failed";
    if (following_ && leaderIp_ != QLatin1String(leader))
        calls.push_back({leaderIp_, "simMultiroom:left:" + self.ip.toLatin1(), {}});
    const QString ip = QString::fromLatin1(leader);
    const QByteArray attach = "simMultiroom:attach:" + self.ip.toLatin1() + ':' +
                              self.uuid.toLatin1() + ':' + version_.toLatin1() + ':' +
                              self.name.toUtf8().toHex() + ':' + QByteArray::number(self.volume) +
                              ':' + (self.muted ? "1" : "0");
    int *mode = &self.mode;
    calls.push_back({ip, attach, [this, ip, mode](const std::optional<QByteArray> &body) {
                         const QJsonObject answer =
                             QJsonDocument::fromJson(body.value_or(QByteArray())).object();
                         if (!answer.contains(QLatin1String("uuid")))
                             return;
                         following_ = true;
                         leaderIp_ = ip;
                         leaderUuid_ = answer.value(QLatin1String("uuid")).toString();
                         *mode = 99; // and it stays after leaving
                     }});
    return "OK";
}

// simMultiroom:attach:<ip>:<uuid>:<version>:<hex name>:<volume>:<mute>
QByteArray Multiroom::attach(const QList<QByteArray> &fields, const Self &self) {
    if (fields.size() != 8 || following_ || fields[4] != version_.toLatin1() ||
        !isDeviceAddress(fields[2]))
        return "Failed";
    std::erase_if(followers_, [&](const Follower &f) { return f.ip == fields[2]; });
    followers_.push_back({QString::fromLatin1(fields[2]), QString::fromLatin1(fields[3]),
                          QString::fromUtf8(QByteArray::fromHex(fields[5])),
                          QString::fromLatin1(fields[4]), level(fields[6]).value_or(0),
                          fields[7] == "1"});
    return QJsonDocument(QJsonObject{{QStringLiteral("uuid"), self.uuid}}).toJson();
}

Multiroom::Follower *Multiroom::follower(const QByteArray &ip) {
    const auto it = std::find_if(followers_.begin(), followers_.end(),
                                 [&](const Follower &f) { return f.ip == QLatin1String(ip); });
    return it == followers_.end() ? nullptr : &*it;
}

void Multiroom::dropFollower(QString ip, std::vector<PeerCall> &calls) { // a copy: it may be erased
    std::erase_if(followers_, [&](const Follower &f) { return f.ip == ip; });
    calls.push_back({ip, "simMultiroom:detach", {}});
}

std::vector<PeerCall> Multiroom::refreshFollowers() {
    std::vector<PeerCall> calls;
    for (const Follower &member : followers_) {
        const QString ip = member.ip;
        calls.push_back({ip, "getPlayerStatus", [this, ip](const std::optional<QByteArray> &body) {
                             const QJsonObject status =
                                 QJsonDocument::fromJson(body.value_or(QByteArray())).object();
                             Follower *f = follower(ip.toLatin1());
                             const auto volume =
                                 level(status.value(QLatin1String("vol")).toString().toLatin1());
                             if (!f || !volume)
                                 return;
                             f->volume = *volume;
                             f->muted = status.value(QLatin1String("mute")).toString() ==
                                        QLatin1String("1");
                         }});
    }
    return calls;
}

QByteArray Multiroom::slaveList() const {
    const bool c = capitalised_;
    QJsonObject list{{key("slaves", c), int(followers_.size())},
                     {key("wmrm_version", c), version_}};
    if (!followers_.empty()) {
        QJsonArray members;
        for (const Follower &f : followers_)
            members.append(QJsonObject{{key("name", c), f.name},
                                       {key("uuid", c), f.uuid},
                                       {key("ip", c), f.ip},
                                       {key("version", c), f.version},
                                       {key("type", c), QStringLiteral("WiiMu-A31")},
                                       {key("channel", c), 0},
                                       {key("volume", c), f.volume},
                                       {key("mute", c), f.muted ? 1 : 0}});
        list.insert(key("slave_list", c), members);
    }
    return QJsonDocument(list).toJson(QJsonDocument::Compact);
}

} // namespace devicesim
