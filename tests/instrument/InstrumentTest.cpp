// The instrument of a run: which devices are real, start-up and shutdown on the simulated
// instrument (with the engine's camera thread running), a controller and a monochromator played by
// the test on terminals named in the ports map, and ports that cannot be had.
#include "instrument/Instrument.h"
#include "instrument/InstrumentStartUp.h"

#include "camera/EngineSupport.h"
#include "core/Sleep.h"
#include "scanner/ControllerPeer.h"
#include "sim/SimController.h"
#include "sim/SimMirror.h"
#include "sim/SimMonochromator.h"
#include "support/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <thread>

using ::testing::ElementsAre;
using Clock = std::chrono::steady_clock;

namespace {

class InstrumentTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetSleepScale(0.1);
        SimMirror::Instance().SetClockScale(10.0);
        SimMirror::Instance().Reset(0);
        SimCameras::Instance().Shutdown();
    }
    void TearDown() override {
        SimCameras::Instance().Shutdown();
        CSerialPort::InstallPortsMap(PortsMap{}, true);
        SimMirror::Instance().SetClockScale(1.0);
        SetSleepScale(1.0);
    }
    static InstrumentOptions Options(DeviceMode mode) {
        InstrumentOptions o;
        o.mode = mode;
        o.attachSimulators = true;
        o.sim.cameras.clockScale = 3.0;
        return o;
    }
    // Brings the instrument up as the window and acquire do, up to the scanner link.
    bool StartUp(Instrument& ins) {
        ins.SetStatusCallback([this](const std::string& text) {
            std::lock_guard lock(statusMutex);
            status.push_back(text);
        });
        return StartInstrument(ins);
    }
    std::vector<std::string> Status() {
        std::lock_guard lock(statusMutex);
        return status;
    }

    TempDir dir{true, true};
    ScriptedPrompts prompts;
    FakeHost host;
    std::mutex statusMutex;
    std::vector<std::string> status;
};

} // namespace

TEST(DeviceSelection, EachDeviceIsRealWhereConfiguredAndSimulatedOtherwise) {
    const PortsMap none;
    const PortsMap controller = ParsePortsMap("COM1 /dev/ttyUSB0\n");
    const PortsMap both = ParsePortsMap("COM1 /dev/ttyUSB0\nCOM4 /dev/ttyUSB1\n");
    InstrumentOptions o;
    // No option: real where the ports map names the port; the cameras have no real backend yet.
    EXPECT_EQ(SelectDevices(o, none, "COM1").SimulatedText(), "Simulated: cameras, COM1, COM4");
    EXPECT_EQ(SelectDevices(o, controller, "COM1").SimulatedText(), "Simulated: cameras, COM4");
    EXPECT_EQ(SelectDevices(o, both, "com1").SimulatedText(), "Simulated: cameras");
    // The controller is on the scanner settings' port: a map for COM1 says nothing about COM3.
    const DeviceSelection moved = SelectDevices(o, controller, "COM3");
    EXPECT_TRUE(moved.controllerSimulated);
    EXPECT_EQ(moved.controllerPort, "COM3");
    EXPECT_TRUE(moved.realPortsAllowed);
    // --simulate: everything simulated whatever the map says, and no real port may be opened.
    o.mode = DeviceMode::Simulate;
    const DeviceSelection simulated = SelectDevices(o, both, "COM1");
    EXPECT_EQ(simulated.SimulatedText(), "Simulated: cameras, COM1, COM4");
    EXPECT_FALSE(simulated.realPortsAllowed);
    // --devices real: nothing simulated, with or without a map.
    o.mode = DeviceMode::Real;
    const DeviceSelection real = SelectDevices(o, none, "COM1");
    EXPECT_FALSE(real.AnySimulated());
    EXPECT_EQ(real.SimulatedText(), "");
    EXPECT_TRUE(real.realPortsAllowed);
    // Without a camera named, real cameras are the vendor library's; a simulated one named is none.
    EXPECT_EQ(real.cameras.data.Text(), "lucam");
    EXPECT_EQ(real.cameras.Focus().Text(), "lucam");
    o.dataCamera = CameraChoice{CameraChoice::Kind::Simulated, ""};
    EXPECT_EQ(SelectDevices(o, none, "COM1").cameras.data.Text(), "none");
}

