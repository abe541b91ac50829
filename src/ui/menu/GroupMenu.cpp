#include "GroupMenu.h"

#include "GroupController.h"

#include <algorithm>

namespace knobly {

namespace {

QString levelText(const GroupController::Member &m) {
    if (!m.answering)
        return GroupMenu::tr("not answering");
    const DeviceState &s = m.client->state();
    return s.muted ? GroupMenu::tr("muted") : QStringLiteral("%1%").arg(s.volume);
}

} // namespace

GroupMenu::GroupMenu(GroupController &group, QMenu *parent) : group_(group) {
    menu_ = new QMenu(tr("Group"), parent);
    entry_ = parent->addMenu(menu_);
    connect(&group_, &GroupController::changed, this, &GroupMenu::rebuild);
    // Whether the found devices can join is asked as the menu opens, never awaited.
    connect(parent, &QMenu::aboutToShow, &group_, &GroupController::refreshCandidates);
    rebuild();
}

QStringList GroupMenu::roomLines(const GroupController &group) {
    QStringList lines;
    if (group.role() == GroupController::Role::leader)
        for (const auto &m : group.members())
            lines << QStringLiteral("%1: %2").arg(m.name, levelText(m));
    return lines;
}

void GroupMenu::rebuild() {
    using Role = GroupController::Role;
    const auto candidates = group_.candidates();
    // Everything a row shows, so an answer that changed nothing rebuilds nothing.
    QString state = QString::number(int(group_.role())) + group_.leaderName() +
                    QString::number(group_.groupVolume());
    for (const auto &m : group_.members())
        state += u'\n' + m.ip + m.name + levelText(m);
    for (const auto &c : candidates)
        state += u'\n' + c.ip + c.name + c.reason;
    if (state == shown_)
        return;
    shown_ = state;
    // clear() leaves the submenus made by addMenu() behind.
    qDeleteAll(menu_->findChildren<QMenu *>(Qt::FindDirectChildrenOnly));
    menu_->clear();
    entry_->setVisible(group_.role() != Role::alone || !candidates.empty());

    if (group_.role() == Role::follower) {
        menu_->addAction(tr("Following %1").arg(group_.leaderName()))->setEnabled(false);
        connect(menu_->addAction(tr("Leave Group")), &QAction::triggered, &group_,
                &GroupController::leave);
        return;
    }
    for (const auto &m : group_.members())
        addMember(m.ip);
    if (!candidates.empty()) {
        QMenu *add = menu_->addMenu(tr("Add to Group"));
        for (const auto &c : candidates) {
            QAction *row =
                add->addAction(c.reason.isEmpty() ? c.name : tr("%1 (%2)").arg(c.name, c.reason));
            row->setEnabled(c.reason.isEmpty());
            connect(row, &QAction::triggered, &group_, [this, ip = c.ip] { group_.add(ip); });
        }
    }
    if (group_.role() == Role::leader) {
        connect(menu_->addAction(tr("Ungroup")), &QAction::triggered, &group_,
                &GroupController::ungroup);
        menu_->addSeparator();
        QAction *together = menu_->addAction(tr("Group Volume"));
        together->setCheckable(true);
        together->setChecked(group_.groupVolume());
        connect(together, &QAction::triggered, &group_, &GroupController::setGroupVolume);
    }
}

// A room: its level, a submenu of levels with Mute, and the way out.
void GroupMenu::addMember(const QString &ip) {
    const auto &members = group_.members();
    const auto m = std::find_if(members.begin(), members.end(),
                                [&](const GroupController::Member &each) { return each.ip == ip; });
    QMenu *room = menu_->addMenu(QStringLiteral("%1: %2").arg(m->name, levelText(*m)));
    const DeviceState &s = m->client->state();
    for (int level = 0; level <= 100; level += 10) {
        QAction *row = room->addAction(QStringLiteral("%1%").arg(level));
        row->setCheckable(true);
        row->setChecked(m->answering && !s.muted && s.volume == level);
        connect(row, &QAction::triggered, &group_,
                [this, ip, level] { group_.setMemberVolume(ip, level); });
    }
    room->addSeparator();
    QAction *mute = room->addAction(tr("Mute"));
    mute->setCheckable(true);
    mute->setChecked(s.muted);
    connect(mute, &QAction::triggered, &group_, [this, ip] { group_.toggleMemberMute(ip); });
    room->addSeparator();
    connect(room->addAction(tr("Remove from Group")), &QAction::triggered, &group_,
            [this, ip] { group_.remove(ip); });
}

} // namespace knobly
