// The Linux panel item on a private session bus, as hosts on other connections and processes
// see it, its menu as they read it, and the XEmbed fallback's wheel.
#include "StatusNotifierItem.h"
#include "BusHarness.h"
#include "DBusMenuExporter.h"
#include "ScrollSteps.h"
#include "TrayFallback.h"

#include <QDBusVariant>
#include <QGuiApplication>
#include <QScreen>
#include <QWheelEvent>
#include <QWidgetAction>

#include <gtest/gtest.h>

#include <climits>

using namespace knobly;
using namespace knobly::test;

namespace {

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

QImage solid(Qt::GlobalColor colour) {
    QImage image(16, 16, QImage::Format_ARGB32);
    image.fill(colour);
    return image;
}

class Tray : public ::testing::Test {
protected:
    void SetUp() override {
        if (!qEnvironmentVariableIsSet("KNOBLY_PRIVATE_SESSION_BUS"))
            GTEST_SKIP() << "needs a private session bus: run through with-session-bus.sh";
        registerDBusMenuTypes();
        host = std::make_unique<Connection>("host");
        item = std::make_unique<StatusNotifierItem>(log.callbacks());
    }
    QDBusMessage call(const QString &path, const QString &interface, const QString &method,
                      const QVariantList &args = {}) {
        return host->call(item->serviceName(), path, interface, method, args);
    }

