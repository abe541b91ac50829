#include "SsdpResponder.h"

#include <QByteArrayList>

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>

namespace devicesim {

namespace {

constexpr const char *kGroup = "239.255.255.250";
constexpr const char *kRendererType = "urn:schemas-upnp-org:device:MediaRenderer:1";

QString systemError(const char *what) {
    return QStringLiteral("%1: %2").arg(QLatin1String(what),
                                        QString::fromLocal8Bit(std::strerror(errno)));
}

// The value of header `name` (any case), trimmed; empty when it is missing.
QByteArray headerValue(const QByteArrayList &lines, const QByteArray &name) {
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray &line = lines[i];
        const qsizetype colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).trimmed().toLower() == name)
            return line.mid(colon + 1).trimmed();
    }
    return {};
}

} // namespace

struct SsdpResponder::Impl {
    explicit Impl(Options opts) : options(std::move(opts)) {}

    const Options options;
    int fd = -1;
    int wakeFds[2] = {-1, -1};
    std::atomic<quint16> port{0};
    std::atomic<int> received{0};
    std::atomic<int> answered{0};
    std::atomic<int> sent{0};
    std::thread thread;

    void closeAll() {
        for (int *handle : {&fd, &wakeFds[0], &wakeFds[1]}) {
            if (*handle >= 0)
                ::close(*handle);
            *handle = -1;
        }
    }

    bool joinGroup(QString *error) {
        ip_mreqn request{};
        ::inet_pton(AF_INET, kGroup, &request.imr_multiaddr);
        const QString &where = options.interface;
        QHostAddress address;
        if (where.isEmpty()) {
            // Kernel's choice of interface; callers on a shared machine name one instead.
        } else if (address.setAddress(where) &&
                   address.protocol() == QAbstractSocket::IPv4Protocol) {
            request.imr_address.s_addr = htonl(address.toIPv4Address());
        } else {
            request.imr_ifindex = int(::if_nametoindex(where.toLocal8Bit().constData()));
            if (request.imr_ifindex == 0) {
                *error = QStringLiteral("no interface named '%1'").arg(where);
                return false;
            }
        }
        if (::setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request) != 0) {
            *error = systemError("joining 239.255.255.250");
            return false;
        }
        return true;
    }

    bool open(QString *error) {
        if (options.bind.protocol() != QAbstractSocket::IPv4Protocol) {
            *error = QStringLiteral("SSDP needs an IPv4 bind address");
            return false;
        }
        fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
        if (fd < 0) {
            *error = systemError("socket");
            return false;
        }
        const int on = 1;
        // Reuse: other SSDP listeners on the same host share port 1900.
        // Packet info: LOCATION must name the address the search arrived on.
        if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
            ::setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0) {
            *error = systemError("setsockopt");
            return false;
        }
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(options.port);
        local.sin_addr.s_addr = htonl(options.bind.toIPv4Address());
        if (::bind(fd, reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0) {
            *error = QStringLiteral("cannot bind %1 port %2: %3")
                         .arg(options.bind.toString())
                         .arg(options.port)
                         .arg(QString::fromLocal8Bit(std::strerror(errno)));
            return false;
        }
        if (options.joinGroup && !joinGroup(error))
            return false;
        socklen_t length = sizeof local;
        if (::getsockname(fd, reinterpret_cast<sockaddr *>(&local), &length) != 0) {
            *error = systemError("getsockname");
            return false;
        }
        port.store(ntohs(local.sin_port));
        if (::pipe2(wakeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
            *error = systemError("pipe");
            return false;
        }
        return true;
    }

    void serve() {
        std::array<char, 4096> buffer{};
        std::array<char, CMSG_SPACE(sizeof(in_pktinfo))> control{};
        for (;;) {
            pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFds[0], POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR)
                    continue;
                return;
            }
            if (fds[1].revents != 0)
                return;
            if ((fds[0].revents & POLLIN) == 0)
                continue;

            sockaddr_in sender{};
            iovec data{buffer.data(), buffer.size()};
            msghdr message{};
            message.msg_name = &sender;
            message.msg_namelen = sizeof sender;
            message.msg_iov = &data;
            message.msg_iovlen = 1;
            message.msg_control = control.data();
            message.msg_controllen = control.size();
            const ssize_t size = ::recvmsg(fd, &message, 0);
            if (size <= 0)
                continue;

            in_addr arrivedOn{};
            for (cmsghdr *c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
                if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                    in_pktinfo info{};
                    std::memcpy(&info, CMSG_DATA(c), sizeof info);
                    arrivedOn = info.ipi_spec_dst;
                }
            }
            if (arrivedOn.s_addr == 0)
                arrivedOn.s_addr = htonl(options.bind.toIPv4Address());
            handle(QByteArray(buffer.data(), qsizetype(size)), sender,
                   QHostAddress(ntohl(arrivedOn.s_addr)).toString());
        }
    }

    void handle(const QByteArray &datagram, const sockaddr_in &sender, const QString &host) {
        const QByteArrayList lines = datagram.split('\n');
        if (!lines.value(0).trimmed().toUpper().startsWith("M-SEARCH "))
            return; // NOTIFY and answers of other devices
        received.fetch_add(1);
        const QByteArray target = headerValue(lines, "st").toLower();
        if (target != QByteArray(kRendererType).toLower() && target != "ssdp:all")
            return;
        answered.fetch_add(1);
        const QByteArray reply = answer(options.profile, host);
        for (int i = 0; i < options.answersPerSearch; ++i) {
            if (::sendto(fd, reply.constData(), size_t(reply.size()), 0,
                         reinterpret_cast<const sockaddr *>(&sender), sizeof sender) >= 0)
                sent.fetch_add(1);
        }
    }
};

