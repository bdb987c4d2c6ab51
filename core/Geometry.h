#pragma once
// Cube geometry shared by acquisition, display, storage and calibration.
//   W = width  : frame width in pixels and number of lines of a cube (696)
//   H = height : frame height in pixels and samples per cube line (520)
//   B = bands  : bands per cube line (128)
// A cube line (a "frame" in the file formats) is B x H values, band-major: band b, sample
// position p at b*H + p. The cube is W such lines: line l at l*B*H.
#include <cstddef>
#include <cstdint>

struct CubeGeometry {
    int32_t width = 696;
    int32_t height = 520;
    int32_t bands = 128;
    int32_t darkLines = 25;

    size_t LineValues() const { return size_t(bands) * size_t(height); }
    size_t CubeValues() const { return size_t(width) * LineValues(); }
    size_t StackValues() const { return size_t(darkLines) * size_t(width) * size_t(bands); }
    size_t FramePixels() const { return size_t(width) * size_t(height); }
    bool operator==(const CubeGeometry&) const = default;
};

// First frame column that carries sample 0 of a cube line.
inline constexpr int kFirstSampleColumn = 88;
