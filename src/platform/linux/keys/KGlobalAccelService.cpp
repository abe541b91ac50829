#include "KGlobalAccelService.h"

#include "KnoblyBuild.h"

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>

#include <algorithm>
#include <memory>
#include <utility>

namespace knobly {

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

namespace kglobalaccel {

const std::array<Action, kActions> actions = {{
    {"volume-up", "Volume Up", Qt::Key_VolumeUp, MediaKey::volumeUp, "increase_volume"},
    {"volume-down", "Volume Down", Qt::Key_VolumeDown, MediaKey::volumeDown, "decrease_volume"},
    {"mute", "Mute", Qt::Key_VolumeMute, MediaKey::mute, "mute"},
}};

const QString service = QStringLiteral("org.kde.kglobalaccel");
const QString path = QStringLiteral("/kglobalaccel");
const QString interface = QStringLiteral("org.kde.KGlobalAccel");
const QString componentInterface = QStringLiteral("org.kde.kglobalaccel.Component");
const QString desktopVolume = QStringLiteral("kmix");

namespace {
constexpr int kTimeoutMs = 1000;
} // namespace

QStringList ourId(const Action &a) {
    return {QString::fromLatin1(build::appId), QString::fromLatin1(a.id), QStringLiteral("Knobly"),
            QCoreApplication::translate("knobly::KGlobalAccelKeyTap", a.name)};
}

QStringList desktopId(const Action &a) {
    return {desktopVolume, QString::fromLatin1(a.desktopId), QString(), QString()};
}

bool holds(const KeyChords &keys, int key) {
    return keys.contains(KeyChord{key});
}

KeyChords keysOf(QDBusPendingCall &call) {
    call.waitForFinished();
    return qdbus_cast<KeyChords>(call.reply().arguments().value(0));
}

Service::Service(QDBusConnection connection) : connection_(std::move(connection)) {
    qDBusRegisterMetaType<KeyChord>();
    qDBusRegisterMetaType<KeyChords>();
}

bool Service::isRunning() const {
    QDBusConnectionInterface *bus = connection_.isConnected() ? connection_.interface() : nullptr;
    return bus && bus->isServiceRegistered(service);
}

QDBusPendingCall Service::ask(const QString &name, const QVariantList &arguments) {
    QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, name);
    message.setArguments(arguments);
    return connection_.asyncCall(message, kTimeoutMs);
}

std::vector<QDBusPendingCall> Service::askAboutDesktop() {
    std::vector<QDBusPendingCall> answers;
    for (const Action &a : actions) {
        answers.push_back(ask(QStringLiteral("shortcutKeys"), {ourId(a)}));
        answers.push_back(ask(QStringLiteral("shortcutKeys"), {desktopId(a)}));
        answers.push_back(ask(QStringLiteral("defaultShortcutKeys"), {desktopId(a)}));
    }
    return answers;
}

PerAction Service::backToDesktop(std::vector<QDBusPendingCall> &answers) {
    PerAction back;
    for (int i = 0; i < kActions; ++i) {
        const int key = actions[i].key;
        const KeyChords desktop = keysOf(answers[3 * i + 1]);
        const KeyChords defaults = keysOf(answers[3 * i + 2]);
        if (holds(keysOf(answers[3 * i]), key) && holds(defaults, key) &&
            std::all_of(desktop.begin(), desktop.end(), [](const KeyChord &c) { return !c.key; }))
            back[i] = defaults;
    }
    return back;
}

void Service::clearOurs() {
    for (const Action &a : actions)
        tell(QStringLiteral("setShortcutKeys"),
             {ourId(a), QVariant::fromValue(KeyChords{}), kNoAutoloading});
}

void Service::giveToDesktop(const PerAction &toDesktop) {
    for (int i = 0; i < kActions; ++i)
        if (!toDesktop[i].isEmpty())
            tell(QStringLiteral("setForeignShortcutKeys"),
                 {desktopId(actions[i]), QVariant::fromValue(toDesktop[i])});
}

void Service::giveBackLeftovers(QObject *context, std::function<bool()> holding,
                                std::function<void()> clearOurs) {
    if (!isRunning())
        return;
    auto answers = std::make_shared<std::vector<QDBusPendingCall>>(askAboutDesktop());
    // Answers come in the order asked: the last comes after all the others.
    auto *last = new QDBusPendingCallWatcher(answers->back(), context);
    QObject::connect(last, &QDBusPendingCallWatcher::finished, context,
                     [this, answers, holding = std::move(holding),
                      clearOurs = std::move(clearOurs)](QDBusPendingCallWatcher *w) {
                         w->deleteLater();
                         bool ours = false;
                         for (int i = 0; i < kActions; ++i)
                             ours = ours || holds(keysOf((*answers)[3 * i]), actions[i].key);
                         if (ours && !holding()) { // capture may have gone on meanwhile
                             const PerAction back = backToDesktop(*answers);
                             clearOurs();
                             giveToDesktop(back);
                         }
                     });
}

} // namespace kglobalaccel
} // namespace knobly
