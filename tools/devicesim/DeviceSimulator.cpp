#include "DeviceSimulator.h"

#include "Multiroom.h"
#include "SelfSignedCert.h"
#include "UpnpRenderer.h"

#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRandomGenerator>
#include <QSocketNotifier>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

namespace devicesim {

namespace {

using Clock = std::chrono::steady_clock;

constexpr qsizetype kMaxHeadBytes = 64 * 1024;
constexpr qsizetype kOversizeBytes = 2 * 1024 * 1024;
constexpr int kDefaultVolume = 35;
constexpr int kDefaultDripMs = 2500;

const QByteArray kUnknownCommand = QByteArrayLiteral("unknown command");
const QByteArray kNotFoundPage = QByteArrayLiteral(
    "<html><head><title>404 Not Found</title></head><body><h1>Not Found</h1></body></html>");

std::vector<Track> builtInTracks() {
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

QByteArray jsonString(const QByteArray &utf8) {
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

QByteArray jsonString(const QString &text) {
    return jsonString(text.toUtf8());
}

// Members keep the order given, as the device sends them; values are ready-made JSON.
QByteArray jsonObject(std::initializer_list<std::pair<const char *, QByteArray>> members) {
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

QByteArray hexText(const QString &text) {
    return jsonString(text.toUtf8().toHex().toUpper());
}

QByteArray oversizeBody() {
    QByteArray body = R"({"status":"play","padding":")";
    const QByteArray tail = R"("})";
    body += QByteArray(kOversizeBytes - body.size() - tail.size(), 'x');
    body += tail;
    return body;
}

QByteArray reasonPhrase(int code) {
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

QByteArray httpResponse(const Answer &answer, bool keepAlive) {
    QByteArray out =
        "HTTP/1.1 " + QByteArray::number(answer.code) + ' ' + reasonPhrase(answer.code) +
        "\r\nContent-Type: text/html\r\nContent-Length: " + QByteArray::number(answer.body.size()) +
        "\r\nConnection: " + (keepAlive ? "keep-alive" : "close") + "\r\n\r\n";
    out += answer.body;
    return out;
}

// Fault and delay travel together so a reader never sees one without the other.
quint64 packFault(Fault fault, int delayMs) {
    return (quint64(static_cast<quint32>(fault)) << 32) | quint32(std::max(delayMs, 0));
}
Fault faultOf(quint64 packed) {
    return static_cast<Fault>(packed >> 32);
}
int delayOf(quint64 packed) {
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

// One client connection, living on the server thread. Requests are answered strictly in order.
class Connection : public QObject {
public:
    Connection(DeviceCore *core, const QSslConfiguration &config, std::set<Connection *> *registry)
        : core_(core), registry_(registry), socket_(new QSslSocket(this)) {
        registry_->insert(this);
        socket_->setSslConfiguration(config);
    }

    ~Connection() override {
        registry_->erase(this);
        QObject::disconnect(socket_, nullptr, this, nullptr);
        socket_->abort();
        markClosed();
    }

    bool open(qintptr descriptor) {
        if (!socket_->setSocketDescriptor(descriptor))
            return false;
        core_->openConnections.fetch_add(1);
        counted_ = true;
        socket_->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        socket_->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
        connect(socket_, &QSslSocket::encrypted, this, [this] { core_->handshakes.fetch_add(1); });
        connect(socket_, &QSslSocket::readyRead, this, [this] {
            buffer_ += socket_->readAll();
            processBuffer();
        });
        connect(socket_, &QSslSocket::disconnected, this, [this] { closeLater(); });
        connect(socket_, &QAbstractSocket::errorOccurred, this, [this] {
            if (socket_->state() == QAbstractSocket::UnconnectedState)
                closeLater();
        });
        socket_->startServerEncryption();
        return true;
    }

private:
    void processBuffer() {
        while (!busy_ && !closing_) {
            if (bodyToSkip_ > 0) {
                const qsizetype n = qsizetype(std::min<qint64>(bodyToSkip_, buffer_.size()));
                buffer_.remove(0, n);
                bodyToSkip_ -= n;
                if (bodyToSkip_ > 0)
                    return;
            }
            const qsizetype end = buffer_.indexOf("\r\n\r\n");
            if (end < 0) {
                if (buffer_.size() > kMaxHeadBytes)
                    reset();
                return;
            }
            const QByteArray head = buffer_.left(end);
            buffer_.remove(0, end + 4);
            handleRequest(head);
        }
    }

    void handleRequest(const QByteArray &head) {
        const auto time = Clock::now();
        const QList<QByteArray> lines = head.split('\n');
        const QList<QByteArray> requestLine = lines.value(0).trimmed().simplified().split(' ');
        const QByteArray target = requestLine.value(1);
        bool keepAlive = requestLine.value(2) != "HTTP/1.0";
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QByteArray &line = lines[i];
            const qsizetype colon = line.indexOf(':');
            if (colon < 0)
                continue;
            const QByteArray name = line.left(colon).trimmed().toLower();
            const QByteArray value = line.mid(colon + 1).trimmed().toLower();
            if (name == "connection")
                keepAlive = !value.contains("close") && (keepAlive || value.contains("keep-alive"));
            else if (name == "content-length")
                bodyToSkip_ = std::max<qint64>(value.toLongLong(), 0);
        }

        const qsizetype query = target.indexOf('?');
        QByteArray command;
        bool hasCommand = false;
        if (query >= 0) {
            const QByteArray params = target.mid(query + 1);
            const qsizetype later = params.indexOf("&command=");
            const qsizetype at = params.startsWith("command=") ? 0 : later < 0 ? -1 : later + 1;
            if (at >= 0) {
                hasCommand = true;
                // Everything after "command=", '&' included: device commands may carry URLs.
                command = params.mid(at + qsizetype(sizeof "command=") - 1);
            }
        }
        core_->record(time, command, target);

        const quint64 packed = core_->fault.load();
        switch (faultOf(packed)) {
        case Fault::Reset:
            reset();
            return;
        case Fault::Hang:
            busy_ = true; // nothing after this is read or answered
            return;
        case Fault::Html404:
            send({404, kNotFoundPage}, keepAlive);
            return;
        case Fault::PlainHttp:
        case Fault::Garbage:
            // These act before the handshake; a kept-alive connection is dropped so that the
            // client has to come back through a new one.
            reset();
            return;
        case Fault::Drip: {
            const int every = delayOf(packed) > 0 ? delayOf(packed) : kDefaultDripMs;
            drip(httpResponse(core_->answer(target, command, hasCommand, Fault::Drip), keepAlive),
                 every, keepAlive);
            return;
        }
        case Fault::Delay: {
            const Answer answer = core_->answer(target, command, hasCommand, Fault::Delay);
            busy_ = true;
            // Context object `this`: the timer dies with the connection if the client leaves.
            QTimer::singleShot(delayOf(packed), Qt::PreciseTimer, this, [this, answer, keepAlive] {
                busy_ = false;
                send(answer, keepAlive);
                processBuffer();
            });
            return;
        }
        default:
            send(core_->answer(target, command, hasCommand, faultOf(packed)), keepAlive);
        }
    }

    void send(const Answer &answer, bool keepAlive) {
        socket_->write(httpResponse(answer, keepAlive));
        if (!keepAlive) {
            closing_ = true;
            socket_->disconnectFromHost(); // flushes first
        }
    }

    // The head goes at once, then the body one byte at a time: a trickle of body bytes is what
    // keeps a client's transfer timeout from ever firing. Nothing else is answered meanwhile.
    void drip(QByteArray bytes, int everyMs, bool keepAlive) {
        busy_ = true;
        const qsizetype head = bytes.indexOf("\r\n\r\n") + 4;
        socket_->write(bytes.left(head));
        bytes.remove(0, head);
        auto *timer = new QTimer(this); // dies with the connection if the client leaves
        timer->setTimerType(Qt::PreciseTimer);
        timer->setInterval(everyMs);
        auto pending = std::make_shared<QByteArray>(std::move(bytes));
        connect(timer, &QTimer::timeout, this, [this, timer, pending, keepAlive] {
            socket_->write(pending->left(1));
            pending->remove(0, 1);
            if (!pending->isEmpty())
                return;
            timer->deleteLater();
            busy_ = false;
            if (!keepAlive) {
                closing_ = true;
                socket_->disconnectFromHost();
                return;
            }
            processBuffer();
        });
        timer->start();
    }

    void reset() {
        closing_ = true;
        // Linger 0 makes close() send RST instead of FIN.
        const linger hard{1, 0};
        ::setsockopt(int(socket_->socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        socket_->abort();
        closeLater();
    }

    void closeLater() {
        if (counted_) {
            markClosed();
            deleteLater();
        }
    }

    void markClosed() {
        if (std::exchange(counted_, false))
            core_->openConnections.fetch_sub(1);
    }

    DeviceCore *core_;
    std::set<Connection *> *registry_;
    QSslSocket *socket_;
    QByteArray buffer_;
    qint64 bodyToSkip_ = 0;
    bool busy_ = false;
    bool closing_ = false;
    bool counted_ = false;
};

class Listener : public QTcpServer {
public:
    Listener(DeviceCore *core, QSslConfiguration config)
        : core_(core), config_(std::move(config)) {}
    ~Listener() override { closeAll(); }

    void closeAll() {
        close();
        while (!connections_.empty())
            delete *connections_.begin();
    }

protected:
    void incomingConnection(qintptr descriptor) override {
        const Fault now = faultOf(core_->fault.load());
        if (now == Fault::PlainHttp || now == Fault::Garbage) {
            refuse(descriptor, now);
            return;
        }
        auto *connection = new Connection(core_, config_, &connections_);
        if (!connection->open(descriptor)) {
            delete connection;
            ::close(int(descriptor));
        }
    }

private:
    // Answers without TLS: whatever the client's hello says, it gets this back.
    void refuse(qintptr descriptor, Fault how) {
        auto *socket = new QTcpSocket(this);
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
            ::close(int(descriptor));
            return;
        }
        QByteArray reply;
        if (how == Fault::PlainHttp) {
            reply = "HTTP/1.1 400 Bad Request\r\n\r\n";
        } else {
            reply.resize(512);
            for (char &c : reply)
                c = char(QRandomGenerator::global()->bounded(256));
        }
        // Read and drop the hello, so that closing does not turn into a reset.
        connect(socket, &QTcpSocket::readyRead, socket, [socket] { socket->readAll(); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        socket->write(reply);
        socket->disconnectFromHost();
    }

    DeviceCore *core_;
    QSslConfiguration config_;
    std::set<Connection *> connections_;
};

} // namespace

struct DeviceSimulator::Impl {
    explicit Impl(Options options) : core(std::move(options)) {}

    DeviceCore core;
    std::atomic<quint16> port{0};

    // Lifecycle, driven from the owner's thread; the server thread reports through lifeMutex.
    enum class Phase { Starting, Listening, Failed };
    std::mutex lifeMutex;
    std::condition_variable lifeChanged;
    Phase phase = Phase::Failed;
    QString startError;
    quint16 boundPort = 0;

    // Written before the thread starts, read only by it.
    PemPair pem;
    quint16 previousPort = 0;
    quint16 previousUpnpPort = 0;
    // The server thread's loop and renderer while it serves; set and cleared under lifeMutex.
    std::atomic<QObject *> loopObject{nullptr};
    std::atomic<UpnpRenderer *> upnp{nullptr};
    QUrl description; // written by the server thread before it reports Listening
    std::atomic<int> upnpSubscribes{0}, upnpRenewals{0};
    QByteArray upnpCallback; // the last new subscriber's, under lifeMutex

    // Runs `work` with the renderer on the server thread, if it serves one.
    void withRenderer(std::function<void(UpnpRenderer &)> work) {
        std::lock_guard lock(lifeMutex);
        if (QObject *loop = loopObject.load(); loop && upnp.load())
            QMetaObject::invokeMethod(
                loop,
                [this, work = std::move(work)] {
                    if (UpnpRenderer *r = upnp.load())
                        work(*r);
                },
                Qt::QueuedConnection);
    }
    int wakeFds[2] = {-1, -1};

    // A std::thread that Qt adopts, running a QEventLoop: QThread::wait() syncs through a
    // futex TSan cannot see, while join() is a real happens-before edge.
    std::thread thread;

    void setPhase(Phase next, const QString &error = {}, quint16 bound = 0) {
        {
            std::lock_guard lock(lifeMutex);
            phase = next;
            startError = error;
            boundPort = bound;
        }
        lifeChanged.notify_all();
    }

    void waitWhile(Phase current) {
        std::unique_lock lock(lifeMutex);
        lifeChanged.wait(lock, [&] { return phase != current; });
    }

    void serve() {
        QThread::currentThread()->setObjectName(QStringLiteral("devicesim"));
        {
            QString error;
            QSslConfiguration config = QSslConfiguration::defaultConfiguration();
            config.setLocalCertificate(QSslCertificate(pem.certificate, QSsl::Pem));
            config.setPrivateKey(QSslKey(pem.privateKey, QSsl::Ec, QSsl::Pem, QSsl::PrivateKey));
            config.setPeerVerifyMode(QSslSocket::VerifyNone);
            if (!QSslSocket::supportsSsl())
                error = QStringLiteral("no TLS backend available");
            else if (config.localCertificate().isNull() || config.privateKey().isNull())
                error = QStringLiteral("could not load the generated certificate");

            QEventLoop loop;
            Listener listener(&core, config);
            // stop() writes a byte here; a pipe keeps the wake-up visible to thread sanitizers.
            QSocketNotifier wake(wakeFds[0], QSocketNotifier::Read);
            QObject::connect(&wake, &QSocketNotifier::activated, &loop, [&] {
                char drain[16];
                while (::read(wakeFds[0], drain, sizeof drain) > 0) {
                }
                loop.quit();
            });

            const QHostAddress &bind = core.options.bind;
            bool listening = false;
            if (error.isEmpty()) {
                // A restarted device comes back on its old port, as a real one would.
                if (core.options.port == 0 && previousPort != 0)
                    listening = listener.listen(bind, previousPort);
                if (!listening)
                    listening = listener.listen(bind, core.options.port);
                if (!listening)
                    error = QStringLiteral("cannot listen on %1 port %2: %3")
                                .arg(bind.toString())
                                .arg(core.options.port)
                                .arg(listener.errorString());
            }
            std::optional<UpnpRenderer> renderer;
            if (listening && core.options.upnpPort) {
                renderer.emplace(
                    bind, core.options.name,
                    UpnpRenderer::Hooks{[this] { return core.snapshot(); },
                                        [this](const QByteArray &command) {
                                            std::lock_guard lock(core.mutex);
                                            core.setPlayerCmdLocked(command);
                                        },
                                        [this](bool renewal, const QByteArray &callback) {
                                            ++(renewal ? upnpRenewals : upnpSubscribes);
                                            if (!renewal) {
                                                std::lock_guard lock(lifeMutex);
                                                upnpCallback = callback;
                                            }
                                        }});
                // A restarted device comes back on its old UPnP port too.
                const quint16 upnpPort =
                    *core.options.upnpPort ? *core.options.upnpPort : previousUpnpPort;
                if (!renderer->start(upnpPort, &error) &&
                    (upnpPort == *core.options.upnpPort || !renderer->start(0, &error))) {
                    listening = false;
                } else {
                    core.onChange = [&renderer] { renderer->changed(); };
                    upnp.store(&*renderer);
                    description = renderer->description();
                    previousUpnpPort = renderer->port();
                }
            }
            // Other devices of a group, reached on this one's port at their own addresses.
            QNetworkAccessManager peers;
            peers.setTransferTimeout(1000);
            const quint16 peerPort = listener.serverPort();
            core.callPeers = [&](std::vector<PeerCall> calls) {
                for (PeerCall &call : calls)
                    callPeer(peers, peerPort, std::move(call));
            };
            QTimer refresh;
            QObject::connect(&refresh, &QTimer::timeout, [&] {
                std::vector<PeerCall> calls;
                {
                    std::lock_guard lock(core.mutex);
                    calls = core.multiroom.refreshFollowers();
                }
                core.callPeers(std::move(calls));
            });
            refresh.start(300);
            if (listening) {
                setPhase(Phase::Listening, {}, listener.serverPort());
                loopObject.store(&loop);
                loop.exec();
                {
                    std::lock_guard lock(lifeMutex);
                    loopObject.store(nullptr);
                    upnp.store(nullptr);
                }
                core.onChange = nullptr;
                core.callPeers = nullptr;
            } else {
                setPhase(Phase::Failed, error);
            }
            listener.closeAll();
        }
    }

    void callPeer(QNetworkAccessManager &peers, quint16 port, PeerCall call) {
        QUrl url;
        url.setScheme(QStringLiteral("https"));
        url.setHost(call.ip);
        url.setPort(port);
        url.setPath(QStringLiteral("/httpapi.asp"));
        url.setQuery(QStringLiteral("command=") + QString::fromUtf8(call.command));
        QNetworkRequest request(url);
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setPeerVerifyMode(QSslSocket::VerifyNone); // every device's certificate is its own
        request.setSslConfiguration(tls);
        QNetworkReply *reply = peers.get(request);
        QObject::connect(reply, &QNetworkReply::finished, reply,
                         [this, reply, done = std::move(call.done)] {
                             reply->deleteLater();
                             if (!done)
                                 return;
                             std::optional<QByteArray> body;
                             if (reply->error() == QNetworkReply::NoError)
                                 body = reply->readAll();
                             {
                                 std::lock_guard lock(core.mutex);
                                 done(body);
                             }
                             if (core.onChange)
                                 core.onChange();
                         });
    }

    void join() {
        thread.join();
        for (int &fd : wakeFds) {
            ::close(fd);
            fd = -1;
        }
    }
};

DeviceSimulator::DeviceSimulator() : DeviceSimulator(Options()) {}

DeviceSimulator::DeviceSimulator(Options options) : d(std::make_unique<Impl>(std::move(options))) {}

DeviceSimulator::~DeviceSimulator() {
    stop();
}

bool DeviceSimulator::start(QString *error) {
    if (d->thread.joinable())
        return true;
    auto fail = [error](const QString &why) {
        if (error)
            *error = why;
        return false;
    };

    QString why;
    if (!makeSelfSignedCert(&d->pem, &why))
        return fail(why);
    if (::pipe2(d->wakeFds, O_CLOEXEC | O_NONBLOCK) != 0)
        return fail(QStringLiteral("pipe: %1").arg(QString::fromLocal8Bit(strerror(errno))));

    d->previousPort = d->port.load();
    d->core.handshakes.store(0);
    d->setPhase(Impl::Phase::Starting);
    d->thread = std::thread([impl = d.get()] { impl->serve(); });
    d->waitWhile(Impl::Phase::Starting);

    std::unique_lock lock(d->lifeMutex);
    if (d->phase == Impl::Phase::Failed) {
        why = d->startError;
        lock.unlock();
        d->join();
        return fail(why);
    }
    d->port.store(d->boundPort);
    return true;
}

void DeviceSimulator::stop() {
    if (!d->thread.joinable())
        return;
    const char wake = 1;
    [[maybe_unused]] const auto written = ::write(d->wakeFds[1], &wake, 1);
    d->join();
}

quint16 DeviceSimulator::port() const {
    return d->port.load();
}

QString DeviceSimulator::address() const {
    const QHostAddress &bind = d->core.options.bind;
    const QString host = bind.protocol() == QAbstractSocket::IPv6Protocol
                             ? QLatin1Char('[') + bind.toString() + QLatin1Char(']')
                             : bind.toString();
    return host + QLatin1Char(':') + QString::number(port());
}

void DeviceSimulator::setFault(Fault fault, int delayMs) {
    d->core.fault.store(packFault(fault, delayMs));
}

int DeviceSimulator::volume() const {
    std::lock_guard lock(d->core.mutex);
    return d->core.volume;
}

void DeviceSimulator::setVolume(int volume) {
    {
        std::lock_guard lock(d->core.mutex);
        d->core.volume = std::clamp(volume, 0, 100);
    }
    d->withRenderer([](UpnpRenderer &r) { r.changed(); });
}

bool DeviceSimulator::muted() const {
    std::lock_guard lock(d->core.mutex);
    return d->core.muted;
}

void DeviceSimulator::setMuted(bool muted) {
    {
        std::lock_guard lock(d->core.mutex);
        d->core.muted = muted;
    }
    d->withRenderer([](UpnpRenderer &r) { r.changed(); });
}

QString DeviceSimulator::status() const {
    std::lock_guard lock(d->core.mutex);
    return d->core.status;
}

void DeviceSimulator::setStatus(const QString &status) {
    {
        std::lock_guard lock(d->core.mutex);
        d->core.status = status;
    }
    d->withRenderer([](UpnpRenderer &r) { r.changed(); });
}

int DeviceSimulator::sleepSecondsLeft() const {
    std::lock_guard lock(d->core.mutex);
    return int(d->core.shutdownLeftLocked());
}

QString DeviceSimulator::leaderIp() const {
    std::lock_guard lock(d->core.mutex);
    return d->core.multiroom.following() ? d->core.multiroom.leaderIp() : QString();
}

int DeviceSimulator::followerCount() const {
    std::lock_guard lock(d->core.mutex);
    return d->core.multiroom.followerCount();
}

int DeviceSimulator::trackIndex() const {
    std::lock_guard lock(d->core.mutex);
    return d->core.trackIndex;
}

void DeviceSimulator::runCommand(const QByteArray &command) {
    {
        std::lock_guard lock(d->core.mutex);
        if (command.startsWith("setPlayerCmd:"))
            d->core.setPlayerCmdLocked(command.mid(int(sizeof "setPlayerCmd:") - 1));
        else if (command.startsWith("setShutdown:"))
            d->core.setShutdownLocked(command.mid(int(sizeof "setShutdown:") - 1));
    }
    d->withRenderer([](UpnpRenderer &r) { r.changed(); });
}

void DeviceSimulator::setStatusExBody(const QByteArray &body) {
    std::lock_guard lock(d->core.mutex);
    d->core.statusExBody = body;
}

std::vector<RequestRecord> DeviceSimulator::requests() const {
    std::lock_guard lock(d->core.mutex);
    return d->core.log;
}

std::vector<QString> DeviceSimulator::commands() const {
    std::lock_guard lock(d->core.mutex);
    std::vector<QString> out;
    out.reserve(d->core.log.size());
    for (const RequestRecord &record : d->core.log)
        out.push_back(record.command);
    return out;
}

void DeviceSimulator::clearRequests() {
    std::lock_guard lock(d->core.mutex);
    d->core.log.clear();
}

QUrl DeviceSimulator::upnpDescription() const {
    std::lock_guard lock(d->lifeMutex);
    return d->upnp.load() ? d->description : QUrl();
}

void DeviceSimulator::setUpnpSilent(bool silent) {
    d->withRenderer([silent](UpnpRenderer &r) { r.setSilent(silent); });
}

void DeviceSimulator::forgetUpnpSubscribers() {
    d->withRenderer([](UpnpRenderer &r) { r.forgetSubscribers(); });
}

void DeviceSimulator::sendUpnpEvent(const QByteArray &service, const QByteArray &lastChange) {
    d->withRenderer([service, lastChange](UpnpRenderer &r) { r.sendRaw(service, lastChange); });
}

int DeviceSimulator::upnpSubscribes() const {
    return d->upnpSubscribes.load();
}

QByteArray DeviceSimulator::upnpCallback() const {
    std::lock_guard lock(d->lifeMutex);
    return d->upnpCallback;
}

int DeviceSimulator::upnpRenewals() const {
    return d->upnpRenewals.load();
}

int DeviceSimulator::tlsHandshakes() const {
    return d->core.handshakes.load();
}

int DeviceSimulator::openConnections() const {
    return d->core.openConnections.load();
}

} // namespace devicesim
