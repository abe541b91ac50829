#pragma once

#include "EventFeed.h"
#include "GroupVolume.h"
#include "WiiMClient.h"
#include "WiiMDevice.h"

#include <QObject>

#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace knobly {

class DeviceController;

// The chosen device's multiroom group: who leads, who follows, the other found devices that
// could join, and group volume. Every room has a connection of its own, so one that does not
// answer delays nothing else. Asks again with every poll of the chosen device. Main thread.
class GroupController : public QObject {
    Q_OBJECT
public:
    enum class Role { alone, leader, follower };
    // A follower of the chosen device.
    struct Member {
        QString name;
        QString ip;                         // as its leader names it
        QString uuid;                       // 24 hex digits
        std::shared_ptr<WiiMClient> client; // its own connection, at the address it is found at
        std::shared_ptr<EventFeed> events;  // feeds `client`: declared after, so gone first
        bool answering = true;
    };
    // A found device outside the group; `reason` says why it cannot join (empty: it can).
    struct Candidate {
        QString name;
        QString ip;
        QString reason;
    };

    explicit GroupController(DeviceController &devices);
    ~GroupController() override;

    Role role() const { return role_; }
    const std::vector<Member> &members() const { return members_; }
    QString leaderName() const { return leaderName_; }
    std::vector<Candidate> candidates() const;

    // On (saved) unless turned off: a leader's volume changes move every room.
    bool groupVolume() const;
    void setGroupVolume(bool on);

    // Asks the chosen device where it stands (with every poll).
    void refresh();
    // Asks the found devices outside the group whether they can join (as the menu opens).
    void refreshCandidates();

    // Each said where the user acted when refused; the group is asked again after.
    void add(const QString &ip);
    void remove(const QString &ip);
    void ungroup();
    void leave();
    void setMemberVolume(const QString &ip, std::int64_t level);
    void toggleMemberMute(const QString &ip);

Q_SIGNALS:
    // The role, the members, their levels or the candidates changed.
    void changed();

private:
    struct Found {
        std::shared_ptr<WiiMClient> client;
        std::optional<SlaveList> list; // nothing: it did not answer
        bool asked = false;
    };
    void reset();
    // The connection to the leader the chosen device follows; none for an empty address.
    void connectLeader(const QString &address);
    void follow(const DeviceIdentity &identity);
    void lead(const SlaveList &list);
    void pollMember(Member &member);
    Member *member(const QString &ip);
    std::optional<std::int64_t> moveGroup(std::int64_t delta);
    // The completion of a command on the group: a refusal said, the group asked again.
    WiiMClient::DoneCallback afterChange(const QString &name, WiiMClient *by);
    // The found device that is this one; nothing when none is.
    const WiiMDevice *discovered(const QString &ip, const QString &uuid = {}) const;
    bool isCurrent(const WiiMClient *client) const;

    DeviceController &devices_;
    const WiiMClient *chosen_ = nullptr; // whose group this is
    bool asking_ = false;                // its group asked and not yet answered
    Role role_ = Role::alone;
    QString version_; // the chosen device's multiroom version
    std::vector<Member> members_;
    QString leaderIp_, leaderName_;
    std::shared_ptr<WiiMClient> leader_;
    std::unique_ptr<EventFeed> leaderEvents_; // feeds leader_: declared after, so gone first
    std::map<QString, Found> found_;          // found devices outside the group, by address
    GroupVolume volume_;
};

} // namespace knobly
