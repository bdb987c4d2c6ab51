#include "analysis/Saturation.h"

#include "core/CpuFeatures.h"

#include <algorithm>
#include <cstdio>
#include <optional>

namespace {
// Blocks of a fixed length with a 16-bit count each: the compiler vectorises the inner loop even at
// -O2 (about seven times faster than one 64-bit sum per value).
__attribute__((always_inline)) inline uint64_t CountAtLeastLoop(const uint16_t* values, size_t n,
                                                                uint16_t t) {
    constexpr size_t kBlock = 64;
    uint64_t count = 0;
    size_t i = 0;
    for (; i + kBlock <= n; i += kBlock) {
        uint16_t block = 0;
        for (size_t j = 0; j < kBlock; ++j)
            block += uint16_t(values[i + j] >= t);
        count += block;
    }
    for (; i < n; ++i)
        count += values[i] >= t;
    return count;
}

#if defined(__x86_64__) || defined(__i386__)
#define ARV_COUNT_AVX2 1
// The same loop compiled for AVX2: sixteen values per instruction instead of eight (Check
// Saturation counts the whole cube with it).
__attribute__((target("avx2"))) uint64_t CountAtLeastAvx2(const uint16_t* values, size_t n, uint16_t t) {
    return CountAtLeastLoop(values, n, t);
}
#endif

// Threshold 0 counts every value, one above 65535 none; else the 16-bit threshold.
std::optional<uint64_t> TrivialCount(const uint16_t* values, size_t n, uint32_t threshold) {
    if (values == nullptr || threshold > 65535)
        return 0;
    if (threshold == 0)
        return n;
    return std::nullopt;
}
} // namespace

uint64_t CountAtLeast(const uint16_t* values, size_t n, uint32_t threshold) {
    if (const auto trivial = TrivialCount(values, n, threshold))
        return *trivial;
#if ARV_COUNT_AVX2
    if (CpuHasAvx2())
        return CountAtLeastAvx2(values, n, uint16_t(threshold));
#endif
    return CountAtLeastLoop(values, n, uint16_t(threshold));
}

uint64_t CountAtLeastPortable(const uint16_t* values, size_t n, uint32_t threshold) {
    if (const auto trivial = TrivialCount(values, n, threshold))
        return *trivial;
    return CountAtLeastLoop(values, n, uint16_t(threshold));
}

namespace {
// Number of the n values that are at most limit (none for a negative limit): those not at least
// limit + 1.
uint64_t CountAtMost(const uint16_t* values, size_t n, int limit) {
    if (limit < 0 || values == nullptr)
        return 0;
    return n - CountAtLeast(values, n, uint32_t(limit) + 1);
}
} // namespace

SaturationCount CountSaturation(const uint16_t* cube, const CubeGeometry& g, const SaturationLimits& limits,
                                LineReadGuard* guard) {
    SaturationCount c;
    if (cube == nullptr || g.width <= 0 || g.height <= 0 || g.bands <= 0)
        return c;
    const size_t lineValues = g.LineValues();
    const uint32_t high = limits.HighThreshold();
    for (int l = 0; l < g.width; ++l) {
        LineReadLock lock(guard, cube, l);
        const uint16_t* line = cube + size_t(l) * lineValues;
        c.high += CountAtLeast(line, lineValues, high);
        c.low += CountAtMost(line, lineValues, limits.min);
    }
    c.total = uint64_t(g.width) * lineValues;
    return c;
}

std::string SaturationText(uint64_t count, uint64_t total) {
    if (count == 0)
        return kNoSaturatedPixels;
    const double percentage = total > 0 ? double(count) / double(total) * 100.0 : 0.0;
    char text[128];
    std::snprintf(text, sizeof text, "%d %s%f%s", int(std::min<uint64_t>(count, 2147483647u)), " Pixels (",
                  percentage, "%)");
    return text;
}

bool MarkSaturatedLines(uint8_t* mask, const uint16_t* source, const CubeGeometry& g, const int* bands,
                        int bandCount, uint32_t threshold, int firstLine, int endLine, LineReadGuard* guard) {
    if (mask == nullptr || source == nullptr || bands == nullptr || bandCount < 1 || g.width <= 0 ||
        g.height <= 0 || g.bands <= 0)
        return false;
    for (int k = 0; k < bandCount; ++k)
        if (bands[k] < 0 || bands[k] >= g.bands)
            return false;
    const int H = g.height;
    const size_t W = size_t(g.width);
    const size_t lineValues = g.LineValues();
    const int first = std::max(firstLine, 0);
    const int end = std::min(endLine, g.width);
    if (first == 0 && end == g.width) {
        std::fill_n(mask, W * size_t(H), uint8_t(0));
    } else {
        for (int r = 0; r < H; ++r)
            std::fill(mask + size_t(r) * W + size_t(first),
                      mask + size_t(r) * W + size_t(std::max(first, end)), uint8_t(0));
    }
    for (int l = first; l < end; ++l) {
        LineReadLock lock(guard, source, l);
        const uint16_t* line = source + size_t(l) * lineValues;
        for (int k = 0; k < bandCount; ++k) {
            const uint16_t* band = line + size_t(bands[k]) * size_t(H);
            // Clipped values are rare: the band is read straight through and only they are written.
            for (int p = 0; p < H; ++p)
                if (band[p] >= threshold)
                    mask[size_t(H - 1 - p) * W + size_t(l)] = 1;
        }
    }
    return true;
}

bool MarkSaturatedValues(uint8_t* mask, const uint32_t* display, int width, int height, uint32_t threshold,
                         int firstColumn, int endColumn) {
    if (mask == nullptr || display == nullptr || width <= 0 || height <= 0)
        return false;
    const int first = std::max(firstColumn, 0);
    const int end = std::min(endColumn, width);
    for (int r = 0; r < height; ++r) {
        const size_t row = size_t(r) * size_t(width);
        for (int l = first; l < end; ++l)
            mask[row + size_t(l)] = display[row + size_t(l)] >= threshold ? 1 : 0;
    }
    return true;
}