    std::unique_ptr<Connection> host;
    CallbackLog log;
    QMenu menu;
    std::unique_ptr<StatusNotifierItem> item;
};

TEST_F(Tray, ChangesAnnounceThemselvesOncePerRealChange) {
    item->setIcon("audio-volume-high", solid(Qt::red));
    // A call answered by the item puts its earlier signals behind us.
    call(kItemPath, kPropertiesInterface, "Get", {kItemInterface, "Title"});
    const std::tuple<std::function<void()>, QString, QStringList> cases[] = {
        {[&] { item->setIcon("audio-volume-high", solid(Qt::blue)); }, "NewIcon", {"IconPixmap"}},
        {[&] { item->setIcon("audio-volume-muted", solid(Qt::blue)); }, "NewIcon", {"IconName"}},
        {[&] { item->setToolTip("Kitchen", "Paused"); },
         "NewToolTip",
         {"AttentionAccessibleDesc", "IconAccessibleDesc", "ToolTip"}},
        {[&] { item->setTitle("Kitchen"); }, "NewTitle", {"Title"}},
    };
    for (const auto &[change, signal, properties] : cases) {
        SCOPED_TRACE(signal.toStdString() + properties.join(' ').toStdString());
        SignalLog heard;
        heard.listen(host->bus(), item->serviceName(), kItemPath, kItemInterface, signal);
        heard.listen(host->bus(), item->serviceName(), kItemPath, kPropertiesInterface,
                     "PropertiesChanged");
        change(); // the same thing twice is one change
        change();
        item->setTitle("after " + properties.join(' ')); // nothing else came before this
        ASSERT_TRUE(waitUntil([&] { return heard.count("PropertiesChanged") == 2; }));
        EXPECT_EQ(heard.count(signal), signal == "NewTitle" ? 2 : 1);
        const QVariant changed = heard.named("PropertiesChanged")[0].arguments().at(1);
        EXPECT_EQ(qdbus_cast<QVariantMap>(changed).keys(), properties);
    }
}

TEST_F(Tray, ClicksPassOnOnlyPlausiblePositions) {
    const int right = QGuiApplication::primaryScreen()->geometry().right();
    const std::tuple<const char *, int, int, const char *, std::optional<QPoint>> cases[] = {
        {"Activate", 100, 200, "activate", QPoint(100, 200)},
        {"Activate", 0, 0, "activate", std::nullopt}, // the host knows no position
        {"Activate", right + 1, 10, "activate", std::nullopt},
        {"SecondaryActivate", 7, 8, "activate", QPoint(7, 8)},
        {"ContextMenu", 5, 6, "menu", QPoint(5, 6)},
    };
    for (const auto &[method, x, y, kind, at] : cases) {
        SCOPED_TRACE(testing::Message() << method << " " << x << "," << y);
        log.clicks.clear();
        call(kItemPath, kItemInterface, method, {x, y});
        ASSERT_TRUE(waitUntil([&] { return !log.clicks.empty(); }));
        EXPECT_EQ(log.clicks[0], std::pair(QString(kind), at));
    }
    // Where the item is a menu, clicks fail: Plasma then shows the exported menu. Some
    // Wayland sessions say so only in XDG_SESSION_TYPE.
    item.reset();
    qputenv("XDG_SESSION_TYPE", "wayland");
    item = std::make_unique<StatusNotifierItem>(log.callbacks());
    qunsetenv("XDG_SESSION_TYPE");
    log.clicks.clear();
    for (const char *method : {"Activate", "ContextMenu"})
        EXPECT_EQ(call(kItemPath, kItemInterface, method, {5, 6}).type(),
                  QDBusMessage::ErrorMessage)
            << method;
    EXPECT_TRUE(log.clicks.empty());
}

// Each caller is a new process here, so each call is the first of its caller's: the units
// come from the delta alone, and the process name only guesses the direction.
TEST_F(Tray, ScrollIsNormalisedByWhatTheCallCarries) {
    const std::tuple<const char *, int, const char *, std::vector<int>> cases[] = {
        {"plasmashell", 120, "Vertical", {+1}},
        {"gnome-shell", -1, "vertical", {+1}},
        {"panel-wrapper", -120, "vertical", {-1}}, // Qt's units, whoever sends them
        {"waybar", 3, "vertical", {-1}},           // units unknown: one step at most
        {"panel-wrapper", INT_MIN, "vertical", {-1, -1, -1, -1, -1}},
        {"xfce4-panel", 5, "Horizontal", {}},
    };
    for (const auto &[caller, delta, orientation, steps] : cases) {
        SCOPED_TRACE(testing::Message() << caller << " " << delta);
        log.scrolls.clear();
        ASSERT_TRUE(scrollAs(caller, item->serviceName(), delta, orientation));
        // The steps were queued before the reply went out; a moment more shows any extra.
        waitUntil([&] { return log.scrolls.size() >= steps.size(); });
        waitUntil([] { return false; }, 50);
        EXPECT_EQ(log.scrolls, steps);
    }
}

// One caller's run of calls on virtual time: a wheel notch is one step in either host's units,
// a touchpad swipe moves about as far as the wheel would, and no call moves more than a step a
// notch.
TEST(ScrollSteps, OneStepPerNotchWhateverTheHost) {
    using Call = std::pair<int, std::int64_t>; // a delta at a time in ms
    const auto run = [](int delta, int count) {
        std::vector<Call> calls;
        for (int i = 0; i < count; ++i)
            calls.push_back({delta, 1000 + 10 * i});
        return calls;
    };
    const std::tuple<const char *, bool, std::vector<Call>, int> cases[] = {
        {"Qt wheel", true, {{120, 0}, {-120, 500}, {360, 1000}}, 3},
        {"Qt touchpad adds up", true, {{120, 0}, {40, 1000}, {40, 1010}, {40, 1020}}, 2},
        {"Qt touchpad turning back", true, {{120, 0}, {90, 500}, {-60, 510}, {-60, 520}}, 0},
        {"Qt units known, small delta", true, {{120, 0}, {3, 1000}}, 1},
        {"GTK wheel", false, {{-1, 0}, {-1, 300}, {1, 600}}, 1},
        {"GTK swipe up, two notches' worth", false, run(-1, 10), 2},
        {"GTK swipe down, two notches' worth", false, run(0, 10), -2},
        {"unknown host, Qt's notch down", false, {{-120, 0}}, -1},
        {"unknown units, one step at most", false, {{7, 0}, {9, 500}}, -2},
        {"huge deltas", false, {{INT_MIN, 0}, {INT_MAX, 500}, {INT_MAX, 1000}}, 5},
        {"clock going back is no run", false, {{-1, 1000}, {-1, 900}}, 2},
    };
    for (const auto &[name, hintUp, calls, total] : cases) {
        SCOPED_TRACE(name);
        ScrollSteps steps;
        int sum = 0;
        for (const auto &[delta, ms] : calls) {
            const int moved = steps.steps(":1.7", delta, ms, hintUp);
            EXPECT_LE(std::abs(moved), ScrollSteps::maxStepsPerCall);
            EXPECT_LE(std::abs(moved), std::max(1LL, std::llabs(delta) / 120));
            sum += moved;
        }
        EXPECT_EQ(sum, total);
    }
}

// The item with a menu of every kind of row exported, as a host finds it.
class TrayMenu : public Tray {
protected:
    void SetUp() override {
        Tray::SetUp();
        if (IsSkipped())
            return;
        play = menu.addAction("&Play");
        play->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_P));
        play->setProperty(StatusItem::iconNameProperty, "media-playback-start-symbolic");
        mute = menu.addAction("Mute");
        mute->setCheckable(true);
        mute->setChecked(true);
        disabled = menu.addAction("Disabled");
        disabled->setEnabled(false);
        source = menu.addMenu("Source");
        wifi = source->addAction("Wi-Fi");
        transport = new QWidgetAction(&menu);
        next = new QAction("Next", transport);
        menu.addAction(transport);
        item->setMenu(&menu);
        layout = readLayout(*host, item->serviceName());
        ASSERT_TRUE(layout.ok);
    }
    int idOf(const QString &label) const { return layout.root.find(label)->id; }
    QDBusMessage event(int id, const QString &kind) {
        return call(kMenuPath, kMenuInterface, "Event",
                    {id, kind, QVariant::fromValue(QDBusVariant(QString())), 0u});
    }
    void listen(SignalLog &heard, const QString &name) {
        heard.listen(host->bus(), item->serviceName(), kMenuPath, kMenuInterface, name);
    }

    QAction *play, *mute, *disabled, *wifi, *next;
    QMenu *source;
    QWidgetAction *transport;
    MenuLayout layout;
};

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
        event(idOf("Next"), "clicked"); // what fires does so before this
        ASSERT_TRUE(waitUntil([&] { return fired.contains("Next"); }));
        EXPECT_EQ(fired, expected + QStringList{"Next"});
    }
    EXPECT_FALSE(mute->isChecked()) << "a click on a checkable action toggles it";
    EXPECT_EQ(event(424242, "clicked").type(), QDBusMessage::ErrorMessage);
}

