// The monochromator link against a scripted device on a pseudo-terminal: the exact bytes, the line
// settings, the port numbering and what happens when there is no instrument.
#include "calibration/Monochromator.h"
#include "calibration/SerialLib.h"
#include "core/Sleep.h"
#include "scanner/SpeedProbe.h"
#include "serial/SerialPort.h"
#include "sim/SimPty.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <poll.h>
#include <pty.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

using Bytes = std::string;
using Clock = std::chrono::steady_clock;

Bytes B(std::initializer_list<int> values) {
    Bytes b;
    for (int v : values)
        b.push_back(static_cast<char>(v));
    return b;
}

// A byte-oriented device on a pseudo-terminal: records every byte and answers
// each echo byte (27) with a scripted reply.
class BytePeer {
public:
    BytePeer(std::string portName, Bytes echoReply)
        : m_echoReply(std::move(echoReply)), m_device(std::move(portName)) {
        if (!m_device.Start([this](int master, int wake) { Run(master, wake); }))
            throw std::runtime_error("no pseudo-terminal for the test's peer");
        termios tio{};
        ::tcgetattr(m_device.SlaveFd(), &tio);
        // Deliberately two stop bits (a pseudo-terminal keeps 8 data bits and no parity whatever
        // it is told, so stop bits and speed are what shows the program's settings).
        tio.c_cflag |= CSTOPB;
        ::cfsetspeed(&tio, B1200);
        ::tcsetattr(m_device.SlaveFd(), TCSANOW, &tio);
    }
    ~BytePeer() { m_device.Stop(); }
    int SlaveFd() const { return m_device.SlaveFd(); }
    Bytes Received() const {
        std::lock_guard lock(m_mutex);
        return m_bytes;
    }
    bool WaitForBytes(size_t count, int timeoutMs) const {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                  [&] { return m_bytes.size() >= count; });
    }

private:
    void Run(int master, int wake) {
        char chunk[64];
        for (;;) {
            pollfd p[2] = {{wake, POLLIN, 0}, {master, POLLIN, 0}};
            if (::poll(p, 2, 20) < 0 && errno != EINTR)
                return;
            if (p[0].revents & POLLIN)
                return;
            if (!(p[1].revents & POLLIN))
                continue;
            const size_t got = m_device.Read(chunk, sizeof(chunk));
            std::lock_guard lock(m_mutex);
            for (size_t i = 0; i < got; ++i) {
                m_bytes.push_back(chunk[i]);
                if (static_cast<unsigned char>(chunk[i]) == 27 && !m_echoReply.empty())
                    m_device.Write(m_echoReply);
            }
            m_changed.notify_all();
        }
    }

    Bytes m_echoReply;
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    Bytes m_bytes;
    SimPtyDevice m_device; // last: its thread stops before the members above go
};

class MonochromatorTest : public ::testing::Test {
protected:
    void SetUp() override { SetSleepScale(0.1); }
    void TearDown() override {
        SetSleepScale(1.0);
        CSerialPort::SetPortsFile({});
    }
};

} // namespace

TEST(MonochromatorBytes, WavelengthIsSentHighByteFirst) {
    EXPECT_EQ(MonochromatorGotoBytes(450), (std::array<uint8_t, 3>{16, 1, 194}));
    EXPECT_EQ(MonochromatorGotoBytes(950), (std::array<uint8_t, 3>{16, 3, 182}));
    EXPECT_EQ(MonochromatorGotoBytes(255), (std::array<uint8_t, 3>{16, 0, 255}));
    EXPECT_EQ(MonochromatorGotoBytes(256), (std::array<uint8_t, 3>{16, 1, 0}));
    // Above 65535 the upper bits are lost: 70000 = 65536 + 17 * 256 + 112.
    EXPECT_EQ(MonochromatorGotoBytes(70000), (std::array<uint8_t, 3>{16, 17, 112}));
}

TEST_F(MonochromatorTest, SendsEchoThenGotoAt9600Baud8N1) {
    // The reply to the echo is longer than the 20 bytes read back; none of it may disturb the call.
    BytePeer peer("COM5", Bytes(30, '\x1b'));
    const auto start = Clock::now();
    MoveMonochromator(5, 450);
    const double elapsedMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    ASSERT_TRUE(peer.WaitForBytes(4, 2000));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(peer.Received(), B({27, 16, 1, 194}));
    // The call waits 100 ms after the echo and 500 ms after the goto (scaled to 10 and 50 ms).
    EXPECT_GE(elapsedMs, 59.0);
    EXPECT_FALSE(SioIsOpen(4));

    termios tio{};
    ASSERT_EQ(::tcgetattr(peer.SlaveFd(), &tio), 0);
    EXPECT_EQ(tio.c_cflag & CSIZE, tcflag_t(CS8));
    EXPECT_EQ(tio.c_cflag & PARENB, 0u);
    EXPECT_EQ(tio.c_cflag & CSTOPB, 0u);
    uint32_t out = 0, in = 0;
    ASSERT_TRUE(ProbeSpeed(peer.SlaveFd(), out, in));
    EXPECT_EQ(out, 9600u);
    EXPECT_EQ(in, 9600u);
}

