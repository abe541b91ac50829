#include "DBusMenuExporter.h"

#include "StatusItem.h"

#include <algorithm>

#include <QAction>
#include <QActionGroup>
#include <QBuffer>
#include <QDBusError>
#include <QDBusMetaType>
#include <QEvent>
#include <QGuiApplication>
#include <QIcon>
#include <QImage>
#include <QMenu>
#include <QPixmap>
#include <QTimer>
#include <QWidgetAction>

namespace knobly {

using namespace dbusmenu;

namespace {

QVariantMap only(const QVariantMap &properties, const QStringList &names) {
    if (names.isEmpty())
        return properties;
    QVariantMap picked;
    for (const QString &name : names) {
        const auto it = properties.constFind(name);
        if (it != properties.cend())
            picked.insert(name, it.value());
    }
    return picked;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Exporter

DBusMenuExporter::DBusMenuExporter(QDBusConnection connection, QObject *parent)
    : QObject(parent), connection_(std::move(connection)), pending_(new QTimer(this)) {
    registerDBusMenuTypes();
    // Zero delay: a burst of edits in one turn of the loop reaches hosts as one update.
    pending_->setSingleShot(true);
    pending_->setInterval(0);
    connect(pending_, &QTimer::timeout, this, &DBusMenuExporter::update);
    nodes_ = collect();
    exported_ = connection_.isConnected() &&
                connection_.registerObject(QString::fromLatin1(objectPath), this,
                                           QDBusConnection::ExportScriptableSlots |
                                               QDBusConnection::ExportScriptableSignals |
                                               QDBusConnection::ExportScriptableProperties);
}

DBusMenuExporter::~DBusMenuExporter() {
    if (exported_)
        connection_.unregisterObject(QString::fromLatin1(objectPath));
    for (QObject *o : std::as_const(watched_))
        o->removeEventFilter(this);
}

QString DBusMenuExporter::textDirection() const {
    return QGuiApplication::layoutDirection() == Qt::RightToLeft ? QStringLiteral("rtl")
                                                                 : QStringLiteral("ltr");
}

void DBusMenuExporter::setMenu(QMenu *menu) {
    if (menu == root_)
        return;
    for (QObject *o : std::as_const(watched_))
        o->removeEventFilter(this);
    watched_.clear();
    root_ = menu;
    update();
}

int DBusMenuExporter::idFor(QAction *action) {
    const auto it = ids_.constFind(action);
    if (it != ids_.cend())
        return it.value();
    const int id = nextId_++;
    ids_.insert(action, id);
    connect(action, &QAction::changed, this, &DBusMenuExporter::scheduleUpdate);
    connect(action, &QObject::destroyed, this, [this, action] {
        ids_.remove(action);
        scheduleUpdate();
    });
    return id;
}

void DBusMenuExporter::watchMenu(QMenu *menu) {
    if (watched_.contains(menu))
        return;
    watched_.insert(menu);
    menu->installEventFilter(this);
    connect(menu, &QObject::destroyed, this, [this, menu] {
        watched_.remove(menu);
        scheduleUpdate();
    });
}

void DBusMenuExporter::watchWidgetAction(QAction *action) {
    // Its child actions are what we export, and children come and go without ActionAdded.
    if (watched_.contains(action))
        return;
    watched_.insert(action);
    action->installEventFilter(this);
    connect(action, &QObject::destroyed, this, [this, action] { watched_.remove(action); });
}

bool DBusMenuExporter::eventFilter(QObject *watched, QEvent *event) {
    switch (event->type()) {
    case QEvent::ActionAdded:
    case QEvent::ActionRemoved:
    case QEvent::ActionChanged:
        if (qobject_cast<QMenu *>(watched))
            scheduleUpdate();
        break;
    case QEvent::ChildAdded:
    case QEvent::ChildRemoved:
        if (qobject_cast<QWidgetAction *>(watched))
            scheduleUpdate();
        break;
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}

void DBusMenuExporter::addNode(QAction *action, int parentId, QHash<int, Node> &nodes,
                               QVariantMap properties) {
    const int id = idFor(action);
    // The same QAction twice in one menu tree would give hosts two rows with one id.
    if (nodes.contains(id))
        return;
    nodes[parentId].children.append(id);
    Node node;
    node.parent = parentId;
    node.properties = std::move(properties);
    node.action = action;
    QMenu *sub = action->isSeparator() ? nullptr : action->menu();
    for (int p = parentId; sub && p != -1; p = nodes.value(p).parent) {
        if (nodes.value(p).menu == sub)
            sub = nullptr; // a menu inside itself: stop here
    }
    node.menu = sub;
    nodes.insert(id, node);
    if (sub) {
        watchMenu(sub);
        collectMenu(sub, id, nodes);
    }
}

void DBusMenuExporter::collectMenu(QMenu *menu, int parentId, QHash<int, Node> &nodes) {
    const QList<QAction *> actions = menu->actions();
    for (QAction *action : actions) {
        auto *row = qobject_cast<QWidgetAction *>(action);
        if (!row) {
            addNode(action, parentId, nodes, dbusMenuProperties(action));
            continue;
        }
        watchWidgetAction(row);
        const QList<QAction *> inner = row->findChildren<QAction *>(Qt::FindDirectChildrenOnly);
        if (inner.isEmpty()) {
            // Something to read, not to press: enabled so hosts do not grey it out.
            QVariantMap p;
            p.insert(kLabel, dbusMenuLabel(row->text()));
            if (!row->isVisible())
                p.insert(kVisible, false);
            addNode(row, parentId, nodes, p);
            continue;
        }
        for (QAction *child : inner) {
            QVariantMap p = dbusMenuProperties(child);
            if (!row->isVisible())
                p.insert(kVisible, false);
            if (!row->isEnabled())
                p.insert(kEnabled, false);
            addNode(child, parentId, nodes, p);
        }
    }
}

QHash<int, DBusMenuExporter::Node> DBusMenuExporter::collect() {
    QHash<int, Node> nodes;
    Node root;
    root.properties.insert(kChildrenDisplay, QStringLiteral("submenu"));
    root.menu = root_;
    nodes.insert(0, root);
    if (root_) {
        watchMenu(root_);
        collectMenu(root_, 0, nodes);
    }
    return nodes;
}

void DBusMenuExporter::scheduleUpdate() {
    if (!pending_->isActive())
        pending_->start();
}

void DBusMenuExporter::update() {
    pending_->stop();
    QHash<int, Node> fresh = collect();

    // The menus whose rows came, went or moved: hosts refresh only the parent they are told.
    QList<int> changedParents;
    for (auto it = nodes_.cbegin(); it != nodes_.cend(); ++it) {
        if (!fresh.contains(it.key()) && fresh.contains(it->parent) &&
            !changedParents.contains(it->parent))
            changedParents.append(it->parent);
    }
    DBusMenuItemList updated;
    DBusMenuItemKeysList removed;
    for (auto it = fresh.cbegin(); it != fresh.cend(); ++it) {
        const auto old = nodes_.constFind(it.key());
        if (old == nodes_.cend()) {
            // A new submenu's own rows come with it when its parent is read.
            if (nodes_.contains(it->parent) && !changedParents.contains(it->parent))
                changedParents.append(it->parent);
            continue;
        }
        if (old->children != it->children && !changedParents.contains(it.key()))
            changedParents.append(it.key());
        QVariantMap changed;
        QStringList gone;
        for (auto p = it->properties.cbegin(); p != it->properties.cend(); ++p) {
            const auto before = old->properties.constFind(p.key());
            if (before == old->properties.cend() || before.value() != p.value())
                changed.insert(p.key(), p.value());
        }
        for (auto p = old->properties.cbegin(); p != old->properties.cend(); ++p) {
            if (it->properties.contains(p.key()))
                continue;
            const QVariant fallback = dbusMenuDefault(p.key());
            if (fallback.isValid())
                changed.insert(p.key(), fallback);
            else
                gone << p.key();
        }
        if (!changed.isEmpty())
            updated.append({it.key(), changed});
        if (!gone.isEmpty())
            removed.append({it.key(), gone});
    }
    nodes_ = std::move(fresh);

    if (!changedParents.isEmpty()) {
        ++revision_;
        std::sort(changedParents.begin(), changedParents.end());
        for (const int parent : std::as_const(changedParents)) {
            if (exported_)
                Q_EMIT LayoutUpdated(revision_, parent);
        }
    }
    if (exported_ && (!updated.isEmpty() || !removed.isEmpty()))
        Q_EMIT ItemsPropertiesUpdated(updated, removed);
}

DBusMenuLayoutItem DBusMenuExporter::layoutOf(int id, int depth, const QStringList &names) {
    const Node node = nodes_.value(id);
    DBusMenuLayoutItem item;
    item.id = id;
    item.properties = only(node.properties, names);
    if (depth != 0) {
        read_.insert(id, node.children);
        for (int child : node.children)
            item.children.append(layoutOf(child, depth < 0 ? -1 : depth - 1, names));
    }
    return item;
}

uint DBusMenuExporter::GetLayout(int parentId, int recursionDepth, const QStringList &propertyNames,
                                 DBusMenuLayoutItem &layout) {
    // Hosts get what is there now, under the revision that describes it.
    update();
    if (!nodes_.contains(parentId)) {
        if (calledFromDBus())
            sendErrorReply(QDBusError::InvalidArgs, QStringLiteral("No such menu item"));
        return 0;
    }
    layout = layoutOf(parentId, recursionDepth, propertyNames);
    return revision_;
}

DBusMenuItemList DBusMenuExporter::GetGroupProperties(const QList<int> &ids,
                                                      const QStringList &propertyNames) {
    if (pending_->isActive())
        update();
    DBusMenuItemList items;
    for (int id : ids) {
        const auto it = nodes_.constFind(id);
        if (it != nodes_.cend())
            items.append({id, only(it->properties, propertyNames)});
    }
    return items;
}

QDBusVariant DBusMenuExporter::GetProperty(int id, const QString &name) {
    if (pending_->isActive())
        update();
    const auto it = nodes_.constFind(id);
    QVariant value;
    if (it != nodes_.cend())
        value = it->properties.value(name, dbusMenuDefault(name));
    if (!value.isValid()) {
        if (calledFromDBus())
            sendErrorReply(QDBusError::InvalidArgs, QStringLiteral("No such menu item property"));
        return QDBusVariant(QString());
    }
    return QDBusVariant(value);
}

bool DBusMenuExporter::handleEvent(int id, const QString &eventId) {
    const auto it = nodes_.constFind(id);
    if (it == nodes_.cend())
        return false;
    if (eventId == QLatin1String("closed")) {
        if (it->menu)
            Q_EMIT it->menu->aboutToHide();
        return true;
    }
    if (eventId != QLatin1String("clicked"))
        return true;

    QAction *action = it->action;
    const bool enabled = it->properties.value(kEnabled, true).toBool();
    if (!action || !enabled || it->menu || action->isSeparator() ||
        qobject_cast<QWidgetAction *>(action))
        return true;
    // A click in a QMenu also reports to that menu and the ones it hangs from.
    QList<QPointer<QMenu>> menus;
    for (int p = it->parent; p != -1; p = nodes_.value(p).parent) {
        if (QMenu *menu = nodes_.value(p).menu)
            menus.append(menu);
    }
    // Queued: the host's call returns before whatever the action sets off (dialogs, loops).
    QMetaObject::invokeMethod(
        action,
        [action, menus] {
            action->trigger();
            for (const QPointer<QMenu> &menu : menus) {
                if (menu)
                    Q_EMIT menu->triggered(action);
            }
        },
        Qt::QueuedConnection);
    return true;
}

void DBusMenuExporter::Event(int id, const QString &eventId, const QDBusVariant &data,
                             uint timestamp) {
    Q_UNUSED(data);
    Q_UNUSED(timestamp);
    if (!handleEvent(id, eventId) && calledFromDBus())
        sendErrorReply(QDBusError::InvalidArgs, QStringLiteral("No such menu item"));
}

QList<int> DBusMenuExporter::EventGroup(const DBusMenuEventList &events) {
    QList<int> idErrors;
    for (const DBusMenuEvent &event : events) {
        if (!handleEvent(event.id, event.eventId))
            idErrors.append(event.id);
    }
    if (!events.isEmpty() && idErrors.size() == events.size() && calledFromDBus())
        sendErrorReply(QDBusError::InvalidArgs, QStringLiteral("No such menu items"));
    return idErrors;
}

void DBusMenuExporter::emitAboutToShow(QMenu *menu) {
    // Lets menus that fill themselves on aboutToShow do so before the host reads them.
    Q_EMIT menu->aboutToShow();
}

bool DBusMenuExporter::AboutToShow(int id) {
    const auto it = nodes_.constFind(id);
    if (it == nodes_.cend()) {
        if (calledFromDBus())
            sendErrorReply(QDBusError::InvalidArgs, QStringLiteral("No such menu item"));
        return false;
    }
    if (it->menu)
        emitAboutToShow(it->menu);
    // Whatever that changed goes out as LayoutUpdated / ItemsPropertiesUpdated right now.
    update();
    return needsReading(id);
}

bool DBusMenuExporter::needsReading(int id) const {
    // Never read, or its rows changed since: the host should read it again before showing.
    const auto read = read_.constFind(id);
    const auto node = nodes_.constFind(id);
    return node != nodes_.cend() && (read == read_.cend() || read.value() != node->children);
}

QList<int> DBusMenuExporter::AboutToShowGroup(const QList<int> &ids, QList<int> &idErrors) {
    idErrors.clear();
    QList<QPointer<QMenu>> menus;
    for (int id : ids) {
        const auto it = nodes_.constFind(id);
        if (it == nodes_.cend())
            idErrors.append(id);
        else if (it->menu)
            menus.append(it->menu);
    }
    for (const QPointer<QMenu> &menu : menus) {
        if (menu)
            emitAboutToShow(menu);
    }
    update();
    QList<int> stale;
    for (int id : ids) {
        if (!idErrors.contains(id) && needsReading(id))
            stale.append(id);
    }
    return stale;
}

} // namespace knobly
