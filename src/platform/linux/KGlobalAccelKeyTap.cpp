#include "KGlobalAccelKeyTap.h"

#include "KnoblyBuild.h"

#include <QDBusConnectionInterface>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>

#include <algorithm>
#include <memory>
#include <utility>

namespace knobly {

namespace {

const QString kService = QStringLiteral("org.kde.kglobalaccel");
const QString kPath = QStringLiteral("/kglobalaccel");
const QString kInterface = QStringLiteral("org.kde.KGlobalAccel");
const QString kComponent = QStringLiteral("org.kde.kglobalaccel.Component");
// plasma-pa registers its volume keys under KMix's old component name, so users keep theirs.
const QString kDesktopVolume = QStringLiteral("kmix");
constexpr uint kSetPresent = 2, kNoAutoloading = 4, kIsDefault = 8; // setShortcutKeys' flags
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

const QString kAppId = QString::fromLatin1(build::appId);

// kglobalaccel names an action by [component, action, component's name, action's name].
QStringList ourId(const Action &a) {
    return {kAppId, QString::fromLatin1(a.id), QStringLiteral("Knobly"),
            KGlobalAccelKeyTap::tr(a.name)};
}

// Found by the first two alone; the names are only for registering.
QStringList desktopId(const Action &a) {
    return {kDesktopVolume, QString::fromLatin1(a.desktopId), QString(), QString()};
}

QVariant keysArg(const KeyChords &keys) {
    return QVariant::fromValue(keys);
}

KeyChords keysOf(QDBusPendingCall &call) {
    call.waitForFinished();
    return qdbus_cast<KeyChords>(call.reply().arguments().value(0));
}

bool holds(const KeyChords &keys, int key) {
    return keys.contains(KeyChord{key});
}

} // namespace

QDBusArgument &operator<<(QDBusArgument &arg, const KeyChord &chord) {
    arg.beginStructure();
    arg << QList<int>{chord.key, 0, 0, 0}; // kglobalaccel reads exactly four
    arg.endStructure();
    return arg;
}

const QDBusArgument &operator>>(const QDBusArgument &arg, KeyChord &chord) {
    QList<int> keys;
    arg.beginStructure();
    arg >> keys;
    arg.endStructure();
    chord.key = keys.value(0);
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

// The service takes calls in the order they were sent; tell() waits for no answer.
QDBusPendingCall KGlobalAccelKeyTap::ask(const QString &name, const QVariantList &arguments) {
    QDBusMessage message = QDBusMessage::createMethodCall(kService, kPath, kInterface, name);
    message.setArguments(arguments);
    return connection_.asyncCall(message, kTimeoutMs);
}

// Never started on demand: outside Plasma it would grab the keys for nobody.
bool KGlobalAccelKeyTap::isRunning() const {
    QDBusConnectionInterface *bus = connection_.isConnected() ? connection_.interface() : nullptr;
    return bus && bus->isServiceRegistered(kService);
}

// From the answers [our keys, Plasma's action's keys, its defaults] for each action: a key of ours
// that Plasma's action had by default and now lacks altogether was taken from there.
KGlobalAccelKeyTap::PerAction
KGlobalAccelKeyTap::backToDesktop(std::vector<QDBusPendingCall> &answers) {
    PerAction back;
    for (int i = 0; i < kActions; ++i) {
        const int key = kActionList[i].key;
        const KeyChords desktop = keysOf(answers[3 * i + 1]);
        const KeyChords defaults = keysOf(answers[3 * i + 2]);
        if (holds(keysOf(answers[3 * i]), key) && holds(defaults, key) &&
            std::all_of(desktop.begin(), desktop.end(), [](const KeyChord &c) { return !c.key; }))
            back[i] = defaults;
    }
    return back;
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
    // it, and Plasma's actions tell whether we took it from there earlier.
    std::vector<QDBusPendingCall> holders, answers;
    for (const Action &a : kActionList) {
        holders.push_back(
            ask(QStringLiteral("actionList"), {QVariant::fromValue(KeyChord{a.key})}));
        tell(QStringLiteral("doRegister"), {ourId(a)});
        answers.push_back(ask(QStringLiteral("setShortcutKeys"),
                              {ourId(a), keysArg({{a.key}}), kSetPresent | kNoAutoloading}));
        tell(QStringLiteral("setShortcutKeys"), {ourId(a), keysArg({{a.key}}), kIsDefault});
        answers.push_back(ask(QStringLiteral("shortcutKeys"), {desktopId(a)}));
        answers.push_back(ask(QStringLiteral("defaultShortcutKeys"), {desktopId(a)}));
    }
    bool answered = true;
    for (std::vector<QDBusPendingCall> *calls : {&holders, &answers})
        for (QDBusPendingCall &call : *calls)
            answered = answered && (call.waitForFinished(), !call.isError());
    const PerAction back = backToDesktop(answers);
    bool foreign = false;
    QStringList names;
    for (int i = 0; i < kActions && answered; ++i) {
        if (holds(keysOf(answers[3 * i]), kActionList[i].key))
            continue;
        const QStringList holder = holders[i].reply().arguments().value(0).toStringList();
        foreign = foreign || holder.value(0) != kDesktopVolume;
        desktopHolders_ << holder;
        names << holder.value(3);
    }
    if (answered && desktopHolders_.isEmpty()) {
        toDesktop_ = back;
        holding_ = true;
        handler_ = std::move(handler);
        listen(true);
        return true;
    }
    // Nothing half-taken stays with us.
    release(back);
    refusal_ = !answered ? Refusal::noPortal
               : foreign ? Refusal::keysTaken
                         : Refusal::heldByDesktop;
    if (refusal_ == Refusal::heldByDesktop)
        holder_ = desktopHolders_[0].value(2) + QStringLiteral(": ") + names.join(u", ");
    return false;
}

void KGlobalAccelKeyTap::disable() {
    listen(false);
    handler_ = nullptr;
    down_ = {};
    if (std::exchange(holding_, false))
        release(std::exchange(toDesktop_, {}));
}

void KGlobalAccelKeyTap::release(const PerAction &toDesktop) {
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
    auto answers = std::make_shared<std::vector<QDBusPendingCall>>();
    for (const Action &a : kActionList) {
        answers->push_back(ask(QStringLiteral("shortcutKeys"), {ourId(a)}));
        answers->push_back(ask(QStringLiteral("shortcutKeys"), {desktopId(a)}));
        answers->push_back(ask(QStringLiteral("defaultShortcutKeys"), {desktopId(a)}));
    }
    // Answers come in the order asked: the last comes after all the others.
    auto *last = new QDBusPendingCallWatcher(answers->back(), this);
    connect(last, &QDBusPendingCallWatcher::finished, this,
            [this, answers](QDBusPendingCallWatcher *w) {
                w->deleteLater();
                bool ours = false;
                for (int i = 0; i < kActions; ++i)
                    ours = ours || holds(keysOf((*answers)[3 * i]), kActionList[i].key);
                if (ours && !holding_) // capture may have gone on meanwhile
                    release(backToDesktop(*answers));
            });
}

void KGlobalAccelKeyTap::listen(bool on) {
    // The service names a component's object after its id, other characters made '_'.
    const QString path = QStringLiteral("/component/") + QString(kAppId).replace(u'.', u'_');
    const auto toggle = [&](const QString &at, const QString &interface, const char *name,
                            const char *slot) {
        if (on)
            connection_.connect(kService, at, interface, QLatin1String(name), this, slot);
        else
            connection_.disconnect(kService, at, interface, QLatin1String(name), this, slot);
    };
    toggle(path, kComponent, "globalShortcutPressed", SLOT(shortcut(QDBusMessage)));
    toggle(path, kComponent, "globalShortcutReleased", SLOT(shortcut(QDBusMessage)));
    toggle(kPath, kInterface, "yourShortcutsChanged", SLOT(shortcutsChanged(QDBusMessage)));
}

void KGlobalAccelKeyTap::shortcut(const QDBusMessage &signal) {
    const bool down = signal.member() == QLatin1String("globalShortcutPressed");
    const QVariantList args = signal.arguments();
    if (!handler_ || args.value(0).toString() != kAppId)
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

// Someone else (System Settings, another program) moved one of our keys: capture is over, and
// Plasma's keys are left as they were arranged.
void KGlobalAccelKeyTap::shortcutsChanged(const QDBusMessage &signal) {
    const QVariantList args = signal.arguments();
    const QStringList id = args.value(0).toStringList();
    if (!holding_ || id.value(0) != kAppId)
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
