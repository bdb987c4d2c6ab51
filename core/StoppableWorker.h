#pragma once
// A job on a thread of its own that can be asked to stop: Stop sets a flag the job reads between
// its steps and wakes every WaitFor under way, so a job that only waits through WaitFor ends at
// once. One job at a time; the object waits for its thread when it is destroyed. Qt-free.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

class StoppableWorker {
public:
    StoppableWorker() = default;
    ~StoppableWorker(); // Stop, then Join
    StoppableWorker(const StoppableWorker&) = delete;
    StoppableWorker& operator=(const StoppableWorker&) = delete;

    // Runs job on a new thread (after joining the thread of the last job, which has ended); the stop
    // flag is cleared first. False, with nothing started, while a job runs.
    bool Start(std::function<void()> job);
    // Asks the job to stop and ends its waits; the job decides where it stops.
    void Stop();
    bool StopRequested() const { return m_stopRequested.load(); }
    // True from Start until the job has returned.
    bool Running() const { return m_running.load(); }
    // Waits the given time; false when Stop came first (or had come before the call).
    bool WaitFor(std::chrono::duration<double, std::milli> duration);
    // Waits for the job's thread; returns at once when none runs. Not from the job itself.
    void Join();

private:
    std::thread m_thread;
    std::mutex m_threadMutex; // m_thread
    std::mutex m_waitMutex;   // so that a wait about to start cannot miss Stop's wake-up
    std::condition_variable m_wake;
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_stopRequested{false};
};