TEST_F(MonochromatorTest, PortNumberOneIsLibraryPortZero) {
    BytePeer peer("COM1", B({27}));
    MoveMonochromator(1, 950);
    ASSERT_TRUE(peer.WaitForBytes(4, 2000));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(peer.Received(), B({27, 16, 3, 182}));
    EXPECT_FALSE(SioIsOpen(0));
}

TEST_F(MonochromatorTest, ConsecutiveCallsEachOpenAndReleaseThePort) {
    BytePeer peer("COM6", {});
    MoveMonochromator(6, 480);
    MoveMonochromator(6, 510);
    ASSERT_TRUE(peer.WaitForBytes(8, 2000));
    // 480 = 1 * 256 + 224, 510 = 1 * 256 + 254.
    EXPECT_EQ(peer.Received(), B({27, 16, 1, 224, 27, 16, 1, 254}));
    // Released: the scanner's port object can take the same device now.
    DCB dcb;
    CSerialPort& port = GetSerialPort();
    ASSERT_EQ(port.Open(dcb, "COM6"), 1);
    port.Close();
}

TEST_F(MonochromatorTest, AbsentMonochromatorNeitherHangsNorCrashes) {
    const auto dir = std::filesystem::temp_directory_path() / ("arv_mono_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "ports.txt") << "COM9 /nonexistent/ttyUSB9\n";
    CSerialPort::SetPortsFile((dir / "ports.txt").string());
    SetSleepScale(0.01);
    for (int comPort : {9, 0, -3, kSioMaxPorts + 1}) {
        SCOPED_TRACE(comPort);
        MoveMonochromator(comPort, 450); // returns: nothing waits on the missing device
        EXPECT_FALSE(SioIsOpen(comPort - 1));
    }
    std::filesystem::remove_all(dir);
}

TEST_F(MonochromatorTest, DeviceThatNeverReadsDoesNotHoldTheCall) {
    // A device whose side never reads: the puts give up after their time limit, the call returns.
    int master = -1, slave = -1;
    ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    char name[128] = {};
    ::ptsname_r(master, name, sizeof(name));
    CSerialPort::SetPortOverride("COM8", name);
    ASSERT_EQ(SioReset(7, 1024, 1024), kSioOk);
    // Fill the terminal's buffer until a put takes nothing more.
    const Bytes block(1024, 'x');
    int taken = 1;
    for (int i = 0; i < 1000 && taken > 0; ++i)
        taken = SioPuts(7, block.data(), int(block.size()));
    EXPECT_EQ(taken, 0);
    EXPECT_EQ(SioDone(7), kSioOk);
    MoveMonochromator(8, 450);
    EXPECT_FALSE(SioIsOpen(7));
    CSerialPort::ClearPortOverride("COM8", name);
    ::close(master);
    ::close(slave);
}

// --- The serial library ---------------------------------------------------------------------------

TEST_F(MonochromatorTest, BaudCodesSelectTheDocumentedRates) {
    const uint32_t expected[] = {300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
    for (int code = 0; code < 10; ++code)
        EXPECT_EQ(SioBaudOfCode(code), expected[code]) << code;
    EXPECT_EQ(SioBaudOfCode(-1), 0u);
    EXPECT_EQ(SioBaudOfCode(10), 0u);

    BytePeer peer("COM3", {});
    ASSERT_EQ(SioReset(2, 64, 64), kSioOk);
    EXPECT_EQ(SioBaud(2, 8), kSioOk);
    uint32_t out = 0, in = 0;
    ASSERT_TRUE(ProbeSpeed(peer.SlaveFd(), out, in));
    EXPECT_EQ(out, 57600u);
    EXPECT_EQ(SioBaud(2, 10), kSioRange);
    termios tio{};
    ASSERT_EQ(::tcgetattr(peer.SlaveFd(), &tio), 0);
    EXPECT_EQ(tio.c_cflag & CSTOPB, 0u);
    EXPECT_EQ(SioParms(2, kSioEvenParity, kSioTwoStopBits, 7), kSioOk);
    ASSERT_EQ(::tcgetattr(peer.SlaveFd(), &tio), 0);
    EXPECT_NE(tio.c_cflag & CSTOPB, 0u);
    EXPECT_EQ(SioParms(2, 3, 0, 8), kSioRange);
    EXPECT_EQ(SioParms(2, 0, 1, 8), kSioRange);
    EXPECT_EQ(SioParms(2, 0, 0, 9), kSioRange);
    EXPECT_EQ(SioCtrl(2, 'H'), kSioOk);
    EXPECT_EQ(SioCtrl(2, 'S'), kSioOk);
    EXPECT_EQ(SioCtrl(2, 'X'), kSioRange);
    EXPECT_EQ(SioDone(2), kSioOk);
    EXPECT_EQ(SioDone(2), kSioNotOpen);
}

TEST_F(MonochromatorTest, OperationsOnClosedOrInvalidPortsFail) {
    char buffer[4];
    EXPECT_EQ(SioParms(11, 0, 0, 8), kSioNotOpen);
    EXPECT_EQ(SioBaud(11, 5), kSioNotOpen);
    EXPECT_EQ(SioCtrl(11, 'S'), kSioNotOpen);
    EXPECT_EQ(SioPuts(11, "a", 1), kSioNotOpen);
    EXPECT_EQ(SioGets(11, buffer, 4), kSioNotOpen);
    EXPECT_EQ(SioReset(-1, 1024, 1024), kSioBadPort);
    EXPECT_EQ(SioReset(kSioMaxPorts, 1024, 1024), kSioBadPort);
    EXPECT_EQ(SioReset(11, 1, 1024), kSioRange);
    EXPECT_EQ(SioReset(11, 1024, 70000), kSioRange);
}

TEST_F(MonochromatorTest, GetsReturnsWhatIsThereWithinTheQueue) {
    BytePeer peer("COM3", Bytes("0123456789"));
    ASSERT_EQ(SioReset(2, 4, 1024), kSioOk);
    char buffer[32] = {};
    EXPECT_EQ(SioGets(2, buffer, 32), 0); // nothing there: returns at once
    const char echo = 27;
    ASSERT_EQ(SioPuts(2, &echo, 1), 1);
    ASSERT_TRUE(peer.WaitForBytes(1, 2000));
    int got = 0;
    for (int i = 0; i < 200 && got == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        got = SioGets(2, buffer, 32);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    // At most the receive queue per call; the rest stays for the next call.
    ASSERT_GT(got, 0);
    ASSERT_LE(got, 4);
    Bytes all(buffer, size_t(got));
    while ((got = SioGets(2, buffer, 32)) > 0) {
        EXPECT_LE(got, 4);
        all.append(buffer, size_t(got));
    }
    EXPECT_EQ(all, "0123456789");
    SioDone(2);
}

TEST_F(MonochromatorTest, PutsTakesAtMostTheTransmitQueue) {
    BytePeer peer("COM3", {});
    ASSERT_EQ(SioReset(2, 1024, 3), kSioOk);
    EXPECT_EQ(SioPuts(2, "abcdef", 6), 3);
    ASSERT_TRUE(peer.WaitForBytes(3, 2000));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(peer.Received(), "abc");
    SioDone(2);
}

TEST_F(MonochromatorTest, LibraryPortIsIndependentOfTheScannerPort) {
    BytePeer scanner("COM1", {});
    BytePeer mono("COM3", {});
    DCB dcb;
    CSerialPort& port = GetSerialPort();
    ASSERT_EQ(port.Open(dcb, "COM1"), 1);
    ASSERT_EQ(SioReset(2, 1024, 1024), kSioOk);
    int written = 0;
    EXPECT_EQ(port.Write("POS\n", 4, &written), 1);
    EXPECT_EQ(SioPuts(2, "\x1b", 1), 1);
    ASSERT_TRUE(scanner.WaitForBytes(4, 2000));
    ASSERT_TRUE(mono.WaitForBytes(1, 2000));
    EXPECT_EQ(scanner.Received(), "POS\n");
    EXPECT_EQ(mono.Received(), B({27}));
    // Resetting an open port reopens it rather than failing on its own hold.
    EXPECT_EQ(SioReset(2, 1024, 1024), kSioOk);
    EXPECT_EQ(SioDone(2), kSioOk);
    EXPECT_EQ(port.IsOpen(), 1);
    port.Close();
}

TEST_F(MonochromatorTest, LibraryPortIsExclusive) {
    // Exclusive even for a privileged process: the ports are locked as well.
    BytePeer peer("COM3", {});
    ASSERT_EQ(SioReset(2, 1024, 1024), kSioOk);
    DCB dcb;
    CSerialPort& port = GetSerialPort();
    EXPECT_EQ(port.Open(dcb, "COM3"), 0);
    EXPECT_EQ(SioDone(2), kSioOk);
    ASSERT_EQ(port.Open(dcb, "COM3"), 1);
    EXPECT_EQ(SioReset(2, 1024, 1024), kSioOpenFailed);
    port.Close();
}

TEST_F(MonochromatorTest, APortLockedByAnotherProgramIsRefusedAndItsLockKept) {
    BytePeer peer("COM3", {});
    const std::string device = CSerialPort::DevicePath("COM3");
    const int holder = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
    ASSERT_EQ(::ioctl(holder, TIOCEXCL), 0);
    EXPECT_EQ(SioReset(2, 1024, 1024), kSioOpenFailed);
    EXPECT_FALSE(SioIsOpen(2));
    EXPECT_EQ(SioDone(2), kSioNotOpen);
    int exclusive = 0;
    ASSERT_EQ(::ioctl(holder, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1);
    const int other = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(other, 0);
    EXPECT_NE(::flock(other, LOCK_EX | LOCK_NB), 0) << "the holder's lock was lost";
    ::close(other);
    ::ioctl(holder, TIOCNXCL);
    ::close(holder);
    EXPECT_EQ(SioReset(2, 1024, 1024), kSioOk);
    EXPECT_EQ(SioDone(2), kSioOk);
}
