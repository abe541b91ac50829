#include "VolumeHUDContent.h"

#include "Symbols.h"

#include <QFont>
#include <QFontMetricsF>
#include <QImage>
#include <QPaintDevice>
#include <QPainter>

#include <algorithm>
#include <cmath>

namespace knobly {

namespace {

constexpr double kPaddingX = 18;
constexpr double kPaddingY = 16;
constexpr double kSpacing = 12;
constexpr double kSymbolFrame = 20;
constexpr double kSymbolSize = 14;
constexpr double kNumberFrame = 26;
constexpr double kBarHeight = 4;
// The taller of the 14 px symbol and a line of 12 px text.
constexpr double kRowHeight = 16;
constexpr int kFontPixels = 12;

QFont numberFont() {
    QFont font;
    // Pixels, not points: the frames around the text are in pixels too, and "100" has to
    // fit its 26 px frame whatever the screen's DPI.
    font.setPixelSize(kFontPixels);
    font.setWeight(QFont::Medium);
    return font;
}

void fillCapsule(QPainter &painter, const QRectF &rect, const QColor &color) {
    if (rect.width() <= 0 || rect.height() <= 0)
        return;
    const double radius = std::min(rect.width(), rect.height()) / 2;
    painter.setPen(Qt::NoPen);
    painter.setBrush(color);
    painter.drawRoundedRect(rect, radius, radius);
}

void paintSymbol(QPainter &painter, const QRectF &frame, const QString &name) {
    const auto symbol = sfSymbol(name, kSymbolSize);
    if (!symbol)
        return;
    const double ratio = painter.device() ? painter.device()->devicePixelRatioF() : 1.0;
    const int pixels = static_cast<int>(std::ceil(kSymbolSize * ratio));
    const QImage image = symbol->render(volumeHUDPrimaryColor(), pixels);
    const QRectF target(frame.center().x() - kSymbolSize / 2, frame.center().y() - kSymbolSize / 2,
                        kSymbolSize, kSymbolSize);
    painter.drawImage(target, image);
}

// Each digit in a cell as wide as the widest digit, so the number never jitters as it
// changes, whatever the font's own figures are like.
void paintNumber(QPainter &painter, const QRectF &frame, std::int64_t volume) {
    const QFont font = numberFont();
    const QFontMetricsF metrics(font, painter.device());
    double cell = 0;
    for (char digit = '0'; digit <= '9'; ++digit)
        cell = std::max(cell, metrics.horizontalAdvance(QChar::fromLatin1(digit)));
    const QString text = QString::number(volume);
    painter.setFont(font);
    painter.setPen(volumeHUDSecondaryColor());
    double right = frame.right();
    for (qsizetype i = text.size() - 1; i >= 0; --i) {
        const QRectF box(right - cell, frame.top(), cell, frame.height());
        painter.drawText(box, Qt::AlignCenter, QString(text.at(i)));
        right -= cell;
    }
}

} // namespace

QColor volumeHUDBackdropColor(bool opaque) {
    return opaque ? QColor(30, 30, 30) : QColor(30, 30, 30, 199);
}

QColor volumeHUDPrimaryColor() {
    return QColor(255, 255, 255);
}

QColor volumeHUDSecondaryColor() {
    return QColor(255, 255, 255, 166);
}

QColor volumeHUDTrackColor() {
    return QColor(255, 255, 255, 51);
}

std::int64_t clampVolume(std::int64_t volume) {
    return std::clamp<std::int64_t>(volume, 0, 100);
}

VolumeHUDFrames volumeHUDFrames(const QSizeF &window) {
    const double height = kPaddingY * 2 + kRowHeight;
    const QRectF backdrop((window.width() - kVolumeHUDBackdropWidth) / 2,
                          (window.height() - height) / 2, kVolumeHUDBackdropWidth, height);
    const double rowTop = backdrop.top() + kPaddingY;
    const double left = backdrop.left() + kPaddingX;
    const double right = backdrop.right() - kPaddingX;

    VolumeHUDFrames frames;
    frames.backdrop = backdrop;
    frames.symbol = QRectF(left, rowTop, kSymbolFrame, kRowHeight);
    frames.number = QRectF(right - kNumberFrame, rowTop, kNumberFrame, kRowHeight);
    const double barLeft = frames.symbol.right() + kSpacing;
    const double barRight = frames.number.left() - kSpacing;
    frames.bar = QRectF(barLeft, rowTop + (kRowHeight - kBarHeight) / 2,
                        std::max(0.0, barRight - barLeft), kBarHeight);
    return frames;
}

QPainterPath volumeHUDBackdropPath(const QSizeF &window) {
    QPainterPath path;
    path.addRoundedRect(volumeHUDFrames(window).backdrop, kVolumeHUDCornerRadius,
                        kVolumeHUDCornerRadius);
    return path;
}

void paintVolumeHUD(QPainter &painter, const QSizeF &window, const VolumeHUDState &state) {
    const std::int64_t volume = clampVolume(state.volume);
    const VolumeHUDFrames frames = volumeHUDFrames(window);

    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.setOpacity(std::clamp(state.opacity, 0.0, 1.0));

    painter.setPen(Qt::NoPen);
    painter.setBrush(volumeHUDBackdropColor(state.opaqueBackdrop));
    painter.drawPath(volumeHUDBackdropPath(window));

    paintSymbol(painter, frames.symbol, volumeSymbolName(volume, state.muted));

    fillCapsule(painter, frames.bar, volumeHUDTrackColor());
    const double level = std::max(0.0, frames.bar.width() * static_cast<double>(volume) / 100.0);
    fillCapsule(painter, QRectF(frames.bar.left(), frames.bar.top(), level, frames.bar.height()),
                volumeHUDPrimaryColor());

    paintNumber(painter, frames.number, volume);
    painter.restore();
}

} // namespace knobly
