// knoblyctl status and watch: the device's state now, or a line for every change of it,
// from its events and from polls.
#include "DeviceInputs.h"
#include "EventFeed.h"
#include "KnoblyctlSupport.h"
#include "MainQueue.h"
#include "UnixSignals.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

#include <csignal>
#include <utility>

namespace knobly::ctl {

namespace {

QJsonValue jsonOf(const std::optional<std::int64_t> &v) {
    return v ? QJsonValue(static_cast<qint64>(*v)) : QJsonValue(QJsonValue::Null);
}
QJsonValue jsonOf(const std::optional<bool> &v) {
    return v ? QJsonValue(*v) : QJsonValue(QJsonValue::Null);
}
QJsonValue jsonOf(const std::optional<QString> &v) {
    return v ? QJsonValue(*v) : QJsonValue(QJsonValue::Null);
}

// The device's state as one line of JSON; what no answer has said yet is null.
QByteArray stateLine(const DeviceState &s) {
    const auto input = s.input ? inputOfMode(*s.input) : std::nullopt;
    const QJsonObject json{
        {QStringLiteral("reachable"), jsonOf(s.reachable)},
        {QStringLiteral("volume"),
         s.volumeKnown ? QJsonValue(static_cast<qint64>(s.volume)) : QJsonValue(QJsonValue::Null)},
        {QStringLiteral("muted"), s.muted},
        {QStringLiteral("playing"), s.playing},
        {QStringLiteral("nowPlaying"), s.nowPlaying},
        {QStringLiteral("title"), shownText(s.title)},
        {QStringLiteral("artist"), shownText(s.artist)},
        {QStringLiteral("album"), shownText(s.album)},
        {QStringLiteral("input"), jsonOf(input)}};
    return QJsonDocument(json).toJson(QJsonDocument::Compact);
}

} // namespace

// A line for every change of the device's state, from its events and from polls every
// `interval` seconds, until SIGINT or SIGTERM (exit 0); a device that stops answering is a
// line too, not the end.
int watch(WiiMClient &client, double interval, const QUrl &description) {
    const EventFeed events(client, &DeviceEvents::create, description);
    UnixSignals interrupts({SIGTERM, SIGINT});
    QObject::connect(&interrupts, &UnixSignals::received, qApp, &QCoreApplication::quit);
    QByteArray last;
    QObject::connect(&client, &WiiMClient::stateChanged, &client, [&client, &last] {
        const QByteArray line = stateLine(client.state());
        if (line == last) // only what no line shows moved (the position)
            return;
        last = line;
        std::printf("%s\n", line.constData());
        std::fflush(stdout);
    });
    auto asking = std::make_shared<bool>(false); // a slow device is not asked again meanwhile
    const auto poll = [&client, asking] {
        if (std::exchange(*asking, true))
            return;
        client.fetchPlayerStatus([asking](const auto &) { *asking = false; });
    };
    const auto timer = MainQueue::main().scheduleRepeating(interval, poll);
    poll();
    return QCoreApplication::exec();
}

// The device's state now; verbose adds how its events are doing: whether they flow (waiting
// up to eventWait for the first), when the last came, and the changes a poll found that
// they did not bring.
int status(WiiMClient &client, bool verbose, const QUrl &description) {
    constexpr auto eventWait = std::chrono::seconds(3);
    std::optional<EventFeed> feed;
    if (verbose)
        feed.emplace(client, &DeviceEvents::create, description);
    const DeviceEvents *events = feed ? feed->events() : nullptr;
    const auto status = queryStatus(client);
    if (!status)
        return failed(client);
    QJsonObject json{{QStringLiteral("volume"), jsonOf(status->volume)},
                     {QStringLiteral("muted"), jsonOf(status->muted)},
                     {QStringLiteral("nowPlaying"), jsonOf(status->nowPlaying)},
                     {QStringLiteral("playing"), jsonOf(status->playing)}};
    if (events) {
        QEventLoop loop;
        QTimer::singleShot(eventWait, &loop, &QEventLoop::quit);
        QTimer check;
        QObject::connect(&check, &QTimer::timeout, &loop, [&] {
            if (events->alive())
                loop.quit();
        });
        check.start(20);
        if (!events->alive())
            loop.exec();
        queryStatus(client); // finds what the events did not bring
        const QDateTime last = events->lastEvent();
        json.insert(QStringLiteral("events"),
                    QJsonObject{{QStringLiteral("alive"), events->alive()},
                                {QStringLiteral("lastEvent"),
                                 last.isValid() ? QJsonValue(last.toString(Qt::ISODateWithMs))
                                                : QJsonValue(QJsonValue::Null)},
                                {QStringLiteral("changesMissed"), client.missedChanges()},
                                {QStringLiteral("description"),
                                 events->description().isEmpty()
                                     ? QJsonValue(QJsonValue::Null)
                                     : QJsonValue(events->description().toString())}});
    }
    std::printf("%s\n", QJsonDocument(json).toJson(QJsonDocument::Compact).constData());
    return Ok;
}

} // namespace knobly::ctl
