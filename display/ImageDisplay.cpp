#include "display/ImageDisplay.h"

#include "display/DisplayMapping.h"

ImageDisplay::ImageDisplay(AcquisitionEngine& engine)
    : m_engine(engine), m_imageProcess(engine.Geometry().width, engine.Geometry().height), m_guard(engine) {}

void ImageDisplay::UpdateImage() {
    AcquisitionEngine& e = m_engine;
    const CubeGeometry g = e.Geometry();
    const DisplayModeFlags flags{e.m_acquireCube.load(), e.m_acquireDark.load(), e.m_acquireCalCube.load(),
                                 e.m_spectralDisplayMode.load()};
    const int colorMap = controls.colorMap.load();
    // The display buffer and the planes are guarded by the frame image lock; the dark frame by its
    // own lock while it is subtracted.
    std::lock_guard frameLock(e.m_frameImageMutex);
    auto grey = [&] {
        m_imageProcess.MakeGreyBitmap(e.m_frameImage.data(), g.height, g.width, colorMap, controls.imageScale.load(),
                                      controls.minSlider.load(), controls.maxSlider.load());
    };
    const bool subtractDark = e.m_darkFrameValid.load() && controls.applyDark.load();
    if (!controls.color.load()) {
        const int band = controls.band.load();
        switch (SelectGreySource(flags)) {
        case GreySource::CubeWithDark:
            if (subtractDark) {
                std::lock_guard darkLock(e.m_darkFrameMutex);
                FillDisplayFromCube(e.m_frameImage.data(), e.m_cube.data(), g, band, e.m_darkFrame.data(), &m_guard);
            } else {
                FillDisplayFromCube(e.m_frameImage.data(), e.m_cube.data(), g, band, nullptr, &m_guard);
            }
            break;
        case GreySource::DarkStack:
            FillDisplayFromStack(e.m_frameImage.data(), e.m_darkCube.data(), g, band, &m_guard);
            break;
        case GreySource::CalStack:
            FillDisplayFromStack(e.m_frameImage.data(), e.m_calCube.data(), g, band, &m_guard);
            break;
        case GreySource::Cube:
            FillDisplayFromCube(e.m_frameImage.data(), e.m_cube.data(), g, band, nullptr, &m_guard);
            break;
        case GreySource::DisplayBuffer:
            break;
        }
        grey();
    } else {
        const std::array<int, 3> bands{controls.red.load(), controls.green.load(), controls.blue.load()};
        uint16_t* r = e.m_rgbPlanes[0].data();
        uint16_t* gr = e.m_rgbPlanes[1].data();
        uint16_t* b = e.m_rgbPlanes[2].data();
        bool planes = true;
        switch (SelectColorSource(flags)) {
        case ColorSource::CubeWithDark:
            if (subtractDark) {
                std::lock_guard darkLock(e.m_darkFrameMutex);
                FillPlanesFromCube(r, gr, b, e.m_cube.data(), g, bands, e.m_darkFrame.data(), &m_guard);
            } else {
                FillPlanesFromCube(r, gr, b, e.m_cube.data(), g, bands, nullptr, &m_guard);
            }
            break;
        case ColorSource::DarkStack:
            FillPlanesFromStack(r, gr, b, e.m_darkCube.data(), g, bands, &m_guard);
            break;
        case ColorSource::CalStack:
            FillPlanesFromStack(r, gr, b, e.m_calCube.data(), g, bands, &m_guard);
            break;
        case ColorSource::GreyDisplayBuffer:
            planes = false;
            break;
        }
        if (planes)
            m_imageProcess.MakeColorBitmap(r, gr, b, g.height, g.width, colorMap);
        else
            grey();
    }
    ++m_built;
}

uint32_t ImageDisplay::DisplayValue(int x, int y) const {
    const CubeGeometry g = m_engine.Geometry();
    if (x < 0 || y < 0 || x >= g.width || y >= g.height)
        return 0;
    std::lock_guard lock(m_engine.m_frameImageMutex);
    return m_engine.m_frameImage[size_t(y) * size_t(g.width) + size_t(x)];
}
