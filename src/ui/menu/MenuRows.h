#pragma once

#include <QMenu>
#include <QWidgetAction>

#include <memory>
#include <optional>

class QActionGroup;
class QLabel;
class QSlider;
class QToolButton;

namespace knobly {

// A row's icon: our drawing of `symbol` in a grey that reads on light and dark menus, and
// the desktop theme's `themeName` for hosts that draw the menu themselves.
void setRowIcon(QAction *row, const QString &symbol, double size, const QString &themeName);

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

// The volume slider row: a speaker at each end of a 0-100 slider. Hosts that draw the menu
// themselves get a "Volume N%" submenu instead: a checkable "Mute" and levels 0, 10, ... 100 %
// with the nearest one checked. Both follow the slider's value.
class VolumeSliderRow : public QWidgetAction {
    Q_OBJECT
public:
    explicit VolumeSliderRow(QObject *parent);
    ~VolumeSliderRow() override;
    QSlider *slider() const { return slider_; }
    QAction *mute() const { return mute_; }
    // The level items; each one's data is its level.
    QList<QAction *> levels() const;
    // While muted the row reads "Muted" and its speaker is crossed out.
    void setMuted(bool muted);

private:
    void showVolume(int volume);

    QSlider *slider_;
    QLabel *speaker_;
    bool muted_ = false;
    QAction *submenuItem_;
    std::unique_ptr<QMenu> submenu_; // a QMenu takes no QObject parent
    QAction *mute_;
    QActionGroup *levels_;
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
    // The middle button and row follow the device: "Pause" while it plays.
    void setPlaying(bool playing);

private:
    QAction *previous_;
    QAction *playPause_;
    QAction *next_;
    QToolButton *playPauseButton_;
    std::optional<bool> playing_; // as drawn: the icons are redrawn only when it changes
};

} // namespace knobly
