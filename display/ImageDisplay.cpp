#include "display/ImageDisplay.h"

#include "analysis/Saturation.h"
#include "display/DisplayMapping.h"

#include <algorithm>
#include <tuple>

ImageDisplay::ImageDisplay(AcquisitionEngine& engine)
    : m_engine(engine), m_imageProcess(engine.Geometry().width, engine.Geometry().height), m_guard(engine),
      m_fillGuard(engine) {}

std::pair<int, int> ImageDisplay::ChangedCubeLines() const {
    const int W = m_engine.Geometry().width;
    int first = W, last = -1;
    for (int l = 0; l < W; ++l) {
        if (m_engine.CubeLineWrites(l) != m_copiedLineWrites[size_t(l)]) {
            first = std::min(first, l);
            last = l;
        }
    }
    return last < 0 ? std::pair{0, 0} : std::pair{first, last + 1};
}

void ImageDisplay::NoteMapped(int firstColumn, int endColumn) {
    if (endColumn > firstColumn)
        m_columnsMapped += uint64_t(endColumn - firstColumn);
}

void ImageDisplay::UpdateImage() {
    AcquisitionEngine& e = m_engine;
    const CubeGeometry g = e.Geometry();
    DisplayModeFlags flags{e.AcquiringCube(), e.AcquiringDark(), e.AcquiringCalibration(),
                           e.SpectralDisplayMode()};
    if (controls.openedCube.load() && !flags.acquireDark && !flags.acquireCalCube &&
        !flags.spectralDisplayMode)
        flags.acquireCube = true;
    const int colorMap = controls.colorMap.load();
    const bool manual = controls.imageScale.load();
    const int min = controls.minSlider.load(), max = controls.maxSlider.load();
    // The display buffer and the planes are guarded by the frame image lock; the dark frame by its
    // own lock while it is subtracted.
    AcquisitionEngine::DisplayBuffers buffers = e.LockDisplayBuffers();
    std::vector<uint32_t>& frameImage = buffers.FrameImage();
    const bool subtractDark = e.DarkFrameValid() && controls.applyDark.load();
    const bool color = controls.color.load();
    const bool saturation = controls.showSaturation.load();
    const int stackLines = std::min(g.darkLines, g.width);

    Shown now;
    now.color = color;
    now.subtractDark = subtractDark;
    now.geometry = g;
    now.bufferGeneration = e.BufferGeneration();
    now.frameImageWrites = e.FrameImageWrites();
    now.darkFrameWrites = e.DarkFrameWrites();
    now.saturation = saturation;
    now.saturationMax = saturation ? controls.saturationMax.load() : 0;
    const GreySource greySource = SelectGreySource(flags);
    const ColorSource colorSource = SelectColorSource(flags);
    if (color) {
        now.source = int(colorSource);
        now.bands = {controls.red.load(), controls.green.load(), controls.blue.load()};
    } else {
        now.source = int(greySource);
        now.bands = {controls.band.load(), -1, -1};
    }
    const bool cubeSource =
        color ? colorSource == ColorSource::CubeWithDark : greySource == GreySource::CubeWithDark;
    const bool stackSource =
        color ? (colorSource == ColorSource::DarkStack || colorSource == ColorSource::CalStack)
              : (greySource == GreySource::DarkStack || greySource == GreySource::CalStack);
    const bool sameData =
        m_incremental.load() && m_shownValid && m_shown == now && (cubeSource || stackSource);
    if (m_copiedLineWrites.size() != size_t(g.width))
        m_copiedLineWrites.assign(size_t(g.width), 0);

    // The picture columns that change: the lines written since the last picture while a cube is
    // acquired, the stack's lines while a stack is; everything otherwise.
    int firstColumn = 0, endColumn = g.width;
    if (sameData && cubeSource)
        std::tie(firstColumn, endColumn) = ChangedCubeLines();
    else if (sameData && stackSource)
        endColumn = std::clamp(g.darkLines, 0, g.width);
    const bool partial = sameData;
    // The columns the mapping really drew, which the saturation overlay is drawn over.
    int mappedFirst = 0, mappedEnd = g.width;
    auto noteMapped = [&](bool columnsOnly) {
        if (columnsOnly) {
            mappedFirst = firstColumn;
            mappedEnd = endColumn;
        }
        NoteMapped(mappedFirst, mappedEnd);
    };

    // Copies from the cube note which state of each line they copied.
    m_fillGuard.SetRecord(&m_copiedLineWrites);
    // The image processor maps the whole picture itself when its mapping changed (a slider moved).
    auto mapGrey = [&] {
        if (!partial) {
            m_imageProcess.MakeGreyBitmap(frameImage.data(), g.height, g.width, colorMap, manual, min, max);
            noteMapped(false);
        } else {
            noteMapped(m_imageProcess.MakeGreyBitmapColumns(frameImage.data(), g.height, g.width, colorMap,
                                                            manual, min, max, firstColumn, endColumn));
        }
    };
    if (!color) {
        const int band = now.bands[0];
        switch (greySource) {
        case GreySource::CubeWithDark:
            if (subtractDark) {
                const CalibrationStore::View calibration = e.Calibration().Lock();
                FillDisplayFromCubeLines(frameImage.data(), e.Cube().data(), g, band, firstColumn, endColumn,
                                         calibration.DarkFrame(), &m_fillGuard);
            } else {
                FillDisplayFromCubeLines(frameImage.data(), e.Cube().data(), g, band, firstColumn, endColumn,
                                         nullptr, &m_fillGuard);
            }
            break;
        case GreySource::DarkStack:
            FillDisplayFromStack(frameImage.data(), e.StackBuffer(AcquisitionEngine::Stack::Dark).data(), g,
                                 band, &m_fillGuard);
            break;
        case GreySource::CalStack:
            FillDisplayFromStack(frameImage.data(),
                                 e.StackBuffer(AcquisitionEngine::Stack::Calibration).data(), g, band,
                                 &m_fillGuard);
            break;
        case GreySource::Cube:
            FillDisplayFromCube(frameImage.data(), e.Cube().data(), g, band, nullptr, &m_fillGuard);
            break;
        case GreySource::DisplayBuffer:
            break;
        }
        m_fillGuard.SetRecord(nullptr);
        mapGrey();
        if (saturation) {
            // Clipping is a property of the raw value: marks come from the cube or stack before
            // any dark subtraction; the live frame is marked from the display buffer.
            switch (greySource) {
            case GreySource::CubeWithDark:
            case GreySource::Cube:
                PaintSaturation(frameImage.data(), e.Cube().data(), g.width, &band, 1, mappedFirst,
                                mappedEnd);
                break;
            case GreySource::DarkStack:
                PaintSaturation(frameImage.data(), e.StackBuffer(AcquisitionEngine::Stack::Dark).data(),
                                stackLines, &band, 1, mappedFirst, mappedEnd);
                break;
            case GreySource::CalStack:
                PaintSaturation(frameImage.data(),
                                e.StackBuffer(AcquisitionEngine::Stack::Calibration).data(), stackLines,
                                &band, 1, mappedFirst, mappedEnd);
                break;
            case GreySource::DisplayBuffer:
                PaintSaturation(frameImage.data(), nullptr, 0, nullptr, 0, mappedFirst, mappedEnd);
                break;
            }
        }
    } else {
        const std::array<int, 3> bands = now.bands;
        uint16_t* r = buffers.ColourPlanes()[0].data();
        uint16_t* gr = buffers.ColourPlanes()[1].data();
        uint16_t* b = buffers.ColourPlanes()[2].data();
        bool planes = true;
        switch (colorSource) {
        case ColorSource::CubeWithDark:
            if (subtractDark) {
                const CalibrationStore::View calibration = e.Calibration().Lock();
                FillPlanesFromCubeLines(r, gr, b, e.Cube().data(), g, bands, firstColumn, endColumn,
                                        calibration.DarkFrame(), &m_fillGuard);
            } else {
                FillPlanesFromCubeLines(r, gr, b, e.Cube().data(), g, bands, firstColumn, endColumn, nullptr,
                                        &m_fillGuard);
            }
            break;
        case ColorSource::DarkStack:
            FillPlanesFromStack(r, gr, b, e.StackBuffer(AcquisitionEngine::Stack::Dark).data(), g, bands,
                                &m_fillGuard);
            break;
        case ColorSource::CalStack:
            FillPlanesFromStack(r, gr, b, e.StackBuffer(AcquisitionEngine::Stack::Calibration).data(), g,
                                bands, &m_fillGuard);
            break;
        case ColorSource::GreyDisplayBuffer:
            planes = false;
            break;
        }
        m_fillGuard.SetRecord(nullptr);
        if (!planes) {
            mapGrey();
        } else if (!partial) {
            m_imageProcess.MakeColorBitmap(r, gr, b, g.height, g.width, colorMap);
            noteMapped(false);
        } else {
            noteMapped(m_imageProcess.MakeColorBitmapColumns(r, gr, b, g.height, g.width, colorMap,
                                                             firstColumn, endColumn));
        }
        if (saturation) {
            switch (colorSource) {
            case ColorSource::CubeWithDark:
                PaintSaturation(frameImage.data(), e.Cube().data(), g.width, bands.data(), 3, mappedFirst,
                                mappedEnd);
                break;
            case ColorSource::DarkStack:
                PaintSaturation(frameImage.data(), e.StackBuffer(AcquisitionEngine::Stack::Dark).data(),
                                stackLines, bands.data(), 3, mappedFirst, mappedEnd);
                break;
            case ColorSource::CalStack:
                PaintSaturation(frameImage.data(),
                                e.StackBuffer(AcquisitionEngine::Stack::Calibration).data(), stackLines,
                                bands.data(), 3, mappedFirst, mappedEnd);
                break;
            case ColorSource::GreyDisplayBuffer:
                PaintSaturation(frameImage.data(), nullptr, 0, nullptr, 0, mappedFirst, mappedEnd);
                break;
            }
        }
    }
    m_shown = now;
    m_shownValid = true;
    ++m_built;
}

