// The volume overlay on a real X server (a private Xvfb, 1440 x 900, no compositor): where it
// lands, that it is shaped rather than a black box, and that clicks go through it.
#include "BusHarness.h"
#include "FakeMainQueue.h"
#include "VolumeHUDContent.h"
#include "VolumeHUDWindow.h"
#include "X11Client.h"

#include <QApplication>
#include <QMouseEvent>
#include <QScreen>
#include <QWindow>

#include <gtest/gtest.h>

#ifdef KNOBLY_HAVE_XTEST
#include <xcb/xtest.h>
#endif

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace knobly {
namespace {

using test::pumpUntil;
using test::XcbPtr;

const QColor kDesktop(70, 110, 150);

xcb_connection_t *connection() {
    auto *x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    return x11 ? x11->connection() : nullptr;
}

// Waits in real time for the server (our own timers run on the fake queue).
bool mapped(QWidget &widget) {
    return pumpUntil([&] { return widget.windowHandle() && widget.windowHandle()->isExposed(); });
}

// A desktop in one colour that counts presses.
class Desktop : public QWidget {
public:
    Desktop() : QWidget(nullptr, Qt::FramelessWindowHint) {
        setPalette(QPalette(kDesktop));
        setAutoFillBackground(true);
    }
    int presses = 0;
    QPoint lastGlobal;

protected:
    void mousePressEvent(QMouseEvent *event) override {
        ++presses;
        lastGlobal = event->globalPosition().toPoint();
    }
};

class HudX11Test : public ::testing::Test {
protected:
    // A desktop under the overlay; our own timers run on the fake queue.
    void SetUp() override {
        if (QGuiApplication::platformName() != QLatin1String("xcb") || !connection())
            GTEST_SKIP() << "needs an X display";
        MainQueue::install(queue);
        desktop.setGeometry(QGuiApplication::primaryScreen()->geometry());
        desktop.show();
        ASSERT_TRUE(mapped(desktop));
        hud.show(60);
        ASSERT_TRUE(mapped(hud));
    }
    void TearDown() override { MainQueue::install(nullptr); }

    xcb_window_t root() const {
        return xcb_setup_roots_iterator(xcb_get_setup(connection())).data->root;
    }

    std::shared_ptr<FakeMainQueue> queue = std::make_shared<FakeMainQueue>();
    Desktop desktop;
    VolumeHUDWindow hud;
};

TEST_F(HudX11Test, CentredNearTheBottomAndShapedWithoutACompositor) {
    ASSERT_EQ(QGuiApplication::primaryScreen()->geometry(), QRect(0, 0, 1440, 900));
    // Where the server has it: its bottom 15 % of the height up the screen.
    xcb_connection_t *c = connection();
    const auto window = static_cast<xcb_window_t>(hud.winId());
    XcbPtr<xcb_translate_coordinates_reply_t> where(xcb_translate_coordinates_reply(
        c, xcb_translate_coordinates(c, window, root(), 0, 0), nullptr));
    XcbPtr<xcb_get_geometry_reply_t> size(
        xcb_get_geometry_reply(c, xcb_get_geometry(c, window), nullptr));
    ASSERT_TRUE(where && size);
    EXPECT_EQ(QRect(where->dst_x, where->dst_y, size->width, size->height),
              QRect(600, 701, 240, 64));
    // Plain Xvfb has no compositor, so the corners and margins show the desktop, not black.
    EXPECT_FALSE(VolumeHUDWindow::compositorRunning());
    EXPECT_FALSE(hud.isComposited());
    QImage shot;
    ASSERT_TRUE(pumpUntil([&] {
        shot = QGuiApplication::primaryScreen()->grabWindow(0, 600, 701, 240, 64).toImage();
        return shot.pixelColor(120, 12) == volumeHUDBackdropColor(true);
    }));
    for (const QPoint p : {QPoint(1, 1), QPoint(238, 1), QPoint(1, 62), QPoint(238, 62),
                           QPoint(11, 9), QPoint(228, 54)})
        EXPECT_EQ(shot.pixelColor(p), kDesktop) << p.x() << "," << p.y();
    queue->advance(2);
    EXPECT_TRUE(pumpUntil([&] { return !hud.windowHandle()->isExposed(); }));
}

#ifdef KNOBLY_HAVE_XTEST
TEST_F(HudX11Test, AClickOnTheOverlayReachesTheWindowBelow) {
    // The overlay really is above: later in the root's stacking order.
    xcb_connection_t *c = connection();
    XcbPtr<xcb_query_tree_reply_t> tree(
        xcb_query_tree_reply(c, xcb_query_tree(c, root()), nullptr));
    ASSERT_TRUE(tree);
    const xcb_window_t *first = xcb_query_tree_children(tree.get());
    const xcb_window_t *end = first + xcb_query_tree_children_length(tree.get());
    const auto *hudAt = std::find(first, end, static_cast<xcb_window_t>(hud.winId()));
    ASSERT_NE(hudAt, end);
    EXPECT_GT(hudAt, std::find(first, end, static_cast<xcb_window_t>(desktop.winId())));

    const QPoint centre = hud.geometry().center();
    xcb_test_fake_input(c, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, root(),
                        static_cast<std::int16_t>(centre.x()),
                        static_cast<std::int16_t>(centre.y()), 0);
    xcb_test_fake_input(c, XCB_BUTTON_PRESS, 1, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    xcb_test_fake_input(c, XCB_BUTTON_RELEASE, 1, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    xcb_flush(c);
    ASSERT_TRUE(pumpUntil([&] { return desktop.presses > 0; }));
    EXPECT_EQ(desktop.lastGlobal, centre);
    EXPECT_TRUE(hud.isVisible());
}
#endif

} // namespace
} // namespace knobly

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Listing the tests needs no display.
    for (int i = 1; i < argc; ++i)
        if (QByteArray(argv[i]).startsWith("--gtest_list_tests"))
            return RUN_ALL_TESTS();
    if (qEnvironmentVariableIsEmpty("DISPLAY")) {
        std::fprintf(stderr, "no DISPLAY; skipping\n");
        return 77;
    }
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
