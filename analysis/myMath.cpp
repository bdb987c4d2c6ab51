#include "analysis/myMath.h"

void myMath::MinMax(const int16_t* data, int n, int32_t& minValue, int32_t& minIndex, int32_t& maxValue,
                    int32_t& maxIndex) const {
    minValue = maxValue = minIndex = maxIndex = 0;
    if (n < 1 || data == nullptr)
        return;
    minValue = maxValue = data[0];
    // Strict comparisons: among equal extremes the first occurrence wins.
    for (int i = 0; i < n; ++i) {
        if (data[i] < minValue) {
            minValue = data[i];
            minIndex = i;
        }
        if (data[i] > maxValue) {
            maxValue = data[i];
            maxIndex = i;
        }
    }
}

void myMath::MinMax(const float* data, int n, float& minValue, float& maxValue) const {
    minValue = 1e32f;
    maxValue = -1e32f;
    if (data == nullptr)
        return;
    for (int i = 0; i < n; ++i) {
        if (data[i] < minValue)
            minValue = data[i];
        if (data[i] > maxValue)
            maxValue = data[i];
    }
}
