// knobly as a process on a desktop of our own making: a private session bus with a stand-in
// panel watcher, the simulated device on loopback, and a network namespace with nothing but
// loopback in it, so that the discovery knobly starts at launch reaches no real network.
// Panel hosts are played from this process and from dbus-send under host names.
#include "BusHarness.h"
#include "DeviceSimulator.h"
#include "ProgramFixture.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>

void PrintTo(const QString &s, std::ostream *os) {
    *os << '"' << s.toStdString() << '"';
}

using devicesim::DeviceSimulator;
using namespace knobly::test;

namespace {

const QString kNowPlaying = QStringLiteral("Miles Davis \u2014 So What");

// ---------------------------------------------------------------------------------------------
// Fixture

class Desktop : public ProgramFixture {
protected:
    void SetUp() override {
        DeviceSimulator::Options options;
        options.name = QStringLiteral("Kitchen");
        options.tracks = {{QStringLiteral("So What"), QStringLiteral("Miles Davis"),
                           QStringLiteral("Kind of Blue")},
                          {QStringLiteral("Freddie Freeloader"), QStringLiteral("Miles Davis"),
                           QStringLiteral("Kind of Blue")}};
        setUpProgram(options, QStringLiteral("step=5\n"));
        if (IsSkipped() || HasFatalFailure())
            return;
        sim->setStatus(QStringLiteral("play"));
    }

    std::shared_ptr<QProcess> launch() {
        return ProgramFixture::launch(programEnvironment(QStringLiteral("offscreen")));
    }
    QString startKnobly() {
        return ProgramFixture::startKnobly(programEnvironment(QStringLiteral("offscreen")));
    }

    // The menu once the device has answered: the device's row reads its name and the
    // slider row carries the volume.
    std::optional<Row> connectedMenu(const QString &service, int volume = 35) {
        std::optional<Row> menu;
        const QString volumeText = QStringLiteral("Volume %1%").arg(volume);
        pumpUntil([&] {
            menu = layout(service);
            return menu && menu->find(volumeText) && menu->find(kNowPlaying) &&
                   menu->find(QStringLiteral("Source"));
        });
        return menu;
    }

