#pragma once
// Saturation of the cube: which values count as clipped ("high") or as at the floor ("low"), the
// counts of "Check Saturation" with their texts, and the mask of the picture pixels that the
// "Show saturation" overlay draws red.
//
// A value is high when it is at least the Max edit's value or at the 12-bit ceiling 4095 (so the
// default Max of 4096 still finds clipped values), and low when it is at most the Min edit's value.
//
// The cube and the stacks are written line by line by the camera thread while these run: every line
// is read inside one LockLine/UnlockLine pair of the optional guard.
#include "core/Geometry.h"
#include "display/LineReadGuard.h"

#include <cstdint>
#include <string>

// The largest value of a cube sample (12 significant bits).
inline constexpr int kSampleCeiling = 4095;
inline constexpr const char* kNoSaturatedPixels = "No saturated pixels found";

struct SaturationLimits {
    int max = 4096; // the Max edit (1206)
    int min = 0;    // the Min edit (1208)

    // The smallest high value: min(max, 4095), and 0 for a Max of 0 or below (every value high).
    uint32_t HighThreshold() const {
        return uint32_t(max < 0 ? 0 : (max < kSampleCeiling ? max : kSampleCeiling));
    }
    bool IsHigh(uint32_t v) const { return v >= HighThreshold(); }
    // A Min below 0 makes no value low.
    bool IsLow(uint32_t v) const { return min >= 0 && int64_t(v) <= int64_t(min); }
};

struct SaturationCount {
    uint64_t high = 0;
    uint64_t low = 0;
    uint64_t total = 0; // values looked at
};

// Counts the high and low values of the whole cube (W lines of B x H values).
SaturationCount CountSaturation(const uint16_t* cube, const CubeGeometry& geometry,
                                const SaturationLimits& limits, LineReadGuard* guard = nullptr);

// Number of the n values that are at least threshold (with AVX2 where the processor has it).
uint64_t CountAtLeast(const uint16_t* values, size_t n, uint32_t threshold);
// The same without AVX2 (what other processors run), for tests.
uint64_t CountAtLeastPortable(const uint16_t* values, size_t n, uint32_t threshold);

// Text of a result static: "No saturated pixels found" for a count of 0, otherwise "%d %s%f%s" with
// the count, " Pixels (", the count's percentage of total and "%)".
std::string SaturationText(uint64_t count, uint64_t total);

// Mask of the picture (W columns x H rows, index r * W + l, the picture's layout: column l shows
// cube line l, row r the stored position H-1-r). For the lines [firstLine, endLine), every mask
// element becomes 1 when the value of that line and position is at least threshold in any of the
// bandCount bands, else 0; other columns are left alone. Lines past the geometry's width are
// ignored. False (nothing changed) for a null pointer, a band outside 0..B-1 or no band.
bool MarkSaturatedLines(uint8_t* mask, const uint16_t* source, const CubeGeometry& geometry, const int* bands,
                        int bandCount, uint32_t threshold, int firstLine, int endLine,
                        LineReadGuard* guard = nullptr);

// The same from display values (W x H, index r * W + l) for the columns [firstColumn, endColumn).
bool MarkSaturatedValues(uint8_t* mask, const uint32_t* display, int width, int height, uint32_t threshold,
                         int firstColumn, int endColumn);
