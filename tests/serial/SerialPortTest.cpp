#include "serial/SerialPort.h"
#include "scanner/PtyPeer.h"
#include "scanner/SpeedProbe.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class SerialPortTest : public ::testing::Test {
protected:
    void TearDown() override {
        GetSerialPort().Close();
        CSerialPort::SetPortsFile({});
    }
    static DCB Params(uint32_t baud = 115200) {
        DCB dcb;
        dcb.BaudRate = baud;
        return dcb;
    }
};

fs::path TempFile(const std::string& name, const std::string& text) {
    const fs::path dir = fs::temp_directory_path() / ("arv_serial_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const fs::path file = dir / name;
    std::ofstream(file, std::ios::binary) << text;
    return file;
}

} // namespace

TEST_F(SerialPortTest, PortNamesResolveThroughOverrideThenFileThenDefault) {
    const fs::path ports = TempFile("ports.txt", "COM3 /dev/ttyUSB7\n"
                                                 "%%%% garbage line\n"
                                                 "COM4\n"
                                                 "# COM5 /dev/ttyACM0\n"
                                                 "\n"
                                                 "com6   /dev/ttyACM1   extra words\n");
    CSerialPort::SetPortsFile(ports.string());
    EXPECT_EQ(CSerialPort::DevicePath("COM3"), "/dev/ttyUSB7");
    EXPECT_EQ(CSerialPort::DevicePath("COM6"), "/dev/ttyACM1");
    EXPECT_EQ(CSerialPort::DevicePath("COM4"), ""); // named without a device: real, but nothing to open
    EXPECT_EQ(CSerialPort::DevicePath("COM5"), "/dev/ttyS4"); // commented out
    EXPECT_EQ(CSerialPort::DevicePath("COM1"), "/dev/ttyS0");
    EXPECT_EQ(CSerialPort::DevicePath("COM10"), "/dev/ttyS9");
    EXPECT_EQ(CSerialPort::DevicePath("COM0"), "");
    EXPECT_EQ(CSerialPort::DevicePath("LPT1"), "");
    EXPECT_EQ(CSerialPort::DevicePath(""), "");

    CSerialPort::SetPortOverride("COM3", "/dev/pts/77");
    EXPECT_EQ(CSerialPort::DevicePath("COM3"), "/dev/pts/77");
    CSerialPort::ClearPortOverride("COM3", "/dev/pts/other"); // not ours: stays
    EXPECT_EQ(CSerialPort::DevicePath("COM3"), "/dev/pts/77");
    CSerialPort::ClearPortOverride("COM3");
    EXPECT_EQ(CSerialPort::DevicePath("COM3"), "/dev/ttyUSB7");

    CSerialPort::SetPortsFile((ports.parent_path() / "missing.txt").string());
    EXPECT_EQ(CSerialPort::DevicePath("COM3"), "/dev/ttyS2");
    const fs::path binary = TempFile("binary.txt", std::string("\0\xff\x01"
                                                               "COM2\xfe",
                                                               9));
    CSerialPort::SetPortsFile(binary.string());
    EXPECT_EQ(CSerialPort::DevicePath("COM2"), "/dev/ttyS1");
}

TEST_F(SerialPortTest, BaudTextSelectsOnlyListedRates) {
    const uint32_t listed[] = {110,   300,   600,   1200,  2400,   4800,   9600,  14400,
                               19200, 38400, 56000, 57600, 115200, 128000, 256000};
    for (uint32_t baud : listed) {
        DCB dcb;
        dcb.ByteSize = 7;
        dcb.Parity = EVENPARITY;
        dcb.StopBits = TWOSTOPBITS;
        EXPECT_TRUE(FillCommState(dcb, std::to_string(baud))) << baud;
        EXPECT_EQ(dcb.BaudRate, baud);
        EXPECT_EQ(dcb.ByteSize, 8);
        EXPECT_EQ(dcb.Parity, NOPARITY);
        EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    }
    DCB dcb;
    EXPECT_TRUE(FillCommState(dcb, "19200  ")); // the diagnostic dialog's texts carry blanks
    EXPECT_EQ(dcb.BaudRate, 19200u);
    for (const char* bad : {"18200", "", "abc", "230400", "-9600", "9600x", "4294967296110"}) {
        DCB rejected;
        EXPECT_FALSE(FillCommState(rejected, bad)) << bad;
        EXPECT_EQ(rejected.BaudRate, 0u) << bad;
    }
}

