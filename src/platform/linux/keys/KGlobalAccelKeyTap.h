#pragma once

#include "KGlobalAccelService.h"
#include "KeyTap.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <array>

namespace knobly {

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
    void listen(bool on);
    // Clears our keys and gives Plasma's actions in `toDesktop` these keys back.
    void release(const kglobalaccel::PerAction &toDesktop);

    kglobalaccel::Service service_;
    Handler handler_;
    Refusal refusal_ = Refusal::none;
    QString holder_;
    QList<QStringList> desktopHolders_; // Plasma's actions that had our keys at enable()
    bool holding_ = false;
    kglobalaccel::PerAction toDesktop_; // what disable() gives back
    std::array<bool, kglobalaccel::kActions> down_{};
};

} // namespace knobly
