#pragma once

#include "DeviceEvents.h"
#include "WiiMClient.h"

#include <QObject>
#include <QUrl>

#include <functional>
#include <memory>

namespace knobly {

// A connection fed by its device's events: what they say goes to the client's state, whether
// they flow tells its polls to count what they miss, and a miss asks for them afresh. Must go
// before its client does.
class EventFeed : public QObject {
public:
    // The platform's DeviceEvents::create.
    using Factory = std::function<std::unique_ptr<DeviceEvents>(
        const QString &address, const QUrl &description, DeviceEvents::Callbacks)>;

    // Nothing is followed without a factory.
    EventFeed(WiiMClient &client, const Factory &make, const QUrl &description = {});

    const DeviceEvents *events() const { return events_.get(); }

private:
    std::unique_ptr<DeviceEvents> events_;
};

} // namespace knobly