TEST_F(SerialPortTest, SecondOpenIsRefusedAndLeavesTheFirstIntact) {
    PtyPeer peer("COM7");
    CSerialPort& port = GetSerialPort();
    ASSERT_EQ(port.Open(Params(), "COM7"), 1);
    EXPECT_EQ(port.IsOpen(), 1);
    EXPECT_EQ(port.Open(Params(9600), "COM7"), 0);
    EXPECT_EQ(port.Open(Params(), "COM2"), 0);
    EXPECT_EQ(port.IsOpen(), 1);
    uint32_t out = 0, in = 0;
    ASSERT_TRUE(ProbeSpeed(peer.SlaveFd(), out, in));
    EXPECT_EQ(out, 115200u); // the refused opening did not change the line
    int written = 0;
    EXPECT_EQ(port.Write("abc\n", 4, &written), 1);
    EXPECT_EQ(written, 4);
    ASSERT_TRUE(peer.WaitForBytes(4, 2000));
    EXPECT_EQ(peer.Bytes(), "abc\n");
    EXPECT_EQ(port.Close(), 1);
    EXPECT_EQ(port.IsOpen(), 0);
    EXPECT_EQ(port.Close(), 0);
    EXPECT_EQ(port.Open(Params(), "COM7"), 1); // reopening after a close works
}

namespace {
// Whether an open file of the device other than the holder's could take its lock now.
bool LockIsFree(const std::string& device) {
    const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return false;
    const bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    ::close(fd);
    return free;
}
int Exclusive(int fd) {
    int exclusive = -1;
    ::ioctl(fd, TIOCGEXCL, &exclusive);
    return exclusive;
}
} // namespace

