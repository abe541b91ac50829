// Picks the panel item for this desktop.
#include "StatusItem.h"

#include "KnoblyBuild.h"
#include "StatusNotifierItem.h"
#include "TrayFallback.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QFileInfo>
#include <QSystemTrayIcon>

namespace knobly {

namespace {
// The icons beside our binary (the build tree, or a prefix the desktop does not search);
// hosts look there as well as in their theme.
QString ownIconThemePath() {
    const QString icons =
        QCoreApplication::applicationDirPath() + QStringLiteral("/../share/icons");
    const QString one = QStringLiteral("/hicolor/symbolic/apps/%1-high-symbolic.svg")
                            .arg(QLatin1String(build::appId));
    return QFileInfo::exists(icons + one) ? QDir(icons).canonicalPath() : QString();
}

std::unique_ptr<StatusItem> notifierItem(StatusItem::Callbacks callbacks, QDBusConnection bus) {
    auto item = std::make_unique<StatusNotifierItem>(std::move(callbacks), bus);
    item->setIconThemePath(ownIconThemePath());
    return item;
}
} // namespace

std::unique_ptr<StatusItem> StatusItem::create(Callbacks callbacks) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    QDBusConnectionInterface *busInterface = bus.isConnected() ? bus.interface() : nullptr;
    if (busInterface &&
        busInterface->isServiceRegistered(QString::fromLatin1(StatusNotifierItem::watcherService)))
        return notifierItem(std::move(callbacks), bus);
    if (QSystemTrayIcon::isSystemTrayAvailable())
        return std::make_unique<TrayFallback>(std::move(callbacks));
    // Nothing to show in yet; the item registers by itself once a watcher starts.
    if (bus.isConnected())
        return notifierItem(std::move(callbacks), bus);
    return nullptr;
}

} // namespace knobly
