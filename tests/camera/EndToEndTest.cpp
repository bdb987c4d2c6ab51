// Whole acquisitions on the simulated instrument: the simulated data camera streams frames of the
// test chart at the mirror's position, the simulated controller moves the mirror through bytes on
// a pseudo-terminal, and the engine, the camera control and the scanner link are the program's own.
#include "EngineSupport.h"
#include "camera/DataCameraControl.h"
#include "camera/ScannerMirrorLink.h"
#include "core/Sleep.h"
#include "sim/SimCamera.h"
#include "sim/SimController.h"
#include "sim/SimMirror.h"
#include "sim/SimScene.h"
#include "support/EngineTestAccess.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {
constexpr int W = 696, H = 520, B = 128;

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        // Waits between commands and replies run ten times faster, and so does the mirror.
        SetSleepScale(0.1);
        SimMirror::Instance().SetClockScale(10.0);
        SimCameras::Instance().Shutdown();
        SimMirror::Instance().Reset(0);
        SimOptics::Instance().target = SimTarget::Scene;
        SimOptics::Instance().noise = false;
        SimCameraSettings s;
        SimCameras::Instance().Configure(s);
        ASSERT_TRUE(controller.Start());
        ASSERT_TRUE(cams.OpenCameras());
        engine.AllocateBuffers(CubeGeometry{});
        engine.SetDataCameraOnline(true);
        engine.SetStepPerLine(settings.m_stepSize);
        engine.scanPositions = [this] {
            return ScanPositions{settings.m_scanStartPosition, settings.m_centerPosition};
        };
        engine.SetMinimumRedrawInterval(1000.0 / 60.0);
        link.SetStopFlag(engine.StopFlag());
        LucamAddStreamingCallback(cams.m_hDataCamera, &AcquisitionEngine::OnDataFrameCallback, &engine);
        CameraSettingsValues cs; // 10 ms: the camera runs at 50 frames per second
        cams.ConfigureDataCamera(cs);
        ASSERT_FLOAT_EQ(cams.m_dataFrameRate, 50.0f);
        ASSERT_TRUE(link.ConnectScanner());
        link.EnableScannerDrive(true);
    }
    void TearDown() override {
        cams.StopDataStream();
        engine.ShutdownDisplayThread();
        link.DisconnectScanner();
        controller.Shutdown();
        SimCameras::Instance().Shutdown();
        SimMirror::Instance().SetClockScale(1.0);
        SetSleepScale(1.0);
    }
    bool WaitIdle(int seconds) {
        for (int i = 0; i < seconds * 100; ++i) {
            if (!engine.Busy())
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    uint16_t Cube(int line, int band, int sample) const {
        return engine.Cube()[size_t(line) * B * H + size_t(band) * H + size_t(H - 1 - sample)];
    }

    ScriptedPrompts prompts;
    SimController controller{"COM1"};
    DataCameraControl cams{prompts};
    ScannerSettingsValues settings;
    ScannerLink link{settings};
    ScannerMirrorLink mirror{link};
    FakeHost host;
    AcquisitionEngine engine{host, mirror};
};
} // namespace

