#pragma once

#include <QCoreApplication>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

// The one wait of the suite: in real time, for what another process, the simulator's thread or
// this thread's Qt loop (turned meanwhile) brings about. The limit only keeps a
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

// Collects the values callbacks deliver, for a test to wait on (turning the Qt loop).
template <typename T> class Await {
public:
    void set(T value) { values_.push_back(std::move(value)); }

    // The n-th delivered value (0-based), waiting up to `timeoutMs` for it.
    std::optional<T> wait(std::size_t n = 0, int timeoutMs = 10000) {
        if (!waitUntil([&] { return values_.size() > n; }, timeoutMs))
            return std::nullopt;
        return values_[n];
    }

    std::size_t count() const { return values_.size(); }

private:
    std::vector<T> values_;
};

template <typename T> std::function<void(T)> deliverTo(const std::shared_ptr<Await<T>> &await) {
    return [await](T value) { await->set(std::move(value)); };
}
