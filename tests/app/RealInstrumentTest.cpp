// Real and simulated devices through the window and through "arv300 acquire": controllers and a
// monochromator played by the test on terminals named in the ports map, a slow mirror, a mirror that
// stops, a controller that hangs up, and what is kept and written when the mirror fails.
#include "app/AcquireCommand.h"
#include "app/WindowFixture.h"
#include "app/stratadlg.h"
#include "calibration/CCalibrationDlg2.h"
#include "core/Sleep.h"
#include "resources/ControlIds.h"
#include "resources/resource.h"
#include "scanner/ControllerPeer.h"
#include "sim/SimController.h"
#include "sim/SimMirror.h"
#include "support/AcquireRun.h"
#include "support/TempDir.h"

#include <QTest>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

using Clock = std::chrono::steady_clock;

namespace {
constexpr size_t kLineBytes = 128u * 520u * 2u; // one cube line in a file

class RealInstrument : public WindowFixture {
protected:
    void SetUp() override {
        WindowFixture::SetUp();
        Faster(0.1, 10.0);
        cameras.clockScale = 3.0;
        SimCameras::Instance().Configure(cameras);
        prompts.echo = false;
    }
    void SetScanStart(int position) {
        std::string settings = dir.Read("Settings/ARV300_Scanner_Settings.txt");
        settings.replace(settings.find("Scanner_home_position 0"), 23,
                         "Scanner_home_position " + std::to_string(position));
        dir.Write("Settings/ARV300_Scanner_Settings.txt", settings);
    }
    // The window on the test's simulated hardware as it stands (or with the given devices).
    void OpenWindow(StrataOptions options = {}) {
        dlg = std::make_unique<CStrataDlg>(prompts, options);
        ASSERT_EQ(dlg->OnInitDialog(), 0);
        ASSERT_TRUE(WaitForFocusTravel(*dlg));
    }
    // The engine posts its last status texts before it clears the flag: one pass of the event loop
    // after the flag delivers them.
    bool WaitIdle(int ms = 60000) {
        const bool idle = QTest::qWaitFor([&] { return !dlg->Engine().Busy(); }, ms);
        QCoreApplication::processEvents();
        return idle;
    }
    // "arv300 acquire" with these arguments, as the program parses them; simulators=false leaves
    // the simulated hardware to the test.
    int Acquire(const std::vector<std::string>& words, bool simulators = false) {
        QStringList args = {"arv300", "acquire"};
        for (const std::string& w : words)
            args << QString::fromStdString(w);
        AppOptions options;
        std::string error;
        EXPECT_TRUE(ParseAppOptions(args, options, error)) << error;
        options.devices.attachSimulators = simulators;
        AcquireOutput r = RunAcquireCaptured(options);
        out = std::move(r.out);
        err = std::move(r.err);
        return r.code;
    }
    // The link_up column of a line record file, one entry per row, and its "# simulated: " line.
    static std::string LinkColumn(const std::string& record) {
        std::string links;
        std::istringstream in(record);
        std::string row;
        while (std::getline(in, row))
            if (!row.empty() && std::isdigit(static_cast<unsigned char>(row[0])))
                links += row.back();
        return links;
    }
    static std::string SimulatedLine(const std::string& record) {
        const size_t at = record.find("# simulated: ");
        return at == std::string::npos ? "" : record.substr(at, record.find('\n', at) - at);
    }
    // Whether line l of a BIL file holds anything but zeros.
    static bool LineHasData(const std::string& file, int line) {
        const std::string part = file.substr(size_t(line) * kLineBytes, kLineBytes);
        return part.find_first_not_of('\0') != std::string::npos;
    }

    SimCameraSettings cameras;
    std::string out, err;
};
} // namespace

// ---- Devices named in the ports map ----------------------------------------------------------

