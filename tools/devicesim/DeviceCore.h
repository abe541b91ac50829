#pragma once

// The simulated device itself: its state, and the answer to each request, as the server thread
// and the owner's thread share them.
#include "DeviceSimulator.h"
#include "Multiroom.h"
#include "UpnpRenderer.h"

#include <QByteArray>
#include <QString>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

namespace devicesim {

using Clock = std::chrono::steady_clock;

constexpr qsizetype kMaxHeadBytes = 64 * 1024;
constexpr qsizetype kOversizeBytes = 2 * 1024 * 1024;
constexpr int kDefaultVolume = 35;
constexpr int kDefaultDripMs = 2500;

inline const QByteArray kUnknownCommand = QByteArrayLiteral("unknown command");
inline const QByteArray kNotFoundPage = QByteArrayLiteral(
    "<html><head><title>404 Not Found</title></head><body><h1>Not Found</h1></body></html>");

inline std::vector<Track> builtInTracks() {
    return {
        {QStringLiteral("Blue in Green"), QStringLiteral("Miles Davis"),
         QStringLiteral("Kind of Blue")},
        // Non-ASCII on purpose: clients must hex-decode UTF-8, not Latin-1.
        {QString::fromUtf8(u8"S\u00f3 Dan\u00e7o Samba"), QString::fromUtf8(u8"Jo\u00e3o Gilberto"),
         QStringLiteral("Getz/Gilberto")},
        {QStringLiteral("Xtal"), QStringLiteral("Aphex Twin"),
         QStringLiteral("Selected Ambient Works 85-92")},
    };
}

inline QByteArray jsonString(const QByteArray &utf8) {
    QByteArray out;
    out.reserve(utf8.size() + 2);
    out += '"';
    for (const char ch : utf8) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += ch;
        } else if (c < 0x20) {
            out += "\\u00";
            out += QByteArray::number(c, 16).rightJustified(2, '0');
        } else {
            out += ch;
        }
    }
    out += '"';
    return out;
}

inline QByteArray jsonString(const QString &text) {
    return jsonString(text.toUtf8());
}

// Members keep the order given, as the device sends them; values are ready-made JSON.
inline QByteArray jsonObject(std::initializer_list<std::pair<const char *, QByteArray>> members) {
    QByteArray out = "{";
    for (const auto &[name, value] : members) {
        if (out.size() > 1)
            out += ',';
        out += jsonString(QByteArray(name));
        out += ':';
        out += value;
    }
    out += '}';
    return out;
}

inline QByteArray hexText(const QString &text) {
    return jsonString(text.toUtf8().toHex().toUpper());
}

inline QByteArray oversizeBody() {
    QByteArray body = R"({"status":"play","padding":")";
    const QByteArray tail = R"("})";
    body += QByteArray(kOversizeBytes - body.size() - tail.size(), 'x');
    body += tail;
    return body;
}

inline QByteArray reasonPhrase(int code) {
    switch (code) {
    case 200:
        return "OK";
    case 404:
        return "Not Found";
    default:
        return "Internal Server Error";
    }
}

struct Answer {
    int code = 200;
    QByteArray body;
};

inline QByteArray httpResponse(const Answer &answer, bool keepAlive) {
    QByteArray out =
        "HTTP/1.1 " + QByteArray::number(answer.code) + ' ' + reasonPhrase(answer.code) +
        "\r\nContent-Type: text/html\r\nContent-Length: " + QByteArray::number(answer.body.size()) +
        "\r\nConnection: " + (keepAlive ? "keep-alive" : "close") + "\r\n\r\n";
    out += answer.body;
    return out;
}

// Fault and delay travel together so a reader never sees one without the other.
inline quint64 packFault(Fault fault, int delayMs) {
    return (quint64(static_cast<quint32>(fault)) << 32) | quint32(std::max(delayMs, 0));
}
inline Fault faultOf(quint64 packed) {
    return static_cast<Fault>(packed >> 32);
}
inline int delayOf(quint64 packed) {
    return int(quint32(packed & 0xffffffffu));
}

