#include "Symbols.h"

#include <QFile>
#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>

#include <cmath>
#include <mutex>

// The drawings live in a static library; without this call the linker would drop them.
static void initSymbolResources() {
    Q_INIT_RESOURCE(symbols);
}

namespace knobly {

namespace {

constexpr int kNaturalPixels = 64;
// Beyond this a "symbol" is a caller's mistake, not a drawing to allocate memory for.
constexpr double kMaxPoints = 512;

// Only plain names: a name must not reach other resources through "/" or "..".
bool plainName(const QString &name) {
    if (name.isEmpty() || name.startsWith(u'.') || name.endsWith(u'.') ||
        name.contains(QStringLiteral("..")))
        return false;
    for (const QChar c : name) {
        const bool ok = (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') || c == u'.';
        if (!ok)
            return false;
    }
    return true;
}

QImage transparentImage(int pixels) {
    QImage image(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    return image;
}

std::optional<QImage> drawSymbol(const QString &name, int pixels) {
    static std::once_flag once;
    std::call_once(once, initSymbolResources);
    if (!plainName(name))
        return std::nullopt;
    const QString path = QStringLiteral(":/knobly/symbols/") + name + QStringLiteral(".svg");
    if (!QFile::exists(path))
        return std::nullopt;
    QSvgRenderer renderer(path);
    if (!renderer.isValid())
        return std::nullopt;
    QImage image = transparentImage(pixels);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    renderer.render(&painter, QRectF(0, 0, pixels, pixels));
    painter.end();
    return image;
}

// The image at `pixels` square, premultiplied so the composition modes below are exact.
QImage scaledTo(const QImage &image, int pixels) {
    QImage out =
        image.width() == pixels && image.height() == pixels
            ? image
            : image.scaled(pixels, pixels, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    out = out.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    // A shared copy would let the painter below write into the caller's image.
    out.detach();
    return out;
}

QImage filled(QImage image, const QColor &color, QPainter::CompositionMode mode) {
    QPainter painter(&image);
    painter.setCompositionMode(mode);
    painter.fillRect(image.rect(), color);
    painter.end();
    return image;
}

bool usableSize(double size) {
    return std::isfinite(size) && size > 0 && size <= kMaxPoints;
}

int pixelsFor(double points) {
    return std::max(1, static_cast<int>(std::lround(points * 2)));
}

} // namespace

QImage SymbolImage::render(const QColor &templateColor, int pixels) const {
    if (image.isNull() || pixels <= 0)
        return {};
    QImage out = scaledTo(image, pixels);
    if (!isTemplate)
        return out;
    // SourceIn rather than SourceAtop: a translucent menu colour should make the symbol
    // translucent too.
    return filled(std::move(out), templateColor, QPainter::CompositionMode_SourceIn);
}

QIcon SymbolImage::icon(const QColor &templateColor) const {
    QIcon result;
    if (image.isNull())
        return result;
    const bool sized = usableSize(size);
    const int oneX = sized ? std::max(1, static_cast<int>(std::lround(size))) : image.width() / 2;
    const int twoX = sized ? pixelsFor(size) : image.width();
    for (const int pixels : {oneX, twoX}) {
        if (pixels <= 0)
            continue;
        const QPixmap pixmap = QPixmap::fromImage(render(templateColor, pixels));
        result.addPixmap(pixmap);
        // A coloured mark keeps its colour on a disabled row (the menu's status line).
        if (!isTemplate)
            result.addPixmap(pixmap, QIcon::Disabled);
    }
    return result;
}

std::optional<SymbolImage> systemSymbol(const QString &name) {
    auto image = drawSymbol(name, kNaturalPixels);
    if (!image)
        return std::nullopt;
    return SymbolImage{std::move(*image), 0, true};
}

std::optional<SymbolImage> sfSymbol(const QString &name, double size) {
    if (!usableSize(size))
        return std::nullopt;
    auto image = drawSymbol(name, pixelsFor(size));
    if (!image)
        return std::nullopt;
    return SymbolImage{std::move(*image), size, true};
}

SymbolImage tinted(const SymbolImage &image, const QColor &color, double size) {
    if (image.image.isNull())
        return SymbolImage{QImage(), size, false};
    const bool sized = usableSize(size);
    const int pixels = sized ? pixelsFor(size) : image.image.width();
    QImage out = filled(scaledTo(image.image, pixels), color, QPainter::CompositionMode_SourceAtop);
    return SymbolImage{std::move(out), sized ? size : image.size, false};
}

QString volumeSymbolName(std::int64_t volume, bool muted) {
    if (muted || volume <= 0)
        return QStringLiteral("speaker.slash.fill");
    if (volume < 33)
        return QStringLiteral("speaker.wave.1.fill");
    if (volume < 66)
        return QStringLiteral("speaker.wave.2.fill");
    return QStringLiteral("speaker.wave.3.fill");
}

QString freedesktopVolumeIconName(const QString &symbolName) {
    if (symbolName == QLatin1String("speaker.slash.fill"))
        return QStringLiteral("audio-volume-muted");
    if (symbolName == QLatin1String("speaker.wave.1.fill"))
        return QStringLiteral("audio-volume-low");
    if (symbolName == QLatin1String("speaker.wave.2.fill"))
        return QStringLiteral("audio-volume-medium");
    if (symbolName == QLatin1String("speaker.wave.3.fill"))
        return QStringLiteral("audio-volume-high");
    if (symbolName == QLatin1String("hifispeaker.fill"))
        return QStringLiteral("audio-speakers");
    return QStringLiteral("audio-volume-high");
}

} // namespace knobly
