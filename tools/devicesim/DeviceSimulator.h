#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QString>
#include <QUrl>

#include <chrono>
#include <memory>
#include <optional>
#include <vector>

namespace devicesim {

// How the simulated device misbehaves; switchable at any time from any thread.
enum class Fault {
    None,
    Delay,           // answer correctly, but only after faultDelayMs
    Hang,            // accept the request and never answer (connection stays open)
    Reset,           // reset the connection (RST) when a request arrives
    Html404,         // HTTP 404 with an HTML error page
    Json500,         // the normal JSON answer, but with HTTP status 500
    WrongTypes,      // getPlayerStatus/getStatusEx members of the wrong JSON types
    Oversize,        // a 200 answer whose body is larger than 1 MiB
    Drip,            // the normal head at once, then the body one byte every delayMs (2500 when 0)
    PlainHttp,       // new connections get a plain-text HTTP 400 instead of a TLS handshake
    Garbage,         // new connections get random bytes, then the connection closes
    UnknownCommands, // queries answer as usual; every command gets 200 "unknown command"
};

struct RequestRecord {
    std::chrono::steady_clock::time_point time;
    QString command; // the text after "command=", as it arrived (not decoded)
    QString target;  // the full request target, e.g. "/httpapi.asp?command=getPlayerStatus"
};

struct Track {
    QString title;
    QString artist;
    QString album;
};

// A WiiM-like device: HTTPS with a self-signed certificate made at start, HTTP/1.1
// keep-alive, the /httpapi.asp?command= API with real state changes. Serves on a thread
// of its own, so tests can run it in-process.
class DeviceSimulator {
public:
    struct Options {
        QHostAddress bind = QHostAddress(QHostAddress::LocalHost);
        quint16 port = 0;                               // 0: any free port
        QString name = QStringLiteral("Living Room");   // getStatusEx DeviceName
        QString ssid = QStringLiteral("WiiM Pro-9222"); // getStatusEx ssid
        QString project = QStringLiteral("WiiM_Pro_with_gc4a");
        QString firmware = QStringLiteral("Linkplay.4.8.714841");
        std::vector<Track> tracks; // empty: a small built-in list
        // Numbered presets; none: getPresetInfo is an unknown command, as on older devices.
        std::vector<std::pair<int, QString>> presets;
        // Also a UPnP MediaRenderer with events, on this port (0: any free one); none unless set.
        std::optional<quint16> upnpPort;
        // Multiroom: its own uuid (24 hex digits), the version only equals group with, and the
        // capitalised keys of older firmware. Other devices are reached on this one's port.
        QString uuid = QStringLiteral("FF98F09C4BD0B0224C1F9A55");
        QString multiroomVersion = QStringLiteral("4.2");
        bool capitalisedKeys = false;
    };

    DeviceSimulator();
    explicit DeviceSimulator(Options options);
    ~DeviceSimulator();
    DeviceSimulator(const DeviceSimulator &) = delete;
    DeviceSimulator &operator=(const DeviceSimulator &) = delete;

    // Starts serving; returns once listening (or false with a reason). With port 0, a restart
    // comes back on the previous port if it is still free, like a rebooted device.
    bool start(QString *error = nullptr);
    void stop();

    quint16 port() const;
    QString address() const; // "127.0.0.1:PORT" style, for WiiMClient

    void setFault(Fault fault, int delayMs = 0);

    // Device state.
    int volume() const;
    void setVolume(int volume);
    bool muted() const;
    void setMuted(bool muted);
    QString status() const; // "play", "pause", "stop", "load", "none"
    void setStatus(const QString &status);
    int trackIndex() const;
    int sleepSecondsLeft() const; // 0: no sleep timer runs
    QString leaderIp() const;     // the leader it follows; empty when it follows none
    int followerCount() const;

    // Runs one of the device's commands ("setPlayerCmd:next", "setShutdown:600") as its own
    // buttons or another controller would.
    void runCommand(const QByteArray &command);

    // Replaces the getStatusEx body with raw bytes (empty: back to the generated answer).
    void setStatusExBody(const QByteArray &body);

    std::vector<RequestRecord> requests() const;
    std::vector<QString> commands() const; // the command texts of requests(), in order
    std::size_t commandCount(const QString &command) const; // how often it was received
    void clearRequests();

    // The UPnP side: its description's URL (empty when it has none), switches for events that
    // stop and for a device that forgets its subscribers, hostile events of the test's making
    // ("rc" or "avt"), and what subscribers asked for.
    QUrl upnpDescription() const;
    void setUpnpSilent(bool silent);
    void forgetUpnpSubscribers();
    void sendUpnpEvent(const QByteArray &service, const QByteArray &lastChange);
    int upnpSubscribes() const;
    int upnpRenewals() const;
    QByteArray upnpCallback() const; // as the last new subscriber gave it: "<http://...>"

    int tlsHandshakes() const;   // completed TLS handshakes since start
    int openConnections() const; // connections currently open

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace devicesim
