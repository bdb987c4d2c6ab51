#include "camera/DataCameraControl.h"

#include <cmath>
#include <cstdio>

void DataCameraControl::ReadFacts(HANDLE camera, CameraFacts& facts, LUCAM_FRAME_FORMAT& format, float& rate,
                                  const char* idMsg, const char* formatMsg) {
    facts.opened = true;
    if (!LucamGetCameraId(camera, &facts.id))
        m_prompts.Message(idMsg);
    FLOAT value = 0;
    LONG flags = 0;
    facts.maxWidth = LucamGetProperty(camera, LUCAM_PROP_MAX_WIDTH, &value, &flags) ? int(value) : 0;
    facts.maxHeight = LucamGetProperty(camera, LUCAM_PROP_MAX_HEIGHT, &value, &flags) ? int(value) : 0;
    if (!LucamGetFormat(camera, &format, &rate))
        m_prompts.Message(formatMsg, CameraMsg::kFormatCaption);
    if (!LucamGetProperty(camera, LUCAM_PROP_COLOR_FORMAT, &value, &flags)) {
        m_prompts.Message(CameraMsg::kColor);
        facts.color = false;
    } else {
        facts.color = value != 0;
    }
}

bool DataCameraControl::OpenCameras() {
    if (!(m_dataFacts.opened && m_focusFacts.opened)) {
        const LONG n = LucamNumCameras();
        if (n == 0)
            return false;
        if (n >= 1) {
            std::vector<LUCAM_VERSION> versions(static_cast<size_t>(n));
            LucamEnumCameras(versions.data(), ULONG(n));
            // The highest-numbered camera is the focus camera, the one before it the data camera.
            m_hFocusCamera = LucamCameraOpen(ULONG(n));
            m_hDataCamera = LucamCameraOpen(ULONG(n - 1));
            if (m_hFocusCamera)
                ReadFacts(m_hFocusCamera, m_focusFacts, m_focusFormat, m_focusFrameRate, CameraMsg::kFocusId,
                          CameraMsg::kFocusFormat);
            if (!m_hDataCamera) {
                m_prompts.Message(m_hFocusCamera ? CameraMsg::kNoData : CameraMsg::kNoFocus);
                return false;
            }
            ReadFacts(m_hDataCamera, m_dataFacts, m_dataFormat, m_dataFrameRate, CameraMsg::kDataId,
                      CameraMsg::kDataFormat);
        }
    }
    m_focusCameraOnline = m_focusFacts.opened;
    m_dataCameraOnline = m_dataFacts.opened;
    return m_dataCameraOnline;
}

void DataCameraControl::ConfigureDataCamera(CameraSettingsValues& settings) {
    HANDLE h = m_hDataCamera;
    float exposure = float(settings.exposure);
    const float gain = float(settings.gain);

    m_dataFrameRate = 18.9f;
    const LONG count = LucamEnumAvailableFrameRates(h, 0, nullptr);
    m_rateList.assign(size_t(count > 0 ? count : 0), 0.0f);
    m_ratesTried.clear();
    if (count > 0) {
        // The list is filled with room announced for 1000 entries; only count are kept.
        std::vector<FLOAT> room(1000, 0.0f);
        const LONG filled = LucamEnumAvailableFrameRates(h, 1000, room.data());
        const size_t keep = size_t(std::min<LONG>(count, std::max<LONG>(filled, 0)));
        m_rateList.assign(room.begin(), room.begin() + long(keep));
        if (!m_rateList.empty())
            m_dataFrameRate = m_rateList.back();
    }

    if (!LucamSetProperty(h, LUCAM_PROP_EXPOSURE, exposure, 0)) {
        m_prompts.Message(CameraMsg::kSetExposure);
        return;
    }
    if (!LucamSetProperty(h, LUCAM_PROP_GAIN, gain, 0)) {
        m_prompts.Message(CameraMsg::kSetGain);
        return;
    }
    m_dataFormat.binningX = 2;
    m_dataFormat.binningY = 2;
    m_dataFormat.flagsX |= LUCAM_FRAME_FORMAT_FLAGS_BINNING;
    m_dataFormat.flagsY |= LUCAM_FRAME_FORMAT_FLAGS_BINNING;
    m_dataFormat.pixelFormat = LUCAM_PF_16;

    StopDataStream();

    // Walk the rates from the last (fastest) back to the first and keep the first one at which the
    // camera delivers the requested exposure to within 2 ms.
    const float requested = exposure;
    for (size_t i = 0; i < m_rateList.size(); ++i) {
        const float rate = m_rateList[m_rateList.size() - 1 - i];
        m_ratesTried.push_back(rate);
        if (!LucamSetFormat(h, &m_dataFormat, rate)) {
            m_prompts.Message(CameraMsg::kSetDataFormat);
            return;
        }
        m_dataFrameRate = rate;
        if (!LucamSetProperty(h, LUCAM_PROP_EXPOSURE, requested, 0)) {
            m_prompts.Message(CameraMsg::kSetExposure);
            return;
        }
        FLOAT reported = 0;
        LONG flags = 0;
        if (!LucamGetProperty(h, LUCAM_PROP_EXPOSURE, &reported, &flags)) {
            m_prompts.Message(CameraMsg::kSetExposure);
            return;
        }
        if (requested - reported < 2.0f) {
            exposure = reported;
            break;
        }
    }
    settings.exposure = exposure;

    if (!LucamGetFormat(h, &m_dataFormat, &m_dataFrameRate)) {
        m_prompts.Message(CameraMsg::kGetDataFormat);
        return;
    }
    StartDataStream();
    if (!LucamGetFormat(h, &m_dataFormat, &m_dataFrameRate))
        m_prompts.Message(CameraMsg::kGetDataFormat);
}

