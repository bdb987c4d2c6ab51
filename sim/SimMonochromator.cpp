#include "sim/SimMonochromator.h"

#include "scanner/SerialPort.h"

#include "sim/SimPty.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

namespace {
constexpr uint8_t kEcho = 27;
constexpr uint8_t kGoto = 16;
// A command's remaining bytes must follow within this time, else the partial command is dropped.
constexpr auto kCommandGap = std::chrono::milliseconds(1000);
} // namespace

SimMonochromator::SimMonochromator(std::string portName, SimOptics& optics)
    : m_portName(std::move(portName)), m_optics(optics) {}

SimMonochromator::~SimMonochromator() {
    Shutdown();
}

bool SimMonochromator::Start() {
    if (m_running.load())
        return true;
    SimPty pty;
    if (!OpenSimPty(pty))
        return false;
    {
        std::lock_guard lock(m_stateMutex);
        m_master = pty.master;
        m_slave = pty.slave;
        m_wake = pty.wake;
        m_devicePath = pty.devicePath;
    }
    m_gotoBytesLeft = 0;
    m_gotoValue = 0;
    CSerialPort::SetPortOverride(m_portName, pty.devicePath);
    m_running = true;
    m_thread = std::thread([this] { Run(); });
    return true;
}

void SimMonochromator::Shutdown() {
    if (!m_running.load())
        return;
    {
        std::lock_guard lock(m_stateMutex);
        const uint64_t one = 1;
        if (m_wake >= 0) [[maybe_unused]]
            auto n = ::write(m_wake, &one, sizeof(one));
    }
    if (m_thread.joinable())
        m_thread.join();
    std::string path;
    {
        std::lock_guard lock(m_stateMutex);
        path = m_devicePath;
        for (int* fd : {&m_wake, &m_master, &m_slave}) {
            if (*fd >= 0)
                ::close(*fd);
            *fd = -1;
        }
    }
    CSerialPort::ClearPortOverride(m_portName, path);
    m_running = false;
}

std::string SimMonochromator::DevicePath() const {
    std::lock_guard lock(m_stateMutex);
    return m_devicePath;
}

std::string SimMonochromator::ReceivedBytes() const {
    std::lock_guard lock(m_logMutex);
    return m_bytes.Text();
}

uint64_t SimMonochromator::BytesReceived() const {
    std::lock_guard lock(m_logMutex);
    return m_bytes.Total();
}

void SimMonochromator::ClearLog() {
    std::lock_guard lock(m_logMutex);
    m_bytes.Clear();
}

bool SimMonochromator::WaitForBytes(size_t count, int timeoutMs) const {
    std::unique_lock lock(m_logMutex);
    return m_logChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                 [&] { return m_bytes.Total() >= count; });
}

void SimMonochromator::Run() {
    int master = -1;
    int wake = -1;
    {
        std::lock_guard lock(m_stateMutex);
        master = m_master;
        wake = m_wake;
    }
    uint8_t chunk[256];
    for (;;) {
        pollfd p[2] = {{wake, POLLIN, 0}, {master, POLLIN, 0}};
        const int ready = ::poll(p, 2, 50);
        if (ready < 0 && errno != EINTR)
            break;
        if (p[0].revents & POLLIN)
            break;
        if (!(p[1].revents & POLLIN))
            continue;
        const ssize_t got = ::read(master, chunk, sizeof(chunk));
        if (got <= 0)
            continue;
        const auto now = std::chrono::steady_clock::now();
        for (ssize_t i = 0; i < got; ++i)
            Handle(chunk[i], now);
        // Logged after handling, so whoever sees the bytes also sees their effect.
        {
            std::lock_guard lock(m_logMutex);
            m_bytes.Append(reinterpret_cast<const char*>(chunk), static_cast<size_t>(got));
        }
        m_logChanged.notify_all();
    }
}

void SimMonochromator::Handle(uint8_t byte, std::chrono::steady_clock::time_point now) {
    if (m_gotoBytesLeft > 0 && now - m_lastByte > kCommandGap)
        m_gotoBytesLeft = 0;
    m_lastByte = now;
    if (m_silent.load()) {
        m_gotoBytesLeft = 0;
        return;
    }
    if (m_gotoBytesLeft > 0) {
        m_gotoValue = static_cast<uint16_t>((m_gotoValue << 8) | byte);
        if (--m_gotoBytesLeft == 0) {
            m_wavelength = m_gotoValue;
            m_optics.monochromatorNm = double(m_gotoValue);
            m_optics.sphereWhiteLight = m_gotoValue == 0;
            ++m_moves;
        }
        return;
    }
    if (byte == kEcho) {
        ++m_echoes;
        Reply(kEcho);
    } else if (byte == kGoto) {
        m_gotoBytesLeft = 2;
        m_gotoValue = 0;
    }
}

void SimMonochromator::Reply(uint8_t byte) {
    int master = -1;
    {
        std::lock_guard lock(m_stateMutex);
        master = m_master;
    }
    if (master >= 0) [[maybe_unused]]
        auto n = ::write(master, &byte, 1); // nobody reading: the answer is lost, as on a real line
}
