#pragma once

#include <QMenu>
#include <QObject>
#include <QPointer>
#include <QStringList>

namespace knobly {

class GroupController;

// The "Group" submenu: the rooms of the chosen device's group with their levels, the found
// devices that could join, and group volume. Rebuilt only when what it shows changed.
class GroupMenu : public QObject {
    Q_OBJECT
public:
    GroupMenu(GroupController &group, QMenu *parent);

    QMenu *menu() const { return menu_; }
    // One line per room but the chosen device, for the panel's tool tip: "Kitchen: 40%".
    static QStringList roomLines(const GroupController &group);

private:
    void rebuild();
    void addMember(const QString &ip);

    GroupController &group_;
    QPointer<QMenu> menu_;
    QPointer<QAction> entry_; // the submenu's row in the panel menu
    QString shown_;           // what the rows were built from
};

} // namespace knobly
