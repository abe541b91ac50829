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

// a(iiay) read by hand rather than through the item's own demarshaller.
struct WirePixmap {
    int width = 0;
    int height = 0;
    QByteArray bytes;
};

std::vector<WirePixmap> readPixmaps(const QDBusArgument &arg) {
    std::vector<WirePixmap> out;
    arg.beginArray();
    while (!arg.atEnd()) {
        WirePixmap p;
        arg.beginStructure();
        arg >> p.width >> p.height >> p.bytes;
        arg.endStructure();
        out.push_back(p);
    }
    arg.endArray();
    return out;
}

// ---------------------------------------------------------------------------------------------
// Registration

TEST_F(Tray, RegistersItsOwnNameWithTheWatcher) {
    FakeWatcher watcher;
    ASSERT_TRUE(watcher.running);
    CallbackLog log;
    StatusNotifierItem item(log.callbacks());

    const QRegularExpression pattern(QStringLiteral("^org\\.kde\\.StatusNotifierItem-%1-\\d+$")
                                         .arg(QCoreApplication::applicationPid()));
    EXPECT_TRUE(pattern.match(item.serviceName()).hasMatch()) << item.serviceName().toStdString();
    EXPECT_TRUE(hasOwner(*host, item.serviceName()));
    ASSERT_TRUE(pumpUntil([&] { return !watcher.registered.isEmpty(); }));
    EXPECT_EQ(watcher.registered, QStringList{item.serviceName()});
}

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

TEST_F(Tray, CreatePicksTheStatusNotifierItemWhenAWatcherRuns) {
    FakeWatcher watcher;
    ASSERT_TRUE(watcher.running);
    CallbackLog log;
    std::unique_ptr<StatusItem> item = StatusItem::create(log.callbacks());
    ASSERT_NE(item, nullptr);
    auto *sni = dynamic_cast<StatusNotifierItem *>(item.get());
    ASSERT_NE(sni, nullptr);
    EXPECT_TRUE(pumpUntil([&] { return watcher.registered.contains(sni->serviceName()); }));
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

    const QDBusArgument pixmapArg = all.value(QStringLiteral("IconPixmap")).value<QDBusArgument>();
    EXPECT_EQ(pixmapArg.currentSignature(), QStringLiteral("a(iiay)"));
    const std::vector<WirePixmap> pixmaps = readPixmaps(pixmapArg);
    ASSERT_EQ(pixmaps.size(), 3u);
    const int sizes[] = {22, 32, 64};
    for (size_t i = 0; i < pixmaps.size(); ++i) {
        EXPECT_EQ(pixmaps[i].width, sizes[i]);
        EXPECT_EQ(pixmaps[i].height, sizes[i]);
    }

    const QDBusArgument tipArg = all.value(QStringLiteral("ToolTip")).value<QDBusArgument>();
    EXPECT_EQ(tipArg.currentSignature(), QStringLiteral("(sa(iiay)ss)"));
    QString tipIcon, tipTitle, tipText;
    tipArg.beginStructure();
    tipArg >> tipIcon;
    const std::vector<WirePixmap> tipPixmaps = readPixmaps(tipArg);
    tipArg >> tipTitle >> tipText;
    tipArg.endStructure();
    EXPECT_EQ(tipIcon, QString());
    EXPECT_TRUE(tipPixmaps.empty());
    EXPECT_EQ(tipTitle, QStringLiteral("Living room"));
    EXPECT_EQ(tipText, QStringLiteral("Volume 35%"));
}

