#pragma once

#include <QColor>
#include <QPainterPath>
#include <QRectF>
#include <QSizeF>
#include <QString>

#include <cstdint>

class QPainter;

namespace knobly {

// What the overlay shows, painted by paintVolumeHUD.
struct VolumeHUDState {
    std::int64_t volume = 0; // 0...100; clamped again when painted
    bool muted = false;
    double opacity = 1.0;
    // Where nothing composites, translucency shows as black: paint the backdrop opaque.
    bool opaqueBackdrop = false;
};

// The overlay's layout in window coordinates, all in logical pixels.
struct VolumeHUDFrames {
    QRectF backdrop;
    QRectF symbol; // the 20 px frame the symbol is centred in
    QRectF bar;    // the whole track
    QRectF number; // the 26 px frame the digits are right-aligned in
};

inline constexpr int kVolumeHUDWidth = 240;
inline constexpr int kVolumeHUDHeight = 64;
inline constexpr double kVolumeHUDBackdropWidth = 220;
inline constexpr double kVolumeHUDCornerRadius = 18;

// Colours on the dark backdrop.
QColor volumeHUDBackdropColor(bool opaque);
QColor volumeHUDPrimaryColor();
QColor volumeHUDSecondaryColor();
QColor volumeHUDTrackColor();

std::int64_t clampVolume(std::int64_t volume);

VolumeHUDFrames volumeHUDFrames(const QSizeF &window);

// The rounded backdrop, also the window's shape where nothing composites.
QPainterPath volumeHUDBackdropPath(const QSizeF &window);

// Paints the whole overlay into `window` (origin at 0,0) on whatever the painter draws to.
void paintVolumeHUD(QPainter &painter, const QSizeF &window, const VolumeHUDState &state);

} // namespace knobly
