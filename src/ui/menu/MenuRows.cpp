#include "MenuRows.h"

#include "StatusItem.h"
#include "Symbols.h"

#include <QActionGroup>
#include <QKeyEvent>
#include <QLabel>
#include <QSlider>
#include <QToolButton>

#include <algorithm>

namespace knobly {

namespace {

QColor secondaryLabel(const QWidget *w) {
    QColor c = w->palette().color(QPalette::WindowText);
    c.setAlphaF(0.55f);
    return c;
}

void showSymbol(QLabel *label, const QString &name, double size) {
    if (const auto symbol = sfSymbol(name, size))
        label->setPixmap(symbol->icon(secondaryLabel(label->parentWidget())).pixmap(16, 16));
}

QLabel *symbolLabel(const QString &name, double size, QWidget *parent) {
    auto *label = new QLabel(parent);
    showSymbol(label, name, size);
    label->setAlignment(Qt::AlignCenter);
    return label;
}

QToolButton *transportButton(QAction *action, const QString &symbol, double size, QWidget *parent) {
    auto *button = new QToolButton(parent);
    button->setAutoRaise(true); // borderless until hovered
    button->setGeometry(0, 0, 30, 28);
    if (const auto image = sfSymbol(symbol, size))
        button->setIcon(image->icon(parent->palette().color(QPalette::ButtonText)));
    button->setIconSize(QSize(16, 16));
    button->setToolTip(action->text());
    QObject::connect(button, &QToolButton::clicked, action, &QAction::trigger);
    return button;
}

QAction *actionFor(const QList<QAction *> &actions, const QKeySequence &keys) {
    for (QAction *a : actions) {
        if (a->isEnabled() && a->shortcut() == keys)
            return a;
        if (a->menu())
            if (QAction *inner = actionFor(a->menu()->actions(), keys))
                return inner;
    }
    return nullptr;
}

} // namespace

void setRowIcon(QAction *row, const QString &symbol, double size, const QString &themeName) {
    const auto image = sfSymbol(symbol, size);
    row->setIcon(image ? image->icon(QColor(0x88, 0x88, 0x88)) : QIcon());
    row->setProperty(StatusItem::iconNameProperty, themeName);
}

QAction *PanelMenu::actionForShortcut(const QKeySequence &keys) const {
    return actionFor(actions(), keys);
}

void PanelMenu::keyPressEvent(QKeyEvent *event) {
    if (event->modifiers() & Qt::ControlModifier) {
        if (QAction *action = actionForShortcut(QKeySequence(event->keyCombination()))) {
            close();
            action->trigger();
            return;
        }
    }
    QMenu::keyPressEvent(event);
}

VolumeSliderRow::VolumeSliderRow(QObject *parent)
    : QWidgetAction(parent), submenuItem_(new QAction(this)), submenu_(std::make_unique<QMenu>()),
      mute_(submenu_->addAction(tr("Mute"))), levels_(new QActionGroup(this)) {
    mute_->setCheckable(true);
    submenu_->addSeparator();
    for (int level = 0; level <= 100; level += 10) {
        QAction *item = submenu_->addAction(QStringLiteral("%1%").arg(level));
        item->setData(level);
        item->setCheckable(true);
        levels_->addAction(item);
    }
    submenuItem_->setMenu(submenu_.get());
    auto *row = new QWidget;
    row->setFixedSize(260, 32);
    speaker_ = symbolLabel(QStringLiteral("speaker.fill"), 11, row);
    speaker_->setGeometry(14, 8, 16, 16);
    slider_ = new QSlider(Qt::Horizontal, row);
    slider_->setRange(0, 100);
    slider_->setValue(50);
    slider_->setTracking(true); // report every movement while dragged
    slider_->setFocusPolicy(Qt::NoFocus);
    slider_->setGeometry(36, 6, 168, 20);
    symbolLabel(QStringLiteral("speaker.wave.3.fill"), 11, row)->setGeometry(210, 8, 16, 16);
    setDefaultWidget(row);
    connect(slider_, &QSlider::valueChanged, this, &VolumeSliderRow::showVolume);
    showVolume(slider_->value());
}

VolumeSliderRow::~VolumeSliderRow() = default;

QList<QAction *> VolumeSliderRow::levels() const {
    return levels_->actions();
}

void VolumeSliderRow::setMuted(bool muted) {
    mute_->setChecked(muted);
    if (muted == muted_)
        return;
    muted_ = muted;
    showSymbol(speaker_,
               muted ? QStringLiteral("speaker.slash.fill") : QStringLiteral("speaker.fill"), 11);
    showVolume(slider_->value());
}

void VolumeSliderRow::showVolume(int volume) {
    setText(muted_ ? tr("Muted") : tr("Volume %1%").arg(volume));
    submenuItem_->setText(text());
    const int nearest = (std::clamp(volume, 0, 100) + 5) / 10;
    levels_->actions().at(nearest)->setChecked(true);
}

TransportRow::TransportRow(QObject *parent)
    : QWidgetAction(parent), previous_(new QAction(tr("Previous"), this)),
      playPause_(new QAction(tr("Play"), this)), next_(new QAction(tr("Next"), this)) {
    setText(tr("Playback"));
    setRowIcon(previous_, QStringLiteral("backward.fill"), 13,
               QStringLiteral("media-skip-backward-symbolic"));
    setRowIcon(next_, QStringLiteral("forward.fill"), 13,
               QStringLiteral("media-skip-forward-symbolic"));
    auto *row = new QWidget;
    row->setFixedSize(260, 36);
    transportButton(previous_, QStringLiteral("backward.fill"), 13, row)->move(70, 4);
    playPauseButton_ = transportButton(playPause_, QStringLiteral("play.fill"), 15, row);
    playPauseButton_->move(115, 4);
    transportButton(next_, QStringLiteral("forward.fill"), 13, row)->move(160, 4);
    setDefaultWidget(row);
    setPlaying(false);
}

void TransportRow::setPlaying(bool playing) {
    if (playing_ == playing)
        return;
    playing_ = playing;
    const QString symbol = playing ? QStringLiteral("pause.fill") : QStringLiteral("play.fill");
    playPause_->setText(playing ? tr("Pause") : tr("Play"));
    setRowIcon(playPause_, symbol, 13,
               playing ? QStringLiteral("media-playback-pause-symbolic")
                       : QStringLiteral("media-playback-start-symbolic"));
    const auto image = sfSymbol(symbol, 15);
    playPauseButton_->setIcon(
        image ? image->icon(playPauseButton_->palette().color(QPalette::ButtonText)) : QIcon());
    playPauseButton_->setProperty("symbol", symbol);
    playPauseButton_->setToolTip(playPause_->text());
}

} // namespace knobly