TEST_F(RealInstrument, AcquireDrivesAControllerNamedInThePortsMapAndSimulateLeavesItAlone) {
    ControllerPeer real;
    dir.Write("Settings/ARV300_Ports.txt", "COM1 " + real.peer.Path() + "\n");
    ASSERT_EQ(Acquire({"--format", "bil", "--out", dir.File("real"), "--sim-clock-scale", "3"}, true),
              kAcquireOk)
        << err;
    EXPECT_TRUE(real.peer.WaitForQuiet(200, 5000)); // the last bytes may still be on their way
    EXPECT_EQ(err.rfind("Simulated: cameras, COM4\n", 0), 0u) << err;
    const auto commands = real.peer.Commands();
    ASSERT_GE(commands.size(), 3u);
    EXPECT_EQ(commands[0], "ANSW2\r");
    // The travel to the Scan Start Position, the 697 per-line moves, the return.
    std::vector<int> expected = {0};
    for (int line = 0; line <= 696; ++line)
        expected.push_back(line * 12);
    expected.push_back(0);
    EXPECT_EQ(real.Targets(), expected);
    EXPECT_EQ(commands.back(), "DI\n");
    EXPECT_NE(out.find(", 696 lines, frame rate =  "), std::string::npos) << out;
    // The line record names the devices that were simulated, as stderr did.
    const std::string record = dir.Read("real.lines.csv");
    EXPECT_EQ(SimulatedLine(record), "# simulated: cameras, COM4");
    EXPECT_EQ(LinkColumn(record), std::string(696, '1'));

    real.peer.Clear();
    ASSERT_EQ(
        Acquire({"--simulate", "--format", "bil", "--out", dir.File("sim"), "--sim-clock-scale", "3"}, true),
        kAcquireOk)
        << err;
    EXPECT_EQ(err.rfind("Simulated: cameras, COM1, COM4\n", 0), 0u) << err;
    EXPECT_EQ(real.peer.Bytes(), "");
    EXPECT_TRUE(std::filesystem::exists(dir.File("sim.cube")));
    EXPECT_EQ(SimulatedLine(dir.Read("sim.lines.csv")), "# simulated: cameras, COM1, COM4");
}

TEST_F(RealInstrument, SpectralRunDrivesAMonochromatorNamedInThePortsMap) {
    PtyPeer monochromator("");
    dir.Write("Settings/ARV300_Ports.txt", "COM4 " + monochromator.Path() + "\n");
    StrataOptions options;
    options.devices.attachSimulators = true;
    options.devices.sim.cameras.clockScale = 20.0;
    // The sphere lit by the real monochromator (the simulated cameras cannot know its wavelength).
    options.devices.sim.target = SimTarget::Sphere;
    SimOptics::Instance().monochromatorNm = 480.0;
    OpenWindow(options);
    EXPECT_EQ(dlg->StatusText(4), "Simulated: cameras, COM1");
    dlg->CalibrationDialog().m_wavelengthEnd = 480;
    std::array<bool, 8> modes{};
    modes[5] = true; // 2x2
    ASSERT_TRUE(RunSpectralCalibrationToEnd(*dlg, modes, dir.File("mono")));
    // The start wavelength, then 450 and 480: each move wakes the CM110 (27) and sends 16, high, low.
    EXPECT_EQ(monochromator.Bytes(), std::string("\x1b\x10\x01\xc2"
                                                 "\x1b\x10\x01\xc2"
                                                 "\x1b\x10\x01\xe0",
                                                 12));
    EXPECT_TRUE(std::filesystem::exists(dir.File("mono_2x2_480.cal")));
    EXPECT_EQ(dlg->StatusText(3), "End Cal !");
    dlg.reset();

    monochromator.Clear();
    options.devices.mode = DeviceMode::Simulate;
    OpenWindow(options);
    EXPECT_EQ(dlg->StatusText(4), "Simulated: cameras, COM1, COM4");
    dlg->CalibrationDialog().m_wavelengthEnd = 450;
    ASSERT_TRUE(RunSpectralCalibrationToEnd(*dlg, modes, dir.File("sim")));
    EXPECT_EQ(monochromator.Bytes(), "");
}

TEST_F(RealInstrument, MonochromatorPortThatCannotBeOpenedEndsTheSpectralRun) {
    dir.Write("Settings/ARV300_Ports.txt", "COM4 /dev/null\n");
    controller.Start();
    OpenWindow();
    prompts.Clear();
    std::array<bool, 8> modes{};
    modes[5] = true;
    EXPECT_FALSE(RunSpectralCalibrationToEnd(*dlg, modes, dir.File("none")));
    EXPECT_EQ(dlg->StatusText(3), "COM4 Offline");
    ASSERT_EQ(prompts.Messages().size(), 1u);
    EXPECT_EQ(prompts.Messages()[0].text, "Please Check COM Port Settings");
    EXPECT_EQ(prompts.Messages()[0].caption, "Monochromator Communication Problem");
    EXPECT_FALSE(std::filesystem::exists(dir.File("none_2x2_CalFileList.txt")));
}

TEST_F(RealInstrument, WindowWithAControllerPortThatIsNoTerminalStaysUsable) {
    dir.Write("Settings/ARV300_Ports.txt", "COM1 /dev/null\n");
    OpenWindow();
    EXPECT_EQ(dlg->StatusText(2), "Ready");
    EXPECT_EQ(dlg->StatusText(3), "COM1 Offline");
    EXPECT_EQ(dlg->StatusText(4), "Simulated: cameras, COM4");
    EXPECT_EQ(prompts.Texts(), std::vector<std::string>{"Please Check COM Port Settings"});
    dlg->OnCommand(ID_TB_START_CUBE); // the cube is taken where the mirror stands
    EXPECT_TRUE(WaitIdle());
    EXPECT_EQ(dlg->Engine().LinesTaken(), 696);
    // Its record says so: the controller's link was down for every line; COM1 was not simulated.
    const LineRecord record = dlg->Engine().LastLineRecord();
    EXPECT_EQ(record.run.simulated, "cameras, COM4");
    ASSERT_EQ(record.lines.size(), 696u);
    EXPECT_TRUE(
        std::none_of(record.lines.begin(), record.lines.end(), [](const LineEvent& e) { return e.linkUp; }));
}

