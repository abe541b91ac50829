#include "TrayFallback.h"

#include <QCursor>
#include <QIcon>
#include <QPixmap>
#include <QWheelEvent>

namespace knobly {

TrayFallback::TrayFallback(Callbacks callbacks, QObject *parent)
    : QSystemTrayIcon(parent), callbacks_(std::move(callbacks)) {
    connect(this, &QSystemTrayIcon::activated, this, &TrayFallback::onActivated);
    showToolTip();
}

void TrayFallback::setTitle(const QString &title) {
    title_ = title;
    showToolTip();
}

void TrayFallback::setIcon(const QString &iconName, const QImage &image) {
    const QIcon icon =
        image.isNull() ? QIcon::fromTheme(iconName) : QIcon(QPixmap::fromImage(image));
    QSystemTrayIcon::setIcon(icon);
    // Shown only once there is something to show: Qt refuses an empty icon.
    if (!isVisible() && !icon.isNull())
        show();
}

void TrayFallback::setToolTip(const QString &title, const QString &text) {
    toolTipTitle_ = title;
    toolTipText_ = text;
    showToolTip();
}

void TrayFallback::showToolTip() {
    // One plain string here; the title stands in until there is a tool tip of its own.
    const QString head = toolTipTitle_.isEmpty() ? title_ : toolTipTitle_;
    QSystemTrayIcon::setToolTip(toolTipText_.isEmpty() ? head
                                                       : head + QLatin1Char('\n') + toolTipText_);
}

void TrayFallback::setMenu(QMenu *) {}

bool TrayFallback::event(QEvent *event) {
    if (event->type() != QEvent::Wheel)
        return QSystemTrayIcon::event(event);
    auto *wheel = static_cast<QWheelEvent *>(event);
    // Qt's own convention, on every X11 desktop: positive is away from the user, up.
    const int dy = wheel->angleDelta().y();
    if (dy != 0 && callbacks_.scroll)
        callbacks_.scroll(dy > 0 ? 1 : -1);
    wheel->accept();
    return true;
}

void TrayFallback::onActivated(QSystemTrayIcon::ActivationReason reason) {
    switch (reason) {
    case QSystemTrayIcon::Trigger:
    case QSystemTrayIcon::DoubleClick:
    case QSystemTrayIcon::MiddleClick:
        if (callbacks_.activate)
            callbacks_.activate(QCursor::pos());
        break;
    case QSystemTrayIcon::Context:
        if (callbacks_.contextMenu)
            callbacks_.contextMenu(QCursor::pos());
        break;
    case QSystemTrayIcon::Unknown:
        break;
    }
}

} // namespace knobly
