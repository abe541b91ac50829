#include "DesktopVolumeOsd.h"

#include "DesktopFeedback.h"
#include "DesktopSession.h"
#include "KnoblyBuild.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

#include <algorithm>

namespace knobly {

namespace {
const QString kPlasma = QStringLiteral("org.kde.plasmashell");
} // namespace

VolumeFeedback desktopVolumeFeedback() {
    if (!isWaylandSession())
        return {};
    auto osd = std::make_shared<DesktopVolumeOsd>();
    return [osd](std::int64_t volume, bool muted, const QString &device, const QString &icon) {
        osd->show(static_cast<int>(std::clamp<std::int64_t>(volume, 0, 100)), muted, device, icon);
    };
}

DesktopVolumeOsd::DesktopVolumeOsd(QDBusConnection connection)
    : connection_(std::move(connection)) {}

void DesktopVolumeOsd::show(int volume, bool muted, const QString &device,
                            const QString &iconName) {
    volume = std::clamp(volume, 0, 100);
    QDBusConnectionInterface *bus = connection_.isConnected() ? connection_.interface() : nullptr;
    if (!bus || !bus->isServiceRegistered(kPlasma)) {
        notify(volume, muted, device, iconName);
        return;
    }
    const int percent = muted ? 0 : volume;
    auto osd = [&](const QString &method) {
        return QDBusMessage::createMethodCall(kPlasma, QStringLiteral("/org/kde/osdService"),
                                              QStringLiteral("org.kde.osdService"), method);
    };
    if (!plasmaMediaOsd_) {
        connection_.call(osd(QStringLiteral("volumeChanged")) << percent, QDBus::NoBlock);
        return;
    }
    QDBusMessage call = osd(QStringLiteral("mediaPlayerVolumeChanged"));
    call << percent << device << iconName;
    auto *watcher = new QDBusPendingCallWatcher(connection_.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, percent, osd](QDBusPendingCallWatcher *w) {
                w->deleteLater();
                if (!w->isError() || w->error().type() != QDBusError::UnknownMethod)
                    return;
                plasmaMediaOsd_ = false;
                connection_.call(osd(QStringLiteral("volumeChanged")) << percent, QDBus::NoBlock);
            });
}

void DesktopVolumeOsd::notify(int volume, bool muted, const QString &device,
                              const QString &iconName) {
    const QVariantMap hints{
        {QStringLiteral("value"), muted ? 0 : volume},
        {QStringLiteral("transient"), true},
        {QStringLiteral("x-canonical-private-synchronous"), QStringLiteral("volume")},
        {QStringLiteral("desktop-entry"), QString::fromLatin1(build::appId)},
        {QStringLiteral("urgency"), QVariant::fromValue(uchar(0))}};
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"),
        QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    call << QStringLiteral("Knobly") << notification_ << iconName << device
         << (muted ? tr("Muted") : tr("Volume %1%").arg(volume)) << QStringList() << hints << 1200;
    auto *watcher = new QDBusPendingCallWatcher(connection_.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher *w) {
        w->deleteLater();
        const QDBusPendingReply<uint> reply = *w;
        if (!reply.isError())
            notification_ = reply.value();
    });
}

} // namespace knobly
