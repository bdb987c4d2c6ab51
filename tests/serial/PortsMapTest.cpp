// The ports map: which COM ports are real devices, its bounded reading, the map every opening
// uses, and ports that cannot be had.
#include "serial/PortsMap.h"
#include "calibration/SerialLib.h"
#include "scanner/PtyPeer.h"
#include "serial/SerialPort.h"
#include "support/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

using ::testing::ElementsAre;

namespace {
class PortsMapTest : public ::testing::Test {
protected:
    void TearDown() override {
        GetSerialPort().Close();
        CSerialPort::InstallPortsMap(PortsMap{}, true);
    }
    TempDir dir;
};
} // namespace

TEST_F(PortsMapTest, LinesNameRealPortsAndTheirDevices) {
    const PortsMap map = ParsePortsMap("COM1 /dev/ttyUSB0\n"
                                       "# COM2 /dev/ttyUSB9\n"
                                       "\n"
                                       "  com4\t/dev/ttyACM1   monochromator\r\n"
                                       "COM10 /dev/serial/by-id/usb-FTDI_A50285BI-if00-port0\n"
                                       "COM256 /dev/ttyS3 # last port\n",
                                       "ports.txt");
    EXPECT_TRUE(map.present);
    EXPECT_TRUE(map.problems.empty()) << map.problems.front();
    EXPECT_EQ(map.DeviceOf("COM1"), "/dev/ttyUSB0");
    EXPECT_EQ(map.DeviceOf(" com4 "), "/dev/ttyACM1");
    EXPECT_EQ(map.DeviceOf("COM10"), "/dev/serial/by-id/usb-FTDI_A50285BI-if00-port0");
    EXPECT_EQ(map.DeviceOf("COM256"), "/dev/ttyS3");
    EXPECT_FALSE(map.Lists("COM2"));
    EXPECT_FALSE(map.Lists("COM3"));
    EXPECT_EQ(map.devices.size(), 4u);

    // A missing file is no map at all, and no complaint.
    const PortsMap none = ReadPortsMap(dir.File("ARV300_Ports.txt"));
    EXPECT_FALSE(none.present);
    EXPECT_TRUE(none.devices.empty());
    EXPECT_TRUE(none.problems.empty());
}

TEST_F(PortsMapTest, UnusableLinesKeepTheirPortRealWithoutADevice) {
    const PortsMap map = ParsePortsMap("COM1\n"
                                       "COM3 /dev/ttyUSB3\n"
                                       "COM3 /dev/ttyUSB4\n"
                                       "COM5 /dev/ttyUSB0\n"
                                       "COM6 /dev/ttyUSB0\n"
                                       "LPT1 /dev/lp0\n"
                                       "COM0 /dev/ttyS0\n"
                                       "COM257 /dev/ttyS1\n"
                                       "COM7 /dev/ttyUSB7\n",
                                       "ports.txt");
    // Named but unusable: real, with nothing to open, so the port is reported offline.
    for (const char* port : {"COM1", "COM3", "COM5", "COM6"}) {
        EXPECT_TRUE(map.Lists(port)) << port;
        EXPECT_EQ(map.DeviceOf(port), "") << port;
    }
    EXPECT_EQ(map.DeviceOf("COM7"), "/dev/ttyUSB7");
    EXPECT_FALSE(map.Lists("LPT1"));
    EXPECT_THAT(map.problems,
                ElementsAre("line 1 of ports.txt names COM1 without a device",
                            "line 6 of ports.txt: \"LPT1\" is not a port name (COM1 ... COM256)",
                            "line 7 of ports.txt: \"COM0\" is not a port name (COM1 ... COM256)",
                            "line 8 of ports.txt: \"COM257\" is not a port name (COM1 ... COM256)",
                            "ports.txt names COM3 2 times (lines 2 and 3); it is not used",
                            "ports.txt names /dev/ttyUSB0 for COM5 and COM6; none of them is used"));
}

TEST_F(PortsMapTest, OneDeviceUnderTwoNamesIsRecognised) {
    const std::string device = dir.File("ttyUSB0");
    dir.Write("ttyUSB0", "");
    std::filesystem::create_directories(dir.Path() / "by-id");
    std::filesystem::create_symlink(device, dir.Path() / "by-id" / "usb-FTDI-port0");
    const PortsMap map =
        ParsePortsMap("COM1 " + dir.File("by-id/usb-FTDI-port0") + "\nCOM4 " + device + "\n", "ports.txt");
    EXPECT_EQ(map.DeviceOf("COM1"), "");
    EXPECT_EQ(map.DeviceOf("COM4"), "");
    ASSERT_EQ(map.problems.size(), 1u);
    EXPECT_NE(map.problems[0].find("for COM1 and COM4; none of them is used"), std::string::npos)
        << map.problems[0];
}

