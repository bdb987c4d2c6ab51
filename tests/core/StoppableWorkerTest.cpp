// The stoppable worker: Stop cuts a wait short at once (a long wait that Stop did not wake would
// hold the test until its time-out), one job at a time, a fresh stop flag for each job, and a
// destructor that stops and joins a job still waiting.
#include "core/StoppableWorker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

using namespace std::chrono_literals;

namespace {
// Waits (without a busy loop) until the flag is set.
void WaitUntil(const std::atomic<bool>& flag) {
    while (!flag.load())
        std::this_thread::sleep_for(1ms);
}
} // namespace

TEST(StoppableWorker, StopEndsAWaitUnderWayAndEveryWaitAfterIt) {
    StoppableWorker worker;
    std::promise<std::pair<bool, bool>> waited;
    std::atomic<bool> waiting{false};
    ASSERT_TRUE(worker.Start([&] {
        waiting = true;
        const bool first = worker.WaitFor(1h);
        const bool second = worker.WaitFor(1h);
        waited.set_value({first, second});
    }));
    WaitUntil(waiting);
    EXPECT_TRUE(worker.Running());
    worker.Stop();
    worker.Join();
    EXPECT_EQ(waited.get_future().get(), std::make_pair(false, false));
    EXPECT_FALSE(worker.Running());
    EXPECT_TRUE(worker.StopRequested());
}

TEST(StoppableWorker, AWaitWithoutStopRunsItsTimeAndOneJobRunsAtATime) {
    StoppableWorker worker;
    std::atomic<bool> release{false}, started{false};
    std::atomic<int> runs{0};
    ASSERT_TRUE(worker.Start([&] {
        started = true;
        ++runs;
        while (!release.load())
            if (!worker.WaitFor(1ms))
                return;
    }));
    WaitUntil(started);
    // A second job is refused while the first runs.
    EXPECT_FALSE(worker.Start([&] { runs += 10; }));
    release = true;
    worker.Join();
    EXPECT_FALSE(worker.Running());
    EXPECT_FALSE(worker.StopRequested());
    // A stop of the last job does not carry over to the next one.
    worker.Stop();
    std::promise<bool> waitResult;
    ASSERT_TRUE(worker.Start([&] {
        ++runs;
        waitResult.set_value(worker.WaitFor(2ms));
    }));
    EXPECT_TRUE(waitResult.get_future().get());
    worker.Join();
    EXPECT_EQ(runs.load(), 2);
    // Joining with nothing to join returns.
    worker.Join();
}

TEST(StoppableWorker, DestroyingTheWorkerStopsAndJoinsAWaitingJob) {
    std::atomic<bool> waiting{false}, ended{false};
    {
        StoppableWorker worker;
        ASSERT_TRUE(worker.Start([&] {
            waiting = true;
            worker.WaitFor(1h);
            ended = true;
        }));
        WaitUntil(waiting);
    }
    EXPECT_TRUE(ended.load());
}
