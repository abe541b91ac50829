// The volume overlay on a real X server (a private Xvfb, 1440 x 900, no compositor): where it
// lands, that it is shaped rather than a black box, and that clicks go through it.
#include "BusHarness.h"
#include "FakeMainQueue.h"
#include "VolumeHUDContent.h"
#include "VolumeHUDWindow.h"

#include <QApplication>
#include <QMouseEvent>
#include <QScreen>
#include <QWindow>

#include <gtest/gtest.h>

#include <xcb/xcb.h>
#ifdef KNOBLY_HAVE_XTEST
#include <xcb/xtest.h>
#endif

#include <cstdlib>
#include <memory>

namespace knobly {
namespace {

const QColor kDesktop(70, 110, 150);

// Waits in real time for the server (our own timers run on the fake queue).
bool mapped(QWidget &widget) {
    return waitUntil([&] { return widget.windowHandle() && widget.windowHandle()->isExposed(); });
}

// A desktop in one colour that counts presses.
struct Desktop : QWidget {
    Desktop() : QWidget(nullptr, Qt::FramelessWindowHint) {
        setPalette(QPalette(kDesktop));
        setAutoFillBackground(true);
    }
    void mousePressEvent(QMouseEvent *) override { ++presses; }
    int presses = 0;
};

TEST(HudX11Test, CentredNearTheBottomShapedAndClickThroughWithoutACompositor) {
    auto *x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    xcb_connection_t *c = x11 ? x11->connection() : nullptr;
    ASSERT_TRUE(c);
    auto queue = std::make_shared<FakeMainQueue>();
    MainQueue::install(queue);
    Desktop desktop;
    desktop.setGeometry(QGuiApplication::primaryScreen()->geometry());
    desktop.show();
    ASSERT_TRUE(mapped(desktop));
    VolumeHUDWindow hud;
    hud.show(60);
    ASSERT_TRUE(mapped(hud));
    ASSERT_EQ(desktop.geometry(), QRect(0, 0, 1440, 900));
    // Where the server has it: its bottom 15 % of the height up the screen.
    const auto window = static_cast<xcb_window_t>(hud.winId());
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    auto *where = xcb_translate_coordinates_reply(
        c, xcb_translate_coordinates(c, window, root, 0, 0), nullptr);
    ASSERT_TRUE(where);
    EXPECT_EQ(QPoint(where->dst_x, where->dst_y), QPoint(600, 701));
    std::free(where);
    // Plain Xvfb has no compositor, so the corners and margins show the desktop, not black.
    EXPECT_FALSE(VolumeHUDWindow::compositorRunning() || hud.isComposited());
    QImage shot;
    ASSERT_TRUE(waitUntil([&] {
        shot = QGuiApplication::primaryScreen()->grabWindow(0, 600, 701, 240, 64).toImage();
        return shot.pixelColor(120, 12) == volumeHUDBackdropColor(true);
    })); // the overlay is on top in the middle
    for (const QPoint p : {QPoint(1, 1), QPoint(238, 1), QPoint(1, 62), QPoint(238, 62),
                           QPoint(11, 9), QPoint(228, 54)})
        EXPECT_EQ(shot.pixelColor(p), kDesktop) << p.x() << "," << p.y();
#ifdef KNOBLY_HAVE_XTEST
    // A click on it reaches the desktop below.
    xcb_test_fake_input(c, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, root, 720, 713, 0);
    xcb_test_fake_input(c, XCB_BUTTON_PRESS, 1, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    xcb_test_fake_input(c, XCB_BUTTON_RELEASE, 1, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    xcb_flush(c);
    EXPECT_TRUE(waitUntil([&] { return desktop.presses > 0; }));
#endif
    queue->advance(2);
    EXPECT_TRUE(waitUntil([&] { return !hud.windowHandle()->isExposed(); }));
    MainQueue::install(nullptr);
}

} // namespace
} // namespace knobly

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (GTEST_FLAG_GET(list_tests)) // listing needs no display
        return RUN_ALL_TESTS();
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        return 77; // skipped
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
