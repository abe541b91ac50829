#pragma once

// A panel's side of a private session bus (with-session-bus.sh): connections of its own, a
// stand-in StatusNotifierWatcher and desktop services, and the dbusmenu layout a host reads.
#include "Await.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QSet>
#include <QStringList>
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

// Why knobly itself may not start here; empty with a private session bus (with-session-bus.sh)
// and nothing but loopback (in-private-netns.sh), as its discovery must reach no real network.
std::string whyNoPrivateDesktop();

// The item's Scroll called by dbus-send under the process name `comm`, as that panel would;
// the reply is waited for, so the caller is still on the bus while the item asks about it.
bool scrollAs(const QString &comm, const QString &service, int delta, const QString &orientation);

// A connection of its own, as a panel host or a watcher would have.
class Connection {
public:
    explicit Connection(const QString &role);
    ~Connection();
    Q_DISABLE_COPY(Connection)
    QDBusConnection &bus() { return *bus_; }
    // Never blocks the loop: whoever answers may live on this very thread.
    QDBusMessage call(const QString &service, const QString &path, const QString &interface,
                      const QString &method, const QVariantList &args = {});

private:
    QString name_;
    std::optional<QDBusConnection> bus_;
};

// The panel's watcher, on a connection of its own: stop() looks like the panel leaving. The bus
// delivers a peer's calls before the news that it left, so a departed peer has nothing in flight.
class FakeWatcher : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
public:
    FakeWatcher();
    void stop() { connection_.reset(); } // leaves the bus, name and all

    bool running = false;
    QStringList registered; // what each item passed, in order
    QStringList connected;  // unique names that joined the bus, in order
    QSet<QString> departed; // unique names that left it

public Q_SLOTS:
    Q_SCRIPTABLE void RegisterStatusNotifierItem(const QString &item) { registered << item; }
    Q_SCRIPTABLE void RegisterStatusNotifierHost(const QString &) {}

private Q_SLOTS:
    void ownerChanged(const QString &name, const QString &oldOwner, const QString &newOwner);

private:
    std::unique_ptr<Connection> connection_;
};

// The calls of one method, in order.
QList<QDBusMessage> ofMember(const QList<QDBusMessage> &messages, const QString &member);

// A desktop service the test plays, on a connection of its own: records every call at `path`
// and answers with what `reply` gives, or an unknown-method error when it gives nothing.
class StandInService : public QDBusVirtualObject {
public:
    StandInService(const QString &service, const QString &path);
    ~StandInService() override { connection_->bus().unregisterService(service_); }

    std::function<std::optional<QVariantList>(const QDBusMessage &)> reply;
    // Calls for which this says true get their answer only at release(), as a slow peer's.
    std::function<bool(const QDBusMessage &)> holds;
    void release();
    QList<QDBusMessage> calls;
    QList<QDBusMessage> callsOf(const QString &member) const { return ofMember(calls, member); }
    Connection &connection() { return *connection_; }

    QString introspect(const QString &) const override { return {}; }
    bool handleMessage(const QDBusMessage &message, const QDBusConnection &bus) override;

private:
    void answer(const QDBusMessage &message);

    std::unique_ptr<Connection> connection_;
    QString service_;
    QList<QDBusMessage> held_;
};

// Signals as a host receives them.
class SignalLog : public QObject {
    Q_OBJECT
public:
    bool listen(QDBusConnection &bus, const QString &service, const QString &path,
                const QString &interface, const QString &name) {
        return bus.connect(service, path, interface, name, this, SLOT(record(QDBusMessage)));
    }
    int count(const QString &member) const { return int(named(member).size()); }
    QList<QDBusMessage> named(const QString &member) const { return ofMember(messages, member); }

    QList<QDBusMessage> messages;

public Q_SLOTS:
    void record(const QDBusMessage &message) { messages << message; }
};

// A dbusmenu layout row, read by hand: (ia{sv}av), children wrapped in variants.
struct Row {
    int id = -1;
    QVariantMap properties;
    QList<Row> children;

    QString label() const { return properties.value(QStringLiteral("label")).toString(); }
    // -1 when the row is no toggle
    int toggleState() const { return properties.value(QStringLiteral("toggle-state"), -1).toInt(); }
    const Row *find(const QString &text) const;
};

// The exported menu as a host reads it: GetLayout(0, -1, []) on `service`.
struct MenuLayout {
    bool ok = false;
    uint revision = 0;
    Row root;
};
// The menu as a host reads it, to `depth` levels below the root (-1: all).
MenuLayout readLayout(Connection &host, const QString &service, int depth = -1);

} // namespace knobly::test
