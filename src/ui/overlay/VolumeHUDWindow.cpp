#include "VolumeHUDWindow.h"

#include "MainQueue.h"
#include "VolumeHUDContent.h"

#include <QGuiApplication>
#include <QPaintEvent>
#include <QPainter>
#include <QPointer>
#include <QRegion>
#include <QScreen>

#include <xcb/xcb.h>

#include <cmath>
#include <cstdlib>
#include <string>

namespace knobly {

namespace {

// How far up the screen the overlay's bottom edge sits, as a share of the screen height.
constexpr double kBottomOffset = 0.15;

xcb_connection_t *x11Connection() {
    if (!qGuiApp || QGuiApplication::platformName() != QLatin1String("xcb"))
        return nullptr;
    auto *x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    return x11 ? x11->connection() : nullptr;
}

} // namespace

VolumeHUDWindow::VolumeHUDWindow()
    : QWidget(nullptr, Qt::ToolTip | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                           Qt::WindowTransparentForInput | Qt::WindowDoesNotAcceptFocus) {
    setAttribute(Qt::WA_ShowWithoutActivating);
    setAttribute(Qt::WA_X11DoNotAcceptFocus);
    // Always an alpha visual: with a compositor it is see-through; without one the mask
    // cuts away the corners that would otherwise show black.
    setAttribute(Qt::WA_TranslucentBackground);
    setFocusPolicy(Qt::NoFocus);
    setFixedSize(kVolumeHUDWidth, kVolumeHUDHeight);
    setWindowTitle(QStringLiteral("Knobly volume"));
}

VolumeHUDWindow::~VolumeHUDWindow() = default;

bool VolumeHUDWindow::compositorRunning() {
    xcb_connection_t *connection = x11Connection();
    if (!connection)
        return true; // Wayland always composites
    int screen = 0;
    char *host = nullptr;
    int display = 0;
    if (xcb_parse_display(nullptr, &host, &display, &screen) == 0)
        screen = 0;
    std::free(host);
    const std::string name = "_NET_WM_CM_S" + std::to_string(screen);
    const xcb_intern_atom_cookie_t atomCookie =
        xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(name.size()), name.c_str());
    xcb_intern_atom_reply_t *atom = xcb_intern_atom_reply(connection, atomCookie, nullptr);
    if (!atom)
        return false; // cannot tell: the shaped opaque window looks right either way
    const xcb_get_selection_owner_cookie_t ownerCookie =
        xcb_get_selection_owner(connection, atom->atom);
    std::free(atom);
    xcb_get_selection_owner_reply_t *owner =
        xcb_get_selection_owner_reply(connection, ownerCookie, nullptr);
    const bool owned = owner && owner->owner != XCB_NONE;
    std::free(owner);
    return owned;
}

void VolumeHUDWindow::setCompositingOverride(std::optional<bool> composited) {
    compositingOverride_ = composited;
}

void VolumeHUDWindow::refreshCompositing() {
    composited_ = compositingOverride_ ? *compositingOverride_ : compositorRunning();
    useWindowOpacity_ = composited_ && x11Connection() != nullptr;
    if (composited_) {
        clearMask();
        underneath_ = QImage();
        return;
    }
    const QPolygon outline = volumeHUDBackdropPath(size()).toFillPolygon().toPolygon();
    setMask(QRegion(outline));
}

void VolumeHUDWindow::placeOnScreen() {
    const QScreen *screen = QGuiApplication::primaryScreen();
    if (!screen)
        return; // keep the last position
    const QRect area = screen->geometry();
    const double bottom = area.y() + area.height() - kBottomOffset * area.height();
    const int x = area.x() + (area.width() - kVolumeHUDWidth) / 2;
    const int y = static_cast<int>(std::lround(bottom)) - kVolumeHUDHeight;
    move(x, y);
}

void VolumeHUDWindow::show(std::int64_t volume, bool muted) {
    ++generation_; // drops the pending hide and any running fade
    fading_ = false;
    volume_ = clampVolume(volume);
    muted_ = muted;
    const bool wasVisible = isVisible();
    placeOnScreen();
    if (!wasVisible) {
        refreshCompositing();
        if (!composited_) {
            // Taken before we are mapped, so it is the desktop and not us.
            if (QScreen *screen = QGuiApplication::primaryScreen())
                underneath_ = screen->grabWindow(0, x(), y(), width(), height()).toImage();
        }
    }
    applyOpacity(1.0);
    QWidget::show();
    raise();
    update();
    scheduleHide();
}

void VolumeHUDWindow::scheduleHide() {
    const std::uint64_t generation = generation_;
    QPointer<VolumeHUDWindow> self(this);
    MainQueue::main().asyncAfter(kHideDelay, [self, generation] {
        if (!self || self->generation_ != generation)
            return;
        self->fading_ = true;
        self->fadeStep(generation, 1);
    });
}

void VolumeHUDWindow::fadeStep(std::uint64_t generation, int step) {
    QPointer<VolumeHUDWindow> self(this);
    MainQueue::main().asyncAfter(kFadeDuration / kFadeSteps, [self, generation, step] {
        if (!self || self->generation_ != generation)
            return;
        if (step < kFadeSteps) {
            self->applyOpacity(1.0 - static_cast<double>(step) / kFadeSteps);
            self->fadeStep(generation, step + 1);
            return;
        }
        self->applyOpacity(0.0);
        self->fading_ = false;
        self->hide();
        self->underneath_ = QImage();
    });
}

void VolumeHUDWindow::applyOpacity(double opacity) {
    opacity_ = opacity;
    if (useWindowOpacity_) {
        setWindowOpacity(opacity);
        return;
    }
    // Left over from a fade while a compositor ran.
    if (windowOpacity() < 1.0)
        setWindowOpacity(1.0);
    update();
}

void VolumeHUDWindow::paintEvent(QPaintEvent *event) {
    QPainter painter(this);
    painter.setClipRegion(event->region());
    VolumeHUDState state;
    state.volume = volume_;
    state.muted = muted_;
    state.opacity = useWindowOpacity_ ? 1.0 : opacity_;
    state.opaqueBackdrop = !composited_;
    if (!composited_) {
        // Nothing composites, so every pixel we leave is what shows: the desktop as it was,
        // then the overlay on top with our own alpha.
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        if (underneath_.isNull())
            painter.fillRect(rect(), Qt::black);
        else
            painter.drawImage(rect(), underneath_);
        painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    }
    paintVolumeHUD(painter, size(), state);
}

} // namespace knobly
