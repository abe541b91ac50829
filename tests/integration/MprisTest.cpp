// knobly's MPRIS player as desktops drive it: playerctl against the program on a private
// session bus, with the simulated device on loopback (in a network namespace of its own).
#include "ProgramFixture.h"

#include <QCoreApplication>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QProcess>

#include <gtest/gtest.h>

#include <cmath>

using devicesim::DeviceSimulator;
using namespace knobly::test;

namespace {

class Mpris : public ProgramFixture {
protected:
    void SetUp() override {
        DeviceSimulator::Options options;
        options.name = QStringLiteral("Kitchen");
        options.tracks = {
            {QStringLiteral("Jóga — 全部"), QStringLiteral("Björk"), QStringLiteral("Homogenic")},
            {QStringLiteral("Bachelorette"), QStringLiteral("Björk"), QStringLiteral("unknow")}};
        setUpProgram(options, QString());
        if (IsSkipped() || HasFatalFailure())
            return;
        sim->setStatus(QStringLiteral("play"));
        ASSERT_FALSE(startKnobly(programEnvironment(QStringLiteral("offscreen"))).isEmpty());
    }

    // playerctl's answer for this player, trimmed; "" when it failed.
    static QString playerctl(const QStringList &arguments) {
        QProcess p;
        p.start(QStringLiteral("playerctl"),
                QStringList{QStringLiteral("-p"), "knobly"} + arguments);
        if (!p.waitForFinished(10000) || p.exitCode() != 0)
            return {};
        return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
    }
    bool answers(const QStringList &arguments, const QString &expected) {
        return pumpUntil([&] { return playerctl(arguments) == expected; });
    }
    QDBusMessage setVolume(double volume) {
        return host->call(QStringLiteral("org.mpris.MediaPlayer2.knobly"),
                          QStringLiteral("/org/mpris/MediaPlayer2"),
                          QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Set"),
                          {QStringLiteral("org.mpris.MediaPlayer2.Player"),
                           QStringLiteral("Volume"), QVariant::fromValue(QDBusVariant(volume))});
    }
};

TEST_F(Mpris, PlayerctlSeesAndDrivesTheDevice) {
    ASSERT_TRUE(answers({"status"}, "Playing"));
    EXPECT_EQ(playerctl({"metadata", "--format",
                         "{{xesam:title}}|{{xesam:artist}}|{{xesam:album}}|{{mpris:length}}"}),
              QStringLiteral("Jóga — 全部|Björk|Homogenic|337000000"));
    EXPECT_TRUE(playerctl({"metadata", "mpris:trackid"}).contains(QLatin1String("'/")));
    EXPECT_TRUE(answers({"metadata", "mpris:artUrl"}, "http://127.0.0.1/art/1.jpg"));
    EXPECT_NEAR(playerctl({"volume"}).toDouble(), 0.35, 1e-6);
    const QDBusMessage entry = host->call(
        QStringLiteral("org.mpris.MediaPlayer2.knobly"), QStringLiteral("/org/mpris/MediaPlayer2"),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"),
        {QStringLiteral("org.mpris.MediaPlayer2"), QStringLiteral("DesktopEntry")});
    ASSERT_EQ(entry.type(), QDBusMessage::ReplyMessage);
    EXPECT_EQ(entry.arguments().at(0).value<QDBusVariant>().variant().toString(),
              QStringLiteral("org.knobly.Knobly"));

    playerctl({"play-pause"});
    EXPECT_TRUE(pumpUntil([&] { return simGot(QStringLiteral("setPlayerCmd:pause")); }));
    EXPECT_TRUE(answers({"status"}, "Paused"));
    playerctl({"next"});
    EXPECT_TRUE(answers({"metadata", "xesam:title"}, "Bachelorette"));
    EXPECT_EQ(playerctl({"metadata", "xesam:album"}), QString()) << "\"unknow\" is left out";

    // Levels as the desktop sends them: in range, above it, and values that are no level.
    playerctl({"volume", "0.2"});
    EXPECT_TRUE(pumpUntil([&] { return simGot(QStringLiteral("setPlayerCmd:vol:20")); }));
    playerctl({"volume", "1.5"});
    EXPECT_TRUE(pumpUntil([&] { return simGot(QStringLiteral("setPlayerCmd:vol:100")); }));
    const auto sent = sim->commands().size();
    EXPECT_EQ(setVolume(std::nan("")).type(), QDBusMessage::ReplyMessage);
    EXPECT_EQ(setVolume(INFINITY).type(), QDBusMessage::ReplyMessage);
    EXPECT_TRUE(answers({"volume"}, "1.000000"));
    for (std::size_t i = sent; i < sim->commands().size(); ++i)
        EXPECT_FALSE(sim->commands()[i].startsWith("setPlayerCmd:vol"))
            << sim->commands()[i].toStdString();

    const QDBusMessage open = host->call(
        QStringLiteral("org.mpris.MediaPlayer2.knobly"), QStringLiteral("/org/mpris/MediaPlayer2"),
        QStringLiteral("org.mpris.MediaPlayer2.Player"), QStringLiteral("OpenUri"),
        {QStringLiteral("http://example.invalid/a.mp3")});
    EXPECT_EQ(open.type(), QDBusMessage::ErrorMessage);

    // The device stopping on its own shows at the next poll.
    sim->setStatus(QStringLiteral("stop"));
    EXPECT_TRUE(answers({"status"}, "Stopped"));
}

} // namespace

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
