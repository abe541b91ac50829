// The volume overlay on a real X server (a private Xvfb, 1440 x 900, no compositor): where it
// lands, that clicks go through it, and that it is shaped rather than a black box.
// With KNOBLY_HUD_SCREENSHOTS=<dir> it also saves pictures of itself there.
#include "FakeMainQueue.h"
#include "VolumeHUDContent.h"
#include "VolumeHUDWindow.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QGuiApplication>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QRadialGradient>
#include <QScreen>
#include <QWindow>

#include <gtest/gtest.h>

#include <xcb/xcb.h>
#ifdef KNOBLY_HAVE_XTEST
#include <xcb/xtest.h>
#endif

#include <cstdlib>
#include <functional>
#include <memory>

namespace knobly {
namespace {

// Waits in real time for the X server's answer (mapping, input), not for our own timers,
// which run on the fake queue.
bool waitFor(const std::function<bool()> &done, int milliseconds = 5000) {
    QDeadlineTimer deadline(milliseconds);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

xcb_connection_t *connection() {
    auto *x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    return x11 ? x11->connection() : nullptr;
}

bool mapped(QWidget &widget) {
    return widget.windowHandle() && widget.windowHandle()->isExposed();
}

// A stand-in desktop: dark, with a little colour so the overlay's edges can be judged.
class Desktop : public QWidget {
public:
    Desktop() : QWidget(nullptr, Qt::FramelessWindowHint) {}

protected:
    void paintEvent(QPaintEvent *) override {
        QPainter painter(this);
        QLinearGradient base(0, 0, width(), height());
        base.setColorAt(0, QColor(22, 34, 52));
        base.setColorAt(1, QColor(40, 28, 58));
        painter.fillRect(rect(), base);
        QRadialGradient glow(QPointF(width() * 0.62, height() * 0.78), width() * 0.35);
        glow.setColorAt(0, QColor(70, 110, 150, 120));
        glow.setColorAt(1, QColor(70, 110, 150, 0));
        painter.fillRect(rect(), glow);
    }
};

// A plain window that counts presses.
class Target : public QWidget {
public:
    int presses = 0;
    QPoint lastGlobal;

protected:
    void mousePressEvent(QMouseEvent *event) override {
        ++presses;
        lastGlobal = event->globalPosition().toPoint();
    }
    void paintEvent(QPaintEvent *) override { QPainter(this).fillRect(rect(), QColor(60, 70, 80)); }
};

class HudX11Test : public ::testing::Test {
protected:
    void SetUp() override {
        if (QGuiApplication::platformName() != QLatin1String("xcb") || !connection())
            GTEST_SKIP() << "needs an X display";
        queue = std::make_shared<FakeMainQueue>();
        MainQueue::install(queue);
    }
    void TearDown() override { MainQueue::install(nullptr); }

    QRect screenArea() const { return QGuiApplication::primaryScreen()->geometry(); }

    std::shared_ptr<FakeMainQueue> queue;
};

TEST_F(HudX11Test, LandsCentredWithItsBottomAt15PercentAboveTheScreenBottom) {
    ASSERT_EQ(screenArea(), QRect(0, 0, 1440, 900));
    VolumeHUDWindow hud;
    hud.show(35);
    ASSERT_TRUE(waitFor([&] { return mapped(hud); }));
    EXPECT_EQ(hud.geometry(), QRect(600, 701, 240, 64));
    EXPECT_EQ(hud.geometry().y() + hud.height(), 765);

    // And where the server has it, not just what Qt believes.
    xcb_connection_t *c = connection();
    const xcb_window_t window = static_cast<xcb_window_t>(hud.winId());
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    auto *where = xcb_translate_coordinates_reply(
        c, xcb_translate_coordinates(c, window, root, 0, 0), nullptr);
    ASSERT_NE(where, nullptr);
    EXPECT_EQ(where->dst_x, 600);
    EXPECT_EQ(where->dst_y, 701);
    std::free(where);
    auto *geometry = xcb_get_geometry_reply(c, xcb_get_geometry(c, window), nullptr);
    ASSERT_NE(geometry, nullptr);
    EXPECT_EQ(geometry->width, 240);
    EXPECT_EQ(geometry->height, 64);
    std::free(geometry);
}

TEST_F(HudX11Test, PlainXvfbHasNoCompositorSoTheOverlayIsShaped) {
    EXPECT_FALSE(VolumeHUDWindow::compositorRunning());
    Desktop desktop;
    desktop.setGeometry(screenArea());
    desktop.show();
    ASSERT_TRUE(waitFor([&] { return mapped(desktop); }));

    VolumeHUDWindow hud;
    hud.show(60);
    ASSERT_TRUE(waitFor([&] { return mapped(hud); }));
    EXPECT_FALSE(hud.isComposited());
    EXPECT_FALSE(hud.mask().isEmpty());
    EXPECT_FALSE(hud.mask().contains(QPoint(1, 1)));

    // On screen: the corners and side margins show the desktop, not black; the middle is
    // the dark backdrop.
    QScreen *screen = QGuiApplication::primaryScreen();
    QImage shot;
    ASSERT_TRUE(waitFor([&] {
        shot = screen->grabWindow(0, 600, 701, 240, 64).toImage();
        return shot.pixelColor(120, 12).red() < 40;
    }));
    const QImage bare = desktop.grab(QRect(600, 701, 240, 64)).toImage();
    for (const QPoint corner : {QPoint(1, 1), QPoint(238, 1), QPoint(1, 62), QPoint(238, 62),
                                QPoint(11, 9), QPoint(228, 54)}) {
        EXPECT_EQ(shot.pixel(corner), bare.pixel(corner)) << corner.x() << "," << corner.y();
        EXPECT_GT(qGray(shot.pixel(corner)), 15);
    }
    const QColor middle = shot.pixelColor(120, 12);
    EXPECT_EQ(middle, volumeHUDBackdropColor(true));
}

TEST_F(HudX11Test, FadesAndHidesOnTheRealServerToo) {
    VolumeHUDWindow hud;
    hud.show(20, true);
    ASSERT_TRUE(waitFor([&] { return mapped(hud); }));
    queue->advance(1.35);
    EXPECT_TRUE(hud.isVisible());
    EXPECT_LT(hud.opacity(), 1.0);
    queue->advance(0.2);
    EXPECT_FALSE(hud.isVisible());
    EXPECT_TRUE(waitFor([&] { return !mapped(hud); }));
}

#ifdef KNOBLY_HAVE_XTEST
TEST_F(HudX11Test, AClickOnTheOverlayReachesTheWindowBelow) {
    Target below;
    below.setWindowFlag(Qt::FramelessWindowHint);
    below.setGeometry(500, 650, 440, 180);
    below.show();
    ASSERT_TRUE(waitFor([&] { return mapped(below); }));

    VolumeHUDWindow hud;
    hud.show(50);
    ASSERT_TRUE(waitFor([&] { return mapped(hud); }));

    xcb_connection_t *c = connection();
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    // The overlay really is above the target: later in the root's stacking order.
    auto *tree = xcb_query_tree_reply(c, xcb_query_tree(c, root), nullptr);
    ASSERT_NE(tree, nullptr);
    const xcb_window_t *children = xcb_query_tree_children(tree);
    int hudIndex = -1;
    int belowIndex = -1;
    for (int i = 0; i < xcb_query_tree_children_length(tree); ++i) {
        if (children[i] == static_cast<xcb_window_t>(hud.winId()))
            hudIndex = i;
        if (children[i] == static_cast<xcb_window_t>(below.winId()))
            belowIndex = i;
    }
    std::free(tree);
    ASSERT_GE(hudIndex, 0);
    ASSERT_GE(belowIndex, 0);
    EXPECT_GT(hudIndex, belowIndex);

    const QPoint centre = hud.geometry().center();
    xcb_test_fake_input(c, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, root,
                        static_cast<std::int16_t>(centre.x()),
                        static_cast<std::int16_t>(centre.y()), 0);
    xcb_test_fake_input(c, XCB_BUTTON_PRESS, 1, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    xcb_test_fake_input(c, XCB_BUTTON_RELEASE, 1, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    xcb_flush(c);
    ASSERT_TRUE(waitFor([&] { return below.presses > 0; }));
    EXPECT_EQ(below.lastGlobal, centre);
    EXPECT_TRUE(hud.isVisible());
}
#endif

// Not a check: pictures for the README, when asked for.
TEST_F(HudX11Test, Screenshots) {
    const QByteArray dir = qgetenv("KNOBLY_HUD_SCREENSHOTS");
    if (dir.isEmpty())
        GTEST_SKIP() << "set KNOBLY_HUD_SCREENSHOTS=<dir> to save pictures";
    ASSERT_TRUE(QDir().mkpath(QString::fromLocal8Bit(dir)));
    Desktop desktop;
    desktop.setGeometry(screenArea());
    desktop.show();
    ASSERT_TRUE(waitFor([&] { return mapped(desktop); }));

    const struct {
        int volume;
        bool muted;
        const char *file;
    } shots[] = {{35, false, "hud-35.png"}, {35, true, "hud-muted.png"}};
    for (const auto &shot : shots) {
        VolumeHUDWindow hud;
        hud.show(shot.volume, shot.muted);
        ASSERT_TRUE(waitFor([&] { return mapped(hud); }));
        // Let the server finish drawing before grabbing it.
        QImage picture;
        waitFor(
            [&] {
                picture = QGuiApplication::primaryScreen()
                              ->grabWindow(0, 600 - 40, 701 - 28, 240 + 80, 64 + 56)
                              .toImage();
                return false;
            },
            400);
        const QString path = QDir(QString::fromLocal8Bit(dir)).filePath(shot.file);
        ASSERT_TRUE(picture.save(path)) << path.toStdString();
        queue->advance(2);
        waitFor([&] { return !mapped(hud); });
    }
}

} // namespace
} // namespace knobly

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Listing the tests needs no display.
    for (int i = 1; i < argc; ++i) {
        if (QByteArray(argv[i]).startsWith("--gtest_list_tests"))
            return RUN_ALL_TESTS();
    }
    if (qEnvironmentVariableIsEmpty("DISPLAY")) {
        std::fprintf(stderr, "no DISPLAY; skipping\n");
        return 77;
    }
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
