#include "camera/DataCameraControl.h"
#include "sim/SimCamera.h"

#include <gtest/gtest.h>

namespace {
class DataCamera : public ::testing::Test {
protected:
    void Start(SimCameraSettings s) {
        SimCameras::Instance().Shutdown();
        SimCameras::Instance().Configure(s);
    }
    void TearDown() override { SimCameras::Instance().Shutdown(); }
    ScriptedPrompts prompts;
    DataCameraControl cams{prompts};
};

class RecordingPreview : public FocusPreview {
public:
    bool StopPreview(bool hide) override {
        calls.push_back(hide ? "stop+hide" : "stop");
        return true;
    }
    bool StartPreview(LUCAM_FRAME_FORMAT* f, float rate) override {
        calls.push_back("start");
        format = *f;
        startRate = rate;
        return true;
    }
    std::vector<std::string> calls;
    LUCAM_FRAME_FORMAT format{};
    float startRate = -1;
};
} // namespace

TEST_F(DataCamera, TwoCamerasOpenDataAsOneAndFocusAsTwo) {
    Start(SimCameraSettings{});
    ASSERT_TRUE(cams.OpenCameras());
    EXPECT_TRUE(cams.m_dataCameraOnline);
    EXPECT_TRUE(cams.m_focusCameraOnline);
    ULONG id = 0;
    ASSERT_TRUE(LucamGetCameraId(cams.m_hFocusCamera, &id));
    EXPECT_EQ(id, ULONG(LUCAM_ID_LW11050));
    EXPECT_EQ(cams.m_hDataCamera, LucamCameraOpen(1));
    EXPECT_TRUE(prompts.Messages().empty());
    // A second call keeps the opened cameras.
    HANDLE data = cams.m_hDataCamera;
    EXPECT_TRUE(cams.OpenCameras());
    EXPECT_EQ(cams.m_hDataCamera, data);
}

TEST_F(DataCamera, OneCameraIsNoDataCamera) {
    SimCameraSettings s;
    s.cameraCount = 1;
    Start(s);
    EXPECT_FALSE(cams.OpenCameras());
    EXPECT_FALSE(cams.m_dataCameraOnline);
    EXPECT_EQ(prompts.Texts(), std::vector<std::string>{"Unable to connect with the data camera !"});
}

TEST_F(DataCamera, NoCameraSaysNothing) {
    SimCameraSettings s;
    s.cameraCount = 0;
    Start(s);
    EXPECT_FALSE(cams.OpenCameras());
    EXPECT_TRUE(prompts.Messages().empty());
}

TEST_F(DataCamera, RefusedReadsAtOpeningAreReportedAndOpeningGoesOn) {
    SimCameraSettings s;
    s.refuseGetFormat = true;
    s.refusedProperties = {LUCAM_PROP_COLOR_FORMAT};
    Start(s);
    EXPECT_TRUE(cams.OpenCameras());
    const auto shown = prompts.Messages();
    ASSERT_EQ(shown.size(), 4u);
    EXPECT_EQ(shown[0].text, "Unable to get camera focus format. Capture frames may not work properly.");
    EXPECT_EQ(shown[0].caption, "Get Fromat");
    EXPECT_EQ(shown[1].text, "Unable to get the color properties of the camera.");
    EXPECT_EQ(shown[2].text, "Unable to get camera data format. Capture frames may not work properly.");
    EXPECT_EQ(shown[2].caption, "Get Fromat");
    EXPECT_EQ(shown[3].text, "Unable to get the color properties of the camera.");
}

TEST_F(DataCamera, RateWalkStartsAtTheLastRateAndKeepsTheFirstThatMeetsTheExposure) {
    SimCameraSettings s;
    // Exposure is limited to 1000/rate - 1 ms: 20 fps -> 49 ms, 10 -> 99, 5 -> 199.
    s.dataRates = {5.0f, 10.0f, 20.0f};
    Start(s);
    ASSERT_TRUE(cams.OpenCameras());
    CameraSettingsValues v;
    v.exposure = 150.0;
    cams.ConfigureDataCamera(v);
    EXPECT_EQ(cams.m_ratesTried, (std::vector<float>{20.0f, 10.0f, 5.0f}));
    EXPECT_FLOAT_EQ(cams.m_dataFrameRate, 5.0f);
    EXPECT_DOUBLE_EQ(v.exposure, 150.0);
    EXPECT_TRUE(cams.m_streaming.load());
    EXPECT_EQ(cams.m_dataFormat.binningX, 2);
    EXPECT_EQ(cams.m_dataFormat.binningY, 2);
    EXPECT_EQ(cams.m_dataFormat.pixelFormat, ULONG(LUCAM_PF_16));
    EXPECT_TRUE(cams.m_dataFormat.flagsX & LUCAM_FRAME_FORMAT_FLAGS_BINNING);
    EXPECT_TRUE(prompts.Messages().empty());
}

