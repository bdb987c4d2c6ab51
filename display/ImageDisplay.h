#pragma once
// The picture of the main window: which data is shown (cube band, stack, live frame or colour
// composite) and its mapping to a bitmap. Qt-free; UpdateImage may run on the display thread or the
// window thread. The window keeps DisplayControls in step with its controls (window thread); the
// display thread only reads them.
#include "analysis/ImageProcess.h"
#include "camera/AcquisitionEngine.h"
#include "display/LineReadGuard.h"

#include <array>
#include <atomic>
#include <mutex>
#include <utility>
#include <vector>

struct DisplayControls {
    std::atomic<int> band{42};      // selection of the wavelength list
    std::atomic<bool> color{false}; // "Color"
    std::atomic<int> red{47}, green{27}, blue{58};
    std::atomic<bool> imageScale{false}; // "Image Scale"
    std::atomic<int> minSlider{0};
    std::atomic<int> maxSlider{255};
    std::atomic<bool> applyDark{false}; // "Apply Dark"
    std::atomic<int> colorMap{1};
    // "Show saturation": picture pixels whose raw value in a shown band is high (at least
    // saturationMax or 4095) are drawn pure red.
    std::atomic<bool> showSaturation{false};
    std::atomic<int> saturationMax{4096}; // the Max edit (1206)
    // The cube was opened from a file: while no acquisition runs it is shown as during its scan
    // (colour composite, dark subtraction); every acquisition command clears this.
    std::atomic<bool> openedCube{false};
};

// Line locks of the engine for the display's and the probe's reads. With a record set, the write
// count of every cube line read is noted in it while the line is held, so the reader knows which
// state of the line it copied.
class EngineLineGuard : public LineReadGuard {
public:
    explicit EngineLineGuard(const AcquisitionEngine& engine) : m_engine(engine) {}
    void LockLine(const uint16_t* buffer, int line) override {
        m_engine.LineLock(line).lock();
        if (m_record && buffer == m_engine.Cube().data() && line >= 0 && size_t(line) < m_record->size())
            (*m_record)[size_t(line)] = m_engine.CubeLineWrites(line);
    }
    void UnlockLine(const uint16_t*, int line) override { m_engine.LineLock(line).unlock(); }
    void SetRecord(std::vector<uint32_t>* record) { m_record = record; }

private:
    const AcquisitionEngine& m_engine;
    std::vector<uint32_t>* m_record = nullptr;
};

class ImageDisplay {
public:
    explicit ImageDisplay(AcquisitionEngine& engine);

    // Fills the display buffer or the colour planes from the data the mode flags and the controls
    // select, and has the image processor build the bitmap. Serialised: two threads never build at
    // the same time.
    //
    // While a cube, dark or calibration stack is acquired, a picture that shows the same data as the
    // last one (same source, band or bands, dark subtraction and mapping) is brought up to date
    // column by column: only the columns of the lines written since are copied and mapped (all of
    // them for a stack, whose 25 lines are copied each time), and the rest of the picture is kept.
    // Any change of a display control, of the mode or of the buffers maps the whole picture.
    void UpdateImage();
    // Value of the display buffer at picture column x, row y (0 outside).
    uint32_t DisplayValue(int x, int y) const;

    DisplayControls controls;
    ImageProcess& Processor() { return m_imageProcess; }
    EngineLineGuard& Guard() { return m_guard; }
    uint64_t PicturesBuilt() const { return m_built.load(); }
    // Picture columns handed to the mapping so far (a whole picture counts W).
    uint64_t ColumnsMapped() const { return m_columnsMapped.load(); }
    // Test hook: false maps every picture whole.
    void SetIncremental(bool on) { m_incremental = on; }

private:
    // What the bitmap was last built from; a picture may be brought up to date column by column only
    // when this is unchanged.
    struct Shown {
        bool color = false;
        int source = -1;
        std::array<int, 3> bands{-1, -1, -1};
        bool subtractDark = false;
        CubeGeometry geometry{};
        uint64_t bufferGeneration = 0;
        uint64_t frameImageWrites = 0;
        uint64_t darkFrameWrites = 0;
        // The saturation overlay is drawn into the kept columns as well.
        bool saturation = false;
        int saturationMax = 0;
        bool operator==(const Shown&) const = default;
    };
    // The lines [first, end) to copy: those whose write count differs from the one last copied.
    std::pair<int, int> ChangedCubeLines() const;
    void NoteMapped(int firstColumn, int endColumn);
    // The saturation overlay over the columns [firstColumn, endColumn) of the picture just mapped
    // (frame image lock held): marks from the raw values of the shown bands of `lines` lines of
    // source, or, for a null source, from the display buffer.
    void PaintSaturation(const uint32_t* frameImage, const uint16_t* source, int lines, const int* bands,
                         int bandCount, int firstColumn, int endColumn);

    AcquisitionEngine& m_engine;
    std::vector<uint8_t> m_saturationMask;
    ImageProcess m_imageProcess;
    EngineLineGuard m_guard;     // the probe's reads (window thread)
    EngineLineGuard m_fillGuard; // the picture's copies, which note the lines' write counts
    std::atomic<uint64_t> m_built{0};
    std::atomic<uint64_t> m_columnsMapped{0};
    std::atomic<bool> m_incremental{true};
    // Guarded by the engine's m_frameImageMutex, which UpdateImage holds.
    bool m_shownValid = false;
    Shown m_shown;
    std::vector<uint32_t> m_copiedLineWrites; // write count of each cube line when it was last copied
};
