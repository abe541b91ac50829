// knoblyctl and knobly as processes: exit codes, output, and the shared settings file.
#include "Await.h"
#include "DeviceSimulator.h"
#include "Settings.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSettings>

#include <gtest/gtest.h>

#include <csignal>

using namespace knobly;
using devicesim::DeviceSimulator;
using devicesim::Fault;

namespace {

struct CtlRun {
    int exitCode = -1;
    QString out;
    QString err;
};

CtlRun knoblyctl(const QStringList &args) {
    QProcess p;
    p.setProgram(QStringLiteral(KNOBLY_BIN_DIR "/knoblyctl"));
    p.setArguments(args);
    p.start();
    CtlRun r;
    if (!p.waitForFinished(30000)) {
        p.kill();
        p.waitForFinished();
        return r;
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

class KnoblyctlTest : public ::testing::Test {
protected:
    void SetUp() override {
        QDir(QFileInfo(QSettings("Knobly", "Knobly").fileName()).path()).removeRecursively();
        ASSERT_TRUE(sim.start());
        sim.setVolume(40);
    }
    DeviceSimulator sim;
};

TEST_F(KnoblyctlTest, StatusPrintsOneJsonObject) {
    const CtlRun r = knoblyctl({"status", "--device", sim.address()});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    const auto json = QJsonDocument::fromJson(r.out.toUtf8()).object();
    EXPECT_EQ(json.value("volume").toInt(), 40);
    EXPECT_EQ(json.value("muted").toBool(true), false);
    EXPECT_EQ(json.value("playing").toBool(false), true);
    EXPECT_EQ(json.value("nowPlaying").toString(),
              QString::fromUtf8("Miles Davis \xe2\x80\x94 Blue in Green"));
}

TEST_F(KnoblyctlTest, StatusFieldsAreNullWhenTheAnswerLacksThem) {
    sim.setFault(Fault::WrongTypes);
    const CtlRun r = knoblyctl({"status", "--device", sim.address()});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    const auto json = QJsonDocument::fromJson(r.out.toUtf8()).object();
    for (const char *key : {"volume", "muted", "nowPlaying", "playing"})
        EXPECT_TRUE(json.value(key).isNull()) << key;
}

TEST_F(KnoblyctlTest, CommandsUseTheSavedDeviceAndStep) {
    Settings::setIp(sim.address());
    Settings::setVolumeStep(5);
    struct Case {
        QStringList args;
        QString expectedLastCommand;
    };
    const Case cases[] = {
        {{"volume", "up"}, "setPlayerCmd:vol:45"},
        {{"volume", "down"}, "setPlayerCmd:vol:40"},
        {{"volume", "250"}, "setPlayerCmd:vol:100"},
        {{"mute"}, "setPlayerCmd:mute:1"},
        {{"mute"}, "setPlayerCmd:mute:0"},
        {{"play-pause"}, "setPlayerCmd:pause"},
        {{"play-pause"}, "setPlayerCmd:resume"},
        {{"next"}, "setPlayerCmd:next"},
        {{"prev"}, "setPlayerCmd:prev"},
    };
    for (const auto &c : cases) {
        const CtlRun r = knoblyctl(c.args);
        EXPECT_EQ(r.exitCode, 0) << c.args.join(' ').toStdString() << ": " << r.err.toStdString();
        ASSERT_FALSE(sim.commands().empty());
        EXPECT_EQ(sim.commands().back(), c.expectedLastCommand) << c.args.join(' ').toStdString();
    }
}

TEST_F(KnoblyctlTest, InputsPresetsAndTheVolumeLimit) {
    DeviceSimulator::Options options;
    options.presets = {{1, "Radio One"}, {3, "Jazz"}};
    DeviceSimulator withPresets(options);
    ASSERT_TRUE(withPresets.start());
    Settings::setIp(withPresets.address());
    Settings::setMaxVolume(60);
    struct Case {
        QStringList args;
        int exitCode;
        QString lastCommand; // empty: nothing sent but queries
        QString out;         // a line the output must hold
    };
    const Case cases[] = {
        {{"source"}, 0, "getPlayerStatus", "* wifi       Wi-Fi"},
        {{"source", "line in"}, 0, "setPlayerCmd:switchmode:line-in", "source Line In"},
        {{"source"}, 0, "getPlayerStatus", "* line-in    Line In"},
        {{"source", "HDMI"}, 2, "getPlayerStatus", ""},
        {{"preset", "3"}, 0, "MCUKeyShortClick:3", "preset 3 Jazz"},
        {{"preset", "2"}, 1, "getPresetInfo", ""},
        {{"preset", "x"}, 2, "getPresetInfo", ""},
        {{"volume", "250"}, 0, "setPlayerCmd:vol:60", "volume 60"},
        {{"preset", "1", "--device", sim.address()}, 1, "getPresetInfo", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        const CtlRun r = knoblyctl(c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.err.toStdString();
        const DeviceSimulator &asked = c.args.contains("--device") ? sim : withPresets;
        ASSERT_FALSE(asked.commands().empty());
        EXPECT_EQ(asked.commands().back(), c.lastCommand);
        EXPECT_TRUE(r.out.contains(c.out)) << r.out.toStdString();
    }
}

TEST_F(KnoblyctlTest, ExitCodesTellWhatWentWrong) {
    struct Case {
        QStringList args;
        int exitCode;
    };
    const Case noDeviceSaved[] = {{{"status"}, 1}, {{"next"}, 1}};
    for (const auto &c : noDeviceSaved)
        EXPECT_EQ(knoblyctl(c.args).exitCode, c.exitCode) << c.args.join(' ').toStdString();

    sim.setFault(Fault::Reset);
    const Case cases[] = {
        {{"status", "--device", sim.address()}, 1},
        {{"volume", "up", "--device", sim.address()}, 1},
        {{"next", "--device", sim.address()}, 1},
        {{}, 2},
        {{"launch"}, 2},
        {{"volume"}, 2},
        {{"volume", "loud"}, 2},
        {{"next", "now"}, 2},
        {{"status", "--device"}, 2},
        {{"status", "--device", "10.0.0.1/x"}, 2},
    };
    for (const auto &c : cases) {
        const CtlRun r = knoblyctl(c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.args.join(' ').toStdString();
        if (c.exitCode != 0) {
            EXPECT_FALSE(r.err.isEmpty()) << "a failure says why";
        }
    }
}

TEST(KnoblyProgram, StartsReadsSettingsAndEndsCleanlyOnSigterm) {
    QProcess p;
    p.setProgram(QStringLiteral(KNOBLY_BIN_DIR "/knobly"));
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    p.setProcessEnvironment(env);
    p.start();
    ASSERT_TRUE(p.waitForStarted());
    // Still running after start-up means it did not trip over its settings.
    EXPECT_FALSE(p.waitForFinished(1000));
    ::kill(static_cast<pid_t>(p.processId()), SIGTERM);
    ASSERT_TRUE(p.waitForFinished(10000));
    EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(p.exitCode(), 0);
}

} // namespace
