#pragma once

#include "DBusMenuTypes.h"

#include <QAction>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusVariant>
#include <QHash>
#include <QList>
#include <QMenu>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVariantMap>

class QTimer;

namespace knobly {

// Publishes a QMenu as com.canonical.dbusmenu so that panel hosts draw it themselves.
// QWidgetAction rows cannot cross the bus: each becomes its child QActions, or a plain label
// with its text when it has none. Item ids stay the same for as long as their QAction lives.
class DBusMenuExporter final : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.canonical.dbusmenu")
    Q_PROPERTY(uint Version READ version)
    Q_PROPERTY(QString TextDirection READ textDirection)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(QStringList IconThemePath READ iconThemePath)

public:
    static constexpr const char *objectPath = "/MenuBar";

    explicit DBusMenuExporter(QDBusConnection connection, QObject *parent = nullptr);
    ~DBusMenuExporter() override;

    // Exported as is from now on, followed as it changes; nullptr exports an empty menu.
    void setMenu(QMenu *menu);
    QMenu *menu() const { return root_; }
    bool isExported() const { return exported_; }

    uint version() const { return 3; }
    QString textDirection() const;
    QString status() const { return QStringLiteral("normal"); }
    QStringList iconThemePath() const { return {}; }

public Q_SLOTS:
    Q_SCRIPTABLE uint GetLayout(int parentId, int recursionDepth, const QStringList &propertyNames,
                                knobly::DBusMenuLayoutItem &layout);
    Q_SCRIPTABLE knobly::DBusMenuItemList GetGroupProperties(const QList<int> &ids,
                                                             const QStringList &propertyNames);
    Q_SCRIPTABLE QDBusVariant GetProperty(int id, const QString &name);
    Q_SCRIPTABLE void Event(int id, const QString &eventId, const QDBusVariant &data,
                            uint timestamp);
    Q_SCRIPTABLE QList<int> EventGroup(const knobly::DBusMenuEventList &events);
    Q_SCRIPTABLE bool AboutToShow(int id);
    Q_SCRIPTABLE QList<int> AboutToShowGroup(const QList<int> &ids, QList<int> &idErrors);

Q_SIGNALS:
    Q_SCRIPTABLE void ItemsPropertiesUpdated(const knobly::DBusMenuItemList &updatedProps,
                                             const knobly::DBusMenuItemKeysList &removedProps);
    Q_SCRIPTABLE void LayoutUpdated(uint revision, int parent);
    Q_SCRIPTABLE void ItemActivationRequested(int id, uint timestamp);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    struct Node {
        int parent = -1;
        QVariantMap properties;
        QList<int> children;
        QPointer<QAction> action; // null for the root
        QPointer<QMenu> menu;     // the menu whose rows are the children, if any
    };

    int idFor(QAction *action);
    void watchMenu(QMenu *menu);
    void watchWidgetAction(QAction *action);
    void collectMenu(QMenu *menu, int parentId, QHash<int, Node> &nodes);
    void addNode(QAction *action, int parentId, QHash<int, Node> &nodes, QVariantMap properties);
    QHash<int, Node> collect();
    void scheduleUpdate();
    // Brings the snapshot up to date and tells hosts what changed since the last one.
    void update();
    DBusMenuLayoutItem layoutOf(int id, int depth, const QStringList &names);
    bool needsReading(int id) const;
    bool handleEvent(int id, const QString &eventId);
    void emitAboutToShow(QMenu *menu);

    QDBusConnection connection_;
    bool exported_ = false;
    QPointer<QMenu> root_;
    QHash<int, Node> nodes_;
    uint revision_ = 1;
    int nextId_ = 1;
    QHash<QAction *, int> ids_;
    QHash<int, QList<int>> read_; // each menu's rows as hosts last read them
    QSet<QObject *> watched_;
    QTimer *pending_ = nullptr;
};

} // namespace knobly
