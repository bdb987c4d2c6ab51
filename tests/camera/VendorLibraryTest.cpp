// The vendor's camera library loaded at run time: a stand-in library with the vendor's function
// names (its own simulated cameras, looking at this process's simulated scene and mirror) brought
// up by the instrument like the real one, configured, streamed and scanned into a whole cube; and
// libraries that are missing or lack a function.
#include "EngineSupport.h"
#include "core/Sleep.h"
#include "instrument/Instrument.h"
#include "instrument/InstrumentStartUp.h"
#include "sim/SimCamera.h"
#include "sim/SimController.h"
#include "sim/SimMirror.h"
#include "sim/SimScene.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <chrono>
#include <thread>

namespace {
constexpr int W = 696, H = 520, B = 128;

class VendorLibrary : public ::testing::Test {
protected:
    void SetUp() override {
        SetSleepScale(0.1);
        SimMirror::Instance().SetClockScale(10.0);
        SimMirror::Instance().Reset(0);
        SimCameras::Instance().Shutdown();
        SimOptics::Instance().target = SimTarget::Scene;
        SimOptics::Instance().noise = false;
        // The test reaches the stand-in's own switches; the backend loads the same library.
        m_library = dlopen(FAKE_LUCAM_COMPLETE, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(m_library, nullptr) << dlerror();
        configure = reinterpret_cast<void (*)(int, double)>(dlsym(m_library, "FakeVendorConfigure"));
        shutdown = reinterpret_cast<void (*)()>(dlsym(m_library, "FakeVendorShutdown"));
        ASSERT_NE(configure, nullptr);
        ASSERT_NE(shutdown, nullptr);
        configure(2, 3.0);
    }
    void TearDown() override {
        if (shutdown)
            shutdown();
        SimMirror::Instance().SetClockScale(1.0);
        SetSleepScale(1.0);
    }
    static InstrumentOptions Options(const std::string& library) {
        InstrumentOptions o;
        o.mode = DeviceMode::Auto;
        o.dataCamera = CameraChoice{CameraChoice::Kind::VendorLibrary, library};
        o.attachSimulators = true; // the controller and the monochromator are simulated
        return o;
    }
    bool StartUp(Instrument& ins) { return StartInstrument(ins); }

    TempDir dir{true, true};
    ScriptedPrompts prompts;
    FakeHost host;
    void* m_library = nullptr;
    void (*configure)(int, double) = nullptr;
    void (*shutdown)() = nullptr;
};
} // namespace

TEST_F(VendorLibrary, CamerasOfTheLoadedLibraryStartUpStreamAndScanACube) {
    Instrument ins(prompts, Options(FAKE_LUCAM_COMPLETE));
    AcquisitionEngine& engine = ins.CreateEngine(host);
    ASSERT_TRUE(StartUp(ins));
    EXPECT_TRUE(prompts.Texts().empty()) << prompts.Texts().front();
    EXPECT_EQ(ins.SimulatedDevicesText(), "Simulated: COM1, COM4");
    DataCameraControl& cams = ins.Cameras();
    ASSERT_TRUE(cams.m_dataCameraOnline);
    ASSERT_TRUE(cams.m_focusCameraOnline);
    // The cameras are the library's: its serial numbers, not those of the program's simulator.
    LUCAM_VERSION version{};
    ASSERT_TRUE(LucamQueryVersion(cams.m_hDataCamera, &version));
    EXPECT_EQ(version.serialnumber, 7001u);
    ASSERT_TRUE(LucamQueryVersion(cams.m_hFocusCamera, &version));
    EXPECT_EQ(version.serialnumber, 7002u);
    ULONG id = 0;
    ASSERT_TRUE(LucamGetCameraId(cams.m_hFocusCamera, &id));
    EXPECT_EQ(id, ULONG(LUCAM_ID_LW11050));
    // Configuration: 10 ms is met at the fastest of the library's rates, 2 x 2 binned, 16-bit.
    EXPECT_EQ(cams.m_ratesTried, std::vector<float>{50.0f});
    EXPECT_FLOAT_EQ(cams.m_dataFrameRate, 50.0f);
    EXPECT_EQ(cams.m_dataFormat.binningX, 2);
    EXPECT_EQ(cams.m_dataFormat.pixelFormat, ULONG(LUCAM_PF_16));
    EXPECT_FLOAT_EQ(float(ins.CameraSettings().exposure), 10.0f);
    ASSERT_TRUE(cams.m_streaming.load());

    engine.AcquisitionCommand(AcquisitionEngine::Mode::Cube);
    for (int i = 0; i < 9000 && engine.Busy(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_FALSE(engine.Busy());
    EXPECT_EQ(engine.LastScanEnd(), AcquisitionEngine::ScanEnd::Completed);
    EXPECT_EQ(engine.LinesTaken(), W);
    // The test chart, worked out by hand: a pixel reads 800 + 48000 * R at 10 ms and gain 1, the
    // cube holds that >> 4; cube line L shows scene line L - 1.
    auto cube = [&engine](int line, int band, int sample) {
        return engine.Cube()[size_t(line) * B * H + size_t(band) * H + size_t(H - 1 - sample)];
    };
    EXPECT_EQ(cube(0, 0, 0), 350);        // background, R 0.10
    EXPECT_EQ(cube(33, 5, 5), 650);       // square (1, 0), R 0.20
    EXPECT_EQ(cube(300, 10, 300), 2900);  // white reference, R 0.95
    EXPECT_EQ(cube(500, 60, 400), 2450);  // grey step 4, R 0.8
    EXPECT_EQ(cube(100, 0, 300), 290);    // water at 400 nm, R 0.08
    EXPECT_EQ(cube(300, 127, 100), 1099); // soil at 999.52 nm
    // Every frame came through the library's stream; the program's own simulator sent none.
    const CameraStreamCounters counters = CameraSeam::Counters(cams.m_hDataCamera);
    EXPECT_GE(counters.delivered, uint64_t(W + 1));
    EXPECT_EQ(SimCameras::Instance().DeliveredFrames(1), 0u);
    EXPECT_EQ(engine.FramesRejected(), 0u);
    ins.Shutdown();
    EXPECT_FALSE(cams.m_streaming.load());
}

TEST_F(VendorLibrary, MissingLibraryOrFunctionIsNamedAndStartUpEndsAsWithoutACamera) {
    struct Case {
        std::string library;
        std::string message;
    };
    const Case cases[] = {
        {dir.File("no-such-lucamapi.so"),
         "Unable to load the camera library " + dir.File("no-such-lucamapi.so") + ": " +
             dir.File("no-such-lucamapi.so") + ": cannot open shared object file: No such file or directory"},
        {FAKE_LUCAM_LACKING, std::string("The camera library ") + FAKE_LUCAM_LACKING +
                                 " cannot be used: it has no function LucamConvertFrameToGreyscale16"},
    };
    for (const Case& c : cases) {
        ScriptedPrompts shown;
        Instrument ins(shown, Options(c.library));
        ins.CreateEngine(host);
        EXPECT_FALSE(StartUp(ins)) << c.library;
        const auto messages = shown.Messages();
        ASSERT_EQ(messages.size(), 2u) << c.library;
        EXPECT_EQ(messages[0].text, c.message);
        EXPECT_EQ(messages[0].caption, "Camera Library");
        EXPECT_EQ(messages[1].text, "Please Check Camera Connection and Power - Application Closing");
        EXPECT_EQ(messages[1].caption, "Camera Not Connected");
    }
    // The simulated cameras are back for whatever comes next in the process.
    SimCameras::Instance().Configure(SimCameraSettings{});
    EXPECT_EQ(LucamNumCameras(), 2);
    SimCameras::Instance().Shutdown();
}
