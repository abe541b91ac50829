#include "DesktopVolumeOsd.h"

#include "DesktopFeedback.h"
#include "DesktopSession.h"
#include "KnoblyBuild.h"
#include "MainQueue.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QPointer>

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

namespace {
const QString kNotifications = QStringLiteral("org.freedesktop.Notifications");
const QString kNotificationsPath = QStringLiteral("/org/freedesktop/Notifications");
// How long the level stays on screen after the last change.
constexpr double kShownSeconds = 1.5;

QDBusMessage notificationsCall(const QString &method) {
    return QDBusMessage::createMethodCall(kNotifications, kNotificationsPath, kNotifications,
                                          method);
}
} // namespace

DesktopVolumeOsd::DesktopVolumeOsd(QDBusConnection connection)
    : connection_(std::move(connection)) {}

DesktopVolumeOsd::~DesktopVolumeOsd() {
    // Waited for briefly: we are on our way out and an unsent close would leave an entry.
    closeNotification(QDBus::Block);
}

void DesktopVolumeOsd::closeNotification(QDBus::CallMode mode) {
    if (notification_ == 0 || !connection_.isConnected())
        return;
    connection_.call(notificationsCall(QStringLiteral("CloseNotification")) << notification_, mode,
                     500);
    notification_ = 0;
}

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
        // GNOME shows low urgency only as a dot by the clock, never as a banner.
        {QStringLiteral("urgency"), QVariant::fromValue(uchar(1))}};
    QDBusMessage call = notificationsCall(QStringLiteral("Notify"));
    call << QStringLiteral("Knobly") << notification_ << iconName << device
         << (muted ? tr("Muted") : tr("Volume %1%").arg(volume)) << QStringList() << hints
         << int(kShownSeconds * 1000);
    const quint64 shown = ++shown_;
    auto *watcher = new QDBusPendingCallWatcher(connection_.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, shown](QDBusPendingCallWatcher *w) {
                w->deleteLater();
                const QDBusPendingReply<uint> reply = *w;
                if (!reply.isError() && shown == shown_)
                    notification_ = reply.value();
            });
    QPointer<DesktopVolumeOsd> self(this);
    MainQueue::main().asyncAfter(kShownSeconds, [self, shown] {
        if (self && shown == self->shown_)
            self->closeNotification(QDBus::NoBlock);
    });
}

} // namespace knobly
