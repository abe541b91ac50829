#include "KGlobalAccelKeyTap.h"

#include "KnoblyBuild.h"

#include <KGlobalAccel>
#include <KGlobalShortcutInfo>

#include <QAction>
#include <QCoreApplication>

#include <utility>

namespace knobly {

using namespace kglobalaccel;

KGlobalAccelKeyTap::KGlobalAccelKeyTap(QDBusConnection connection)
    : service_(std::move(connection)) {
    // Presses come as the action's trigger, repeats included; the library reports only the
    // first of a held key as active.
    connect(KGlobalAccel::self(), &KGlobalAccel::globalShortcutActiveChanged, this,
            [this](QAction *action, bool active) {
                for (int i = 0; i < kActions && !active; ++i)
                    if (action == actions_[i])
                        key(i, false);
            });
    connect(KGlobalAccel::self(), &KGlobalAccel::globalShortcutChanged, this,
            &KGlobalAccelKeyTap::changed);
}

KGlobalAccelKeyTap::~KGlobalAccelKeyTap() {
    disable();
}

bool KGlobalAccelKeyTap::enable(Handler handler) {
    disable();
    refusal_ = Refusal::none;
    holder_.clear();
    desktopKeys_.clear();
    // The library would start the service on demand, which outside Plasma grabs for nobody.
    if (!service_.isRunning()) {
        refusal_ = Refusal::noPortal;
        return false;
    }
    QList<QList<KGlobalShortcutInfo>> holders;
    for (const Action &a : actions)
        holders << KGlobalAccel::globalShortcutsByKey(QKeySequence(a.key));
    for (int i = 0; i < kActions; ++i) {
        const Action &a = actions[i];
        auto *action =
            new QAction(QCoreApplication::translate("knobly::KGlobalAccelKeyTap", a.name), this);
        action->setObjectName(QString::fromLatin1(a.id));
        action->setProperty("componentName", QString::fromLatin1(build::appId));
        action->setProperty("componentDisplayName", QStringLiteral("Knobly"));
        connect(action, &QAction::triggered, this, [this, i] { key(i, true); });
        actions_[i] = action;
        KGlobalAccel::self()->setDefaultShortcut(action, {QKeySequence(a.key)},
                                                 KGlobalAccel::NoAutoloading);
        KGlobalAccel::self()->setShortcut(action, {QKeySequence(a.key)},
                                          KGlobalAccel::NoAutoloading);
    }
    std::vector<QDBusPendingCall> answers = service_.askAboutDesktop();
    bool answered = true;
    for (QDBusPendingCall &call : answers)
        answered = answered && (call.waitForFinished(), !call.isError());
    const PerAction back = Service::backToDesktop(answers);
    bool foreign = false;
    QStringList names;
    QString desktopName;
    for (int i = 0; i < kActions && answered; ++i) {
        if (KGlobalAccel::self()->shortcut(actions_[i]).contains(QKeySequence(actions[i].key)))
            continue;
        const KGlobalShortcutInfo holder = holders[i].value(0);
        foreign = foreign || holder.componentUniqueName() != desktopVolume;
        desktopKeys_ << QKeySequence(actions[i].key);
        desktopName = holder.componentFriendlyName();
        names << holder.friendlyName();
    }
    if (answered && desktopKeys_.isEmpty()) {
        toDesktop_ = back;
        holding_ = true;
        handler_ = std::move(handler);
        return true;
    }
    // Nothing half-taken stays with us.
    release(back);
    refusal_ = !answered ? Refusal::noPortal
               : foreign ? Refusal::keysTaken
                         : Refusal::heldByDesktop;
    if (refusal_ == Refusal::heldByDesktop)
        holder_ = desktopName + QStringLiteral(": ") + names.join(u", ");
    return false;
}

void KGlobalAccelKeyTap::disable() {
    handler_ = nullptr;
    down_ = {};
    if (std::exchange(holding_, false))
        release(std::exchange(toDesktop_, {}));
}

// Ours go first: Plasma's action would be refused a key that is still ours.
void KGlobalAccelKeyTap::clearOurs() {
    for (QAction *&action : actions_) {
        if (!action)
            continue;
        KGlobalAccel::self()->setShortcut(action, {}, KGlobalAccel::NoAutoloading);
        delete std::exchange(action, nullptr);
    }
}

void KGlobalAccelKeyTap::release(const PerAction &toDesktop) {
    clearOurs();
    service_.giveToDesktop(toDesktop);
}

bool KGlobalAccelKeyTap::takeOver() {
    if (refusal_ != Refusal::heldByDesktop || !service_.isRunning())
        return false;
    for (const QKeySequence &key : std::as_const(desktopKeys_))
        KGlobalAccel::stealShortcutSystemwide(key);
    return true;
}

// A crashed run left no action of ours alive here: its keys are cleared at the service.
void KGlobalAccelKeyTap::giveBack() {
    if (!holding_)
        service_.giveBackLeftovers(
            this, [this] { return holding_; }, [this] { service_.clearOurs(); });
}

void KGlobalAccelKeyTap::key(int index, bool down) {
    if (!handler_)
        return;
    // Held keys come as presses again, without releases in between.
    const bool repeat = down && down_[index];
    down_[index] = down;
    const Handler handler = handler_; // a copy: the handler may disable this tap
    handler(KeyEvent{actions[index].mediaKey, down, repeat});
}

// Someone else (System Settings, another program) moved one of our keys: capture is over, and
// Plasma's keys are left as they were arranged. The library matches a change by the action's
// name alone, and Plasma's volume control has a "mute" too: the service says whose it was.
void KGlobalAccelKeyTap::changed(QAction *action, const QKeySequence &key) {
    for (int i = 0; i < kActions && holding_; ++i) {
        const QKeySequence ours(actions[i].key);
        if (action != actions_[i] || key == ours ||
            KGlobalAccel::self()
                ->globalShortcut(QString::fromLatin1(build::appId), action->objectName())
                .contains(ours))
            continue;
        toDesktop_ = {};
        disable();
        refusal_ = Refusal::keysTaken;
        if (lost)
            lost();
        return;
    }
}

} // namespace knobly