TEST_F(SerialPortTest, APortLockedByAnotherProgramIsRefusedAndItsLockKept) {
    PtyPeer peer("COM7");
    // Another program holds the device locked and in exclusive mode (as this program does).
    const int holder = ::open(peer.Path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
    ASSERT_EQ(::ioctl(holder, TIOCEXCL), 0);
    CSerialPort& port = GetSerialPort();
    EXPECT_EQ(port.Open(Params(), "COM7"), 0);
    EXPECT_EQ(port.IsOpen(), 0);
    EXPECT_EQ(port.Close(), 0);
    // The failed opening and the close left the holder's lock and exclusive mode as they were.
    EXPECT_EQ(Exclusive(holder), 1);
    EXPECT_FALSE(LockIsFree(peer.Path()));
    // A lock alone (a program that does not use exclusive mode) is enough to refuse.
    ASSERT_EQ(::ioctl(holder, TIOCNXCL), 0);
    EXPECT_EQ(port.Open(Params(), "COM7"), 0);
    ::close(holder);
    ASSERT_EQ(port.Open(Params(), "COM7"), 1);
    EXPECT_FALSE(LockIsFree(peer.Path())) << "the port holds the lock while open";
    ASSERT_EQ(port.Close(), 1);
    EXPECT_TRUE(LockIsFree(peer.Path()));
}

TEST_F(SerialPortTest, ASecondInstanceIsRefusedAndLeavesTheFirstIntact) {
    PtyPeer peer("COM7");
    // The second instance is a forked process with a port object of its own that has not opened
    // anything; it tries when the first instance holds the port. Run as root, exclusive mode alone
    // would let it in.
    int go[2];
    ASSERT_EQ(::pipe(go), 0);
    const pid_t second = ::fork();
    ASSERT_GE(second, 0);
    if (second == 0) {
        char c;
        if (::read(go[0], &c, 1) != 1)
            ::_exit(3);
        const int opened = GetSerialPort().Open(Params(9600), "COM7");
        const int closed = GetSerialPort().Close();
        ::_exit(opened == 0 && closed == 0 ? 0 : 1);
    }
    CSerialPort& port = GetSerialPort();
    const int first = port.Open(Params(), "COM7");
    ASSERT_EQ(::write(go[1], "g", 1), 1);
    int status = 0;
    ASSERT_EQ(::waitpid(second, &status, 0), second);
    ::close(go[0]);
    ::close(go[1]);
    ASSERT_EQ(first, 1);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the second instance opened the port";
    // The first instance still owns the line as it set it up.
    EXPECT_EQ(Exclusive(peer.SlaveFd()), 1);
    EXPECT_FALSE(LockIsFree(peer.Path()));
    uint32_t out = 0, in = 0;
    ASSERT_TRUE(ProbeSpeed(peer.SlaveFd(), out, in));
    EXPECT_EQ(out, 115200u);
    int written = 0;
    EXPECT_EQ(port.Write("POS\n", 4, &written), 1);
    ASSERT_TRUE(peer.WaitForBytes(4, 2000));
    EXPECT_EQ(peer.Bytes(), "POS\n");
}

TEST_F(SerialPortTest, OpenFailsForMissingDevicesAndBadParameters) {
    CSerialPort& port = GetSerialPort();
    CSerialPort::SetPortOverride("COM8", "/nonexistent/tty0");
    EXPECT_EQ(port.Open(Params(), "COM8"), 0);
    EXPECT_EQ(port.IsOpen(), 0);
    EXPECT_EQ(port.Open(Params(), "NOTAPORT"), 0);
    const fs::path plain = TempFile("not_a_terminal", "x");
    CSerialPort::SetPortOverride("COM8", plain.string());
    EXPECT_EQ(port.Open(Params(), "COM8"), 0);
    EXPECT_EQ(port.IsOpen(), 0);
    CSerialPort::ClearPortOverride("COM8");

    PtyPeer peer("COM7");
    EXPECT_EQ(port.Open(Params(0), "COM7"), 0); // a rejected baud rate
    DCB nine = Params();
    nine.ByteSize = 9;
    EXPECT_EQ(port.Open(nine, "COM7"), 0);
    EXPECT_EQ(port.IsOpen(), 0);
}

TEST_F(SerialPortTest, EveryListedBaudRateIsSetOnTheLine) {
    PtyPeer peer("COM7");
    CSerialPort& port = GetSerialPort();
    for (uint32_t baud : {110u, 300u, 600u, 1200u, 2400u, 4800u, 9600u, 14400u, 19200u, 38400u, 56000u,
                          57600u, 115200u, 128000u, 256000u}) {
        ASSERT_EQ(port.Open(Params(baud), "COM7"), 1) << baud;
        uint32_t out = 0, in = 0;
        ASSERT_TRUE(ProbeSpeed(peer.SlaveFd(), out, in));
        EXPECT_EQ(out, baud);
        EXPECT_EQ(in, baud);
        EXPECT_EQ(port.CommState().BaudRate, baud);
        ASSERT_EQ(port.Close(), 1);
    }
}

TEST_F(SerialPortTest, LineIsRawEightNoneOneAndExclusiveWhileOpen) {
    PtyPeer peer("COM7");
    termios cooked{};
    ASSERT_EQ(::tcgetattr(peer.SlaveFd(), &cooked), 0);
    cooked.c_lflag |= ECHO | ICANON;
    cooked.c_oflag |= OPOST | ONLCR;
    cooked.c_iflag |= ICRNL;
    cooked.c_cflag |= PARENB | CSTOPB;
    ASSERT_EQ(::tcsetattr(peer.SlaveFd(), TCSANOW, &cooked), 0);

    CSerialPort& port = GetSerialPort();
    ASSERT_EQ(port.Open(Params(), "COM7"), 1);
    termios tio{};
    ASSERT_EQ(::tcgetattr(peer.SlaveFd(), &tio), 0);
    EXPECT_EQ(tio.c_cflag & CSIZE, tcflag_t(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB), tcflag_t(0));
    EXPECT_EQ(tio.c_lflag & (ECHO | ICANON | ISIG), tcflag_t(0));
    EXPECT_EQ(tio.c_oflag & OPOST, tcflag_t(0));
    EXPECT_EQ(tio.c_iflag & (ICRNL | IXON), tcflag_t(0));
    int exclusive = 0;
    ASSERT_EQ(::ioctl(peer.SlaveFd(), TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1);
    ASSERT_EQ(port.Close(), 1);
    ASSERT_EQ(::ioctl(peer.SlaveFd(), TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0); // lifted again, or the next opening would be refused
}

TEST_F(SerialPortTest, ReadStopsAtTheLimitAndTerminatesWhatCame) {
    PtyPeer peer("COM7");
    CSerialPort& port = GetSerialPort();
    ASSERT_EQ(port.Open(Params(), "COM7"), 1);
    char buffer[51];
    int count = -1;

    std::memset(buffer, 'X', sizeof(buffer));
    EXPECT_EQ(port.Read(buffer, 50, &count), 1); // nothing comes: not a failure
    EXPECT_EQ(count, 0);
    EXPECT_EQ(buffer[0], 'X'); // and nothing written

    peer.Send("OK\r\n");
    std::memset(buffer, 'X', sizeof(buffer));
    EXPECT_EQ(port.Read(buffer, 50, &count), 1);
    EXPECT_EQ(count, 4);
    EXPECT_EQ(std::string(buffer, 5), std::string("OK\r\n\0", 5));
    EXPECT_EQ(buffer[5], 'X');

    std::string sixty;
    for (int i = 0; i < 60; ++i)
        sixty += char('A' + i % 26);
    peer.Send(sixty);
    std::memset(buffer, 'X', sizeof(buffer));
    EXPECT_EQ(port.Read(buffer, 50, &count), 1);
    EXPECT_EQ(count, 50);
    EXPECT_EQ(std::string(buffer, 50), sixty.substr(0, 50));
    EXPECT_EQ(buffer[50], '\0');
    EXPECT_EQ(port.Read(buffer, 50, &count), 1);
    EXPECT_EQ(std::string(buffer, static_cast<size_t>(count)), sixty.substr(50));

    peer.Send("stale");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(port.PurgeInput(), 1);
    EXPECT_EQ(port.Read(buffer, 50, &count), 1);
    EXPECT_EQ(count, 0);
}

TEST_F(SerialPortTest, ClosedOrEmptyOperationsFail) {
    CSerialPort& port = GetSerialPort();
    char buffer[11] = {};
    int count = -1;
    EXPECT_EQ(port.Read(buffer, 10, &count), 0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(port.Write("EN\n", 3, &count), 0);
    EXPECT_EQ(port.PurgeInput(), 0);

    PtyPeer peer("COM7");
    ASSERT_EQ(port.Open(Params(), "COM7"), 1);
    EXPECT_EQ(port.Write("", 0, &count), 0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(port.Write("EN\n", 3, &count), 1);
    ASSERT_TRUE(peer.WaitForBytes(3, 2000));
    EXPECT_EQ(peer.Bytes(), "EN\n");
}

TEST_F(SerialPortTest, ReadsAndWritesFailOnceTheDeviceHangsUp) {
    PtyPeer peer("COM7");
    CSerialPort& port = GetSerialPort();
    ASSERT_EQ(port.Open(Params(), "COM7"), 1);
    peer.Hangup();
    char buffer[51];
    int count = -1;
    EXPECT_EQ(port.Read(buffer, 50, &count), 0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(port.Write("POS\n", 4, &count), 0);
    EXPECT_EQ(port.Close(), 1);
    EXPECT_EQ(port.Open(Params(), "COM7"), 0); // the device is gone
}

// Two threads exchanging commands and replies on the one port: with the exchange lock each thread
// reads exactly the reply to its own command, and every command reaches the device whole.
TEST_F(SerialPortTest, ConcurrentExchangesNeverInterleave) {
    PtyPeer peer("COM7", [](const std::string& command) {
        return "R" + command.substr(0, command.size() - 1) + "\r\n";
    });
    CSerialPort& port = GetSerialPort();
    ASSERT_EQ(port.Open(Params(), "COM7"), 1);
    constexpr int kTurns = 60;
    std::atomic<int> wrong{0};
    auto worker = [&](char tag) {
        for (int i = 0; i < kTurns; ++i) {
            const std::string command = tag + std::to_string(i) + "\n";
            const std::string expected = "R" + command.substr(0, command.size() - 1) + "\r\n";
            auto exchange = port.LockExchange();
            int n = 0;
            port.Write(command.data(), static_cast<int>(command.size()), &n);
            std::this_thread::sleep_for(std::chrono::milliseconds(1)); // as the link waits for replies
            std::string reply;
            char buffer[51];
            for (int reads = 0; reads < 20 && reply.size() < expected.size(); ++reads) {
                std::memset(buffer, 0, sizeof(buffer));
                port.Read(buffer, 50, &n);
                reply.append(buffer, static_cast<size_t>(n));
            }
            if (reply != expected)
                ++wrong;
        }
    };
    std::thread a(worker, 'A');
    std::thread b(worker, 'B');
    a.join();
    b.join();
    EXPECT_EQ(wrong.load(), 0);
    const auto commands = peer.Commands();
    ASSERT_EQ(commands.size(), size_t(2 * kTurns));
    for (const auto& c : commands)
        EXPECT_TRUE(c.size() >= 3 && (c[0] == 'A' || c[0] == 'B') && c.back() == '\n' &&
                    c.find_first_not_of("0123456789", 1) == c.size() - 1)
            << c;
}
