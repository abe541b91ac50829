#include "QtMainQueue.h"

#include <QCoreApplication>
#include <QPointer>
#include <QThread>
#include <QTimer>

#include <cmath>

namespace knobly {

namespace {

int toMilliseconds(double seconds) {
    if (!(seconds > 0))
        return 0;
    const double ms = std::ceil(seconds * 1000.0);
    return ms > 2e9 ? 2000000000 : static_cast<int>(ms);
}

QObject *mainContext() {
    return QCoreApplication::instance();
}

bool onMainThread() {
    auto *app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

class QtRepeatingTimer final : public RepeatingTimer {
public:
    QtRepeatingTimer(int intervalMs, MainQueue::Work work) : timer_(new QTimer) {
        timer_->setInterval(intervalMs);
        timer_->setTimerType(Qt::PreciseTimer);
        QObject::connect(timer_, &QTimer::timeout, timer_, std::move(work));
        timer_->start();
    }
    ~QtRepeatingTimer() override { invalidate(); }

    void invalidate() override {
        if (timer_) {
            timer_->stop();
            // The tick being delivered may be the one that invalidates us.
            timer_->deleteLater();
            timer_ = nullptr;
        }
    }
    bool isValid() const override { return timer_ != nullptr; }

private:
    QPointer<QTimer> timer_;
};

} // namespace

void QtMainQueue::async(Work work) {
    QMetaObject::invokeMethod(mainContext(), std::move(work), Qt::QueuedConnection);
}

void QtMainQueue::asyncAfter(double seconds, Work work) {
    const int ms = toMilliseconds(seconds);
    if (onMainThread()) {
        QTimer::singleShot(ms, Qt::PreciseTimer, mainContext(), std::move(work));
        return;
    }
    // Timers belong to the thread that starts them, so start this one on the main thread.
    async([ms, work = std::move(work)]() mutable {
        QTimer::singleShot(ms, Qt::PreciseTimer, mainContext(), std::move(work));
    });
}

std::shared_ptr<RepeatingTimer> QtMainQueue::scheduleRepeating(double interval, Work work) {
    return std::make_shared<QtRepeatingTimer>(toMilliseconds(interval), std::move(work));
}

} // namespace knobly