SsdpResponder::SsdpResponder() : SsdpResponder(Options()) {}

SsdpResponder::SsdpResponder(Options options) : d(std::make_unique<Impl>(std::move(options))) {}

SsdpResponder::~SsdpResponder() {
    stop();
}

bool SsdpResponder::start(QString *error) {
    if (d->thread.joinable())
        return true;
    QString why;
    if (!d->open(&why)) {
        d->closeAll();
        if (error)
            *error = why;
        return false;
    }
    d->thread = std::thread([impl = d.get()] { impl->serve(); });
    return true;
}

void SsdpResponder::stop() {
    if (!d->thread.joinable())
        return;
    const char wake = 1;
    [[maybe_unused]] const auto written = ::write(d->wakeFds[1], &wake, 1);
    d->thread.join();
    d->closeAll();
}

quint16 SsdpResponder::port() const {
    return d->port.load();
}

int SsdpResponder::searchesReceived() const {
    return d->received.load();
}

int SsdpResponder::searchesAnswered() const {
    return d->answered.load();
}

int SsdpResponder::answersSent() const {
    return d->sent.load();
}

std::optional<SsdpResponder::Profile> SsdpResponder::profileFromName(const QString &name) {
    for (const Profile profile : {Profile::WiiM, Profile::Renderer, Profile::Unrelated}) {
        if (name == profileName(profile))
            return profile;
    }
    return std::nullopt;
}

QString SsdpResponder::profileName(Profile profile) {
    switch (profile) {
    case Profile::WiiM:
        return QStringLiteral("wiim");
    case Profile::Renderer:
        return QStringLiteral("renderer");
    case Profile::Unrelated:
        break;
    }
    return QStringLiteral("unrelated");
}

QByteArray SsdpResponder::answer(Profile profile, const QString &host) {
    QByteArray server;
    QByteArray target = kRendererType;
    QByteArray uuid;
    switch (profile) {
    case Profile::WiiM:
        server = "Linux/4.9.113 UPnP/1.0 WiiM/4.8.714841";
        uuid = "uuid:FF98F09C-4BD0-B022-4C1F-9A55FF98F09C"; // the simulator's upnp_uuid
        break;
    case Profile::Renderer:
        server = "Linux UPnP/1.0 Sonos/70.3-35220 (ZPS9)";
        uuid = "uuid:RINCON_48A6B8C0FFEE01400";
        break;
    case Profile::Unrelated:
        // Not one of the words a renderer search looks for, in any header.
        server = "CUPS/2.4 IPP/2.1";
        target = "urn:schemas-example-com:device:Printer:1";
        uuid = "uuid:6a1f0c52-3e1d-4b7a-9f2e-1c0d5e7a9b11";
        break;
    }
    return "HTTP/1.1 200 OK\r\n"
           "CACHE-CONTROL: max-age=1800\r\n"
           "EXT:\r\n"
           "LOCATION: http://" +
           host.toLatin1() +
           ":49152/description.xml\r\n"
           "SERVER: " +
           server + "\r\nST: " + target + "\r\nUSN: " + uuid + "::" + target + "\r\n\r\n";
}

} // namespace devicesim