TEST_F(TrayMenu, PropertyChangesGoOutAsItemsPropertiesUpdated) {
    const std::tuple<std::function<void()>, int, QVariantMap, QStringList> cases[] = {
        {[&] { mute->setText("Un&mute"); }, idOf("Mute"), {{"label", "Un_mute"}}, {}},
        {[&] { mute->setChecked(false); }, idOf("Mute"), {{"toggle-state", 0}}, {}},
        {[&] { play->setEnabled(false); }, idOf("_Play"), {{"enabled", false}}, {}},
        // Back to the default: said outright, as not every host honours a removal.
        {[&] { play->setEnabled(true); }, idOf("_Play"), {{"enabled", true}}, {}},
        {[&] { next->setText("Skip"); }, idOf("Next"), {{"label", "Skip"}}, {}},
        {[&] { mute->setCheckable(false); }, idOf("Mute"), {}, {"toggle-state", "toggle-type"}},
    };
    for (const auto &[change, id, updated, removed] : cases) {
        SCOPED_TRACE(id);
        SignalLog heard;
        listen(heard, "ItemsPropertiesUpdated");
        listen(heard, "LayoutUpdated");
        change();
        ASSERT_TRUE(waitUntil([&] { return heard.count("ItemsPropertiesUpdated") == 1; }));
        EXPECT_EQ(heard.count("LayoutUpdated"), 0);
        const QVariantList args = heard.named("ItemsPropertiesUpdated")[0].arguments();
        EXPECT_EQ(qdbus_cast<DBusMenuItemList>(args.at(0)).value(0).properties, updated);
        EXPECT_EQ(qdbus_cast<DBusMenuItemKeysList>(args.at(1)).value(0).properties, removed);
    }
}

