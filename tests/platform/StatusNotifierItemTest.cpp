// The Linux panel item over a private session bus: a stand-in watcher, host calls made from
// other connections and other processes, the exported menu as a host reads it, and the
// XEmbed fallback's event handling.
#include "linux/StatusNotifierItem.h"
#include "BusHarness.h"
#include "StatusItem.h"
#include "linux/DBusMenuExporter.h"
#include "linux/TrayFallback.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>
#include <QFile>
#include <QImage>
#include <QMenu>
#include <QPixmap>
#include <QProcess>
#include <QRegularExpression>
#include <QScreen>
#include <QSet>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>
#include <QWheelEvent>
#include <QWidgetAction>

#include <gtest/gtest.h>

#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <ostream>
#include <utility>
#include <vector>

// Readable failure messages for Qt values.
void PrintTo(const QString &s, std::ostream *os) {
    *os << '"' << s.toStdString() << '"';
}
void PrintTo(const QVariant &v, std::ostream *os) {
    *os << v.typeName() << '(' << v.toString().toStdString() << ')';
}

using namespace knobly;
using namespace knobly::test;

namespace {

// ---------------------------------------------------------------------------------------------
// Bus helpers

bool hasOwner(Connection &c, const QString &name) {
    return c.bus().interface()->isServiceRegistered(name).value();
}

// Every test gets a bus of its own from with-session-bus.sh; never the desktop's.
class Tray : public ::testing::Test {
protected:
    void SetUp() override {
        if (!qEnvironmentVariableIsSet("KNOBLY_PRIVATE_SESSION_BUS"))
            GTEST_SKIP() << "needs a private session bus: run through with-session-bus.sh";
        registerDBusMenuTypes();
        host = std::make_unique<Connection>(QStringLiteral("host"));
        ASSERT_TRUE(host->bus().isConnected());
    }

    std::unique_ptr<Connection> host;
};

// Records what reaches the callbacks.
struct CallbackLog {
    struct Click {
        QString kind;
        std::optional<QPoint> at;
    };
    std::vector<Click> clicks;
    std::vector<int> scrolls;

