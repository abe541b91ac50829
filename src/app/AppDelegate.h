#pragma once

#include "DesktopFeedback.h"
#include "MediaControls.h"
#include "MediaKeyInterceptor.h"
#include "MenuRows.h"
#include "StatusItem.h"
#include "VolumeHUDWindow.h"
#include "WiiMClient.h"
#include "WiiMDevice.h"
#include "WiiMDiscovery.h"

#include <QAction>
#include <QMenu>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QSlider>
#include <QToolButton>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace knobly {

class RepeatingTimer;
class UpdateController;

// The controller: launch and teardown, connecting to the chosen device, polling, the
// volume and transport commands, and every action of the panel menu. Main thread only.
class AppDelegate : public QObject {
    Q_OBJECT
public:
    // What the controller needs from the desktop; tests hand in their own.
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
        std::function<bool(const QString &title, const QString &text, const QString &action)> warn;
        // Opens the desktop's keyboard-shortcut settings; empty when the desktop is unknown.
        std::function<void()> openShortcutSettings;
        // The desktop's media controls (the platform's MediaControls::create); may be empty.
        std::function<std::unique_ptr<MediaControls>(MediaControls::Commands)> makeMediaControls;
        // Volume feedback drawn by the desktop (Wayland); empty shows our own overlay.
        VolumeFeedback showVolume;
        // Says, so that it stays until read, that no panel shows the item and what works
        // meanwhile.
        std::function<void()> sayNoPanel;
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
    void startDiscovery();

    // Menu bar.
    void setupStatusItem();
    void buildMenu();
    void statusBarScroll(int delta);
    void statusBarActivate(std::optional<QPoint> at);
    void updateIcon(std::int64_t volume);
    void rebuildDeviceMenu();
    void pickDevice(QAction *entry);
    void rescanDevices();
    void enterIP();
    void checkForUpdates();

    // Polling and commands.
    void startPolling();
    void pollAfterSkip();
    void updatePlaybackItems();
    // By the saved step unless given one.
    void adjustVolume(bool up, std::optional<std::int64_t> step = std::nullopt);
    void sliderChanged(int value);
    void playPauseAction();
    void nextTrackAction();
    void prevTrackAction();
    void playAction();
    void pauseAction();
    void stopAction();
    // A level asked for by the desktop (its media controls): sent and shown like a key's.
    void setVolumeFromDesktop(std::int64_t volume);
    void setStep(QAction *entry);
    void toggleLoginItem();
    void setVolumeLimit(std::int64_t limit);

    void quitApp();

    // Media keys.
    void setupMediaKeys();
    void toggleIntercept();
    void showAccessibilityPrompt();
    bool startKeys(bool ask);
    void toggleMuteFromKey();

    // Read by tests and by the desktop glue.
    const std::shared_ptr<WiiMClient> &wiiMClient() const { return wiiMClient_; }
    const std::shared_ptr<WiiMDiscovery> &discovery() const { return discovery_; }
    const std::vector<WiiMDevice> &devices() const { return devices_; }
    QMenu *menu() const { return menu_; }
    QAction *statusMenuItem() const { return statusMenuItem_; }
    QAction *nowPlayingItem() const { return nowPlayingItem_; }
    QAction *interceptItem() const { return interceptItem_; }
    QAction *loginItem() const { return loginItem_; }
    QMenu *deviceSubmenu() const { return deviceSubmenu_; }
    QMenu *sourceMenu() const { return sourceMenu_; }
    QMenu *presetMenu() const { return presetMenu_; }
    QSlider *volumeSlider() const { return volumeSlider_; }
    QToolButton *playPauseButton() const { return playPauseButton_; }
    QString iconSymbol() const { return iconSymbol_; }
    bool isPolling() const;
    StatusItem *statusItem() const { return statusItem_.get(); }
    MediaKeyInterceptor &keyInterceptor() { return *keyInterceptor_; }
    VolumeHUDWindow &hud() { return *hud_; }

private:
    // The controller as callbacks that may outlive it hold it.
    using Weak = QPointer<AppDelegate>;
    Weak weak() { return this; }
    static void pollAfterSkipFor(Weak self);

    void pollNow();
    void setupMediaControls();
    void updateMediaControls();
    void showVolumeFeedback(std::int64_t volume, bool muted);
    void followAlbumArt(const QString &track);
    void fetchDeviceDetails();
    void fetchPresets();
    void notePollAnswer(bool answered);
    void followSavedDevice();
    void moveToAddress(const QString &ip);
    // Devices answer on 443; tests put a simulator's port on the addresses they probe.
    QString withProbePort(const QString &ip) const;
    void showPanelIcon();
    void rebuildSourceMenu();
    void updateSourceChecks();
    void rebuildPresetMenu(const std::vector<DevicePreset> &presets);
    void applyConnectResult(const WiiMClient *client, const QString &name,
                            std::optional<std::int64_t> volume, std::optional<QString> line);
    void applyPollResult(const WiiMClient *client, std::optional<std::int64_t> volume,
                         std::optional<QString> line);
    void setReachable(bool reachable, const QString &name);
    void setSliderValue(std::int64_t volume);
    void updateToolTip();
    void setStatusLine(const QString &text);
    void probeDeviceNameForManualIP(const QString &ip);
    void teardown();
    QPoint menuPosition(std::optional<QPoint> hint) const;

    Environment env_;
    std::unique_ptr<StatusItem> statusItem_;
    std::unique_ptr<MediaKeyInterceptor> keyInterceptor_;
    std::unique_ptr<VolumeHUDWindow> hud_;
    std::unique_ptr<MediaControls> mediaControls_;
    // What the last answer (or its absence) said; nothing before the first since connecting.
    std::optional<bool> reachable_;
    QString artTrack_; // the track whose art artUrl_ is
    QUrl artUrl_;
    bool detailsFetched_ = false; // inputs and presets asked of this device
    int failedPolls_ = 0;         // in a row
    bool following_ = false;      // looking for the saved device at another address
    QSet<QString> followAsked_;   // addresses asked for their id in this search
    std::vector<DeviceInput> inputs_;
    QPointer<QMenu> sourceMenu_;
    QPointer<QMenu> presetMenu_;
    std::shared_ptr<WiiMClient> wiiMClient_;
    std::shared_ptr<RepeatingTimer> pollingTimer_;
    std::shared_ptr<WiiMDiscovery> discovery_;
    std::vector<WiiMDevice> devices_;
    std::unique_ptr<UpdateController> updaterController_;

    QPointer<QMenu> menu_;
    QPointer<QSlider> volumeSlider_;
    QPointer<VolumeSliderRow> volumeRow_;
    QPointer<TransportRow> transportRow_;
    QPointer<QAction> statusMenuItem_;
    QPointer<QAction> nowPlayingItem_;
    QPointer<QAction> interceptItem_;
    QPointer<QAction> loginItem_;
    QPointer<QMenu> deviceSubmenu_;
    QPointer<QToolButton> playPauseButton_;
    QString iconSymbol_ = QStringLiteral("hifispeaker.fill");
    QString shownIcon_;  // the panel icon last drawn, so that an unchanged one is not redrawn
    QString deviceName_; // the chosen device's, as saved
    QString statusLine_; // the menu's first line: the name, and whether it answers
    std::int64_t shownVolume_ = -1; // for the tool tip
};

} // namespace knobly
