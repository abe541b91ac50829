#pragma once

#include "KGlobalAccelService.h"
#include "KeyTap.h"

#include <QDBusConnection>
#include <QKeySequence>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <array>

class QAction;

namespace knobly {

// The volume keys through KDE's own global shortcut service, our three actions kept by KDE
// Frameworks' KGlobalAccel. Plasma's volume control holds these keys out of the box: enable()
// refuses with heldByDesktop, takeOver() moves them to us, disable() hands them back; the
// library has no call for another program's keys, so that part goes to the service directly.
class KGlobalAccelKeyTap final : public QObject, public KeyTap {
    Q_OBJECT
public:
    // The library talks on the session bus; `connection` must be that bus.
    explicit KGlobalAccelKeyTap(QDBusConnection connection = QDBusConnection::sessionBus());
    ~KGlobalAccelKeyTap() override;

    bool enable(Handler handler) override;
    void disable() override;
    Refusal lastRefusal() const override { return refusal_; }
    QString holderDescription() const override { return holder_; }
    bool takeOver() override;
    void giveBack() override;

private:
    void key(int index, bool down);
    void changed(QAction *action, const QKeySequence &key);
    void clearOurs();
    void release(const kglobalaccel::PerAction &toDesktop);

    kglobalaccel::Service service_;
    Handler handler_;
    Refusal refusal_ = Refusal::none;
    QString holder_;
    QList<QKeySequence> desktopKeys_; // our keys Plasma's volume control had at enable()
    std::array<QAction *, kglobalaccel::kActions> actions_{}; // children, while registered
    bool holding_ = false;
    kglobalaccel::PerAction toDesktop_; // what disable() gives back
    std::array<bool, kglobalaccel::kActions> down_{};
};

} // namespace knobly
