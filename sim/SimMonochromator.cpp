#include "sim/SimMonochromator.h"

#include <cerrno>
#include <poll.h>
#include <unistd.h>

namespace {
constexpr uint8_t kEcho = 27;
constexpr uint8_t kGoto = 16;
// A command's remaining bytes must follow within this time, else the partial command is dropped.
constexpr auto kCommandGap = std::chrono::milliseconds(1000);
} // namespace

SimMonochromator::SimMonochromator(std::string portName, SimOptics& optics)
    : m_optics(optics), m_pty(std::move(portName)) {}

SimMonochromator::~SimMonochromator() {
    Shutdown();
}

bool SimMonochromator::Start() {
    if (m_pty.Running())
        return true;
    m_gotoBytesLeft = 0;
    m_gotoValue = 0;
    return m_pty.Start([this](int master, int wake) { Run(master, wake); });
}

void SimMonochromator::Shutdown() {
    m_pty.Stop();
}

std::string SimMonochromator::DevicePath() const {
    return m_pty.DevicePath();
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

void SimMonochromator::Run(int master, int wake) {
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
    m_pty.Write(std::string_view(reinterpret_cast<const char*>(&byte), 1));
}
