#include "FakeMainQueue.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

using namespace knobly;

namespace {

TEST(FakeMainQueue, RunsWorkInTimeOrderOnlyWhenTimeMoves) {
    FakeMainQueue queue;
    std::vector<std::string> log;
    queue.asyncAfter(1.5, [&] { log.push_back("1.5"); });
    queue.asyncAfter(0.5, [&] { log.push_back("0.5"); });
    queue.async([&] { log.push_back("now"); });
    queue.asyncAfter(0.5, [&] { log.push_back("0.5 second"); });
    EXPECT_TRUE(log.empty()) << "nothing runs before the test turns the queue";
    queue.advance(0.4);
    EXPECT_EQ(log, (std::vector<std::string>{"now"}));
    queue.advance(0.1);
    EXPECT_EQ(log, (std::vector<std::string>{"now", "0.5", "0.5 second"}));
    queue.advance(10);
    EXPECT_EQ(log.back(), "1.5");
    EXPECT_DOUBLE_EQ(queue.now(), 10.5);
}

TEST(FakeMainQueue, WorkPostedByWorkRunsAtItsOwnTime) {
    FakeMainQueue queue;
    std::vector<double> at;
    queue.asyncAfter(1.0, [&] {
        at.push_back(queue.now());
        queue.asyncAfter(0.5, [&] { at.push_back(queue.now()); });
        queue.async([&] { at.push_back(queue.now()); });
    });
    queue.advance(2.0);
    EXPECT_EQ(at, (std::vector<double>{1.0, 1.0, 1.5}));
}

TEST(FakeMainQueue, RepeatingTimerTicksUntilInvalidated) {
    FakeMainQueue queue;
    int ticks = 0;
    auto timer = queue.scheduleRepeating(5.0, [&] { ++ticks; });
    queue.advance(4.9);
    EXPECT_EQ(ticks, 0) << "the first tick comes one interval from now";
    queue.advance(0.1);
    EXPECT_EQ(ticks, 1);
    queue.advance(20.0);
    EXPECT_EQ(ticks, 5);
    timer->invalidate();
    EXPECT_FALSE(timer->isValid());
    queue.advance(20.0);
    EXPECT_EQ(ticks, 5);
    EXPECT_EQ(queue.pendingCount(), 0u);
}

TEST(FakeMainQueue, TimerMayInvalidateItselfAndDroppingTheHandleStopsIt) {
    FakeMainQueue queue;
    int ticks = 0;
    std::shared_ptr<RepeatingTimer> timer;
    timer = queue.scheduleRepeating(1.0, [&] {
        if (++ticks == 3)
            timer->invalidate();
    });
    queue.advance(10);
    EXPECT_EQ(ticks, 3);

    int other = 0;
    auto dropped = queue.scheduleRepeating(1.0, [&] { ++other; });
    queue.advance(1.0);
    dropped.reset();
    queue.advance(5.0);
    EXPECT_EQ(other, 1);
}

TEST(FakeMainQueue, PostsFromOtherThreadsAreSafeAndWaitForTheTest) {
    FakeMainQueue queue;
    std::atomic<int> ran{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 250; ++i)
                queue.async([&] { ++ran; });
        });
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(ran, 0);
    EXPECT_EQ(queue.runPending(), 1000u);
    EXPECT_EQ(ran, 1000);
}

TEST(FakeMainQueue, RunUntilWaitsForWorkFromAnotherThread) {
    FakeMainQueue queue;
    bool delivered = false;
    std::thread worker([&] { queue.async([&] { delivered = true; }); });
    EXPECT_TRUE(queue.runUntil([&] { return delivered; }));
    worker.join();
    EXPECT_DOUBLE_EQ(queue.now(), 0.0) << "waiting for other threads does not move time";
    EXPECT_FALSE(queue.runUntil([] { return false; }, std::chrono::milliseconds(30)));
}

} // namespace
