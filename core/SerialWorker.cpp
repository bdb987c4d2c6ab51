#include "core/SerialWorker.h"

#include <chrono>

bool SerialWorker::Post(std::function<void()> job) {
    std::lock_guard lock(m_mutex);
    if (m_closed)
        return false;
    m_jobs.push_back(std::move(job));
    if (!m_thread.joinable())
        m_thread = std::thread(&SerialWorker::Run, this);
    m_wake.notify_all();
    return true;
}

bool SerialWorker::Idle() const {
    std::lock_guard lock(m_mutex);
    return !m_running && m_jobs.empty();
}

bool SerialWorker::WaitIdle(int timeoutMs) const {
    std::unique_lock lock(m_mutex);
    return m_wake.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [this] { return !m_running && m_jobs.empty(); });
}

void SerialWorker::Close() {
    std::thread thread;
    {
        std::lock_guard lock(m_mutex);
        m_closed = true;
        m_jobs.clear();
        m_wake.notify_all();
        thread = std::move(m_thread);
    }
    if (thread.joinable())
        thread.join();
}

void SerialWorker::Run() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_closed || !m_jobs.empty(); });
        if (m_jobs.empty())
            return; // closed
        std::function<void()> job = std::move(m_jobs.front());
        m_jobs.pop_front();
        m_running = true;
        lock.unlock();
        job();
        lock.lock();
        m_running = false;
        m_wake.notify_all();
    }
}
