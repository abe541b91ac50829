#include "TrayMenu.h"

#include "DeviceController.h"
#include "GroupMenu.h"
#include "Settings.h"
#include "Symbols.h"

#include <QActionGroup>

Q_DECLARE_METATYPE(knobly::WiiMDevice)

namespace knobly {

namespace {
const QString kSearching = QStringLiteral("searching");
const QString kFixedRows = QStringLiteral("fixed"); // the separator and what follows it

// Whether an entry still shows `device` as it was built.
bool shows(const QAction *entry, const WiiMDevice &device) {
    if (!entry->data().canConvert<WiiMDevice>())
        return false;
    const WiiMDevice shown = entry->data().value<WiiMDevice>();
    return shown.ip == device.ip && shown.name == device.name && shown.model == device.model;
}
} // namespace

TrayMenu::TrayMenu(DeviceController &controller, Actions actions, bool capturing,
                   GroupController *group)
    : controller_(controller), group_(group), actions_(std::move(actions)) {
    build();
    setCapturing(capturing);
    connect(&controller_, &DeviceController::deviceChanged, this, &TrayMenu::showDevice);
    connect(&controller_, &DeviceController::stateChanged, this, &TrayMenu::showState);
    connect(&controller_, &DeviceController::devicesChanged, this, &TrayMenu::rebuildDevices);
    connect(&controller_, &DeviceController::detailsChanged, this, &TrayMenu::rebuildDetails);
    connect(&controller_, &DeviceController::refusalChanged, this, &TrayMenu::showStatusLine);
    connect(&controller_, &DeviceController::sleepTimerChanged, this, &TrayMenu::showSleepTimer);
}

TrayMenu::~TrayMenu() {
    groupMenu_.reset();
    delete menu_;
}

void TrayMenu::build() {
    auto *menu = new PanelMenu;
    menu_ = menu;
    menu->setSeparatorsCollapsible(false);

    statusMenuItem_ = menu->addAction(QString());
    statusMenuItem_->setEnabled(false);
    nowPlayingItem_ = menu->addAction(QString());
    nowPlayingItem_->setEnabled(false);
    nowPlayingItem_->setVisible(false);
    setRowIcon(nowPlayingItem_, QStringLiteral("music.note"), 12,
               QStringLiteral("audio-x-generic-symbolic"));
    showStatusLine();

    menu->addSeparator();
    auto *volumeRow = new VolumeSliderRow(menu);
    volumeRow_ = volumeRow;
    volumeSlider_ = volumeRow->slider();
    // Only the user's moves send commands; values set by status answers do not.
    connect(volumeSlider_, &QSlider::actionTriggered, this, [this](int) {
        Q_EMIT sliderMoved(volumeSlider_->sliderPosition());
        showState(); // as sent: never above the limit
    });
    // A level picked from the menu is shown like a step of the wheel.
    for (QAction *level : volumeRow->levels())
        connect(level, &QAction::triggered, this,
                [this, level] { controller_.setVolume(level->data().toInt(), true); });
    connect(volumeRow->mute(), &QAction::triggered, this, [this] {
        controller_.toggleMute();
        showState(); // the mark follows the state, not the click
    });
    menu->addAction(volumeRow);

    auto *transport = new TransportRow(menu);
    transportRow_ = transport;
    playPauseButton_ = transport->playPauseButton();
    connect(transport->previous(), &QAction::triggered, &controller_, &DeviceController::prevTrack);
    connect(transport->playPause(), &QAction::triggered, &controller_,
            &DeviceController::playPause);
    connect(transport->next(), &QAction::triggered, &controller_, &DeviceController::nextTrack);
    menu->addAction(transport);

    // Filled once the device says which model it is and which presets it keeps.
    sourceMenu_ = new QMenu(tr("Source"), menu);
    menu->addMenu(sourceMenu_)->setVisible(false);
    presetMenu_ = new QMenu(tr("Presets"), menu);
    menu->addMenu(presetMenu_)->setVisible(false);

    // The device's own timer, so it is asked how long is left whenever the menu opens.
    sleepMenu_ = new QMenu(tr("Sleep Timer"), menu);
    sleepLeftRow_ = sleepMenu_->addAction(QString());
    sleepLeftRow_->setEnabled(false);
    sleepLeftRow_->setVisible(false);
    auto *sleepChoices = new QActionGroup(sleepMenu_);
    sleepChoices->setExclusionPolicy(QActionGroup::ExclusionPolicy::ExclusiveOptional);
    for (const int minutes : {0, 15, 30, 60, 90}) {
        QAction *entry = sleepMenu_->addAction(minutes ? tr("%1 Minutes").arg(minutes) : tr("Off"));
        entry->setCheckable(true);
        entry->setData(minutes);
        sleepChoices->addAction(entry);
        // Marked as clicked until the device's answer says what runs.
        connect(entry, &QAction::triggered, this, [this, minutes] {
            sleepChosen_ = minutes;
            controller_.setSleepTimer(minutes);
        });
    }
    menu->addMenu(sleepMenu_);
    connect(menu, &QMenu::aboutToShow, &controller_, &DeviceController::refreshSleepTimer);
    if (group_)
        groupMenu_ = std::make_unique<GroupMenu>(*group_, menu);

    menu->addSeparator();
    deviceSubmenu_ = new QMenu(tr("Select Device"), menu);
    setRowIcon(menu->addMenu(deviceSubmenu_), QStringLiteral("hifispeaker.2.fill"), 13,
               QStringLiteral("audio-speakers-symbolic"));
    rebuildDevices();

    menu->addSeparator();
    interceptItem_ = menu->addAction(tr("Capture Media Keys"));
    interceptItem_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_K));
    interceptItem_->setCheckable(true);
    connect(interceptItem_, &QAction::triggered, this, [this] { actions_.toggleIntercept(); });
    setRowIcon(interceptItem_, QStringLiteral("keyboard"), 13,
               QStringLiteral("input-keyboard-symbolic"));

    loginItem_ = menu->addAction(tr("Start at Login"));
    loginItem_->setCheckable(true);
    connect(loginItem_, &QAction::triggered, this, [this] { actions_.toggleLogin(); });
    // Read whenever the menu opens, exported or not: the user may change it elsewhere.
    connect(menu, &QMenu::aboutToShow, this,
            [this] { setLoginChecked(actions_.isLoginEnabled()); });
    setLoginChecked(actions_.isLoginEnabled());

    auto *stepMenu = new QMenu(tr("Volume Step"), menu);
    auto *steps = new QActionGroup(stepMenu);
    const std::int64_t savedStep = Settings::volumeStep();
    for (const int step : {1, 2, 3, 5, 10}) {
        QAction *entry = stepMenu->addAction(QStringLiteral("%1%").arg(step));
        entry->setCheckable(true);
        entry->setChecked(savedStep == step);
        steps->addAction(entry);
        connect(entry, &QAction::triggered, this, [step] { Settings::setVolumeStep(step); });
    }
    // A hand-edited step that is none of these leaves every entry clear.
    steps->setExclusionPolicy(QActionGroup::ExclusionPolicy::ExclusiveOptional);
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
        connect(entry, &QAction::triggered, this,
                [this, limit] { controller_.setVolumeLimit(limit); });
    }
    menu->addMenu(limitMenu);

    if (actions_.checkForUpdates) {
        menu->addSeparator();
        QAction *updates = menu->addAction(tr("Check for Updates\u2026"));
        setRowIcon(updates, QStringLiteral("arrow.down.circle"), 13,
                   QStringLiteral("software-update-available-symbolic"));
        connect(updates, &QAction::triggered, this, [this] { actions_.checkForUpdates(); });
    }

    menu->addSeparator();
    QAction *quit = menu->addAction(tr("Quit Knobly"));
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    connect(quit, &QAction::triggered, this, [this] { actions_.quit(); });
}

