#include "scanner/PtyPeer.h"

#include "serial/SerialPort.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

PtyPeer::PtyPeer(std::string portName, Responder responder)
    : m_portName(std::move(portName)), m_responder(std::move(responder)) {
    if (::openpty(&m_master, &m_slave, nullptr, nullptr, nullptr) != 0)
        throw std::runtime_error("openpty failed");
    termios tio{};
    ::tcgetattr(m_slave, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(m_slave, TCSANOW, &tio);
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    char name[128] = {};
    ::ptsname_r(m_master, name, sizeof(name));
    m_path = name;
    m_wake = ::eventfd(0, EFD_NONBLOCK);
    if (!m_portName.empty())
        CSerialPort::SetPortOverride(m_portName, m_path);
    m_thread = std::thread([this] { Run(); });
}

PtyPeer::~PtyPeer() {
    const uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(m_wake, &one, sizeof(one));
    m_thread.join();
    ::close(m_wake);
    Hangup();
    ::close(m_slave);
    if (!m_portName.empty())
        CSerialPort::ClearPortOverride(m_portName, m_path);
}

void PtyPeer::SetResponder(Responder responder) {
    std::lock_guard lock(m_mutex);
    m_responder = std::move(responder);
}

void PtyPeer::Send(const std::string& bytes) {
    std::lock_guard lock(m_mutex);
    if (!m_hungUp) [[maybe_unused]]
        auto n = ::write(m_master, bytes.data(), bytes.size());
}

void PtyPeer::Hangup() {
    std::lock_guard lock(m_mutex);
    if (m_hungUp)
        return;
    m_hungUp = true;
    // The slave stays open until the peer goes: the terminal's number is not handed to another
    // test's terminal while the program may still reopen the old path.
    ::close(m_master);
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

void PtyPeer::Run() {
    std::string pending;
    char chunk[256];
    for (;;) {
        int master = -1;
        {
            std::lock_guard lock(m_mutex);
            master = m_hungUp ? -1 : m_master;
        }
        pollfd p[2] = {{m_wake, POLLIN, 0}, {master, POLLIN, 0}};
        if (::poll(p, 2, 20) < 0 && errno != EINTR)
            return;
        if (p[0].revents & POLLIN)
            return;
        if (!(p[1].revents & POLLIN))
            continue;
        std::lock_guard lock(m_mutex);
        if (m_hungUp)
            continue;
        const ssize_t got = ::read(m_master, chunk, sizeof(chunk));
        if (got <= 0)
            continue;
        m_bytes.append(chunk, static_cast<size_t>(got));
        pending.append(chunk, static_cast<size_t>(got));
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
                if (!reply.empty()) [[maybe_unused]]
                    auto n = ::write(m_master, reply.data(), reply.size());
            }
        }
        m_changed.notify_all();
    }
}