TEST_F(Tray, IconPixmapsAreStraightArgbInNetworkByteOrder) {
    const struct Case {
        const char *name;
        QSize size;
        QPoint outside; // a point of the 22 px square off the drawing, scaled for the others
        bool banded;    // whether there is any such point
    } cases[] = {
        {"square", {20, 20}, {}, false},
        {"wide: bands above and below", {40, 20}, {11, 0}, true},
        {"tall: bands left and right", {10, 30}, {0, 11}, true},
    };
    CallbackLog log;
    StatusNotifierItem item(log.callbacks());
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        item.setIcon(QStringLiteral("audio-volume-high"),
                     solidImage(c.size.width(), c.size.height(), qRgba(0x10, 0x20, 0x30, 0x80)));
        const QVariant value = propertyOf(*host, item, QStringLiteral("IconPixmap"));
        const QDBusArgument arg = value.value<QDBusArgument>();
        ASSERT_EQ(arg.currentSignature(), QStringLiteral("a(iiay)"));
        const std::vector<WirePixmap> pixmaps = readPixmaps(arg);
        ASSERT_EQ(pixmaps.size(), 3u);
        for (const WirePixmap &p : pixmaps) {
            SCOPED_TRACE(p.width);
            ASSERT_EQ(p.width, p.height);
            ASSERT_EQ(p.bytes.size(), p.width * p.height * 4);
            const auto byteAt = [&](int x, int y, int k) {
                return int(uchar(p.bytes.at((y * p.width + x) * 4 + k)));
            };
            // A,R,G,B in that order, alpha not multiplied in (R would be about 0x08).
            const int mid = p.width / 2;
            EXPECT_EQ(byteAt(mid, mid, 0), 0x80);
            EXPECT_NEAR(byteAt(mid, mid, 1), 0x10, 1);
            EXPECT_NEAR(byteAt(mid, mid, 2), 0x20, 1);
            EXPECT_NEAR(byteAt(mid, mid, 3), 0x30, 1);
            const QPoint edge = c.outside * p.width / 22;
            EXPECT_EQ(byteAt(edge.x(), edge.y(), 0), c.banded ? 0 : 0x80)
                << "the image is centred in a transparent square";
        }
    }
}

