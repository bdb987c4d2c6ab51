// What the program does when the controller misbehaves, through "arv300 acquire" and through the
// window, with the controller played by the test on a terminal named in the ports map: silent,
// babbling, absent, silent from the middle of a scan, and gone in the middle of a scan. Each case
// asserts the program's message, an end within its time limit, and the lines that are kept.
#include "app/AcquireCommand.h"
#include "app/WindowFixture.h"
#include "app/stratadlg.h"
#include "core/Sleep.h"
#include "resources/ControlIds.h"
#include "resources/resource.h"
#include "scanner/ControllerPeer.h"
#include "sim/SimCamera.h"
#include "sim/SimMirror.h"
#include "support/AcquireRun.h"
#include "support/TempDir.h"

#include <QTest>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

using Clock = std::chrono::steady_clock;

namespace {
constexpr size_t kLineBytes = 128u * 520u * 2u; // one cube line in a BIL file
constexpr uintmax_t kCubeBytes = 696u * kLineBytes;

enum class Controller { Silent, Babbling, Absent, SilentMidScan, GoneMidScan };

struct FaultCase {
    const char* name;
    Controller controller;
    int exitCode;            // of "arv300 acquire"
    const char* message;     // on acquire's stderr
    const char* endText;     // in acquire's summary line; "" when no cube is written
    int minLines, maxLines;  // lines kept in the cube (0, 0: no cube)
    const char* windowPane3; // status pane 3 of the window after its cube
};

// Targets sent before a mid-scan fault: the travel to the scan start, then about 100 lines.
constexpr size_t kFaultAfterTargets = 100;

const FaultCase kCases[] = {
    // The port opened: pane 3 says so, whatever the controller answers.
    {"silent", Controller::Silent, kAcquireScannerOffline,
     "[Scanner Communication Problem] Please Check COM Port Settings", "", 0, 0, "COM1 Connected"},
    {"babbling", Controller::Babbling, kAcquireScannerOffline,
     "[Scanner Communication Problem] Please Check COM Port Settings", "", 0, 0, "COM1 Connected"},
    {"absent", Controller::Absent, kAcquireScannerOffline,
     "[Scanner Communication Problem] Please Check COM Port Settings", "", 0, 0, "COM1 Offline"},
    {"silent mid-scan", Controller::SilentMidScan, kAcquireMirrorTimeout, "[Scanner] COM1 Offline",
     "; ended: the link to the controller was lost (COM1 Offline)", 90, 115, "COM1 Offline"},
    {"gone mid-scan", Controller::GoneMidScan, kAcquireMirrorTimeout, "[Scanner] COM1 Offline",
     "; ended: the link to the controller was lost (COM1 Offline)", 90, 110, "COM1 Offline"},
};

// The controller is the test's peer on COM1 (the fixture's simulated one is never started).
class FaultMatrix : public WindowFixture {
protected:
    void SetUp() override {
        WindowFixture::SetUp();
        SetSleepScale(0.1);
        cameras.clockScale = 3.0;
        SimCameras::Instance().Configure(cameras);
        prompts.echo = false;
    }
    // Names the peer (or a terminal that does not exist) as COM1 and sets its fault; for a hang-up,
    // a thread of the test closes the terminal once enough targets came.
    void Prepare(ControllerPeer& peer, Controller c) {
        const std::string path = c == Controller::Absent ? "/dev/arv-no-such-terminal" : peer.peer.Path();
        dir.Write("Settings/ARV300_Ports.txt", "COM1 " + path + "\n");
        if (c == Controller::Silent)
            peer.SetFault(ControllerPeer::Fault::Silent);
        else if (c == Controller::Babbling)
            peer.SetFault(ControllerPeer::Fault::Babbling);
        else if (c == Controller::SilentMidScan)
            peer.SetFault(ControllerPeer::Fault::SilentAfterTargets, kFaultAfterTargets);
        if (c == Controller::GoneMidScan)
            hangup = std::thread([&peer, this] {
                while (!stopWatch && peer.Targets().size() < kFaultAfterTargets)
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                peer.peer.Hangup();
            });
    }
    void EndWatch() {
        stopWatch = true;
        if (hangup.joinable())
            hangup.join();
        stopWatch = false;
    }
    int Acquire(const std::vector<std::string>& words) {
        QStringList args = {"arv300", "acquire"};
        for (const std::string& w : words)
            args << QString::fromStdString(w);
        AppOptions options;
        std::string error;
        EXPECT_TRUE(ParseAppOptions(args, options, error)) << error;
        options.devices.attachSimulators = false; // cameras and monochromator: the test's simulators
        AcquireOutput r = RunAcquireCaptured(options);
        out = std::move(r.out);
        err = std::move(r.err);
        return r.code;
    }
    static int LinesWithData(const std::string& cube) {
        int lines = 0;
        while (size_t(lines + 1) * kLineBytes <= cube.size() &&
               cube.find_first_not_of('\0', size_t(lines) * kLineBytes) < size_t(lines + 1) * kLineBytes)
            ++lines;
        return lines;
    }

