#pragma once
// A bitmap in memory as the drawing surfaces hold it and the movie and bitmap writers take it.
#include <cstddef>
#include <cstdint>

// A 24-bit bottom-up bitmap in memory (what a DibSection holds): row 0 is the bottom row, each
// pixel blue, green, red. stride is the distance between rows in bytes, at least 3*width.
// bits == nullptr stands for "not a bitmap section".
struct DibView {
    const uint8_t* bits = nullptr;
    uint32_t width = 0;
    uint32_t height = 0;
    size_t stride = 0;
    uint16_t bitCount = 24;
};

// Row length of a 24-bit DIB: 3*width rounded up to a multiple of 4.
inline constexpr size_t DibStride(uint32_t width) {
    return (size_t(3) * width + 3) & ~size_t(3);
}
