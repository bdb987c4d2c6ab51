// The monochromator link against the simulated CM110, alone and beside the scanner link.
#include "calibration/Monochromator.h"
#include "calibration/SerialLib.h"
#include "core/Sleep.h"
#include "scanner/ScannerLink.h"
#include "sim/SimController.h"
#include "sim/SimMonochromator.h"
#include "sim/SimScene.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

std::string B(std::initializer_list<int> values) {
    std::string b;
    for (int v : values)
        b.push_back(static_cast<char>(v));
    return b;
}

class MonochromatorSimTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetSleepScale(0.1);
        SimOptics::Instance().monochromatorNm = 0.0;
        ASSERT_TRUE(mono.Start());
    }
    void TearDown() override {
        mono.Shutdown();
        SetSleepScale(1.0);
        SimOptics::Instance().monochromatorNm = 0.0;
        SimOptics::Instance().sphereWhiteLight = false;
    }
    SimMonochromator mono{"COM4"};
};

// Writes bytes straight to the simulator's terminal and reads what comes back within timeoutMs.
std::string Exchange(const std::string& device, const std::string& bytes, int timeoutMs) {
    const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return "open failed";
    [[maybe_unused]] auto n = ::write(fd, bytes.data(), bytes.size());
    std::string reply;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char chunk[32];
    while (std::chrono::steady_clock::now() < end) {
        const ssize_t got = ::read(fd, chunk, sizeof(chunk));
        if (got > 0)
            reply.append(chunk, size_t(got));
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ::close(fd);
    return reply;
}

} // namespace

TEST_F(MonochromatorSimTest, MoveSetsTheSimulatedWavelength) {
    MoveMonochromator(4, 450);
    ASSERT_TRUE(mono.WaitForBytes(4, 2000));
    EXPECT_EQ(mono.ReceivedBytes(), B({27, 16, 1, 194}));
    EXPECT_EQ(mono.Wavelength(), 450);
    EXPECT_EQ(SimOptics::Instance().monochromatorNm.load(), 450.0);
    EXPECT_EQ(mono.EchoCount(), 1u);

    MoveMonochromator(4, 950);
    ASSERT_TRUE(mono.WaitForBytes(8, 2000));
    EXPECT_EQ(mono.ReceivedBytes(), B({27, 16, 1, 194, 27, 16, 3, 182}));
    EXPECT_EQ(SimOptics::Instance().monochromatorNm.load(), 950.0);
    EXPECT_EQ(mono.MoveCount(), 2u);
    EXPECT_FALSE(SimOptics::Instance().sphereWhiteLight.load());

    // Zero order passes the lamp's white light; the next wavelength ends it.
    MoveMonochromator(4, 0);
    ASSERT_TRUE(mono.WaitForBytes(12, 2000));
    EXPECT_EQ(mono.ReceivedBytes().substr(8), B({27, 16, 0, 0}));
    EXPECT_TRUE(SimOptics::Instance().sphereWhiteLight.load());
    MoveMonochromator(4, 450);
    ASSERT_TRUE(mono.WaitForBytes(16, 2000));
    EXPECT_FALSE(SimOptics::Instance().sphereWhiteLight.load());
}

TEST_F(MonochromatorSimTest, AnswersTheEchoAndParsesCommandsSplitAcrossWrites) {
    const std::string device = mono.DevicePath();
    EXPECT_EQ(Exchange(device, B({27}), 100), B({27}));
    // A goto whose bytes come in two writes; 10 and 13 are data here, not line ends.
    EXPECT_EQ(Exchange(device, B({16, 2}), 20), "");
    EXPECT_EQ(Exchange(device, B({13, 27}), 100), B({27}));
    EXPECT_EQ(mono.Wavelength(), 2 * 256 + 13);
    EXPECT_EQ(Exchange(device, B({5, 16, 0, 10}), 50), "");
    EXPECT_EQ(mono.Wavelength(), 10);
    EXPECT_EQ(mono.MoveCount(), 2u);
}

TEST_F(MonochromatorSimTest, SilentMonochromatorNeitherAnswersNorMoves) {
    mono.SetSilent(true);
    EXPECT_EQ(Exchange(mono.DevicePath(), B({27}), 100), "");
    MoveMonochromator(4, 700);
    ASSERT_TRUE(mono.WaitForBytes(5, 2000));
    EXPECT_EQ(mono.ReceivedBytes(), B({27, 27, 16, 2, 188}));
    EXPECT_EQ(mono.MoveCount(), 0u);
    EXPECT_EQ(SimOptics::Instance().monochromatorNm.load(), 0.0);
}

TEST_F(MonochromatorSimTest, ShutdownRemovesTheDevice) {
    mono.Shutdown();
    MoveMonochromator(4, 600); // no monochromator any more: returns without effect
    EXPECT_FALSE(SioIsOpen(3));
    EXPECT_EQ(SimOptics::Instance().monochromatorNm.load(), 0.0);
    ASSERT_TRUE(mono.Start());
    MoveMonochromator(4, 600);
    ASSERT_TRUE(mono.WaitForBytes(4, 2000));
    EXPECT_EQ(mono.Wavelength(), 600);
}

TEST_F(MonochromatorSimTest, WorksWhileTheScannerLinkHoldsItsPort) {
    SimController controller{"COM1"};
    ASSERT_TRUE(controller.Start());
    ScannerSettingsValues settings;
    ScannerLink link{settings};
    ASSERT_TRUE(link.ConnectScanner());
    MoveMonochromator(4, 810);
    ASSERT_TRUE(mono.WaitForBytes(4, 2000));
    EXPECT_EQ(mono.Wavelength(), 810);
    EXPECT_EQ(GetSerialPort().IsOpen(), 1);
    int32_t position = -1;
    EXPECT_TRUE(link.QueryMirrorPosition(position));
    link.DisconnectScanner();
    controller.Shutdown();
}
