#pragma once

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace knobly {

// One follower, as its leader lists it.
struct GroupMember {
    QString name;
    QString uuid;
    QString ip;
    QString version; // the multiroom version it groups with
    std::int64_t volume = 0;
    bool muted = false;
};

// A multiroom:getSlaveList answer: the device's multiroom version and its followers (none
// when it leads no group).
struct SlaveList {
    QString version;
    std::vector<GroupMember> members;
};

// Real groups are far smaller; more are not read.
constexpr std::size_t maxGroupMembers = 32;

// Keys are read whatever their case (older firmware capitalises them); members without an
// address are left out; levels are clamped to 0-100. Nothing when the body is no JSON object.
std::optional<SlaveList> decodeSlaveList(const QByteArray &body);

// The 24 hex digits that name a device in every form it is given in: a follower list's 24,
// getStatusEx's 32 and the UPnP "uuid:XXXXXXXX-XXXX-..." (the 24 and their first 8 again).
// Empty when there are fewer.
QString shortUuid(const QString &uuid);
bool sameDevice(const QString &uuid, const QString &other);

// A device as multiroom commands name it (the leader to join, the member to remove): its own
// IPv4 address, without a port (tests add one). Nothing for an empty or unusable one, which
// devices misread.
std::optional<QString> multiroomAddress(const QString &leaderAddress);

} // namespace knobly
