#pragma once

#include "KeyTap.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QSet>
#include <QString>

#include <functional>

namespace knobly {

// The volume keys through the desktop portal's GlobalShortcuts (Wayland): the desktop asks
// the user, then reports each activation. Play/pause and skips reach us through MPRIS there.
class PortalKeyTap final : public QObject, public KeyTap {
    Q_OBJECT
public:
    // A connection of its own: the portal takes a connection's first call as who it is.
    explicit PortalKeyTap(QDBusConnection connection = QDBusConnection::connectToBus(
                              QDBusConnection::SessionBus, QStringLiteral("knobly-portal")));
    ~PortalKeyTap() override;

    bool enable(Handler handler) override;
    void disable() override;
    Refusal lastRefusal() const override { return refusal_; }

private Q_SLOTS:
    void sessionCreated(const QDBusMessage &response);
    void shortcutsBound(const QDBusMessage &response);
    void activated(const QDBusMessage &signal);
    void deactivated(const QDBusMessage &signal);

private:
    // Calls a portal method whose answer comes as a Request's Response signal, to `slot`.
    void request(const QString &method, QVariantList arguments, const char *slot);
    // Goes on with `next` once the portal has answered `call`; an error refuses the keys for
    // `onError`, or goes on all the same with Refusal::none.
    void whenAnswered(const QDBusMessage &call, quint64 generation, std::function<void()> next,
                      Refusal onError = Refusal::noPortal);
    void stopListening();
    void refuse(Refusal why);
    void deliver(const QDBusMessage &signal, bool down);

    QDBusConnection connection_;
    Handler handler_;
    Refusal refusal_ = Refusal::none;
    QString session_;
    QString pendingRequest_;
    const char *pendingSlot_ = nullptr;
    int requests_ = 0;
    quint64 generation_ = 0; // bumped by enable and disable: late answers find another
    QSet<QString> held_;     // shortcuts activated and not yet deactivated
};

} // namespace knobly
