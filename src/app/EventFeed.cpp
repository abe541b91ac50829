#include "EventFeed.h"

namespace knobly {

EventFeed::EventFeed(WiiMClient &client, const Factory &make, const QUrl &description) {
    if (!make)
        return;
    WiiMClient *c = &client;
    events_ = make(client.ipAddress(), description,
                   {[c](const DeviceEvent &event) { c->applyEvent(event); },
                    [this, c] { c->setFollowingEvents(events_ && events_->alive()); }});
    connect(c, &WiiMClient::changeMissed, this, [this] {
        if (events_)
            events_->resubscribe();
    });
}

} // namespace knobly