TEST_F(EndToEnd, FullCubeOfTheTestChart) {
    SimCameras::Instance().ResetCounters();
    controller.ClearLog();
    const auto t0 = std::chrono::steady_clock::now();
    engine.AcquisitionCommand(AcquisitionEngine::Mode::Cube);
    // Frames dropped while the lines are taken (the return of the mirror afterwards holds the camera
    // thread on purpose).
    uint64_t dropped = 0;
    for (int i = 0; i < 6000 && engine.LineIndex() < W && engine.Busy(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    dropped = SimCameras::Instance().DroppedFrames(1);
    ASSERT_TRUE(WaitIdle(60));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();

    // 697 per-frame moves to 0, 12, 24, ... 8352, framed by the travels to the scan start.
    std::vector<std::string> la;
    for (const auto& c : controller.ReceivedCommands())
        if (c.rfind("LA", 0) == 0)
            la.push_back(c);
    ASSERT_EQ(la.size(), 1u + 697u + 1u);
    EXPECT_EQ(la.front(), "LA0\n");
    for (int l = 0; l < 697; ++l)
        ASSERT_EQ(la[size_t(1 + l)], "LA" + std::to_string(12 * l) + "\n") << l;
    EXPECT_EQ(la.back(), "LA0\n");
    EXPECT_EQ(SimMirror::Instance().Position(), 0);

    // Values worked out from the chart: a pixel reads 800 + 48000 * R at 10 ms and gain 1, and the
    // cube holds that >> 4. Line L shows scene line L - 1 (the move for line L is sent when its
    // frame arrives), line 0 scene line 0.
    // Background square (0, 0), R 0.10: 5600 >> 4 = 350; lines 0 and 1 both see scene line 0.
    EXPECT_EQ(Cube(0, 0, 0), 350);
    EXPECT_EQ(Cube(1, 64, 10), 350);
    // Square (1, 0) (scene lines 32 ... 63, samples 0 ... 31), R 0.20: 10400 >> 4 = 650; scene line
    // 32 is cube line 33, while cube line 32 still sees scene line 31.
    EXPECT_EQ(Cube(33, 5, 5), 650);
    EXPECT_EQ(Cube(32, 5, 5), 350);
    // White reference (scene lines 260 ... 399, samples 280 ... 479), R 0.95: 46400 >> 4 = 2900.
    EXPECT_EQ(Cube(300, 10, 300), 2900);
    EXPECT_EQ(Cube(300, 127, 479), 2900);
    // Grey step 1 (lines 460 ... 639, samples 40 ... 149), R 0.2: 650; step 4 (samples 370 ... 479),
    // R 0.8: 800 + 38400 = 39200 >> 4 = 2450.
    EXPECT_EQ(Cube(500, 60, 100), 650);
    EXPECT_EQ(Cube(500, 60, 400), 2450);
    // Vegetation (lines 60 ... 199, samples 40 ... 199) beyond the red edge, R 0.5: band 100 is at
    // 400 + 4.6 * 100 + 0.00095 * 10000 = 869.5 nm: 800 + 24000 = 24800 >> 4 = 1550.
    EXPECT_EQ(Cube(100, 100, 100), 1550);
    // Water at band 0 (400 nm), R 0.08: 800 + 3840 = 4640 >> 4 = 290.
    EXPECT_EQ(Cube(100, 0, 300), 290);
    // Soil at band 0, R 0.10: 350; at band 127 (999.52 nm) R = 0.1 + 599.52/600 * 0.25 = 0.3498:
    // 800 + round(16790.4) = 17590 >> 4 = 1099.
    EXPECT_EQ(Cube(300, 0, 100), 350);
    EXPECT_EQ(Cube(300, 127, 100), 1099);

    EXPECT_EQ(host.Status(2), "Ready");
    EXPECT_EQ(host.Status(1).rfind("frame rate =  ", 0), 0u);
    // Frames lost and the scan's duration depend on the machine's load: reported here, measured
    // by the acquisition benchmark.
    std::printf(
        "full cube: %.2f s for 697 frames at 50 fps (%.2f s of frames), %llu dropped, %llu pictures\n",
        seconds, 697 / 50.0, static_cast<unsigned long long>(dropped),
        static_cast<unsigned long long>(engine.PicturesDrawn()));
}

TEST_F(EndToEnd, DarkStackUnderTheLensCap) {
    SimOptics::Instance().target = SimTarget::LensCap;
    engine.AcquisitionCommand(AcquisitionEngine::Mode::Dark);
    ASSERT_TRUE(WaitIdle(20));
    for (int i = 0; i < 200 && host.darkSaves.load() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(host.darkSaves.load(), 1);
    EXPECT_TRUE(engine.DarkFrameValid());
    // Offset only: 800 >> 4 = 50 everywhere.
    EXPECT_EQ(EngineTestAccess::DarkFrame(engine)[0], 50);
    EXPECT_EQ(EngineTestAccess::DarkFrame(engine)[size_t(B) * H - 1], 50);
    SimOptics::Instance().target = SimTarget::Scene;
}

TEST_F(EndToEnd, ControllerThatVanishesMidScanKeepsTheLinesAlreadyTaken) {
    controller.SetVanishAfter(300);
    engine.AcquisitionCommand(AcquisitionEngine::Mode::Cube);
    ASSERT_TRUE(WaitIdle(60));
    EXPECT_EQ(host.Status(2), "Ready");
    // The early lines were taken at their positions before the controller hung up.
    EXPECT_EQ(Cube(0, 0, 0), 350);
    EXPECT_EQ(Cube(33, 5, 5), 650);
}

TEST_F(EndToEnd, FreshFrameIsTakenAfterTheRequest) {
    std::vector<uint16_t> f;
    ASSERT_TRUE(engine.TakeFreshFrame(f, 2000));
    ASSERT_EQ(f.size(), size_t(W) * H);
    // Row 0 sees band 127 (999.52 nm); column 88 + 0 is scene sample 0 at scene line 0: R 0.10.
    EXPECT_EQ(f[88], 5600);
}
