#pragma once

#include "DeviceEvent.h"

#include <QDateTime>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>

namespace knobly {

// The device telling what changed as it happens, beside the polls. Events can stop without a
// word, so the owner keeps polling and calls resubscribe() when a poll finds a change no event
// brought. Main thread only.
class DeviceEvents {
public:
    struct Callbacks {
        std::function<void(const DeviceEvent &)> changed;
        std::function<void()> aliveChanged;
    };

    virtual ~DeviceEvents() = default;

    // Subscribes afresh (finding the device again first when it had not been found).
    virtual void resubscribe() = 0;
    // Subscribed, and heard from since.
    virtual bool alive() const = 0;
    virtual QDateTime lastEvent() const = 0; // invalid: none yet
    virtual QUrl description() const = 0;    // where the device was found; empty: not yet

    // The platform's, chosen at link time. `address` is the device's, as the client has it
    // (a literal address, maybe with a port); `description` where discovery saw the device's
    // description, or empty to look in the usual places.
    static std::unique_ptr<DeviceEvents> create(const QString &address, const QUrl &description,
                                                Callbacks callbacks);
    // Why events cannot reach the main loop in this process; empty when they can.
    static QString unusableReason();
};

} // namespace knobly
