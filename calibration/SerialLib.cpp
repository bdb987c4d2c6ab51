#include "calibration/SerialLib.h"

#include "core/Sleep.h"
#include "serial/SerialPort.h"
#include "serial/SerialSpeed.h"

#include <array>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr uint32_t kBaudCodes[] = {300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
constexpr int kDefaultBaudCode = 5;
constexpr int kMinQueue = 2;
constexpr int kMaxQueue = 65536;
// Added to the line time of a put before it gives up waiting for room in the device's buffer.
constexpr int kPutMarginMs = 100;

struct PortState {
    std::mutex mutex;
    int fd = -1;
    int rxQueue = 0;
    int txQueue = 0;
    uint32_t baud = 0;
};

std::array<PortState, kSioMaxPorts>& Ports() {
    static auto* ports = new std::array<PortState, kSioMaxPorts>;
    return *ports;
}

bool ValidPort(int port) {
    return port >= 0 && port < kSioMaxPorts;
}

void CloseFd(PortState& p) {
    if (p.fd < 0)
        return;
    // Exclusive mode stays on a terminal while anyone holds it open: lift it for the next opener.
    ::ioctl(p.fd, TIOCNXCL);
    ::close(p.fd);
    p.fd = -1;
}

int ApplyFraming(int fd, int parity, int stopBits, int dataBits) {
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0)
        return kSioIoError;
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB);
    tio.c_cflag |= kSizes[dataBits - 5];
    if (parity != kSioNoParity)
        tio.c_cflag |= PARENB | (parity == kSioOddParity ? PARODD : 0);
    if (stopBits == kSioTwoStopBits)
        tio.c_cflag |= CSTOPB;
    return ::tcsetattr(fd, TCSANOW, &tio) == 0 ? kSioOk : kSioIoError;
}

} // namespace

uint32_t SioBaudOfCode(int code) {
    if (code < 0 || code >= int(std::size(kBaudCodes)))
        return 0;
    return kBaudCodes[code];
}

int SioReset(int port, int rxQueue, int txQueue) {
    if (!ValidPort(port))
        return kSioBadPort;
    if (rxQueue < kMinQueue || rxQueue > kMaxQueue || txQueue < kMinQueue || txQueue > kMaxQueue)
        return kSioRange;
    PortState& p = Ports()[size_t(port)];
    std::lock_guard lock(p.mutex);
    CloseFd(p);
    const std::string device = CSerialPort::DevicePath("COM" + std::to_string(port + 1));
    if (device.empty())
        return kSioBadPort;
    // Locked as the controller's port is: another instance (even as root) is refused.
    const int fd = OpenLockedDevice(device);
    if (fd < 0)
        return kSioOpenFailed;
    termios tio{};
    if (::ioctl(fd, TIOCEXCL) != 0 || ::tcgetattr(fd, &tio) != 0) {
        ::close(fd);
        return kSioOpenFailed;
    }
    ::cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    const uint32_t baud = SioBaudOfCode(kDefaultBaudCode);
    if (::tcsetattr(fd, TCSANOW, &tio) != 0 || !SetSerialSpeed(fd, baud)) {
        ::ioctl(fd, TIOCNXCL);
        ::close(fd);
        return kSioIoError;
    }
    // What arrived before the port was ours answers nothing we send.
    ::tcflush(fd, TCIOFLUSH);
    p.fd = fd;
    p.rxQueue = rxQueue;
    p.txQueue = txQueue;
    p.baud = baud;
    return kSioOk;
}

int SioParms(int port, int parity, int stopBits, int dataBits) {
    if (!ValidPort(port))
        return kSioBadPort;
    if (parity < kSioNoParity || parity > kSioEvenParity ||
        (stopBits != kSioOneStopBit && stopBits != kSioTwoStopBits) || dataBits < 5 || dataBits > 8)
        return kSioRange;
    PortState& p = Ports()[size_t(port)];
    std::lock_guard lock(p.mutex);
    if (p.fd < 0)
        return kSioNotOpen;
    return ApplyFraming(p.fd, parity, stopBits, dataBits);
}

int SioBaud(int port, int code) {
    if (!ValidPort(port))
        return kSioBadPort;
    const uint32_t baud = SioBaudOfCode(code);
    if (baud == 0)
        return kSioRange;
    PortState& p = Ports()[size_t(port)];
    std::lock_guard lock(p.mutex);
    if (p.fd < 0)
        return kSioNotOpen;
    if (!SetSerialSpeed(p.fd, baud))
        return kSioIoError;
    p.baud = baud;
    return kSioOk;
}

int SioCtrl(int port, char command) {
    if (!ValidPort(port))
        return kSioBadPort;
    if (command != 'H' && command != 'S')
        return kSioRange;
    PortState& p = Ports()[size_t(port)];
    std::lock_guard lock(p.mutex);
    if (p.fd < 0)
        return kSioNotOpen;
    int lines = TIOCM_DTR | TIOCM_RTS;
    if (command == 'H')
        ::tcflush(p.fd, TCIOFLUSH);
    if (::ioctl(p.fd, command == 'H' ? TIOCMBIC : TIOCMBIS, &lines) != 0 && errno != ENOTTY &&
        errno != EINVAL)
        return kSioIoError;
    return kSioOk;
}

int SioPuts(int port, const char* bytes, int len) {
    if (!ValidPort(port))
        return kSioBadPort;
    if (!bytes || len < 0)
        return kSioRange;
    PortState& p = Ports()[size_t(port)];
    std::lock_guard lock(p.mutex);
    if (p.fd < 0)
        return kSioNotOpen;
    const int total = len < p.txQueue ? len : p.txQueue;
    // Ten bit times per byte (start, 8 data, stop) at the line rate, plus a margin.
    const double lineMs = p.baud ? 10000.0 * total / double(p.baud) : 0.0;
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(static_cast<int64_t>(lineMs) + kPutMarginMs);
    int done = 0;
    while (done < total) {
        const ssize_t put = ::write(p.fd, bytes + done, size_t(total - done));
        if (put > 0) {
            done += int(put);
            continue;
        }
        if (put < 0 && errno == EINTR)
            continue;
        if (put < 0 && errno != EAGAIN)
            return done > 0 ? done : kSioIoError;
        if (std::chrono::steady_clock::now() >= deadline)
            break;
        ArvSleepMs(1);
    }
    return done;
}

int SioGets(int port, char* buffer, int len) {
    if (!ValidPort(port))
        return kSioBadPort;
    if (!buffer || len < 0)
        return kSioRange;
    PortState& p = Ports()[size_t(port)];
    std::lock_guard lock(p.mutex);
    if (p.fd < 0)
        return kSioNotOpen;
    const int wanted = len < p.rxQueue ? len : p.rxQueue;
    int count = 0;
    while (count < wanted) {
        const ssize_t got = ::read(p.fd, buffer + count, size_t(wanted - count));
        if (got > 0) {
            count += int(got);
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && errno != EAGAIN)
            return count > 0 ? count : kSioIoError;
        break; // nothing more there now (or the other side hung up)
    }
    return count;
}

int SioDone(int port) {
    if (!ValidPort(port))
        return kSioBadPort;
    PortState& p = Ports()[size_t(port)];
    std::lock_guard lock(p.mutex);
    if (p.fd < 0)
        return kSioNotOpen;
    CloseFd(p);
    return kSioOk;
}

bool SioIsOpen(int port) {
    if (!ValidPort(port))
        return false;
    PortState& p = Ports()[size_t(port)];
    std::lock_guard lock(p.mutex);
    return p.fd >= 0;
}
