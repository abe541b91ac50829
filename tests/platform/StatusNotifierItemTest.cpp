// The Linux panel item over a private session bus: a stand-in watcher, host calls made from
// other connections and processes, the exported menu as a host reads it, and the XEmbed
// fallback's wheel.
#include "linux/StatusNotifierItem.h"
#include "BusHarness.h"
#include "StatusItem.h"
#include "linux/DBusMenuExporter.h"
#include "linux/TrayFallback.h"

#include <QAction>
#include <QApplication>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QImage>
#include <QMenu>
#include <QScreen>
#include <QWheelEvent>
#include <QWidgetAction>

#include <gtest/gtest.h>

using namespace knobly;
using namespace knobly::test;

namespace {

// Every test gets a bus of its own from with-session-bus.sh; never the desktop's.
class Tray : public ::testing::Test {
protected:
    void SetUp() override {
        if (!qEnvironmentVariableIsSet("KNOBLY_PRIVATE_SESSION_BUS"))
            GTEST_SKIP() << "needs a private session bus: run through with-session-bus.sh";
        registerDBusMenuTypes();
        host = std::make_unique<Connection>(QStringLiteral("host"));
    }
    QVariant property(const StatusNotifierItem &item, const QString &name) {
        const QDBusMessage reply = host->call(item.serviceName(), kItemPath, kPropertiesInterface,
                                              QStringLiteral("Get"), {kItemInterface, name});
        return reply.arguments().isEmpty() ? QVariant()
                                           : reply.arguments()[0].value<QDBusVariant>().variant();
    }