// AboutToShow lets the menu fill itself before the host reads it.
TEST_F(TrayMenu, StructureChangesGoOutAsOneLayoutUpdatedPerBurst) {
    // clang-format off
    const std::tuple<std::function<void()>, const char *, bool> cases[] = {
        {[&] { for (auto l : {"One", "Two", "Three"}) menu.addAction(l); }, "Two", true},
        {[&] { menu.removeAction(disabled); }, "Disabled", false},
        {[&] { source->addAction("Optical"); }, "Optical", true},
        {[&] { new QAction("Stop", transport); }, "Stop", true},
        {[&] { QObject::connect(&menu, &QMenu::aboutToShow, [&] { menu.addAction("Fresh"); });
               call(kMenuPath, kMenuInterface, "AboutToShow", {0}); }, "Fresh", true},
    };
    // clang-format on
    uint revision = layout.revision;
    for (const auto &[change, row, present] : cases) {
        SignalLog heard;
        listen(heard, "LayoutUpdated");
        listen(heard, "ItemsPropertiesUpdated");
        change();
        ASSERT_TRUE(waitUntil([&] { return heard.count("LayoutUpdated") >= 1; }));
        // A property change later on is the marker that no second LayoutUpdated was coming.
        play->setText(QStringLiteral("Play %1").arg(revision));
        ASSERT_TRUE(waitUntil([&] { return heard.count("ItemsPropertiesUpdated") >= 1; }));
        EXPECT_EQ(heard.count("LayoutUpdated"), 1);
        const MenuLayout after = readLayout(*host, item->serviceName());
        EXPECT_EQ(after.revision, heard.named("LayoutUpdated")[0].arguments().at(0).toUInt());
        EXPECT_GT(after.revision, std::exchange(revision, after.revision));
        EXPECT_EQ(after.root.find(row) != nullptr, present) << row;
    }
}

// Hosts refresh only the menu a LayoutUpdated names and read a submenu again only when
// AboutToShow says so; rows that stay keep their ids. A host's menu passes no shortcut on, so
// none is shown there; theme icon names are.
TEST_F(TrayMenu, HostsAreToldWhichMenuChangedAndWhenToReadIt) {
    const int sourceId = idOf("Source");
    const auto stale = [&](int id) {
        return call(kMenuPath, kMenuInterface, "AboutToShow", {id}).arguments().value(0).toBool();
    };
    EXPECT_FALSE(stale(sourceId)) << "read with the whole menu";
    SignalLog heard;
    listen(heard, "LayoutUpdated");
    source->addAction("Optical");
    ASSERT_TRUE(waitUntil([&] { return heard.count("LayoutUpdated") == 1; }));
    EXPECT_EQ(heard.named("LayoutUpdated")[0].arguments().at(1).toInt(), sourceId);
    EXPECT_TRUE(stale(sourceId));
    EXPECT_TRUE(stale(sourceId)) << "until read";
    const MenuLayout after = readLayout(*host, item->serviceName());
    EXPECT_FALSE(stale(sourceId));
    EXPECT_EQ(after.root.find("Wi-Fi")->id, layout.root.find("Wi-Fi")->id);
    const QVariantMap playRow = after.root.find("_Play")->properties;
    EXPECT_FALSE(playRow.contains("shortcut"));
    EXPECT_EQ(playRow.value("icon-name"), "media-playback-start-symbolic");
    // A submenu no host has read yet is read on its first showing.
    QMenu *fresh = menu.addMenu("Presets");
    fresh->addAction("Radio 1");
    ASSERT_TRUE(waitUntil([&] { return heard.count("LayoutUpdated") == 2; }));
    EXPECT_EQ(heard.named("LayoutUpdated")[1].arguments().at(1).toInt(), 0);
    const int presetsId = readLayout(*host, item->serviceName(), 1).root.find("Presets")->id;
    EXPECT_TRUE(stale(presetsId)) << "its rows were never read";
    readLayout(*host, item->serviceName());
    EXPECT_FALSE(stale(presetsId));
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