    StatusItem::Callbacks callbacks() {
        StatusItem::Callbacks c;
        c.activate = [this](std::optional<QPoint> at) { clicks.push_back({"activate", at}); };
        c.contextMenu = [this](std::optional<QPoint> at) { clicks.push_back({"menu", at}); };
        c.scroll = [this](int delta) { scrolls.push_back(delta); };
        return c;
    }
};

QImage solidImage(int width, int height, QRgb straightArgb) {
    QImage image(width, height, QImage::Format_ARGB32);
    image.fill(QColor::fromRgba(straightArgb));
    return image;
}

QVariant propertyOf(Connection &host, const StatusNotifierItem &item, const QString &name) {
    const QDBusMessage reply = host.call(item.serviceName(), kItemPath, kPropertiesInterface,
                                         QStringLiteral("Get"), {kItemInterface, name});
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return {};
    return reply.arguments().at(0).value<QDBusVariant>().variant();
}

// ---------------------------------------------------------------------------------------------
// Registration

TEST_F(Tray, RegistersAgainWheneverAWatcherAppears) {
    CallbackLog log;
    // No watcher yet: the item waits for one.
    StatusNotifierItem item(log.callbacks());

    auto first = std::make_unique<FakeWatcher>();
    ASSERT_TRUE(first->running);
    ASSERT_TRUE(pumpUntil([&] { return !first->registered.isEmpty(); }))
        << "a watcher that starts after the item";
    EXPECT_EQ(first->registered, QStringList{item.serviceName()});

    // The panel restarts: its watcher leaves the bus and a new one takes the name.
    first->stop();
    ASSERT_TRUE(pumpUntil(
        [&] { return !hasOwner(*host, QStringLiteral("org.kde.StatusNotifierWatcher")); }));
    FakeWatcher second;
    ASSERT_TRUE(second.running);
    ASSERT_TRUE(pumpUntil([&] { return !second.registered.isEmpty(); }))
        << "a watcher that comes back";
    EXPECT_EQ(second.registered, QStringList{item.serviceName()});
}

// ---------------------------------------------------------------------------------------------
// Properties and their signals

TEST_F(Tray, HostsReadEveryPropertyOverTheBus) {
    CallbackLog log;
    StatusNotifierItem item(log.callbacks());
    QMenu menu;
    item.setMenu(&menu);
    item.setTitle(QStringLiteral("Living room"));
    item.setIcon(QStringLiteral("audio-volume-high"),
                 solidImage(40, 20, qRgba(0x10, 0x20, 0x30, 0x80)));
    item.setToolTip(QStringLiteral("Living room"), QStringLiteral("Volume 35%"));

    const QDBusMessage reply = host->call(item.serviceName(), kItemPath, kPropertiesInterface,
                                          QStringLiteral("GetAll"), {kItemInterface});
    ASSERT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
    const QVariantMap all = qdbus_cast<QVariantMap>(reply.arguments().at(0));

    const struct {
        const char *name;
        QVariant expected;
    } plain[] = {
        {"Category", QStringLiteral("Hardware")},
        {"Id", QStringLiteral("knobly")},
        {"Title", QStringLiteral("Living room")},
        {"Status", QStringLiteral("Active")},
        {"IconName", QStringLiteral("audio-volume-high")},
        {"ItemIsMenu", false},
        {"XAyatanaLabel", QStringLiteral("WiiM")},
        {"XAyatanaLabelGuide", QStringLiteral("WiiM")},
    };
    for (const auto &p : plain) {
        SCOPED_TRACE(p.name);
        ASSERT_TRUE(all.contains(QString::fromLatin1(p.name)));
        EXPECT_EQ(all.value(QString::fromLatin1(p.name)), p.expected);
    }
    EXPECT_EQ(all.value(QStringLiteral("Menu")).value<QDBusObjectPath>().path(), kMenuPath);
    EXPECT_EQ(propertyOf(*host, item, QStringLiteral("Menu")).value<QDBusObjectPath>().path(),
              kMenuPath)
        << "Get, not only GetAll";
}

TEST_F(Tray, ChangesAnnounceThemselvesOncePerRealChange) {
    const QImage red = solidImage(16, 16, qRgb(255, 0, 0));
    const QImage blue = solidImage(16, 16, qRgb(0, 0, 255));
    const struct Case {
        const char *name;
        std::function<void(StatusItem &)> change;
        QString signal;
        QStringList properties;
    } cases[] = {
        {"new icon",
         [&](StatusItem &i) { i.setIcon(QStringLiteral("audio-volume-muted"), blue); },
         QStringLiteral("NewIcon"),
         {QStringLiteral("IconName"), QStringLiteral("IconPixmap")}},
        {"same name, new drawing",
         [&](StatusItem &i) { i.setIcon(QStringLiteral("audio-volume-high"), blue); },
         QStringLiteral("NewIcon"),
         {QStringLiteral("IconPixmap")}},
        {"tool tip",
         [](StatusItem &i) { i.setToolTip(QStringLiteral("Kitchen"), QStringLiteral("Paused")); },
         QStringLiteral("NewToolTip"),
         {QStringLiteral("ToolTip")}},
        {"title",
         [](StatusItem &i) { i.setTitle(QStringLiteral("Kitchen")); },
         QStringLiteral("NewTitle"),
         {QStringLiteral("Title")}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        CallbackLog log;
        StatusNotifierItem item(log.callbacks());
        item.setIcon(QStringLiteral("audio-volume-high"), red);
        // A call answered by the item puts its earlier signals behind us before we listen.
        ASSERT_TRUE(propertyOf(*host, item, QStringLiteral("Title")).isValid());
        SignalLog heard;
        ASSERT_TRUE(
            heard.listen(host->bus(), item.serviceName(), kItemPath, kItemInterface, c.signal));
        ASSERT_TRUE(heard.listen(host->bus(), item.serviceName(), kItemPath, kPropertiesInterface,
                                 QStringLiteral("PropertiesChanged")));
        // The same thing twice is one change.
        c.change(item);
        c.change(item);
        ASSERT_TRUE(
            pumpUntil([&] { return heard.count(QStringLiteral("PropertiesChanged")) >= 1; }));
        // The ordered bus makes a later change a marker that nothing else came before it.
        item.setTitle(QStringLiteral("marker %1").arg(c.name));
        ASSERT_TRUE(
            pumpUntil([&] { return heard.count(QStringLiteral("PropertiesChanged")) == 2; }));
        EXPECT_EQ(heard.count(c.signal), c.signal == QLatin1String("NewTitle") ? 2 : 1);

        const QDBusMessage changed = heard.named(QStringLiteral("PropertiesChanged")).first();
        ASSERT_EQ(changed.arguments().size(), 3);
        EXPECT_EQ(changed.arguments().at(0).toString(), kItemInterface);
        const QVariantMap values = qdbus_cast<QVariantMap>(changed.arguments().at(1));
        QStringList keys = values.keys();
        keys.sort();
        QStringList expected = c.properties;
        expected.sort();
        EXPECT_EQ(keys, expected);
        EXPECT_TRUE(qdbus_cast<QStringList>(changed.arguments().at(2)).isEmpty());
    }
}

// ---------------------------------------------------------------------------------------------
// Host calls

TEST_F(Tray, ClicksPassOnOnlyPlausiblePositions) {
    // The offscreen platform has one screen at the origin.
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    ASSERT_TRUE(screen.contains(QPoint(100, 200)));
    const struct Case {
        const char *method;
        int x, y;
        const char *kind;
        std::optional<QPoint> at;
    } cases[] = {
        {"Activate", 100, 200, "activate", QPoint(100, 200)},
        {"Activate", 0, 0, "activate", std::nullopt},
        {"Activate", -4000, -4000, "activate", std::nullopt},
        {"Activate", screen.right() + 1, 10, "activate", std::nullopt},
        {"SecondaryActivate", 7, 8, "activate", QPoint(7, 8)},
        {"ContextMenu", 5, 6, "menu", QPoint(5, 6)},
        {"ContextMenu", 0, 0, "menu", std::nullopt},
    };
    CallbackLog log;
    StatusNotifierItem item(log.callbacks());
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.method << " " << c.x << "," << c.y);
        log.clicks.clear();
        const QDBusMessage reply = host->call(item.serviceName(), kItemPath, kItemInterface,
                                              QString::fromLatin1(c.method), {c.x, c.y});
        ASSERT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
        ASSERT_TRUE(pumpUntil([&] { return !log.clicks.empty(); }));
        ASSERT_EQ(log.clicks.size(), 1u);
        EXPECT_EQ(log.clicks[0].kind, QString::fromLatin1(c.kind));
        EXPECT_EQ(log.clicks[0].at, c.at);
    }
}

