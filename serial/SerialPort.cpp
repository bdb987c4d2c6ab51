#include "serial/SerialPort.h"

#include "core/Text.h"
#include "serial/SerialSpeed.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// Time-outs of the controller link, in milliseconds.
constexpr int kReadIntervalMs = 3;
constexpr int kReadPerByteMs = 3;
constexpr int kReadConstantMs = 2;
constexpr int kWritePerByteMs = 3;
constexpr int kWriteConstantMs = 2;

constexpr uint32_t kListedBauds[] = {110,   300,   600,   1200,  2400,   4800,   9600,  14400,
                                     19200, 38400, 56000, 57600, 115200, 128000, 256000};

std::mutex g_mapMutex;
std::map<std::string, std::string>& Overrides() {
    static std::map<std::string, std::string> overrides;
    return overrides;
}
// The ports map in force and whether real devices may be opened at all (not under --simulate).
PortsMap& InstalledMap() {
    static PortsMap map;
    return map;
}
bool g_realPortsAllowed = true;

int RemainingMs(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

} // namespace

int OpenLockedDevice(const std::string& device) {
    const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    // Exclusive mode (TIOCEXCL) does not stop root; the lock does. A holder's lock and exclusive
    // mode are left untouched: the descriptor is closed before anything else is done with it.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool IsListedBaudRate(uint32_t baud) {
    return std::find(std::begin(kListedBauds), std::end(kListedBauds), baud) != std::end(kListedBauds);
}

bool FillCommState(DCB& dcb, const std::string& baudText) {
    dcb.ByteSize = 8;
    dcb.StopBits = ONESTOPBIT;
    dcb.Parity = NOPARITY;
    dcb.BaudRate = 0;
    const std::string text = std::string(TrimSpace(baudText));
    uint64_t value = 0;
    size_t digits = 0;
    while (digits < text.size() && digits < 10 && std::isdigit(static_cast<unsigned char>(text[digits]))) {
        value = value * 10 + static_cast<uint64_t>(text[digits] - '0');
        ++digits;
    }
    if (digits == 0 || digits != text.size() || !IsListedBaudRate(static_cast<uint32_t>(value)))
        return false;
    dcb.BaudRate = static_cast<uint32_t>(value);
    return true;
}

CSerialPort& GetSerialPort() {
    static CSerialPort* port = new CSerialPort;
    return *port;
}

std::string CSerialPort::DevicePath(const std::string& portName) {
    const std::string name = AsciiUpper(TrimSpace(portName));
    if (name.empty())
        return {};
    std::lock_guard lock(g_mapMutex);
    const auto it = Overrides().find(name);
    if (it != Overrides().end())
        return it->second;
    if (!g_realPortsAllowed)
        return {};
    const std::string com = NormalisedComName(name);
    if (InstalledMap().Lists(com))
        return InstalledMap().DeviceOf(com);
    if (!com.empty())
        return "/dev/ttyS" + std::to_string(std::stoi(com.substr(3)) - 1);
    return {};
}

void CSerialPort::SetPortOverride(const std::string& portName, const std::string& devicePath) {
    std::lock_guard lock(g_mapMutex);
    Overrides()[AsciiUpper(TrimSpace(portName))] = devicePath;
}

void CSerialPort::ClearPortOverride(const std::string& portName, const std::string& onlyIfDevice) {
    std::lock_guard lock(g_mapMutex);
    const auto it = Overrides().find(AsciiUpper(TrimSpace(portName)));
    if (it != Overrides().end() && (onlyIfDevice.empty() || it->second == onlyIfDevice))
        Overrides().erase(it);
}

void CSerialPort::InstallPortsMap(PortsMap map, bool realPortsAllowed) {
    std::lock_guard lock(g_mapMutex);
    InstalledMap() = std::move(map);
    g_realPortsAllowed = realPortsAllowed;
}

void CSerialPort::SetPortsFile(const std::string& path) {
    InstallPortsMap(path.empty() ? PortsMap{} : ReadPortsMap(path), true);
}