    std::shared_ptr<QProcess> second;
};

// ---------------------------------------------------------------------------------------------
// Cases

TEST_F(Desktop, ItemRegistersWithThePanelsWatcher) {
    const QString service = startKnobly();
    ASSERT_FALSE(service.isEmpty()) << "no RegisterStatusNotifierItem arrived";
    EXPECT_EQ(watcher->registered.size(), 1);
    const QRegularExpression pattern(
        QStringLiteral("^org\\.kde\\.StatusNotifierItem-%1-\\d+$").arg(knobly->processId()));
    EXPECT_TRUE(pattern.match(service).hasMatch()) << service.toStdString();
    // The call came from knobly, and the name it gave is knobly's own.
    for (const QString &name : {watcher->senders.constFirst(), service}) {
        SCOPED_TRACE(name.toStdString());
        const QDBusReply<uint> pid = host->bus().interface()->servicePid(name);
        ASSERT_TRUE(pid.isValid());
        EXPECT_EQ(qint64(pid.value()), knobly->processId());
    }

    const struct {
        const char *property;
        const char *expected;
    } cases[] = {{"Id", "knobly"}, {"Title", "WiiM"}, {"Status", "Active"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.property);
        const QDBusMessage reply =
            host->call(service, kItemPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                       QStringLiteral("Get"), {kItemInterface, QString::fromLatin1(c.property)});
        ASSERT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
        EXPECT_EQ(reply.arguments().at(0).value<QDBusVariant>().variant().toString(),
                  QString::fromLatin1(c.expected));
    }
}

TEST_F(Desktop, MenuShowsTheDeviceAndEveryControl) {
    const QString service = startKnobly();
    ASSERT_FALSE(service.isEmpty());
    const std::optional<Row> menu = connectedMenu(service);
    ASSERT_TRUE(menu) << "the device's answer never reached the menu";

    EXPECT_EQ(
        menu->labels(),
        (QStringList{QStringLiteral("Kitchen"), kNowPlaying, QStringLiteral("Volume 35%"),
                     QStringLiteral("Previous"), QStringLiteral("Pause"), QStringLiteral("Next"),
                     QStringLiteral("Source"), QStringLiteral("Select Device"),
                     QStringLiteral("Capture Media Keys"), QStringLiteral("Start at Login"),
                     QStringLiteral("Volume Step"), QStringLiteral("Maximum Volume"),
                     QStringLiteral("Check for Updates\u2026"), QStringLiteral("Quit Knobly")}));

    // The device's row: a status line with the green mark, not something to click.
    const Row &device = menu->children.constFirst();
    EXPECT_EQ(device.label(), QStringLiteral("Kitchen"));
    EXPECT_FALSE(device.properties.value(QStringLiteral("enabled"), true).toBool());
    EXPECT_FALSE(device.properties.value(QStringLiteral("icon-data")).toByteArray().isEmpty());

    // The slider as hosts draw it: a submenu of levels, the nearest one checked, and Mute.
    const Row *volume = menu->find(QStringLiteral("Volume 35%"));
    ASSERT_NE(volume, nullptr);
    QStringList levels{QStringLiteral("Mute")};
    for (int level = 0; level <= 100; level += 10)
        levels << QStringLiteral("%1%").arg(level);
    EXPECT_EQ(volume->labels(), levels);
    EXPECT_EQ(volume->find(QStringLiteral("Mute"))->toggleState(), 0);
    for (const Row &level : volume->children) {
        if (level.label().endsWith(u'%')) {
            EXPECT_EQ(level.toggleState(), level.label() == QLatin1String("40%") ? 1 : 0)
                << level.label().toStdString();
        }
    }

    const Row *devices = menu->find(QStringLiteral("Select Device"));
    ASSERT_NE(devices, nullptr);
    EXPECT_EQ(devices->properties.value(QStringLiteral("children-display")).toString(),
              QStringLiteral("submenu"));
    const QStringList deviceRows = devices->labels();
    ASSERT_GE(deviceRows.size(), 2);
    EXPECT_EQ(
        deviceRows.mid(deviceRows.size() - 2),
        (QStringList{QStringLiteral("Rescan Network"), QStringLiteral("Enter IP Address\u2026")}));

    const Row *keys = menu->find(QStringLiteral("Capture Media Keys"));
    ASSERT_NE(keys, nullptr);
    EXPECT_EQ(keys->toggleState(), 0);
    const Row *login = menu->find(QStringLiteral("Start at Login"));
    ASSERT_NE(login, nullptr);
    EXPECT_EQ(login->properties.value(QStringLiteral("toggle-type")).toString(),
              QStringLiteral("checkmark"));

    const Row *steps = menu->find(QStringLiteral("Volume Step"));
    ASSERT_NE(steps, nullptr);
    EXPECT_EQ(steps->labels(),
              (QStringList{QStringLiteral("1%"), QStringLiteral("2%"), QStringLiteral("3%"),
                           QStringLiteral("5%"), QStringLiteral("10%")}));
    for (const Row &step : steps->children) {
        SCOPED_TRACE(step.label().toStdString());
        EXPECT_EQ(step.toggleState(), step.label() == QLatin1String("5%") ? 1 : 0);
    }
}

TEST_F(Desktop, MenuClicksReachTheDeviceAndTheSettings) {
    const QString service = startKnobly();
    ASSERT_FALSE(service.isEmpty());
    const std::optional<Row> menu = connectedMenu(service);
    ASSERT_TRUE(menu);

    const Row *volume = menu->find(QStringLiteral("Volume 35%"));
    ASSERT_NE(volume, nullptr);
    ASSERT_TRUE(click(service, volume->find(QStringLiteral("Mute"))->id));
    EXPECT_TRUE(pumpUntil([&] { return simGot(QStringLiteral("setPlayerCmd:mute:1")); }));
    ASSERT_TRUE(click(service, volume->find(QStringLiteral("20%"))->id));
    EXPECT_TRUE(pumpUntil([&] { return simGot(QStringLiteral("setPlayerCmd:vol:20")); }));

    const Row *next = menu->find(QStringLiteral("Next"));
    ASSERT_NE(next, nullptr);
    EXPECT_FALSE(simGot(QStringLiteral("setPlayerCmd:next")));
    ASSERT_TRUE(click(service, next->id));
    EXPECT_TRUE(pumpUntil([&] { return simGot(QStringLiteral("setPlayerCmd:next")); }));
    // The skip shows: the polls that follow it bring the next track into the menu.
    EXPECT_TRUE(pumpUntil([&] {
        const std::optional<Row> now = layout(service);
        return now && now->find(QStringLiteral("Miles Davis \u2014 Freddie Freeloader"));
    }));

    const Row *ten = menu->find(QStringLiteral("Volume Step"))->find(QStringLiteral("10%"));
    ASSERT_NE(ten, nullptr);
    ASSERT_TRUE(click(service, ten->id));
    const auto savedStep = [&] {
        return QSettings(settingsPath(), QSettings::IniFormat).value(QStringLiteral("step"));
    };
    EXPECT_TRUE(pumpUntil([&] { return savedStep().toInt() == 10; }))
        << "step is " << savedStep().toString().toStdString();
    const std::optional<Row> after = layout(service);
    ASSERT_TRUE(after);
    const Row *steps = after->find(QStringLiteral("Volume Step"));
    ASSERT_NE(steps, nullptr);
    for (const Row &step : steps->children) {
        SCOPED_TRACE(step.label().toStdString());
        EXPECT_EQ(step.toggleState(), step.label() == QLatin1String("10%") ? 1 : 0);
    }
    // The rest of the file is left as it was.
    QSettings saved(settingsPath(), QSettings::IniFormat);
    EXPECT_EQ(saved.value(QStringLiteral("ip")).toString(), sim->address());
    EXPECT_EQ(saved.value(QStringLiteral("device")).toString(), QStringLiteral("Kitchen"));
}

// knobly saving the step from its menu while another process writes a key of its own into the
// same file: every key keeps its last value and the file stays readable.
TEST_F(Desktop, SettingsWrittenByAnotherProcessMeanwhileAreKept) {
    const QString service = startKnobly();
    ASSERT_FALSE(service.isEmpty());
    const std::optional<Row> menu = connectedMenu(service);
    ASSERT_TRUE(menu);
    const Row *steps = menu->find(QStringLiteral("Volume Step"));
    ASSERT_NE(steps, nullptr);
    const Row *one = steps->find(QStringLiteral("1%"));
    const Row *five = steps->find(QStringLiteral("5%"));
    const Row *ten = steps->find(QStringLiteral("10%"));
    ASSERT_TRUE(one && five && ten);

    constexpr int kRounds = 100;
    for (int i = 0; i < kRounds; ++i) {
        // Sent without waiting for the answer: knobly saves while this process writes.
        ASSERT_TRUE(clickWithoutWaiting(service, (i % 2 == 0 ? one : five)->id)) << "round " << i;
        QSettings other(settingsPath(), QSettings::IniFormat);
        other.setValue(QStringLiteral("keys"), i % 2 == 1);
        other.sync();
        ASSERT_EQ(other.status(), QSettings::NoError) << "round " << i;
    }
    // A last choice of its own: once it is saved, every click before it has been handled.
    ASSERT_TRUE(click(service, ten->id));
    const auto savedStep = [&] {
        return QSettings(settingsPath(), QSettings::IniFormat).value(QStringLiteral("step"));
    };
    EXPECT_TRUE(pumpUntil([&] { return savedStep().toInt() == 10; }))
        << "step is " << savedStep().toString().toStdString();

    QSettings file(settingsPath(), QSettings::IniFormat);
    EXPECT_EQ(file.status(), QSettings::NoError);
    EXPECT_EQ(file.value(QStringLiteral("keys")).toString(),
              (kRounds - 1) % 2 == 1 ? "true" : "false");
    EXPECT_EQ(file.value(QStringLiteral("ip")).toString(), sim->address());
    EXPECT_EQ(file.value(QStringLiteral("device")).toString(), QStringLiteral("Kitchen"));
    EXPECT_TRUE(QDir(config.filePath(QStringLiteral("Knobly")))
                    .entryList({QStringLiteral("*.damaged-*")}, QDir::Files)
                    .isEmpty())
        << "a writer took the file for damaged";
    EXPECT_EQ(knobly->state(), QProcess::Running);
}

TEST_F(Desktop, ScrollingStepsTheVolumeUpWhicheverPanelSendsIt) {
    const QString service = startKnobly();
    ASSERT_FALSE(service.isEmpty());
    ASSERT_TRUE(connectedMenu(service));

    const auto volumeCommands = [&] {
        QStringList found;
        for (const QString &c : sim->commands())
            if (c.startsWith(QLatin1String("setPlayerCmd:vol")))
                found << c;
        return found;
    };
    // Plasma counts a positive delta as up; Waybar (like most hosts) as down.
    ASSERT_TRUE(scrollAs(QStringLiteral("plasmashell"), service, 120, QStringLiteral("Vertical")));
    ASSERT_TRUE(pumpUntil([&] { return !volumeCommands().isEmpty(); }));
    EXPECT_EQ(volumeCommands(), QStringList{QStringLiteral("setPlayerCmd:vol:40")});

    ASSERT_TRUE(scrollAs(QStringLiteral("waybar"), service, -1, QStringLiteral("vertical")));
    ASSERT_TRUE(pumpUntil([&] { return volumeCommands().size() >= 2; }));
    EXPECT_EQ(volumeCommands(), (QStringList{QStringLiteral("setPlayerCmd:vol:40"),
                                             QStringLiteral("setPlayerCmd:vol:45")}));
    EXPECT_EQ(sim->volume(), 45);
    EXPECT_TRUE(connectedMenu(service, 45)) << "the slider row follows";
}

TEST_F(Desktop, ItemRegistersAgainWhenThePanelComesBack) {
    const QString service = startKnobly();
    ASSERT_FALSE(service.isEmpty());

    // The panel restarts: its watcher leaves the bus and a new one takes the name.
    watcher->stop();
    ASSERT_TRUE(pumpUntil(
        [&] { return !host->bus().interface()->isServiceRegistered(kWatcherService).value(); }));
    watcher = std::make_unique<FakeWatcher>();
    ASSERT_TRUE(watcher->running);
    ASSERT_TRUE(pumpUntil([&] { return !watcher->registered.isEmpty(); }))
        << "no registration with the new watcher";
    EXPECT_EQ(watcher->registered.constFirst(), service);
    EXPECT_EQ(knobly->state(), QProcess::Running);
}

TEST_F(Desktop, ASecondCopyLeavesAtOnce) {
    const QString service = startKnobly();
    ASSERT_FALSE(service.isEmpty());
    ASSERT_TRUE(connectedMenu(service));
    const qsizetype knownConnections = watcher->connected.size();

    second = launch();
    ASSERT_TRUE(second->waitForStarted());
    ASSERT_TRUE(waitForExit(*second)) << "the second copy kept running";
    EXPECT_EQ(second->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second->exitCode(), 0);

    // Whatever the second copy said on the bus, if it joined at all, has reached the watcher
    // once the bus reports it gone.
    const QStringList joined = watcher->connected.mid(knownConnections);
    ASSERT_TRUE(pumpUntil([&] {
        for (const QString &name : joined)
            if (!watcher->departed.contains(name))
                return false;
        return true;
    }));
    ASSERT_EQ(watcher->registered.size(), 1);
    EXPECT_EQ(watcher->registered.constFirst(), service);
    EXPECT_EQ(knobly->state(), QProcess::Running) << "the first copy carries on";
}

TEST_F(Desktop, QuitFromTheMenuEndsTheProgram) {
    const QString service = startKnobly();
    ASSERT_FALSE(service.isEmpty());
    const std::optional<Row> menu = connectedMenu(service);
    ASSERT_TRUE(menu);
    const Row *quit = menu->find(QStringLiteral("Quit Knobly"));
    ASSERT_NE(quit, nullptr);

    ASSERT_TRUE(click(service, quit->id));
    ASSERT_TRUE(waitForExit(*knobly)) << "still running after Quit";
    EXPECT_EQ(knobly->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(knobly->exitCode(), 0);
    // Leaving takes the item off the bus.
    EXPECT_TRUE(
        pumpUntil([&] { return !host->bus().interface()->isServiceRegistered(service).value(); }));
}

} // namespace

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
