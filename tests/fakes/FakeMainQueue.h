#pragma once

#include "MainQueue.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

namespace knobly {

// A main queue on virtual time. Work posted waits until the test runs it; time moves only
// through advance().
class FakeMainQueue final : public MainQueue {
public:
    void async(Work work) override;
    void asyncAfter(double seconds, Work work) override;
    std::shared_ptr<RepeatingTimer> scheduleRepeating(double interval, Work work) override;

    double now() const;

    // Runs, in time order, everything due up to now + seconds (also work that this work
    // posts), then leaves the clock there. Returns how many items ran.
    std::size_t advance(double seconds);

    // Runs everything due now, including what that posts.
    std::size_t runPending();

    // Waits in real time until `done` holds, running due work as it arrives: work from other
    // threads (network completions) and Qt's own events on this thread (sockets). Virtual
    // time does not move.
    bool runUntil(const std::function<bool()> &done,
                  std::chrono::milliseconds realTimeout = std::chrono::seconds(10));

    // Items waiting, due now or later (live repeating timers count once).
    std::size_t pendingCount() const;

private:
    struct TimerState;
    struct Item {
        double due;
        std::uint64_t seq;
        Work work;
        std::shared_ptr<TimerState> timer;
    };

    void post(double due, Work work, std::shared_ptr<TimerState> timer);
    bool runOneDue(double limit);

    mutable std::mutex mutex_;
    std::condition_variable posted_;
    std::vector<Item> items_;
    double now_ = 0.0;
    std::uint64_t nextSeq_ = 0;
};

} // namespace knobly
