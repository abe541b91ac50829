// The volume overlay on the offscreen platform: its timing on virtual time, where it sits,
// and what it paints.
#include "FakeMainQueue.h"
#include "VolumeHUDContent.h"
#include "VolumeHUDWindow.h"

#include <QApplication>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QScreen>

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <optional>

namespace knobly {
namespace {

class VolumeHUDTest : public ::testing::Test {
protected:
    void SetUp() override {
        queue = std::make_shared<FakeMainQueue>();
        MainQueue::install(queue);
    }
    void TearDown() override { MainQueue::install(nullptr); }

    std::shared_ptr<FakeMainQueue> queue;
};

TEST_F(VolumeHUDTest, IsHiddenAfterConstruction) {
    VolumeHUDWindow hud;
    EXPECT_FALSE(hud.isVisible());
    EXPECT_EQ(hud.size(), QSize(240, 64));
    EXPECT_EQ(queue->pendingCount(), 0u);
}

TEST_F(VolumeHUDTest, WindowFlagsKeepItOutOfTheWay) {
    VolumeHUDWindow hud;
    const Qt::WindowFlags flags = hud.windowFlags();
    EXPECT_EQ(hud.windowType(), Qt::ToolTip);
    EXPECT_TRUE(flags.testFlag(Qt::FramelessWindowHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowStaysOnTopHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowTransparentForInput));
    EXPECT_TRUE(flags.testFlag(Qt::WindowDoesNotAcceptFocus));
    EXPECT_TRUE(hud.testAttribute(Qt::WA_ShowWithoutActivating));
    EXPECT_EQ(hud.focusPolicy(), Qt::NoFocus);
    EXPECT_EQ(hud.minimumSize(), QSize(240, 64));
    EXPECT_EQ(hud.maximumSize(), QSize(240, 64));

    hud.show(50);
    EXPECT_TRUE(hud.isVisible());
    EXPECT_FALSE(hud.hasFocus());
    EXPECT_NE(QApplication::activeWindow(), &hud);
}

TEST_F(VolumeHUDTest, SitsCentredAboveTheBottomOfThePrimaryScreen) {
    const QScreen *screen = QGuiApplication::primaryScreen();
    ASSERT_NE(screen, nullptr);
    const QRect area = screen->geometry();
    VolumeHUDWindow hud;
    hud.show(35);
    const int expectedX = area.x() + (area.width() - 240) / 2;
    const int bottom =
        static_cast<int>(std::lround(area.y() + area.height() - 0.15 * area.height()));
    EXPECT_EQ(hud.geometry(), QRect(expectedX, bottom - 64, 240, 64));
    EXPECT_EQ(hud.geometry().center().x(), area.center().x());
}

TEST_F(VolumeHUDTest, ClampsTheVolume) {
    VolumeHUDWindow hud;
    hud.show(130);
    EXPECT_EQ(hud.volume(), 100);
    hud.show(-4, true);
    EXPECT_EQ(hud.volume(), 0);
    EXPECT_TRUE(hud.isMuted());
    hud.show(42);
    EXPECT_EQ(hud.volume(), 42);
    EXPECT_FALSE(hud.isMuted());
}

TEST_F(VolumeHUDTest, StaysUpUntilAfterTheLastShowThenFadesAndHides) {
    VolumeHUDWindow hud;
    hud.show(10);
    queue->advance(0.5);
    hud.show(20);
    queue->advance(0.5);
    hud.show(30);
    EXPECT_EQ(hud.volume(), 30);

    // The first two shows' hides come due here and must do nothing.
    queue->advance(1.19);
    EXPECT_TRUE(hud.isVisible());
    EXPECT_DOUBLE_EQ(hud.opacity(), 1.0);
    EXPECT_FALSE(hud.isFading());

    queue->advance(0.02); // 1.21 s after the last show: the fade has begun
    EXPECT_TRUE(hud.isFading());
    EXPECT_TRUE(hud.isVisible());

    queue->advance(0.15); // half way through the fade
    EXPECT_TRUE(hud.isVisible());
    EXPECT_GT(hud.opacity(), 0.3);
    EXPECT_LT(hud.opacity(), 0.7);

    queue->advance(0.12); // 1.48 s: nearly gone, still there
    EXPECT_TRUE(hud.isVisible());
    EXPECT_LT(hud.opacity(), 0.2);

    queue->advance(0.03); // 1.51 s
    EXPECT_FALSE(hud.isVisible());
    EXPECT_FALSE(hud.isFading());
    EXPECT_EQ(queue->pendingCount(), 0u);
}

TEST_F(VolumeHUDTest, OpacityFallsStepByStep) {
    VolumeHUDWindow hud;
    hud.show(60);
    queue->advance(1.2);
    double last = hud.opacity();
    int drops = 0;
    for (int i = 0; i < 9; ++i) {
        queue->advance(0.03 + 1e-9);
        EXPECT_LE(hud.opacity(), last);
        if (hud.opacity() < last)
            ++drops;
        last = hud.opacity();
        EXPECT_TRUE(hud.isVisible());
    }
    EXPECT_GE(drops, 8);
    queue->advance(0.05);
    EXPECT_FALSE(hud.isVisible());
}

TEST_F(VolumeHUDTest, AShowDuringTheFadeKeepsItUp) {
    VolumeHUDWindow hud;
    hud.show(20);
    queue->advance(1.35);
    ASSERT_TRUE(hud.isFading());
    ASSERT_LT(hud.opacity(), 1.0);

    hud.show(25);
    EXPECT_FALSE(hud.isFading());
    EXPECT_DOUBLE_EQ(hud.opacity(), 1.0);
    EXPECT_TRUE(hud.isVisible());

    // The old fade's remaining steps come and go without effect.
    queue->advance(1.19);
    EXPECT_TRUE(hud.isVisible());
    EXPECT_DOUBLE_EQ(hud.opacity(), 1.0);

    queue->advance(0.32);
    EXPECT_FALSE(hud.isVisible());
}

TEST_F(VolumeHUDTest, ShowsAgainAfterHiding) {
    VolumeHUDWindow hud;
    hud.show(20);
    queue->advance(2);
    ASSERT_FALSE(hud.isVisible());
    hud.show(21);
    EXPECT_TRUE(hud.isVisible());
    EXPECT_DOUBLE_EQ(hud.opacity(), 1.0);
    queue->advance(2);
    EXPECT_FALSE(hud.isVisible());
}

TEST_F(VolumeHUDTest, DestroyedWithAHidePendingIsHarmless) {
    {
        VolumeHUDWindow hud;
        hud.show(20);
        queue->advance(1.25);
    }
    queue->advance(2); // ASan would catch a step touching the dead window
    EXPECT_EQ(queue->pendingCount(), 0u);
}

TEST_F(VolumeHUDTest, WithoutACompositorItIsShapedAndFadesItself) {
    VolumeHUDWindow hud;
    hud.setCompositingOverride(false);
    hud.show(50);
    EXPECT_FALSE(hud.isComposited());
    const QRegion mask = hud.mask();
    ASSERT_FALSE(mask.isEmpty());
    EXPECT_TRUE(mask.contains(QPoint(120, 32)));
    EXPECT_FALSE(mask.contains(QPoint(2, 32)));   // the side margin
    EXPECT_FALSE(mask.contains(QPoint(11, 9)));   // a rounded corner
    EXPECT_FALSE(mask.contains(QPoint(228, 54))); // the opposite one

    const QImage full = hud.grab().toImage();
    queue->advance(1.35);
    ASSERT_TRUE(hud.isVisible());
    EXPECT_LT(hud.opacity(), 0.7);
    const QImage faded = hud.grab().toImage();
    // The level bar's white dims as the overlay fades.
    const QPoint onLevel(70, 31);
    EXPECT_LT(qGray(faded.pixel(onLevel)), qGray(full.pixel(onLevel)) - 40);
    queue->advance(0.2);
    EXPECT_FALSE(hud.isVisible());
}

TEST_F(VolumeHUDTest, WithACompositorItHasNoMask) {
    VolumeHUDWindow hud;
    hud.setCompositingOverride(false);
    hud.show(50);
    queue->advance(2);
    hud.setCompositingOverride(true);
    hud.show(50);
    EXPECT_TRUE(hud.isComposited());
    EXPECT_TRUE(hud.mask().isEmpty());
}

TEST_F(VolumeHUDTest, OffscreenCountsAsComposited) {
    EXPECT_TRUE(VolumeHUDWindow::compositorRunning());
}

// --- painting ------------------------------------------------------------------------------

QImage painted(std::int64_t volume, bool muted, bool opaque = true) {
    QImage image(240, 64, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    VolumeHUDState state;
    state.volume = volume;
    state.muted = muted;
    state.opaqueBackdrop = opaque;
    paintVolumeHUD(painter, image.size(), state);
    painter.end();
    return image.convertToFormat(QImage::Format_ARGB32);
}

const VolumeHUDFrames &frames() {
    static const VolumeHUDFrames f = volumeHUDFrames(QSizeF(240, 64));
    return f;
}

QImage part(const QImage &image, const QRectF &rect) {
    return image.copy(rect.toAlignedRect());
}

int barRow() {
    return static_cast<int>(frames().bar.top()) + 1;
}

bool bright(QRgb pixel) {
    return qGray(pixel) > 200;
}

TEST(VolumeHUDLayout, FramesAddUp) {
    const VolumeHUDFrames &f = frames();
    EXPECT_EQ(f.backdrop.width(), 220);
    EXPECT_EQ(f.backdrop.left(), 10);
    EXPECT_EQ(f.backdrop.right(), 230);
    EXPECT_EQ(f.backdrop.height(), 48);
    EXPECT_DOUBLE_EQ(f.backdrop.center().y(), 32);
    EXPECT_EQ(f.symbol, QRectF(28, 24, 20, 16));
    EXPECT_EQ(f.bar.left(), 60);
    EXPECT_EQ(f.bar.width(), 114);
    EXPECT_EQ(f.bar.height(), 4);
    EXPECT_DOUBLE_EQ(f.bar.center().y(), 32);
    EXPECT_EQ(f.number, QRectF(186, 24, 26, 16));
}

TEST(VolumeHUDPainting, PaintedSymbolFollowsTheTable) {
    const QRectF symbol = frames().symbol;
    const QImage slash = part(painted(0, false), symbol);
    const QImage wave1 = part(painted(1, false), symbol);
    const QImage wave2 = part(painted(33, false), symbol);
    const QImage wave3 = part(painted(66, false), symbol);
    EXPECT_NE(slash, wave1);
    EXPECT_NE(wave1, wave2);
    EXPECT_NE(wave2, wave3);
    EXPECT_EQ(part(painted(32, false), symbol), wave1);
    EXPECT_EQ(part(painted(65, false), symbol), wave2);
    EXPECT_EQ(part(painted(100, false), symbol), wave3);
    // White ink in the symbol's frame.
    int ink = 0;
    for (int y = 0; y < wave3.height(); ++y)
        for (int x = 0; x < wave3.width(); ++x)
            ink += bright(wave3.pixel(x, y));
    EXPECT_GT(ink, 20);
}

TEST(VolumeHUDPainting, ZeroShowsTheSlashAndNoLevel) {
    const QImage image = painted(0, false);
    EXPECT_EQ(part(image, frames().symbol), part(painted(40, true), frames().symbol));
    const QRectF bar = frames().bar;
    for (int x = static_cast<int>(bar.left()); x < static_cast<int>(bar.right()); ++x) {
        const QRgb pixel = image.pixel(x, barRow());
        EXPECT_FALSE(bright(pixel)) << x;
    }
    // The faint track is there all the same.
    EXPECT_GT(qGray(image.pixel(static_cast<int>(bar.center().x()), barRow())),
              qGray(volumeHUDBackdropColor(true).rgb()) + 20);
}

TEST(VolumeHUDPainting, HundredFillsTheTrack) {
    const QImage image = painted(100, false);
    const QRectF bar = frames().bar;
    for (int x = static_cast<int>(bar.left()) + 2; x < static_cast<int>(bar.right()) - 2; ++x)
        EXPECT_TRUE(bright(image.pixel(x, barRow()))) << x;
    // Nothing beyond the track's end.
    EXPECT_FALSE(bright(image.pixel(static_cast<int>(bar.right()) + 2, barRow())));
}

TEST(VolumeHUDPainting, MutedAtFiftyShowsSlashHalfLevelAndNumber) {
    const QImage muted = painted(50, true);
    const QImage loud = painted(50, false);
    const QRectF symbol = frames().symbol;
    EXPECT_EQ(part(muted, symbol), part(painted(0, false), symbol));
    EXPECT_NE(part(muted, symbol), part(loud, symbol));

    const QRectF bar = frames().bar;
    const int levelEnd = static_cast<int>(bar.left() + 57);
    for (int x = static_cast<int>(bar.left()) + 2; x < levelEnd - 1; ++x)
        EXPECT_TRUE(bright(muted.pixel(x, barRow()))) << x;
    for (int x = levelEnd + 2; x < static_cast<int>(bar.right()) - 1; ++x)
        EXPECT_FALSE(bright(muted.pixel(x, barRow()))) << x;

    // Only the symbol differs from the unmuted overlay.
    const QRectF rest(symbol.right() + 1, 0, 240 - symbol.right() - 1, 64);
    EXPECT_EQ(part(muted, rest), part(loud, rest));

    // The number: secondary-coloured ink, and it reads differently from 51.
    const QRectF number = frames().number;
    int ink = 0;
    for (int y = static_cast<int>(number.top()); y < static_cast<int>(number.bottom()); ++y)
        for (int x = static_cast<int>(number.left()); x < static_cast<int>(number.right()); ++x)
            ink += qGray(muted.pixel(x, y)) > 110;
    EXPECT_GT(ink, 15);
    EXPECT_NE(part(muted, number), part(painted(51, true), number));
}

TEST(VolumeHUDPainting, NineAndTenKeepSymbolAndBarInPlace) {
    const QImage nine = painted(9, false);
    const QImage ten = painted(10, false);
    const QRectF bar = frames().bar;
    const double numberLeft = frames().number.left();
    // Everything left of the number frame is the same, bar the few pixels where the level
    // grows (and its rounded end moves).
    const QRectF beforeGrowth(0, 0, bar.left() + 7, 64);
    const QRectF afterGrowth(bar.left() + 13, 0, numberLeft - bar.left() - 13, 64);
    EXPECT_EQ(part(nine, beforeGrowth), part(ten, beforeGrowth));
    EXPECT_EQ(part(nine, afterGrowth), part(ten, afterGrowth));
    // And the digits end at the same right edge.
    auto rightmostInk = [](const QImage &image) {
        const QRectF number = frames().number;
        for (int x = static_cast<int>(number.right()) - 1; x >= number.left(); --x)
            for (int y = static_cast<int>(number.top()); y < number.bottom(); ++y)
                if (qGray(image.pixel(x, y)) > 110)
                    return x;
        return -1;
    };
    EXPECT_GT(rightmostInk(nine), static_cast<int>(frames().number.right()) - 6);
    EXPECT_NEAR(rightmostInk(nine), rightmostInk(ten), 1);
}

TEST(VolumeHUDPainting, TranslucentBackdropWithRoundedCorners) {
    const QImage image = painted(50, false, false);
    EXPECT_EQ(qAlpha(image.pixel(2, 32)), 0);   // side margin
    EXPECT_EQ(qAlpha(image.pixel(237, 32)), 0); // side margin
    EXPECT_EQ(qAlpha(image.pixel(11, 9)), 0);   // corner
    EXPECT_EQ(qAlpha(image.pixel(20, 32)), volumeHUDBackdropColor(false).alpha());
    EXPECT_EQ(qAlpha(image.pixel(120, 12)), volumeHUDBackdropColor(false).alpha());
    EXPECT_LT(qAlpha(image.pixel(120, 12)), 255);
    EXPECT_EQ(qAlpha(image.pixel(120, 4)), 0); // above the backdrop
}

TEST(VolumeHUDPainting, OpacityDimsEverything) {
    QImage image(240, 64, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    VolumeHUDState state;
    state.volume = 100;
    state.opacity = 0.5;
    paintVolumeHUD(painter, image.size(), state);
    painter.end();
    const QImage full = painted(100, false, false);
    const QPoint backdropOnly(120, 12);
    EXPECT_NEAR(qAlpha(image.pixel(backdropOnly)), qAlpha(full.pixel(backdropOnly)) / 2, 2);
    const QPoint level(100, barRow());
    EXPECT_LT(qAlpha(image.pixel(level)), 200);
}

} // namespace
} // namespace knobly
