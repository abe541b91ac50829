// The panel menu, built once at launch.
#include "AppDelegate.h"

#include "LoginItem.h"
#include "MenuRows.h"
#include "Settings.h"
#include "Symbols.h"
#include "UpdateController.h"
#include "UpdatePrompt.h"

#include <QAction>
#include <QActionGroup>
#include <QSlider>

namespace knobly {

void AppDelegate::buildMenu() {
    auto *menu = new PanelMenu;
    menu_ = menu;
    menu->setSeparatorsCollapsible(false);

    const QString ip = Settings::ip();
    statusLine_ = ip.isEmpty() ? tr("No Device Selected") : Settings::deviceName();
    statusMenuItem_ = menu->addAction(statusLine_);
    statusMenuItem_->setEnabled(false);
    if (!ip.isEmpty())
        if (const auto mark = systemSymbol(QStringLiteral("checkmark.circle.fill")))
            statusMenuItem_->setIcon(tinted(*mark, QColor(52, 199, 89), 14).icon(QColor()));

    nowPlayingItem_ = menu->addAction(QString());
    nowPlayingItem_->setEnabled(false);
    nowPlayingItem_->setVisible(false);
    setRowIcon(nowPlayingItem_, QStringLiteral("music.note"), 12,
               QStringLiteral("audio-x-generic-symbolic"));

    menu->addSeparator();

    auto *volumeRow = new VolumeSliderRow(menu);
    volumeRow_ = volumeRow;
    volumeSlider_ = volumeRow->slider();
    // Only the user's moves send commands; values set by status answers do not.
    connect(volumeSlider_, &QSlider::actionTriggered, this,
            [this](int) { sliderChanged(volumeSlider_->sliderPosition()); });
    // A level picked from the menu is shown like a step of the wheel.
    for (QAction *level : volumeRow->levels())
        connect(level, &QAction::triggered, this, [this, level] {
            sliderChanged(level->data().toInt());
            if (wiiMClient_)
                showVolumeFeedback(wiiMClient_->currentVolume(), wiiMClient_->isMuted());
        });
    connect(volumeRow->mute(), &QAction::triggered, this, [this] {
        // The mark follows the device's answer, not the click.
        if (volumeRow_)
            volumeRow_->setMuted(wiiMClient_ && wiiMClient_->isMuted());
        toggleMuteFromKey();
    });
    menu->addAction(volumeRow);

    auto *transport = new TransportRow(menu);
    playPauseButton_ = transport->playPauseButton();
    transportRow_ = transport;
    connect(transport->previous(), &QAction::triggered, this, &AppDelegate::prevTrackAction);
    connect(transport->playPause(), &QAction::triggered, this, &AppDelegate::playPauseAction);
    connect(transport->next(), &QAction::triggered, this, &AppDelegate::nextTrackAction);
    menu->addAction(transport);

    // Filled once the device says which model it is and which presets it keeps.
    sourceMenu_ = new QMenu(tr("Source"), menu);
    menu->addMenu(sourceMenu_)->setVisible(false);
    presetMenu_ = new QMenu(tr("Presets"), menu);
    menu->addMenu(presetMenu_)->setVisible(false);

    menu->addSeparator();
    deviceSubmenu_ = new QMenu(tr("Select Device"), menu);
    setRowIcon(menu->addMenu(deviceSubmenu_), QStringLiteral("hifispeaker.2.fill"), 13,
               QStringLiteral("audio-speakers-symbolic"));
    rebuildDeviceMenu();

    menu->addSeparator();
    interceptItem_ = menu->addAction(tr("Capture Media Keys"));
    interceptItem_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_K));
    interceptItem_->setCheckable(true);
    interceptItem_->setChecked(keyInterceptor_->isActive());
    connect(interceptItem_, &QAction::triggered, this, &AppDelegate::toggleIntercept);
    setRowIcon(interceptItem_, QStringLiteral("keyboard"), 13,
               QStringLiteral("input-keyboard-symbolic"));

    loginItem_ = menu->addAction(tr("Start at Login"));
    loginItem_->setCheckable(true);
    connect(loginItem_, &QAction::triggered, this, &AppDelegate::toggleLoginItem);
    // Read whenever the menu opens, exported or not: the user may change it elsewhere.
    connect(menu, &QMenu::aboutToShow, this, [this] {
        if (loginItem_)
            loginItem_->setChecked(LoginItem::isEnabled());
    });
    loginItem_->setChecked(LoginItem::isEnabled());

    auto *stepMenu = new QMenu(tr("Volume Step"), menu);
    const std::int64_t savedStep = Settings::volumeStep();
    for (const int step : {1, 2, 3, 5, 10}) {
        QAction *entry = stepMenu->addAction(QStringLiteral("%1%").arg(step));
        entry->setData(step);
        entry->setCheckable(true);
        entry->setChecked(savedStep == step);
        connect(entry, &QAction::triggered, this, [this, entry] { setStep(entry); });
    }
    setRowIcon(menu->addMenu(stepMenu), QStringLiteral("plusminus"), 13,
               QStringLiteral("list-add-symbolic"));

    auto *limitMenu = new QMenu(tr("Maximum Volume"), menu);
    auto *limits = new QActionGroup(limitMenu);
    const std::int64_t savedLimit = Settings::maxVolume();
    for (const int limit : {100, 90, 80, 70, 60, 50}) {
        QAction *entry = limitMenu->addAction(QStringLiteral("%1%").arg(limit));
        entry->setCheckable(true);
        entry->setChecked(savedLimit == limit);
        limits->addAction(entry);
        connect(entry, &QAction::triggered, this, [this, limit] { setVolumeLimit(limit); });
    }
    menu->addMenu(limitMenu);

    // Only builds that name an update feed check for updates; packages leave it to the
    // package manager.
    if (updaterController_ && !UpdateController::configuredFeedUrl().isEmpty()) {
        menu->addSeparator();
        QAction *updates = menu->addAction(tr("Check for Updates\u2026"));
        setRowIcon(updates, QStringLiteral("arrow.down.circle"), 13,
                   QStringLiteral("software-update-available-symbolic"));
        connect(updates, &QAction::triggered, this, &AppDelegate::checkForUpdates);
    }

    menu->addSeparator();
    QAction *quit = menu->addAction(tr("Quit Knobly"));
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    connect(quit, &QAction::triggered, this, &AppDelegate::quitApp);

    if (statusItem_)
        statusItem_->setMenu(menu);
}

void AppDelegate::setSliderValue(std::int64_t volume) {
    if (!volumeSlider_)
        return;
    volumeSlider_->setValue(static_cast<int>(std::clamp<std::int64_t>(volume, 0, 100)));
}

void AppDelegate::toggleLoginItem() {
    const bool on = LoginItem::isEnabled();
    const auto problem = LoginItem::setEnabled(!on);
    if (loginItem_)
        loginItem_->setChecked(problem ? on : !on);
    if (problem && env_.warn)
        env_.warn(tr("Start at Login Could Not Be Changed"), *problem, QString());
}

void AppDelegate::checkForUpdates() {
    if (!updaterController_)
        return;
    updaterController_->checkForUpdates(
        [](const UpdateController::Result &result) { showUpdateResult(result); });
}

} // namespace knobly