TEST(DeviceSelection, CamerasComeFromTheCommandLineThenThePortsMap) {
    const PortsMap map = ParsePortsMap("COM1 /dev/ttyUSB0\nDataCamera lucam:/opt/lib/liblucamapi.so\n"
                                       "focuscamera  sim # the preview on the simulator\n");
    ASSERT_TRUE(map.problems.empty()) << map.problems.front();
    InstrumentOptions o;
    DeviceSelection d = SelectDevices(o, map, "COM1");
    EXPECT_EQ(d.cameras.data.Text(), "lucam:/opt/lib/liblucamapi.so");
    EXPECT_EQ(d.cameras.Focus().Text(), "sim");
    EXPECT_EQ(d.SimulatedText(), "Simulated: focus camera, COM4");
    // The command line names the data camera: its backend gives the focus camera as well.
    o.dataCamera = CameraChoice::Parse("lucam");
    o.focusCamera = CameraChoice::Parse("lucam");
    d = SelectDevices(o, map, "COM1");
    EXPECT_EQ(d.SimulatedText(), "Simulated: COM4");
    // A simulated data camera beside a real focus camera, and --simulate over everything.
    o.dataCamera = CameraChoice::Parse("sim");
    EXPECT_EQ(SelectDevices(o, map, "COM1").SimulatedText(), "Simulated: data camera, COM4");
    o.mode = DeviceMode::Simulate;
    EXPECT_EQ(SelectDevices(o, map, "COM1").SimulatedText(), "Simulated: cameras, COM1, COM4");
    EXPECT_EQ(SelectDevices(o, map, "COM1").cameras.data.Text(), "sim");
    // What is not a camera is refused with the reason; a camera named twice keeps the first line.
    const PortsMap bad = ParsePortsMap("DataCamera\nFocusCamera webcam\nDataCamera lucam\nDataCamera sim\n");
    ASSERT_EQ(bad.problems.size(), 3u);
    EXPECT_EQ(bad.problems[0], "line 1 of ARV300_Ports.txt: DataCamera without a camera");
    EXPECT_EQ(
        bad.problems[1],
        "line 2 of ARV300_Ports.txt: a camera is sim, lucam, lucam:LIBRARY, genicam:DEVICE or none, not "
        "\"webcam\"");
    EXPECT_EQ(bad.problems[2],
              "line 4 of ARV300_Ports.txt names the data camera again (line 3 did); only the "
              "first is used");
    ASSERT_TRUE(bad.dataCamera.has_value());
    EXPECT_EQ(bad.dataCamera->Text(), "lucam");
    EXPECT_FALSE(bad.focusCamera.has_value());
    EXPECT_FALSE(CameraChoice::Parse("lucam:").has_value());
}

