#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>

namespace knobly {

// Volume feedback drawn by the desktop itself, for Wayland sessions where a window of ours
// cannot be placed: Plasma's OSD when Plasma runs, else a notification that replaces the
// previous one.
class DesktopVolumeOsd final : public QObject {
    Q_OBJECT
public:
    explicit DesktopVolumeOsd(QDBusConnection connection = QDBusConnection::sessionBus());

    void show(int volume, bool muted, const QString &device, const QString &iconName);

private:
    void notify(int volume, bool muted, const QString &device, const QString &iconName);

    QDBusConnection connection_;
    uint notification_ = 0; // replaced by the next one
    // Older Plasmas lack the media-player OSD; learnt from the first call's answer.
    bool plasmaMediaOsd_ = true;
};

} // namespace knobly
