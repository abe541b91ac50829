#include "KGlobalAccelKeyTap.h"

#include "KnoblyBuild.h"

#include <utility>

namespace knobly {

using namespace kglobalaccel;

namespace {
const QString kAppId = QString::fromLatin1(build::appId);

QVariant keysArg(const KeyChords &keys) {
    return QVariant::fromValue(keys);
}
} // namespace

KGlobalAccelKeyTap::KGlobalAccelKeyTap(QDBusConnection connection)
    : service_(std::move(connection)) {}

KGlobalAccelKeyTap::~KGlobalAccelKeyTap() {
    disable();
}

bool KGlobalAccelKeyTap::enable(Handler handler) {
    disable();
    refusal_ = Refusal::none;
    holder_.clear();
    desktopHolders_.clear();
    if (!service_.isRunning()) {
        refusal_ = Refusal::noPortal;
        return false;
    }
    // All asked at once, so one timeout bounds the wait; who held a key is asked before we take
    // it, and Plasma's actions tell whether we took it from there earlier.
    std::vector<QDBusPendingCall> holders;
    for (const Action &a : actions) {
        holders.push_back(
            service_.ask(QStringLiteral("actionList"), {QVariant::fromValue(KeyChord{a.key})}));
        service_.tell(QStringLiteral("doRegister"), {ourId(a)});
        service_.tell(QStringLiteral("setShortcutKeys"),
                      {ourId(a), keysArg({{a.key}}), kSetPresent | kNoAutoloading});
        service_.tell(QStringLiteral("setShortcutKeys"),
                      {ourId(a), keysArg({{a.key}}), kIsDefault});
    }
    std::vector<QDBusPendingCall> answers = service_.askAboutDesktop();
    bool answered = true;
    for (std::vector<QDBusPendingCall> *calls : {&holders, &answers})
        for (QDBusPendingCall &call : *calls)
            answered = answered && (call.waitForFinished(), !call.isError());
    const PerAction back = Service::backToDesktop(answers);
    bool foreign = false;
    QStringList names;
    for (int i = 0; i < kActions && answered; ++i) {
        if (holds(keysOf(answers[3 * i]), actions[i].key))
            continue;
        const QStringList holder = holders[i].reply().arguments().value(0).toStringList();
        foreign = foreign || holder.value(0) != desktopVolume;
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
    service_.clearOurs();
    service_.giveToDesktop(toDesktop);
}

// Sent, not waited for: the enable() that follows is queued behind these and sees the result.
bool KGlobalAccelKeyTap::takeOver() {
    if (refusal_ != Refusal::heldByDesktop || !service_.isRunning())
        return false;
    for (const QStringList &holder : std::as_const(desktopHolders_))
        service_.tell(QStringLiteral("setForeignShortcutKeys"), {holder, keysArg({})});
    return true;
}

void KGlobalAccelKeyTap::giveBack() {
    if (!holding_)
        service_.giveBackLeftovers(
            this, [this] { return holding_; }, [this] { service_.clearOurs(); });
}

void KGlobalAccelKeyTap::listen(bool on) {
    // The service names a component's object after its id, other characters made '_'.
    const QString component = QStringLiteral("/component/") + QString(kAppId).replace(u'.', u'_');
    const auto toggle = [&](const QString &at, const QString &iface, const char *name,
                            const char *slot) {
        if (on)
            service_.connection().connect(service, at, iface, QLatin1String(name), this, slot);
        else
            service_.connection().disconnect(service, at, iface, QLatin1String(name), this, slot);
    };
    toggle(component, componentInterface, "globalShortcutPressed", SLOT(shortcut(QDBusMessage)));
    toggle(component, componentInterface, "globalShortcutReleased", SLOT(shortcut(QDBusMessage)));
    toggle(path, interface, "yourShortcutsChanged", SLOT(shortcutsChanged(QDBusMessage)));
}

void KGlobalAccelKeyTap::shortcut(const QDBusMessage &signal) {
    const bool down = signal.member() == QLatin1String("globalShortcutPressed");
    const QVariantList args = signal.arguments();
    if (!handler_ || args.value(0).toString() != kAppId)
        return;
    for (int i = 0; i < kActions; ++i) {
        if (args.value(1).toString() != QLatin1String(actions[i].id))
            continue;
        // Held keys come as presses again, without releases in between.
        const bool repeat = down && down_[i];
        down_[i] = down;
        const Handler handler = handler_; // a copy: the handler may disable this tap
        handler(KeyEvent{actions[i].mediaKey, down, repeat});
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
    for (const Action &a : actions) {
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
