#pragma once
// The picture of the main window: which data is shown (cube band, stack, live frame or colour
// composite) and its mapping to a bitmap. Qt-free; UpdateImage may run on the display thread or the
// window thread. The window keeps DisplayControls in step with its controls (window thread); the
// display thread only reads them.
#include "analysis/ImageProcess.h"
#include "camera/AcquisitionEngine.h"
#include "display/LineReadGuard.h"

#include <atomic>
#include <mutex>

struct DisplayControls {
    std::atomic<int> band{42};        // selection of the wavelength list
    std::atomic<bool> color{false};   // "Color"
    std::atomic<int> red{47}, green{27}, blue{58};
    std::atomic<bool> imageScale{false}; // "Image Scale"
    std::atomic<int> minSlider{0};
    std::atomic<int> maxSlider{255};
    std::atomic<bool> applyDark{false}; // "Apply Dark"
    std::atomic<int> colorMap{1};
};

// Line locks of the engine for the display's and the probe's reads.
class EngineLineGuard : public LineReadGuard {
public:
    explicit EngineLineGuard(const AcquisitionEngine& engine) : m_engine(engine) {}
    void LockLine(const uint16_t*, int line) override { m_engine.LineLock(line).lock(); }
    void UnlockLine(const uint16_t*, int line) override { m_engine.LineLock(line).unlock(); }

private:
    const AcquisitionEngine& m_engine;
};

class ImageDisplay {
public:
    explicit ImageDisplay(AcquisitionEngine& engine);

    // Fills the display buffer or the colour planes from the data the mode flags and the controls
    // select, and has the image processor build the bitmap. Serialised: two threads never build at
    // the same time.
    void UpdateImage();
    // Value of the display buffer at picture column x, row y (0 outside).
    uint32_t DisplayValue(int x, int y) const;

    DisplayControls controls;
    ImageProcess& Processor() { return m_imageProcess; }
    EngineLineGuard& Guard() { return m_guard; }
    uint64_t PicturesBuilt() const { return m_built.load(); }

private:
    AcquisitionEngine& m_engine;
    ImageProcess m_imageProcess;
    EngineLineGuard m_guard;
    std::atomic<uint64_t> m_built{0};
};