    SimCameraSettings cameras;
    std::string out, err;
    std::thread hangup;
    std::atomic<bool> stopWatch{false};
};
} // namespace

TEST_F(FaultMatrix, AcquireEndsWithTheControllersMessageInTimeAndKeepsTheLines) {
    for (const FaultCase& c : kCases) {
        SCOPED_TRACE(c.name);
        ControllerPeer peer;
        Prepare(peer, c.controller);
        const std::string name = dir.File(std::string("cube-") + std::to_string(int(c.controller)));
        const auto start = Clock::now();
        const int code = Acquire({"--format", "bil", "--out", name, "--mirror-stall", "1"});
        const auto took = Clock::now() - start;
        EndWatch();
        EXPECT_EQ(code, c.exitCode) << err;
        EXPECT_NE(err.find(c.message), std::string::npos) << err;
        EXPECT_LT(took, std::chrono::seconds(30));
        if (c.maxLines == 0) {
            EXPECT_FALSE(std::filesystem::exists(name + ".cube")) << out;
            continue;
        }
        EXPECT_NE(out.find(c.endText), std::string::npos) << out;
        ASSERT_EQ(std::filesystem::file_size(name + ".cube"), kCubeBytes);
        const int lines = LinesWithData(dir.Read(std::filesystem::path(name + ".cube").filename().string()));
        EXPECT_GE(lines, c.minLines);
        EXPECT_LE(lines, c.maxLines);
        EXPECT_NE(out.find(", " + std::to_string(lines) + " lines, "), std::string::npos) << out;
    }
}

TEST_F(FaultMatrix, WindowShowsTheControllersStateStaysUsableAndKeepsTheLines) {
    for (const FaultCase& c : kCases) {
        SCOPED_TRACE(c.name);
        ControllerPeer peer;
        Prepare(peer, c.controller);
        prompts.Clear();
        dlg = std::make_unique<CStrataDlg>(prompts, StrataOptions{});
        ASSERT_EQ(dlg->OnInitDialog(), 0);
        const auto start = Clock::now();
        dlg->OnCommand(ID_TB_START_CUBE);
        const bool idle = QTest::qWaitFor([&] { return !dlg->Engine().Busy(); }, 30000);
        QCoreApplication::processEvents();
        EndWatch();
        EXPECT_TRUE(idle);
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(30));
        EXPECT_EQ(dlg->StatusText(2), "Ready");
        EXPECT_EQ(dlg->StatusText(3), c.windowPane3);
        const int lines = dlg->Engine().LinesTaken();
        if (c.maxLines == 0) {
            // No controller after the greeting: the window says so and takes the cube where the
            // mirror stands.
            EXPECT_EQ(prompts.Texts(), std::vector<std::string>{"Please Check COM Port Settings"});
            EXPECT_EQ(lines, 696);
        } else {
            EXPECT_GE(lines, c.minLines);
            EXPECT_LE(lines, c.maxLines);
        }
        dlg.reset();
    }
}