// ---- The mirror through the window -----------------------------------------------------------

TEST_F(RealInstrument, WindowFollowsASlowMirrorAndReportsOneThatStopsHalfway) {
    SetScanStart(-300000);
    SimMirror::Instance().SetSpeed(25000.0); // 12 s of mirror time to the scan start
    controller.Start();
    OpenWindow();
    EXPECT_EQ(dlg->StatusText(4), "Simulated: cameras, COM1, COM4");
    dlg->OnCommand(ID_TB_START_CUBE);
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(dlg->Engine().LastScanEnd(), AcquisitionEngine::ScanEnd::Completed);
    EXPECT_EQ(dlg->Engine().LinesTaken(), 696);
    EXPECT_EQ(dlg->StatusText(3), "COM1 Connected");

    // Back at 0, then a mirror that stops half way to the scan start.
    SimMirror::Instance().SetSpeed(165000.0);
    SimMirror::Instance().Reset(0);
    SimMirror::Instance().SetHaltAt(-150000);
    const auto start = Clock::now();
    dlg->OnCommand(ID_TB_START_CUBE);
    ASSERT_TRUE(WaitIdle());
    // Half the trip, then the stall period (0.2 s at this sleep scale), well within 3 s.
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
    EXPECT_EQ(dlg->StatusText(3), "Mirror did not reach -300000");
    EXPECT_EQ(dlg->StatusText(2), "Ready");
    EXPECT_EQ(dlg->Engine().LastScanEnd(), AcquisitionEngine::ScanEnd::StartTimedOut);
    EXPECT_EQ(SimMirror::Instance().Position(), -150000);
}

TEST_F(RealInstrument, WindowKeepsTheLinesWhenTheMirrorDoesNotReturn) {
    controller.Start();
    OpenWindow();
    // The travel to the start, the 697 per-line steps, then the return freezes the mirror.
    SimMirror::Instance().SetStuckAfterMoves(699);
    dlg->OnCommand(ID_TB_START_CUBE);
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(dlg->StatusText(3), "Mirror did not reach 0");
    EXPECT_EQ(dlg->Engine().LastScanEnd(), AcquisitionEngine::ScanEnd::ReturnTimedOut);
    EXPECT_EQ(dlg->Engine().LinesTaken(), 696);
    const AcquisitionEngine& e = dlg->Engine();
    const size_t line = e.Geometry().LineValues();
    EXPECT_TRUE(std::any_of(e.Cube().begin() + long(695 * line), e.Cube().begin() + long(696 * line),
                            [](uint16_t v) { return v != 0; }));
}

TEST_F(RealInstrument, WindowStopsAtAHangUpAndTheNextCubeReconnects) {
    controller.Start();
    OpenWindow();
    ASSERT_TRUE(QTest::qWaitFor([&] { return controller.CountOf("DI\n") >= 1; }, 3000));
    controller.SetVanishAfter(300); // about 150 lines into the scan
    dlg->OnCommand(ID_TB_START_CUBE);
    ASSERT_TRUE(WaitIdle(20000));
    ASSERT_TRUE(controller.Vanished());
    const AcquisitionEngine& e = dlg->Engine();
    EXPECT_EQ(e.LastScanEnd(), AcquisitionEngine::ScanEnd::LinkLost);
    const int lines = e.LinesTaken();
    EXPECT_GT(lines, 100);
    EXPECT_LT(lines, 200);
    EXPECT_EQ(dlg->StatusText(3), "COM1 Offline");
    EXPECT_EQ(dlg->StatusText(2), "Ready");
    const size_t line = e.Geometry().LineValues();
    auto hasData = [&](int l) {
        return std::any_of(e.Cube().begin() + long(size_t(l) * line),
                           e.Cube().begin() + long(size_t(l + 1) * line), [](uint16_t v) { return v != 0; });
    };
    EXPECT_TRUE(hasData(lines - 1));
    EXPECT_FALSE(hasData(lines));

    // The controller is back: the next cube opens the port again and greets it first.
    controller.Shutdown();
    ASSERT_TRUE(controller.Start());
    controller.ClearLog();
    SimMirror::Instance().Reset(0);
    dlg->OnCommand(ID_TB_START_CUBE);
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(e.LastScanEnd(), AcquisitionEngine::ScanEnd::Completed);
    EXPECT_EQ(e.LinesTaken(), 696);
    const auto log = controller.ReceivedCommands();
    ASSERT_GE(log.size(), 4u);
    EXPECT_EQ(log[0], "ANSW2\r");
    EXPECT_EQ(log[3], "EN\n");
    EXPECT_EQ(dlg->StatusText(3), "COM1 Connected");
}