// The state both threads see. Everything mutable is atomic or behind the mutex.
class DeviceCore {
public:
    explicit DeviceCore(DeviceSimulator::Options opts)
        : options(std::move(opts)),
          tracks(options.tracks.empty() ? builtInTracks() : options.tracks) {}

    const DeviceSimulator::Options options;
    const std::vector<Track> tracks;
    Multiroom multiroom{options.multiroomVersion, options.capitalisedKeys};

    mutable std::mutex mutex;
    int volume = kDefaultVolume;
    bool muted = false;
    QString status = QStringLiteral("play");
    int trackIndex = 0;
    int mode = 10; // streaming
    QByteArray statusExBody;
    std::vector<RequestRecord> log;

    // The server thread's: runs there after a command changed something.
    std::function<void()> onChange;
    // The server thread's: makes calls to other devices.
    std::function<void(std::vector<PeerCall>)> callPeers;

    UpnpRenderer::Snapshot snapshot() {
        std::lock_guard lock(mutex);
        const Track &track = tracks[std::size_t(trackIndex) % tracks.size()];
        return {volume, muted, status, track.title, track.artist, track.album};
    }

    std::atomic<quint64> fault{packFault(Fault::None, 0)};
    std::atomic<int> handshakes{0};
    std::atomic<int> openConnections{0};

    void record(Clock::time_point time, const QByteArray &command, const QByteArray &target) {
        std::lock_guard lock(mutex);
        log.push_back({time, QString::fromUtf8(command), QString::fromUtf8(target)});
    }

    // Runs the command against the device and builds what it says back.
    Answer answer(const QByteArray &target, const QByteArray &rawCommand, bool hasCommand,
                  Fault currentFault) {
        Answer answer;
        const qsizetype query = target.indexOf('?');
        const QByteArray path = query < 0 ? target : target.left(query);
        const QByteArray command = QByteArray::fromPercentEncoding(rawCommand);
        std::vector<PeerCall> calls;
        {
            std::lock_guard lock(mutex);
            std::optional<QByteArray> grouped;
            if (path == "/httpapi.asp" && hasCommand)
                grouped = multiroom.answer(
                    command,
                    {options.bind.toString(), options.uuid, options.name, volume, muted, mode},
                    calls);
            if (path != "/httpapi.asp" || !hasCommand)
                answer.body = kUnknownCommand;
            else if (grouped)
                answer.body = *grouped;
            else if (command == "getPlayerStatus")
                answer.body = currentFault == Fault::WrongTypes ? wrongPlayerStatusLocked()
                                                                : playerStatusLocked();
            else if (command == "getStatusEx")
                answer.body = currentFault == Fault::WrongTypes ? wrongStatusEx()
                              : statusExBody.isEmpty()          ? statusEx()
                                                                : statusExBody;
            else if (command == "getMetaInfo")
                answer.body = metaInfoLocked();
            else if (command == "getPresetInfo")
                answer.body = presetInfo();
            else if (command == "getShutdown")
                answer.body = QByteArray::number(shutdownLeftLocked());
            else if (command.startsWith("setShutdown:"))
                answer.body = setShutdownLocked(command.mid(int(sizeof "setShutdown:") - 1));
            else if (currentFault == Fault::UnknownCommands &&
                     (command.startsWith("MCUKeyShortClick:") ||
                      command.startsWith("setPlayerCmd:")))
                answer.body = kUnknownCommand;
            else if (command.startsWith("MCUKeyShortClick:"))
                answer.body = playPresetLocked(command.mid(int(sizeof "MCUKeyShortClick:") - 1));
            else if (command.startsWith("setPlayerCmd:"))
                answer.body = setPlayerCmdLocked(command.mid(int(sizeof "setPlayerCmd:") - 1));
            else
                answer.body = kUnknownCommand;
        }
        // Outside the lock: the events read the state again.
        if (onChange && answer.body == "OK")
            onChange();
        if (callPeers && !calls.empty())
            callPeers(std::move(calls));
        if (currentFault == Fault::Json500)
            answer.code = 500;
        if (currentFault == Fault::Oversize)
            answer.body = oversizeBody();
        return answer;
    }

