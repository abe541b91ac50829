#pragma once

#include "KeyTap.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <array>

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
    void pressed(const QDBusMessage &signal);
    void released(const QDBusMessage &signal);
    void shortcutsChanged(const QDBusMessage &signal);

private:
    static constexpr int kActions = 3;
    QDBusMessage method(const QString &name, const QVariantList &arguments) const;
    void tell(const QString &name, const QVariantList &arguments);
    bool isRunning() const;
    void listen(bool on);
    void deliver(const QDBusMessage &signal, bool down);
    // Clears our keys and gives each action in `toDesktop` its default keys back.
    void release(const std::array<KeyChords, kActions> &toDesktop);

    QDBusConnection connection_;
    Handler handler_;
    Refusal refusal_ = Refusal::none;
    QString holder_;
    QList<QStringList> desktopHolders_; // Plasma's actions that had our keys at enable()
    bool holding_ = false;
    std::array<KeyChords, kActions> toDesktop_; // what disable() gives back, by action
    std::array<bool, kActions> down_{};
};

} // namespace knobly

Q_DECLARE_METATYPE(knobly::KeyChord)