// A wheel notch is one step whatever the host's units; touchpad slivers add up to a notch.
TEST_F(Tray, ScrollIsNormalisedByWhoeverSentIt) {
    const struct Case {
        const char *caller; // the calling process's name
        std::vector<int> deltas;
        const char *orientation;
        std::vector<int> expected;
    } cases[] = {
        {"plasmashell", {120}, "Vertical", {+1}},
        {"plasmashell", {-240}, "vertical", {-1, -1}},
        {"plasmashell", {40, 40, 40, 40}, "vertical", {+1}},
        {"plasmashell", {90, -60, -60}, "vertical", {-1}},
        {"lxqt-panel", {120}, "VERTICAL", {+1}},
        {"gnome-shell", {-1}, "vertical", {+1}},
        {"waybar", {3}, "vertical", {-1, -1, -1}},
        {"xfce4-panel", {5}, "Horizontal", {}},
        {"plasmashell", {120}, "horizontal", {}},
        {"waybar", {0}, "Vertical", {}},
    };
    CallbackLog log;
    StatusNotifierItem item(log.callbacks());
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.caller << " " << c.deltas.front() << " " << c.orientation);
        log.scrolls.clear();
        for (const int delta : c.deltas)
            ASSERT_TRUE(scrollAs(QString::fromLatin1(c.caller), item.serviceName(), delta,
                                 QString::fromLatin1(c.orientation)));
        // Then a scroll of our own (this process is no panel: positive = down); once it
        // arrives, whatever the first call caused has arrived before it.
        const QDBusMessage marker =
            host->call(item.serviceName(), kItemPath, kItemInterface, QStringLiteral("Scroll"),
                       {-1, QStringLiteral("vertical")});
        ASSERT_EQ(marker.type(), QDBusMessage::ReplyMessage);
        std::vector<int> expected = c.expected;
        expected.push_back(+1);
        ASSERT_TRUE(pumpUntil([&] { return log.scrolls.size() >= expected.size(); }));
        EXPECT_EQ(log.scrolls, expected);
    }
}