// What the device says is left, and the choice it came from when it was made here.
void TrayMenu::showSleepTimer() {
    const auto left = controller_.sleepSecondsLeft();
    const bool running = left && *left > 0;
    if (!running && left)
        sleepChosen_ = 0;
    sleepLeftRow_->setVisible(running);
    if (running)
        sleepLeftRow_->setText(tr("%1 min left").arg((*left + 59) / 60));
    // Off when none runs; a running one that was set elsewhere matches no entry.
    const int mark = !left ? -1 : running ? (sleepChosen_ ? sleepChosen_ : -1) : 0;
    for (QAction *entry : sleepMenu_->actions())
        if (entry != sleepLeftRow_)
            entry->setChecked(entry->data().toInt() == mark);
}

void TrayMenu::setCapturing(bool on) {
    if (interceptItem_)
        interceptItem_->setChecked(on);
}

void TrayMenu::setLoginChecked(bool on) {
    if (loginItem_)
        loginItem_->setChecked(on);
}

// Another device: its name and its own list of found devices.
void TrayMenu::showDevice() {
    showStatusLine();
    rebuildDevices();
}

void TrayMenu::showState() {
    const auto &client = controller_.wiiMClient();
    if (!client)
        return;
    const DeviceState &s = client->state();
    // A follower plays what its leader plays.
    const DeviceState &playing = controller_.playback();
    showStatusLine();
    // Muted reads as 0 on the slider; unmuting brings the level back.
    if (s.volumeKnown && volumeSlider_)
        volumeSlider_->setValue(s.muted ? 0 : static_cast<int>(s.volume));
    if (volumeRow_)
        volumeRow_->setMuted(s.muted);
    if (nowPlayingItem_ && s.reachable == true) {
        if (!playing.nowPlaying.isEmpty())
            nowPlayingItem_->setText(playing.nowPlaying);
        nowPlayingItem_->setVisible(!playing.nowPlaying.isEmpty());
    }
    if (transportRow_)
        transportRow_->setPlaying(playing.playing);
    updateSourceChecks();
}

