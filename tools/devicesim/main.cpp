// knobly-devicesim: a stand-in WiiM streamer for manual runs and end-to-end tests.
#include "DeviceSimulator.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

int signalPipe[2] = {-1, -1};

extern "C" void onTerminate(int) {
    // Only async-signal-safe work here; the event loop does the rest.
    const int savedErrno = errno;
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(signalPipe[1], &byte, 1);
    errno = savedErrno;
}

bool installSignalHandlers() {
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    struct sigaction action {};
    action.sa_handler = onTerminate;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return ::sigaction(SIGTERM, &action, nullptr) == 0 &&
           ::sigaction(SIGINT, &action, nullptr) == 0;
}

int usageError(const QString &message) {
    std::fprintf(stderr, "knobly-devicesim: %s\n", message.toLocal8Bit().constData());
    std::fprintf(stderr, "usage: knobly-devicesim --port N [--bind ADDR] [--name NAME]\n");
    return 2;
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("knobly-devicesim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Serves a simulated WiiM streamer over HTTPS."));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption portOption(QStringLiteral("port"),
                                        QStringLiteral("TCP port to listen on (0: any free port)."),
                                        QStringLiteral("N"), QStringLiteral("0"));
    const QCommandLineOption bindOption(QStringLiteral("bind"),
                                        QStringLiteral("Address to listen on."),
                                        QStringLiteral("ADDR"), QStringLiteral("127.0.0.1"));
    const devicesim::DeviceSimulator::Options defaults;
    const QCommandLineOption nameOption(QStringLiteral("name"),
                                        QStringLiteral("Device name the simulator reports."),
                                        QStringLiteral("NAME"), defaults.name);
    parser.addOptions({portOption, bindOption, nameOption});

    // parse() rather than process(): bad arguments must exit with 2, not 1.
    if (!parser.parse(QCoreApplication::arguments()))
        return usageError(parser.errorText());
    if (parser.isSet(helpOption))
        parser.showHelp(0);
    if (!parser.positionalArguments().isEmpty())
        return usageError(QStringLiteral("unexpected argument '%1'")
                              .arg(parser.positionalArguments().constFirst()));

    bool portOk = false;
    const uint port = parser.value(portOption).toUInt(&portOk);
    if (!portOk || port > 65535)
        return usageError(QStringLiteral("invalid port '%1'").arg(parser.value(portOption)));
    QHostAddress bind;
    if (!bind.setAddress(parser.value(bindOption)))
        return usageError(
            QStringLiteral("invalid bind address '%1'").arg(parser.value(bindOption)));
    const QString name = parser.value(nameOption);
    if (name.isEmpty())
        return usageError(QStringLiteral("the device name must not be empty"));

    // Installed before serving so a signal right after the ready line is never lost.
    if (!installSignalHandlers()) {
        std::fprintf(stderr, "knobly-devicesim: cannot install signal handlers: %s\n",
                     std::strerror(errno));
        return 1;
    }
    QSocketNotifier signalNotifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, [] {
        char drain[16];
        while (::read(signalPipe[0], drain, sizeof drain) > 0) {
        }
        QCoreApplication::quit();
    });

    devicesim::DeviceSimulator::Options options;
    options.bind = bind;
    options.port = quint16(port);
    options.name = name;
    devicesim::DeviceSimulator simulator(options);
    QString error;
    if (!simulator.start(&error)) {
        std::fprintf(stderr, "knobly-devicesim: %s\n", error.toLocal8Bit().constData());
        return 1;
    }

    std::printf("knobly-devicesim: serving \"%s\" at https://%s/httpapi.asp\n",
                name.toUtf8().constData(), simulator.address().toUtf8().constData());
    std::fflush(stdout);

    QCoreApplication::exec();
    simulator.stop();
    return 0;
}
