// The "Select Device" submenu: found devices, rescan, and typing an address.
#include "AppDelegate.h"

#include "MenuRows.h"
#include "Settings.h"

#include <QAction>
#include <QMenu>

Q_DECLARE_METATYPE(knobly::WiiMDevice)

namespace knobly {

namespace {
const QString kSearching = QStringLiteral("searching");
const QString kFixedRows = QStringLiteral("fixed"); // the separator and what follows it

// Whether an entry still shows `device` as it was built.
bool shows(const QAction *entry, const WiiMDevice &device) {
    if (!entry->data().canConvert<WiiMDevice>())
        return false;
    const WiiMDevice shown = entry->data().value<WiiMDevice>();
    return shown.ip == device.ip && shown.name == device.name && shown.model == device.model;
}
} // namespace

// Rows that stay the same keep their QAction, so hosts that draw the menu keep their ids
// across rebuilds; only the entries of devices that came, went or changed are replaced.
void AppDelegate::rebuildDeviceMenu() {
    if (!deviceSubmenu_)
        return;
    QMenu *menu = deviceSubmenu_;
    QAction *searching = menu->findChild<QAction *>(kSearching, Qt::FindDirectChildrenOnly);
    QAction *fixed = menu->findChild<QAction *>(kFixedRows, Qt::FindDirectChildrenOnly);
    if (!searching) {
        searching = menu->addAction(tr("Searching\u2026"));
        searching->setObjectName(kSearching);
        searching->setEnabled(false);
        fixed = menu->addSeparator();
        fixed->setObjectName(kFixedRows);
        QAction *rescan = menu->addAction(tr("Rescan Network"));
        rescan->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));
        setRowIcon(rescan, QStringLiteral("arrow.clockwise"), 13,
                   QStringLiteral("view-refresh-symbolic"));
        connect(rescan, &QAction::triggered, this, &AppDelegate::rescanDevices);
        QAction *enter = menu->addAction(tr("Enter IP Address\u2026"));
        setRowIcon(enter, QStringLiteral("network"), 13, QStringLiteral("network-wired-symbolic"));
        connect(enter, &QAction::triggered, this, &AppDelegate::enterIP);
    }
    searching->setVisible(devices_.empty());

    QList<QAction *> old;
    for (QAction *a : menu->actions())
        if (a->data().canConvert<WiiMDevice>())
            old.append(a);
    const QString savedIp = Settings::ip();
    for (const WiiMDevice &device : devices_) {
        QAction *entry = nullptr;
        for (QAction *candidate : std::as_const(old))
            if (shows(candidate, device)) {
                entry = candidate;
                old.removeOne(candidate);
                break;
            }
        if (!entry) {
            entry = new QAction(device.model.isEmpty()
                                    ? device.name
                                    : device.name + QStringLiteral(" \u2014 ") + device.model,
                                menu);
            entry->setData(QVariant::fromValue(device));
            entry->setCheckable(true);
            connect(entry, &QAction::triggered, this, [this, entry] { pickDevice(entry); });
        }
        entry->setChecked(device.ip == savedIp);
        menu->removeAction(entry); // then in the list's order, above the fixed rows
        menu->insertAction(fixed, entry);
    }
    qDeleteAll(old);
}

void AppDelegate::pickDevice(QAction *entry) {
    if (!entry || !entry->data().canConvert<WiiMDevice>())
        return;
    const WiiMDevice chosen = entry->data().value<WiiMDevice>();
    connectToDevice(chosen.ip, chosen.name);
    if (!deviceSubmenu_)
        return;
    for (QAction *a : deviceSubmenu_->actions())
        if (a->data().canConvert<WiiMDevice>())
            a->setChecked(a->data().value<WiiMDevice>().ip == chosen.ip);
}

void AppDelegate::rescanDevices() {
    devices_.clear();
    rebuildDeviceMenu();
    discovery_->stopDiscovery();
    discovery_ = env_.makeDiscovery();
    startDiscovery();
}

} // namespace knobly
