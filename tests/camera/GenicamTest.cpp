// GenICam cameras through Aravis, tried on Aravis's fake camera ("Fake_1", in this process): opening,
// the frame format, the rate walk, refused properties, a whole cube with the simulated controller
// checked against the fake camera's ramp, frames of another format, a camera that stops, and a
// camera that is not there.
#include "EngineSupport.h"
#include "FakeCameraPattern.h"
#include "camera/GenicamCameraBackend.h"
#include "core/Sleep.h"
#include "instrument/Instrument.h"
#include "instrument/InstrumentStartUp.h"
#include "sim/SimCamera.h"
#include "sim/SimMirror.h"
#include "support/TempDir.h"

#include <arv.h>
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>

namespace {
constexpr int W = 696, H = 520, B = 128;
using Clock = std::chrono::steady_clock;

class Genicam : public ::testing::Test {
protected:
    void SetUp() override {
        SetSleepScale(0.1);
        SimMirror::Instance().SetClockScale(10.0);
        SimMirror::Instance().Reset(0);
        arv_enable_interface("Fake");
    }
    void TearDown() override {
        CameraSeam::Reset();
        SimMirror::Instance().SetClockScale(1.0);
        SetSleepScale(1.0);
    }
    static InstrumentOptions Options(const std::string& device) {
        InstrumentOptions o;
        o.dataCamera = CameraChoice{CameraChoice::Kind::Genicam, device};
        o.attachSimulators = true; // controller and monochromator simulated
        return o;
    }
    bool StartUp(Instrument& ins) { return StartInstrument(ins); }
    static bool WaitIdle(AcquisitionEngine& engine, int seconds) {
        const auto until = Clock::now() + std::chrono::seconds(seconds);
        while (engine.Busy() && Clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return !engine.Busy();
    }
    const uint16_t* Line(AcquisitionEngine& engine, int line) {
        return engine.Cube().data() + size_t(line) * B * H;
    }

    TempDir dir{true, true};
    ScriptedPrompts prompts;
    FakeHost host;
};
} // namespace

TEST(GenicamRates, StepsWithinTheCamerasBounds) {
    EXPECT_EQ(GenicamFrameRates(0.1, 1000),
              (std::vector<float>{1, 2, 3.75f, 5, 7.5f, 10, 15, 20, 25, 30, 40, 50, 60, 75, 100}));
    EXPECT_EQ(GenicamFrameRates(4, 32), (std::vector<float>{5, 7.5f, 10, 15, 20, 25, 30}));
    // Bounds between two steps give their upper bound; no usable bound gives nothing.
    EXPECT_EQ(GenicamFrameRates(0.2, 0.5), std::vector<float>{0.5f});
    EXPECT_TRUE(GenicamFrameRates(0, 0).empty());
    EXPECT_TRUE(GenicamFrameRates(1, NAN).empty());
}

TEST_F(Genicam, FakeCameraOpensAsDataCameraAndWalksTheRatesForTheExposure) {
    CameraSeam::Install(CameraSetup{CameraChoice{CameraChoice::Kind::Genicam, "Fake_1"}, std::nullopt},
                        [this](const std::string& text) { prompts.Message(text); });
    DataCameraControl cams(prompts);
    ASSERT_TRUE(cams.OpenCameras());
    EXPECT_TRUE(prompts.Texts().empty()) << prompts.Texts().front();
    EXPECT_TRUE(cams.m_dataCameraOnline);
    EXPECT_FALSE(cams.m_focusCameraOnline); // no focus camera named
    EXPECT_EQ(cams.m_dataFacts.maxWidth, 2048);
    EXPECT_TRUE(cams.m_dataFacts.color); // it offers Bayer and RGB formats besides mono
    LUCAM_VERSION version{};
    ASSERT_TRUE(LucamQueryVersion(cams.m_hDataCamera, &version));
    EXPECT_EQ(version.serialnumber, 1u); // the fake camera's serial number

    // 25 ms cannot be held at 100, 75, 60 or 50 frames/s (at most 10 ... 20 ms per frame); 40 holds it.
    CameraSettingsValues settings;
    settings.exposure = 25.0;
    settings.gain = 3;
    cams.ConfigureDataCamera(settings);
    EXPECT_TRUE(prompts.Texts().empty()) << prompts.Texts().front();
    EXPECT_EQ(cams.m_ratesTried, (std::vector<float>{100, 75, 60, 50, 40}));
    EXPECT_FLOAT_EQ(cams.m_dataFrameRate, 40.0f);
    EXPECT_DOUBLE_EQ(settings.exposure, 25.0);
    FLOAT gain = 0;
    ASSERT_TRUE(LucamGetProperty(cams.m_hDataCamera, LUCAM_PROP_GAIN, &gain, nullptr));
    EXPECT_FLOAT_EQ(gain, 3.0f);
    // 2 x 2 binned 16-bit frames of 696 x 520.
    LUCAM_FRAME_FORMAT f{};
    FLOAT rate = 0;
    ASSERT_TRUE(LucamGetFormat(cams.m_hDataCamera, &f, &rate));
    EXPECT_EQ(f.width / f.binningX, 696u);
    EXPECT_EQ(f.height / f.binningY, 520u);
    EXPECT_EQ(f.pixelFormat, ULONG(LUCAM_PF_16));
    EXPECT_TRUE(cams.m_streaming.load());

    // A gain beyond the camera's (0 ... 10) is refused with the program's message.
    settings.gain = 20;
    cams.ConfigureDataCamera(settings);
    EXPECT_EQ(prompts.Texts(), std::vector<std::string>{"Unable to set new gain on Data camera."});
    cams.StopDataStream();
}

TEST_F(Genicam, CubeOfTheFakeCamerasRampWithTheSimulatedController) {
    Instrument ins(prompts, Options("Fake_1"));
    AcquisitionEngine& engine = ins.CreateEngine(host);
    ASSERT_TRUE(StartUp(ins));
    EXPECT_TRUE(prompts.Texts().empty()) << prompts.Texts().front();
    EXPECT_EQ(ins.SimulatedDevicesText(), "Simulated: COM1, COM4");
    EXPECT_FLOAT_EQ(ins.Cameras().m_dataFrameRate, 100.0f); // 10 ms fits the fastest step

    engine.AcquisitionCommand(AcquisitionEngine::Mode::Cube);
    ASSERT_TRUE(WaitIdle(engine, 120));
    EXPECT_EQ(engine.LastScanEnd(), AcquisitionEngine::ScanEnd::Completed);
    ASSERT_EQ(engine.LinesTaken(), W);
    // Every line is one whole frame of the ramp (10 ms, gain 1: scale 2), frames in the order they
    // came: the line's frame ids rise.
    const FakeCameraPattern pattern = FakeCameraPattern::For(10.0, 1.0);
    long frame = pattern.FrameOf(Line(engine, 0), 0, 65535);
    ASSERT_GE(frame, 0);
    for (int l = 1; l < W; ++l) {
        const long next = pattern.FrameOf(Line(engine, l), frame + 1, 2000);
        ASSERT_GE(next, 0) << "line " << l << " is no frame after " << frame;
        frame = next;
    }
    const CameraStreamCounters counters = CameraSeam::Counters(ins.Cameras().m_hDataCamera);
    EXPECT_GE(counters.delivered, uint64_t(W + 1));
    EXPECT_EQ(counters.rejected, 0u);
    EXPECT_EQ(counters.failed, 0u);
    EXPECT_EQ(engine.FramesRejected(), 0u);
    ins.Shutdown();
}

TEST_F(Genicam, FramesOfAnotherFormatAreRefusedAndACameraThatStopsEndsTheScanWithItsLines) {
    Instrument ins(prompts, Options("Fake_1"));
    AcquisitionEngine& engine = ins.CreateEngine(host);
    ASSERT_TRUE(StartUp(ins));
    auto* camera =
        static_cast<ArvCamera*>(GenicamNativeCamera(CameraSeam::BackendOf(ins.Cameras().m_hDataCamera)));
    ASSERT_NE(camera, nullptr);
    for (int fault = 0; fault < 2; ++fault) {
        engine.AcquisitionCommand(AcquisitionEngine::Mode::Cube);
        const auto until = Clock::now() + std::chrono::seconds(30);
        while (engine.LinesTaken() < 20 && Clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        GError* e = nullptr;
        if (fault == 0) // the camera switches to 8-bit pixels behind the program's back
            arv_device_set_string_feature_value(arv_camera_get_device(camera), "PixelFormat", "Mono8", &e);
        else // the camera falls silent (its next frame would come in 10 s)
            arv_camera_set_frame_rate(camera, 0.1, &e);
        ASSERT_EQ(e, nullptr) << e->message;
        ASSERT_TRUE(WaitIdle(engine, 30));
        EXPECT_EQ(engine.LastScanEnd(), AcquisitionEngine::ScanEnd::FramesStopped) << fault;
        const int lines = engine.LinesTaken();
        EXPECT_GE(lines, 20);
        EXPECT_LT(lines, W);
        // The lines taken stay; nothing after them was written.
        const FakeCameraPattern pattern = FakeCameraPattern::For(10.0, 1.0);
        EXPECT_GE(pattern.FrameOf(Line(engine, lines - 1), 0, 65535), 0);
        EXPECT_EQ(*std::max_element(Line(engine, lines), Line(engine, W)), 0);
        for (int i = 0; i < 500 && host.Messages().empty(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const auto messages = host.Messages();
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_EQ(messages.back().rfind("The data camera stopped delivering frames: none came for ", 0), 0u);
        EXPECT_EQ(messages.back().find("of the wrong size or format were refused") != std::string::npos,
                  fault == 0)
            << messages.back();
        if (fault == 0) {
            EXPECT_GT(CameraSeam::Counters(ins.Cameras().m_hDataCamera).rejected, 0u);
            arv_device_set_string_feature_value(arv_camera_get_device(camera), "PixelFormat", "Mono16", &e);
            ASSERT_EQ(e, nullptr);
        }
        {
            std::lock_guard lock(host.mutex);
            host.messages.clear();
        }
    }
    ins.Shutdown();
}

TEST_F(Genicam, CameraThatIsNotThereIsNamedAndStartUpEndsAsWithoutACamera) {
    Instrument ins(prompts, Options("Fake_9"));
    ins.CreateEngine(host);
    EXPECT_FALSE(StartUp(ins));
    const auto messages = prompts.Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].text.rfind("The GenICam camera Fake_9 was not found", 0), 0u) << messages[0].text;
    EXPECT_NE(messages[0].text.find("arv-tool-0.8 lists the cameras this computer sees."), std::string::npos);
    EXPECT_EQ(messages[0].caption, "Camera Library");
    EXPECT_EQ(messages[1].text, "Please Check Camera Connection and Power - Application Closing");
}

namespace {
// The preview window as the camera configuration sees it: starts the stream with display into a
// target that keeps the pictures it is shown.
class PreviewTarget : public FocusPreview, public LucamDisplayTarget {
public:
    explicit PreviewTarget(HANDLE camera) : m_camera(camera) {}
    bool StopPreview(bool) override {
        return LucamStreamVideoControl(m_camera, STOP_STREAMING, nullptr) != 0;
    }
    bool StartPreview(LUCAM_FRAME_FORMAT* format, float rate) override {
        return LucamSetFormat(m_camera, format, rate) &&
               LucamStreamVideoControl(m_camera, START_DISPLAY, this);
    }
    void ShowFrame(const BYTE* rgb, ULONG width, ULONG height, LONG, LONG) override {
        std::lock_guard lock(mutex);
        ++frames;
        size = {width, height};
    }
    std::mutex mutex;
    int frames = 0;
    std::pair<ULONG, ULONG> size;

private:
    HANDLE m_camera;
};
} // namespace

TEST_F(Genicam, FakeCameraAsFocusCameraBesideASimulatedDataCameraFeedsThePreview) {
    SimCameras::Instance().Shutdown();
    SimCameras::Instance().Configure(SimCameraSettings{});
    CameraSeam::Install(CameraSetup{CameraChoice{CameraChoice::Kind::Simulated, ""},
                                    CameraChoice{CameraChoice::Kind::Genicam, "Fake_1"}},
                        [this](const std::string& text) { prompts.Message(text); });
    DataCameraControl cams(prompts);
    ASSERT_TRUE(cams.OpenCameras());
    ASSERT_TRUE(cams.m_focusCameraOnline);
    EXPECT_EQ(cams.m_focusFacts.maxWidth, 2048);
    LUCAM_VERSION version{};
    ASSERT_TRUE(LucamQueryVersion(cams.m_hDataCamera, &version));
    EXPECT_EQ(version.serialnumber, 20113u); // the simulated data camera
    PreviewTarget preview(cams.m_hFocusCamera);
    cams.ConfigureFocusCamera(&preview);
    // The fake camera has no automatic exposure: the program's own message, and it goes on.
    EXPECT_EQ(prompts.Texts(), std::vector<std::string>{"Failed to change the auto exposure target."});
    // 2 x 2 subsampling of the 2048 x 2048 sensor: 1024 x 1024 colour pictures.
    for (int i = 0; i < 500; ++i) {
        {
            std::lock_guard lock(preview.mutex);
            if (preview.frames >= 3)
                break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    preview.StopPreview(true);
    std::lock_guard lock(preview.mutex);
    EXPECT_GE(preview.frames, 3);
    EXPECT_EQ(preview.size, (std::pair<ULONG, ULONG>{1024, 1024}));
    SimCameras::Instance().Shutdown();
}
