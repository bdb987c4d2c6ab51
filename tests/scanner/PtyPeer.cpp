#include "scanner/PtyPeer.h"

#include <cerrno>
#include <poll.h>
#include <stdexcept>

PtyPeer::PtyPeer(std::string portName, Responder responder)
    : m_responder(std::move(responder)), m_device(std::move(portName)) {
    if (!m_device.Start([this](int master, int wake) { Run(master, wake); }))
        throw std::runtime_error("no pseudo-terminal for the test's peer");
    m_path = m_device.DevicePath();
}

PtyPeer::~PtyPeer() {
    m_device.Stop();
}

void PtyPeer::SetResponder(Responder responder) {
    std::lock_guard lock(m_mutex);
    m_responder = std::move(responder);
}

void PtyPeer::Send(const std::string& bytes) {
    m_device.Write(bytes);
}

void PtyPeer::Hangup() {
    // The terminal side stays open until the peer goes: the terminal's number is not handed to
    // another test's terminal while the program may still reopen the old path.
    m_device.HangUp();
}

std::vector<std::string> PtyPeer::Commands() const {
    std::lock_guard lock(m_mutex);
    return m_commands;
}

std::string PtyPeer::Bytes() const {
    std::lock_guard lock(m_mutex);
    return m_bytes;
}

void PtyPeer::Clear() {
    std::lock_guard lock(m_mutex);
    m_commands.clear();
    m_bytes.clear();
}

bool PtyPeer::WaitForBytes(size_t count, int timeoutMs) const {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return m_bytes.size() >= count; });
}

bool PtyPeer::WaitForQuiet(int quietMs, int timeoutMs) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock lock(m_mutex);
    for (;;) {
        const size_t before = m_bytes.size();
        m_changed.wait_for(lock, std::chrono::milliseconds(quietMs),
                           [&] { return m_bytes.size() != before; });
        if (m_bytes.size() == before)
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
    }
}

void PtyPeer::Run(int master, int wake) {
    std::string pending;
    char chunk[256];
    for (;;) {
        // After a hang-up the descriptor is closed (and its number may be reused): not polled.
        pollfd p[2] = {{wake, POLLIN, 0}, {m_device.HungUp() ? -1 : master, POLLIN, 0}};
        if (::poll(p, 2, 20) < 0 && errno != EINTR)
            return;
        if (p[0].revents & POLLIN)
            return;
        if (!(p[1].revents & POLLIN))
            continue;
        const size_t got = m_device.Read(chunk, sizeof(chunk));
        if (got == 0)
            continue;
        std::lock_guard lock(m_mutex);
        m_bytes.append(chunk, got);
        pending.append(chunk, got);
        for (;;) {
            const size_t end = pending.find_first_of("\r\n");
            if (end == std::string::npos)
                break;
            const size_t length =
                pending[end] == '\r' && end + 1 < pending.size() && pending[end + 1] == '\n' ? 2 : 1;
            const std::string command = pending.substr(0, end + length);
            pending.erase(0, end + length);
            m_commands.push_back(command);
            if (m_responder) {
                const std::string reply = m_responder(command);
                if (!reply.empty())
                    m_device.Write(reply);
            }
        }
        m_changed.notify_all();
    }
}
