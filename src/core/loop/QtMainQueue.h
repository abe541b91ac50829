#pragma once

#include "MainQueue.h"

namespace knobly {

// MainQueue on the Qt event loop of the application's thread.
class QtMainQueue final : public MainQueue {
public:
    void async(Work work) override;
    void asyncAfter(double seconds, Work work) override;
    std::shared_ptr<RepeatingTimer> scheduleRepeating(double interval, Work work) override;
};

} // namespace knobly