// The name while the device answers; " (unreachable)" from the first poll without an answer;
// the last refusal after the name while it is said. Before any device, the saved one's name.
QString TrayMenu::statusLine(const DeviceController &controller) {
    const auto &client = controller.wiiMClient();
    if (!client)
        return Settings::ip().isEmpty() ? tr("No Device Selected") : Settings::deviceName();
    if (client->state().reachable == false)
        return controller.deviceName() + QStringLiteral(" (unreachable)");
    if (!controller.refusal().isEmpty())
        return controller.deviceName() + u' ' + controller.refusal();
    return controller.deviceName();
}

// The first line, with a green check while the device answers and a red cross when not.
void TrayMenu::showStatusLine() {
    const auto &client = controller_.wiiMClient();
    const bool unreachable = client && client->state().reachable == false;
    const int mark = client || !Settings::ip().isEmpty() ? (unreachable ? 2 : 1) : 0;
    if (statusMenuItem_ && mark != shownMark_) {
        shownMark_ = mark;
        const auto symbol = systemSymbol(mark == 2 ? QStringLiteral("xmark.circle.fill")
                                                   : QStringLiteral("checkmark.circle.fill"));
        statusMenuItem_->setIcon(
            mark && symbol
                ? tinted(*symbol, mark == 2 ? QColor(255, 59, 48) : QColor(52, 199, 89), 14)
                      .icon(QColor())
                : QIcon());
    }
    if (statusMenuItem_)
        statusMenuItem_->setText(statusLine(controller_)); // the same text is no change
}

