#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QVariantMap>

#include <functional>

namespace knobly {

// Knobly's presence on the session bus under its application id: a second start asks the
// running one to come forward (org.freedesktop.Application.Activate) instead of leaving
// without a word.
class AppInstance final : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Application")
public:
    explicit AppInstance(QDBusConnection connection = QDBusConnection::sessionBus());
    ~AppInstance() override;

    // Called for each Activate, on the main loop after the caller has its answer.
    std::function<void()> activated;

    // Asks the running Knobly to come forward; false when none answers.
    static bool activateRunning(QDBusConnection connection = QDBusConnection::sessionBus());

public Q_SLOTS:
    Q_SCRIPTABLE void Activate(const QVariantMap &platformData);

private:
    QDBusConnection connection_;
    bool registered_ = false;
};

} // namespace knobly
