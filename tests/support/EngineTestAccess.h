#pragma once
// Puts an acquisition engine into states the program reaches only in the middle of an acquisition
// (a busy engine, a cube being acquired, a line index), and lets a test write buffers directly to
// set up a picture or a file. Reads go through the engine's own interface; this is for set-up only.
#include "camera/AcquisitionEngine.h"

#include <mutex>

class EngineTestAccess {
public:
    static void SetBusy(AcquisitionEngine& e, bool busy) { e.m_busy = busy; }
    static void SetAcquiringCube(AcquisitionEngine& e, bool on) { e.m_acquireCube = on; }
    static void SetAcquiringDark(AcquisitionEngine& e, bool on) { e.m_acquireDark = on; }
    static void SetSpectralDisplayMode(AcquisitionEngine& e, bool on) { e.m_spectralDisplayMode = on; }
    static void SetLineIndex(AcquisitionEngine& e, int line) { e.m_lineIndex = line; }
    static void SetLastLineHigh(AcquisitionEngine& e, int64_t high) { e.m_lastLineHigh = high; }
    static void SetGainsLoaded(AcquisitionEngine& e, bool loaded) { e.m_calibration.m_gainsLoaded = loaded; }

    // Buffers written by the test (no acquisition runs, or the test holds the locks it needs).
    static std::vector<uint16_t>& Cube(AcquisitionEngine& e) { return e.m_cube; }
    static std::vector<uint16_t>& StackBuffer(AcquisitionEngine& e, AcquisitionEngine::Stack stack) {
        return stack == AcquisitionEngine::Stack::Dark ? e.m_darkCube : e.m_calCube;
    }
    // The display buffer under its lock, for the length of f.
    template <typename F> static void WithFrameImage(AcquisitionEngine& e, F f) {
        std::lock_guard lock(e.m_frameImageMutex);
        f(e.m_frameImage);
    }
    // The dark frame and the gains under the store's lock, for the length of f(dark, gains).
    template <typename F> static void WithCalibration(AcquisitionEngine& e, F f) {
        CalibrationStore& c = e.m_calibration;
        std::lock_guard lock(c.m_mutex);
        f(c.m_darkFrame, c.m_gains);
    }

    // Copies of whole buffers for reading (the dark frame and gains as allocated, W x B); const, so
    // that a test cannot write into a copy by mistake.
    static const std::vector<uint16_t> DarkFrame(const AcquisitionEngine& e) {
        return e.Calibration().CopyDarkFrame(e.Calibration().Size());
    }
    static const std::vector<float> Gains(const AcquisitionEngine& e) {
        return e.Calibration().CopyGains(e.Calibration().Size());
    }
    static const std::vector<uint32_t> FrameImage(const AcquisitionEngine& e) {
        std::lock_guard lock(e.m_frameImageMutex);
        return e.m_frameImage;
    }
    static const std::vector<uint16_t> ColourPlane(const AcquisitionEngine& e, int plane) {
        std::lock_guard lock(e.m_frameImageMutex);
        return e.m_rgbPlanes[size_t(plane)];
    }
};
