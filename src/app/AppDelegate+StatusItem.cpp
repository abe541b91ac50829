// The panel item: its icon follows the volume, a scroll steps it, a click opens the menu.
#include "AppDelegate.h"

#include "KnoblyBuild.h"
#include "Symbols.h"

#include <QGuiApplication>
#include <QMenu>
#include <QPainter>
#include <QScreen>

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

void AppDelegate::setupStatusItem() {
    StatusItem::Callbacks callbacks;
    callbacks.activate = [self = weak()](std::optional<QPoint> at) {
        if (AppDelegate *d = self.get())
            d->statusBarActivate(at);
    };
    callbacks.contextMenu = callbacks.activate;
    callbacks.scroll = [self = weak()](int delta) {
        if (AppDelegate *d = self.get())
            d->statusBarScroll(delta);
    };
    if (env_.makeStatusItem)
        statusItem_ = env_.makeStatusItem(std::move(callbacks));
    if (statusItem_) {
        statusItem_->setTitle(QStringLiteral("WiiM"));
        iconSymbol_ = QStringLiteral("hifispeaker.fill");
        const auto image = sfSymbol(iconSymbol_, 14);
        statusItem_->setIcon(panelIconName(iconSymbol_, true),
                             image ? image->render(kPanelText, 64) : QImage());
    }
    buildMenu();
    updateToolTip();
}

void AppDelegate::statusBarScroll(int delta) {
    if (delta > 0)
        adjustVolume(true);
    else if (delta < 0)
        adjustVolume(false);
}

void AppDelegate::statusBarActivate(std::optional<QPoint> at) {
    if (menu_)
        menu_->popup(menuPosition(at));
}

// The host's point when it lies on a screen, else the cursor; then kept inside the screen.
QPoint AppDelegate::menuPosition(std::optional<QPoint> hint) const {
    QPoint p = hint.value_or(QPoint());
    QScreen *screen = hint ? QGuiApplication::screenAt(p) : nullptr;
    if (!screen) {
        p = env_.cursorPosition ? env_.cursorPosition() : QPoint();
        screen = QGuiApplication::screenAt(p);
    }
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    if (!screen || !menu_)
        return p;
    const QRect area = screen->availableGeometry();
    const QSize size = menu_->sizeHint();
    p.setX(std::clamp(p.x(), area.left(), std::max(area.left(), area.right() + 1 - size.width())));
    p.setY(std::clamp(p.y(), area.top(), std::max(area.top(), area.bottom() + 1 - size.height())));
    return p;
}

void AppDelegate::updateIcon(std::int64_t volume) {
    const bool muted = wiiMClient_ && wiiMClient_->isMuted();
    iconSymbol_ = volumeSymbolName(volume, muted);
    shownVolume_ = volume;
    if (volumeRow_)
        volumeRow_->setMuted(muted);
    updateMediaControls();
    showPanelIcon();
    updateToolTip();
}

// The speaker for the volume; while the device does not answer, a speaker crossed out in red
// (and our "unreachable" icon where the host draws icon names).
void AppDelegate::showPanelIcon() {
    if (!statusItem_)
        return;
    const QString key = iconSymbol_ + (reachable_ == false ? u'!' : u' ');
    if (key == shownIcon_)
        return;
    shownIcon_ = key;
    const auto image = sfSymbol(iconSymbol_, 14);
    QImage picture = image ? image->render(kPanelText, 64) : QImage();
    if (reachable_ != false) {
        statusItem_->setIcon(panelIconName(iconSymbol_, true), picture);
        return;
    }
    if (const auto mark = systemSymbol(QStringLiteral("xmark.circle.fill"));
        mark && !picture.isNull()) {
        QPainter painter(&picture);
        painter.drawImage(QRect(30, 30, 34, 34),
                          tinted(*mark, QColor(255, 59, 48), 14).render(QColor(), 34));
    }
    statusItem_->setIcon(panelIconName(iconSymbol_, false), picture);
}

void AppDelegate::setStatusLine(const QString &text) {
    statusLine_ = text;
    if (statusMenuItem_)
        statusMenuItem_->setText(text);
    updateToolTip();
}

void AppDelegate::updateToolTip() {
    if (!statusItem_)
        return;
    QString text = statusLine_.isEmpty() ? QStringLiteral("WiiM") : statusLine_;
    if (wiiMClient_ && shownVolume_ >= 0)
        text += tr(" \u2014 volume %1%").arg(shownVolume_);
    statusItem_->setToolTip(QStringLiteral("WiiM"), text);
}

} // namespace knobly