// ---- The mirror through arv300 acquire ------------------------------------------------------

TEST_F(RealInstrument, AcquireFollowsASlowMirrorAndEndsOnOneThatStops) {
    SetScanStart(-300000);
    SimMirror::Instance().SetSpeed(25000.0);
    ASSERT_TRUE(controller.Start());
    ASSERT_EQ(Acquire({"--format", "bil", "--out", dir.File("slow")}), kAcquireOk) << err;
    EXPECT_NE(out.find("slow.cube (92651520 bytes)"), std::string::npos) << out;

    SimMirror::Instance().SetSpeed(165000.0);
    SimMirror::Instance().Reset(0);
    SimMirror::Instance().SetHaltAt(-150000);
    const auto start = Clock::now();
    EXPECT_EQ(Acquire({"--format", "bil", "--out", dir.File("halted"), "--mirror-stall", "1"}),
              kAcquireMirrorTimeout);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    EXPECT_NE(err.find("[Scanner] Mirror did not reach -300000"), std::string::npos) << err;
    EXPECT_FALSE(std::filesystem::exists(dir.File("halted.cube"))); // nothing was taken
    EXPECT_EQ(out, "");
}

TEST_F(RealInstrument, AcquireSavesTheCubeWhenTheMirrorDoesNotReturn) {
    ASSERT_TRUE(controller.Start());
    SimMirror::Instance().SetStuckAfterMoves(699);
    EXPECT_EQ(Acquire({"--format", "bil", "--out", dir.File("stuck")}), kAcquireMirrorTimeout) << err;
    EXPECT_NE(out.find("wrote " + dir.File("stuck.cube") + " (92651520 bytes) and " + dir.File("stuck.hdr") +
                       ", 696 lines, frame rate =  "),
              std::string::npos)
        << out;
    EXPECT_NE(
        out.find("; ended: the mirror did not return to the Scan Start Position (Mirror did not reach 0)\n"),
        std::string::npos)
        << out;
    const std::string cube = dir.Read("stuck.cube");
    ASSERT_EQ(cube.size(), 92651520u);
    EXPECT_TRUE(LineHasData(cube, 695));

    // A dark stack whose return runs out is saved as well, and ends the command.
    SimMirror::Instance().SetStuck(false);
    SimMirror::Instance().Reset(0);
    SimMirror::Instance().SetStuckAfterMoves(2); // the travel to the centre, then the return
    EXPECT_EQ(Acquire({"--dark", "--out", dir.File("d")}), kAcquireMirrorTimeout) << err;
    EXPECT_EQ(std::filesystem::file_size(dir.File("d_dark.drk")), 3493888u);
    EXPECT_NE(out.find("dark stack of 25 lines; ended: the mirror did not return"), std::string::npos) << out;
    EXPECT_FALSE(std::filesystem::exists(dir.File("d.cube")));
}

TEST_F(RealInstrument, AcquireSavesTheLinesTakenBeforeTheControllerHungUp) {
    ASSERT_TRUE(controller.Start());
    controller.SetVanishAfter(300);
    EXPECT_EQ(Acquire({"--format", "bil", "--out", dir.File("cut")}), kAcquireMirrorTimeout) << err;
    EXPECT_NE(err.find("[Scanner] COM1 Offline"), std::string::npos) << err;
    // "wrote ... (92651520 bytes) and ...hdr, N lines, frame rate = ...; ended: ..."
    const size_t at = out.find(" lines, frame rate =  ");
    ASSERT_NE(at, std::string::npos) << out;
    const int lines = std::stoi(out.substr(out.rfind(", ", at) + 2));
    EXPECT_GT(lines, 100);
    EXPECT_LT(lines, 200);
    EXPECT_NE(out.find("; ended: the link to the controller was lost (COM1 Offline)\n"), std::string::npos)
        << out;
    const std::string cube = dir.Read("cut.cube");
    ASSERT_EQ(cube.size(), 92651520u);
    EXPECT_TRUE(LineHasData(cube, lines - 1));
    EXPECT_FALSE(LineHasData(cube, lines));
    // One record row per line taken, each taken while the link was up.
    EXPECT_EQ(LinkColumn(dir.Read("cut.lines.csv")), std::string(size_t(lines), '1'));
}
