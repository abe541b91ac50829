#include "AvahiQtPoll.h"

#include <QSocketNotifier>
#include <QTimer>

#include <array>
#include <cerrno>
#include <climits>
#include <poll.h>
#include <sys/time.h>

// avahi declares these opaque; they are ours to define.
struct AvahiWatch {
    QObject *owner;
    int fd;
    AvahiWatchEvent wanted;
    AvahiWatchEvent happened;
    AvahiWatchCallback callback;
    void *userdata;
    // Indexed like kNotifierTypes; made on first need.
    std::array<QSocketNotifier *, 3> notifiers;
};

struct AvahiTimeout {
    QTimer *timer;
    AvahiTimeoutCallback callback;
    void *userdata;
};

namespace knobly {

namespace {

constexpr std::array<QSocketNotifier::Type, 3> kNotifierTypes = {
    QSocketNotifier::Read, QSocketNotifier::Write, QSocketNotifier::Exception};

// What each notifier stands for when poll() cannot say more.
constexpr std::array<int, 3> kNotifierEvents = {AVAHI_WATCH_IN, AVAHI_WATCH_OUT, AVAHI_WATCH_ERR};

bool needsNotifier(AvahiWatchEvent wanted, std::size_t index) {
    switch (index) {
    case 0:
        return wanted & AVAHI_WATCH_IN;
    case 1:
        return wanted & AVAHI_WATCH_OUT;
    default:
        return wanted & (AVAHI_WATCH_ERR | AVAHI_WATCH_HUP);
    }
}

// Qt only says "readable" or "writable"; poll() tells a hang-up or an error apart.
AvahiWatchEvent currentEvents(const AvahiWatch *w) {
    pollfd p{w->fd, 0, 0};
    if (w->wanted & AVAHI_WATCH_IN)
        p.events |= POLLIN;
    if (w->wanted & AVAHI_WATCH_OUT)
        p.events |= POLLOUT;
    int n;
    do {
        n = ::poll(&p, 1, 0);
    } while (n < 0 && errno == EINTR);
    if (n <= 0)
        return AvahiWatchEvent(0);
    int events = 0;
    if (p.revents & POLLIN)
        events |= AVAHI_WATCH_IN;
    if (p.revents & POLLOUT)
        events |= AVAHI_WATCH_OUT;
    if (p.revents & (POLLERR | POLLNVAL))
        events |= AVAHI_WATCH_ERR;
    if (p.revents & POLLHUP)
        events |= AVAHI_WATCH_HUP;
    return AvahiWatchEvent(events);
}

void dispatchWatch(AvahiWatch *w, std::size_t index) {
    AvahiWatchEvent events = currentEvents(w);
    if (events == 0)
        events = AvahiWatchEvent(kNotifierEvents[index]);
    w->happened = events;
    // The callback may free the watch: nothing may touch it afterwards.
    w->callback(w, w->fd, events, w->userdata);
}

void setWatchEvents(AvahiWatch *w, AvahiWatchEvent events) {
    w->wanted = events;
    for (std::size_t i = 0; i < kNotifierTypes.size(); ++i) {
        const bool wanted = needsNotifier(events, i);
        QSocketNotifier *&n = w->notifiers[i];
        if (!n && wanted) {
            n = new QSocketNotifier(w->fd, kNotifierTypes[i], w->owner);
            QObject::connect(n, &QSocketNotifier::activated, n, [w, i] { dispatchWatch(w, i); });
        } else if (n && n->isEnabled() != wanted) {
            n->setEnabled(wanted);
        }
    }
}

AvahiWatch *watchNew(const AvahiPoll *api, int fd, AvahiWatchEvent events,
                     AvahiWatchCallback callback, void *userdata) {
    auto *w = new AvahiWatch{static_cast<QObject *>(api->userdata),
                             fd,
                             AvahiWatchEvent(0),
                             AvahiWatchEvent(0),
                             callback,
                             userdata,
                             {}};
    setWatchEvents(w, events);
    return w;
}

void watchUpdate(AvahiWatch *w, AvahiWatchEvent events) {
    setWatchEvents(w, events);
}

AvahiWatchEvent watchGetEvents(AvahiWatch *w) {
    return w->happened;
}

void watchFree(AvahiWatch *w) {
    for (QSocketNotifier *n : w->notifiers) {
        if (!n)
            continue;
        n->setEnabled(false);
        QObject::disconnect(n, nullptr, nullptr, nullptr);
        // This may be the notifier whose signal is being delivered right now.
        n->deleteLater();
    }
    delete w;
}

int msecsUntil(const timeval &when) {
    timeval now{};
    ::gettimeofday(&now, nullptr);
    const long long us = (static_cast<long long>(when.tv_sec) - now.tv_sec) * 1000000LL +
                         (static_cast<long long>(when.tv_usec) - now.tv_usec);
    if (us <= 0)
        return 0;
    const long long ms = (us + 999) / 1000;
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

void armTimeout(AvahiTimeout *t, const timeval *when) {
    if (!when) {
        t->timer->stop();
        return;
    }
    // Zero means the next turn of the loop, never from inside this call.
    t->timer->start(msecsUntil(*when));
}

AvahiTimeout *timeoutNew(const AvahiPoll *api, const timeval *when, AvahiTimeoutCallback callback,
                         void *userdata) {
    auto *timer = new QTimer(static_cast<QObject *>(api->userdata));
    timer->setSingleShot(true);
    timer->setTimerType(Qt::PreciseTimer);
    auto *t = new AvahiTimeout{timer, callback, userdata};
    // The callback may free or re-arm the timeout: nothing may touch it afterwards.
    QObject::connect(timer, &QTimer::timeout, timer, [t] { t->callback(t, t->userdata); });
    armTimeout(t, when);
    return t;
}

void timeoutUpdate(AvahiTimeout *t, const timeval *when) {
    armTimeout(t, when);
}

void timeoutFree(AvahiTimeout *t) {
    t->timer->stop();
    QObject::disconnect(t->timer, nullptr, nullptr, nullptr);
    t->timer->deleteLater();
    delete t;
}

} // namespace

AvahiQtPoll::AvahiQtPoll() {
    api_.userdata = &owner_;
    api_.watch_new = watchNew;
    api_.watch_update = watchUpdate;
    api_.watch_get_events = watchGetEvents;
    api_.watch_free = watchFree;
    api_.timeout_new = timeoutNew;
    api_.timeout_update = timeoutUpdate;
    api_.timeout_free = timeoutFree;
}

AvahiQtPoll::~AvahiQtPoll() = default;

} // namespace knobly
