#pragma once

#include "MenuRows.h"

#include <QAction>
#include <QObject>
#include <QPointer>
#include <QSlider>
#include <QToolButton>

#include <functional>
#include <memory>

namespace knobly {

class DeviceController;
class GroupController;
class GroupMenu;

// The panel menu: built once, then kept in line with the controller's device, its state and
// the devices found. Rows change only when what they show changed, so an idle poll exports
// nothing.
class TrayMenu : public QObject {
    Q_OBJECT
public:
    // What the menu asks of the rest of the program.
    struct Actions {
        std::function<void()> toggleIntercept;
        std::function<void()> toggleLogin;
        std::function<bool()> isLoginEnabled;
        std::function<void()> enterIP;
        std::function<void()> quit;
        std::function<void()> checkForUpdates; // empty: no such row
    };

    TrayMenu(DeviceController &controller, Actions actions, bool capturing,
             GroupController *group = nullptr);
    ~TrayMenu() override;

    PanelMenu *menu() const { return menu_; }
    QAction *statusMenuItem() const { return statusMenuItem_; }
    QAction *nowPlayingItem() const { return nowPlayingItem_; }
    QAction *interceptItem() const { return interceptItem_; }
    QAction *loginItem() const { return loginItem_; }
    QMenu *deviceSubmenu() const { return deviceSubmenu_; }
    QMenu *sourceMenu() const { return sourceMenu_; }
    QMenu *presetMenu() const { return presetMenu_; }
    QMenu *sleepMenu() const { return sleepMenu_; }
    GroupMenu *groupMenu() const { return groupMenu_.get(); }
    QSlider *volumeSlider() const { return volumeSlider_; }
    QToolButton *playPauseButton() const { return playPauseButton_; }
    // The first line: the device's name and whether it answers (and what it refused).
    static QString statusLine(const DeviceController &controller);

    void setCapturing(bool on);
    void setLoginChecked(bool on);
Q_SIGNALS:
    // The user moved the slider (not a value set from the device).
    void sliderMoved(int value);

private:
    void build();
    void showDevice();
    void showState();
    void showStatusLine();
    void rebuildDevices();
    void rebuildDetails();
    void updateSourceChecks();
    void showSleepTimer();
    void pickDevice(QAction *entry);

    DeviceController &controller_;
    GroupController *group_;
    Actions actions_;
    std::unique_ptr<GroupMenu> groupMenu_;
    QPointer<PanelMenu> menu_;
    QPointer<VolumeSliderRow> volumeRow_;
    QPointer<QSlider> volumeSlider_;
    QPointer<TransportRow> transportRow_;
    QPointer<QToolButton> playPauseButton_;
    QPointer<QAction> statusMenuItem_;
    QPointer<QAction> nowPlayingItem_;
    QPointer<QAction> interceptItem_;
    QPointer<QAction> loginItem_;
    QPointer<QMenu> deviceSubmenu_;
    QPointer<QMenu> sourceMenu_;
    QPointer<QMenu> presetMenu_;
    QPointer<QMenu> sleepMenu_;
    QPointer<QAction> sleepLeftRow_;
    int sleepChosen_ = 0; // minutes picked here for the timer that runs; 0: none or unknown
    int shownMark_ = -1;  // the first line's mark as drawn: none, check, cross
};

} // namespace knobly
