#pragma once

#include "StatusItem.h"

#include <QString>
#include <QSystemTrayIcon>

namespace knobly {

// The XEmbed tray, for desktops with no StatusNotifierWatcher. Only made when no watcher
// runs, so QSystemTrayIcon stays on XEmbed rather than trying the D-Bus protocol itself.
// The host draws no menu here: a right click reaches the contextMenu callback instead.
class TrayFallback final : public QSystemTrayIcon, public StatusItem {
    Q_OBJECT
public:
    explicit TrayFallback(Callbacks callbacks, QObject *parent = nullptr);

    void setTitle(const QString &title) override;
    void setIcon(const QString &iconName, const QImage &image) override;
    void setToolTip(const QString &title, const QString &text) override;
    void setMenu(QMenu *menu) override;

protected:
    // Qt forwards the tray window's wheel events to us; QSystemTrayIcon has no signal for them.
    bool event(QEvent *event) override;

private:
    void onActivated(QSystemTrayIcon::ActivationReason reason);
    void showToolTip();

    Callbacks callbacks_;
    QString title_ = QStringLiteral("WiiM");
    QString toolTipTitle_;
    QString toolTipText_;
};

} // namespace knobly