void DataCameraControl::ConfigureFocusCamera(FocusPreview* preview) {
    HANDLE h = m_hFocusCamera;
    m_focusFrameRate = 18.9f;
    if (!LucamGetFormat(h, &m_focusFormat, &m_focusFrameRate)) {
        m_prompts.Message(CameraMsg::kGetFocusFormat);
        return;
    }
    if (!LucamContinuousAutoExposureEnable(h, 152, 0, 0, 0, 0, 0.0f))
        m_prompts.Message(CameraMsg::kAutoExposure);
    m_focusFormat.subSampleX = 2;
    m_focusFormat.subSampleY = 2;
    m_focusFormat.flagsX &= USHORT(~LUCAM_FRAME_FORMAT_FLAGS_BINNING);
    m_focusFormat.flagsY &= USHORT(~LUCAM_FRAME_FORMAT_FLAGS_BINNING);
    LucamStreamVideoControl(h, STOP_STREAMING, nullptr);
    if (preview)
        preview->StopPreview(true);
    if (!LucamSetFormat(h, &m_focusFormat, 0.0f))
        m_prompts.Message(CameraMsg::kSetFocusFormat);
    if (LucamGetFormat(h, &m_focusFormat, &m_focusFrameRate)) {
        if (preview)
            preview->StartPreview(&m_focusFormat, 0.0f);
        LucamGetFormat(h, &m_focusFormat, &m_focusFrameRate);
    } else {
        m_prompts.Message(CameraMsg::kGetFocusFormat);
    }
}

bool DataCameraControl::StartDataStream() {
    if (!m_streaming.load())
        m_streaming = LucamStreamVideoControl(m_hDataCamera, START_STREAMING, nullptr) != 0;
    return m_streaming.load();
}

bool DataCameraControl::StopDataStream() {
    const bool ok = LucamStreamVideoControl(m_hDataCamera, STOP_STREAMING, nullptr) != 0;
    if (ok)
        m_streaming = false;
    return ok;
}

std::string DataCameraControl::DataCameraIdentification() const {
    if (!m_hDataCamera)
        return "none";
    LUCAM_VERSION version{};
    char text[160];
    if (LucamQueryVersion(m_hDataCamera, &version))
        std::snprintf(text, sizeof text, "id 0x%X, serial %u, firmware 0x%X, FPGA 0x%X",
                      unsigned(m_dataFacts.id), unsigned(version.serialnumber), unsigned(version.firmware),
                      unsigned(version.fpga));
    else
        std::snprintf(text, sizeof text, "id 0x%X", unsigned(m_dataFacts.id));
    return text;
}
