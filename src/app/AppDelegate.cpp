#include "AppDelegate.h"

#include "MainQueue.h"
#include "Settings.h"
#include "Symbols.h"
#include "UpdateController.h"

#include <QAction>
#include <QCoreApplication>
#include <QMenu>

namespace knobly {

AppDelegate::AppDelegate() : AppDelegate(Environment{}) {}

AppDelegate::AppDelegate(Environment environment) : env_(std::move(environment)) {
    keyInterceptor_ = std::make_unique<MediaKeyInterceptor>(
        env_.makeKeyTap ? env_.makeKeyTap() : std::unique_ptr<KeyTap>());
    hud_ = std::make_unique<VolumeHUDWindow>();
    discovery_ = env_.makeDiscovery();
}

AppDelegate::~AppDelegate() {
    teardown();
    delete menu_;
}

void AppDelegate::applicationDidFinishLaunching() {
    updaterController_ = std::make_unique<UpdateController>(UpdateController::currentVersion(),
                                                            UpdateController::configuredFeedUrl());
    setupStatusItem();
    setupMediaKeys();
    const QString ip = Settings::ip();
    if (!ip.isEmpty())
        connectToDevice(ip, Settings::deviceName());
    startDiscovery();
    MainQueue::main().asyncAfter(panelGraceSeconds, [self = weak()] {
        AppDelegate *d = self.get();
        if (d && (!d->statusItem_ || !d->statusItem_->isInPanel()) && d->env_.sayNoPanel)
            d->env_.sayNoPanel();
    });
}

void AppDelegate::activateFromDesktop() {
    if (statusItem_ && statusItem_->isInPanel()) {
        // Where the panel draws the menu there is nothing of ours to open.
        if (!statusItem_->isMenuOnly())
            statusBarActivate(std::nullopt);
        return;
    }
    if (env_.sayNoPanel)
        env_.sayNoPanel();
}

void AppDelegate::applicationWillTerminate() {
    teardown();
}

void AppDelegate::quitApp() {
    teardown();
    QCoreApplication::quit();
}

void AppDelegate::teardown() {
    if (pollingTimer_) {
        pollingTimer_->invalidate();
        pollingTimer_.reset();
    }
    if (keyInterceptor_)
        keyInterceptor_->stop();
    if (discovery_)
        discovery_->stopDiscovery();
}

void AppDelegate::connectToDevice(const QString &ip, const QString &name) {
    // Another device's id must not lead the search for this one.
    if (Settings::ip() != ip && !Settings::deviceUuid().isEmpty())
        Settings::setDeviceUuid(QString());
    Settings::setIp(ip);
    Settings::setDeviceName(name);
    deviceName_ = name;
    wiiMClient_ = std::make_shared<WiiMClient>(ip);
    // What the device shows changed, here or by its answer: the panel and the transport follow.
    connect(wiiMClient_.get(), &WiiMClient::stateChanged, this, [this] {
        updateIcon(wiiMClient_->currentVolume());
        updatePlaybackItems();
    });
    wiiMClient_->setVolumeLimit(Settings::maxVolume());
    reachable_.reset();
    artTrack_.clear();
    artUrl_.clear();
    detailsFetched_ = false;
    failedPolls_ = 0;
    inputs_.clear();
    rebuildSourceMenu();
    rebuildPresetMenu({});
    setupMediaControls();
    wiiMClient_->fetchStatus([self = weak(), client = QPointer<WiiMClient>(wiiMClient_.get()),
                              name](auto volume, auto, auto line) {
        if (AppDelegate *d = self.get())
            d->applyConnectResult(client, name, volume, line);
    });
    startPolling();
}

void AppDelegate::applyConnectResult(const WiiMClient *client, const QString &name,
                                     std::optional<std::int64_t> volume,
                                     std::optional<QString> line) {
    // An answer for a device we have since left must not paint over the new one.
    if (!client || client != wiiMClient_.get())
        return;
    if (volume) {
        setSliderValue(*volume);
        updateIcon(*volume);
    }
    setReachable(volume.has_value(), name);
    if (line && !line->isEmpty() && nowPlayingItem_) {
        nowPlayingItem_->setText(*line);
        nowPlayingItem_->setVisible(true);
    }
    updatePlaybackItems();
}

void AppDelegate::setReachable(bool reachable, const QString &name) {
    const bool changed = reachable_ != reachable;
    reachable_ = reachable;
    if (changed)
        showPanelIcon();
    if (reachable)
        fetchDeviceDetails();
    updateMediaControls();
    setStatusLine(reachable ? name : name + QStringLiteral(" (unreachable)"));
    if (!statusMenuItem_)
        return;
    const auto mark = systemSymbol(reachable ? QStringLiteral("checkmark.circle.fill")
                                             : QStringLiteral("xmark.circle.fill"));
    statusMenuItem_->setIcon(
        mark ? tinted(*mark, reachable ? QColor(52, 199, 89) : QColor(255, 59, 48), 14)
                   .icon(QColor())
             : QIcon());
}

void AppDelegate::startDiscovery() {
    discovery_->startDiscovery([self = weak()](const std::vector<WiiMDevice> &devices) {
        // Never act inside the discovery's own call: store and rebuild on a later turn.
        MainQueue::main().async([self, devices] {
            if (AppDelegate *d = self.get()) {
                d->devices_ = devices;
                d->rebuildDeviceMenu();
                d->followSavedDevice();
            }
        });
    });
}

bool AppDelegate::isPolling() const {
    return pollingTimer_ && pollingTimer_->isValid();
}

} // namespace knobly
