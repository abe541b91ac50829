#pragma once

#include "DesktopFeedback.h"
#include "DeviceController.h"
#include "GroupController.h"
#include "MediaControls.h"
#include "MediaKeyCapture.h"
#include "StatusItem.h"
#include "TrayMenu.h"
#include "VolumeHUDWindow.h"

#include <QObject>
#include <QPointer>

#include <functional>
#include <memory>
#include <optional>

namespace knobly {

class PanelIcon;
class UpdateController;

// Launch and teardown, and the wiring: the controller's device and state to the panel item,
// the menu, the feedback and the desktop's media controls; the keys and the menu to the
// controller. Main thread only.
class AppDelegate : public QObject {
    Q_OBJECT
public:
    // What the program needs from the desktop; tests hand in their own.
    struct Environment {
        // The panel item (the platform's StatusItem::create); without one there is only the
        // menu.
        std::function<std::unique_ptr<StatusItem>(StatusItem::Callbacks)> makeStatusItem;
        std::function<std::shared_ptr<WiiMDiscovery>()> makeDiscovery = [] {
            return std::make_shared<WiiMDiscovery>();
        };
        // The address dialog: the text to connect to, or nothing when cancelled.
        std::function<std::optional<QString>(const QString &savedIp)> askForAddress;
        // Where the menu opens when the host gives no usable point.
        std::function<QPoint()> cursorPosition;
        // The media-key tap (the platform's KeyTap::create); without one keys are not taken.
        std::function<std::unique_ptr<KeyTap>()> makeKeyTap;
        // A warning with an optional action button: true when the action was chosen.
        MediaKeyCapture::Warn warn;
        // Opens the desktop's keyboard-shortcut settings; empty when the desktop is unknown.
        std::function<void()> openShortcutSettings;
        // The desktop's media controls (the platform's MediaControls::create); may be empty.
        std::function<std::unique_ptr<MediaControls>(MediaControls::Commands)> makeMediaControls;
        // Volume feedback drawn by the desktop (Wayland); empty shows our own overlay.
        VolumeFeedback showVolume;
        // Says, so that it stays until read, that no panel shows the item and what works
        // meanwhile.
        std::function<void()> sayNoPanel;
        // The device's events (the platform's DeviceEvents::create); without, polls alone.
        DeviceController::EventsFactory makeEvents;
        // Devices answer on 443; tests point the name probe at a simulator's port.
        std::optional<quint16> probePort;
    };

    AppDelegate();
    explicit AppDelegate(Environment environment);
    ~AppDelegate() override;

    void applicationDidFinishLaunching();
    void applicationWillTerminate();
    // Knobly started again while it runs: the menu where we can open it, else the word that
    // no panel shows us.
    void activateFromDesktop();
    // How long a panel has to take the item after launch before we say it has none.
    static constexpr double panelGraceSeconds = 5.0;

    void connectToDevice(const QString &ip, const QString &name);
    void enterIP();
    void statusBarScroll(int delta);
    void statusBarActivate(std::optional<QPoint> at);
    void sliderChanged(int value);
    void nextTrackAction() { controller_->nextTrack(); }
    // A level asked for by the desktop (its media controls): sent and shown like a key's.
    void setVolumeFromDesktop(std::int64_t volume);
    void toggleLoginItem();
    void checkForUpdates();
    void quitApp();

    DeviceController &controller() { return *controller_; }
    const std::shared_ptr<WiiMClient> &wiiMClient() const { return controller_->wiiMClient(); }
    const std::vector<WiiMDevice> &devices() const { return controller_->devices(); }
    TrayMenu &trayMenu() const { return *trayMenu_; }
    QMenu *menu() const { return trayMenu_ ? trayMenu_->menu() : nullptr; }
    QAction *statusMenuItem() const { return trayMenu_->statusMenuItem(); }
    QAction *nowPlayingItem() const { return trayMenu_->nowPlayingItem(); }
    QAction *interceptItem() const { return trayMenu_->interceptItem(); }
    QAction *loginItem() const { return trayMenu_->loginItem(); }
    QMenu *deviceSubmenu() const { return trayMenu_->deviceSubmenu(); }
    QMenu *sourceMenu() const { return trayMenu_->sourceMenu(); }
    QMenu *presetMenu() const { return trayMenu_->presetMenu(); }
    QMenu *sleepMenu() const { return trayMenu_->sleepMenu(); }
    GroupController &group() const { return *group_; }
    QSlider *volumeSlider() const { return trayMenu_->volumeSlider(); }
    QToolButton *playPauseButton() const { return trayMenu_->playPauseButton(); }
    StatusItem *statusItem() const { return statusItem_.get(); }
    MediaKeyInterceptor &keyInterceptor() { return keys_->interceptor(); }
    VolumeHUDWindow &hud() { return *hud_; }

private:
    void setupStatusItem();
    void setupMediaControls();
    void showPanel();
    void updateMediaControls();
    void showVolumeFeedback(std::int64_t volume, bool muted);
    void teardown();
    QPoint menuPosition(std::optional<QPoint> hint) const;

    Environment env_;
    std::unique_ptr<DeviceController> controller_;
    std::unique_ptr<GroupController> group_; // follows controller_: declared after, gone first
    std::unique_ptr<MediaKeyCapture> keys_;
    std::unique_ptr<VolumeHUDWindow> hud_;
    std::unique_ptr<StatusItem> statusItem_;
    std::unique_ptr<PanelIcon> panelIcon_;
    std::unique_ptr<TrayMenu> trayMenu_;
    std::unique_ptr<MediaControls> mediaControls_;
    std::unique_ptr<UpdateController> updaterController_;
};

} // namespace knobly
