#include "WiiMDiscovery.h"

#include "DiscoveryParsing.h"
#include "MainQueue.h"

#include <QUdpSocket>

namespace knobly {

WiiMDiscovery::WiiMDiscovery() : WiiMDiscovery(Options{}) {}

WiiMDiscovery::WiiMDiscovery(Options options)
    : options_(std::move(options)), airplayBrowser_(options_.makeBrowser()),
      castBrowser_(options_.makeBrowser()), linkplayBrowser_(options_.makeBrowser()) {}

WiiMDiscovery::~WiiMDiscovery() {
    stopSSDPDiscovery();
}

void WiiMDiscovery::startDiscovery(Listener onUpdate) {
    onUpdate_ = std::move(onUpdate);
    resolvedDevices_.clear();
    discoveredServices_.clear();
    probedIPs_.clear();

    const std::weak_ptr<WiiMDiscovery> weak = weak_from_this();
    const auto found = [weak](std::shared_ptr<BonjourService> service, bool) {
        if (auto self = weak.lock())
            self->serviceFound(service);
    };
    if (airplayBrowser_)
        airplayBrowser_->searchForServices(QStringLiteral("_airplay._tcp."),
                                           QStringLiteral("local."), found);

    MainQueue &queue = MainQueue::main();
    queue.asyncAfter(0.3, [weak, found] {
        if (auto self = weak.lock(); self && self->castBrowser_)
            self->castBrowser_->searchForServices(QStringLiteral("_googlecast._tcp."),
                                                  QStringLiteral("local."), found);
        // Every LinkPlay-based speaker; the probe tells which are WiiMs.
        if (auto self = weak.lock(); self && self->linkplayBrowser_)
            self->linkplayBrowser_->searchForServices(QStringLiteral("_linkplay._tcp."),
                                                      QStringLiteral("local."), found);
    });
    queue.asyncAfter(0.5, [weak] {
        if (auto self = weak.lock())
            self->startSSDPDiscovery();
    });
    queue.asyncAfter(4.0, [weak] {
        if (auto self = weak.lock()) {
            self->stopSSDPDiscovery();
            if (self->onUpdate_)
                self->onUpdate_(self->resolvedDevices_);
        }
    });
}

void WiiMDiscovery::stopDiscovery() {
    if (airplayBrowser_)
        airplayBrowser_->stop();
    if (castBrowser_)
        castBrowser_->stop();
    if (linkplayBrowser_)
        linkplayBrowser_->stop();
    stopSSDPDiscovery();
}

void WiiMDiscovery::addOrUpdateDevice(const WiiMDevice &found) {
    WiiMDevice device = found;
    if (device.description.isEmpty())
        device.description = ssdpLocations_.value(device.ip);
    const auto it = std::find_if(resolvedDevices_.begin(), resolvedDevices_.end(),
                                 [&](const WiiMDevice &d) { return d.ip == device.ip; });
    if (it == resolvedDevices_.end()) {
        resolvedDevices_.push_back(device);
    } else if (static_cast<int>(device.source) < static_cast<int>(it->source)) {
        const QString uuid = it->uuid;
        *it = device;
        if (it->uuid.isEmpty())
            it->uuid = uuid; // what an earlier probe learnt stays
    } else if (it->uuid.isEmpty() && !device.uuid.isEmpty()) {
        it->uuid = device.uuid;
    } else {
        return;
    }
    if (onUpdate_) {
        // A copy: the listener may start or stop things that change the registry.
        const std::vector<WiiMDevice> snapshot = resolvedDevices_;
        onUpdate_(snapshot);
    }
}

} // namespace knobly
