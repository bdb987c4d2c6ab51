// The serial worker: jobs in the order posted, one at a time, off the caller's thread; closing drops
// what waits, lets the running job end and refuses new ones.
#include "core/SerialWorker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

namespace {
bool WaitUntil(const std::atomic<bool>& flag, int ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!flag.load() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return flag.load();
}
} // namespace

TEST(SerialWorker, RunsJobsInTheirOrderOneAtATimeOffTheCallersThread) {
    SerialWorker worker;
    EXPECT_TRUE(worker.Idle());
    std::mutex mutex;
    std::vector<int> order;
    std::atomic<int> running{0}, mostAtOnce{0};
    std::atomic<bool> onCaller{false};
    const auto caller = std::this_thread::get_id();
    for (int i = 0; i < 50; ++i)
        ASSERT_TRUE(worker.Post([&, i] {
            const int now = ++running;
            mostAtOnce = std::max(mostAtOnce.load(), now);
            if (std::this_thread::get_id() == caller)
                onCaller = true;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            {
                std::lock_guard lock(mutex);
                order.push_back(i);
            }
            --running;
        }));
    ASSERT_TRUE(worker.WaitIdle(10000));
    EXPECT_TRUE(worker.Idle());
    std::lock_guard lock(mutex);
    ASSERT_EQ(order.size(), 50u);
    for (int i = 0; i < 50; ++i)
        EXPECT_EQ(order[size_t(i)], i);
    EXPECT_EQ(mostAtOnce.load(), 1);
    EXPECT_FALSE(onCaller.load());
}

TEST(SerialWorker, CloseLetsTheRunningJobEndDropsTheWaitingOnesAndRefusesNewOnes) {
    SerialWorker worker;
    std::atomic<bool> started{false}, release{false}, finished{false}, droppedRan{false};
    ASSERT_TRUE(worker.Post([&] {
        started = true;
        WaitUntil(release, 10000);
        finished = true;
    }));
    ASSERT_TRUE(worker.Post([&] { droppedRan = true; }));
    ASSERT_TRUE(WaitUntil(started, 5000));
    EXPECT_FALSE(worker.Idle());
    EXPECT_FALSE(worker.WaitIdle(20)); // the running job holds it
    std::thread closer([&] { worker.Close(); });
    // Once a post is refused the worker is closed and its waiting jobs are gone.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (worker.Post([] {}) && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    release = true;
    closer.join();
    EXPECT_TRUE(finished.load());
    EXPECT_FALSE(droppedRan.load());
    EXPECT_FALSE(worker.Post([&] { droppedRan = true; }));
    EXPECT_TRUE(worker.Idle());
    worker.Close(); // twice is harmless
}

TEST(SerialWorker, AWorkerThatNeverRanClosesAtOnce) {
    SerialWorker worker;
    worker.Close();
    EXPECT_FALSE(worker.Post([] {}));
}
