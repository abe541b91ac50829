#pragma once

#include "KeyTap.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <array>
#include <vector>

namespace knobly {

// One key sequence as kglobalaccel passes it: (ai), four chords, the unused ones 0.
struct KeyChord {
    int key = 0;
    bool operator==(const KeyChord &) const = default;
};
using KeyChords = QList<KeyChord>;
QDBusArgument &operator<<(QDBusArgument &arg, const KeyChord &chord);
const QDBusArgument &operator>>(const QDBusArgument &arg, KeyChord &chord);

// The volume keys through KDE's own global shortcut service (Plasma 5.27 and later), where the
// portal binds nothing. Plasma's volume control holds these keys out of the box: enable()
// refuses with heldByDesktop, takeOver() moves them to us, disable() hands them back.
class KGlobalAccelKeyTap final : public QObject, public KeyTap {
    Q_OBJECT
public:
    explicit KGlobalAccelKeyTap(QDBusConnection connection = QDBusConnection::sessionBus());
    ~KGlobalAccelKeyTap() override;

    // Asks and waits for the answers (within a second): the refusal must be known at once.
    bool enable(Handler handler) override;
    void disable() override;
    Refusal lastRefusal() const override { return refusal_; }
    QString holderDescription() const override { return holder_; }
    bool takeOver() override;
    void giveBack() override;

private Q_SLOTS:
    void shortcut(const QDBusMessage &signal); // pressed or released
    void shortcutsChanged(const QDBusMessage &signal);

private:
    static constexpr int kActions = 3;
    using PerAction = std::array<KeyChords, kActions>;
    QDBusPendingCall ask(const QString &name, const QVariantList &arguments);
    void tell(const QString &name, const QVariantList &arguments) { ask(name, arguments); }
    bool isRunning() const;
    static PerAction backToDesktop(std::vector<QDBusPendingCall> &answers);
    void listen(bool on);
    // Clears our keys and gives Plasma's actions in `toDesktop` these keys back.
    void release(const PerAction &toDesktop);

    QDBusConnection connection_;
    Handler handler_;
    Refusal refusal_ = Refusal::none;
    QString holder_;
    QList<QStringList> desktopHolders_; // Plasma's actions that had our keys at enable()
    bool holding_ = false;
    PerAction toDesktop_; // what disable() gives back
    std::array<bool, kActions> down_{};
};

} // namespace knobly

Q_DECLARE_METATYPE(knobly::KeyChord)