    // The renderer acts through the device's own commands.
    QByteArray playerStatusLocked() const {
        const bool idle = status == QLatin1String("none") || status == QLatin1String("stop");
        const Track &track = tracks[size_t(trackIndex)];
        const QString unknown = QStringLiteral("Unknown");
        const QByteArray position = jsonString(QByteArray(idle ? "0" : "73120"));
        return jsonObject({
            {"type", jsonString(QByteArray("0"))},
            {"ch", jsonString(QByteArray("0"))},
            {"mode", jsonString(QByteArray::number(mode))},
            {"loop", jsonString(QByteArray("4"))},
            {"eq", jsonString(QByteArray("0"))},
            {"vendor", jsonString(QByteArray("TIDAL"))},
            {"status", jsonString(status)},
            {"curpos", position},
            {"offset_pts", position},
            {"totlen", jsonString(QByteArray(idle ? "0" : "337000"))},
            {"Title", hexText(idle ? unknown : track.title)},
            {"Artist", hexText(idle ? unknown : track.artist)},
            {"Album", hexText(idle ? unknown : track.album)},
            {"alarmflag", jsonString(QByteArray("0"))},
            {"plicount", jsonString(QByteArray::number(qsizetype(tracks.size())))},
            {"plicurr", jsonString(QByteArray::number(trackIndex + 1))},
            {"vol", jsonString(QByteArray::number(volume))},
            {"mute", jsonString(QByteArray(muted ? "1" : "0"))},
        });
    }

    QByteArray presetInfo() const {
        if (options.presets.empty())
            return kUnknownCommand;
        QByteArray list;
        for (const auto &[number, name] : options.presets)
            list += (list.isEmpty() ? "" : ",") +
                    jsonObject({{"number", QByteArray::number(number)},
                                {"name", jsonString(name)},
                                {"url", jsonString(QByteArray("unknow"))}});
        return jsonObject({{"preset_num", QByteArray::number(qsizetype(options.presets.size()))},
                           {"preset_list", '[' + list + ']'}});
    }

    QByteArray playPresetLocked(const QByteArray &arg) {
        for (const auto &preset : options.presets)
            if (QByteArray::number(preset.first) == arg) {
                mode = 10;
                status = QStringLiteral("play");
                return "OK";
            }
        return "Failed";
    }

    // Plain text here, unlike getPlayerStatus; "unknow" for what is not known.
    QByteArray metaInfoLocked() const {
        const bool idle = status == QLatin1String("none") || status == QLatin1String("stop");
        const Track &track = tracks[size_t(trackIndex)];
        const QByteArray unknown = jsonString(QByteArray("unknow"));
        const QByteArray art = "http://" + options.bind.toString().toUtf8() + "/art/" +
                               QByteArray::number(trackIndex + 1) + ".jpg";
        return jsonObject(
            {{"metaData", jsonObject({
                              {"title", idle ? unknown : jsonString(track.title.toUtf8())},
                              {"artist", idle ? unknown : jsonString(track.artist.toUtf8())},
                              {"album", idle ? unknown : jsonString(track.album.toUtf8())},
                              {"albumArtURI", idle ? unknown : jsonString(art)},
                          })}});
    }

    QByteArray wrongPlayerStatusLocked() const {
        return jsonObject({
            {"status", "1"},
            {"vol", '[' + QByteArray::number(volume) + ']'},
            {"mute", "null"},
            {"Title", R"({"a":"b"})"},
            {"Artist", "5"},
        });
    }

