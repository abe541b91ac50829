#pragma once

#include "DesktopSession.h"
#include "ScrollSteps.h"
#include "StatusItem.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusObjectPath>
#include <QElapsedTimer>
#include <QHash>
#include <QImage>
#include <QList>
#include <QObject>
#include <QString>

class QDBusServiceWatcher;

namespace knobly {

class DBusMenuExporter;

// Wire types of org.kde.StatusNotifierItem.
struct SniPixmap { // (iiay): ARGB32, bytes A,R,G,B per pixel, straight alpha
    int width = 0;
    int height = 0;
    QByteArray bytes;
};
using SniPixmapList = QList<SniPixmap>;

struct SniToolTip { // (sa(iiay)ss)
    QString iconName;
    SniPixmapList pixmaps;
    QString title;
    QString text;
};

QDBusArgument &operator<<(QDBusArgument &arg, const SniPixmap &pixmap);
const QDBusArgument &operator>>(const QDBusArgument &arg, SniPixmap &pixmap);
QDBusArgument &operator<<(QDBusArgument &arg, const SniToolTip &toolTip);
const QDBusArgument &operator>>(const QDBusArgument &arg, SniToolTip &toolTip);

// The image in the sizes hosts pick from (22, 32 and 64 px), each square, centred.
SniPixmapList sniPixmapsOf(const QImage &image);

} // namespace knobly

Q_DECLARE_METATYPE(knobly::SniPixmap)
Q_DECLARE_METATYPE(knobly::SniToolTip)

namespace knobly {

// Our own StatusNotifierItem on the session bus, with its menu exported over dbusmenu. Unlike
// QSystemTrayIcon's it passes scrolling on, keeps QWidgetAction rows in the menu and
// registers again whenever the watcher comes back.
class StatusNotifierItem final : public QObject, public StatusItem, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierItem")
    Q_PROPERTY(QString Category READ category)
    Q_PROPERTY(QString Id READ id)
    Q_PROPERTY(QString Title READ title)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(QString IconName READ iconName)
    Q_PROPERTY(knobly::SniPixmapList IconPixmap READ iconPixmap)
    Q_PROPERTY(knobly::SniToolTip ToolTip READ toolTip)
    Q_PROPERTY(QDBusObjectPath Menu READ menuPath)
    Q_PROPERTY(bool ItemIsMenu READ itemIsMenu)
    Q_PROPERTY(QString XAyatanaLabel READ label)
    Q_PROPERTY(QString XAyatanaLabelGuide READ labelGuide)
    Q_PROPERTY(QString IconAccessibleDesc READ accessibleDesc)
    Q_PROPERTY(QString AttentionAccessibleDesc READ accessibleDesc)
    Q_PROPERTY(QString IconThemePath READ iconThemePath)

public:
    static constexpr const char *watcherService = "org.kde.StatusNotifierWatcher";
    static constexpr const char *objectPath = "/StatusNotifierItem";

    // `menuOnly`: hosts draw the exported menu on a click and we open nothing ourselves;
    // on Wayland a window of ours could not be placed at the panel.
    explicit StatusNotifierItem(Callbacks callbacks,
                                QDBusConnection connection = QDBusConnection::sessionBus(),
                                bool menuOnly = isWaylandSession());
    ~StatusNotifierItem() override;

    void setTitle(const QString &title) override;
    void setIcon(const QString &iconName, const QImage &image) override;
    void setToolTip(const QString &title, const QString &text) override;
    void setMenu(QMenu *menu) override;
    bool isInPanel() const override { return registered_; }
    bool isMenuOnly() const override { return menuOnly_; }

    // The bus name hosts know us by.
    QString serviceName() const { return serviceName_; }
    DBusMenuExporter *menuExporter() const { return menu_; }

    QString category() const { return QStringLiteral("Hardware"); }
    QString id() const { return QStringLiteral("knobly"); }
    QString title() const { return title_; }
    QString status() const { return QStringLiteral("Active"); }
    QString iconName() const { return iconName_; }
    SniPixmapList iconPixmap() const { return pixmaps_; }
    SniToolTip toolTip() const { return {QString(), {}, toolTipTitle_, toolTipText_}; }
    QDBusObjectPath menuPath() const;
    bool itemIsMenu() const { return menuOnly_; }
    QString label() const { return QStringLiteral("WiiM"); }
    QString labelGuide() const { return QStringLiteral("WiiM"); }
    // What a screen reader says for the icon: the tool tip's text.
    QString accessibleDesc() const { return toolTipText_.isEmpty() ? title_ : toolTipText_; }
    // Where hosts find our own icon names when we run from outside the system's prefix.
    QString iconThemePath() const { return iconThemePath_; }
    void setIconThemePath(const QString &path) { iconThemePath_ = path; }

public Q_SLOTS:
    Q_SCRIPTABLE void Activate(int x, int y);
    Q_SCRIPTABLE void SecondaryActivate(int x, int y);
    Q_SCRIPTABLE void ContextMenu(int x, int y);
    Q_SCRIPTABLE void Scroll(int delta, const QString &orientation);
    // Hosts (GNOME's extension, Plasma) hand a window activation token before Activate; a click
    // on Knobly opens no window of its own on Wayland, so there is nothing to use it for.
    Q_SCRIPTABLE void ProvideXdgActivationToken(const QString &) {}

Q_SIGNALS:
    Q_SCRIPTABLE void NewIcon();
    Q_SCRIPTABLE void NewToolTip();
    Q_SCRIPTABLE void NewTitle();
    Q_SCRIPTABLE void NewStatus(const QString &status);
    Q_SCRIPTABLE void NewMenu();
    Q_SCRIPTABLE void XAyatanaNewLabel(const QString &label, const QString &guide);

private:
    void registerWithWatcher();
    void refuseClick();
    void propertiesChanged(const QStringList &names);
    // Whether the caller's hosts count a positive Scroll delta as "up".
    bool positiveIsUp(const QString &caller);

    Callbacks callbacks_;
    QDBusConnection connection_;
    bool menuOnly_;
    QString serviceName_;
    bool ownsName_ = false;
    bool exported_ = false;
    bool registered_ = false; // the watcher took us
    QString title_ = QStringLiteral("WiiM");
    QString iconName_;
    QImage image_;
    SniPixmapList pixmaps_;
    QString toolTipTitle_;
    QString toolTipText_;
    QString iconThemePath_;
    DBusMenuExporter *menu_ = nullptr;
    QDBusServiceWatcher *watcher_ = nullptr;
    // Unique bus names are never handed out twice, so an answer stays true for a name.
    QHash<QString, bool> upByCaller_;
    ScrollSteps scrollSteps_;
    QElapsedTimer scrollClock_;
};

} // namespace knobly
