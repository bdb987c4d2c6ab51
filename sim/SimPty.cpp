#include "sim/SimPty.h"

#include "serial/SerialPort.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

SimPtyDevice::SimPtyDevice(std::string portName) : m_portName(std::move(portName)) {}

SimPtyDevice::~SimPtyDevice() {
    Stop();
}

bool SimPtyDevice::Start(std::function<void(int master, int wake)> loop) {
    if (m_running.load())
        return true;
    int master = -1;
    int slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
        return false;
    char name[128] = {};
    termios tio{};
    const int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0 || ::ptsname_r(master, name, sizeof(name)) != 0 || ::tcgetattr(slave, &tio) != 0) {
        if (wake >= 0)
            ::close(wake);
        ::close(master);
        ::close(slave);
        return false;
    }
    ::cfmakeraw(&tio);
    ::tcsetattr(slave, TCSANOW, &tio);
    ::tcgetattr(master, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(master, TCSANOW, &tio);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    {
        std::lock_guard lock(m_mutex);
        m_master = master;
        m_slave = slave;
        m_wake = wake;
        m_devicePath = name;
    }
    if (!m_portName.empty())
        CSerialPort::SetPortOverride(m_portName, name);
    m_running = true;
    m_thread = std::thread([loop = std::move(loop), master, wake] { loop(master, wake); });
    return true;
}

void SimPtyDevice::Stop() {
    if (!m_running.load())
        return;
    {
        std::lock_guard lock(m_mutex);
        const uint64_t one = 1;
        if (m_wake >= 0) [[maybe_unused]]
            auto n = ::write(m_wake, &one, sizeof(one));
    }
    if (m_thread.joinable())
        m_thread.join();
    std::string path;
    {
        std::lock_guard lock(m_mutex);
        path = m_devicePath;
        for (int* fd : {&m_wake, &m_master, &m_slave}) {
            if (*fd >= 0)
                ::close(*fd);
            *fd = -1;
        }
    }
    if (!m_portName.empty())
        CSerialPort::ClearPortOverride(m_portName, path);
    m_running = false;
}

std::string SimPtyDevice::DevicePath() const {
    std::lock_guard lock(m_mutex);
    return m_devicePath;
}

void SimPtyDevice::Write(std::string_view bytes) {
    int master = -1;
    {
        std::lock_guard lock(m_mutex);
        master = m_master;
    }
    if (master < 0)
        return;
    size_t done = 0;
    int waits = 0;
    while (done < bytes.size()) {
        const ssize_t put = ::write(master, bytes.data() + done, bytes.size() - done);
        if (put > 0) {
            done += static_cast<size_t>(put);
            continue;
        }
        if (put < 0 && errno == EINTR)
            continue;
        if (put < 0 && errno == EAGAIN && ++waits < 50) {
            pollfd p{master, POLLOUT, 0};
            ::poll(&p, 1, 2);
            continue;
        }
        return;
    }
}

void SimPtyDevice::HangUp() {
    std::lock_guard lock(m_mutex);
    if (m_master >= 0)
        ::close(m_master);
    m_master = -1;
}

size_t SimPtyDevice::Read(char* buffer, size_t size) {
    std::lock_guard lock(m_mutex);
    if (m_master < 0)
        return 0;
    const ssize_t got = ::read(m_master, buffer, size);
    return got > 0 ? static_cast<size_t>(got) : 0;
}

bool SimPtyDevice::HungUp() const {
    std::lock_guard lock(m_mutex);
    return m_master < 0;
}

int SimPtyDevice::SlaveFd() const {
    std::lock_guard lock(m_mutex);
    return m_slave;
}
