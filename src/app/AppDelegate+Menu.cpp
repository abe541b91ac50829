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

namespace {

QIcon menuIcon(const QString &name, double size) {
    const auto symbol = sfSymbol(name, size);
    return symbol ? symbol->icon(QColor(0x30, 0x30, 0x30)) : QIcon();
}

} // namespace

void AppDelegate::buildMenu() {
    auto *menu = new PanelMenu;
    menu_ = menu;
    menu->setSeparatorsCollapsible(false);

    const QString ip = Settings::ip();
    statusMenuItem_ =
        menu->addAction(ip.isEmpty() ? tr("No Device Selected") : Settings::deviceName());
    statusMenuItem_->setEnabled(false);
    if (!ip.isEmpty())
        if (const auto mark = systemSymbol(QStringLiteral("checkmark.circle.fill")))
            statusMenuItem_->setIcon(tinted(*mark, QColor(52, 199, 89), 14).icon(QColor()));

    nowPlayingItem_ = menu->addAction(QString());
    nowPlayingItem_->setEnabled(false);
    nowPlayingItem_->setVisible(false);
    nowPlayingItem_->setIcon(menuIcon(QStringLiteral("music.note"), 12));

    menu->addSeparator();

    auto *volumeRow = new VolumeSliderRow(menu);
    volumeRow_ = volumeRow;
    volumeSlider_ = volumeRow->slider();
    // Only the user's moves send commands; values set by status answers do not.
    connect(volumeSlider_, &QSlider::actionTriggered, this,
            [this](int) { sliderChanged(volumeSlider_->sliderPosition()); });
    for (QAction *level : volumeRow->levels())
        connect(level, &QAction::triggered, this,
                [this, level] { sliderChanged(level->data().toInt()); });
    connect(volumeRow->mute(), &QAction::triggered, this, [this] {
        // The mark follows the device's answer, not the click.
        if (volumeRow_)
            volumeRow_->setMuted(wiiMClient_ && wiiMClient_->isMuted());
        toggleMuteFromKey();
    });
    menu->addAction(volumeRow);

    auto *transport = new TransportRow(menu);
    playPauseButton_ = transport->playPauseButton();
    playPauseItem_ = transport->playPause();
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
    deviceSubmenu_->setIcon(menuIcon(QStringLiteral("hifispeaker.2.fill"), 13));
    menu->addMenu(deviceSubmenu_);
    rebuildDeviceMenu();

    menu->addSeparator();
    interceptItem_ = menu->addAction(tr("Capture Media Keys"));
    interceptItem_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_K));
    interceptItem_->setCheckable(true);
    interceptItem_->setChecked(keyInterceptor_->isActive());
    connect(interceptItem_, &QAction::triggered, this, &AppDelegate::toggleIntercept);
    interceptItem_->setIcon(menuIcon(QStringLiteral("keyboard"), 13));

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
    stepMenu->setIcon(menuIcon(QStringLiteral("plusminus"), 13));
    const std::int64_t savedStep = Settings::volumeStep();
    for (const int step : {1, 2, 3, 5, 10}) {
        QAction *entry = stepMenu->addAction(QStringLiteral("%1%").arg(step));
        entry->setData(step);
        entry->setCheckable(true);
        entry->setChecked(savedStep == step);
        connect(entry, &QAction::triggered, this, [this, entry] { setStep(entry); });
    }
    menu->addMenu(stepMenu);

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

    menu->addSeparator();
    QAction *updates = menu->addAction(tr("Check for Updates\u2026"));
    updates->setIcon(menuIcon(QStringLiteral("arrow.down.circle"), 13));
    connect(updates, &QAction::triggered, this, &AppDelegate::checkForUpdates);

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
