#include "PanelIcon.h"

#include "KnoblyBuild.h"
#include "StatusItem.h"
#include "Symbols.h"

#include <QCoreApplication>
#include <QPainter>

namespace knobly {

namespace {
// The icon is drawn in the panel's text colour; a light grey reads on dark and light panels.
const QColor kPanelText(0xde, 0xde, 0xde);

// Our own symbolic icons (installed in hicolor), which hosts tint for their panel; distinct
// from the desktop's own volume applet beside them.
QString panelIconName(const QString &symbol, bool reachable) {
    const char *level = "high";
    if (!reachable)
        level = "unreachable";
    else if (symbol == QLatin1String("speaker.slash.fill"))
        level = "muted";
    else if (symbol == QLatin1String("speaker.wave.1.fill"))
        level = "low";
    else if (symbol == QLatin1String("speaker.wave.2.fill"))
        level = "medium";
    return QStringLiteral("%1-%2-symbolic").arg(QLatin1String(build::appId), QLatin1String(level));
}
} // namespace

PanelIcon::PanelIcon(StatusItem *item) : item_(item) {
    if (!item_)
        return;
    item_->setTitle(QStringLiteral("WiiM"));
    const auto image = sfSymbol(symbol_, 14);
    item_->setIcon(panelIconName(symbol_, true), image ? image->render(kPanelText, 64) : QImage());
    shown_ = symbol_ + u' ';
}

void PanelIcon::show(std::optional<std::int64_t> volume, bool muted,
                     std::optional<bool> reachable) {
    if (volume)
        symbol_ = volumeSymbolName(*volume, muted);
    const QString key = symbol_ + (reachable == false ? u'!' : u' ');
    if (!item_ || key == shown_)
        return;
    shown_ = key;
    const auto image = sfSymbol(symbol_, 14);
    QImage picture = image ? image->render(kPanelText, 64) : QImage();
    if (reachable != false) {
        item_->setIcon(panelIconName(symbol_, true), picture);
        return;
    }
    if (const auto mark = systemSymbol(QStringLiteral("xmark.circle.fill"));
        mark && !picture.isNull()) {
        QPainter painter(&picture);
        painter.drawImage(QRect(30, 30, 34, 34),
                          tinted(*mark, QColor(255, 59, 48), 14).render(QColor(), 34));
    }
    item_->setIcon(panelIconName(symbol_, false), picture);
}

void PanelIcon::setToolTip(const QString &statusLine, std::optional<std::int64_t> volume,
                           const QStringList &rooms) {
    QString text = statusLine.isEmpty() ? QStringLiteral("WiiM") : statusLine;
    if (volume)
        text += QCoreApplication::translate("PanelIcon", " \u2014 volume %1%").arg(*volume);
    for (const QString &room : rooms)
        text += u'\n' + room;
    if (!item_ || text == toolTip_)
        return;
    toolTip_ = text;
    item_->setToolTip(QStringLiteral("WiiM"), text);
}

} // namespace knobly
