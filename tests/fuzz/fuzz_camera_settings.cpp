// The camera settings file: any content reads without a crash or undefined behaviour, every value
// taken is inside its range, and what was read is written and read back unchanged.
#include "FuzzSupport.h"
#include "camera/CameraSettings.h"

#include <cmath>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = InputFile(data, size, "camera");
    CameraSettingsValues v;
    std::array<int32_t, 3> rgb = kDefaultRgbBands;
    const CameraSettingsReadResult r = ReadCameraSettingsFile(path, v, rgb, 128);
    FuzzCheck(r.opened, "the file opens");
    FuzzCheck(v.exposure >= ValueRange::kMinIntegrationMs && v.exposure <= ValueRange::kMaxIntegrationMs,
              "integration in range");
    FuzzCheck(v.gain >= ValueRange::kMinGain && v.gain <= ValueRange::kMaxGain, "gain in range");
    FuzzCheck(v.secondExposure >= 0.0 && v.secondExposure <= ValueRange::kMaxIntegrationMs,
              "second integration");
    FuzzCheck(v.secondGain >= 0 && v.secondGain <= ValueRange::kMaxGain, "second gain");
    const int32_t bands = v.Bands();
    FuzzCheck(bands == 60 || bands == 128 || bands == 180 || bands == 240, "band count");
    for (int32_t b : rgb)
        FuzzCheck(b >= 0 && b < 128, "colour bands inside the lists");
    FuzzCheck(r.fieldsLine1 >= 0 && r.fieldsLine1 <= 6 && r.fieldsLine2 >= 0 && r.fieldsLine2 <= 3,
              "field counts");
    (void)CameraSettingsProblemText(r);

    // Written and read back: the same text, with nothing to report.
    const std::string text = CameraSettingsText(v, rgb);
    const std::string again =
        InputFile(reinterpret_cast<const uint8_t*>(text.data()), text.size(), "camera-again");
    CameraSettingsValues back;
    std::array<int32_t, 3> rgbBack = kDefaultRgbBands;
    const CameraSettingsReadResult r2 = ReadCameraSettingsFile(again, back, rgbBack, 128);
    FuzzCheck(r2.problems.Empty(), "a written file reads without problems");
    FuzzCheck(CameraSettingsText(back, rgbBack) == text, "round trip");
    return 0;
}
