#pragma once
// The program's dark frame and radiometric gains, with their flags: the dark frame is valid once a
// dark stack was averaged, loaded or saved; the gains count as loaded once a gains file was read
// whole. The acquisition engine owns one; the window, the command line and the savers reach the
// values only through these operations, which take the store's lock themselves. Qt-free.
#include "calibration/CalibrationFiles.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

class CalibrationStore {
public:
    // (Re)allocates both for `values` values each: a dark frame of zeros, gains of 1.0; the dark
    // frame is then not valid and no gains are loaded.
    void Allocate(size_t values);
    size_t Size() const;

    bool DarkFrameValid() const { return m_darkFrameValid.load(); }
    void SetDarkFrameValid(bool valid) { m_darkFrameValid = valid; }
    bool GainsLoaded() const { return m_gainsLoaded.load(); }

    // The first `count` values of the dark frame (fewer when the store holds fewer).
    std::vector<uint16_t> CopyDarkFrame(size_t count) const;
    // A new dark frame: the values, zeros after them. Does not change the valid flag.
    void StoreDarkFrame(const uint16_t* values, size_t count);
    // A dark frame from a file: the first `count` values replaced, the rest kept; marked valid.
    // False, with nothing changed, when the store holds fewer values.
    bool ReplaceDarkFrame(const uint16_t* values, size_t count);
    // Changes of the dark frame's values (StoreDarkFrame, ReplaceDarkFrame), for the picture.
    uint64_t DarkFrameWrites() const { return m_darkFrameWrites.load(); }

    // The first `count` gains (fewer when the store holds fewer).
    std::vector<float> CopyGains(size_t count) const;
    // Reads up to `count` gains from a file (see LoadRadCalFile). The gains count as loaded when
    // the file was read, and as not loaded when it could not be opened or was refused (then the
    // gains keep their values).
    RadCalLoad LoadGainsFile(const std::string& path, size_t count);
    // Gains computed by the program: copied over the first gains, which then count as loaded.
    void InstallGains(const std::vector<float>& gains);
    // The first `count` gains back to 1.0; whether gains count as loaded is unchanged.
    void ResetGains(size_t count);

    // Both under the store's lock for as long as the view lives (a picture subtracting the dark
    // frame, a movie applying the gains); the pointers are valid for at least Size() values.
    class View {
    public:
        const uint16_t* DarkFrame() const { return m_store.m_darkFrame.data(); }
        const float* Gains() const { return m_store.m_gains.data(); }

    private:
        friend class CalibrationStore;
        explicit View(const CalibrationStore& store) : m_lock(store.m_mutex), m_store(store) {}
        std::unique_lock<std::mutex> m_lock;
        const CalibrationStore& m_store;
    };
    View Lock() const { return View(*this); }

private:
    friend class EngineTestAccess; // tests that put values in place directly
    mutable std::mutex m_mutex;    // m_darkFrame and m_gains
    std::vector<uint16_t> m_darkFrame;
    std::vector<float> m_gains;
    std::atomic<bool> m_darkFrameValid{false};
    std::atomic<bool> m_gainsLoaded{false};
    std::atomic<uint64_t> m_darkFrameWrites{0};
};
