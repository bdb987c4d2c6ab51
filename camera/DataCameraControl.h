#pragma once
// Opening and configuring the two cameras: the data camera behind the spectrograph and the focus
// camera that feeds the preview window. Runs on the window thread.
#include "camera/CameraSettings.h"
#include "camera/lucam.h"
#include "core/UserPrompts.h"

#include <atomic>
#include <string>
#include <vector>

namespace CameraMsg {
inline constexpr const char* kFocusId = "Failed to get focus camera id.";
inline constexpr const char* kFocusFormat = "Unable to get camera focus format. Capture frames may not work properly.";
inline constexpr const char* kDataId = "Failed to get data camera id.";
inline constexpr const char* kDataFormat = "Unable to get camera data format. Capture frames may not work properly.";
inline constexpr const char* kFormatCaption = "Get Fromat";
inline constexpr const char* kColor = "Unable to get the color properties of the camera.";
inline constexpr const char* kNoFocus = "Unable to connect with the focus camera !";
inline constexpr const char* kNoData = "Unable to connect with the data camera !";
inline constexpr const char* kSetExposure = "Unable to set new exposure on Data camera.";
inline constexpr const char* kSetGain = "Unable to set new gain on Data camera.";
inline constexpr const char* kSetDataFormat = "Unable to set data camera format !";
inline constexpr const char* kGetDataFormat = "Unable to get camera Data format. New window size not set.";
inline constexpr const char* kGetFocusFormat = "Unable to get focus camera video format. New window size not set.";
inline constexpr const char* kAutoExposure = "Failed to change the auto exposure target.";
inline constexpr const char* kSetFocusFormat = "Unable to set focus camera Format and frame rate !";
} // namespace CameraMsg

// The focus preview window as seen from the camera configuration.
class FocusPreview {
public:
    virtual ~FocusPreview() = default;
    virtual bool StopPreview(bool hide) = 0;
    virtual bool StartPreview(LUCAM_FRAME_FORMAT* format, float frameRate) = 0;
};

class DataCameraControl {
public:
    explicit DataCameraControl(UserPrompts& prompts) : m_prompts(prompts) {}

    // True when the data camera is open.
    bool OpenCameras();
    // Exposure, gain, 2 x 2 binning, 16-bit pixels and the fastest rate at which the exposure is met;
    // (re)starts streaming. The accepted exposure is written back into settings.
    void ConfigureDataCamera(CameraSettingsValues& settings);
    // Automatic exposure and 2 x 2 subsampling for the focus camera; restarts its preview.
    void ConfigureFocusCamera(FocusPreview* preview);
    // Starts the data stream if it is not running; returns m_streaming.
    bool StartDataStream();
    // Stops the data stream; false when the camera refused.
    bool StopDataStream();
    // The data camera as the record of a run names it: "id 0x1C8, serial 20113, firmware 0x105,
    // FPGA 0x20"; "none" while it is not open.
    std::string DataCameraIdentification() const;

    HANDLE m_hDataCamera = nullptr;
    HANDLE m_hFocusCamera = nullptr;
    bool m_dataCameraOnline = false;
    bool m_focusCameraOnline = false;
    LUCAM_FRAME_FORMAT m_dataFormat{};
    float m_dataFrameRate = 0.0f;
    LUCAM_FRAME_FORMAT m_focusFormat{};
    float m_focusFrameRate = 0.0f;
    std::atomic<bool> m_streaming{false};

    // Read at opening; nothing else uses them.
    struct CameraFacts {
        bool opened = false;
        ULONG id = 0;
        int maxWidth = 0;
        int maxHeight = 0;
        bool color = false;
    };
    CameraFacts m_dataFacts, m_focusFacts;

    // The rate list the last ConfigureDataCamera walked, and the rates it tried, in order (for tests
    // and diagnostics).
    std::vector<float> m_rateList;
    std::vector<float> m_ratesTried;

private:
    void ReadFacts(HANDLE camera, CameraFacts& facts, LUCAM_FRAME_FORMAT& format, float& rate, const char* idMsg,
                   const char* formatMsg);
    UserPrompts& m_prompts;
};
