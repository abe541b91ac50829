// The volume overlay offscreen: its timeline on virtual time and what it paints.
#include "FakeMainQueue.h"
#include "VolumeHUDContent.h"
#include "VolumeHUDWindow.h"

#include <QImage>
#include <QPainter>

#include <gtest/gtest.h>

#include <memory>
#include <utility>
#include <vector>

namespace knobly {
namespace {

class VolumeHUDTest : public ::testing::Test {
protected:
    void SetUp() override { MainQueue::install(queue); }
    void TearDown() override { MainQueue::install(nullptr); }

    std::shared_ptr<FakeMainQueue> queue = std::make_shared<FakeMainQueue>();
};

// Each show starts afresh: the hides and fade steps of earlier shows come due and do nothing.
TEST_F(VolumeHUDTest, StaysUpUntilAfterTheLastShowThenFadesStepByStep) {
    VolumeHUDWindow hud;
    hud.show(10);
    queue->advance(1.35);
    ASSERT_TRUE(hud.isFading() && hud.opacity() < 1.0);
    hud.show(20);
    EXPECT_FALSE(hud.isFading() || hud.opacity() < 1.0);
    queue->advance(0.5);
    hud.show(130, true);
    EXPECT_TRUE(hud.volume() == 100 && hud.isMuted());
    queue->advance(1.19);
    EXPECT_TRUE(hud.isVisible() && !hud.isFading());
    queue->advance(0.025);
    for (int step = 0; step < 10; ++step, queue->advance(0.03)) {
        EXPECT_TRUE(hud.isVisible() && hud.isFading()) << step;
        EXPECT_NEAR(hud.opacity(), 1.0 - step / 10.0, 1e-9) << step;
    }
    EXPECT_FALSE(hud.isVisible() || hud.isFading()) << "still up 1.515 s after the last show";
    EXPECT_EQ(queue->pendingCount(), 0u);
    {
        VolumeHUDWindow gone;
        gone.show(20);
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
    EXPECT_TRUE(hud.mask().contains(QPoint(120, 32)));
    for (const QPoint outside : {QPoint(2, 32), QPoint(11, 9), QPoint(228, 54)}) // margin, corners
        EXPECT_FALSE(hud.mask().contains(outside)) << outside.x();
    const QImage full = hud.grab().toImage();
    queue->advance(1.35);
    // The level bar's white dims as the overlay fades.
    EXPECT_LT(qGray(hud.grab().toImage().pixel(70, 31)), qGray(full.pixel(70, 31)) - 40);
    queue->advance(2);
    hud.setCompositingOverride(true); // a compositor came up meanwhile
    hud.show(50);
    EXPECT_TRUE(hud.mask().isEmpty());
}

TEST(VolumeHUDPainting, SymbolLevelAndNumberFollowTheVolume) {
    const VolumeHUDFrames f = volumeHUDFrames(QSizeF(kVolumeHUDWidth, kVolumeHUDHeight));
    // waves: 0 is the slashed speaker; shown: the level and number painted.
    // clang-format off
    struct Row { std::int64_t volume; bool muted; int waves; std::int64_t shown; };
    const Row rows[] = {
        {0, false, 0, 0}, {1, false, 1, 1}, {32, false, 1, 32}, {33, false, 2, 33},
        {65, false, 2, 65}, {66, false, 3, 66}, {100, false, 3, 100}, {130, false, 3, 100},
        {50, true, 0, 50}, {50, false, 2, 50}, {-4, true, 0, 0},
    };
    // clang-format on
    const int y = static_cast<int>(f.bar.top()) + 1;
    std::vector<std::pair<Row, QImage>> seen;
    for (const Row &row : rows) {
        SCOPED_TRACE(::testing::Message() << row.volume << (row.muted ? " muted" : ""));
        QImage image(kVolumeHUDWidth, kVolumeHUDHeight, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        paintVolumeHUD(painter, image.size(), {row.volume, row.muted, 1.0, true});
        painter.end();
        // The white level from the track's start; it must not run past the track.
        int lit = 0;
        for (int x = static_cast<int>(f.bar.left()); x < f.number.left(); ++x)
            lit += qGray(image.pixel(x, y)) > 200;
        EXPECT_NEAR(lit, f.bar.width() * static_cast<double>(row.shown) / 100, 3);
        // The same symbol and digits as other rows exactly when they show the same.
        for (const auto &[other, before] : seen) {
            const auto same = [&](const QRectF &frame) {
                return image.copy(frame.toAlignedRect()) == before.copy(frame.toAlignedRect());
            };
            EXPECT_EQ(same(f.symbol), other.waves == row.waves) << "vs " << other.volume;
            EXPECT_EQ(same(f.number), other.shown == row.shown) << "vs " << other.volume;
        }
        seen.emplace_back(row, image);
    }
}

} // namespace
} // namespace knobly