TEST_F(PortsMapTest, LargeBinaryOrOverlongInputIsRefusedWithoutReadingIt) {
    // 100 MB (sparse, so the test is cheap): refused after reading one byte more than a map may hold.
    {
        std::ofstream(dir.File("big.txt")) << "COM1 /dev/ttyUSB0\n";
        ASSERT_EQ(::truncate(dir.File("big.txt").c_str(), 100L * 1024 * 1024), 0);
    }
    const PortsMap big = ReadPortsMap(dir.File("big.txt"));
    EXPECT_TRUE(big.devices.empty());
    EXPECT_THAT(big.problems, ElementsAre("big.txt is larger than 65536 bytes and is not used"));

    dir.Write("binary.txt", std::string("COM1 /dev/ttyUSB0\n\0\xff\x01", 21));
    EXPECT_THAT(ReadPortsMap(dir.File("binary.txt")).problems,
                ElementsAre("binary.txt is not a text file and is not used"));

    // An overlong line is refused alone; the others stand.
    dir.Write("long.txt", "COM1 /dev/" + std::string(600, 'a') + "\nCOM4 /dev/ttyUSB1\n");
    const PortsMap longLine = ReadPortsMap(dir.File("long.txt"));
    EXPECT_FALSE(longLine.Lists("COM1"));
    EXPECT_EQ(longLine.DeviceOf("COM4"), "/dev/ttyUSB1");
    EXPECT_THAT(longLine.problems,
                ElementsAre("line 1 of long.txt is longer than 512 characters and is not used"));

    // Exactly as large as a map may be: read whole, the last line included.
    std::string full(kMaxPortsFileBytes - 18, '#');
    full[full.size() - 1] = '\n';
    full += "COM2 /dev/ttyUSB2\n";
    ASSERT_EQ(full.size(), kMaxPortsFileBytes);
    // (a line of comment this long is refused, and said so; the device line is used)
    const PortsMap atLimit = ParsePortsMap(full, "full.txt");
    EXPECT_EQ(atLimit.DeviceOf("COM2"), "/dev/ttyUSB2");

    // A named pipe in place of the file does not hold the start-up.
    ASSERT_EQ(::mkfifo(dir.File("fifo.txt").c_str(), 0600), 0);
    EXPECT_THAT(ReadPortsMap(dir.File("fifo.txt")).problems,
                ElementsAre("fifo.txt is not a regular file and is not used"));

    // Many bad lines: the first ten are listed, the rest counted.
    std::string garbage;
    for (int i = 0; i < 25; ++i)
        garbage += "xx\n";
    const PortsMap many = ParsePortsMap(garbage, "g.txt");
    ASSERT_EQ(many.problems.size(), 11u);
    EXPECT_EQ(many.problems.back(), "... and 15 more lines of g.txt not used");
}

TEST_F(PortsMapTest, TheInstalledMapIsReadOnceAndDecidesEveryOpening) {
    dir.Write("ports.txt", "COM3 /dev/ttyUSB7\nCOM4\n");
    CSerialPort::SetPortsFile(dir.File("ports.txt"));
    // Changing the file afterwards changes nothing until the next start.
    dir.Write("ports.txt", "COM3 /dev/ttyUSB8\n");
    EXPECT_EQ(CSerialPort::DevicePath("COM3"), "/dev/ttyUSB7");
    EXPECT_EQ(CSerialPort::DevicePath("COM4"), "");
    EXPECT_EQ(CSerialPort::DevicePath("COM5"), "/dev/ttyS4");
    // The serial library of the monochromator resolves through the same map: COM4 (library port
    // 3) has no device.
    EXPECT_EQ(SioReset(3, 1024, 1024), kSioBadPort);

    // Everything simulated: only the simulated devices' terminals resolve.
    CSerialPort::InstallPortsMap(ReadPortsMap(dir.File("ports.txt")), false);
    EXPECT_EQ(CSerialPort::DevicePath("COM3"), "");
    EXPECT_EQ(CSerialPort::DevicePath("COM5"), "");
    CSerialPort::SetPortOverride("COM5", "/dev/pts/55");
    EXPECT_EQ(CSerialPort::DevicePath("COM5"), "/dev/pts/55");
    CSerialPort::ClearPortOverride("COM5");
}

TEST_F(PortsMapTest, PortsThatCannotBeHadAreRefusedQuickly) {
    CSerialPort& port = GetSerialPort();
    DCB dcb;
    // Not a terminal: a regular file, /dev/null.
    dir.Write("plain", "x");
    for (const std::string& device : {dir.File("plain"), std::string("/dev/null")}) {
        CSerialPort::InstallPortsMap(ParsePortsMap("COM1 " + device + "\n"), true);
        EXPECT_EQ(port.Open(dcb, "COM1"), 0) << device;
        EXPECT_EQ(port.IsOpen(), 0) << device;
    }
    // A terminal that another program holds (locked as this program locks its ports), even for a
    // privileged user, for the controller's port and for the monochromator's library alike.
    PtyPeer peer("");
    const int other = ::open(peer.Path().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
    CSerialPort::InstallPortsMap(ParsePortsMap("COM1 " + peer.Path() + "\n"), true);
    EXPECT_EQ(port.Open(dcb, "COM1"), 0);
    CSerialPort::InstallPortsMap(ParsePortsMap("COM4 " + peer.Path() + "\n"), true);
    EXPECT_EQ(SioReset(3, 1024, 1024), kSioOpenFailed);
    ::close(other);
    // Released: both open it, one after the other.
    EXPECT_EQ(SioReset(3, 1024, 1024), kSioOk);
    EXPECT_EQ(SioDone(3), kSioOk);
    CSerialPort::InstallPortsMap(ParsePortsMap("COM1 " + peer.Path() + "\n"), true);
    EXPECT_EQ(port.Open(dcb, "COM1"), 1);
    // While this program holds it, the monochromator's library cannot take the same device.
    CSerialPort::InstallPortsMap(ParsePortsMap("COM1 " + peer.Path() + "\nCOM4 /dev/null\n"), true);
    CSerialPort::SetPortOverride("COM4", peer.Path());
    EXPECT_EQ(SioReset(3, 1024, 1024), kSioOpenFailed);
    CSerialPort::ClearPortOverride("COM4");
}