// ---------------------------------------------------------------------------------------------
// The exported menu

struct MenuFixture {
    QMenu menu;
    QAction *play = nullptr;
    QAction *mute = nullptr;
    QAction *disabled = nullptr;
    QAction *hidden = nullptr;
    QMenu *source = nullptr;
    QAction *wifi = nullptr;
    QWidgetAction *volume = nullptr;
    QWidgetAction *transport = nullptr;
    QAction *previous = nullptr;
    QAction *playPause = nullptr;
    QAction *next = nullptr;
    QAction *withIcon = nullptr;
    QAction *literal = nullptr;

    MenuFixture() {
        play = menu.addAction(QStringLiteral("&Play"));
        play->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_K));
        mute = menu.addAction(QStringLiteral("Mute"));
        mute->setCheckable(true);
        mute->setChecked(true);
        disabled = menu.addAction(QStringLiteral("Disabled"));
        disabled->setEnabled(false);
        hidden = menu.addAction(QStringLiteral("Hidden"));
        hidden->setVisible(false);
        menu.addSeparator();
        source = menu.addMenu(QStringLiteral("Source"));
        wifi = source->addAction(QStringLiteral("Wi-Fi"));
        source->addAction(QStringLiteral("Bluetooth"));
        volume = new QWidgetAction(&menu);
        volume->setText(QStringLiteral("Volume 35%"));
        menu.addAction(volume);
        transport = new QWidgetAction(&menu);
        transport->setText(QStringLiteral("Transport"));
        previous = new QAction(QStringLiteral("Previous"), transport);
        playPause = new QAction(QStringLiteral("Play/Pause"), transport);
        next = new QAction(QStringLiteral("Next"), transport);
        menu.addAction(transport);
        QPixmap dot(32, 32);
        dot.fill(Qt::red);
        withIcon = menu.addAction(QIcon(dot), QStringLiteral("Speaker"));
        literal = menu.addAction(QStringLiteral("Save && Quit_now"));
    }
};

// The item with the menu above exported, as a host finds it.
class TrayMenu : public Tray {
protected:
    void SetUp() override {
        Tray::SetUp();
        item = std::make_unique<StatusNotifierItem>(log.callbacks());
        item->setMenu(&f.menu);
    }

    CallbackLog log;
    MenuFixture f;
    std::unique_ptr<StatusNotifierItem> item;
};

struct Layout {
    uint revision = 0;
    DBusMenuLayoutItem root;
    QString signature;
    bool ok = false;
};

Layout getLayout(Connection &host, const QString &service, int parent = 0, int depth = -1,
                 const QStringList &names = {}) {
    const QDBusMessage reply = host.call(service, kMenuPath, kMenuInterface,
                                         QStringLiteral("GetLayout"), {parent, depth, names});
    Layout layout;
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 2)
        return layout;
    layout.ok = true;
    layout.signature = reply.signature();
    layout.revision = reply.arguments().at(0).toUInt();
    layout.root = qdbus_cast<DBusMenuLayoutItem>(reply.arguments().at(1));
    return layout;
}

const DBusMenuLayoutItem *findByLabel(const DBusMenuLayoutItem &item, const QString &label) {
    if (item.properties.value(QStringLiteral("label")).toString() == label)
        return &item;
    for (const DBusMenuLayoutItem &child : item.children) {
        if (const DBusMenuLayoutItem *found = findByLabel(child, label))
            return found;
    }
    return nullptr;
}

