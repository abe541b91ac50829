#pragma once

#include <functional>
#include <memory>

namespace knobly {

// A repeating timer handed out by MainQueue. Dropping the handle invalidates it too.
class RepeatingTimer {
public:
    virtual ~RepeatingTimer() = default;
    virtual void invalidate() = 0;
    virtual bool isValid() const = 0;
};

// The main thread's queue: every timer and every hand-over to the main thread goes through
// here, so tests can drive time by hand.
class MainQueue {
public:
    using Work = std::function<void()>;

    virtual ~MainQueue() = default;

    // Safe from any thread.
    virtual void async(Work work) = 0;
    virtual void asyncAfter(double seconds, Work work) = 0;

    // Main thread only. The first tick comes one interval from now.
    virtual std::shared_ptr<RepeatingTimer> scheduleRepeating(double interval, Work work) = 0;

    // The queue the program runs on; installed once at start (the Qt one, or a fake in tests).
    static MainQueue &main();
    static void install(std::shared_ptr<MainQueue> queue);
};

} // namespace knobly
