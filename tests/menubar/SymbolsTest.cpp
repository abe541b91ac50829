#include "Symbols.h"

#include <QPixmap>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <map>

using namespace knobly;

namespace {

const char *const kNames[] = {
    "hifispeaker.fill",
    "hifispeaker.2.fill",
    "speaker.fill",
    "speaker.slash.fill",
    "speaker.wave.1.fill",
    "speaker.wave.2.fill",
    "speaker.wave.3.fill",
    "checkmark.circle.fill",
    "xmark.circle.fill",
    "music.note",
    "keyboard",
    "plusminus",
    "arrow.down.circle",
    "arrow.clockwise",
    "network",
    "backward.fill",
    "forward.fill",
    "play.fill",
    "pause.fill",
};

// Straight (not premultiplied) pixels, so colours can be read directly.
QImage straight(const QImage &image) {
    return image.convertToFormat(QImage::Format_ARGB32);
}

struct Coverage {
    int opaque = 0;
    int transparent = 0;
};

Coverage coverage(const QImage &image) {
    const QImage s = straight(image);
    Coverage c;
    for (int y = 0; y < s.height(); ++y)
        for (int x = 0; x < s.width(); ++x) {
            const int a = qAlpha(s.pixel(x, y));
            c.opaque += a == 255;
            c.transparent += a == 0;
        }
    return c;
}

// Every pixel with real coverage has `color`; faint edge pixels carry too little colour to
// judge, so they are left out.
::testing::AssertionResult coloredWhereCovered(const QImage &image, const QColor &color) {
    const QImage s = straight(image);
    int covered = 0;
    for (int y = 0; y < s.height(); ++y)
        for (int x = 0; x < s.width(); ++x) {
            const QRgb p = s.pixel(x, y);
            if (qAlpha(p) < 64)
                continue;
            ++covered;
            // Premultiplied storage and smooth scaling cost precision as alpha falls.
            const int tolerance = 2 + 510 / qAlpha(p);
            if (std::abs(qRed(p) - color.red()) > tolerance ||
                std::abs(qGreen(p) - color.green()) > tolerance ||
                std::abs(qBlue(p) - color.blue()) > tolerance)
                return ::testing::AssertionFailure()
                       << "pixel " << x << "," << y << " is " << std::hex << p;
        }
    if (covered == 0)
        return ::testing::AssertionFailure() << "no covered pixels";
    return ::testing::AssertionSuccess();
}

class EverySymbol : public ::testing::TestWithParam<const char *> {};

TEST_P(EverySymbol, DrawsAtItsNaturalSizeAsATemplate) {
    const auto symbol = systemSymbol(QString::fromLatin1(GetParam()));
    ASSERT_TRUE(symbol);
    EXPECT_TRUE(symbol->isTemplate);
    EXPECT_EQ(symbol->size, 0);
    EXPECT_EQ(symbol->image.size(), QSize(64, 64));
    EXPECT_TRUE(symbol->image.hasAlphaChannel());
    const Coverage c = coverage(symbol->image);
    EXPECT_GT(c.opaque, 0);
    EXPECT_GT(c.transparent, 0);
}

TEST_P(EverySymbol, DrawsAtTwiceThePointSize) {
    for (const double points : {14.0, 16.0, 22.0}) {
        const auto symbol = sfSymbol(QString::fromLatin1(GetParam()), points);
        ASSERT_TRUE(symbol) << points;
        const int pixels = static_cast<int>(points * 2);
        EXPECT_EQ(symbol->image.size(), QSize(pixels, pixels)) << points;
        EXPECT_EQ(symbol->size, points);
        EXPECT_TRUE(symbol->isTemplate);
        const Coverage c = coverage(symbol->image);
        EXPECT_GT(c.opaque, 0) << points;
        EXPECT_GT(c.transparent, 0) << points;
    }
}

INSTANTIATE_TEST_SUITE_P(Symbols, EverySymbol, ::testing::ValuesIn(kNames),
                         [](const ::testing::TestParamInfo<const char *> &info) {
                             std::string name = info.param;
                             for (char &ch : name)
                                 if (ch == '.')
                                     ch = '_';
                             return name;
                         });

TEST(Symbols, NoTwoNamesShareADrawing) {
    std::map<QByteArray, QString> seen;
    for (const char *name : kNames) {
        const auto symbol = sfSymbol(QString::fromLatin1(name), 16);
        ASSERT_TRUE(symbol) << name;
        const QImage s = straight(symbol->image);
        const QByteArray bytes(reinterpret_cast<const char *>(s.constBits()),
                               static_cast<qsizetype>(s.sizeInBytes()));
        const auto [it, fresh] = seen.emplace(bytes, QString::fromLatin1(name));
        EXPECT_TRUE(fresh) << name << " looks like " << it->second.toStdString();
    }
}

TEST(Symbols, UnknownNamesGiveNothing) {
    const char *const unknown[] = {
        "",
        "nope",
        "speaker",
        "speaker.wave.4.fill",
        "PLAY.FILL",
        "play.fill.svg",
        ".play.fill",
        "play.fill.",
        "../symbols/play.fill",
        "play..fill",
        "play fill",
        "/play.fill",
    };
    for (const char *name : unknown) {
        EXPECT_FALSE(systemSymbol(QString::fromLatin1(name))) << '"' << name << '"';
        EXPECT_FALSE(sfSymbol(QString::fromLatin1(name), 14)) << '"' << name << '"';
    }
}

TEST(Symbols, UnusableSizesGiveNothing) {
    for (const double size : {0.0, -4.0, std::numeric_limits<double>::quiet_NaN(),
                              std::numeric_limits<double>::infinity(), 1e9})
        EXPECT_FALSE(sfSymbol(QStringLiteral("play.fill"), size)) << size;
}

TEST(Symbols, TintedColoursEveryCoveredPixelAndKeepsAlpha) {
    const auto original = sfSymbol(QStringLiteral("speaker.wave.2.fill"), 14);
    ASSERT_TRUE(original);
    const QImage before = original->image.copy();
    const QColor red(220, 30, 40);

    const SymbolImage t = tinted(*original, red, 14);

    EXPECT_FALSE(t.isTemplate);
    EXPECT_EQ(t.size, 14);
    ASSERT_EQ(t.image.size(), QSize(28, 28));
    EXPECT_TRUE(coloredWhereCovered(t.image, red));
    const QImage a = straight(original->image);
    const QImage b = straight(t.image);
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x)
            ASSERT_LE(std::abs(qAlpha(a.pixel(x, y)) - qAlpha(b.pixel(x, y))), 1) << x << "," << y;

