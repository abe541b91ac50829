#pragma once

#include <QMenu>
#include <QWidgetAction>

class QSlider;
class QToolButton;

namespace knobly {

// The panel menu. Its Ctrl shortcuts work while it is open, where Qt would not look for
// them (the menu is a popup, not an active window).
class PanelMenu : public QMenu {
    Q_OBJECT
public:
    using QMenu::QMenu;

    // The action in this menu or its submenus whose shortcut is `keys`.
    QAction *actionForShortcut(const QKeySequence &keys) const;

protected:
    void keyPressEvent(QKeyEvent *event) override;
};

// The volume slider row: a speaker at each end of a 0-100 slider. Its text reads
// "Volume N%" for hosts that draw the menu themselves.
class VolumeSliderRow : public QWidgetAction {
    Q_OBJECT
public:
    explicit VolumeSliderRow(QObject *parent);
    QSlider *slider() const { return slider_; }

private:
    QSlider *slider_;
};

// Previous, play/pause and next. The three buttons drive three child actions, which is
// also how hosts that draw the menu themselves see this row.
class TransportRow : public QWidgetAction {
    Q_OBJECT
public:
    explicit TransportRow(QObject *parent);
    QAction *previous() const { return previous_; }
    QAction *playPause() const { return playPause_; }
    QAction *next() const { return next_; }
    QToolButton *playPauseButton() const { return playPauseButton_; }

private:
    QAction *previous_;
    QAction *playPause_;
    QAction *next_;
    QToolButton *playPauseButton_;
};

} // namespace knobly