TEST_F(TrayMenu, AboutToShowLetsTheMenuFillItselfFirst) {
    const Layout before = getLayout(*host, item->serviceName());
    QObject::connect(&f.menu, &QMenu::aboutToShow,
                     [&] { f.menu.addAction(QStringLiteral("Fresh")); });
    SignalLog heard;
    ASSERT_TRUE(heard.listen(host->bus(), item->serviceName(), kMenuPath, kMenuInterface,
                             QStringLiteral("LayoutUpdated")));
    const QDBusMessage show = host->call(item->serviceName(), kMenuPath, kMenuInterface,
                                         QStringLiteral("AboutToShow"), {0});
    ASSERT_EQ(show.type(), QDBusMessage::ReplyMessage);
    // Announced before the reply, on the same ordered connection.
    ASSERT_TRUE(pumpUntil([&] { return heard.count(QStringLiteral("LayoutUpdated")) == 1; }));
    const Layout after = getLayout(*host, item->serviceName());
    EXPECT_GT(after.revision, before.revision);
    EXPECT_NE(findByLabel(after.root, QStringLiteral("Fresh")), nullptr);
}

TEST_F(TrayMenu, ClickedTriggersTheAction) {
    const Layout layout = getLayout(*host, item->serviceName());
    ASSERT_TRUE(layout.ok);

    QStringList fired;
    for (QAction *a : {f.play, f.mute, f.disabled, f.wifi, f.next, f.previous, f.literal})
        QObject::connect(a, &QAction::triggered, [&fired, a] { fired << a->text(); });
    QList<QAction *> rootReports, sourceReports;
    QObject::connect(&f.menu, &QMenu::triggered, [&](QAction *a) { rootReports << a; });
    QObject::connect(f.source, &QMenu::triggered, [&](QAction *a) { sourceReports << a; });

    const struct Case {
        const char *label;
        const char *event;
        QStringList expected; // what fires, with "Next" clicked afterwards as a marker
    } cases[] = {
        {"Mute", "hovered", {QStringLiteral("Next")}},
        {"Mute", "clicked", {QStringLiteral("Mute"), QStringLiteral("Next")}},
        {"Disabled", "clicked", {QStringLiteral("Next")}},
        {"Volume 35%", "clicked", {QStringLiteral("Next")}},
        {"Source", "clicked", {QStringLiteral("Next")}},
        {"Wi-Fi", "clicked", {QStringLiteral("Wi-Fi"), QStringLiteral("Next")}},
        {"Previous", "clicked", {QStringLiteral("Previous"), QStringLiteral("Next")}},
        {"Save & Quit__now",
         "clicked",
         {QStringLiteral("Save && Quit_now"), QStringLiteral("Next")}},
    };
    const DBusMenuLayoutItem *nextRow = findByLabel(layout.root, QStringLiteral("Next"));
    ASSERT_NE(nextRow, nullptr);
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.label << " " << c.event);
        fired.clear();
        const DBusMenuLayoutItem *row = findByLabel(layout.root, QString::fromUtf8(c.label));
        ASSERT_NE(row, nullptr);
        const std::pair<int, QString> events[] = {{row->id, QString::fromLatin1(c.event)},
                                                  {nextRow->id, QStringLiteral("clicked")}};
        for (const auto &[id, event] : events) {
            const QDBusMessage reply =
                host->call(item->serviceName(), kMenuPath, kMenuInterface, QStringLiteral("Event"),
                           {id, event, QVariant::fromValue(QDBusVariant(QString())), 0u});
            ASSERT_EQ(reply.type(), QDBusMessage::ReplyMessage)
                << reply.errorMessage().toStdString();
        }
        ASSERT_TRUE(pumpUntil([&] { return fired.contains(QStringLiteral("Next")); }));
        EXPECT_EQ(fired, c.expected);
    }
    EXPECT_FALSE(f.mute->isChecked()) << "a click on a checkable action toggles it";
    EXPECT_TRUE(sourceReports.contains(f.wifi));
    EXPECT_TRUE(rootReports.contains(f.wifi)) << "as QMenu reports a click in a submenu";

    const QDBusMessage unknown = host->call(
        item->serviceName(), kMenuPath, kMenuInterface, QStringLiteral("Event"),
        {424242, QStringLiteral("clicked"), QVariant::fromValue(QDBusVariant(QString())), 0u});
    EXPECT_EQ(unknown.type(), QDBusMessage::ErrorMessage);
}

