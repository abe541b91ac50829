#include "MainQueue.h"

#include <cstdio>
#include <cstdlib>

namespace knobly {

namespace {
std::shared_ptr<MainQueue> &installed() {
    static std::shared_ptr<MainQueue> queue;
    return queue;
}
} // namespace

MainQueue &MainQueue::main() {
    auto &queue = installed();
    if (!queue) {
        std::fputs("knobly: no main queue installed\n", stderr);
        std::abort();
    }
    return *queue;
}

void MainQueue::install(std::shared_ptr<MainQueue> queue) { installed() = std::move(queue); }

} // namespace knobly
