#include "AppDelegate.h"

#include "GroupMenu.h"

#include "LoginItem.h"
#include "MainQueue.h"
#include "PanelIcon.h"
#include "Settings.h"
#include "Symbols.h"
#include "UpdateController.h"
#include "UpdatePrompt.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QScreen>

#include <limits>

namespace knobly {

namespace {
std::optional<std::int64_t> microseconds(const std::optional<std::int64_t> &ms) {
    if (!ms || *ms <= 0 || *ms > std::numeric_limits<std::int64_t>::max() / 1000)
        return std::nullopt;
    return *ms * 1000;
}
} // namespace

AppDelegate::AppDelegate() : AppDelegate(Environment{}) {}

AppDelegate::AppDelegate(Environment environment) : env_(std::move(environment)) {
    controller_ = std::make_unique<DeviceController>(env_.makeDiscovery, env_.probePort);
    controller_->setEventsFactory(env_.makeEvents);
    group_ = std::make_unique<GroupController>(*controller_);
    connect(group_.get(), &GroupController::changed, this, &AppDelegate::showPanel);
    keys_ = std::make_unique<MediaKeyCapture>(env_.makeKeyTap ? env_.makeKeyTap()
                                                              : std::unique_ptr<KeyTap>(),
                                              *controller_, env_.warn, env_.openShortcutSettings);
    hud_ = std::make_unique<VolumeHUDWindow>();
    DeviceController *c = controller_.get();
    connect(c, &DeviceController::deviceChanged, this, [this] {
        setupMediaControls();
        showPanel();
        updateMediaControls();
    });
    connect(c, &DeviceController::stateChanged, this, [this] {
        showPanel();
        updateMediaControls();
    });
    connect(c, &DeviceController::artChanged, this, &AppDelegate::updateMediaControls);
    connect(c, &DeviceController::volumeFeedback, this, &AppDelegate::showVolumeFeedback);
    connect(c, &DeviceController::refusalChanged, this, &AppDelegate::showPanel);
    connect(keys_.get(), &MediaKeyCapture::activeChanged, this, [this](bool on) {
        if (trayMenu_)
            trayMenu_->setCapturing(on);
    });
}

AppDelegate::~AppDelegate() {
    teardown();
    // The menu's rows call the controller: they go first.
    trayMenu_.reset();
}

void AppDelegate::applicationDidFinishLaunching() {
    updaterController_ = std::make_unique<UpdateController>(UpdateController::currentVersion(),
                                                            UpdateController::configuredFeedUrl());
    setupStatusItem();
    keys_->setup();
    const QString ip = Settings::ip();
    if (!ip.isEmpty())
        connectToDevice(ip, Settings::deviceName());
    controller_->startDiscovery();
    MainQueue::main().asyncAfter(panelGraceSeconds, [self = QPointer<AppDelegate>(this)] {
        if (self && (!self->statusItem_ || !self->statusItem_->isInPanel()) &&
            self->env_.sayNoPanel)
            self->env_.sayNoPanel();
    });
}

void AppDelegate::setupStatusItem() {
    StatusItem::Callbacks callbacks;
    callbacks.activate = [self = QPointer<AppDelegate>(this)](std::optional<QPoint> at) {
        if (self)
            self->statusBarActivate(at);
    };
    callbacks.contextMenu = callbacks.activate;
    callbacks.scroll = [self = QPointer<AppDelegate>(this)](int delta) {
        if (self)
            self->statusBarScroll(delta);
    };
    if (env_.makeStatusItem)
        statusItem_ = env_.makeStatusItem(std::move(callbacks));
    panelIcon_ = std::make_unique<PanelIcon>(statusItem_.get());

    TrayMenu::Actions actions;
    actions.toggleIntercept = [this] { keys_->toggle(); };
    actions.toggleLogin = [this] { toggleLoginItem(); };
    actions.isLoginEnabled = &LoginItem::isEnabled;
    actions.enterIP = [this] { enterIP(); };
    actions.quit = [this] { quitApp(); };
    // Only builds that name an update feed check for updates; packages leave it to the
    // package manager.
    if (!UpdateController::configuredFeedUrl().isEmpty())
        actions.checkForUpdates = [this] { checkForUpdates(); };
    trayMenu_ = std::make_unique<TrayMenu>(*controller_, std::move(actions), keys_->isActive(),
                                           group_.get());
    connect(trayMenu_.get(), &TrayMenu::sliderMoved, this, &AppDelegate::sliderChanged);
    if (statusItem_)
        statusItem_->setMenu(trayMenu_->menu());
    showPanel();
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
    controller_->stop();
    keys_->stop();
}

void AppDelegate::connectToDevice(const QString &ip, const QString &name) {
    controller_->connectToDevice(ip, name);
}

void AppDelegate::enterIP() {
    if (!env_.askForAddress)
        return;
    if (const auto answer = env_.askForAddress(Settings::ip()))
        controller_->connectToTypedAddress(*answer);
}

// The speaker follows the volume (kept while it is not known); the tool tip says what the
// menu's first line says.
void AppDelegate::showPanel() {
    if (!panelIcon_)
        return;
    const auto &client = controller_->wiiMClient();
    std::optional<std::int64_t> volume;
    if (client && client->state().volumeKnown)
        volume = client->state().volume;
    if (client)
        panelIcon_->show(volume, client->state().muted, client->state().reachable);
    panelIcon_->setToolTip(TrayMenu::statusLine(*controller_), volume,
                           GroupMenu::roomLines(*group_));
}

void AppDelegate::statusBarScroll(int delta) {
    if (delta != 0)
        controller_->adjustVolume(delta > 0);
}

void AppDelegate::statusBarActivate(std::optional<QPoint> at) {
    if (menu())
        menu()->popup(menuPosition(at));
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
    if (!screen || !menu())
        return p;
    const QRect area = screen->availableGeometry();
    const QSize size = menu()->sizeHint();
    p.setX(std::clamp(p.x(), area.left(), std::max(area.left(), area.right() + 1 - size.width())));
    p.setY(std::clamp(p.y(), area.top(), std::max(area.top(), area.bottom() + 1 - size.height())));
    return p;
}

// Without a device the slider still moves the speaker.
void AppDelegate::sliderChanged(int value) {
    if (controller_->wiiMClient())
        controller_->setVolume(value);
    else if (panelIcon_)
        panelIcon_->show(value, false, std::nullopt);
}

void AppDelegate::setVolumeFromDesktop(std::int64_t volume) {
    const auto &client = controller_->wiiMClient();
    if (!client)
        return;
    controller_->setVolume(volume);
    showVolumeFeedback(client->currentVolume(), false);
}

void AppDelegate::showVolumeFeedback(std::int64_t volume, bool muted) {
    if (!env_.showVolume) {
        hud_->show(volume, muted);
        return;
    }
    // The panel's speaker, which the change has already redrawn.
    const QString symbol = muted        ? QStringLiteral("speaker.slash.fill")
                           : panelIcon_ ? panelIcon_->symbol()
                                        : volumeSymbolName(volume, false);
    env_.showVolume(volume, muted, controller_->deviceName(), freedesktopVolumeIconName(symbol));
}

void AppDelegate::toggleLoginItem() {
    const bool on = LoginItem::isEnabled();
    const auto problem = LoginItem::setEnabled(!on);
    trayMenu_->setLoginChecked(problem ? on : !on);
    if (problem && env_.warn)
        env_.warn(tr("Start at Login Could Not Be Changed"), *problem, QString());
}

void AppDelegate::checkForUpdates() {
    if (!updaterController_)
        return;
    updaterController_->checkForUpdates(
        [](const UpdateController::Result &result) { showUpdateResult(result); });
}

// ---- The desktop's media controls (MPRIS) ------------------------------------------------

void AppDelegate::setupMediaControls() {
    if (mediaControls_ || !env_.makeMediaControls)
        return;
    MediaControls::Commands c;
    DeviceController *device = controller_.get();
    // The desktop routes its media keys here: they take the same way as captured keys.
    const auto key = [this](MediaKey k) {
        return [this, k] { keys_->interceptor().handle(KeyEvent{k, true}); };
    };
    c.playPause = key(MediaKey::playPause);
    c.next = key(MediaKey::next);
    c.previous = key(MediaKey::previous);
    c.play = [device] { device->play(); };
    c.pause = [device] { device->pause(); };
    c.stop = [device] { device->stopPlayback(); };
    c.quit = [this] { quitApp(); };
    c.setVolume = [this](double volume) { setVolumeFromDesktop(std::llround(volume * 100)); };
    mediaControls_ = env_.makeMediaControls(std::move(c));
}

void AppDelegate::updateMediaControls() {
    const auto &client = controller_->wiiMClient();
    if (!mediaControls_ || !client)
        return;
    const DeviceState &d = controller_->playback();
    MediaControls::State s;
    s.identity = controller_->deviceName();
    s.reachable = client->state().reachable.value_or(false);
    s.playback = d.playing       ? MediaControls::Playback::playing
                 : d.isStopped() ? MediaControls::Playback::stopped
                                 : MediaControls::Playback::paused;
    if (s.playback != MediaControls::Playback::stopped) {
        s.title = shownText(d.title);
        s.artist = shownText(d.artist);
        s.album = shownText(d.album);
        s.lengthUs = microseconds(d.lengthMs);
        s.positionUs = microseconds(d.positionMs).value_or(0);
    }
    s.artUrl = controller_->artUrl();
    s.volume = client->state().volume / 100.0;
    mediaControls_->setState(s);
}

} // namespace knobly
