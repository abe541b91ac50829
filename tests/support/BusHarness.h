#pragma once

// A panel's side of the session bus, for tests that run on a private one
// (with-session-bus.sh): connections of their own, a stand-in StatusNotifierWatcher and the
// dbusmenu layout as a host reads it.
#include "Await.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace knobly::test {

inline const QString kWatcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
inline const QString kItemInterface = QStringLiteral("org.kde.StatusNotifierItem");
inline const QString kMenuInterface = QStringLiteral("com.canonical.dbusmenu");
inline const QString kPropertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");
inline const QString kItemPath = QStringLiteral("/StatusNotifierItem");
inline const QString kMenuPath = QStringLiteral("/MenuBar");

// Why knobly itself may not be started here; empty when this process has a private session bus
// (with-session-bus.sh) and a network namespace with nothing but loopback (in-private-netns.sh),
// for the discovery knobly starts at launch must reach no real network.
std::string whyNoPrivateDesktop();

// Calls the item's Scroll from a process whose name (/proc/PID/comm) is `comm`: dbus-send
// under that name, as a panel of that name would, waiting for the reply so that it is still
// on the bus while the item asks about it.
bool scrollAs(const QString &comm, const QString &service, int delta, const QString &orientation);

// A connection of its own, as a panel host or a watcher would have.
class Connection {
public:
    explicit Connection(const QString &role);
    ~Connection();
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    QDBusConnection &bus() { return *bus_; }

    // Never blocks the loop: whoever answers may live on this very thread.
    QDBusMessage call(const QString &service, const QString &path, const QString &interface,
                      const QString &method, const QVariantList &args = {});

private:
    QString name_;
    std::optional<QDBusConnection> bus_;
};

// The panel's org.kde.StatusNotifierWatcher, on a connection of its own so that stopping it
// looks to the bus like the panel's process going away. It also follows the bus's comings and
// goings on that same connection: the bus hands a peer's calls to us before the news that it
// left, so once a connection is reported gone, everything it sent us has arrived.
class FakeWatcher : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
public:
    FakeWatcher();
    ~FakeWatcher() override;
    // Leaves the bus altogether, name and all.
    void stop();

    bool running = false;
    QStringList registered; // what each item passed, in order
    QStringList senders;    // the unique name each registration came from
    QStringList connected;  // unique names that joined the bus, in order
    QSet<QString> departed; // unique names that left it

public Q_SLOTS:
    Q_SCRIPTABLE void RegisterStatusNotifierItem(const QString &service);
    Q_SCRIPTABLE void RegisterStatusNotifierHost(const QString &);

private Q_SLOTS:
    void ownerChanged(const QString &name, const QString &oldOwner, const QString &newOwner);

private:
    std::unique_ptr<Connection> connection_;
};

// A desktop service the test plays (notifications, Plasma's OSD, the desktop portal), on a
// connection of its own: records every call at `path` and answers with what `reply` gives,
// or with an unknown-method error when it gives nothing.
class StandInService : public QDBusVirtualObject {
public:
    StandInService(const QString &service, const QString &path);
    ~StandInService() override;

    std::function<std::optional<QVariantList>(const QDBusMessage &)> reply;
    QList<QDBusMessage> calls;
    // The calls of one method, in order.
    QList<QDBusMessage> callsOf(const QString &member) const;
    Connection &connection() { return *connection_; }

    QString introspect(const QString &) const override { return {}; }
    bool handleMessage(const QDBusMessage &message, const QDBusConnection &bus) override;

private:
    std::unique_ptr<Connection> connection_;
    QString service_;
};

// Signals as a host receives them.
class SignalLog : public QObject {
    Q_OBJECT
public:
    bool listen(QDBusConnection &bus, const QString &service, const QString &path,
                const QString &interface, const QString &name) {
        return bus.connect(service, path, interface, name, this, SLOT(record(QDBusMessage)));
    }
    int count(const QString &member) const {
        int n = 0;
        for (const QDBusMessage &m : messages)
            n += m.member() == member ? 1 : 0;
        return n;
    }
    QList<QDBusMessage> named(const QString &member) const {
        QList<QDBusMessage> found;
        for (const QDBusMessage &m : messages) {
            if (m.member() == member)
                found << m;
        }
        return found;
    }

    QList<QDBusMessage> messages;

public Q_SLOTS:
    void record(const QDBusMessage &message) { messages << message; }
};

// A dbusmenu layout row, read by hand: (ia{sv}av), children wrapped in variants.
struct Row {
    int id = -1;
    QVariantMap properties;
    QList<Row> children;

    QString label() const;
    bool isSeparator() const;
    bool isVisible() const;
    int toggleState() const; // -1 when the row is no toggle
    // Labels of the visible rows below, separators left out.
    QStringList labels() const;
    const Row *find(const QString &text) const;
};

Row readRow(const QDBusArgument &arg);

// The exported menu as a host reads it: GetLayout(0, -1, []) on `service`.
struct MenuLayout {
    bool ok = false;
    uint revision = 0;
    Row root;
};
MenuLayout readLayout(Connection &host, const QString &service);

} // namespace knobly::test