TEST_F(InstrumentTest, StartUpAndShutdownOnTheSimulatedInstrument) {
    for (int run = 0; run < 2; ++run) { // the second run finds every port and thread released
        Instrument ins(prompts, Options(DeviceMode::Simulate));
        ins.CreateEngine(host);
        ASSERT_TRUE(StartUp(ins)) << run;
        EXPECT_TRUE(prompts.Texts().empty()) << prompts.Texts().front();
        EXPECT_EQ(ins.SimulatedDevicesText(), "Simulated: cameras, COM1, COM4");
        EXPECT_TRUE(ins.ControllerLinkUp());
        EXPECT_TRUE(ins.Cameras().m_streaming.load());
        SimController* controller = ins.SimulatedController();
        ASSERT_NE(controller, nullptr);
        ASSERT_NE(ins.SimulatedMonochromator(), nullptr);
        ASSERT_TRUE(controller->WaitForCommands(5, 5000));
        const auto log = controller->ReceivedCommands();
        EXPECT_THAT(std::vector<std::string>(log.begin(), log.begin() + 5),
                    ElementsAre("ANSW2\r", "BAUD 115200\r", "CORRIDOR10000\r\n", "EN\n", "LA0\n"));
        // A dark stack, binned on the camera's thread and averaged.
        const int saves = host.darkSaves.load();
        ins.Engine().AcquisitionCommand(AcquisitionEngine::Mode::Dark);
        const auto deadline = Clock::now() + std::chrono::seconds(60);
        while (host.darkSaves.load() == saves && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(host.darkSaves.load(), saves + 1);
        EXPECT_EQ(ins.Engine().LastScanEnd(), AcquisitionEngine::ScanEnd::Completed);
        EXPECT_EQ(ins.Engine().LinesTaken(), 25);

        ins.Shutdown();
        EXPECT_FALSE(ins.Cameras().m_streaming.load());
        EXPECT_FALSE(GetSerialPort().IsOpen());
        // The drive's last command may still be on its way to the simulated controller.
        const auto until = Clock::now() + std::chrono::seconds(5);
        while (controller->ReceivedCommands().back() != "DI\n" && Clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_EQ(controller->ReceivedCommands().back(), "DI\n");
        ins.Shutdown(); // a second time does nothing
    }
}

TEST_F(InstrumentTest, ControllerNamedInThePortsMapIsRealAndSimulateLeavesItAlone) {
    ControllerPeer controller;
    dir.Write("Settings/ARV300_Ports.txt", "COM1 " + controller.peer.Path() + "\n");
    {
        Instrument ins(prompts, Options(DeviceMode::Auto));
        ins.CreateEngine(host);
        ASSERT_TRUE(StartUp(ins));
        EXPECT_EQ(ins.SimulatedDevicesText(), "Simulated: cameras, COM4");
        EXPECT_EQ(ins.SimulatedController(), nullptr);
        EXPECT_NE(ins.SimulatedMonochromator(), nullptr);
        const auto commands = controller.peer.Commands();
        ASSERT_GE(commands.size(), 7u);
        EXPECT_THAT(
            std::vector<std::string>(commands.begin(), commands.begin() + 7),
            ElementsAre("ANSW2\r", "BAUD 115200\r", "CORRIDOR10000\r\n", "EN\n", "LA0\n", "M\n", "POS\n"));
        EXPECT_THAT(Status(), ElementsAre("COM1 Connected"));
        ins.Shutdown();
        EXPECT_TRUE(controller.peer.WaitForQuiet(200, 5000));
        EXPECT_EQ(controller.peer.Commands().back(), "DI\n");
    }
    controller.peer.Clear();
    {
        Instrument ins(prompts, Options(DeviceMode::Simulate));
        ins.CreateEngine(host);
        ASSERT_TRUE(StartUp(ins));
        EXPECT_EQ(ins.SimulatedDevicesText(), "Simulated: cameras, COM1, COM4");
        ASSERT_NE(ins.SimulatedController(), nullptr);
        EXPECT_TRUE(ins.SimulatedController()->WaitForCommands(4, 5000));
        EXPECT_TRUE(ins.MoveMonochromator(4, 450));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(controller.peer.Bytes(), "");
    EXPECT_TRUE(prompts.Texts().empty());
}

TEST_F(InstrumentTest, RealDevicesOnlyGiveTheProgramsOwnMessagesWhenMissing) {
    dir.Write("Settings/ARV300_Ports.txt", "COM1 " + dir.File("no-such-tty") + "\n");
    Instrument ins(prompts, Options(DeviceMode::Real));
    ins.CreateEngine(host);
    EXPECT_FALSE(StartUp(ins));
    EXPECT_EQ(ins.SimulatedDevicesText(), "");
    EXPECT_EQ(ins.SimulatedController(), nullptr);
    EXPECT_EQ(ins.SimulatedMonochromator(), nullptr);
    // The cameras come from the vendor's library under its usual name, which this machine lacks.
    const auto shown = prompts.Messages();
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].text.rfind(
                  "Unable to load the camera library liblucamapi.so: liblucamapi.so: cannot open", 0),
              0u)
        << shown[0].text;
    EXPECT_EQ(shown[0].caption, "Camera Library");
    EXPECT_EQ(shown[1].text, "Please Check Camera Connection and Power - Application Closing");
    EXPECT_EQ(shown[1].caption, "Camera Not Connected");
    // The scanner link on its own, as the window goes on to it.
    EXPECT_FALSE(ins.ConnectScanner());
    EXPECT_EQ(prompts.Messages().back().text, "Please Check COM Port Settings");
    EXPECT_EQ(prompts.Messages().back().caption, "Scanner Communication Problem");
    EXPECT_EQ(Status().back(), "COM1 Offline");
}

TEST_F(InstrumentTest, PortsThatCannotBeHadGiveTheOfflineTextsAndNothingHangs) {
    ControllerPeer held;
    const int other = ::open(held.peer.Path().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0); // another program holds this terminal
    ControllerPeer twice;
    dir.Write("plain", "");
    struct Case {
        std::string map;
        bool mapProblem;
    };
    const Case cases[] = {
        {"COM1\n", true},                                                           // no device
        {"COM1 " + dir.File("plain") + "\n", false},                                // a regular file
        {"COM1 /dev/null\n", false},                                                // not a terminal
        {"COM1 " + held.peer.Path() + "\n", false},                                 // held elsewhere
        {"COM1 " + twice.peer.Path() + "\nCOM4 " + twice.peer.Path() + "\n", true}, // one device twice
    };
    for (const Case& c : cases) {
        prompts.Clear();
        {
            std::lock_guard lock(statusMutex);
            status.clear();
        }
        dir.Write("Settings/ARV300_Ports.txt", c.map);
        const auto start = Clock::now();
        Instrument ins(prompts, Options(DeviceMode::Auto));
        ins.CreateEngine(host);
        EXPECT_FALSE(StartUp(ins)) << c.map;
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(10)) << c.map;
        const auto shown = prompts.Messages();
        ASSERT_EQ(shown.size(), c.mapProblem ? 2u : 1u) << c.map;
        if (c.mapProblem) {
            EXPECT_EQ(shown.front().caption, "Ports Map") << c.map;
        }
        EXPECT_EQ(shown.back().text, "Please Check COM Port Settings") << c.map;
        EXPECT_EQ(shown.back().caption, "Scanner Communication Problem") << c.map;
        EXPECT_THAT(Status(), ElementsAre("COM1 Offline")) << c.map;
        // The instrument goes on: an acquisition runs with the mirror where it stands.
        ins.Engine().AcquisitionCommand(AcquisitionEngine::Mode::Cube);
        EXPECT_TRUE(ins.Engine().Busy()) << c.map;
        ins.Engine().StopAcquisition();
    }
    EXPECT_EQ(twice.peer.Bytes(), "");
    EXPECT_EQ(held.peer.Bytes(), "");
    ::close(other);
}

