// knobly-devicesim: a stand-in WiiM streamer for manual runs and end-to-end tests.
#include "DeviceSimulator.h"
#include "SsdpResponder.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

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
    std::fprintf(stderr, "usage: knobly-devicesim --port N [--bind ADDR] [--name NAME]\n"
                         "         [--ssid TEXT] [--project TEXT] [--firmware TEXT]\n"
                         "         [--ssdp wiim|renderer|unrelated --ssdp-interface IF\n"
                         "          [--ssdp-answers N]] [--upnp-port N] [--uuid HEX]\n"
                         "         [--multiroom-version V] [--capitalised-keys] [--stats]\n"
                         "Commands on standard input change the device as its other controls\n"
                         "would: volume N, mute 0|1, play, pause, stop, next, prev, upnp silent\n"
                         "on|off, upnp forget, upnp event rc|avt TEXT, restart.\n");
    return 2;
}

bool runCommand(devicesim::DeviceSimulator &sim, const QByteArray &line) {
    const QList<QByteArray> w = line.split(' ');
    const QByteArray arg = w.value(1);
    if (w[0] == "volume" && w.size() == 2)
        sim.setVolume(arg.toInt());
    else if (w[0] == "mute" && w.size() == 2)
        sim.setMuted(arg == "1");
    else if (w[0] == "play" || w[0] == "pause" || w[0] == "stop")
        sim.setStatus(QString::fromLatin1(w[0]));
    else if (w[0] == "next" || w[0] == "prev")
        sim.runCommand("setPlayerCmd:" + w[0]);
    else if (w[0] == "upnp" && arg == "silent" && w.size() == 3)
        sim.setUpnpSilent(w[2] == "on");
    else if (w[0] == "upnp" && arg == "forget")
        sim.forgetUpnpSubscribers();
    else if (w[0] == "upnp" && arg == "event" && w.size() >= 4)
        sim.sendUpnpEvent(w[2], line.mid(int(sizeof "upnp event ") + w[2].size()));
    else if (w[0] == "restart") {
        sim.stop();
        QString error;
        if (!sim.start(&error))
            std::fprintf(stderr, "knobly-devicesim: %s\n", error.toLocal8Bit().constData());
    } else
        return !line.isEmpty() ? false : true;
    return true;
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
    const QCommandLineOption ssidOption(QStringLiteral("ssid"),
                                        QStringLiteral("ssid the simulator reports."),
                                        QStringLiteral("TEXT"), defaults.ssid);
    const QCommandLineOption projectOption(QStringLiteral("project"),
                                           QStringLiteral("project the simulator reports."),
                                           QStringLiteral("TEXT"), defaults.project);
    const QCommandLineOption firmwareOption(QStringLiteral("firmware"),
                                            QStringLiteral("firmware the simulator reports."),
                                            QStringLiteral("TEXT"), defaults.firmware);
    const QCommandLineOption ssdpOption(
        QStringLiteral("ssdp"),
        QStringLiteral("Also answer SSDP renderer searches as a wiim, renderer or unrelated "
                       "device."),
        QStringLiteral("PROFILE"));
    const QCommandLineOption ssdpInterfaceOption(
        QStringLiteral("ssdp-interface"),
        QStringLiteral("Interface (name or IPv4 address) to hear SSDP searches on."),
        QStringLiteral("IF"));
    const QCommandLineOption ssdpAnswersOption(QStringLiteral("ssdp-answers"),
                                               QStringLiteral("Answers sent per search."),
                                               QStringLiteral("N"), QStringLiteral("1"));
    const QCommandLineOption upnpPortOption(
        QStringLiteral("upnp-port"),
        QStringLiteral("Also be a UPnP MediaRenderer with events on this port (0: any free)."),
        QStringLiteral("N"));
    const QCommandLineOption uuidOption(QStringLiteral("uuid"),
                                        QStringLiteral("Its uuid: 24 hex digits."),
                                        QStringLiteral("HEX"), defaults.uuid);
    const QCommandLineOption versionOption(QStringLiteral("multiroom-version"),
                                           QStringLiteral("The multiroom version it groups with."),
                                           QStringLiteral("V"), defaults.multiroomVersion);
    const QCommandLineOption capitalisedOption(
        QStringLiteral("capitalised-keys"),
        QStringLiteral("Answer the follower list with capitalised keys, as older firmware."));
    const QCommandLineOption statsOption(QStringLiteral("stats"),
                                         QStringLiteral("Print what was served when stopping."));
    parser.addOptions({portOption, bindOption, nameOption, ssidOption, projectOption,
                       firmwareOption, ssdpOption, ssdpInterfaceOption, ssdpAnswersOption,
                       upnpPortOption, uuidOption, versionOption, capitalisedOption, statsOption});

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
    const QString uuid = parser.value(uuidOption).toUpper();
    if (uuid.size() != 24 || QByteArray::fromHex(uuid.toLatin1()).toHex().toUpper() != uuid)
        return usageError(QStringLiteral("the uuid must be 24 hex digits"));

    std::optional<devicesim::SsdpResponder::Options> ssdp;
    if (parser.isSet(ssdpOption)) {
        const auto profile = devicesim::SsdpResponder::profileFromName(parser.value(ssdpOption));
        if (!profile)
            return usageError(
                QStringLiteral("unknown SSDP profile '%1'").arg(parser.value(ssdpOption)));
        // Never the kernel's pick: that would join the group on whatever LAN this machine has.
        if (parser.value(ssdpInterfaceOption).isEmpty())
            return usageError(QStringLiteral("--ssdp needs --ssdp-interface"));
        bool answersOk = false;
        const int answers = parser.value(ssdpAnswersOption).toInt(&answersOk);
        if (!answersOk || answers < 1 || answers > 100)
            return usageError(QStringLiteral("invalid number of SSDP answers '%1'")
                                  .arg(parser.value(ssdpAnswersOption)));
        ssdp.emplace();
        ssdp->profile = *profile;
        ssdp->interface = parser.value(ssdpInterfaceOption);
        ssdp->answersPerSearch = answers;
    } else if (parser.isSet(ssdpInterfaceOption) || parser.isSet(ssdpAnswersOption)) {
        return usageError(QStringLiteral("--ssdp-interface and --ssdp-answers go with --ssdp"));
    }

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
    options.ssid = parser.value(ssidOption);
    options.project = parser.value(projectOption);
    options.firmware = parser.value(firmwareOption);
    options.uuid = uuid;
    options.multiroomVersion = parser.value(versionOption);
    options.capitalisedKeys = parser.isSet(capitalisedOption);
    if (parser.isSet(upnpPortOption)) {
        bool upnpOk = false;
        const uint upnpPort = parser.value(upnpPortOption).toUInt(&upnpOk);
        if (!upnpOk || upnpPort > 65535)
            return usageError(
                QStringLiteral("invalid UPnP port '%1'").arg(parser.value(upnpPortOption)));
        options.upnpPort = quint16(upnpPort);
    }
    devicesim::DeviceSimulator simulator(options);
    QString error;
    if (!simulator.start(&error)) {
        std::fprintf(stderr, "knobly-devicesim: %s\n", error.toLocal8Bit().constData());
        return 1;
    }
    std::optional<devicesim::SsdpResponder> responder;
    QString ssdpNote;
    if (ssdp) {
        responder.emplace(*ssdp);
        if (!responder->start(&error)) {
            std::fprintf(stderr, "knobly-devicesim: SSDP: %s\n", error.toLocal8Bit().constData());
            return 1;
        }
        ssdpNote = QStringLiteral(", answering SSDP as \"%1\" on %2")
                       .arg(devicesim::SsdpResponder::profileName(ssdp->profile), ssdp->interface);
    }

    if (!simulator.upnpDescription().isEmpty())
        ssdpNote +=
            QStringLiteral(", UPnP description at ") + simulator.upnpDescription().toString();
    std::printf("knobly-devicesim: serving \"%s\" at https://%s/httpapi.asp%s\n",
                name.toUtf8().constData(), simulator.address().toUtf8().constData(),
                ssdpNote.toUtf8().constData());
    std::fflush(stdout);

    // Changes made "elsewhere": the device's own buttons, another controller.
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QByteArray pending;
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
        char buffer[4096];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            input.setEnabled(false); // closed: the signals still end it
            return;
        }
        pending.append(buffer, n);
        for (qsizetype end; (end = pending.indexOf('\n')) >= 0;) {
            const QByteArray line = pending.left(end).trimmed();
            pending.remove(0, end + 1);
            if (!runCommand(simulator, line))
                std::fprintf(stderr, "knobly-devicesim: unknown command '%s'\n", line.constData());
        }
    });

    QCoreApplication::exec();
    if (responder)
        responder->stop();
    simulator.stop();
    if (parser.isSet(statsOption)) {
        // One line a script can take apart with key=value matching.
        const auto commands = simulator.commands();
        const auto statusEx =
            std::count(commands.begin(), commands.end(), QStringLiteral("getStatusEx"));
        std::printf("knobly-devicesim: stats requests=%zu getStatusEx=%td tls-handshakes=%d "
                    "upnp-subscribes=%d upnp-renewals=%d "
                    "ssdp-searches=%d ssdp-answered=%d ssdp-answers-sent=%d\n",
                    commands.size(), statusEx, simulator.tlsHandshakes(),
                    simulator.upnpSubscribes(), simulator.upnpRenewals(),
                    responder ? responder->searchesReceived() : 0,
                    responder ? responder->searchesAnswered() : 0,
                    responder ? responder->answersSent() : 0);
        std::fflush(stdout);
    }
    return 0;
}
