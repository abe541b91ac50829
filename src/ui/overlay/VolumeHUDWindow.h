#pragma once

#include <QImage>
#include <QWidget>

#include <cstdint>
#include <optional>

namespace knobly {

// The on-screen volume overlay: 240 x 64, click-through, never focused, above other
// windows, near the bottom of the main screen; it fades 1.2 s after the last show.
class VolumeHUDWindow : public QWidget {
    Q_OBJECT
public:
    static constexpr double kHideDelay = 1.2;
    static constexpr double kFadeDuration = 0.3;
    static constexpr int kFadeSteps = 10;

    VolumeHUDWindow();
    ~VolumeHUDWindow() override;

    void show(std::int64_t volume, bool muted = false);

    // What is shown, for tests.
    std::int64_t volume() const { return volume_; }
    bool isMuted() const { return muted_; }
    double opacity() const { return opacity_; }
    bool isFading() const { return fading_; }

    // Whether translucency works here; without it the overlay is an opaque shaped window
    // that fades by painting itself with less alpha.
    bool isComposited() const { return composited_; }
    // Tests force either way; nullopt (the default) asks the display server at each show.
    void setCompositingOverride(std::optional<bool> composited);

    // On X11, whether a compositing manager owns _NET_WM_CM_S<screen>; elsewhere true.
    static bool compositorRunning();

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void refreshCompositing();
    void placeOnScreen();
    void scheduleHide();
    void fadeStep(std::uint64_t generation, int step);
    void applyOpacity(double opacity);

    std::int64_t volume_ = 0;
    bool muted_ = false;
    double opacity_ = 1.0;
    bool fading_ = false;
    bool composited_ = true;
    // Only X11 compositors honour the window's opacity; elsewhere we paint the alpha.
    bool useWindowOpacity_ = false;
    std::optional<bool> compositingOverride_;
    // A later show or hide makes work scheduled for an earlier one do nothing.
    std::uint64_t generation_ = 0;
    // The desktop under the overlay, so the fade looks right where nothing composites.
    QImage underneath_;
};

} // namespace knobly