TEST_F(InstrumentTest, MonochromatorNamedInThePortsMapGetsTheMovesOrIsReportedOffline) {
    PtyPeer monochromator("");
    dir.Write("Settings/ARV300_Ports.txt", "COM4 " + monochromator.Path() + "\n");
    {
        Instrument ins(prompts, Options(DeviceMode::Auto));
        ins.CreateEngine(host);
        ASSERT_TRUE(StartUp(ins));
        EXPECT_EQ(ins.SimulatedDevicesText(), "Simulated: cameras, COM1");
        EXPECT_EQ(ins.SimulatedMonochromator(), nullptr);
        EXPECT_TRUE(ins.MoveMonochromator(4, 450));
        EXPECT_TRUE(ins.MoveMonochromator(4, 950));
        ASSERT_TRUE(monochromator.WaitForBytes(8, 2000));
        EXPECT_EQ(monochromator.Bytes(), std::string("\x1b\x10\x01\xc2\x1b\x10\x03\xb6", 8));
    }
    dir.Write("Settings/ARV300_Ports.txt", "COM4 /dev/null\n");
    Instrument ins(prompts, Options(DeviceMode::Auto));
    ins.CreateEngine(host);
    ASSERT_TRUE(StartUp(ins));
    EXPECT_FALSE(ins.MoveMonochromator(4, 450));
    EXPECT_EQ(Status().back(), "COM4 Offline");
    ASSERT_FALSE(prompts.Messages().empty());
    EXPECT_EQ(prompts.Messages().back().text, "Please Check COM Port Settings");
    EXPECT_EQ(prompts.Messages().back().caption, "Monochromator Communication Problem");
}

TEST_F(InstrumentTest, SimulatorSwitchesActOnlyOnSimulatedDevices) {
    ControllerPeer controller;
    dir.Write("Settings/ARV300_Ports.txt", "COM1 " + controller.peer.Path() + "\n");
    InstrumentOptions options = Options(DeviceMode::Auto);
    options.sim.controllerFault = "silent";
    options.sim.controllerSwitches = {"--sim-controller"};
    options.sim.mirrorSpeed = 1000.0;
    options.sim.controllerSwitches.push_back("--sim-mirror-speed");
    options.sim.cameraSwitches = {"--sim-noise"};
    {
        Instrument ins(prompts, options);
        ins.CreateEngine(host);
        ASSERT_TRUE(StartUp(ins)); // the real controller answers: "silent" was not for it
        EXPECT_THAT(ins.Notes(),
                    ElementsAre("--sim-controller has no effect: the controller on COM1 is real",
                                "--sim-mirror-speed has no effect: the controller on COM1 is real"));
        EXPECT_DOUBLE_EQ(SimMirror::Instance().Speed(), 165000.0);
    }
    // An absent simulated controller leaves its port leading nowhere, not to a real device.
    dir.Write("Settings/ARV300_Ports.txt", "");
    options.sim.controllerFault = "absent";
    Instrument ins(prompts, options);
    ins.CreateEngine(host);
    EXPECT_FALSE(StartUp(ins));
    EXPECT_TRUE(ins.Notes().empty());
    EXPECT_EQ(ins.SimulatedController(), nullptr);
    EXPECT_EQ(CSerialPort::DevicePath("COM1"), "");
    EXPECT_EQ(Status().back(), "COM1 Offline");
}
