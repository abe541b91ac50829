#include "PortalKeyTap.h"

#include "KnoblyBuild.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>

namespace knobly {

namespace {

const QString kPortal = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPortalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kShortcuts = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
const QString kRequest = QStringLiteral("org.freedesktop.portal.Request");

struct Shortcut {
    const char *id;
    const char *description;
    const char *trigger; // the keyboard's own key, as a keysym name
    MediaKey key;
};
constexpr Shortcut kShortcutList[] = {
    {"volume-up", "Volume up", "XF86AudioRaiseVolume", MediaKey::volumeUp},
    {"volume-down", "Volume down", "XF86AudioLowerVolume", MediaKey::volumeDown},
    {"mute", "Mute", "XF86AudioMute", MediaKey::mute},
};

} // namespace

// One shortcut in BindShortcuts' a(sa{sv}).
struct PortalShortcut {
    QString id;
    QVariantMap properties;
};

QDBusArgument &operator<<(QDBusArgument &arg, const PortalShortcut &s) {
    arg.beginStructure();
    arg << s.id << s.properties;
    arg.endStructure();
    return arg;
}

const QDBusArgument &operator>>(const QDBusArgument &arg, PortalShortcut &s) {
    arg.beginStructure();
    arg >> s.id >> s.properties;
    arg.endStructure();
    return arg;
}

} // namespace knobly

Q_DECLARE_METATYPE(knobly::PortalShortcut)

namespace knobly {

PortalKeyTap::PortalKeyTap(QDBusConnection connection) : connection_(std::move(connection)) {
    qDBusRegisterMetaType<PortalShortcut>();
    qDBusRegisterMetaType<QList<PortalShortcut>>();
}

PortalKeyTap::~PortalKeyTap() {
    disable();
}

// Only the bus is asked here; the portal itself answers later, on the loop (it may even run
// on this thread in tests, and a desktop's portal can be slow).
bool PortalKeyTap::enable(Handler handler) {
    disable();
    refusal_ = Refusal::none;
    QDBusConnectionInterface *bus = connection_.isConnected() ? connection_.interface() : nullptr;
    // The portal usually starts on demand: one the bus can start counts as there.
    if (!bus || (!bus->isServiceRegistered(kPortal) &&
                 !bus->activatableServiceNames().value().contains(kPortal))) {
        refusal_ = Refusal::noPortal;
        return false;
    }
    // GNOME's settings daemon grabs the volume keys in the shell ahead of any binding: the
    // portal says yes and no press ever comes. Better said now than a capture of nothing.
    if (bus->isServiceRegistered(QStringLiteral("org.gnome.SettingsDaemon.MediaKeys"))) {
        refusal_ = Refusal::noPortal;
        return false;
    }
    handler_ = std::move(handler);
    const quint64 generation = ++generation_;

    // Outside a sandbox the portal learns who we are from our desktop entry's id, once per
    // connection and before any other call on it. It serves calls in threads: the next one
    // waits for this answer, or may be served first and leave us without an id (GNOME then
    // refuses). Portals older than the registry, a second time on this connection, or no
    // installed desktop entry answer an error, and we go on without.
    QDBusMessage registration = QDBusMessage::createMethodCall(
        kPortal, kPortalPath, QStringLiteral("org.freedesktop.host.portal.Registry"),
        QStringLiteral("Register"));
    registration << QString::fromLatin1(build::appId) << QVariantMap();
    const auto registered = [this, generation] {
        // A portal without GlobalShortcuts has no version of it to tell.
        QDBusMessage version = QDBusMessage::createMethodCall(
            kPortal, kPortalPath, QStringLiteral("org.freedesktop.DBus.Properties"),
            QStringLiteral("Get"));
        version << kShortcuts << QStringLiteral("version");
        whenAnswered(version, generation, [this] {
            const QString token = QStringLiteral("knobly_session_%1").arg(generation_);
            request(QStringLiteral("CreateSession"),
                    {QVariantMap{{QStringLiteral("session_handle_token"), token}}},
                    SLOT(sessionCreated(QDBusMessage)));
        });
    };
    whenAnswered(registration, generation, registered, Refusal::none);
    connection_.connect(kPortal, kPortalPath, kShortcuts, QStringLiteral("Activated"), this,
                        SLOT(activated(QDBusMessage)));
    connection_.connect(kPortal, kPortalPath, kShortcuts, QStringLiteral("Deactivated"), this,
                        SLOT(deactivated(QDBusMessage)));
    return true;
}

void PortalKeyTap::disable() {
    ++generation_;
    stopListening();
    connection_.disconnect(kPortal, kPortalPath, kShortcuts, QStringLiteral("Activated"), this,
                           SLOT(activated(QDBusMessage)));
    connection_.disconnect(kPortal, kPortalPath, kShortcuts, QStringLiteral("Deactivated"), this,
                           SLOT(deactivated(QDBusMessage)));
    if (!session_.isEmpty())
        connection_.call(QDBusMessage::createMethodCall(
                             kPortal, session_, QStringLiteral("org.freedesktop.portal.Session"),
                             QStringLiteral("Close")),
                         QDBus::NoBlock);
    session_.clear();
    held_.clear();
    handler_ = nullptr;
}

void PortalKeyTap::whenAnswered(const QDBusMessage &call, quint64 generation,
                                std::function<void()> next, Refusal onError) {
    auto *watcher = new QDBusPendingCallWatcher(connection_.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, generation, next = std::move(next), onError](QDBusPendingCallWatcher *w) {
                w->deleteLater();
                if (generation != generation_)
                    return; // switched off or on again meanwhile
                if (w->isError() && onError != Refusal::none)
                    refuse(onError);
                else
                    next();
            });
}

