// The word that no panel shows Knobly's item.
#include "DesktopFeedback.h"
#include "KnoblyBuild.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

#include <memory>

namespace knobly {

namespace {
QString noticeText() {
    const bool gnome = qEnvironmentVariable("XDG_CURRENT_DESKTOP")
                           .split(QLatin1Char(':'))
                           .contains(QLatin1String("GNOME"), Qt::CaseInsensitive);
    if (gnome)
        return QCoreApplication::translate(
            "PanelNotice",
            "GNOME shows Knobly in the top bar only with the extension \u201cAppIndicator and "
            "KStatusNotifierItem Support\u201d. Install and enable it, and Knobly appears there.\n"
            "Meanwhile the media controls in the date menu show your device and play, pause "
            "and skip on it.");
    return QCoreApplication::translate(
        "PanelNotice",
        "This desktop's panel shows no status items (StatusNotifierItem), so Knobly has no "
        "icon there. A panel with a system tray, or on GNOME the extension \u201cAppIndicator "
        "and KStatusNotifierItem Support\u201d, shows it.\n"
        "Meanwhile the desktop's media controls show your device and play, pause and skip on "
        "it.");
}
} // namespace

std::function<void()> noPanelNotice() {
    auto id = std::make_shared<uint>(0); // the notice replaces itself
    return [id] {
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (!bus.isConnected())
            return;
        const QVariantMap hints{
            {QStringLiteral("desktop-entry"), QString::fromLatin1(build::appId)},
            {QStringLiteral("urgency"), QVariant::fromValue(uchar(1))}};
        QDBusMessage call = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.Notifications"),
            QStringLiteral("/org/freedesktop/Notifications"),
            QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
        // Not transient and no timeout: it stays in the message list until read.
        call << QStringLiteral("Knobly") << *id << QString::fromLatin1(build::appId)
             << QCoreApplication::translate("PanelNotice", "Knobly Has No Panel Icon")
             << noticeText() << QStringList() << hints << 0;
        auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(call));
        QObject::connect(watcher, &QDBusPendingCallWatcher::finished,
                         [id](QDBusPendingCallWatcher *w) {
                             w->deleteLater();
                             const QDBusPendingReply<uint> reply = *w;
                             if (!reply.isError())
                                 *id = reply.value();
                         });
    };
}

} // namespace knobly
