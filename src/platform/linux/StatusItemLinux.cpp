// Picks the panel item for this desktop.
#include "StatusItem.h"

#include "StatusNotifierItem.h"
#include "TrayFallback.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QSystemTrayIcon>

namespace knobly {

std::unique_ptr<StatusItem> StatusItem::create(Callbacks callbacks) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    QDBusConnectionInterface *busInterface = bus.isConnected() ? bus.interface() : nullptr;
    if (busInterface &&
        busInterface->isServiceRegistered(QString::fromLatin1(StatusNotifierItem::watcherService)))
        return std::make_unique<StatusNotifierItem>(std::move(callbacks), bus);
    if (QSystemTrayIcon::isSystemTrayAvailable())
        return std::make_unique<TrayFallback>(std::move(callbacks));
    // Nothing to show in yet; the item registers by itself once a watcher starts.
    if (bus.isConnected())
        return std::make_unique<StatusNotifierItem>(std::move(callbacks), bus);
    return nullptr;
}

} // namespace knobly
