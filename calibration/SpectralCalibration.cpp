#include "calibration/SpectralCalibration.h"

#include <cstdio>

namespace {
constexpr const char* kModeTexts[SpectralCal::kModes] = {"1x1", "1x2", "1x4", "1x8",
                                                         "2x1", "2x2", "2x4", "2x8"};

// "%s_%s" of prefix and mode text, then the rest of the name.
std::string JoinName(const std::string& prefix, int k, const std::string& rest) {
    return prefix + "_" + SpectralCalModeText(k) + rest;
}
} // namespace

const char* SpectralCalModeText(int k) {
    return (k >= 1 && k <= SpectralCal::kModes) ? kModeTexts[k - 1] : "";
}

int SpectralCalHighestExposure(int k) {
    return k == 2 ? SpectralCal::kHighestExposure1x2 : SpectralCal::kHighestExposure;
}

std::string CalFileListName(const std::string& prefix, int k) {
    return JoinName(prefix, k, "_CalFileList.txt");
}

std::string WavelengthListName(const std::string& prefix, int k) {
    return JoinName(prefix, k, "_WavelengthList.txt");
}

std::string CalFileName(const std::string& prefix, int k, int wavelength) {
    return JoinName(prefix, k, "_" + std::to_string(wavelength) + ".cal");
}

void BinCalibrationFrame(const uint16_t* frame, int width, int bands, uint16_t* work) {
    const size_t W = size_t(width);
    for (int k = 0; k < bands; ++k) {
        const uint16_t* r0 = frame + size_t(4 * (bands - 1 - k)) * W;
        const uint16_t* r1 = r0 + W;
        const uint16_t* r2 = r1 + W;
        const uint16_t* r3 = r2 + W;
        uint16_t* out = work + size_t(k) * W;
        for (size_t x = 0; x < W; ++x) {
            // Mean of the four pixels kept in 16 bits, then its 12 significant bits.
            const uint16_t mean = uint16_t((uint32_t(r0[x]) + r1[x] + r2[x] + r3[x]) >> 2);
            out[x] = uint16_t(mean >> 4);
        }
    }
}

FramePeak FindFramePeak(const uint16_t* work, int width, int bands) {
    FramePeak peak;
    bool first = true;
    for (int k = 0; k < bands; ++k) {
        const uint16_t* row = work + size_t(k) * size_t(width);
        for (int x = 0; x < width; ++x) {
            if (first || row[x] > peak.value) {
                peak.value = row[x];
                peak.band = k;
                first = false;
            }
        }
    }
    return peak;
}

void CopyWorkFrameToSlot(const uint16_t* work, int width, int bands, bool reverseColumns, uint16_t* slot) {
    const size_t W = size_t(width);
    for (int b = 0; b < bands; ++b) {
        const uint16_t* in = work + size_t(b) * W;
        uint16_t* out = slot + size_t(bands - 1 - b) * W;
        if (reverseColumns) {
            for (size_t x = 0; x < W; ++x)
                out[W - 1 - x] = in[x];
        } else {
            for (size_t x = 0; x < W; ++x)
                out[x] = in[x];
        }
    }
}

PeakDecision CheckSpectralPeak(int k, int peak, double exposure) {
    using namespace SpectralCal;
    PeakDecision d;
    if (peak >= kLowLimit && peak <= kSaturationLimit)
        return d;
    if (k == 1) {
        d.action = peak < kLowLimit ? PeakAction::EndLineLow : PeakAction::EndLineSaturated;
        return d;
    }
    // Modes 1x2, 1x4 and 1x8 keep the frame at the limits; modes 2x1 ... 2x8 end the run.
    const bool keepAtLimit = k >= 2 && k <= 4;
    const int current = int(exposure);
    if (peak < kLowLimit) {
        d.newExposure = current + kExposureStep;
        if (k == 2) {
            char text[64];
            std::snprintf(text, sizeof text, SpectralCalMsg::kIncreasingTo, d.newExposure);
            d.status = text;
        } else {
            d.status = SpectralCalMsg::kIncreasing;
        }
        if (d.newExposure > SpectralCalHighestExposure(k))
            d.action = keepAtLimit ? PeakAction::Accept : PeakAction::EndHighExposure;
        else
            d.action = PeakAction::Retry;
        return d;
    }
    d.newExposure = current - kExposureStep;
    d.status = SpectralCalMsg::kDecreasing;
    if (d.newExposure < kLowestExposure)
        d.action = keepAtLimit ? PeakAction::Accept : PeakAction::EndLowExposure;
    else
        d.action = PeakAction::Retry;
    return d;
}
