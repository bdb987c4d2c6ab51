#pragma once
// Camera settings: the data camera's integration time and gain, the cube geometry and the colour
// composite bands, kept in "./Settings/ARV300_Camera_Settings.txt":
//   line 1  "%d %d %lf %d %lf %d\n"  band count, binning code, exposure (ms), gain, second exposure, second gain
//   line 2  "%d %d %d\n"             R, G, B band indices of the colour composite
#include "core/ValueRanges.h"

#include <array>
#include <cstdint>
#include <string>

inline constexpr const char* kCameraSettingsPath = "./Settings/ARV300_Camera_Settings.txt";
inline constexpr const char* kMsgCameraSettingsOpen = "unable to open ARV300_Camera_Settings.txt";
inline constexpr const char* kMsgCameraSettingsCreate = "unable to create ARV300_Camera_Settings.txt";

// Default colour composite bands (the R, G, B edits of the main window).
inline constexpr std::array<int32_t, 3> kDefaultRgbBands = {47, 27, 58};

// Band count <-> band code: 0 -> 60, 1 -> 128, 2 -> 180, 3 -> 240; any other count -> code 1 (128).
int32_t BandCountFromCode(int32_t code);
int32_t BandCodeFromCount(int32_t count);

struct CameraSettingsValues {
    int32_t binningCode = 0;
    int32_t frameHeight = 520;
    int32_t frameWidth = 696;
    double exposure = 10.0; // milliseconds ("Integration")
    int32_t gain = 1;       // "Gain"
    int32_t bandsCode = 1;  // 128 bands
    double secondExposure = 0.0;
    int32_t secondGain = 0;
    int32_t widthMode = 1;

    int32_t Bands() const { return BandCountFromCode(bandsCode); }
    void SetBands(int32_t count) { bandsCode = BandCodeFromCount(count); }
    // The camera's spectral binning factor, used by the band-to-wavelength formula.
    static constexpr int32_t SpectralBinningFactor() { return 2; }
};

struct CameraSettingsReadResult {
    bool opened = false;
    int fieldsLine1 = 0; // fields read from line 1 (0..6), taken or refused
    int fieldsLine2 = 0; // fields read from line 2 (0..3)
    bool rgbReplaced = false; // an R, G or B index was outside 0..B-1 and was replaced by its default
    ValueProblems problems;   // values refused or not readable, one text each
};

// Reads the file, independent of the locale. Every number is checked where it enters: the
// integration must be between ValueRange::kMinIntegrationMs and kMaxIntegrationMs, the gain between
// kMinGain and kMaxGain, the hidden second integration and gain within the same limits or 0,
// the band count and binning code whole numbers of 32 bits (any other count reads as 128).
// A value outside its range is refused and its field keeps its current value; text that is not a
// number ends its line (the fields after it keep theirs); a short line leaves the rest. R, G, B
// indices outside 0 ... bandsForRgbCheck-1 are replaced by kDefaultRgbBands. Every refusal is
// listed in problems.
CameraSettingsReadResult ReadCameraSettingsFile(const std::string& path, CameraSettingsValues& values,
                                                std::array<int32_t, 3>& rgbBands, int32_t bandsForRgbCheck);
// The message for the problems of a read ("ARV300_Camera_Settings.txt: ..."); empty when none.
std::string CameraSettingsProblemText(const CameraSettingsReadResult& result);
// Writes the file (created or truncated); false when it cannot be created or written.
bool WriteCameraSettingsFile(const std::string& path, const CameraSettingsValues& values,
                             const std::array<int32_t, 3>& rgbSelections);
// The text of the file, as written.
std::string CameraSettingsText(const CameraSettingsValues& values, const std::array<int32_t, 3>& rgbSelections);
