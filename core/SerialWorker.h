#pragma once
// One thread that runs posted jobs one after another, in the order they were posted. The window uses
// it for the engine's commands that move the mirror (the travel to a scan's start, the return at a
// Stop), so that the window thread never waits for the mirror while the commands keep their order.
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

class SerialWorker {
public:
    SerialWorker() = default;
    ~SerialWorker() { Close(); }
    SerialWorker(const SerialWorker&) = delete;
    SerialWorker& operator=(const SerialWorker&) = delete;

    // Queues a job; false (and the job is dropped) once the worker is closed. The thread starts with
    // the first job.
    bool Post(std::function<void()> job);
    // Neither a job running nor one waiting.
    bool Idle() const;
    // Waits until the worker is idle, at most timeoutMs; returns whether it is.
    bool WaitIdle(int timeoutMs) const;
    // Drops the jobs that wait, lets the running one finish and joins the thread. Jobs posted after
    // are refused. The caller makes sure the running job ends (a travel it aborts, for example).
    void Close();

private:
    void Run();

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_wake;
    std::deque<std::function<void()>> m_jobs;
    bool m_running = false; // a job is being run
    bool m_closed = false;
    std::thread m_thread;
};
