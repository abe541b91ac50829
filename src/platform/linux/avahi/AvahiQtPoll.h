#pragma once

#include <avahi-common/watch.h>

#include <QObject>

namespace knobly {

// Runs avahi's watches and timeouts on the Qt event loop of the thread that creates it, so
// every avahi callback arrives on that thread, between other events, never inside another
// avahi call. Free everything made through poll() before destroying this.
class AvahiQtPoll final {
public:
    AvahiQtPoll();
    ~AvahiQtPoll();
    AvahiQtPoll(const AvahiQtPoll &) = delete;
    AvahiQtPoll &operator=(const AvahiQtPoll &) = delete;

    const AvahiPoll *poll() const { return &api_; }

private:
    AvahiPoll api_{};
    // Parent of every notifier and timer handed out; whatever deleteLater has not reached
    // yet goes with it.
    QObject owner_;
};

} // namespace knobly
