// knoblyctl group: the chosen device's multiroom group from a shell.
#include "GroupVolume.h"
#include "KnoblyctlSupport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace knobly::ctl {

namespace {

void print(const QJsonObject &object) {
    std::puts(QJsonDocument(object).toJson(QJsonDocument::Compact).constData());
}

std::optional<SlaveList> slaveList(WiiMClient &client) {
    return await<SlaveList>([&](auto done) { client.fetchSlaveList(std::move(done)); });
}

void pause(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

int list(WiiMClient &client, const DeviceIdentity &identity) {
    if (identity.following) {
        print({{QStringLiteral("role"), QStringLiteral("follower")},
               {QStringLiteral("leader"), identity.leaderIp},
               {QStringLiteral("leaderUuid"), shortUuid(identity.leaderUuid)}});
        return Ok;
    }
    const auto followers = slaveList(client);
    if (!followers)
        return failed(client);
    QJsonArray members;
    for (const GroupMember &m : followers->members)
        members.append(QJsonObject{{QStringLiteral("name"), m.name},
                                   {QStringLiteral("ip"), m.ip},
                                   {QStringLiteral("uuid"), shortUuid(m.uuid)},
                                   {QStringLiteral("volume"), qint64(m.volume)},
                                   {QStringLiteral("muted"), m.muted}});
    print({{QStringLiteral("role"),
            followers->members.empty() ? QStringLiteral("alone") : QStringLiteral("leader")},
           {QStringLiteral("version"), followers->version},
           {QStringLiteral("members"), members}});
    return Ok;
}

// Done when the leader lists it: devices say OK at once and join in the background.
int add(WiiMClient &leader, const QString &address) {
    if (!WiiMClient::requestUrl(address, QStringLiteral("getStatusEx"))) {
        std::fprintf(stderr, "knoblyctl: \"%s\" is not a device address\n",
                     qUtf8Printable(address));
        return Usage;
    }
    WiiMClient joining(address);
    if (!awaitDone([&](auto done) { joining.joinGroup(leader.ipAddress(), done); }))
        return failed(joining);
    const auto ip = multiroomAddress(address);
    for (int tries = 0; tries < 20; ++tries, pause(500))
        if (const auto followers = slaveList(leader))
            for (const GroupMember &m : followers->members)
                if (ip && m.ip == *ip) {
                    std::printf("added %s\n", qUtf8Printable(m.name));
                    return Ok;
                }
    std::fprintf(stderr, "knoblyctl: the device at %s did not join the group\n",
                 qUtf8Printable(address));
    return NoAnswer;
}

// Every room moves by the same step, so that the chosen device reaches `level`.
int volume(WiiMClient &leader, std::int64_t level) {
    const auto followers = slaveList(leader);
    const auto status =
        await<PlayerStatus>([&](auto done) { leader.fetchPlayerStatus(std::move(done)); });
    if (!followers || !status || !status->volume)
        return failed(leader);
    std::vector<GroupVolume::Level> rooms{{QString(), *status->volume, leader.volumeLimit()}};
    for (const GroupMember &m : followers->members)
        rooms.push_back({m.ip, m.volume, 100});
    const auto next = GroupVolume().move(rooms, level - *status->volume);
    int exit = Ok;
    for (std::size_t i = 0; i < rooms.size(); ++i) {
        // Every other room on its own connection.
        std::optional<WiiMClient> member;
        WiiMClient &own = i == 0 ? leader : member.emplace(rooms[i].room);
        if (awaitDone([&](auto done) { own.setVolume(next[i], done); }))
            std::printf("%s %lld\n", qUtf8Printable(own.ipAddress()),
                        static_cast<long long>(next[i]));
        else
            exit = failed(own);
    }
    return exit;
}

} // namespace

int group(WiiMClient &client, const QStringList &words) {
    const QString what = words.value(0, QStringLiteral("list"));
    if (what == QLatin1String("volume")) {
        const auto level = integerFromDecimalText(words.value(1));
        if (!level || *level < 0 || *level > 100) {
            std::fputs("knoblyctl: group volume takes a level from 0 to 100\n", stderr);
            return Usage;
        }
        return volume(client, *level);
    }
    if (what == QLatin1String("add"))
        return add(client, words.value(1));
    if (what == QLatin1String("remove")) {
        if (!awaitDone([&](auto done) { client.removeFromGroup(words.value(1), done); }))
            return failed(client);
        std::printf("removed %s\n", qUtf8Printable(words.value(1)));
        return Ok;
    }
    const auto identity =
        await<DeviceIdentity>([&](auto done) { client.fetchIdentity(std::move(done)); });
    if (!identity)
        return failed(client);
    if (what == QLatin1String("list"))
        return list(client, *identity);
    // ungroup: the group it leads ends; from one it follows, it leaves.
    const bool following = identity->following;
    if (!awaitDone([&](auto done) { following ? client.leaveGroup(done) : client.ungroup(done); }))
        return failed(client);
    std::puts(following ? "left" : "ungrouped");
    return Ok;
}

} // namespace knobly::ctl
