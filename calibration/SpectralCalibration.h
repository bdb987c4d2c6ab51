#pragma once
// The rules of the spectral calibration run: the eight binning modes and their file names, the
// binning of a camera frame into a calibration work frame, the peak search, the copy of an accepted
// frame into the calibration stack and the integration-time rule of the peak check.
//
// A work frame is B x W values: band k, frame column x at k*W + x (every column, not only the H
// sample columns of a cube line). A slot of the calibration stack has the same size; the stack
// holds darkLines slots at a stride of B*W values.
#include <cstdint>
#include <string>

namespace SpectralCalMsg {
inline constexpr const char* kStarting = "Starting calibration process..";
inline constexpr const char* kEnd = "End Cal !";
inline constexpr const char* kListFile = "List FileNotOpen";
inline constexpr const char* kLineLow =
    "Spectral Line is low: %d at %d.\nIncrease integration time or turn up source.";
inline constexpr const char* kLineSaturated =
    "Spectral Line is saturated: %d at %d.\nDecrease integration time or turn down source.";
inline constexpr const char* kIncreasing = "Increasing Integration Time";
inline constexpr const char* kIncreasingTo = "Increasing Integration Time to: %d";
inline constexpr const char* kDecreasing = "Decreasing Integration Time";
inline constexpr const char* kHighExposure = "Unable to set High exposure";
inline constexpr const char* kLowExposure = "Unable to set Low exposure";
// Not in the instrument's original texts: the run cannot go on without frames, or an exposure that
// never settles (a flickering source).
inline constexpr const char* kNoFrame = "No frame from the data camera: spectral calibration stopped.";
inline constexpr const char* kUnsettled =
    "Integration time does not settle at %d nm: spectral calibration stopped.";
} // namespace SpectralCalMsg

namespace SpectralCal {
inline constexpr int kModes = 8;
inline constexpr int kLowLimit = 300;
inline constexpr int kSaturationLimit = 3500;
inline constexpr int kExposureStep = 50;
inline constexpr int kLowestExposure = 10;
inline constexpr int kHighestExposure = 600;
inline constexpr int kHighestExposure1x2 = 300;
// Exposure changes allowed for one wavelength before the run gives up (the exposure only moves in
// steps of 50 between 10 and 600, so a steady source needs far fewer).
inline constexpr int kMaxRetriesPerWavelength = 64;
// First two lines of a list file.
inline constexpr int kListWidth = 1024;
inline constexpr int kListHeight = 480;
} // namespace SpectralCal

// Mode text of mode k (1..8): "1x1", "1x2", "1x4", "1x8", "2x1", "2x2", "2x4", "2x8"; "" otherwise.
const char* SpectralCalModeText(int k);
// Highest exposure of mode k: 300 for 1x2, 600 for the others.
int SpectralCalHighestExposure(int k);

// "%s_%s_CalFileList.txt", "%s_%s_WavelengthList.txt" and "%s_%s_%d.cal" of prefix, mode text and
// wavelength.
std::string CalFileListName(const std::string& prefix, int k);
std::string WavelengthListName(const std::string& prefix, int k);
std::string CalFileName(const std::string& prefix, int k, int wavelength);

// Bins a W x H frame of 16-bit pixels (row * W + column) into a work frame: band k is the mean of
// the four rows 4(B-1-k) ... 4(B-1-k)+3 of each column, shifted right by 4 (as a cube line).
// The frame must have at least 4*B rows.
void BinCalibrationFrame(const uint16_t* frame, int width, int bands, uint16_t* work);

struct FramePeak {
    int value = 0; // largest value of the work frame
    int band = 0;  // its band, the first band on ties
};
FramePeak FindFramePeak(const uint16_t* work, int width, int bands);

// Copies a work frame into a stack slot with the band order reversed (work band b to band B-1-b);
// with reverseColumns also column x to column W-1-x.
void CopyWorkFrameToSlot(const uint16_t* work, int width, int bands, bool reverseColumns, uint16_t* slot);

// What the peak check does with a frame.
enum class PeakAction {
    Accept,           // keep the frame
    Retry,            // set newExposure and measure the wavelength again from its first frame
    EndLineLow,       // mode 1x1: the line is too weak (message, the run ends)
    EndLineSaturated, // mode 1x1: the line is saturated
    EndHighExposure,  // modes 2x*: the exposure would exceed the highest
    EndLowExposure,   // modes 2x*: the exposure would fall below the lowest
};
struct PeakDecision {
    PeakAction action = PeakAction::Accept;
    int newExposure = 0; // for Retry
    std::string status;  // status pane 2 text of an exposure change ("" when none)
};
// Peak check of mode k (1..8) for a frame peak at the current exposure (ms; taken as an integer).
PeakDecision CheckSpectralPeak(int k, int peak, double exposure);
