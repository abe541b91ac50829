#include "MainQueue.h"

#include <atomic>
#include <mutex>
#include <vector>

namespace knobly {

namespace {

// Takes work and drops it: what late network answers reach once no queue is installed.
class DiscardingQueue final : public MainQueue {
    struct Dead final : RepeatingTimer {
        void invalidate() override {}
        bool isValid() const override { return false; }
    };

public:
    void async(Work) override {}
    void asyncAfter(double, Work) override {}
    std::shared_ptr<RepeatingTimer> scheduleRepeating(double, Work) override {
        return std::make_shared<Dead>();
    }
};

std::atomic<MainQueue *> g_current{nullptr};

void keepForever(std::shared_ptr<MainQueue> queue) {
    // Timers and work scheduled on a queue may still reach it after it was replaced, and even
    // at exit; so queues, once installed, are never destroyed.
    static std::mutex mutex;
    static auto *kept = new std::vector<std::shared_ptr<MainQueue>>;
    std::lock_guard lock(mutex);
    kept->push_back(std::move(queue));
}

} // namespace

MainQueue &MainQueue::main() {
    static auto *discard = new DiscardingQueue;
    MainQueue *queue = g_current.load(std::memory_order_acquire);
    return queue ? *queue : *discard;
}

void MainQueue::install(std::shared_ptr<MainQueue> queue) {
    MainQueue *raw = queue.get();
    if (queue)
        keepForever(std::move(queue));
    g_current.store(raw, std::memory_order_release);
}

} // namespace knobly
