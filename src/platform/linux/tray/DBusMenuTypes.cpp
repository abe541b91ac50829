#include "DBusMenuTypes.h"

#include "StatusItem.h"

#include <QAction>
#include <QActionGroup>
#include <QBuffer>
#include <QDBusMetaType>
#include <QIcon>
#include <QImage>
#include <QMenu>
#include <QPixmap>

namespace knobly {

// ---------------------------------------------------------------------------------------------
// Wire types

QDBusArgument &operator<<(QDBusArgument &arg, const DBusMenuItem &item) {
    arg.beginStructure();
    arg << item.id << item.properties;
    arg.endStructure();
    return arg;
}

const QDBusArgument &operator>>(const QDBusArgument &arg, DBusMenuItem &item) {
    arg.beginStructure();
    arg >> item.id >> item.properties;
    arg.endStructure();
    return arg;
}

QDBusArgument &operator<<(QDBusArgument &arg, const DBusMenuItemKeys &keys) {
    arg.beginStructure();
    arg << keys.id << keys.properties;
    arg.endStructure();
    return arg;
}

const QDBusArgument &operator>>(const QDBusArgument &arg, DBusMenuItemKeys &keys) {
    arg.beginStructure();
    arg >> keys.id >> keys.properties;
    arg.endStructure();
    return arg;
}

QDBusArgument &operator<<(QDBusArgument &arg, const DBusMenuLayoutItem &item) {
    arg.beginStructure();
    arg << item.id << item.properties;
    // The protocol nests children as variants ("av"), each holding another (ia{sv}av).
    arg.beginArray(QMetaType::fromType<QDBusVariant>());
    for (const DBusMenuLayoutItem &child : item.children)
        arg << QDBusVariant(QVariant::fromValue(child));
    arg.endArray();
    arg.endStructure();
    return arg;
}

const QDBusArgument &operator>>(const QDBusArgument &arg, DBusMenuLayoutItem &item) {
    arg.beginStructure();
    arg >> item.id >> item.properties;
    item.children.clear();
    arg.beginArray();
    while (!arg.atEnd()) {
        QDBusVariant wrapped;
        arg >> wrapped;
        DBusMenuLayoutItem child;
        const QVariant inner = wrapped.variant();
        if (inner.canConvert<QDBusArgument>())
            inner.value<QDBusArgument>() >> child;
        item.children.append(child);
    }
    arg.endArray();
    arg.endStructure();
    return arg;
}

QDBusArgument &operator<<(QDBusArgument &arg, const DBusMenuEvent &event) {
    arg.beginStructure();
    arg << event.id << event.eventId << event.data << event.timestamp;
    arg.endStructure();
    return arg;
}

const QDBusArgument &operator>>(const QDBusArgument &arg, DBusMenuEvent &event) {
    arg.beginStructure();
    arg >> event.id >> event.eventId >> event.data >> event.timestamp;
    arg.endStructure();
    return arg;
}

void registerDBusMenuTypes() {
    qDBusRegisterMetaType<DBusMenuItem>();
    qDBusRegisterMetaType<DBusMenuItemList>();
    qDBusRegisterMetaType<DBusMenuItemKeys>();
    qDBusRegisterMetaType<DBusMenuItemKeysList>();
    qDBusRegisterMetaType<DBusMenuLayoutItem>();
    qDBusRegisterMetaType<DBusMenuEvent>();
    qDBusRegisterMetaType<DBusMenuEventList>();
    qDBusRegisterMetaType<QList<int>>();
    // QtDBus looks signal parameters up by the names moc saw, typedefs included.
    qRegisterMetaType<DBusMenuItemList>("knobly::DBusMenuItemList");
    qRegisterMetaType<DBusMenuItemKeysList>("knobly::DBusMenuItemKeysList");
    qRegisterMetaType<DBusMenuEventList>("knobly::DBusMenuEventList");
}

QString dbusMenuLabel(const QString &qtText) {
    // Whatever follows a tab is QMenu's shortcut column, which hosts draw from "shortcut".
    const QString text = qtText.section(QLatin1Char('\t'), 0, 0);
    QString out;
    out.reserve(text.size() + 4);
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == QLatin1Char('&')) {
            const bool last = i + 1 == text.size();
            if (!last && text.at(i + 1) == QLatin1Char('&')) {
                out += QLatin1Char('&');
                ++i;
            } else if (!last) {
                out += QLatin1Char('_');
            }
            // A trailing '&' marks nothing and Qt draws nothing for it.
        } else if (c == QLatin1Char('_')) {
            out += QStringLiteral("__");
        } else {
            out += c;
        }
    }
    return out;
}

// ---------------------------------------------------------------------------------------------
// Item properties

using namespace dbusmenu;

namespace {

const QString kType = QStringLiteral("type");
const QString kToggleType = QStringLiteral("toggle-type");
const QString kToggleState = QStringLiteral("toggle-state");
const QString kIconData = QStringLiteral("icon-data");
const QString kIconName = QStringLiteral("icon-name");

} // namespace

QVariant dbusMenuDefault(const QString &key) {
    if (key == kEnabled || key == kVisible)
        return true;
    if (key == kType)
        return QStringLiteral("standard");
    return {};
}

namespace {
QByteArray pngOf(const QIcon &icon) {
    const QImage image = icon.pixmap(QSize(16, 16), 1.0).toImage();
    if (image.isNull())
        return {};
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    if (!image.save(&buffer, "PNG"))
        return {};
    return png;
}

} // namespace

QVariantMap dbusMenuProperties(const QAction *action) {
    QVariantMap p;
    if (action->isSeparator()) {
        p.insert(kType, QStringLiteral("separator"));
    } else {
        p.insert(kLabel, dbusMenuLabel(action->text()));
        if (!action->icon().isNull()) {
            const QByteArray png = pngOf(action->icon());
            if (!png.isEmpty())
                p.insert(kIconData, png);
        }
        if (action->isCheckable()) {
            const QActionGroup *group = action->actionGroup();
            const bool radio = group && group->isExclusive();
            p.insert(kToggleType, radio ? QStringLiteral("radio") : QStringLiteral("checkmark"));
            p.insert(kToggleState, action->isChecked() ? 1 : 0);
        }
        // Shortcuts stay out: a host's menu does not pass them on to us.
        const QString iconName = action->property(StatusItem::iconNameProperty).toString();
        if (!iconName.isEmpty())
            p.insert(kIconName, iconName);
        if (action->menu())
            p.insert(kChildrenDisplay, QStringLiteral("submenu"));
    }
    if (!action->isEnabled())
        p.insert(kEnabled, false);
    if (!action->isVisible())
        p.insert(kVisible, false);
    return p;
}

} // namespace knobly
