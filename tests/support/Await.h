#pragma once

#include <QCoreApplication>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

// Collects values that callbacks deliver on other threads, for a test to wait on.
template <typename T> class Await {
public:
    void set(T value) {
        {
            std::lock_guard lock(mutex_);
            values_.push_back(std::move(value));
        }
        cv_.notify_all();
    }

    // The n-th delivered value (0-based), waiting up to `timeout` for it.
    std::optional<T> wait(std::size_t n = 0,
                          std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex_);
        if (!cv_.wait_for(lock, timeout, [&] { return values_.size() > n; }))
            return std::nullopt;
        return values_[n];
    }

    std::size_t count() const {
        std::lock_guard lock(mutex_);
        return values_.size();
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<T> values_;
};

template <typename T> std::function<void(T)> deliverTo(const std::shared_ptr<Await<T>> &await) {
    return [await](T value) { await->set(std::move(value)); };
}

// The one wait of the suite: in real time, for what another thread, another process or this
// thread's Qt loop (turned meanwhile, when there is one) brings about. The limit only keeps a
// broken test from hanging.
inline bool waitUntil(const std::function<bool()> &done, int limitMs = 15000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        if (QCoreApplication::instance())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}
