// The "Select Device" submenu: found devices, rescan, and typing an address.
#include "AppDelegate.h"

#include "Settings.h"
#include "Symbols.h"

#include <QAction>
#include <QMenu>

Q_DECLARE_METATYPE(knobly::WiiMDevice)

namespace knobly {

namespace {
QIcon secondaryIcon(const QString &name) {
    const auto symbol = systemSymbol(name);
    return symbol ? tinted(*symbol, QColor(0x80, 0x80, 0x80), 13).icon(QColor()) : QIcon();
}
} // namespace

void AppDelegate::rebuildDeviceMenu() {
    if (!deviceSubmenu_)
        return;
    deviceSubmenu_->clear();
    if (devices_.empty())
        deviceSubmenu_->addAction(tr("Searching\u2026"))->setEnabled(false);
    const QString savedIp = Settings::ip();
    for (const WiiMDevice &device : devices_) {
        const QString title = device.model.isEmpty()
                                  ? device.name
                                  : device.name + QStringLiteral(" \u2014 ") + device.model;
        QAction *entry = deviceSubmenu_->addAction(title);
        entry->setData(QVariant::fromValue(device));
        entry->setCheckable(true);
        entry->setChecked(device.ip == savedIp);
        connect(entry, &QAction::triggered, this, [this, entry] { pickDevice(entry); });
    }
    deviceSubmenu_->addSeparator();
    QAction *rescan = deviceSubmenu_->addAction(tr("Rescan Network"));
    rescan->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));
    rescan->setIcon(secondaryIcon(QStringLiteral("arrow.clockwise")));
    connect(rescan, &QAction::triggered, this, &AppDelegate::rescanDevices);
    QAction *enter = deviceSubmenu_->addAction(tr("Enter IP Address\u2026"));
    enter->setIcon(secondaryIcon(QStringLiteral("network")));
    connect(enter, &QAction::triggered, this, &AppDelegate::enterIP);
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
