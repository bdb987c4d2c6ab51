#include "display/DisplayMapping.h"

#include "calibration/DefaultCalibration.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace {

// Lines are copied in blocks: each line's values are read under its own lock into a small
// row-major block, which is then written row by row, so the display buffer is written in runs of
// kBlock neighbouring values instead of one value per row.
constexpr int kBlock = 8;

bool ValidGeometry(const CubeGeometry& g) {
    return g.width > 0 && g.height > 0 && g.bands > 0;
}
bool ValidBand(const CubeGeometry& g, int band) {
    return band >= 0 && band < g.bands;
}

inline uint16_t SubtractClamped(uint16_t v, uint16_t d) {
    return v > d ? uint16_t(v - d) : uint16_t(0);
}

// Copies `planes` bands of the lines [firstLine, endLine) of `source` into the matching destination
// planes.
template <class Dest, int Planes>
void CopyLines(const std::array<Dest*, Planes>& dest, const uint16_t* source, const CubeGeometry& g,
               const std::array<int, Planes>& bands, int firstLine, int endLine, const uint16_t* darkFrame,
               LineReadGuard* guard) {
    const int H = g.height;
    const size_t W = size_t(g.width);
    const size_t lineValues = g.LineValues();
    if (firstLine >= endLine)
        return;
    std::vector<Dest> block(static_cast<size_t>(Planes) * static_cast<size_t>(H) * kBlock);
    for (int l0 = firstLine; l0 < endLine; l0 += kBlock) {
        const int count = std::min(kBlock, endLine - l0);
        for (int k = 0; k < count; ++k) {
            const int line = l0 + k;
            LineReadLock lock(guard, source, line);
            for (int p = 0; p < Planes; ++p) {
                const size_t bandOffset = size_t(bands[p]) * size_t(H);
                const uint16_t* src = source + size_t(line) * lineValues + bandOffset;
                Dest* out = block.data() + size_t(p) * size_t(H) * kBlock + k;
                if (darkFrame) {
                    const uint16_t* dark = darkFrame + bandOffset;
                    for (int r = 0; r < H; ++r)
                        out[size_t(r) * kBlock] = SubtractClamped(src[H - 1 - r], dark[H - 1 - r]);
                } else {
                    for (int r = 0; r < H; ++r)
                        out[size_t(r) * kBlock] = src[H - 1 - r];
                }
            }
        }
        for (int p = 0; p < Planes; ++p) {
            const Dest* in = block.data() + size_t(p) * size_t(H) * kBlock;
            for (int r = 0; r < H; ++r)
                std::copy_n(in + size_t(r) * kBlock, count, dest[p] + size_t(r) * W + size_t(l0));
        }
    }
}

int StackLines(const CubeGeometry& g) {
    return std::clamp(g.darkLines, 0, g.width);
}

// [firstLine, endLine) within the cube's lines.
std::pair<int, int> LineRange(const CubeGeometry& g, int firstLine, int endLine) {
    const int first = std::clamp(firstLine, 0, g.width);
    return {first, std::clamp(endLine, first, g.width)};
}

} // namespace

GreySource SelectGreySource(const DisplayModeFlags& f) {
    if (f.acquireCube)
        return GreySource::CubeWithDark;
    if (f.acquireDark)
        return GreySource::DarkStack;
    if (f.acquireCalCube)
        return GreySource::CalStack;
    if (!f.spectralDisplayMode)
        return GreySource::Cube;
    return GreySource::DisplayBuffer;
}

ColorSource SelectColorSource(const DisplayModeFlags& f) {
    if (f.acquireCube)
        return ColorSource::CubeWithDark;
    if (f.acquireDark)
        return ColorSource::DarkStack;
    if (f.acquireCalCube)
        return ColorSource::CalStack;
    return ColorSource::GreyDisplayBuffer;
}

bool FillDisplayFromCube(uint32_t* display, const uint16_t* cube, const CubeGeometry& g, int band,
                         const uint16_t* darkFrame, LineReadGuard* guard) {
    return FillDisplayFromCubeLines(display, cube, g, band, 0, g.width, darkFrame, guard);
}

bool FillDisplayFromCubeLines(uint32_t* display, const uint16_t* cube, const CubeGeometry& g, int band,
                              int firstLine, int endLine, const uint16_t* darkFrame, LineReadGuard* guard) {
    if (!display || !cube || !ValidGeometry(g) || !ValidBand(g, band))
        return false;
    const auto [first, end] = LineRange(g, firstLine, endLine);
    CopyLines<uint32_t, 1>({display}, cube, g, {band}, first, end, darkFrame, guard);
    return true;
}

bool FillDisplayFromStack(uint32_t* display, const uint16_t* stack, const CubeGeometry& g, int band,
                          LineReadGuard* guard) {
    if (!display || !stack || !ValidGeometry(g) || !ValidBand(g, band))
        return false;
    CopyLines<uint32_t, 1>({display}, stack, g, {band}, 0, StackLines(g), nullptr, guard);
    return true;
}

bool FillPlanesFromCube(uint16_t* red, uint16_t* green, uint16_t* blue, const uint16_t* cube,
                        const CubeGeometry& g, const std::array<int, 3>& bands, const uint16_t* darkFrame,
                        LineReadGuard* guard) {
    return FillPlanesFromCubeLines(red, green, blue, cube, g, bands, 0, g.width, darkFrame, guard);
}

bool FillPlanesFromCubeLines(uint16_t* red, uint16_t* green, uint16_t* blue, const uint16_t* cube,
                             const CubeGeometry& g, const std::array<int, 3>& bands, int firstLine,
                             int endLine, const uint16_t* darkFrame, LineReadGuard* guard) {
    if (!red || !green || !blue || !cube || !ValidGeometry(g))
        return false;
    for (int b : bands)
        if (!ValidBand(g, b))
            return false;
    const auto [first, end] = LineRange(g, firstLine, endLine);
    CopyLines<uint16_t, 3>({red, green, blue}, cube, g, bands, first, end, darkFrame, guard);
    return true;
}

bool FillPlanesFromStack(uint16_t* red, uint16_t* green, uint16_t* blue, const uint16_t* stack,
                         const CubeGeometry& g, const std::array<int, 3>& bands, LineReadGuard* guard) {
    if (!red || !green || !blue || !stack || !ValidGeometry(g))
        return false;
    for (int b : bands)
        if (!ValidBand(g, b))
            return false;
    CopyLines<uint16_t, 3>({red, green, blue}, stack, g, bands, 0, StackLines(g), nullptr, guard);
    return true;
}

std::vector<std::string> BandListTexts(const float coeffs[3], int bands) {
    std::vector<std::string> texts;
    texts.reserve(size_t(std::max(bands, 0)));
    char buf[64];
    for (int i = 0; i < bands; ++i) {
        std::snprintf(buf, sizeof buf, "%.2f", double(BandListWavelength(coeffs, i)));
        texts.emplace_back(buf);
    }
    return texts;
}
