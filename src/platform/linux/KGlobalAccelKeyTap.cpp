#include "KGlobalAccelKeyTap.h"

#include "KnoblyBuild.h"

#include <QDBusConnectionInterface>
#include <QDBusMetaType>
#include <QDBusPendingCall>
#include <QDBusPendingCallWatcher>

#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

namespace knobly {

namespace {

const QString kService = QStringLiteral("org.kde.kglobalaccel");
const QString kPath = QStringLiteral("/kglobalaccel");
const QString kInterface = QStringLiteral("org.kde.KGlobalAccel");
const QString kComponent = QStringLiteral("org.kde.kglobalaccel.Component");
// plasma-pa registers its volume keys under KMix's old component name, so users keep theirs.
const QString kDesktopVolume = QStringLiteral("kmix");
// setShortcutKeys' flags
constexpr uint kSetPresent = 2;
constexpr uint kNoAutoloading = 4;
constexpr uint kIsDefault = 8;
constexpr int kTimeoutMs = 1000;

struct Action {
    const char *id;
    const char *name;
    int key; // a Qt::Key, as kglobalaccel counts keys
    MediaKey mediaKey;
    const char *desktopId; // plasma-pa's action on the same key
};
constexpr Action kActionList[] = {
    {"volume-up", "Volume Up", Qt::Key_VolumeUp, MediaKey::volumeUp, "increase_volume"},
    {"volume-down", "Volume Down", Qt::Key_VolumeDown, MediaKey::volumeDown, "decrease_volume"},
    {"mute", "Mute", Qt::Key_VolumeMute, MediaKey::mute, "mute"},
};

QString appId() {
    return QString::fromLatin1(build::appId);
}

// kglobalaccel names an action by [component, action, component's name, action's name].
QStringList ourId(const Action &a) {
    return {appId(), QString::fromLatin1(a.id), QStringLiteral("Knobly"),
            KGlobalAccelKeyTap::tr(a.name)};
}

// Found by the first two alone; the names are only for registering.
QStringList desktopId(const Action &a) {
    return {kDesktopVolume, QString::fromLatin1(a.desktopId), QString(), QString()};
}

QVariant keysArg(const KeyChords &keys) {
    return QVariant::fromValue(keys);
}

KeyChords keysOf(const QDBusPendingCall &call) {
    return qdbus_cast<KeyChords>(call.reply().arguments().value(0));
}

bool holds(const KeyChords &keys, int key) {
    return keys.contains(KeyChord{key});
}

// A key of ours that Plasma's action had by default and now lacks was taken from it: the keys it
// gets back, or none.
KeyChords backToDesktop(const KeyChords &ours, const KeyChords &desktop, const KeyChords &defaults,
                        int key) {
    const bool desktopHasNone =
        std::all_of(desktop.begin(), desktop.end(), [](const KeyChord &c) { return c.key == 0; });
    return holds(ours, key) && desktopHasNone && holds(defaults, key) ? defaults : KeyChords();
}

} // namespace

QDBusArgument &operator<<(QDBusArgument &arg, const KeyChord &chord) {
    arg.beginStructure();
    arg.beginArray(QMetaType::fromType<int>());
    arg << chord.key << 0 << 0 << 0; // kglobalaccel reads exactly four
    arg.endArray();
    arg.endStructure();
    return arg;
}

const QDBusArgument &operator>>(const QDBusArgument &arg, KeyChord &chord) {
    chord.key = 0;
    arg.beginStructure();
    arg.beginArray();
    for (bool first = true; !arg.atEnd(); first = false) {
        int key = 0;
        arg >> key;
        if (first)
            chord.key = key;
    }
    arg.endArray();
    arg.endStructure();
    return arg;
}

KGlobalAccelKeyTap::KGlobalAccelKeyTap(QDBusConnection connection)
    : connection_(std::move(connection)) {
    qDBusRegisterMetaType<KeyChord>();
    qDBusRegisterMetaType<KeyChords>();
}

KGlobalAccelKeyTap::~KGlobalAccelKeyTap() {
    disable();
}

QDBusMessage KGlobalAccelKeyTap::method(const QString &name, const QVariantList &arguments) const {
    QDBusMessage message = QDBusMessage::createMethodCall(kService, kPath, kInterface, name);
    message.setArguments(arguments);
    return message;
}

// Nobody waits for the answer; the service takes calls in the order they were sent.
void KGlobalAccelKeyTap::tell(const QString &name, const QVariantList &arguments) {
    connection_.call(method(name, arguments), QDBus::NoBlock);
}

// Never started on demand: outside Plasma it would grab the keys for nobody.
bool KGlobalAccelKeyTap::isRunning() const {
    QDBusConnectionInterface *bus = connection_.isConnected() ? connection_.interface() : nullptr;
    return bus && bus->isServiceRegistered(kService);
}

bool KGlobalAccelKeyTap::enable(Handler handler) {
    disable();
    refusal_ = Refusal::none;
    holder_.clear();
    desktopHolders_.clear();
    if (!isRunning()) {
        refusal_ = Refusal::noPortal;
        return false;
    }
    // All asked at once, so one timeout bounds the wait; who held a key is asked before we take
    // it, and what Plasma's action has now tells whether we took it from there earlier.
    struct Asked {
        QDBusPendingCall holder, ours, desktop, desktopDefaults;
    };
    const auto ask = [this](const QString &name, const QVariantList &arguments) {
        return connection_.asyncCall(method(name, arguments), kTimeoutMs);
    };
    std::vector<Asked> asked;
    for (const Action &a : kActionList) {
        const QDBusPendingCall holder =
            ask(QStringLiteral("actionList"), {QVariant::fromValue(KeyChord{a.key})});
        tell(QStringLiteral("doRegister"), {ourId(a)});
        const QDBusPendingCall ours =
            ask(QStringLiteral("setShortcutKeys"),
                {ourId(a), keysArg({{a.key}}), kSetPresent | kNoAutoloading});
        tell(QStringLiteral("setShortcutKeys"), {ourId(a), keysArg({{a.key}}), kIsDefault});
        asked.push_back({holder, ours, ask(QStringLiteral("shortcutKeys"), {desktopId(a)}),
                         ask(QStringLiteral("defaultShortcutKeys"), {desktopId(a)})});
    }

    bool answered = true;
    bool foreign = false;
    QString component;
    QStringList names;
    std::array<KeyChords, kActions> toDesktop;
    for (int i = 0; i < kActions; ++i) {
        Asked &q = asked[i];
        for (QDBusPendingCall *call : {&q.holder, &q.ours, &q.desktop, &q.desktopDefaults}) {
            call->waitForFinished();
            answered = answered && !call->isError();
        }
        const Action &a = kActionList[i];
        const KeyChords ours = keysOf(q.ours);
        toDesktop[i] = backToDesktop(ours, keysOf(q.desktop), keysOf(q.desktopDefaults), a.key);
        if (holds(ours, a.key))
            continue;
        const QStringList holder = q.holder.reply().arguments().value(0).toStringList();
        if (holder.value(0) == kDesktopVolume) {
            desktopHolders_ << holder;
            component = holder.value(2);
            names << holder.value(3);
        } else {
            foreign = true;
        }
    }
    if (answered && !foreign && desktopHolders_.isEmpty()) {
        toDesktop_ = toDesktop;
        holding_ = true;
        handler_ = std::move(handler);
        listen(true);
        return true;
    }
    // Nothing half-taken stays with us; what goes back to Plasma is for takeOver() to take too.
    release(toDesktop);
    for (int i = 0; i < kActions; ++i)
        if (!toDesktop[i].isEmpty())
            desktopHolders_ << desktopId(kActionList[i]);
    refusal_ = !answered ? Refusal::noPortal
               : foreign ? Refusal::keysTaken
                         : Refusal::heldByDesktop;
    if (refusal_ == Refusal::heldByDesktop)
        holder_ = component + QStringLiteral(": ") + names.join(QStringLiteral(", "));
    return false;
}

void KGlobalAccelKeyTap::disable() {
    listen(false);
    handler_ = nullptr;
    down_ = {};
    if (!holding_)
        return;
    holding_ = false;
    release(std::exchange(toDesktop_, {}));
}

void KGlobalAccelKeyTap::release(const std::array<KeyChords, kActions> &toDesktop) {
    // Ours go first: Plasma's action would be refused a key that is still ours.
    for (const Action &a : kActionList)
        tell(QStringLiteral("setShortcutKeys"), {ourId(a), keysArg({}), kNoAutoloading});
    for (int i = 0; i < kActions; ++i)
        if (!toDesktop[i].isEmpty())
            tell(QStringLiteral("setForeignShortcutKeys"),
                 {desktopId(kActionList[i]), keysArg(toDesktop[i])});
}

// Sent, not waited for: the enable() that follows is queued behind these and sees the result.
bool KGlobalAccelKeyTap::takeOver() {
    if (refusal_ != Refusal::heldByDesktop || !isRunning())
        return false;
    for (const QStringList &holder : std::as_const(desktopHolders_))
        tell(QStringLiteral("setForeignShortcutKeys"), {holder, keysArg({})});
    return true;
}

void KGlobalAccelKeyTap::giveBack() {
    if (holding_ || !isRunning())
        return;
    auto calls = std::make_shared<std::vector<QDBusPendingCall>>();
    for (const Action &a : kActionList)
        for (const auto &[name, id] : {std::pair{"shortcutKeys", ourId(a)},
                                       {"shortcutKeys", desktopId(a)},
                                       {"defaultShortcutKeys", desktopId(a)}})
            calls->push_back(connection_.asyncCall(method(QLatin1String(name), {id}), kTimeoutMs));
    auto left = std::make_shared<std::size_t>(calls->size());
    for (const QDBusPendingCall &call : std::as_const(*calls)) {
        auto *watcher = new QDBusPendingCallWatcher(call, this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this,
                [this, calls, left](QDBusPendingCallWatcher *w) {
                    w->deleteLater();
                    if (--*left > 0 || holding_)
                        return; // still waiting, or capture went on meanwhile
                    std::array<KeyChords, kActions> back;
                    bool ours = false;
                    for (int i = 0; i < kActions; ++i) {
                        const KeyChords mine = keysOf((*calls)[3 * i]);
                        ours = ours || holds(mine, kActionList[i].key);
                        back[i] = backToDesktop(mine, keysOf((*calls)[3 * i + 1]),
                                                keysOf((*calls)[3 * i + 2]), kActionList[i].key);
                    }
                    if (ours)
                        release(back);
                });
    }
}

void KGlobalAccelKeyTap::listen(bool on) {
    // The service names a component's object after its id, other characters made '_'.
    const QString path = QStringLiteral("/component/") + QString(appId()).replace(u'.', u'_');
    const auto toggle = [&](const QString &at, const QString &interface, const char *name,
                            const char *slot) {
        if (on)
            connection_.connect(kService, at, interface, QLatin1String(name), this, slot);
        else
            connection_.disconnect(kService, at, interface, QLatin1String(name), this, slot);
    };
    toggle(path, kComponent, "globalShortcutPressed", SLOT(pressed(QDBusMessage)));
    toggle(path, kComponent, "globalShortcutReleased", SLOT(released(QDBusMessage)));
    toggle(kPath, kInterface, "yourShortcutsChanged", SLOT(shortcutsChanged(QDBusMessage)));
}

void KGlobalAccelKeyTap::deliver(const QDBusMessage &signal, bool down) {
    const QVariantList args = signal.arguments();
    if (!handler_ || args.value(0).toString() != appId())
        return;
    for (int i = 0; i < kActions; ++i) {
        if (args.value(1).toString() != QLatin1String(kActionList[i].id))
            continue;
        // Held keys come as presses again, without releases in between.
        const bool repeat = down && down_[i];
        down_[i] = down;
        const Handler handler = handler_; // a copy: the handler may disable this tap
        handler(KeyEvent{kActionList[i].mediaKey, down, repeat});
        return;
    }
}

void KGlobalAccelKeyTap::pressed(const QDBusMessage &signal) {
    deliver(signal, true);
}

void KGlobalAccelKeyTap::released(const QDBusMessage &signal) {
    deliver(signal, false);
}

// Someone else (System Settings, another program) moved one of our keys: capture is over, and
// Plasma's keys are left as they were arranged.
void KGlobalAccelKeyTap::shortcutsChanged(const QDBusMessage &signal) {
    const QVariantList args = signal.arguments();
    const QStringList id = args.value(0).toStringList();
    if (!holding_ || id.value(0) != appId())
        return;
    for (const Action &a : kActionList) {
        if (id.value(1) == QLatin1String(a.id) &&
            !holds(qdbus_cast<KeyChords>(args.value(1)), a.key)) {
            toDesktop_ = {};
            disable();
            refusal_ = Refusal::keysTaken;
            if (lost)
                lost();
            return;
        }
    }
}

} // namespace knobly
