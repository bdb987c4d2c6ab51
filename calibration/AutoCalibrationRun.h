#pragma once
// The automatic calibration run: for each ticked binning mode, a calibration stack of a uniform
// source (an integrating sphere lit in white light) saved as an automatic calibration cube file,
// the flat field from which "Compute Rad. Cal. from Cal Cube..." makes the radiometric gains.
//
// The run works on a thread of its own; the window stays responsive and shows its progress. Each
// frame is taken with a time limit; Stop ends the run after the stack under way, which is saved
// whole, so every file the run leaves is complete. A stack is laid out as the spectral calibration
// run lays out its stacks: N frames of B x W values (every frame column), frame f at f*B*W, bands
// from the far end and the columns in reverse (SpectralCalibration.h).
#include "calibration/CalibrationFiles.h"
#include "core/Geometry.h"
#include "core/StoppableWorker.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace AutoCalMsg {
inline constexpr const char* kStarting = "Starting automatic calibration..";
inline constexpr const char* kNoMode =
    "No binning mode is ticked: the automatic calibration has nothing to acquire.";
inline constexpr const char* kFlatLow =
    "Flat field is low: %d in mode %s.\nIncrease integration time or turn up source.";
inline constexpr const char* kFlatSaturated =
    "Flat field is saturated: %d in mode %s.\nDecrease integration time or turn down source.";
inline constexpr const char* kNoFrame = "No frame from the data camera: automatic calibration stopped.";
} // namespace AutoCalMsg

// "%s_%s_flat.cal": prefix and mode text (mode k = 1..8 as in the spectral calibration run).
std::string AutoCalFileName(const std::string& prefix, int k);

struct AutoCalProgress {
    int mode = 0;       // 1..8
    int frame = 0;      // frames of this stack taken so far
    int frames = 0;     // frames of a stack
    int stacksDone = 0; // stacks saved before this one
    int stacks = 0;     // stacks of the run (ticked modes)
};
// "Mode 2x2: frame 12 of 25 (stack 1 of 3)".
std::string AutoCalProgressText(const AutoCalProgress& progress);

struct AutoCalResult {
    std::vector<std::pair<int, std::string>> files; // mode and file of each stack saved
    std::vector<std::string> unsaved;               // files that could not be written
    bool stopped = false;                           // Stop ended the run before its last mode
    std::string message;                            // why the run ended early ("" when it did not)
};
// "Automatic calibration: 3 of 3 files written." (or "... stopped after 1 of 3 files.").
std::string AutoCalSummary(const AutoCalResult& result, int stacks);

class AutoCalibrationRun {
public:
    struct Setup {
        std::array<bool, 8> modes{}; // 1x1 ... 2x8
        std::string prefix;
        CubeGeometry geometry;
        int frameTimeoutMs = 3000;
        // The next W x H frame of the data camera (16-bit pixels, row * W + column); false when none
        // came within timeoutMs.
        std::function<bool(std::vector<uint16_t>& frame, int timeoutMs)> takeFrame;
        // Writes a complete stack (N frames of B x W values) of mode k to path.
        std::function<FileResult(int k, const std::string& path, const std::vector<uint16_t>& stack)>
            saveStack;
        // Called on the run's thread after each frame, and once at the end.
        std::function<void(const AutoCalProgress&)> progress;
        std::function<void(const AutoCalResult&)> finished;
    };

    AutoCalibrationRun() = default;
    ~AutoCalibrationRun(); // abandons a run under way (its stack is not saved) and waits for it
    AutoCalibrationRun(const AutoCalibrationRun&) = delete;
    AutoCalibrationRun& operator=(const AutoCalibrationRun&) = delete;

    // Starts a run; false while one goes on.
    bool Start(Setup setup);
    // The run ends after the stack under way, which is saved.
    void Stop() { m_worker.Stop(); }
    bool Running() const { return m_worker.Running(); }
    // Waits for the run's thread (after its end, or after Stop).
    void Join() { m_worker.Join(); }

private:
    void Run(const Setup& setup);

    // Set by the destructor: the stack under way is dropped instead of finished.
    std::atomic<bool> m_abandon{false};
    // The run's thread (the destructor stops and joins it before the members above go).
    StoppableWorker m_worker;
};