TEST_F(TrayMenu, PropertyChangesGoOutAsItemsPropertiesUpdated) {
    const Layout layout = getLayout(*host, item->serviceName());
    ASSERT_TRUE(layout.ok);
    const auto idOf = [&](const QString &label) {
        const DBusMenuLayoutItem *row = findByLabel(layout.root, label);
        return row ? row->id : -1;
    };

    const struct Case {
        const char *name;
        std::function<void()> change;
        int id;
        QVariantMap updated;
        QStringList removed;
    } cases[] = {
        {"text",
         [&] { f.mute->setText(QStringLiteral("Un&mute")); },
         idOf(QStringLiteral("Mute")),
         {{QStringLiteral("label"), QStringLiteral("Un_mute")}},
         {}},
        {"checked",
         [&] { f.mute->setChecked(false); },
         idOf(QStringLiteral("Mute")),
         {{QStringLiteral("toggle-state"), 0}},
         {}},
        {"disabled",
         [&] { f.play->setEnabled(false); },
         idOf(QStringLiteral("_Play")),
         {{QStringLiteral("enabled"), false}},
         {}},
        // Back to the default: said outright, as not every host honours a removal.
        {"enabled again",
         [&] { f.play->setEnabled(true); },
         idOf(QStringLiteral("_Play")),
         {{QStringLiteral("enabled"), true}},
         {}},
        // Qt counts a hidden action as disabled too.
        {"shown",
         [&] { f.hidden->setVisible(true); },
         idOf(QStringLiteral("Hidden")),
         {{QStringLiteral("visible"), true}, {QStringLiteral("enabled"), true}},
         {}},
        {"child of a widget row",
         [&] { f.next->setText(QStringLiteral("Skip")); },
         idOf(QStringLiteral("Next")),
         {{QStringLiteral("label"), QStringLiteral("Skip")}},
         {}},
        {"widget row label",
         [&] { f.volume->setText(QStringLiteral("Volume 40%")); },
         idOf(QStringLiteral("Volume 35%")),
         {{QStringLiteral("label"), QStringLiteral("Volume 40%")}},
         {}},
        {"no longer checkable",
         [&] { f.mute->setCheckable(false); },
         idOf(QStringLiteral("Mute")),
         {},
         {QStringLiteral("toggle-state"), QStringLiteral("toggle-type")}},
        {"no icon",
         [&] { f.withIcon->setIcon(QIcon()); },
         idOf(QStringLiteral("Speaker")),
         {},
         {QStringLiteral("icon-data")}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_NE(c.id, -1);
        SignalLog heard;
        ASSERT_TRUE(heard.listen(host->bus(), item->serviceName(), kMenuPath, kMenuInterface,
                                 QStringLiteral("ItemsPropertiesUpdated")));
        ASSERT_TRUE(heard.listen(host->bus(), item->serviceName(), kMenuPath, kMenuInterface,
                                 QStringLiteral("LayoutUpdated")));
        c.change();
        ASSERT_TRUE(
            pumpUntil([&] { return heard.count(QStringLiteral("ItemsPropertiesUpdated")) == 1; }));
        // A layout change would have been sent first.
        EXPECT_EQ(heard.count(QStringLiteral("LayoutUpdated")), 0);
        const QDBusMessage update = heard.named(QStringLiteral("ItemsPropertiesUpdated")).first();
        EXPECT_EQ(update.signature(), QStringLiteral("a(ia{sv})a(ias)"));
        const auto updated = qdbus_cast<DBusMenuItemList>(update.arguments().at(0));
        const auto removed = qdbus_cast<DBusMenuItemKeysList>(update.arguments().at(1));
        if (c.updated.isEmpty()) {
            EXPECT_TRUE(updated.isEmpty());
        } else {
            ASSERT_EQ(updated.size(), 1);
            EXPECT_EQ(updated.at(0).id, c.id);
            EXPECT_EQ(updated.at(0).properties, c.updated);
        }
        if (c.removed.isEmpty()) {
            EXPECT_TRUE(removed.isEmpty());
        } else {
            ASSERT_EQ(removed.size(), 1);
            EXPECT_EQ(removed.at(0).id, c.id);
            QStringList keys = removed.at(0).properties;
            keys.sort();
            EXPECT_EQ(keys, c.removed);
        }
    }
}

TEST_F(TrayMenu, StructureChangesGoOutAsOneLayoutUpdatedPerBurst) {
    const Layout before = getLayout(*host, item->serviceName());
    ASSERT_TRUE(before.ok);

    const struct Case {
        const char *name;
        std::function<void()> change;
        const char *appears;    // a label that is there afterwards, if any
        const char *disappears; // one that is gone, if any
    } cases[] = {
        {"actions added",
         [&] {
             f.menu.addAction(QStringLiteral("Added one"));
             f.menu.addAction(QStringLiteral("Added two"));
             f.menu.addAction(QStringLiteral("Added three"));
         },
         "Added three", nullptr},
        {"action removed", [&] { f.menu.removeAction(f.disabled); }, nullptr, "Disabled"},
        {"action deleted",
         [&] {
             delete f.literal;
             f.literal = nullptr;
         },
         nullptr, "Save & Quit__now"},
        {"added to a submenu", [&] { f.source->addAction(QStringLiteral("Optical")); }, "Optical",
         nullptr},
        {"action inside a widget row", [&] { new QAction(QStringLiteral("Stop"), f.transport); },
         "Stop", nullptr},
    };
    uint revision = before.revision;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        SignalLog heard;
        ASSERT_TRUE(heard.listen(host->bus(), item->serviceName(), kMenuPath, kMenuInterface,
                                 QStringLiteral("LayoutUpdated")));
        ASSERT_TRUE(heard.listen(host->bus(), item->serviceName(), kMenuPath, kMenuInterface,
                                 QStringLiteral("ItemsPropertiesUpdated")));
        c.change();
        ASSERT_TRUE(pumpUntil([&] { return heard.count(QStringLiteral("LayoutUpdated")) >= 1; }));
        // A property change later on is the marker that no second LayoutUpdated was coming.
        f.play->setText(QStringLiteral("Play %1").arg(c.name));
        ASSERT_TRUE(
            pumpUntil([&] { return heard.count(QStringLiteral("ItemsPropertiesUpdated")) >= 1; }));
        EXPECT_EQ(heard.count(QStringLiteral("LayoutUpdated")), 1);

        const QDBusMessage updated = heard.named(QStringLiteral("LayoutUpdated")).first();
        EXPECT_EQ(updated.signature(), QStringLiteral("ui"));
        const uint announced = updated.arguments().at(0).toUInt();
        EXPECT_GT(announced, revision);
        revision = announced;

        const Layout after = getLayout(*host, item->serviceName());
        ASSERT_TRUE(after.ok);
        EXPECT_EQ(after.revision, announced);
        if (c.appears) {
            EXPECT_NE(findByLabel(after.root, QString::fromUtf8(c.appears)), nullptr);
        }
        if (c.disappears) {
            EXPECT_EQ(findByLabel(after.root, QString::fromUtf8(c.disappears)), nullptr);
        }
        // Rows that stayed kept their ids.
        const DBusMenuLayoutItem *muteBefore = findByLabel(before.root, QStringLiteral("Mute"));
        const DBusMenuLayoutItem *muteAfter = findByLabel(after.root, QStringLiteral("Mute"));
        ASSERT_TRUE(muteBefore && muteAfter);
        EXPECT_EQ(muteAfter->id, muteBefore->id);
    }
}

// ---------------------------------------------------------------------------------------------
// The XEmbed fallback

TEST(TrayFallback, WheelStepsFollowQtsDirection) {
    const struct {
        QPoint angleDelta;
        std::vector<int> expected;
    } cases[] = {
        {{0, 120}, {+1}}, {{0, -240}, {-1}}, {{0, 15}, {+1}}, {{120, 0}, {}}, {{30, -60}, {-1}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.angleDelta.x() << "," << c.angleDelta.y());
        CallbackLog log;
        TrayFallback tray(log.callbacks());
        QWheelEvent wheel(QPointF(4, 4), QPointF(4, 4), QPoint(), c.angleDelta, Qt::NoButton,
                          Qt::NoModifier, Qt::NoScrollPhase, false);
        QCoreApplication::sendEvent(&tray, &wheel);
        EXPECT_EQ(log.scrolls, c.expected);
    }
}

} // namespace

#include "StatusNotifierItemTest.moc"
