// The SSDP search: one M-SEARCH, then answers until a receive times out or the run stops.
#include "DiscoveryParsing.h"
#include "MainQueue.h"
#include "WiiMDiscovery.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <thread>

namespace knobly {

namespace {
std::atomic<int> g_runningScans{0};
}

// The socket, shared by the discovery object and its worker: whichever lets go last closes
// it, so the worker never receives through a handle that is already closed.
struct WiiMDiscovery::SsdpHandle {
    explicit SsdpHandle(int fd) : fd(fd) {}
    ~SsdpHandle() { ::close(fd); }
    const int fd;
    std::atomic<bool> stopped{false};
};

int WiiMDiscovery::runningSsdpScans() {
    return g_runningScans.load();
}

void WiiMDiscovery::startSSDPDiscovery() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0)
        return;
    ssdpHandle_ = std::make_shared<SsdpHandle>(fd);
    ssdpSocket_.store(fd);
    ++g_runningScans;
    std::thread(&WiiMDiscovery::performSSDPScan, weak_from_this(), ssdpHandle_,
                options_.ssdpAddress, options_.ssdpPort, options_.ssdpReceiveTimeoutSeconds)
        .detach();
}

void WiiMDiscovery::stopSSDPDiscovery() {
    if (ssdpSocket_.load() < 0 || !ssdpHandle_)
        return;
    ssdpHandle_->stopped.store(true);
    // Wakes a worker waiting in recvfrom; it then lets go of the socket itself.
    ::shutdown(ssdpHandle_->fd, SHUT_RDWR);
    ssdpHandle_.reset();
    ssdpSocket_.store(-1);
}

void WiiMDiscovery::performSSDPScan(std::weak_ptr<WiiMDiscovery> owner,
                                    std::shared_ptr<SsdpHandle> handle, QString address,
                                    quint16 port, double receiveTimeout) {
    const int fd = handle->fd;
    timeval timeout{};
    timeout.tv_sec = static_cast<time_t>(receiveTimeout);
    timeout.tv_usec = static_cast<suseconds_t>((receiveTimeout - std::floor(receiveTimeout)) * 1e6);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    const int reuse = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);

    sockaddr_in destination{};
    destination.sin_family = AF_INET;
    destination.sin_port = htons(port);
    destination.sin_addr.s_addr = ::inet_addr(address.toLatin1().constData());
    const QByteArray search = ssdpSearchDatagram();
    ::sendto(fd, search.constData(), static_cast<size_t>(search.size()), 0,
             reinterpret_cast<const sockaddr *>(&destination), sizeof destination);

    std::array<char, 2048> buffer{};
    sockaddr_in sender{};
    socklen_t senderLength = sizeof sender;
    while (!handle->stopped.load()) {
        const ssize_t received = ::recvfrom(fd, buffer.data(), buffer.size() - 1, 0,
                                            reinterpret_cast<sockaddr *>(&sender), &senderLength);
        if (received < 1)
            break;
        buffer[static_cast<std::size_t>(received)] = '\0';
        const SsdpAnswerClass answerClass = classifySsdpAnswer(QByteArray(buffer.data()));
        if (answerClass == SsdpAnswerClass::other)
            continue;
        char text[INET_ADDRSTRLEN] = {};
        if (!::inet_ntop(AF_INET, &sender.sin_addr, text, sizeof text))
            continue;
        MainQueue::main().async(
            [owner, ip = QString::fromLatin1(text), name = ssdpFallbackName(answerClass)] {
                if (auto self = owner.lock())
                    self->ssdpCandidate(ip, name);
            });
    }
    handle.reset();
    --g_runningScans;
}

void WiiMDiscovery::ssdpCandidate(const QString &ip, const QString &fallbackName) {
    if (probedIPs_.contains(ip))
        return;
    probedIPs_.insert(ip);
    probeDevice(fallbackName, ip, QString(), DiscoverySource::ssdp);
}

} // namespace knobly
