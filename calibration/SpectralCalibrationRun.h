#pragma once
// The spectral calibration run: the monochromator steps through the wavelengths of the dialog, and
// for each ticked binning mode the data camera's frames of each wavelength fill the calibration
// stack, which is saved as the wavelength's calibration file and named in the mode's list file.
// The peak check of every frame keeps the line between its limits by changing the integration time
// (SpectralCalibration.h); the texts it shows are the instrument's own.
//
// The run works on a thread of its own and reaches the devices, the stack and the window only
// through the callbacks of its Setup, all called on the run's thread. Every wait has its time limit:
// a frame comes within the take-frame limit or the run ends, and Stop ends the run at the next
// frame or wait (a stack under way is not saved, and its wavelength is not listed).
#include "calibration/CalibrationFiles.h"
#include "core/Geometry.h"
#include "core/StoppableWorker.h"

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct SpectralCalProgress {
    int mode = 0;        // 1..8
    int wavelength = 0;  // nm
    int frame = 0;       // frames of this wavelength accepted so far
    int frames = 0;      // frames of a stack
    int wavelengths = 0; // wavelengths of this mode done
    int steps = 0;       // wavelengths of a mode
};
// "Mode 2x2: 480 nm, frame 12 of 25".
std::string SpectralCalProgressText(const SpectralCalProgress& progress);

struct SpectralCalResult {
    bool completed = false; // every ticked mode went to its end ("End Cal !")
    bool stopped = false;   // Stop ended the run
};

class SpectralCalibrationRun {
public:
    struct Setup {
        std::array<bool, 8> modes{}; // 1x1 ... 2x8
        std::string prefix;
        int comPort = 4;
        int wavelengthStart = 450;
        int wavelengthEnd = 950;
        int wavelengthStep = 30;
        CubeGeometry geometry;
        double exposure = 10.0;  // integration time at the start (ms)
        double frameRate = 10.0; // of the data camera at the start (frames per second)

        // Moves the grating to wavelength; false when the port could not be reached (the callback
        // has told the operator), which ends the run.
        std::function<bool(int comPort, int wavelength)> moveMonochromator;
        // The scanning mirror to the centre of its travel (drive on, move, drive off).
        std::function<void()> moveMirrorToCentre;
        // True while an acquisition runs: mode 1x1 is then skipped.
        std::function<bool()> acquiring;
        // Configures the data camera with the settings of the run at the start of each mode, and
        // with a new integration time; both return the camera's frame rate.
        std::function<double()> applyCameraSettings;
        std::function<double(double exposure)> setExposure;
        // The next W x H frame of the data camera (16-bit pixels, row * W + column); false when none
        // came within timeoutMs.
        std::function<bool(std::vector<uint16_t>& frame, int timeoutMs)> takeFrame;
        // Writes count values of the calibration stack from offset on.
        std::function<void(size_t offset, const uint16_t* values, size_t count)> writeStack;
        // Saves the calibration stack as the file of mode k, with the integration time of its frames.
        std::function<FileResult(int k, const std::string& path, double exposure)> saveStack;
        // The calibration file of mode k was named (before it is saved).
        std::function<void(int k, const std::string& name)> fileNamed;
        // A message to the operator, and a text of status pane 2 or 3.
        std::function<void(const std::string& text)> message;
        std::function<void(int pane, const std::string& text)> status;
        // After each accepted frame and at the start of each wavelength.
        std::function<void(const SpectralCalProgress&)> progress;
        // Once, at the end of the run.
        std::function<void(const SpectralCalResult&)> finished;
    };

    SpectralCalibrationRun() = default;
    ~SpectralCalibrationRun(); // stops a run under way and waits for it
    SpectralCalibrationRun(const SpectralCalibrationRun&) = delete;
    SpectralCalibrationRun& operator=(const SpectralCalibrationRun&) = delete;

    // Starts a run; false while one goes on.
    bool Start(Setup setup);
    // The run ends at its next frame or wait; a wait under way ends at once.
    void Stop() { m_worker.Stop(); }
    bool Running() const { return m_worker.Running(); }
    // Waits for the run's thread (after its end, or after Stop).
    void Join() { m_worker.Join(); }

private:
    void Run(const Setup& setup);
    // One binning mode; false when a message or Stop ended the run.
    bool RunMode(const Setup& setup, int k);
    // Waits ms (scaled like every device wait); false when Stop came first.
    bool Wait(double ms);
    bool StopRequested() const { return m_worker.StopRequested(); }

    // The integration time and frame rate of the camera as the run left them (run's thread only).
    double m_exposure = 0;
    double m_frameRate = 0;
    // The run's thread (the destructor stops and joins it before the members above go).
    StoppableWorker m_worker;
};