TEST_F(DataCamera, ExactlyTwoMillisecondsShortIsRefused) {
    SimCameraSettings s;
    s.dataRates = {10.0f, 20.0f};
    Start(s);
    ASSERT_TRUE(cams.OpenCameras());
    CameraSettingsValues v;
    v.exposure = 51.0; // at 20 fps the camera gives 49 ms: 51 - 49 = 2.0 is not accepted
    cams.ConfigureDataCamera(v);
    EXPECT_EQ(cams.m_ratesTried, (std::vector<float>{20.0f, 10.0f}));
    EXPECT_FLOAT_EQ(cams.m_dataFrameRate, 10.0f);
    EXPECT_DOUBLE_EQ(v.exposure, 51.0);
}

TEST_F(DataCamera, ReportedExposureReplacesTheRequestWithinTwoMilliseconds) {
    SimCameraSettings s;
    s.dataRates = {20.0f};
    Start(s);
    ASSERT_TRUE(cams.OpenCameras());
    CameraSettingsValues v;
    v.exposure = 50.5; // the camera gives 49 ms: 1.5 ms short is accepted and 49 written back
    cams.ConfigureDataCamera(v);
    EXPECT_DOUBLE_EQ(v.exposure, 49.0);
}

TEST_F(DataCamera, NoRateMeetsTheExposure) {
    SimCameraSettings s;
    s.dataRates = {10.0f, 20.0f};
    Start(s);
    ASSERT_TRUE(cams.OpenCameras());
    CameraSettingsValues v;
    v.exposure = 500.0;
    cams.ConfigureDataCamera(v);
    // The first element of the list stays set and the requested exposure is kept.
    EXPECT_FLOAT_EQ(cams.m_dataFrameRate, 10.0f);
    EXPECT_DOUBLE_EQ(v.exposure, 500.0);
}

TEST_F(DataCamera, RefusedSettingsStopTheConfigurationWithTheirMessage) {
    struct Case {
        std::set<uint32_t> refused;
        bool refuseFormat;
        std::string message;
    };
    const Case cases[] = {
        {{LUCAM_PROP_EXPOSURE}, false, "Unable to set new exposure on Data camera."},
        {{LUCAM_PROP_GAIN}, false, "Unable to set new gain on Data camera."},
        {{}, true, "Unable to set data camera format !"},
    };
    for (const Case& c : cases) {
        SimCameraSettings s;
        s.refusedProperties = c.refused;
        s.refuseSetFormat = c.refuseFormat;
        Start(s);
        prompts.Clear();
        DataCameraControl local(prompts);
        ASSERT_TRUE(local.OpenCameras());
        CameraSettingsValues v;
        local.ConfigureDataCamera(v);
        EXPECT_EQ(prompts.Texts(), std::vector<std::string>{c.message});
        EXPECT_FALSE(local.m_streaming.load()) << c.message;
    }
}

TEST_F(DataCamera, FocusCameraGetsSubsamplingAndItsPreviewRestarts) {
    Start(SimCameraSettings{});
    ASSERT_TRUE(cams.OpenCameras());
    RecordingPreview preview;
    cams.ConfigureFocusCamera(&preview);
    EXPECT_EQ(preview.calls, (std::vector<std::string>{"stop+hide", "start"}));
    EXPECT_EQ(preview.format.subSampleX, 2);
    EXPECT_EQ(preview.format.subSampleY, 2);
    EXPECT_FALSE(preview.format.flagsX & LUCAM_FRAME_FORMAT_FLAGS_BINNING);
    EXPECT_FLOAT_EQ(preview.startRate, 0.0f);
    EXPECT_TRUE(prompts.Messages().empty());
}

TEST_F(DataCamera, StreamingDeliversFramesOfTheBinnedSize) {
    SimCameraSettings s;
    s.clockScale = 10.0;
    Start(s);
    ASSERT_TRUE(cams.OpenCameras());
    struct Sink {
        std::atomic<int> frames{0};
        std::atomic<uint32_t> length{0};
    } sink;
    LucamAddStreamingCallback(
        cams.m_hDataCamera,
        [](void* ctx, BYTE*, ULONG len) {
            auto* k = static_cast<Sink*>(ctx);
            k->length = len;
            ++k->frames;
        },
        &sink);
    CameraSettingsValues v;
    cams.ConfigureDataCamera(v);
    for (int i = 0; i < 200 && sink.frames.load() < 3; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    cams.StopDataStream();
    EXPECT_GE(sink.frames.load(), 3);
    EXPECT_EQ(sink.length.load(), 696u * 520u * 2u);
}