    std::unique_ptr<Connection> host;
};

struct CallbackLog {
    std::vector<std::pair<QString, std::optional<QPoint>>> clicks;
    std::vector<int> scrolls;
    StatusItem::Callbacks callbacks() {
        StatusItem::Callbacks c;
        c.activate = [this](std::optional<QPoint> at) { clicks.push_back({"activate", at}); };
        c.contextMenu = [this](std::optional<QPoint> at) { clicks.push_back({"menu", at}); };
        c.scroll = [this](int delta) { scrolls.push_back(delta); };
        return c;
    }
};

QImage solid(QRgb colour) {
    QImage image(16, 16, QImage::Format_ARGB32);
    image.fill(QColor::fromRgba(colour));
    return image;
}

TEST_F(Tray, HostsReadEveryPropertyOverTheBus) {
    CallbackLog log;
    StatusNotifierItem item(log.callbacks());
    QMenu menu;
    item.setMenu(&menu);
    item.setTitle(QStringLiteral("Living room"));
    item.setIcon(QStringLiteral("audio-volume-high"), solid(qRgb(0, 0, 255)));
    const QDBusMessage reply = host->call(item.serviceName(), kItemPath, kPropertiesInterface,
                                          QStringLiteral("GetAll"), {kItemInterface});
    const QVariantMap all = qdbus_cast<QVariantMap>(reply.arguments().value(0));
    const std::pair<const char *, QVariant> plain[] = {
        {"Category", "Hardware"},          {"Id", "knobly"},
        {"Title", "Living room"},          {"Status", "Active"},
        {"IconName", "audio-volume-high"}, {"ItemIsMenu", false}, // an X11 session here
        {"XAyatanaLabel", "WiiM"},
    };
    for (const auto &[name, expected] : plain)
        EXPECT_EQ(all.value(name), expected) << name;
    EXPECT_EQ(property(item, "Menu").value<QDBusObjectPath>().path(), kMenuPath);
    EXPECT_EQ(all.value("IconPixmap").value<QDBusArgument>().currentSignature(), "a(iiay)");
    EXPECT_EQ(all.value("ToolTip").value<QDBusArgument>().currentSignature(), "(sa(iiay)ss)");
}

TEST_F(Tray, ChangesAnnounceThemselvesOncePerRealChange) {
    const QImage blue = solid(qRgb(0, 0, 255));
    const struct Case {
        std::function<void(StatusItem &)> change;
        QString signal;
        QStringList properties;
    } cases[] = {
        {[&](StatusItem &i) { i.setIcon("audio-volume-muted", blue); },
         "NewIcon",
         {"IconName", "IconPixmap"}},
        {[&](StatusItem &i) { i.setIcon("audio-volume-high", blue); }, "NewIcon", {"IconPixmap"}},
        {[](StatusItem &i) { i.setToolTip("Kitchen", "Paused"); }, "NewToolTip", {"ToolTip"}},
        {[](StatusItem &i) { i.setTitle("Kitchen"); }, "NewTitle", {"Title"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.signal.toStdString());
        CallbackLog log;
        StatusNotifierItem item(log.callbacks());
        item.setIcon(QStringLiteral("audio-volume-high"), solid(qRgb(255, 0, 0)));
        // A call answered by the item puts its earlier signals behind us before we listen.
        ASSERT_TRUE(property(item, "Title").isValid());
        SignalLog heard;
        heard.listen(host->bus(), item.serviceName(), kItemPath, kItemInterface, c.signal);
        heard.listen(host->bus(), item.serviceName(), kItemPath, kPropertiesInterface,
                     "PropertiesChanged");
        c.change(item); // the same thing twice is one change
        c.change(item);
        // A later change is the marker that nothing else came before it.
        item.setTitle(QStringLiteral("marker"));
        ASSERT_TRUE(waitUntil([&] { return heard.count("PropertiesChanged") == 2; }));
        EXPECT_EQ(heard.count(c.signal), c.signal == "NewTitle" ? 2 : 1);
        QStringList keys =
            qdbus_cast<QVariantMap>(heard.named("PropertiesChanged")[0].arguments().at(1)).keys();
        keys.sort();
        EXPECT_EQ(keys, c.properties);
    }
}

TEST_F(Tray, ClicksPassOnOnlyPlausiblePositions) {
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
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
    };
    CallbackLog log;
    StatusNotifierItem item(log.callbacks());
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.method << " " << c.x << "," << c.y);
        log.clicks.clear();
        host->call(item.serviceName(), kItemPath, kItemInterface, c.method, {c.x, c.y});
        ASSERT_TRUE(waitUntil([&] { return !log.clicks.empty(); }));
        EXPECT_EQ(log.clicks[0].first, c.kind);
        EXPECT_EQ(log.clicks[0].second, c.at);
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
        {"plasmashell", {40, 40, 40}, "vertical", {+1}},
        {"plasmashell", {90, -60, -60}, "vertical", {-1}},
        {"gnome-shell", {-1}, "vertical", {+1}},
        {"waybar", {3}, "vertical", {-1, -1, -1}},
        {"xfce4-panel", {5}, "Horizontal", {}},
    };
    CallbackLog log;
    StatusNotifierItem item(log.callbacks());
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.caller << " " << c.deltas.front());
        log.scrolls.clear();
        for (const int delta : c.deltas)
            ASSERT_TRUE(scrollAs(c.caller, item.serviceName(), delta, c.orientation));
        // Then one of our own (no panel: positive = down), which arrives after the rest.
        host->call(item.serviceName(), kItemPath, kItemInterface, "Scroll", {-1, "vertical"});
        std::vector<int> expected = c.expected;
        expected.push_back(+1);
        ASSERT_TRUE(waitUntil([&] { return log.scrolls.size() >= expected.size(); }));
        EXPECT_EQ(log.scrolls, expected);
    }
}

