#pragma once

#include <QDBusArgument>
#include <QDBusVariant>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariantMap>

class QAction;

namespace knobly {

// Wire types of com.canonical.dbusmenu.
struct DBusMenuItem { // (ia{sv})
    int id = 0;
    QVariantMap properties;
};
using DBusMenuItemList = QList<DBusMenuItem>;

struct DBusMenuItemKeys { // (ias)
    int id = 0;
    QStringList properties;
};
using DBusMenuItemKeysList = QList<DBusMenuItemKeys>;

struct DBusMenuLayoutItem { // (ia{sv}av), children wrapped in variants
    int id = 0;
    QVariantMap properties;
    QList<DBusMenuLayoutItem> children;
};

struct DBusMenuEvent { // (isvu)
    int id = 0;
    QString eventId;
    QDBusVariant data;
    uint timestamp = 0;
};
using DBusMenuEventList = QList<DBusMenuEvent>;

QDBusArgument &operator<<(QDBusArgument &arg, const DBusMenuItem &item);
const QDBusArgument &operator>>(const QDBusArgument &arg, DBusMenuItem &item);
QDBusArgument &operator<<(QDBusArgument &arg, const DBusMenuItemKeys &keys);
const QDBusArgument &operator>>(const QDBusArgument &arg, DBusMenuItemKeys &keys);
QDBusArgument &operator<<(QDBusArgument &arg, const DBusMenuLayoutItem &item);
const QDBusArgument &operator>>(const QDBusArgument &arg, DBusMenuLayoutItem &item);
QDBusArgument &operator<<(QDBusArgument &arg, const DBusMenuEvent &event);
const QDBusArgument &operator>>(const QDBusArgument &arg, DBusMenuEvent &event);

// Registers the types above with QtDBus; safe to call more than once.
void registerDBusMenuTypes();

// Row property names the exporter also writes itself (the root row, hidden rows).
namespace dbusmenu {
inline const QString kLabel = QStringLiteral("label");
inline const QString kEnabled = QStringLiteral("enabled");
inline const QString kVisible = QStringLiteral("visible");
inline const QString kChildrenDisplay = QStringLiteral("children-display");
} // namespace dbusmenu

// A Qt menu label ('&' marks the mnemonic, "&&" is a literal '&') in dbusmenu's spelling
// ('_' marks it, "__" is a literal '_').
QString dbusMenuLabel(const QString &qtText);

// A QAction's properties as hosts read them: label, icon, toggle, enabled, visible, submenu.
QVariantMap dbusMenuProperties(const QAction *action);
// What hosts assume for a missing property, sent outright when a key goes back to its default
// since not every host honours a removal; invalid where there is no such value.
QVariant dbusMenuDefault(const QString &key);

} // namespace knobly

Q_DECLARE_METATYPE(knobly::DBusMenuItem)
Q_DECLARE_METATYPE(knobly::DBusMenuItemKeys)
Q_DECLARE_METATYPE(knobly::DBusMenuLayoutItem)
Q_DECLARE_METATYPE(knobly::DBusMenuEvent)