void PortalKeyTap::request(const QString &method, QVariantList arguments, const char *slot) {
    // The Response may come before the call's own answer: listen on the path the portal will
    // use before asking.
    stopListening();
    const QString token = QStringLiteral("knobly_%1").arg(++requests_);
    QString sender = connection_.baseService().mid(1);
    sender.replace(u'.', u'_');
    pendingRequest_ =
        QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2").arg(sender, token);
    pendingSlot_ = slot;
    connection_.connect(kPortal, pendingRequest_, kRequest, QStringLiteral("Response"), this, slot);
    QVariantMap options = arguments.takeLast().toMap();
    options.insert(QStringLiteral("handle_token"), token);
    arguments << options;
    QDBusMessage call = QDBusMessage::createMethodCall(kPortal, kPortalPath, kShortcuts, method);
    call.setArguments(arguments);
    whenAnswered(call, generation_, [] {});
}

void PortalKeyTap::stopListening() {
    if (!pendingRequest_.isEmpty())
        connection_.disconnect(kPortal, pendingRequest_, kRequest, QStringLiteral("Response"), this,
                               pendingSlot_);
    pendingRequest_.clear();
}

void PortalKeyTap::refuse(Refusal why) {
    disable();
    refusal_ = why;
    if (lost)
        lost();
}

void PortalKeyTap::sessionCreated(const QDBusMessage &response) {
    stopListening();
    const QVariantList args = response.arguments();
    if (args.size() != 2 || args[0].toUInt() != 0) {
        refuse(Refusal::noPortal);
        return;
    }
    const QVariant handle =
        qdbus_cast<QVariantMap>(args[1]).value(QStringLiteral("session_handle"));
    session_ = handle.canConvert<QDBusObjectPath>() ? handle.value<QDBusObjectPath>().path()
                                                    : handle.toString();
    if (session_.isEmpty()) {
        refuse(Refusal::noPortal);
        return;
    }
    QList<PortalShortcut> shortcuts;
    for (const Shortcut &s : kShortcutList)
        shortcuts << PortalShortcut{
            QString::fromLatin1(s.id),
            {{QStringLiteral("description"), tr(s.description)},
             {QStringLiteral("preferred_trigger"), QString::fromLatin1(s.trigger)}}};
    request(QStringLiteral("BindShortcuts"),
            {QVariant::fromValue(QDBusObjectPath(session_)), QVariant::fromValue(shortcuts),
             QString(), QVariantMap()},
            SLOT(shortcutsBound(QDBusMessage)));
}

void PortalKeyTap::shortcutsBound(const QDBusMessage &response) {
    stopListening();
    const QVariantList args = response.arguments();
    // 1 is the user saying no, 2 the dialog going away some other way; GNOME 48 answers 2
    // when the user added the shortcuts too, and tells the two apart by listing them.
    const uint code = args.size() == 2 ? args[0].toUInt() : 1;
    const QVariant listed =
        qdbus_cast<QVariantMap>(args.value(1)).value(QStringLiteral("shortcuts"));
    bool any = false;
    if (listed.canConvert<QDBusArgument>()) {
        const QDBusArgument list = listed.value<QDBusArgument>();
        if (list.currentType() == QDBusArgument::ArrayType) {
            list.beginArray();
            any = !list.atEnd();
        }
    }
    if (code != 0 && !(code == 2 && any))
        refuse(Refusal::declined);
}

void PortalKeyTap::deliver(const QDBusMessage &signal, bool down) {
    const QVariantList args = signal.arguments();
    if (args.size() < 2 || !handler_)
        return;
    const QString session = args[0].value<QDBusObjectPath>().path();
    if (session != session_)
        return;
    for (const Shortcut &s : kShortcutList) {
        if (args[1].toString() == QLatin1String(s.id)) {
            // A held key is activated again and again, with one deactivation at the end.
            const bool repeat = down && held_.contains(s.id);
            if (down)
                held_.insert(s.id);
            else
                held_.remove(s.id);
            // A copy: the handler may disable this tap, which resets handler_ under it.
            const Handler handler = handler_;
            handler(KeyEvent{s.key, down, repeat});
            return;
        }
    }
}

void PortalKeyTap::activated(const QDBusMessage &signal) {
    deliver(signal, true);
}

void PortalKeyTap::deactivated(const QDBusMessage &signal) {
    deliver(signal, false);
}

} // namespace knobly
