#pragma once

#include <QColor>
#include <QIcon>
#include <QImage>
#include <QString>

#include <optional>

namespace knobly {

// A symbol drawing: a shape with alpha, `size` points square. A template image is drawn in
// the colour of whatever shows it (menu text, panel); a tinted one keeps its own colour.
struct SymbolImage {
    QImage image; // at twice the point size, for sharp drawing on high-density screens
    double size = 0;
    bool isTemplate = true;

    // The image as an icon; template images are filled with `templateColor`.
    QIcon icon(const QColor &templateColor) const;
    QImage render(const QColor &templateColor, int pixels) const;
};

// Our own drawings under the names the menu and the icon use ("speaker.wave.2.fill",
// "checkmark.circle.fill", ...); nothing for a name we do not have.
// systemSymbol gives an unsized image (size 0) drawn at 64 px; icon() then offers it at 32
// and 64 px.
std::optional<SymbolImage> systemSymbol(const QString &name);
std::optional<SymbolImage> sfSymbol(const QString &name, double size);

// A coloured copy: `color` wherever the image has coverage, its alpha kept; never a template.
// With size 0 the copy keeps the image's own pixel size.
SymbolImage tinted(const SymbolImage &image, const QColor &color, double size);

// The icon theme's name for a volume symbol, for desktops whose panels draw themed icons.
QString freedesktopVolumeIconName(const QString &symbolName);

// The speaker for a level, the same in the panel and the overlay: slashed when muted or
// silent (a level below 0 too), then one to three waves.
QString volumeSymbolName(std::int64_t volume, bool muted);

} // namespace knobly