// The item with a menu of every kind of row exported, as a host finds it.
class TrayMenu : public Tray {
protected:
    void SetUp() override {
        Tray::SetUp();
        if (IsSkipped())
            return;
        play = menu.addAction(QStringLiteral("&Play"));
        mute = menu.addAction(QStringLiteral("Mute"));
        mute->setCheckable(true);
        mute->setChecked(true);
        disabled = menu.addAction(QStringLiteral("Disabled"));
        disabled->setEnabled(false);
        source = menu.addMenu(QStringLiteral("Source"));
        wifi = source->addAction(QStringLiteral("Wi-Fi"));
        transport = new QWidgetAction(&menu);
        next = new QAction(QStringLiteral("Next"), transport);
        menu.addAction(transport);
        item = std::make_unique<StatusNotifierItem>(log.callbacks());
        item->setMenu(&menu);
        layout = readLayout(*host, item->serviceName());
        ASSERT_TRUE(layout.ok);
    }
    int idOf(const QString &label) const {
        const Row *row = layout.root.find(label);
        return row ? row->id : -1;
    }
    QDBusMessage event(int id, const QString &kind) {
        return host->call(item->serviceName(), kMenuPath, kMenuInterface, "Event",
                          {id, kind, QVariant::fromValue(QDBusVariant(QString())), 0u});
    }
    void listen(SignalLog &heard, const QString &name) {
        heard.listen(host->bus(), item->serviceName(), kMenuPath, kMenuInterface, name);
    }

    QMenu menu;
    QAction *play, *mute, *disabled, *wifi, *next;
    QMenu *source;
    QWidgetAction *transport;
    CallbackLog log;
    std::unique_ptr<StatusNotifierItem> item;
    MenuLayout layout;
};

TEST_F(TrayMenu, AboutToShowLetsTheMenuFillItselfFirst) {
    QObject::connect(&menu, &QMenu::aboutToShow, [&] { menu.addAction(QStringLiteral("Fresh")); });
    SignalLog heard;
    listen(heard, "LayoutUpdated");
    host->call(item->serviceName(), kMenuPath, kMenuInterface, "AboutToShow", {0});
    // Announced before the reply, on the same ordered connection.
    ASSERT_TRUE(waitUntil([&] { return heard.count("LayoutUpdated") == 1; }));
    const MenuLayout after = readLayout(*host, item->serviceName());
    EXPECT_GT(after.revision, layout.revision);
    EXPECT_NE(after.root.find("Fresh"), nullptr);
}

TEST_F(TrayMenu, ClickedTriggersTheAction) {
    QStringList fired;
    for (QAction *a : {play, mute, disabled, wifi, next})
        QObject::connect(a, &QAction::triggered, [&fired, a] { fired << a->text(); });
    const std::tuple<const char *, const char *, QStringList> cases[] = {
        {"Mute", "hovered", {}},   {"Mute", "clicked", {"Mute"}},   {"Disabled", "clicked", {}},
        {"Source", "clicked", {}}, {"Wi-Fi", "clicked", {"Wi-Fi"}}, {"_Play", "clicked", {"&Play"}},
    };
    for (const auto &[label, kind, expected] : cases) {
        SCOPED_TRACE(testing::Message() << label << " " << kind);
        fired.clear();
        event(idOf(label), kind);
        event(idOf("Next"), "clicked"); // a marker: what fires does so before it
        ASSERT_TRUE(waitUntil([&] { return fired.contains("Next"); }));
        EXPECT_EQ(fired, expected + QStringList{"Next"});
    }
    EXPECT_FALSE(mute->isChecked()) << "a click on a checkable action toggles it";
    EXPECT_EQ(event(424242, "clicked").type(), QDBusMessage::ErrorMessage);
}