TEST_F(Tray, TitleDefaultsToTheBrand) {
    CallbackLog log;
    StatusNotifierItem item(log.callbacks());
    EXPECT_EQ(propertyOf(*host, item, QStringLiteral("Title")).toString(), QStringLiteral("WiiM"));
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
        if (values.contains(QStringLiteral("IconName"))) {
            EXPECT_EQ(values.value(QStringLiteral("IconName")).toString(),
                      QStringLiteral("audio-volume-muted"));
        }
        if (values.contains(QStringLiteral("Title"))) {
            EXPECT_EQ(values.value(QStringLiteral("Title")).toString(), QStringLiteral("Kitchen"));
        }
        if (values.contains(QStringLiteral("IconPixmap"))) {
            EXPECT_EQ(values.value(QStringLiteral("IconPixmap"))
                          .value<QDBusArgument>()
                          .currentSignature(),
                      QStringLiteral("a(iiay)"));
        }
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

TEST_F(TrayMenu, MenuLayoutShowsEveryKindOfRow) {

    const Layout layout = getLayout(*host, item->serviceName());
    ASSERT_TRUE(layout.ok);
    EXPECT_EQ(layout.signature, QStringLiteral("u(ia{sv}av)"));
    EXPECT_EQ(layout.root.id, 0);
    EXPECT_EQ(layout.root.properties.value(QStringLiteral("children-display")).toString(),
              QStringLiteral("submenu"));

    const QString absent = QStringLiteral("<absent>");
    const struct Row {
        QString label; // empty for a separator
        QVariantMap has;
        QStringList lacks;
        int children;
    } rows[] = {
        {QStringLiteral("_Play"),
         {{QStringLiteral("shortcut"), QVariant::fromValue(QList<QStringList>{
                                           {QStringLiteral("Control"), QStringLiteral("K")}})}},
         {QStringLiteral("enabled"), QStringLiteral("visible"), QStringLiteral("toggle-type")},
         0},
        {QStringLiteral("Mute"),
         {{QStringLiteral("toggle-type"), QStringLiteral("checkmark")},
          {QStringLiteral("toggle-state"), 1}},
         {},
         0},
        {QStringLiteral("Disabled"), {{QStringLiteral("enabled"), false}}, {}, 0},
        {QStringLiteral("Hidden"), {{QStringLiteral("visible"), false}}, {}, 0},
        {QString(),
         {{QStringLiteral("type"), QStringLiteral("separator")}},
         {QStringLiteral("label")},
         0},
        {QStringLiteral("Source"),
         {{QStringLiteral("children-display"), QStringLiteral("submenu")}},
         {},
         2},
        // A widget row with nothing inside to export is a label one can read.
        {QStringLiteral("Volume 35%"),
         {},
         {QStringLiteral("enabled"), QStringLiteral("children-display")},
         0},
        // A widget row with actions inside is those actions, in their order.
        {QStringLiteral("Previous"), {}, {QStringLiteral("enabled")}, 0},
        {QStringLiteral("Play/Pause"), {}, {QStringLiteral("enabled")}, 0},
        {QStringLiteral("Next"), {}, {QStringLiteral("enabled")}, 0},
        {QStringLiteral("Speaker"), {}, {}, 0},
        {QStringLiteral("Save & Quit__now"), {}, {}, 0},
    };
    ASSERT_EQ(layout.root.children.size(), qsizetype(std::size(rows)));
    QSet<int> ids{0};
    for (size_t i = 0; i < std::size(rows); ++i) {
        const Row &row = rows[i];
        const DBusMenuLayoutItem &got = layout.root.children.at(qsizetype(i));
        SCOPED_TRACE(row.label.isEmpty() ? std::string("separator") : row.label.toStdString());
        EXPECT_FALSE(ids.contains(got.id)) << "ids are unique";
        ids.insert(got.id);
        if (!row.label.isEmpty()) {
            EXPECT_EQ(got.properties.value(QStringLiteral("label"), absent).toString(), row.label);
        }
        for (auto it = row.has.cbegin(); it != row.has.cend(); ++it) {
            SCOPED_TRACE(it.key().toStdString());
            ASSERT_TRUE(got.properties.contains(it.key()));
            if (it.key() == QLatin1String("shortcut")) {
                const auto chords = qdbus_cast<QList<QStringList>>(got.properties.value(it.key()));
                EXPECT_EQ(chords, it.value().value<QList<QStringList>>());
            } else {
                EXPECT_EQ(got.properties.value(it.key()), it.value());
            }
        }
        for (const QString &key : row.lacks)
            EXPECT_FALSE(got.properties.contains(key)) << key.toStdString();
        EXPECT_EQ(got.children.size(), row.children);
    }
    EXPECT_EQ(findByLabel(layout.root, QStringLiteral("Transport")), nullptr)
        << "the row holding the actions is not itself exported";

    const DBusMenuLayoutItem *speaker = findByLabel(layout.root, QStringLiteral("Speaker"));
    ASSERT_NE(speaker, nullptr);
    QImage icon;
    ASSERT_TRUE(icon.loadFromData(
        speaker->properties.value(QStringLiteral("icon-data")).toByteArray(), "PNG"));
    EXPECT_EQ(icon.size(), QSize(16, 16));
    EXPECT_EQ(icon.pixelColor(8, 8), QColor(Qt::red));

    const DBusMenuLayoutItem *sourceRow = findByLabel(layout.root, QStringLiteral("Source"));
    ASSERT_NE(sourceRow, nullptr);
    ASSERT_EQ(sourceRow->children.size(), 2);
    EXPECT_EQ(sourceRow->children.at(0).properties.value(QStringLiteral("label")).toString(),
              QStringLiteral("Wi-Fi"));
    EXPECT_EQ(sourceRow->children.at(1).properties.value(QStringLiteral("label")).toString(),
              QStringLiteral("Bluetooth"));
    EXPECT_FALSE(ids.contains(sourceRow->children.at(0).id));
}

TEST_F(TrayMenu, MenuLayoutHonoursParentDepthAndPropertyNames) {
    const Layout full = getLayout(*host, item->serviceName());
    ASSERT_TRUE(full.ok);
    const DBusMenuLayoutItem *sourceRow = findByLabel(full.root, QStringLiteral("Source"));
    ASSERT_NE(sourceRow, nullptr);

    const Layout none = getLayout(*host, item->serviceName(), 0, 0);
    ASSERT_TRUE(none.ok);
    EXPECT_TRUE(none.root.children.isEmpty());

    const Layout shallow = getLayout(*host, item->serviceName(), 0, 1);
    ASSERT_TRUE(shallow.ok);
    ASSERT_EQ(shallow.root.children.size(), full.root.children.size());
    const DBusMenuLayoutItem *shallowSource = findByLabel(shallow.root, QStringLiteral("Source"));
    ASSERT_NE(shallowSource, nullptr);
    EXPECT_TRUE(shallowSource->children.isEmpty());

    const Layout sub = getLayout(*host, item->serviceName(), sourceRow->id);
    ASSERT_TRUE(sub.ok);
    EXPECT_EQ(sub.root.id, sourceRow->id);
    EXPECT_EQ(sub.root.children.size(), 2);
    EXPECT_EQ(sub.revision, full.revision);

    const Layout labelsOnly =
        getLayout(*host, item->serviceName(), 0, -1, {QStringLiteral("label")});
    ASSERT_TRUE(labelsOnly.ok);
    for (const DBusMenuLayoutItem &row : labelsOnly.root.children) {
        for (const QString &key : row.properties.keys())
            EXPECT_EQ(key, QStringLiteral("label"));
    }

    const QDBusMessage missing =
        host->call(item->serviceName(), kMenuPath, kMenuInterface, QStringLiteral("GetLayout"),
                   {987654, -1, QStringList()});
    EXPECT_EQ(missing.type(), QDBusMessage::ErrorMessage);

    // Ids stay with their actions from one reading to the next.
    const Layout again = getLayout(*host, item->serviceName());
    ASSERT_EQ(again.root.children.size(), full.root.children.size());
    for (qsizetype i = 0; i < full.root.children.size(); ++i)
        EXPECT_EQ(again.root.children.at(i).id, full.root.children.at(i).id);
}

TEST_F(TrayMenu, MenuPropertiesAndVersionReadOverTheBus) {
    const Layout layout = getLayout(*host, item->serviceName());
    const DBusMenuLayoutItem *disabled = findByLabel(layout.root, QStringLiteral("Disabled"));
    const DBusMenuLayoutItem *mute = findByLabel(layout.root, QStringLiteral("Mute"));
    ASSERT_TRUE(disabled && mute);

    const QDBusMessage version = host->call(item->serviceName(), kMenuPath, kPropertiesInterface,
                                            QStringLiteral("GetAll"), {kMenuInterface});
    ASSERT_EQ(version.type(), QDBusMessage::ReplyMessage);
    const QVariantMap props = qdbus_cast<QVariantMap>(version.arguments().at(0));
    EXPECT_EQ(props.value(QStringLiteral("Version")).toUInt(), 3u);
    EXPECT_EQ(props.value(QStringLiteral("Status")).toString(), QStringLiteral("normal"));
    EXPECT_EQ(props.value(QStringLiteral("TextDirection")).toString(), QStringLiteral("ltr"));
    EXPECT_TRUE(props.contains(QStringLiteral("IconThemePath")));

    const QDBusMessage group = host->call(
        item->serviceName(), kMenuPath, kMenuInterface, QStringLiteral("GetGroupProperties"),
        {QVariant::fromValue(QList<int>{disabled->id, mute->id}),
         QStringList{QStringLiteral("enabled"), QStringLiteral("toggle-state")}});
    ASSERT_EQ(group.type(), QDBusMessage::ReplyMessage) << group.errorMessage().toStdString();
    EXPECT_EQ(group.signature(), QStringLiteral("a(ia{sv})"));
    const auto items = qdbus_cast<DBusMenuItemList>(group.arguments().at(0));
    ASSERT_EQ(items.size(), 2);
    EXPECT_EQ(items.at(0).id, disabled->id);
    EXPECT_EQ(items.at(0).properties, (QVariantMap{{QStringLiteral("enabled"), false}}));
    EXPECT_EQ(items.at(1).properties, (QVariantMap{{QStringLiteral("toggle-state"), 1}}));

    const QDBusMessage one =
        host->call(item->serviceName(), kMenuPath, kMenuInterface, QStringLiteral("GetProperty"),
                   {mute->id, QStringLiteral("label")});
    ASSERT_EQ(one.type(), QDBusMessage::ReplyMessage);
    EXPECT_EQ(one.arguments().at(0).value<QDBusVariant>().variant().toString(),
              QStringLiteral("Mute"));

    const QDBusMessage show = host->call(item->serviceName(), kMenuPath, kMenuInterface,
                                         QStringLiteral("AboutToShow"), {0});
    ASSERT_EQ(show.type(), QDBusMessage::ReplyMessage);
    EXPECT_FALSE(show.arguments().at(0).toBool());
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

TEST(DBusMenuLabel, QtMnemonicsBecomeUnderscores) {
    const struct {
        const char *qt;
        const char *dbusmenu;
    } cases[] = {
        {"Play", "Play"},
        {"&Play", "_Play"},
        {"Pl&ay", "Pl_ay"},
        {"Rock && Roll", "Rock & Roll"},
        {"snake_case", "snake__case"},
        {"&&_&x", "&___x"},
        {"Trailing&", "Trailing"},
        {"Open\tCtrl+O", "Open"},
        {"", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.qt);
        EXPECT_EQ(dbusMenuLabel(QString::fromUtf8(c.qt)), QString::fromUtf8(c.dbusmenu));
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

TEST(TrayFallback, ActivationReasonsMapToCallbacks) {
    const struct {
        QSystemTrayIcon::ActivationReason reason;
        const char *kind; // nullptr: nothing
    } cases[] = {
        {QSystemTrayIcon::Trigger, "activate"},     {QSystemTrayIcon::DoubleClick, "activate"},
        {QSystemTrayIcon::MiddleClick, "activate"}, {QSystemTrayIcon::Context, "menu"},
        {QSystemTrayIcon::Unknown, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(int(c.reason));
        CallbackLog log;
        TrayFallback tray(log.callbacks());
        Q_EMIT tray.activated(c.reason);
        if (!c.kind) {
            EXPECT_TRUE(log.clicks.empty());
            continue;
        }
        ASSERT_EQ(log.clicks.size(), 1u);
        EXPECT_EQ(log.clicks[0].kind, QString::fromLatin1(c.kind));
        EXPECT_TRUE(log.clicks[0].at.has_value()) << "the cursor is where the click was";
    }
}

TEST(TrayFallback, ShowsTheImageAndTheToolTip) {
    CallbackLog log;
    TrayFallback tray(log.callbacks());
    EXPECT_EQ(tray.toolTip(), QStringLiteral("WiiM"));
    tray.setIcon(QStringLiteral("audio-volume-high"), solidImage(22, 22, qRgb(0, 128, 0)));
    EXPECT_FALSE(tray.icon().isNull());
    EXPECT_EQ(tray.icon().pixmap(22, 22).toImage().pixelColor(11, 11), QColor(0, 128, 0));
    tray.setToolTip(QStringLiteral("Living room"), QStringLiteral("Volume 35%"));
    EXPECT_EQ(tray.toolTip(), QStringLiteral("Living room\nVolume 35%"));
}

} // namespace

#include "StatusNotifierItemTest.moc"
