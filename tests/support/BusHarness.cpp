#include "BusHarness.h"

#include <utility>

#include <QDBusPendingCall>
#include <QDBusVariant>
#include <QFile>
#include <QNetworkInterface>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

namespace knobly::test {

std::string whyNoPrivateDesktop() {
    if (!qEnvironmentVariableIsSet("KNOBLY_PRIVATE_SESSION_BUS"))
        return "needs a private session bus: run through with-session-bus.sh";
    if (!qEnvironmentVariableIsSet("KNOBLY_PRIVATE_NETNS"))
        return "needs a network namespace of its own: run through in-private-netns.sh (as root)";
    for (const QNetworkInterface &i : QNetworkInterface::allInterfaces())
        if (!i.flags().testFlag(QNetworkInterface::IsLoopBack))
            return "interface " + i.name().toStdString() + " is here too";
    return {};
}

bool scrollAs(const QString &comm, const QString &service, int delta, const QString &orientation) {
    static QTemporaryDir dir;
    const QString dbusSend = QStandardPaths::findExecutable(QStringLiteral("dbus-send"));
    const QString caller = dir.filePath(comm);
    if (dbusSend.isEmpty() || (!QFile::exists(caller) && !QFile::link(dbusSend, caller)))
        return false;
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(caller, {"--session", "--print-reply", "--dest=" + service, kItemPath,
                           kItemInterface + ".Scroll", QStringLiteral("int32:%1").arg(delta),
                           "string:" + orientation});
    return waitUntil([&] { return process.state() == QProcess::NotRunning; }) &&
           process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

static int connectionCounter = 0;

Connection::Connection(const QString &role)
    : name_(QStringLiteral("%1-%2").arg(role).arg(++connectionCounter)),
      bus_(QDBusConnection::connectToBus(QDBusConnection::SessionBus, name_)) {}

Connection::~Connection() {
    bus_.reset();
    QDBusConnection::disconnectFromBus(name_);
}

QDBusMessage Connection::call(const QString &service, const QString &path, const QString &interface,
                              const QString &method, const QVariantList &args) {
    QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
    message.setArguments(args);
    const QDBusPendingCall pending = bus_->asyncCall(message);
    if (!waitUntil([&] { return pending.isFinished(); }))
        return QDBusMessage::createError(QStringLiteral("test.Timeout"), method);
    return pending.reply();
}

FakeWatcher::FakeWatcher() : connection_(std::make_unique<Connection>(QStringLiteral("watcher"))) {
    auto &bus = connection_->bus();
    const QString dbus = QStringLiteral("org.freedesktop.DBus");
    running = bus.connect(dbus, QStringLiteral("/org/freedesktop/DBus"), dbus,
                          QStringLiteral("NameOwnerChanged"), this,
                          SLOT(ownerChanged(QString, QString, QString))) &&
              bus.registerObject(QStringLiteral("/StatusNotifierWatcher"), this,
                                 QDBusConnection::ExportScriptableSlots) &&
              bus.registerService(kWatcherService);
}

void FakeWatcher::ownerChanged(const QString &name, const QString &oldOwner,
                               const QString &newOwner) {
    if (!name.startsWith(QLatin1Char(':')))
        return;
    if (oldOwner.isEmpty())
        connected << name;
    if (newOwner.isEmpty())
        departed << name;
}

QList<QDBusMessage> ofMember(const QList<QDBusMessage> &messages, const QString &member) {
    QList<QDBusMessage> found;
    for (const QDBusMessage &m : messages)
        if (m.member() == member)
            found << m;
    return found;
}

StandInService::StandInService(const QString &service, const QString &path)
    : connection_(std::make_unique<Connection>(QStringLiteral("stand-in"))), service_(service) {
    connection_->bus().registerVirtualObject(path, this, QDBusConnection::SubPath);
    connection_->bus().registerService(service);
}

bool StandInService::handleMessage(const QDBusMessage &message, const QDBusConnection &) {
    calls << message;
    if (holds && holds(message))
        held_ << message;
    else
        answer(message);
    return true;
}

void StandInService::answer(const QDBusMessage &message) {
    const std::optional<QVariantList> answer = reply ? reply(message) : std::nullopt;
    connection_->bus().send(
        answer ? message.createReply(*answer)
               : message.createErrorReply(QDBusError::UnknownMethod, message.member()));
}

void StandInService::release() {
    for (const QDBusMessage &message : std::exchange(held_, {}))
        answer(message);
}

const Row *Row::find(const QString &text) const {
    if (label() == text)
        return this;
    for (const Row &child : children)
        if (const Row *found = child.find(text))
            return found;
    return nullptr;
}

static Row readRow(const QDBusArgument &arg) {
    Row row;
    arg.beginStructure();
    arg >> row.id >> row.properties;
    arg.beginArray();
    while (!arg.atEnd()) {
        QDBusVariant child;
        arg >> child;
        row.children << readRow(child.variant().value<QDBusArgument>());
    }
    arg.endArray();
    arg.endStructure();
    return row;
}

MenuLayout readLayout(Connection &host, const QString &service, int depth) {
    const QDBusMessage reply = host.call(service, kMenuPath, kMenuInterface,
                                         QStringLiteral("GetLayout"), {0, depth, QStringList()});
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 2)
        return {};
    return {true, reply.arguments()[0].toUInt(),
            readRow(reply.arguments()[1].value<QDBusArgument>())};
}

} // namespace knobly::test
