#include "FakeMainQueue.h"

#include <QCoreApplication>

#include <algorithm>
#include <atomic>

namespace knobly {

struct FakeMainQueue::TimerState final : RepeatingTimer {
    double interval = 0;
    std::atomic<bool> valid{true};
    void invalidate() override { valid = false; }
    bool isValid() const override { return valid; }
};

namespace {
// The handle given out; dropping it invalidates the timer, as with the Qt queue.
struct TimerHandle final : RepeatingTimer {
    explicit TimerHandle(std::shared_ptr<RepeatingTimer> state) : state(std::move(state)) {}
    ~TimerHandle() override { state->invalidate(); }
    void invalidate() override { state->invalidate(); }
    bool isValid() const override { return state->isValid(); }
    std::shared_ptr<RepeatingTimer> state;
};
} // namespace

void FakeMainQueue::post(double due, Work work, std::shared_ptr<TimerState> timer) {
    // Notify under the lock: the queue may be destroyed as soon as the lock is free.
    std::lock_guard lock(mutex_);
    items_.push_back(Item{due, nextSeq_++, std::move(work), std::move(timer)});
    posted_.notify_all();
}

void FakeMainQueue::async(Work work) {
    double due;
    {
        std::lock_guard lock(mutex_);
        due = now_;
    }
    post(due, std::move(work), nullptr);
}

void FakeMainQueue::asyncAfter(double seconds, Work work) {
    double due;
    {
        std::lock_guard lock(mutex_);
        due = now_ + std::max(0.0, seconds);
    }
    post(due, std::move(work), nullptr);
}

std::shared_ptr<RepeatingTimer> FakeMainQueue::scheduleRepeating(double interval, Work work) {
    auto state = std::make_shared<TimerState>();
    state->interval = std::max(interval, 1e-6);
    double due;
    {
        std::lock_guard lock(mutex_);
        due = now_ + state->interval;
    }
    post(due, std::move(work), state);
    return std::make_shared<TimerHandle>(state);
}

double FakeMainQueue::now() const {
    std::lock_guard lock(mutex_);
    return now_;
}

bool FakeMainQueue::runOneDue(double limit) {
    Item item;
    {
        std::lock_guard lock(mutex_);
        // Drop invalidated timers first so they never count as due work.
        std::erase_if(items_, [](const Item &i) { return i.timer && !i.timer->isValid(); });
        auto it = std::min_element(items_.begin(), items_.end(), [](const Item &a, const Item &b) {
            return a.due != b.due ? a.due < b.due : a.seq < b.seq;
        });
        if (it == items_.end() || it->due > limit)
            return false;
        item = std::move(*it);
        items_.erase(it);
        now_ = std::max(now_, item.due);
    }
    if (item.timer) {
        // Re-arm before running, so the work may invalidate its own timer.
        post(item.due + item.timer->interval, item.work, item.timer);
    }
    item.work();
    return true;
}

std::size_t FakeMainQueue::advance(double seconds) {
    double target;
    {
        std::lock_guard lock(mutex_);
        target = now_ + std::max(0.0, seconds);
    }
    std::size_t ran = 0;
    while (runOneDue(target))
        ++ran;
    std::lock_guard lock(mutex_);
    now_ = std::max(now_, target);
    return ran;
}

std::size_t FakeMainQueue::runPending() {
    return advance(0.0);
}

bool FakeMainQueue::runUntil(const std::function<bool()> &done,
                             std::chrono::milliseconds realTimeout) {
    const auto deadline = std::chrono::steady_clock::now() + realTimeout;
    for (;;) {
        // Sockets and D-Bus replies on this thread arrive through Qt's own loop.
        if (QCoreApplication::instance())
            QCoreApplication::processEvents();
        runPending();
        if (done())
            return true;
        std::unique_lock lock(mutex_);
        const double limit = now_;
        const bool due = std::any_of(items_.begin(), items_.end(),
                                     [limit](const Item &i) { return i.due <= limit; });
        if (due)
            continue;
        if (std::chrono::steady_clock::now() >= deadline) {
            lock.unlock();
            runPending();
            return done();
        }
        // Wake on a post, or now and then for conditions that other threads change directly.
        posted_.wait_until(lock, std::min(deadline, std::chrono::steady_clock::now() +
                                                        std::chrono::milliseconds(5)));
    }
}

std::size_t FakeMainQueue::pendingCount() const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count_if(items_.begin(), items_.end(), [](const Item &i) {
        return !i.timer || i.timer->isValid();
    }));
}

} // namespace knobly
