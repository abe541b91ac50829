#pragma once

#include <QByteArray>
#include <QString>

#include <functional>
#include <optional>
#include <vector>

namespace devicesim {

// A request to another simulated device (same port, its own address); `done` gets the body,
// or nothing when it did not answer.
struct PeerCall {
    QString ip;
    QByteArray command;
    std::function<void(const std::optional<QByteArray> &)> done;
};

// A device's multiroom side, as the documented commands show it: a leader lists its followers
// with their levels, a follower knows its leader. Devices find each other over the same HTTP
// API, through commands of the simulator's own ("simMultiroom:..."). Not thread-safe: the
// device calls it under its lock; `done` callbacks must take that lock again.
class Multiroom {
public:
    // This device, as the commands see it; the levels are its own, changed in place.
    struct Self {
        QString ip;
        QString uuid; // 24 hex digits
        QString name;
        int &volume;
        bool &muted;
        int &mode;
    };

    Multiroom(QString version, bool capitalisedKeys)
        : version_(std::move(version)), capitalised_(capitalisedKeys) {}

    // The answer to a multiroom command, or nothing when `command` is none. Calls to other
    // devices go to `calls`, made once the lock is released.
    std::optional<QByteArray> answer(const QByteArray &command, const Self &self,
                                     std::vector<PeerCall> &calls);

    bool following() const { return following_; }
    int followerCount() const { return int(followers_.size()); }
    // As getStatusEx says them: kept after leaving, as real devices do.
    const QString &leaderIp() const { return leaderIp_; }
    const QString &leaderUuid() const { return leaderUuid_; }
    // A leader asks each follower for its level, as real leaders keep their list fresh.
    std::vector<PeerCall> refreshFollowers();

private:
    struct Follower {
        QString ip, uuid, name, version;
        int volume = 0;
        bool muted = false;
    };
    QByteArray slaveList() const;
    QByteArray join(const QByteArray &leader, const Self &self, std::vector<PeerCall> &calls);
    QByteArray attach(const QList<QByteArray> &fields, const Self &self);
    Follower *follower(const QByteArray &ip);
    void dropFollower(QString ip, std::vector<PeerCall> &calls);

    const QString version_;
    const bool capitalised_;
    bool following_ = false;
    QString leaderIp_ = QStringLiteral("0.0.0.0");
    QString leaderUuid_;
    std::vector<Follower> followers_;
};

} // namespace devicesim