int CSerialPort::Open(const DCB& dcb, const std::string& portName) {
    std::lock_guard lock(m_ioMutex);
    if (m_open.load())
        return 0;
    if (dcb.BaudRate == 0 || dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > EVENPARITY ||
        (dcb.StopBits != ONESTOPBIT && dcb.StopBits != TWOSTOPBITS))
        return 0;
    const std::string device = DevicePath(portName);
    if (device.empty())
        return 0;
    // Existing device only (no O_CREAT), no controlling terminal, non-blocking: the time-outs are
    // done with poll.
    const int fd = OpenLockedDevice(device);
    if (fd < 0)
        return 0;
    auto fail = [fd](bool exclusive) {
        if (exclusive)
            ::ioctl(fd, TIOCNXCL);
        ::close(fd);
        return 0;
    };
    // Exclusive twice over: the lock taken at opening keeps out every program that locks the
    // device too, root included; the terminal's exclusive mode keeps other openers out (except a
    // privileged one).
    if (::ioctl(fd, TIOCEXCL) != 0)
        return fail(false);
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0)
        return fail(true);
    ::cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    tio.c_cflag |= kSizes[dcb.ByteSize - 5];
    if (dcb.Parity != NOPARITY)
        tio.c_cflag |= PARENB | (dcb.Parity == ODDPARITY ? PARODD : 0);
    if (dcb.StopBits == TWOSTOPBITS)
        tio.c_cflag |= CSTOPB;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (::tcsetattr(fd, TCSANOW, &tio) != 0)
        return fail(true);
    if (!SetSerialSpeed(fd, dcb.BaudRate))
        return fail(true);
    // Bytes that arrived before the port was ours are not replies to anything we send.
    ::tcflush(fd, TCIFLUSH);
    m_fd = fd;
    m_signalFd.store(fd);
    m_dcb.BaudRate = dcb.BaudRate;
    m_dcb.ByteSize = dcb.ByteSize;
    m_dcb.Parity = dcb.Parity;
    m_dcb.StopBits = dcb.StopBits;
    m_open.store(1);
    return 1;
}

int CSerialPort::Close() {
    std::lock_guard lock(m_ioMutex);
    if (!m_open.load())
        return 0;
    m_open.store(0);
    m_signalFd.store(-1);
    // Exclusive mode stays on the terminal as long as anyone holds it open (a pseudo-terminal's
    // other side, for instance), so it is lifted before closing to let the next Open in.
    ::ioctl(m_fd, TIOCNXCL);
    const int result = ::close(m_fd);
    m_fd = -1;
    return result == 0 ? 1 : 0;
}

bool CSerialPort::WriteFromSignalHandler(const char* data, int length) const {
    static_assert(std::atomic<int>::is_always_lock_free);
    const int fd = m_signalFd.load();
    return fd >= 0 && length > 0 && ::write(fd, data, size_t(length)) == length;
}

int CSerialPort::Read(char* buffer, int maxBytes, int* bytesRead) {
    if (bytesRead)
        *bytesRead = 0;
    if (!buffer || maxBytes < 0)
        return 0;
    std::lock_guard lock(m_ioMutex);
    if (!m_open.load())
        return 0;
    if (maxBytes == 0)
        return 1;
    const auto deadline =
        Clock::now() + std::chrono::milliseconds(kReadPerByteMs * maxBytes + kReadConstantMs);
    int count = 0;
    bool failed = false;
    while (count < maxBytes) {
        const int left = RemainingMs(deadline);
        if (left == 0 && count > 0)
            break;
        pollfd p{m_fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, count > 0 ? std::min(kReadIntervalMs, left) : left);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            failed = true;
            break;
        }
        if (ready == 0) {
            if (count > 0 || left == 0)
                break; // silent for the interval after data, or the total time is up
            continue;
        }
        if (p.revents & POLLIN) {
            const ssize_t got = ::read(m_fd, buffer + count, static_cast<size_t>(maxBytes - count));
            if (got > 0) {
                count += static_cast<int>(got);
                continue;
            }
            if (got < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
            failed = true; // end of file or error: the other side hung up
            break;
        }
        failed = true; // POLLHUP / POLLERR / POLLNVAL without data
        break;
    }
    if (count > 0)
        buffer[count] = '\0';
    if (bytesRead)
        *bytesRead = count;
    return failed && count == 0 ? 0 : 1;
}

int CSerialPort::Write(const char* data, int length, int* bytesWritten) {
    if (bytesWritten)
        *bytesWritten = 0;
    if (!data || length <= 0)
        return 0;
    std::lock_guard lock(m_ioMutex);
    if (!m_open.load())
        return 0;
    const auto deadline =
        Clock::now() + std::chrono::milliseconds(kWritePerByteMs * length + kWriteConstantMs);
    int count = 0;
    while (count < length) {
        const ssize_t put = ::write(m_fd, data + count, static_cast<size_t>(length - count));
        if (put > 0) {
            count += static_cast<int>(put);
            continue;
        }
        if (put < 0 && errno == EINTR)
            continue;
        if (put < 0 && errno != EAGAIN)
            break;
        const int left = RemainingMs(deadline);
        if (left == 0)
            break;
        pollfd p{m_fd, POLLOUT, 0};
        const int ready = ::poll(&p, 1, left);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0 || !(p.revents & POLLOUT))
            break;
    }
    if (bytesWritten)
        *bytesWritten = count;
    return count == length ? 1 : 0;
}

int CSerialPort::PurgeInput() {
    std::lock_guard lock(m_ioMutex);
    if (!m_open.load())
        return 0;
    return ::tcflush(m_fd, TCIFLUSH) == 0 ? 1 : 0;
}

DCB CSerialPort::CommState() const {
    std::lock_guard lock(m_ioMutex);
    return m_dcb;
}