    QByteArray statusEx() const {
        const QByteArray name = jsonString(options.name);
        const QString &uuid = options.uuid;
        // The UPnP form: the 24 digits and their first 8 again, dashed.
        const QString udn = QStringLiteral("uuid:%1-%2-%3-%4-%5%6")
                                .arg(uuid.left(8), uuid.mid(8, 4), uuid.mid(12, 4), uuid.mid(16, 4),
                                     uuid.mid(20, 4), uuid.left(8));
        return jsonObject({
            {"language", jsonString(QByteArray("en_us"))},
            {"ssid", jsonString(options.ssid)},
            {"firmware", jsonString(options.firmware)},
            {"build", jsonString(QByteArray("release"))},
            {"project", jsonString(options.project)},
            {"Release", jsonString(QByteArray("20250424"))},
            {"cast_enable", "0"}, // a number on real devices too
            {"group", jsonString(QByteArray(multiroom.following() ? "1" : "0"))},
            {"master_ip", jsonString(multiroom.leaderIp())},
            {"master_uuid", jsonString(multiroom.leaderUuid())},
            {"uuid", jsonString(uuid)},
            {"MAC", jsonString(QByteArray("B8:13:32:E0:92:22"))},
            {"apcli0", jsonString(options.bind.toString())},
            {"hardware", jsonString(QByteArray("AmlogicA113"))},
            {"DeviceName", name},
            {"GroupName", name},
            {"upnp_uuid", jsonString(udn)},
        });
    }

    static QByteArray wrongStatusEx() {
        return jsonObject(
            {{"ssid", "5"}, {"DeviceName", R"(["x"])"}, {"project", "null"}, {"firmware", "7"}});
    }

    // The sleep timer, as the device keeps it: seconds left, 0 when none runs.
    std::optional<Clock::time_point> shutdownAt;
    qint64 shutdownLeftLocked() const {
        if (!shutdownAt)
            return 0;
        const auto left = std::chrono::ceil<std::chrono::seconds>(*shutdownAt - Clock::now());
        return std::max<qint64>(0, left.count());
    }
    QByteArray setShutdownLocked(const QByteArray &arg) {
        bool ok = false;
        const qlonglong seconds = arg.toLongLong(&ok);
        if (!ok || seconds < -1)
            return "Failed";
        if (seconds == -1)
            shutdownAt.reset();
        else
            shutdownAt = Clock::now() + std::chrono::seconds(seconds);
        return "OK";
    }

    QByteArray setPlayerCmdLocked(const QByteArray &arg) {
        const int count = int(tracks.size());
        if (arg.startsWith("vol:")) {
            bool ok = false;
            const qlonglong value = arg.mid(4).toLongLong(&ok);
            if (!ok)
                return "Failed";
            volume = int(std::clamp<qlonglong>(value, 0, 100));
        } else if (arg == "mute:1" || arg == "mute:0") {
            muted = arg.endsWith('1');
        } else if (arg == "pause") {
            status = QStringLiteral("pause");
        } else if (arg == "resume") {
            status = QStringLiteral("play");
        } else if (arg == "stop") {
            status = QStringLiteral("stop");
        } else if (arg.startsWith("switchmode:")) {
            // The codes getPlayerStatus reports for each input.
            static const std::map<QByteArray, int> codes{
                {"wifi", 10}, {"line-in", 40}, {"bluetooth", 41}, {"optical", 43}, {"co-axial", 45},
                {"HDMI", 49}, {"PCUSB", 51},   {"phono", 54},     {"ARC", 58}};
            const auto code = codes.find(arg.mid(int(sizeof "switchmode:") - 1));
            if (code == codes.end())
                return "Failed";
            mode = code->second;
            // An Amp playing from its HDMI ARC socket reports ARC's code.
            if (mode == 49 && options.project.startsWith(QLatin1String("WiiM_Amp")))
                mode = 58;
        } else if (arg == "onepause") {
            status =
                status == QLatin1String("play") ? QStringLiteral("pause") : QStringLiteral("play");
        } else if (arg == "next" || arg == "prev") {
            trackIndex = (trackIndex + (arg == "next" ? 1 : count - 1)) % count;
            status = QStringLiteral("play");
        } else if (arg.startsWith("mute:")) {
            return "Failed";
        } else {
            return kUnknownCommand;
        }
        return "OK";
    }
};

} // namespace devicesim
