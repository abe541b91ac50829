#pragma once

// knobly as a process on a desktop of the test's own making: private folders, a simulated
// device saved as the chosen one, a panel host and a stand-in watcher on the private session
// bus. Whatever a case leaves running ends the way a session logout ends it.
#include "BusHarness.h"
#include "DeviceSimulator.h"

#include <QDBusMessage>
#include <QDBusVariant>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <iostream>
#include <memory>
#include <optional>
#include <vector>

namespace knobly::test {

class ProgramFixture : public ::testing::Test {
protected:
    // Skips where knobly may not run; otherwise starts the device and saves it with
    // `settings` (lines of the file after the device's own).
    void setUpProgram(const devicesim::DeviceSimulator::Options &options, const QString &settings) {
        if (const std::string why = whyNoPrivateDesktop(); !why.empty())
            GTEST_SKIP() << why;
        ASSERT_TRUE(config.isValid() && runtime.isValid() && scratch.isValid());
        sim = std::make_unique<devicesim::DeviceSimulator>(options);
        QString error;
        ASSERT_TRUE(sim->start(&error)) << error.toStdString();
        sim->setVolume(35);

        // Written as a person would, in the format QSettings keeps.
        ASSERT_TRUE(QDir(config.path()).mkpath(QStringLiteral("Knobly")));
        QFile file(settingsPath());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QStringLiteral("[General]\nip=%1\ndevice=Kitchen\n%2")
                       .arg(sim->address(), settings)
                       .toUtf8());
        file.close();

        host = std::make_unique<Connection>(QStringLiteral("host"));
        ASSERT_TRUE(host->bus().isConnected());
        watcher = std::make_unique<FakeWatcher>();
        ASSERT_TRUE(watcher->running);
    }

    void TearDown() override {
        for (const auto &process : launched) {
            if (process->state() == QProcess::NotRunning)
                continue;
            ::kill(static_cast<pid_t>(process->processId()), SIGTERM);
            const bool ended = waitForExit(*process);
            if (!ended) {
                process->kill();
                process->waitForFinished(5000);
            }
            EXPECT_TRUE(ended) << "SIGTERM did not end knobly";
            EXPECT_EQ(process->exitStatus(), QProcess::NormalExit);
            EXPECT_EQ(process->exitCode(), 0);
        }
        if (HasFailure()) {
            for (const auto &process : launched)
                std::cerr << "--- knobly said:\n" << process->readAll().toStdString() << "---\n";
        }
        watcher.reset();
        host.reset();
        if (sim)
            sim->stop();
    }

    bool simGot(const QString &command) const {
        const auto commands = sim->commands();
        return std::find(commands.begin(), commands.end(), command) != commands.end();
    }

    QString settingsPath() const { return config.filePath(QStringLiteral("Knobly/Knobly.conf")); }

    // What knobly runs with: the private folders, on the given Qt platform. Avahi is asked
    // over the system bus, and a daemon there would browse the real network on our behalf:
    // there is none on this address.
    QProcessEnvironment programEnvironment(const QString &platform) const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), platform);
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), config.path());
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
        env.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"),
                   QStringLiteral("unix:path=") + scratch.filePath(QStringLiteral("no-bus")));
        return env;
    }

    std::shared_ptr<QProcess> launch(const QProcessEnvironment &env) {
        auto process = std::make_shared<QProcess>();
        process->setProgram(QStringLiteral(KNOBLY_BIN_DIR "/knobly"));
        process->setProcessEnvironment(env);
        process->setProcessChannelMode(QProcess::MergedChannels);
        process->start();
        launched.push_back(process);
        return process;
    }

    // Starts knobly and waits for its item to register; the item's bus name.
    QString startKnobly(const QProcessEnvironment &env) {
        knobly = launch(env);
        if (!knobly->waitForStarted())
            return {};
        if (!pumpUntil([&] { return !watcher->registered.isEmpty(); }))
            return {};
        return watcher->registered.constFirst();
    }

    static QVariantList clickArguments(int id) {
        return {id, QStringLiteral("clicked"), QVariant::fromValue(QDBusVariant(QString())), 0u};
    }

    static bool waitForExit(QProcess &process, int guardMs = 15000) {
        return pumpUntil([&] { return process.state() == QProcess::NotRunning; }, guardMs);
    }

    // The menu as a host reads it; nothing when the answer is not a dbusmenu layout.
    std::optional<Row> layout(const QString &service) {
        const QDBusMessage reply = host->call(service, kMenuPath, kMenuInterface,
                                              QStringLiteral("GetLayout"), {0, -1, QStringList()});
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 2 ||
            reply.signature() != QLatin1String("u(ia{sv}av)"))
            return std::nullopt;
        return readRow(reply.arguments().at(1).value<QDBusArgument>());
    }

    // A menu click as a host sends it, waiting for knobly's answer.
    bool click(const QString &service, int id) {
        return host->call(service, kMenuPath, kMenuInterface, QStringLiteral("Event"),
                          clickArguments(id))
                   .type() == QDBusMessage::ReplyMessage;
    }
    // The same without waiting: the click may open a modal prompt first, or the test has
    // work of its own to do meanwhile.
    bool clickWithoutWaiting(const QString &service, int id) {
        QDBusMessage message = QDBusMessage::createMethodCall(service, kMenuPath, kMenuInterface,
                                                              QStringLiteral("Event"));
        message.setArguments(clickArguments(id));
        return host->bus().send(message);
    }

    QTemporaryDir config;
    QTemporaryDir runtime;
    QTemporaryDir scratch;
    std::unique_ptr<devicesim::DeviceSimulator> sim;
    std::unique_ptr<Connection> host;
    std::unique_ptr<FakeWatcher> watcher;
    std::shared_ptr<QProcess> knobly;
    std::vector<std::shared_ptr<QProcess>> launched;
};

} // namespace knobly::test
