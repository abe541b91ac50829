#include "GroupController.h"

#include "DeviceController.h"
#include "MainQueue.h"
#include "Settings.h"

#include <QPointer>

#include <algorithm>

namespace knobly {

GroupController::GroupController(DeviceController &devices) : devices_(devices) {
    connect(&devices_, &DeviceController::polled, this, &GroupController::refresh);
    connect(&devices_, &DeviceController::devicesChanged, this, &GroupController::changed);
    connect(&devices_, &DeviceController::deviceChanged, this, [this] {
        // Another device chosen (not the same one named): its group is another.
        if (devices_.wiiMClient().get() != chosen_) {
            chosen_ = devices_.wiiMClient().get();
            reset();
        }
    });
    devices_.setGroupMove([this](std::int64_t delta) { return moveGroup(delta); });
}

GroupController::~GroupController() {
    devices_.setGroupMove({});
}

bool GroupController::isCurrent(const WiiMClient *client) const {
    return client && client == devices_.wiiMClient().get();
}

void GroupController::reset() {
    role_ = Role::alone;
    asking_ = false;
    members_.clear();
    leaderIp_.clear();
    leaderName_.clear();
    connectLeader({});
    found_.clear();
    devices_.setLeader(nullptr);
    Q_EMIT changed();
}

void GroupController::connectLeader(const QString &address) {
    leaderEvents_.reset();
    leader_.reset();
    if (!address.isEmpty()) {
        const WiiMDevice *d = discovered(address);
        leader_ = std::make_shared<WiiMClient>(address);
        leaderEvents_ = std::make_unique<EventFeed>(*leader_, devices_.eventsFactory(),
                                                    d ? d->description : QUrl());
    }
    devices_.setLeader(leader_);
}

bool GroupController::groupVolume() const {
    return Settings::groupVolume();
}

void GroupController::setGroupVolume(bool on) {
    Settings::setGroupVolume(on);
    Q_EMIT changed();
}

// getStatusEx says whether it follows; only a device that does not is asked for followers.
void GroupController::refresh() {
    const auto &client = devices_.wiiMClient();
    // Asked only while nothing else is (its details after a first answer): devices dislike
    // being hammered, and a slow one is not asked again before it answered.
    if (!client || asking_ || client->session()->requestsInFlight() > 0)
        return;
    asking_ = true;
    const QPointer<GroupController> self(this);
    const QPointer<WiiMClient> asked(client.get());
    client->fetchIdentity([self, asked](std::optional<DeviceIdentity> identity) {
        if (!self || !self->isCurrent(asked))
            return;
        if (!identity || (identity->following && multiroomAddress(identity->leaderIp))) {
            self->asking_ = false;
            if (identity)
                self->follow(*identity);
            return;
        }
        asked->fetchSlaveList([self, asked](std::optional<SlaveList> list) {
            if (!self || !self->isCurrent(asked))
                return;
            self->asking_ = false;
            if (list)
                self->lead(*list);
        });
    });
    for (Member &m : members_)
        pollMember(m);
    if (leader_)
        leader_->fetchPlayerStatus([](const std::optional<PlayerStatus> &) {});
}

void GroupController::follow(const DeviceIdentity &identity) {
    const bool changedLeader = !leader_ || leaderIp_ != identity.leaderIp;
    if (!changedLeader && role_ == Role::follower)
        return;
    role_ = Role::follower;
    members_.clear();
    leaderIp_ = identity.leaderIp;
    const WiiMDevice *d = discovered(leaderIp_, identity.leaderUuid);
    leaderName_ = d ? d->name : QString();
    connectLeader(d ? d->ip : leaderIp_);
    leader_->fetchPlayerStatus([](const std::optional<PlayerStatus> &) {});
    if (leaderName_.isEmpty())
        leader_->fetchIdentity(
            [self = QPointer<GroupController>(this),
             asked = QPointer<WiiMClient>(leader_.get())](std::optional<DeviceIdentity> identity) {
                if (self && asked && asked == self->leader_.get() && identity) {
                    self->leaderName_ = identity->deviceName;
                    Q_EMIT self->changed();
                }
            });
    Q_EMIT changed();
}

// Followers are matched by uuid: with older firmware they move to addresses of the group's own.
void GroupController::lead(const SlaveList &list) {
    const bool sameVersion = version_ == list.version; // which found devices can join
    version_ = list.version;
    if (role_ == Role::follower) {
        leaderIp_.clear();
        leaderName_.clear();
        connectLeader({});
    }
    std::vector<Member> next;
    for (const GroupMember &g : list.members) {
        const QString uuid = shortUuid(g.uuid);
        const auto same = std::find_if(members_.begin(), members_.end(), [&](const Member &m) {
            return uuid.isEmpty() ? m.ip == g.ip : m.uuid == uuid;
        });
        if (same != members_.end()) {
            same->ip = g.ip;
            next.push_back(std::move(*same));
            continue;
        }
        const WiiMDevice *d = discovered(g.ip, uuid);
        Member m{!g.name.isEmpty() ? g.name
                 : d               ? d->name
                                   : QString(),
                 g.ip, uuid, std::make_shared<WiiMClient>(d ? d->ip : g.ip), nullptr};
        // Its changes made elsewhere show at once where it has events, as the leader's do.
        m.events = std::make_shared<EventFeed>(*m.client, devices_.eventsFactory(),
                                               d ? d->description : QUrl());
        m.client->setCurrentVolume(g.volume); // the leader's word until its own answer
        m.client->setIsMuted(g.muted);
        connect(m.client.get(), &WiiMClient::stateChanged, this, &GroupController::changed);
        pollMember(m);
        next.push_back(std::move(m));
    }
    const bool same = next.size() == members_.size() &&
                      std::equal(next.begin(), next.end(), members_.begin(),
                                 [](const Member &a, const Member &b) { return a.ip == b.ip; });
    const Role role = next.empty() ? Role::alone : Role::leader;
    members_ = std::move(next);
    if (same && role == role_ && sameVersion)
        return;
    role_ = role;
    Q_EMIT changed();
}

void GroupController::pollMember(Member &m) {
    m.client->fetchPlayerStatus(
        [self = QPointer<GroupController>(this),
         asked = QPointer<WiiMClient>(m.client.get())](const std::optional<PlayerStatus> &status) {
            if (!self || !asked)
                return;
            for (Member &each : self->members_)
                if (each.client.get() == asked && each.answering != (status && status->volume)) {
                    each.answering = !each.answering;
                    Q_EMIT self->changed();
                }
        });
}

GroupController::Member *GroupController::member(const QString &ip) {
    const auto it =
        std::find_if(members_.begin(), members_.end(), [&](const Member &m) { return m.ip == ip; });
    return it == members_.end() ? nullptr : &*it;
}

std::vector<GroupController::Candidate> GroupController::candidates() const {
    std::vector<Candidate> out;
    const auto &chosen = devices_.wiiMClient();
    if (!chosen || role_ == Role::follower)
        return out;
    const auto chosenIp = multiroomAddress(chosen->ipAddress());
    for (const WiiMDevice &d : devices_.devices()) {
        const bool inGroup = std::any_of(members_.begin(), members_.end(), [&](const Member &m) {
            return m.ip == d.ip || sameDevice(m.uuid, d.uuid);
        });
        if (inGroup || d.ip == chosen->ipAddress() || (chosenIp && d.ip == *chosenIp))
            continue;
        Candidate c{d.name, d.ip, {}};
        const auto f = found_.find(d.ip);
        if (f != found_.end() && f->second.asked) {
            const auto &list = f->second.list;
            if (!list)
                c.reason = tr("not answering");
            else if (!list->members.empty())
                c.reason = tr("leads a group of its own");
            else if (!version_.isEmpty() && list->version != version_)
                c.reason = tr("multiroom version %1, this device %2").arg(list->version, version_);
        }
        out.push_back(std::move(c));
    }
    return out;
}

void GroupController::refreshCandidates() {
    std::map<QString, Found> kept;
    for (const Candidate &c : candidates()) {
        Found f = found_.count(c.ip) ? std::move(found_[c.ip]) : Found{};
        if (!f.client)
            f.client = std::make_shared<WiiMClient>(c.ip);
        f.client->fetchSlaveList(
            [self = QPointer<GroupController>(this), ip = c.ip,
             asked = QPointer<WiiMClient>(f.client.get())](std::optional<SlaveList> list) {
                if (!self)
                    return;
                const auto it = self->found_.find(ip);
                if (it == self->found_.end() || it->second.client.get() != asked)
                    return;
                it->second.asked = true;
                it->second.list = std::move(list);
                Q_EMIT self->changed();
            });
        kept[c.ip] = std::move(f);
    }
    found_ = std::move(kept);
}

WiiMClient::DoneCallback GroupController::afterChange(const QString &name, WiiMClient *by) {
    return
        [self = QPointer<GroupController>(this), name, by = QPointer<WiiMClient>(by)](bool done) {
            if (!self)
                return;
            if (!done && by)
                self->devices_.sayRefusal(QStringLiteral("(%1 %2)").arg(name, by->failureReason()));
            // Devices join and leave in the background: asked again once they will have.
            for (const double delay : {0.0, 1.5, 4.0})
                MainQueue::main().asyncAfter(delay, [self] {
                    if (self)
                        self->refresh();
                });
        };
}

void GroupController::add(const QString &ip) {
    const auto &chosen = devices_.wiiMClient();
    if (!chosen)
        return;
    Found &f = found_[ip];
    if (!f.client)
        f.client = std::make_shared<WiiMClient>(ip);
    const WiiMDevice *d = discovered(ip);
    f.client->joinGroup(chosen->ipAddress(), afterChange(d ? d->name : ip, f.client.get()));
}

void GroupController::remove(const QString &ip) {
    const auto &chosen = devices_.wiiMClient();
    if (const Member *m = member(ip); chosen && m)
        chosen->removeFromGroup(ip, afterChange(m->name, chosen.get()));
}

void GroupController::ungroup() {
    if (const auto &chosen = devices_.wiiMClient())
        chosen->ungroup(afterChange(devices_.deviceName(), chosen.get()));
}

void GroupController::leave() {
    if (const auto &chosen = devices_.wiiMClient())
        chosen->leaveGroup(afterChange(devices_.deviceName(), chosen.get()));
}

void GroupController::setMemberVolume(const QString &ip, std::int64_t level) {
    if (Member *m = member(ip))
        m->client->setVolume(level);
}

void GroupController::toggleMemberMute(const QString &ip) {
    if (Member *m = member(ip))
        m->client->toggleMute();
}

// The chosen device is its own group's first room; rooms that do not answer stay out.
std::optional<std::int64_t> GroupController::moveGroup(std::int64_t delta) {
    const auto &chosen = devices_.wiiMClient();
    if (role_ != Role::leader || !chosen || !groupVolume())
        return std::nullopt;
    std::vector<GroupVolume::Level> levels{
        {QString(), chosen->currentVolume(), chosen->volumeLimit()}};
    std::vector<Member *> moving;
    for (Member &m : members_)
        if (m.answering) {
            levels.push_back({m.uuid.isEmpty() ? m.ip : m.uuid, m.client->currentVolume(), 100});
            moving.push_back(&m);
        }
    const auto next = volume_.move(levels, delta);
    for (std::size_t i = 0; i < moving.size(); ++i)
        if (next[i + 1] != moving[i]->client->currentVolume())
            moving[i]->client->setVolume(next[i + 1]);
    Q_EMIT changed();
    return next[0];
}

// Found by its uuid (older firmware moves followers to addresses of the group's own), else
// at the address.
const WiiMDevice *GroupController::discovered(const QString &ip, const QString &uuid) const {
    const auto &all = devices_.devices();
    auto it = std::find_if(all.begin(), all.end(),
                           [&](const WiiMDevice &d) { return sameDevice(d.uuid, uuid); });
    if (it == all.end())
        it = std::find_if(all.begin(), all.end(), [&](const WiiMDevice &d) { return d.ip == ip; });
    return it == all.end() ? nullptr : &*it;
}

} // namespace knobly
