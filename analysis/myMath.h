#pragma once
// Small numeric class of the analysis library. The image processor embeds one and the plot uses one
// to find the extremes of a data series. Only the extreme-value search is used by the program, so
// the class holds no buffers: it stays polymorphic (virtual destructor) so that derived numeric
// helpers can be added without changing its users.
#include <cstdint>

class myMath {
public:
    myMath() = default;
    virtual ~myMath() = default;

    // Smallest and largest of data[0..n-1] (signed 16-bit) with the index of their first
    // occurrence. n must be at least 1; with n < 1 every output is 0.
    void MinMax(const int16_t* data, int n, int32_t& minValue, int32_t& minIndex, int32_t& maxValue,
                int32_t& maxIndex) const;

    // The same search over floats, used by the plot's autoscaling. The search starts from 1e32 and
    // -1e32, so with n < 1 the outputs are minValue = 1e32 and maxValue = -1e32. NaN values are
    // skipped (no comparison holds for them).
    void MinMax(const float* data, int n, float& minValue, float& maxValue) const;
};
