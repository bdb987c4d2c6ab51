// "arv300 acquire" interrupted as an operator does it, by Ctrl-C (SIGINT) or SIGTERM from outside,
// with the motion controller played by the test on a terminal named in the ports map: the first
// signal stops the scan like Stop and the lines are written; a second one ends the program at once
// and still switches the drive off.
#include "scanner/ControllerPeer.h"
#include "support/ProgramRun.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <mutex>

namespace {
constexpr size_t kLineBytes = 128u * 520u * 2u;

class Interrupt : public ::testing::Test {
protected:
    void SetUp() override { dir.Write("Settings/ARV300_Ports.txt", "COM1 " + controller.peer.Path() + "\n"); }
    ProgramRunResult Run(const std::vector<ProgramSignal>& signals) {
        ProgramRunOptions o;
        o.workDir = dir.Path().string();
        o.env = {"QT_QPA_PLATFORM=offscreen", "ASAN_OPTIONS=detect_leaks=0"};
        o.signals = signals;
        o.timeoutSeconds = 90;
        // Cameras and the monochromator simulated, the controller is the test's.
        return RunProgram(ARV300_EXECUTABLE, {"acquire", "--format", "bil", "--scans", "3", "--out", "scan{n}"}, o);
    }
    // Commands the controller received after the last step of the scan (a move other than to 0).
    std::vector<std::string> CommandsAfterTheLastStep() const {
        const std::vector<std::string> c = controller.peer.Commands();
        auto last = std::find_if(c.rbegin(), c.rend(),
                                 [](const std::string& s) { return s.rfind("LA", 0) == 0 && s != "LA0\n"; });
        return std::vector<std::string>(last.base(), c.end());
    }
    TempDir dir{false, true};
    ControllerPeer controller;
};
} // namespace

TEST_F(Interrupt, FirstSignalStopsLikeStopAndWritesTheLinesTaken) {
    for (const int sig : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(sig);
        std::filesystem::remove(dir.Path() / "scan1.cube");
        controller.peer.Clear();
        const ProgramRunResult r = Run({{"COM1 Connected", 2500, sig}});
        ASSERT_FALSE(r.timedOut) << r.err;
        EXPECT_EQ(r.Describe(), "exit " + std::to_string(128 + sig)) << r.err;
        // One cube, the series ends; its summary says where it stopped.
        EXPECT_FALSE(std::filesystem::exists(dir.Path() / "scan2.cube"));
        const size_t at = r.out.find("; stopped at line ");
        ASSERT_NE(at, std::string::npos) << r.out;
        const int lines = std::stoi(r.out.substr(at + 18));
        EXPECT_GT(lines, 0);
        EXPECT_LT(lines, 696);
        EXPECT_NE(r.out.find(", " + std::to_string(lines) + " lines, frame rate = "), std::string::npos) << r.out;
        const std::string cube = dir.Read("scan1.cube");
        ASSERT_EQ(cube.size(), 696 * kLineBytes);
        int zeroLines = 0;
        for (size_t l = 0; l < 696; ++l)
            zeroLines += std::all_of(cube.begin() + long(l * kLineBytes), cube.begin() + long((l + 1) * kLineBytes),
                                     [](char c) { return c == 0; });
        EXPECT_EQ(zeroLines, 696 - lines);
        // The mirror went back to the scan start, then the drive was switched off.
        const std::vector<std::string> after = CommandsAfterTheLastStep();
        ASSERT_FALSE(after.empty());
        EXPECT_NE(std::find(after.begin(), after.end(), "LA0\n"), after.end());
        EXPECT_EQ(after.back(), "DI\n");
    }
}

TEST_F(Interrupt, SecondCtrlCEndsAtOnceAndStillSwitchesTheDriveOff) {
    const ProgramRunResult r = Run({{"COM1 Connected", 2500, SIGINT}, {"", 20, SIGINT}});
    ASSERT_FALSE(r.timedOut) << r.err;
    EXPECT_EQ(r.Describe(), "exit 130") << r.err;
    ASSERT_EQ(r.signalled.size(), 2u);
    EXPECT_LT(r.ended - r.signalled[1], std::chrono::milliseconds(500));
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(std::filesystem::exists(dir.Path() / "scan1.cube"));
    ASSERT_TRUE(controller.peer.WaitForQuiet(200, 3000));
    EXPECT_EQ(controller.peer.Commands().back(), "DI\n");
}