    EXPECT_TRUE(original->isTemplate);
    EXPECT_EQ(original->image, before);
}

TEST(Symbols, TintedDrawsAtTheSizeAsked) {
    const auto natural = systemSymbol(QStringLiteral("checkmark.circle.fill"));
    ASSERT_TRUE(natural);
    const SymbolImage t = tinted(*natural, Qt::green, 10);
    EXPECT_EQ(t.image.size(), QSize(20, 20));
    EXPECT_EQ(t.size, 10);
    EXPECT_TRUE(coloredWhereCovered(t.image, Qt::green));
    const Coverage c = coverage(t.image);
    EXPECT_GT(c.opaque, 0);
    EXPECT_GT(c.transparent, 0);
}

TEST(Symbols, RenderFillsATemplateWithTheColourGiven) {
    const auto symbol = sfSymbol(QStringLiteral("play.fill"), 14);
    ASSERT_TRUE(symbol);
    for (const QColor color : {QColor(Qt::white), QColor(Qt::black), QColor(40, 90, 200)}) {
        const QImage out = symbol->render(color, 40);
        ASSERT_EQ(out.size(), QSize(40, 40));
        EXPECT_TRUE(coloredWhereCovered(out, color)) << color.name().toStdString();
        const Coverage c = coverage(out);
        EXPECT_GT(c.opaque, 0);
        EXPECT_GT(c.transparent, 0);
    }
}

TEST(Symbols, RenderKeepsATintedImagesOwnColour) {
    const auto symbol = sfSymbol(QStringLiteral("xmark.circle.fill"), 14);
    ASSERT_TRUE(symbol);
    const QColor orange(250, 140, 0);
    const SymbolImage t = tinted(*symbol, orange, 14);
    EXPECT_TRUE(coloredWhereCovered(t.render(Qt::blue, 28), orange));
    EXPECT_TRUE(coloredWhereCovered(t.render(Qt::blue, 56), orange));
}

TEST(Symbols, IconOffersOneAndTwoTimesTheSize) {
    const auto symbol = sfSymbol(QStringLiteral("music.note"), 14);
    ASSERT_TRUE(symbol);
    const QIcon icon = symbol->icon(Qt::white);
    const auto sizes = icon.availableSizes();
    EXPECT_TRUE(sizes.contains(QSize(14, 14)));
    EXPECT_TRUE(sizes.contains(QSize(28, 28)));
    const QImage big = icon.pixmap(QSize(28, 28)).toImage();
    EXPECT_EQ(big.size(), QSize(28, 28));
    EXPECT_TRUE(coloredWhereCovered(big, Qt::white));

    const auto natural = systemSymbol(QStringLiteral("music.note"));
    ASSERT_TRUE(natural);
    const auto naturalSizes = natural->icon(Qt::black).availableSizes();
    EXPECT_TRUE(naturalSizes.contains(QSize(32, 32)));
    EXPECT_TRUE(naturalSizes.contains(QSize(64, 64)));

    EXPECT_TRUE(SymbolImage{}.icon(Qt::black).isNull());
    EXPECT_TRUE(SymbolImage{}.render(Qt::black, 16).isNull());
}

TEST(Symbols, FreedesktopVolumeIconNames) {
    const std::pair<const char *, const char *> cases[] = {
        {"speaker.slash.fill", "audio-volume-muted"},
        {"speaker.wave.1.fill", "audio-volume-low"},
        {"speaker.wave.2.fill", "audio-volume-medium"},
        {"speaker.wave.3.fill", "audio-volume-high"},
        {"hifispeaker.fill", "audio-speakers"},
        {"speaker.fill", "audio-volume-high"},
        {"play.fill", "audio-volume-high"},
        {"", "audio-volume-high"},
    };
    for (const auto &[symbol, icon] : cases)
        EXPECT_EQ(freedesktopVolumeIconName(QString::fromLatin1(symbol)), QString::fromLatin1(icon))
            << symbol;
}

} // namespace
