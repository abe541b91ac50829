#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>

namespace knobly {

// Volume feedback drawn by the desktop itself, for Wayland sessions where a window of ours
// cannot be placed: Plasma's OSD when Plasma runs, else a notification that replaces the
// previous one and is closed shortly after the last change (GNOME keeps banners for seconds
// and lists what it was not told to close).
class DesktopVolumeOsd final : public QObject {
    Q_OBJECT
public:
    explicit DesktopVolumeOsd(QDBusConnection connection = QDBusConnection::sessionBus());
    // Nothing of ours stays in the desktop's message list after we quit.
    ~DesktopVolumeOsd() override;

    void show(int volume, bool muted, const QString &device, const QString &iconName);

private:
    void notify(int volume, bool muted, const QString &device, const QString &iconName);
    void closeNotification(QDBus::CallMode mode);

    QDBusConnection connection_;
    uint notification_ = 0; // replaced by the next one
    quint64 shown_ = 0;     // notifications sent: a close is for the last one only
    // Older Plasmas lack the media-player OSD; learnt from the first call's answer.
    bool plasmaMediaOsd_ = true;
};

} // namespace knobly