TEST_F(TrayMenu, PropertyChangesGoOutAsItemsPropertiesUpdated) {
    const struct Case {
        std::function<void()> change;
        int id;
        QVariantMap updated;
        QStringList removed;
    } cases[] = {
        {[&] { mute->setText("Un&mute"); }, idOf("Mute"), {{"label", "Un_mute"}}, {}},
        {[&] { mute->setChecked(false); }, idOf("Mute"), {{"toggle-state", 0}}, {}},
        {[&] { play->setEnabled(false); }, idOf("_Play"), {{"enabled", false}}, {}},
        // Back to the default: said outright, as not every host honours a removal.
        {[&] { play->setEnabled(true); }, idOf("_Play"), {{"enabled", true}}, {}},
        {[&] { next->setText("Skip"); }, idOf("Next"), {{"label", "Skip"}}, {}},
        {[&] { mute->setCheckable(false); }, idOf("Mute"), {}, {"toggle-state", "toggle-type"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.id);
        SignalLog heard;
        listen(heard, "ItemsPropertiesUpdated");
        listen(heard, "LayoutUpdated");
        c.change();
        ASSERT_TRUE(waitUntil([&] { return heard.count("ItemsPropertiesUpdated") == 1; }));
        EXPECT_EQ(heard.count("LayoutUpdated"), 0);
        const QDBusMessage update = heard.named("ItemsPropertiesUpdated")[0];
        const auto updated = qdbus_cast<DBusMenuItemList>(update.arguments().at(0));
        const auto removed = qdbus_cast<DBusMenuItemKeysList>(update.arguments().at(1));
        EXPECT_EQ(updated.isEmpty(), c.updated.isEmpty());
        if (!updated.isEmpty()) {
            EXPECT_EQ(updated[0].properties, c.updated);
        }
        QStringList keys = removed.isEmpty() ? QStringList() : removed[0].properties;
        keys.sort();
        EXPECT_EQ(keys, c.removed);
    }
}

TEST_F(TrayMenu, StructureChangesGoOutAsOneLayoutUpdatedPerBurst) {
    const std::tuple<std::function<void()>, const char *, const char *> cases[] = {
        {[&] {
             for (const char *label : {"Added one", "Added two", "Added three"})
                 menu.addAction(label);
         },
         "Added three", nullptr},
        {[&] { menu.removeAction(disabled); }, nullptr, "Disabled"},
        {[&] { source->addAction("Optical"); }, "Optical", nullptr},
        {[&] { new QAction("Stop", transport); }, "Stop", nullptr},
    };
    uint revision = layout.revision;
    for (const auto &[change, appears, disappears] : cases) {
        SignalLog heard;
        listen(heard, "LayoutUpdated");
        listen(heard, "ItemsPropertiesUpdated");
        change();
        ASSERT_TRUE(waitUntil([&] { return heard.count("LayoutUpdated") >= 1; }));
        // A property change later on is the marker that no second LayoutUpdated was coming.
        play->setText(QStringLiteral("Play %1").arg(revision));
        ASSERT_TRUE(waitUntil([&] { return heard.count("ItemsPropertiesUpdated") >= 1; }));
        EXPECT_EQ(heard.count("LayoutUpdated"), 1);
        const uint announced = heard.named("LayoutUpdated")[0].arguments().at(0).toUInt();
        EXPECT_GT(announced, revision);
        revision = announced;
        const MenuLayout after = readLayout(*host, item->serviceName());
        EXPECT_EQ(after.revision, announced);
        if (appears) {
            EXPECT_NE(after.root.find(appears), nullptr) << appears;
        }
        if (disappears) {
            EXPECT_EQ(after.root.find(disappears), nullptr) << disappears;
        }
    }
}

TEST(TrayFallback, WheelStepsFollowQtsDirection) {
    const std::pair<QPoint, std::vector<int>> cases[] = {
        {{0, 120}, {+1}}, {{0, -240}, {-1}}, {{0, 15}, {+1}}, {{120, 0}, {}}, {{30, -60}, {-1}},
    };
    for (const auto &[angle, expected] : cases) {
        CallbackLog log;
        TrayFallback tray(log.callbacks());
        QWheelEvent wheel(QPointF(4, 4), QPointF(4, 4), QPoint(), angle, Qt::NoButton,
                          Qt::NoModifier, Qt::NoScrollPhase, false);
        QCoreApplication::sendEvent(&tray, &wheel);
        EXPECT_EQ(log.scrolls, expected) << angle.x() << "," << angle.y();
    }
}

} // namespace
