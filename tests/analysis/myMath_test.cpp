#include "analysis/myMath.h"

#include <gtest/gtest.h>

TEST(myMathTest, MinMaxKeepsFirstOccurrenceOfEachExtreme) {
    const int16_t data[] = {5, -3, 7, -3, 7};
    int32_t mn, mni, mx, mxi;
    myMath().MinMax(data, 5, mn, mni, mx, mxi);
    EXPECT_EQ(mn, -3);
    EXPECT_EQ(mni, 1);
    EXPECT_EQ(mx, 7);
    EXPECT_EQ(mxi, 2);

    myMath().MinMax(data, 1, mn, mni, mx, mxi);
    EXPECT_EQ(mn, 5);
    EXPECT_EQ(mx, 5);
    EXPECT_EQ(mni, 0);
    EXPECT_EQ(mxi, 0);

    // Compared as signed 16-bit values.
    const int16_t extremes[] = {0, -32768, 32767};
    myMath().MinMax(extremes, 3, mn, mni, mx, mxi);
    EXPECT_EQ(mn, -32768);
    EXPECT_EQ(mx, 32767);
}

TEST(myMathTest, FloatMinMaxStartsFromTheSentinels) {
    const float data[] = {2.5f, -1.0f, 8.0f};
    float mn, mx;
    myMath().MinMax(data, 3, mn, mx);
    EXPECT_EQ(mn, -1.0f);
    EXPECT_EQ(mx, 8.0f);
    myMath().MinMax(data, 0, mn, mx);
    EXPECT_EQ(mn, 1e32f);
    EXPECT_EQ(mx, -1e32f);
}
