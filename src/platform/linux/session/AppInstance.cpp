#include "AppInstance.h"

#include "KnoblyBuild.h"

#include <QDBusMessage>

namespace knobly {

namespace {
QString objectPath() {
    // The application id with dots as slashes, as org.freedesktop.Application asks.
    return QLatin1Char('/') +
           QString::fromLatin1(build::appId).replace(QLatin1Char('.'), QLatin1Char('/'));
}
} // namespace

AppInstance::AppInstance(QDBusConnection connection) : connection_(std::move(connection)) {
    if (!connection_.isConnected())
        return;
    registered_ =
        connection_.registerObject(objectPath(), this, QDBusConnection::ExportScriptableSlots) &&
        connection_.registerService(QString::fromLatin1(build::appId));
}

AppInstance::~AppInstance() {
    if (!registered_)
        return;
    connection_.unregisterService(QString::fromLatin1(build::appId));
    connection_.unregisterObject(objectPath());
}

void AppInstance::Activate(const QVariantMap &) {
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (activated)
                activated();
        },
        Qt::QueuedConnection);
}

bool AppInstance::activateRunning(QDBusConnection connection) {
    if (!connection.isConnected())
        return false;
    QDBusMessage call = QDBusMessage::createMethodCall(
        QString::fromLatin1(build::appId), objectPath(),
        QStringLiteral("org.freedesktop.Application"), QStringLiteral("Activate"));
    call << QVariantMap();
    return connection.call(call, QDBus::Block, 2000).type() == QDBusMessage::ReplyMessage;
}

} // namespace knobly