void ImageDisplay::PaintSaturation(const uint32_t* frameImage, const uint16_t* source, int lines,
                                   const int* bands, int bandCount, int firstColumn, int endColumn) {
    const CubeGeometry g = m_engine.Geometry();
    const int first = std::clamp(firstColumn, 0, g.width);
    const int end = std::clamp(endColumn, first, g.width);
    if (end == first)
        return;
    m_saturationMask.resize(g.FramePixels());
    SaturationLimits limits;
    limits.max = controls.saturationMax.load();
    const uint32_t threshold = limits.HighThreshold();
    bool marked;
    if (source) {
        // Columns past the stack's lines show what the display buffer held before: not marked.
        const int markedEnd = std::clamp(lines, first, end);
        for (int r = 0; markedEnd < end && r < g.height; ++r)
            std::fill_n(m_saturationMask.begin() + ptrdiff_t(size_t(r) * size_t(g.width) + size_t(markedEnd)),
                        end - markedEnd, uint8_t(0));
        // (A band outside the cube marks nothing.) The probe's guard: the picture's own guard would
        // note a newer state of a line than the one its picture column shows.
        marked = MarkSaturatedLines(m_saturationMask.data(), source, g, bands, bandCount, threshold, first,
                                    markedEnd, &m_guard);
    } else {
        marked = MarkSaturatedValues(m_saturationMask.data(), frameImage, g.width, g.height, threshold, first,
                                     end);
    }
    if (marked)
        m_imageProcess.PaintMask(m_saturationMask.data(), g.height, g.width, 255, 0, 0, first, end);
}

uint32_t ImageDisplay::DisplayValue(int x, int y) const {
    const CubeGeometry g = m_engine.Geometry();
    if (x < 0 || y < 0 || x >= g.width || y >= g.height)
        return 0;
    return m_engine.DisplayValue(x, y);
}
