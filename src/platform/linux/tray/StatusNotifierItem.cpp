#include "StatusNotifierItem.h"

#include "DBusMenuExporter.h"

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QFile>
#include <QGuiApplication>
#include <QPainter>
#include <QScreen>

#include <algorithm>
#include <cstdlib>

namespace knobly {

// ---------------------------------------------------------------------------------------------
// Wire types

QDBusArgument &operator<<(QDBusArgument &arg, const SniPixmap &pixmap) {
    arg.beginStructure();
    arg << pixmap.width << pixmap.height << pixmap.bytes;
    arg.endStructure();
    return arg;
}

const QDBusArgument &operator>>(const QDBusArgument &arg, SniPixmap &pixmap) {
    arg.beginStructure();
    arg >> pixmap.width >> pixmap.height >> pixmap.bytes;
    arg.endStructure();
    return arg;
}

QDBusArgument &operator<<(QDBusArgument &arg, const SniToolTip &toolTip) {
    arg.beginStructure();
    arg << toolTip.iconName << toolTip.pixmaps << toolTip.title << toolTip.text;
    arg.endStructure();
    return arg;
}

const QDBusArgument &operator>>(const QDBusArgument &arg, SniToolTip &toolTip) {
    arg.beginStructure();
    arg >> toolTip.iconName >> toolTip.pixmaps >> toolTip.title >> toolTip.text;
    arg.endStructure();
    return arg;
}

SniPixmapList sniPixmapsOf(const QImage &image) {
    SniPixmapList pixmaps;
    if (image.isNull())
        return pixmaps;
    for (const int size : {22, 32, 64}) {
        QImage scaled = image.scaled(size, size, Qt::KeepAspectRatio, Qt::SmoothTransformation)
                            .convertToFormat(QImage::Format_ARGB32);
        scaled.setDevicePixelRatio(1.0);
        QImage square = scaled;
        if (scaled.size() != QSize(size, size)) {
            square = QImage(size, size, QImage::Format_ARGB32);
            square.fill(Qt::transparent);
            QPainter painter(&square);
            painter.setCompositionMode(QPainter::CompositionMode_Source);
            painter.drawImage((size - scaled.width()) / 2, (size - scaled.height()) / 2, scaled);
        }
        // Format_ARGB32 keeps straight alpha in a native-endian word; the wire wants the
        // bytes A,R,G,B whatever this machine's byte order.
        SniPixmap pixmap{size, size, {}};
        pixmap.bytes.reserve(size * size * 4);
        for (int y = 0; y < size; ++y) {
            const auto *line = reinterpret_cast<const QRgb *>(square.constScanLine(y));
            for (int x = 0; x < size; ++x) {
                const QRgb px = line[x];
                pixmap.bytes.append(char(qAlpha(px)));
                pixmap.bytes.append(char(qRed(px)));
                pixmap.bytes.append(char(qGreen(px)));
                pixmap.bytes.append(char(qBlue(px)));
            }
        }
        pixmaps.append(pixmap);
    }
    return pixmaps;
}

// ---------------------------------------------------------------------------------------------
// Item

namespace {

const QString kItemInterface = QStringLiteral("org.kde.StatusNotifierItem");

// Hosts send 0,0 when they know no position, and some send widget-local coordinates: only
// a point on some screen is worth anything.
std::optional<QPoint> plausible(int x, int y) {
    if (x == 0 && y == 0)
        return std::nullopt;
    const QPoint point(x, y);
    const QList<QScreen *> screens = QGuiApplication::screens();
    for (const QScreen *screen : screens) {
        if (screen->geometry().contains(point))
            return point;
    }
    return std::nullopt;
}

QString commOf(uint pid) {
    QFile file(QStringLiteral("/proc/%1/comm").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLocal8Bit(file.readAll()).trimmed();
}

} // namespace

StatusNotifierItem::StatusNotifierItem(Callbacks callbacks, QDBusConnection connection,
                                       bool menuOnly)
    : callbacks_(std::move(callbacks)), connection_(std::move(connection)), menuOnly_(menuOnly) {
    qDBusRegisterMetaType<SniPixmap>();
    qDBusRegisterMetaType<SniPixmapList>();
    qDBusRegisterMetaType<SniToolTip>();

    scrollClock_.start();
    menu_ = new DBusMenuExporter(connection_, this);
    if (connection_.isConnected()) {
        // One item per process: the object path is fixed by the protocol.
        exported_ = connection_.registerObject(QString::fromLatin1(objectPath), this,
                                               QDBusConnection::ExportScriptableSlots |
                                                   QDBusConnection::ExportScriptableSignals |
                                                   QDBusConnection::ExportScriptableProperties);
        static int instances = 0;
        serviceName_ = QStringLiteral("org.kde.StatusNotifierItem-%1-%2")
                           .arg(QCoreApplication::applicationPid())
                           .arg(++instances);
        ownsName_ = connection_.registerService(serviceName_);
        // Watchers accept a unique name just as well.
        if (!ownsName_)
            serviceName_ = connection_.baseService();
    }

    // Owner changes too, not just appearances: a watcher may take the name over directly.
    watcher_ = new QDBusServiceWatcher(QString::fromLatin1(watcherService), connection_,
                                       QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(watcher_, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString &, const QString &, const QString &newOwner) {
                registered_ = false;
                if (!newOwner.isEmpty())
                    registerWithWatcher();
            });
    registerWithWatcher();
}

StatusNotifierItem::~StatusNotifierItem() {
    if (exported_)
        connection_.unregisterObject(QString::fromLatin1(objectPath));
    // Dropping the name is what tells the watcher and hosts that the item is gone.
    if (ownsName_)
        connection_.unregisterService(serviceName_);
}

void StatusNotifierItem::registerWithWatcher() {
    if (!exported_)
        return;
    QDBusMessage call = QDBusMessage::createMethodCall(
        QString::fromLatin1(watcherService), QStringLiteral("/StatusNotifierWatcher"),
        QString::fromLatin1(watcherService), QStringLiteral("RegisterStatusNotifierItem"));
    call << serviceName_;
    // Not waited for: with no watcher it fails, and we try again when one turns up.
    auto *answer = new QDBusPendingCallWatcher(connection_.asyncCall(call), this);
    connect(answer, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher *w) {
        w->deleteLater();
        registered_ = !w->isError();
    });
}

QDBusObjectPath StatusNotifierItem::menuPath() const {
    // libappindicator's spelling of "no menu", understood by the hosts that read Menu.
    return QDBusObjectPath(menu_->isExported() ? QString::fromLatin1(DBusMenuExporter::objectPath)
                                               : QStringLiteral("/NO_DBUSMENU"));
}

void StatusNotifierItem::propertiesChanged(const QStringList &names) {
    if (!exported_ || names.isEmpty())
        return;
    // QtDBus leaves this signal to us; hosts on newer protocols listen for it alone.
    QVariantMap changed;
    for (const QString &name : names)
        changed.insert(name, property(name.toLatin1().constData()));
    QDBusMessage signal = QDBusMessage::createSignal(
        QString::fromLatin1(objectPath), QStringLiteral("org.freedesktop.DBus.Properties"),
        QStringLiteral("PropertiesChanged"));
    signal << kItemInterface << changed << QStringList();
    connection_.send(signal);
}

void StatusNotifierItem::setTitle(const QString &title) {
    if (title == title_)
        return;
    title_ = title;
    Q_EMIT NewTitle();
    propertiesChanged({QStringLiteral("Title")});
}

void StatusNotifierItem::setIcon(const QString &iconName, const QImage &image) {
    QStringList changed;
    if (iconName != iconName_) {
        iconName_ = iconName;
        changed << QStringLiteral("IconName");
    }
    if (image != image_) {
        image_ = image;
        pixmaps_ = sniPixmapsOf(image);
        changed << QStringLiteral("IconPixmap");
    }
    if (changed.isEmpty())
        return;
    Q_EMIT NewIcon();
    propertiesChanged(changed);
}

void StatusNotifierItem::setToolTip(const QString &title, const QString &text) {
    if (title == toolTipTitle_ && text == toolTipText_)
        return;
    toolTipTitle_ = title;
    toolTipText_ = text;
    Q_EMIT NewToolTip();
    propertiesChanged({QStringLiteral("ToolTip"), QStringLiteral("IconAccessibleDesc"),
                       QStringLiteral("AttentionAccessibleDesc")});
}

void StatusNotifierItem::setMenu(QMenu *menu) {
    if (menu == menu_->menu())
        return;
    menu_->setMenu(menu);
    Q_EMIT NewMenu();
}

// Callbacks run from the loop, never inside the call: the host gets its reply first, whatever
// the callback does (a popup, a nested loop), and the order of calls is kept.

void StatusNotifierItem::Activate(int x, int y) {
    // Plasma shows the exported menu only when Activate fails; hosts that honour ItemIsMenu
    // never call it.
    if (menuOnly_) {
        refuseClick();
        return;
    }
    const std::optional<QPoint> at = plausible(x, y);
    QMetaObject::invokeMethod(
        this,
        [this, at] {
            if (callbacks_.activate)
                callbacks_.activate(at);
        },
        Qt::QueuedConnection);
}

void StatusNotifierItem::SecondaryActivate(int x, int y) {
    // A middle click: nothing of its own to do, so it is a click like any other.
    Activate(x, y);
}

void StatusNotifierItem::ContextMenu(int x, int y) {
    if (menuOnly_) {
        refuseClick();
        return;
    }
    const std::optional<QPoint> at = plausible(x, y);
    QMetaObject::invokeMethod(
        this,
        [this, at] {
            if (callbacks_.contextMenu)
                callbacks_.contextMenu(at);
        },
        Qt::QueuedConnection);
}

// "No such method": Plasma then shows the exported menu, and GNOME's extension stops
// calling at all instead of logging each double click.
void StatusNotifierItem::refuseClick() {
    if (calledFromDBus())
        sendErrorReply(QDBusError::UnknownMethod,
                       QStringLiteral("The item is a menu: show the exported menu"));
}

bool StatusNotifierItem::positiveIsUp(const QString &caller) {
    const auto known = upByCaller_.constFind(caller);
    if (known != upByCaller_.cend())
        return known.value();
    QDBusConnectionInterface *bus = connection_.interface();
    if (!bus)
        return false;
    const QDBusReply<uint> pid = bus->servicePid(caller);
    if (!pid.isValid())
        return false; // the common convention, without remembering the guess
    // Plasma and LXQt pass Qt's wheel delta on (positive = away from the user = up); GNOME's
    // extension, XFCE, Waybar and swaybar send positive for down. Only a guess at the
    // direction: the deltas themselves decide the units.
    const QString comm = commOf(pid.value());
    const bool up = comm == QLatin1String("plasmashell") || comm == QLatin1String("lxqt-panel");
    if (upByCaller_.size() > 64)
        upByCaller_.clear(); // callers that left; the few live ones are asked again
    upByCaller_.insert(caller, up);
    return up;
}

void StatusNotifierItem::Scroll(int delta, const QString &orientation) {
    if (orientation.compare(QLatin1String("vertical"), Qt::CaseInsensitive) != 0)
        return;
    // Our own calls (tests, no panel) follow the common convention: positive = down.
    const QString caller = calledFromDBus() ? message().service() : QString();
    const bool hintUp = !caller.isEmpty() && positiveIsUp(caller);
    const int steps = scrollSteps_.steps(caller, delta, scrollClock_.elapsed(), hintUp);
    for (int i = 0; i < std::abs(steps); ++i)
        QMetaObject::invokeMethod(
            this,
            [this, step = steps > 0 ? 1 : -1] {
                if (callbacks_.scroll)
                    callbacks_.scroll(step);
            },
            Qt::QueuedConnection);
}

} // namespace knobly
