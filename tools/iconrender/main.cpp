// knobly-iconrender SVG OUTDIR NAME SIZE...: writes OUTDIR/<size>x<size>/NAME.png per size.
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>

#include <cstdio>

int main(int argc, char *argv[]) {
    // Rendering needs no display, wherever the build runs.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() < 5) {
        std::fputs("usage: knobly-iconrender SVG OUTDIR NAME SIZE...\n", stderr);
        return 2;
    }
    QSvgRenderer svg(args[1]);
    if (!svg.isValid()) {
        std::fprintf(stderr, "knobly-iconrender: cannot read %s\n", qPrintable(args[1]));
        return 1;
    }
    for (const QString &word : args.mid(4)) {
        bool ok = false;
        const int size = word.toInt(&ok);
        if (!ok || size < 1 || size > 1024) {
            std::fprintf(stderr, "knobly-iconrender: bad size %s\n", qPrintable(word));
            return 2;
        }
        QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        svg.render(&painter);
        painter.end();
        const QString dir = QStringLiteral("%1/%2x%2").arg(args[2]).arg(size);
        const QString file = QStringLiteral("%1/%2.png").arg(dir, args[3]);
        if (!QDir().mkpath(dir) || !image.save(file, "PNG")) {
            std::fprintf(stderr, "knobly-iconrender: cannot write %s\n", qPrintable(file));
            return 1;
        }
    }
    return 0;
}