// Rows that stay the same keep their QAction, so hosts that draw the menu keep their ids
// across rebuilds; only the entries of devices that came, went or changed are replaced.
void TrayMenu::rebuildDevices() {
    if (!deviceSubmenu_)
        return;
    QMenu *menu = deviceSubmenu_;
    QAction *searching = menu->findChild<QAction *>(kSearching, Qt::FindDirectChildrenOnly);
    QAction *fixed = menu->findChild<QAction *>(kFixedRows, Qt::FindDirectChildrenOnly);
    if (!searching) {
        searching = menu->addAction(tr("Searching\u2026"));
        searching->setObjectName(kSearching);
        searching->setEnabled(false);
        fixed = menu->addSeparator();
        fixed->setObjectName(kFixedRows);
        QAction *rescan = menu->addAction(tr("Rescan Network"));
        rescan->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));
        setRowIcon(rescan, QStringLiteral("arrow.clockwise"), 13,
                   QStringLiteral("view-refresh-symbolic"));
        connect(rescan, &QAction::triggered, &controller_, &DeviceController::rescanDevices);
        QAction *enter = menu->addAction(tr("Enter IP Address\u2026"));
        setRowIcon(enter, QStringLiteral("network"), 13, QStringLiteral("network-wired-symbolic"));
        connect(enter, &QAction::triggered, this, [this] { actions_.enterIP(); });
    }
    const std::vector<WiiMDevice> &devices = controller_.devices();
    searching->setVisible(devices.empty());

    QList<QAction *> old;
    for (QAction *a : menu->actions())
        if (a->data().canConvert<WiiMDevice>())
            old.append(a);
    const QString savedIp = Settings::ip();
    for (const WiiMDevice &device : devices) {
        QAction *entry = nullptr;
        for (QAction *candidate : std::as_const(old))
            if (shows(candidate, device)) {
                entry = candidate;
                old.removeOne(candidate);
                break;
            }
        if (!entry) {
            entry = new QAction(device.model.isEmpty()
                                    ? device.name
                                    : device.name + QStringLiteral(" \u2014 ") + device.model,
                                menu);
            entry->setData(QVariant::fromValue(device));
            entry->setCheckable(true);
            connect(entry, &QAction::triggered, this, [this, entry] { pickDevice(entry); });
        }
        entry->setChecked(device.ip == savedIp);
        menu->removeAction(entry); // then in the list's order, above the fixed rows
        menu->insertAction(fixed, entry);
    }
    qDeleteAll(old);
}

void TrayMenu::pickDevice(QAction *entry) {
    if (!entry || !entry->data().canConvert<WiiMDevice>())
        return;
    const WiiMDevice chosen = entry->data().value<WiiMDevice>();
    controller_.connectToDevice(chosen.ip, chosen.name);
}

// The inputs of the device's model and the presets it keeps; each shown only when it has any.
void TrayMenu::rebuildDetails() {
    if (sourceMenu_) {
        sourceMenu_->clear();
        auto *group = new QActionGroup(sourceMenu_);
        for (const DeviceInput &input : controller_.inputs()) {
            QAction *entry = sourceMenu_->addAction(input.label);
            entry->setData(input.mode);
            entry->setCheckable(true);
            group->addAction(entry);
            connect(entry, &QAction::triggered, this, [this, mode = input.mode] {
                controller_.switchInput(mode);
                // The mark follows the device's next answer, not the click.
                updateSourceChecks();
            });
        }
        group->setExclusionPolicy(QActionGroup::ExclusionPolicy::ExclusiveOptional);
        sourceMenu_->menuAction()->setVisible(!controller_.inputs().empty());
        updateSourceChecks();
    }
    if (presetMenu_) {
        presetMenu_->clear();
        for (const DevicePreset &preset : controller_.presets()) {
            QAction *entry = presetMenu_->addAction(
                QStringLiteral("%1. %2").arg(preset.number).arg(preset.name));
            connect(entry, &QAction::triggered, this,
                    [this, number = preset.number] { controller_.playPreset(number); });
        }
        presetMenu_->menuAction()->setVisible(!controller_.presets().empty());
    }
}

void TrayMenu::updateSourceChecks() {
    if (!sourceMenu_ || !controller_.wiiMClient())
        return;
    const auto mode = controller_.wiiMClient()->state().input;
    const auto playing = mode ? inputOfMode(*mode) : std::nullopt;
    for (QAction *entry : sourceMenu_->actions())
        entry->setChecked(playing && isSameInput(entry->data().toString(), *playing));
}

} // namespace knobly
