// knoblyctl: the device commands from a shell, for scripts and for desktops that do not let
// programs grab keys. Uses the same client and settings as the tray program.
#include "DeviceEvents.h"
#include "KnoblyBuild.h"
#include "KnoblyctlSupport.h"
#include "MainQueue.h"
#include "QtMainQueue.h"
#include "Settings.h"
#include "WiiMClient.h"
#include "WiiMDiscovery.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStringList>

#include <algorithm>
#include <cstdio>

using namespace knobly;
using namespace knobly::ctl;

namespace {

constexpr auto usageText =
    "usage: knoblyctl status [--verbose] [--device ADDRESS] [--description URL]\n"
    "       knoblyctl volume up|down|N [--device ADDRESS]\n"
    "       knoblyctl mute|play-pause|next|prev [--device ADDRESS]\n"
    "       knoblyctl source [NAME] [--device ADDRESS]\n"
    "       knoblyctl preset N [--device ADDRESS]\n"
    "       knoblyctl sleep [MINUTES|off] [--device ADDRESS]\n"
    "       knoblyctl group [list|add ADDRESS|remove ADDRESS|ungroup|volume N]\n"
    "                       [--device ADDRESS]\n"
    "       knoblyctl discover [--seconds N]\n"
    "       knoblyctl watch [--device ADDRESS] [--interval SECONDS]\n"
    "                       [--description URL]\n"
    "       knoblyctl --version\n"
    "The device defaults to the one chosen in Knobly.\n";

int usage(const char *problem) {
    std::fprintf(stderr, "knoblyctl: %s\n%s", problem, usageText);
    return Usage;
}

// Lists the model's inputs with the playing one marked, or switches to the one named (by its
// switch name or its label, in any case).
int source(WiiMClient &client, const QString &wanted) {
    const auto identity =
        await<DeviceIdentity>([&](auto done) { client.fetchIdentity(std::move(done)); });
    const auto status = queryStatus(client);
    if (!identity || !status)
        return failed(client);
    const std::vector<DeviceInput> inputs = inputsOfModel(identity->project);
    if (wanted.isEmpty()) {
        const auto playing = status->mode ? inputOfMode(*status->mode) : std::nullopt;
        for (const DeviceInput &input : inputs)
            std::printf("%s %-10s %s\n", playing && isSameInput(input.mode, *playing) ? "*" : " ",
                        qUtf8Printable(input.mode), qUtf8Printable(input.label));
        return Ok;
    }
    for (const DeviceInput &input : inputs) {
        if (input.mode.compare(wanted, Qt::CaseInsensitive) != 0 &&
            input.label.compare(wanted, Qt::CaseInsensitive) != 0)
            continue;
        if (!awaitDone([&](auto done) { client.switchInput(input.mode, done); }))
            return failed(client);
        std::printf("source %s\n", qUtf8Printable(input.label));
        return Ok;
    }
    return usage("this device has no such input (knoblyctl source lists them)");
}

// Plays preset `number`; a number the device does not have is refused.
int preset(WiiMClient &client, const QString &device, int number) {
    const auto presets =
        await<std::vector<DevicePreset>>([&](auto done) { client.fetchPresets(std::move(done)); });
    if (!presets)
        return failed(client);
    std::optional<DevicePreset> found;
    for (const DevicePreset &p : *presets)
        if (p.number == number)
            found = p;
    if (!found) {
        std::fprintf(stderr, "knoblyctl: the device at %s has no preset %d\n",
                     qUtf8Printable(device), number);
        return NoAnswer;
    }
    if (!awaitDone([&](auto done) { client.playPreset(number, done); }))
        return failed(client);
    std::printf("preset %d %s\n", number, qUtf8Printable(found->name));
    return Ok;
}

// The device's sleep timer: set for `minutes` (0: off), or, with none given, how long is left.
int sleepTimer(WiiMClient &client, std::optional<std::int64_t> minutes) {
    if (minutes &&
        !awaitDone([&](auto done) { client.setSleepTimer(*minutes ? *minutes * 60 : -1, done); }))
        return failed(client);
    const auto left =
        await<std::int64_t>([&](auto done) { client.fetchSleepTimer(std::move(done)); });
    if (!left)
        return failed(client);
    if (*left > 0)
        std::printf("sleep %lld min left\n", static_cast<long long>((*left + 59) / 60));
    else
        std::puts("sleep off");
    return Ok;
}

// One discovery run; every delivery of the device list is one JSON line.
int discover(double seconds) {
    auto discovery = std::make_shared<WiiMDiscovery>();
    discovery->startDiscovery([](const std::vector<WiiMDevice> &devices) {
        QJsonArray list;
        for (const WiiMDevice &d : devices)
            list.append(QJsonObject{{QStringLiteral("name"), d.name},
                                    {QStringLiteral("ip"), d.ip},
                                    {QStringLiteral("port"), static_cast<qint64>(d.port)},
                                    {QStringLiteral("model"), d.model},
                                    {QStringLiteral("source"), discoverySourceName(d.source)}});
        std::printf("%s\n", QJsonDocument(list).toJson(QJsonDocument::Compact).constData());
        std::fflush(stdout);
    });
    MainQueue::main().asyncAfter(seconds, [discovery] {
        discovery->stopDiscovery();
        QCoreApplication::quit();
    });
    const int status = QCoreApplication::exec();
    // Probes may still be under way; call them off before the process winds down.
    UrlSession::abortAll();
    return status;
}

int run(const QStringList &args) {
    QCommandLineParser parser;
    const QCommandLineOption deviceOption(QStringLiteral("device"), {}, QStringLiteral("ADDRESS"));
    const QCommandLineOption secondsOption(QStringLiteral("seconds"), {}, QStringLiteral("N"));
    const QCommandLineOption intervalOption(QStringLiteral("interval"), {},
                                            QStringLiteral("SECONDS"));
    const QCommandLineOption descriptionOption(QStringLiteral("description"), {},
                                               QStringLiteral("URL"));
    const QCommandLineOption verboseOption(QStringLiteral("verbose"), {});
    const QCommandLineOption helpOption({QStringLiteral("h"), QStringLiteral("help")}, {});
    const QCommandLineOption versionOption(QStringLiteral("version"), {});
    parser.addOptions({deviceOption, secondsOption, intervalOption, descriptionOption,
                       verboseOption, helpOption, versionOption});
    // A negative level ("volume -5") is a word, not an option: such words go last, after "--".
    static const QRegularExpression negative(QStringLiteral("^-[0-9]+$"));
    QStringList line{QStringLiteral("knoblyctl")}, numbers;
    for (const QString &arg : args)
        (negative.match(arg).hasMatch() ? numbers : line) << arg;
    if (!numbers.isEmpty())
        line << QStringLiteral("--") << numbers;
    if (!parser.parse(line)) {
        const QString why = parser.errorText();
        return usage(
            why.contains(QLatin1String("--device"))     ? "--device needs an address"
            : why.contains(QLatin1String("--seconds"))  ? "--seconds needs a number of seconds"
            : why.contains(QLatin1String("--interval")) ? "--interval needs a number of seconds"
            : why.contains(QLatin1String("--description"))
                ? "--description needs the URL of the device's UPnP description"
                : qPrintable(why));
    }
    if (parser.isSet(helpOption)) {
        std::fputs(usageText, stdout);
        return Ok;
    }
    if (parser.isSet(versionOption)) {
        std::printf("knoblyctl %s\n", build::version);
        return Ok;
    }
    QStringList words = parser.positionalArguments();
    QString device = parser.value(deviceOption);
    std::optional<double> seconds;
    if (parser.isSet(secondsOption)) {
        bool ok = false;
        const double n = parser.value(secondsOption).toDouble(&ok);
        if (!ok || !(n > 0) || n > 86400)
            return usage("--seconds needs a number of seconds");
        seconds = n;
    }
    std::optional<double> interval;
    if (parser.isSet(intervalOption)) {
        bool ok = false;
        const double n = parser.value(intervalOption).toDouble(&ok);
        if (!ok || !(n >= 0.1) || n > 3600)
            return usage("--interval needs a number of seconds (0.1 to 3600)");
        interval = n;
    }
    if (words.isEmpty())
        return usage("no command given");

    const QString command = words.takeFirst();
    if (command == QLatin1String("discover")) {
        if (!words.isEmpty() || parser.isSet(deviceOption))
            return usage("discover takes only --seconds");
        return discover(seconds.value_or(6.0));
    }
    if (seconds)
        return usage("--seconds goes with discover");
    if (interval && command != QLatin1String("watch"))
        return usage("--interval goes with watch");
    const bool verbose = parser.isSet(verboseOption);
    if (verbose && command != QLatin1String("status"))
        return usage("--verbose goes with status");
    const bool events = command == QLatin1String("watch") || verbose;
    QUrl description;
    if (parser.isSet(descriptionOption)) {
        description = QUrl(parser.value(descriptionOption), QUrl::StrictMode);
        if (!events)
            return usage("--description goes with watch and status --verbose");
        if (!description.isValid() || description.scheme() != QLatin1String("http") ||
            description.host().isEmpty())
            return usage("--description needs the http URL of the device's UPnP description");
    }
    if (events) {
        if (const QString why = DeviceEvents::unusableReason(); !why.isEmpty()) {
            std::fprintf(stderr, "knoblyctl: %s\n", qUtf8Printable(why));
            return NoAnswer;
        }
    }
    static const QStringList plain = {QStringLiteral("status"), QStringLiteral("watch"),
                                      QStringLiteral("mute"),   QStringLiteral("play-pause"),
                                      QStringLiteral("next"),   QStringLiteral("prev")};
    std::optional<std::int64_t> absoluteVolume;
    int direction = 0;
    if (command == QLatin1String("source")) {
        if (words.size() > 1)
            return usage("source takes at most one input name");
    } else if (command == QLatin1String("sleep")) {
        if (words.size() > 1)
            return usage("sleep takes minutes or off");
        if (!words.isEmpty() && words[0] != QLatin1String("off")) {
            absoluteVolume = integerFromDecimalText(words[0]);
            if (!absoluteVolume || *absoluteVolume < 1 || *absoluteVolume > 1440)
                return usage("sleep takes minutes (1 to 1440) or off");
        }
    } else if (command == QLatin1String("group")) {
        static const QStringList one = {QStringLiteral("list"), QStringLiteral("ungroup")};
        static const QStringList two = {QStringLiteral("add"), QStringLiteral("remove"),
                                        QStringLiteral("volume")};
        if (!(words.isEmpty() || (words.size() == 1 && one.contains(words[0])) ||
              (words.size() == 2 && two.contains(words[0]) && !words[1].trimmed().isEmpty())))
            return usage("group takes list, add ADDRESS, remove ADDRESS, ungroup or volume N");
    } else if (command == QLatin1String("preset")) {
        absoluteVolume = words.size() == 1 ? integerFromDecimalText(words[0]) : std::nullopt;
        if (!absoluteVolume || *absoluteVolume < 1 || *absoluteVolume > 99)
            return usage("preset takes a preset number");
    } else if (command == QLatin1String("volume")) {
        if (words.size() != 1)
            return usage("volume takes up, down or a number");
        if (words[0] == QLatin1String("up")) {
            direction = 1;
        } else if (words[0] == QLatin1String("down")) {
            direction = -1;
        } else {
            absoluteVolume = integerFromDecimalText(words[0]);
            if (!absoluteVolume)
                return usage("volume takes up, down or a whole number");
        }
    } else if (!plain.contains(command)) {
        return usage("unknown command");
    } else if (!words.isEmpty()) {
        return usage("too many arguments");
    }

    if (device.isEmpty())
        device = Settings::ip();
    if (device.isEmpty()) {
        std::fputs("knoblyctl: no device chosen yet; pick one in Knobly or pass --device ADDRESS\n",
                   stderr);
        return NoAnswer;
    }
    if (!WiiMClient::requestUrl(device, QStringLiteral("getPlayerStatus"))) {
        std::fprintf(stderr, "knoblyctl: \"%s\" is not a device address\n", qUtf8Printable(device));
        return Usage;
    }

    auto client = std::make_shared<WiiMClient>(device);
    client->setVolumeLimit(Settings::maxVolume());

    if (command == QLatin1String("status"))
        return status(*client, verbose, description);
    if (command == QLatin1String("watch"))
        return watch(*client, interval.value_or(5.0), description);
    if (command == QLatin1String("source"))
        return source(*client, words.value(0));
    if (command == QLatin1String("preset"))
        return preset(*client, device, static_cast<int>(*absoluteVolume));
    if (command == QLatin1String("group"))
        return group(*client, words);
    if (command == QLatin1String("sleep")) // "off" is 0 minutes
        return sleepTimer(*client, words.isEmpty() ? std::nullopt
                                                   : std::optional(absoluteVolume.value_or(0)));

    // Relative changes and toggles start from what the device says now.
    const bool needsStatus = direction != 0 || command == QLatin1String("mute") ||
                             command == QLatin1String("play-pause");
    if (needsStatus && !queryStatus(*client))
        return failed(*client);

    bool ok = false;
    if (command == QLatin1String("volume")) {
        std::int64_t target = absoluteVolume.value_or(0);
        if (direction != 0) {
            // The level is 0-100; a step beyond a full sweep (a hand-edited file) is one.
            const std::int64_t step = std::min<std::int64_t>(Settings::volumeStep(), 100);
            target = client->currentVolume() + direction * step;
        }
        ok = awaitDone([&](auto done) { client->setVolume(target, done); });
        if (ok)
            std::printf("volume %lld\n", static_cast<long long>(client->currentVolume()));
    } else if (command == QLatin1String("mute")) {
        ok = awaitDone([&](auto done) { client->toggleMute(done); });
        if (ok)
            std::puts(client->isMuted() ? "muted" : "unmuted");
    } else if (command == QLatin1String("play-pause")) {
        ok = awaitDone([&](auto done) { client->playPause(done); });
        if (ok)
            std::puts(client->isPlaying() ? "playing" : "paused");
    } else if (command == QLatin1String("next")) {
        ok = awaitDone([&](auto done) { client->nextTrack(done); });
    } else {
        ok = awaitDone([&](auto done) { client->prevTrack(done); });
    }
    return ok ? Ok : failed(*client);
}

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Knobly"));
    QCoreApplication::setApplicationName(QStringLiteral("Knobly"));
    MainQueue::install(std::make_shared<QtMainQueue>());
    const int status = run(QCoreApplication::arguments().mid(1));
    // The clients are gone; their network managers (and Qt's threads behind them) go now,
    // while the application still runs, not in its teardown.
    UrlSession::abortAll();
    return status;
}
