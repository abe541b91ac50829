// The SSDP search: one M-SEARCH, then answers on the main loop until none has come for the
// receive window or the run stops.
#include "DiscoveryParsing.h"
#include "MainQueue.h"
#include "WiiMDiscovery.h"

#include <QNetworkDatagram>
#include <QNetworkProxy>
#include <QUdpSocket>

namespace knobly {

void WiiMDiscovery::startSSDPDiscovery() {
    auto socket = std::make_unique<QUdpSocket>();
    // The local network's own multicast: no proxy, and no lookup of the system's.
    socket->setProxy(QNetworkProxy::NoProxy);
    if (!socket->bind(QHostAddress(QHostAddress::AnyIPv4), 0))
        return;
    QObject::connect(socket.get(), &QUdpSocket::readyRead, [this] { readSsdpAnswers(); });
    socket->writeDatagram(ssdpSearchDatagram(), QHostAddress(options_.ssdpAddress),
                          options_.ssdpPort);
    ssdpSocket_ = std::move(socket);
    armSsdpWindow();
}

void WiiMDiscovery::stopSSDPDiscovery() {
    ssdpSocket_.reset();
    ++ssdpWindow_; // a window still pending ends nothing
}

// The window restarts with every datagram, as a receive timeout would.
void WiiMDiscovery::armSsdpWindow() {
    MainQueue::main().asyncAfter(
        options_.ssdpReceiveTimeoutSeconds, [weak = weak_from_this(), window = ++ssdpWindow_] {
            if (auto self = weak.lock(); self && self->ssdpWindow_ == window)
                self->stopSSDPDiscovery();
        });
}

void WiiMDiscovery::readSsdpAnswers() {
    std::vector<std::pair<QString, QString>> candidates;
    while (ssdpSocket_ && ssdpSocket_->hasPendingDatagrams()) {
        const QNetworkDatagram datagram = ssdpSocket_->receiveDatagram(2047);
        const SsdpAnswerClass answerClass = classifySsdpAnswer(datagram.data());
        bool isIPv4 = false;
        const quint32 sender = datagram.senderAddress().toIPv4Address(&isIPv4);
        if (answerClass != SsdpAnswerClass::other && isIPv4) {
            const QString ip = QHostAddress(sender).toString();
            // Where its UPnP description is, for the device's events once it is chosen.
            if (const QUrl location = ssdpLocation(datagram.data(), datagram.senderAddress());
                !location.isEmpty())
                ssdpLocations_.insert(ip, location);
            candidates.emplace_back(ip, ssdpFallbackName(answerClass));
        }
    }
    if (!ssdpSocket_)
        return;
    armSsdpWindow();
    for (const auto &[ip, name] : candidates)
        ssdpCandidate(ip, name);
}

void WiiMDiscovery::ssdpCandidate(const QString &ip, const QString &fallbackName) {
    if (probedIPs_.contains(ip))
        return;
    probedIPs_.insert(ip);
    probeDevice(fallbackName, ip, QString(), DiscoverySource::ssdp);
}

} // namespace knobly
