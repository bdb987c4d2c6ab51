#include "core/StoppableWorker.h"

#include <utility>

StoppableWorker::~StoppableWorker() {
    Stop();
    Join();
}

bool StoppableWorker::Start(std::function<void()> job) {
    std::lock_guard lock(m_threadMutex);
    if (m_running.load())
        return false;
    if (m_thread.joinable())
        m_thread.join();
    {
        std::lock_guard waitLock(m_waitMutex);
        m_stopRequested = false;
    }
    m_running = true;
    m_thread = std::thread([this, job = std::move(job)] {
        job();
        m_running = false;
    });
    return true;
}

void StoppableWorker::Stop() {
    {
        std::lock_guard lock(m_waitMutex);
        m_stopRequested = true;
    }
    m_wake.notify_all();
}

bool StoppableWorker::WaitFor(std::chrono::duration<double, std::milli> duration) {
    if (duration.count() < 0)
        duration = duration.zero();
    std::unique_lock lock(m_waitMutex);
    return !m_wake.wait_for(lock, duration, [this] { return m_stopRequested.load(); });
}

void StoppableWorker::Join() {
    std::lock_guard lock(m_threadMutex);
    if (m_thread.joinable())
        m_thread.join();
}
