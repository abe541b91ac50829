#pragma once

#include <QHostAddress>
#include <QString>

#include <memory>
#include <optional>

namespace devicesim {

// Answers SSDP searches for media renderers the way a device on the LAN would: one or more
// unicast "HTTP/1.1 200 OK" datagrams back to the searcher. Serves on a thread of its own.
class SsdpResponder {
public:
    enum class Profile {
        WiiM,      // a WiiM/LinkPlay renderer
        Renderer,  // a UPnP renderer of another maker
        Unrelated, // something else on the LAN that answers anyway, e.g. a printer
    };

    struct Options {
        Profile profile = Profile::WiiM;
        QHostAddress bind = QHostAddress(QHostAddress::AnyIPv4);
        quint16 port = 1900; // 0: any free port (for tests that search by unicast)
        bool joinGroup = true;
        // Where to join 239.255.255.250: an interface name or one of its IPv4 addresses.
        QString interface;
        int answersPerSearch = 1;
    };

    SsdpResponder();
    explicit SsdpResponder(Options options);
    ~SsdpResponder();
    SsdpResponder(const SsdpResponder &) = delete;
    SsdpResponder &operator=(const SsdpResponder &) = delete;

    // Returns once the socket is bound and the group joined (or false with a reason).
    bool start(QString *error = nullptr);
    void stop();

    quint16 port() const;
    int searchesReceived() const; // every M-SEARCH, answered or not
    int searchesAnswered() const; // those whose ST asked for a renderer or for everything
    int answersSent() const;

    static std::optional<Profile> profileFromName(const QString &name); // "wiim", "renderer", ...
    static QString profileName(Profile profile);

    // The datagram this profile sends for a search; LOCATION names `host`.
    static QByteArray answer(Profile profile, const QString &host);

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace devicesim
