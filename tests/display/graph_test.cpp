#include "display/graph.h"

#include <gtest/gtest.h>

namespace {

// The spectrum plot: (785, 5), 250 x 230, 10 ticks with 5 minor ticks on both axes.
GraphScale SpectrumPlot() {
    GraphScale g;
    g.SetGeometry(785, 5, 250, 230, 10, 5, 10, 5);
    return g;
}

std::pair<float, float> YRange(const GraphScale& g) {
    return {g.Min(0), g.Max(0)};
}

} // namespace

TEST(GraphScaleTest, SetRangeRefusesEmptyOrReversed) {
    GraphScale g = SpectrumPlot();
    EXPECT_EQ(g.SetRange(1, 0.0f, 127.0f), 1);
    EXPECT_EQ(g.SetRange(1, 5.0f, 5.0f), 0);
    EXPECT_EQ(g.SetRange(1, 6.0f, 5.0f), 0);
    EXPECT_EQ(g.Min(1), 0.0f);
    EXPECT_EQ(g.Max(1), 127.0f);
}

TEST(GraphScaleTest, AutoscaleCases) {
    GraphScale g = SpectrumPlot();
    // All zero: raw step 0, step 2, anchor 2, lo 2, hi 22, then lo = min - 1.
    const std::vector<float> zeros(128, 0.0f);
    ASSERT_EQ(g.Autoscale(0, zeros.data(), 128), 1);
    EXPECT_EQ(YRange(g), (std::pair{-1.0f, 22.0f}));

    // -50..10: raw step 6, step 7, anchor -56 (|min| wins), hi = -56 + 70.
    const float mixed[] = {-50.0f, 0.0f, 10.0f};
    g.Autoscale(0, mixed, 3);
    EXPECT_EQ(YRange(g), (std::pair{-56.0f, 14.0f}));

    // 0..1000: raw step 100, step 200, anchor 1200, lo -800 -> shifted up to 0..2000.
    const float ramp[] = {0.0f, 400.0f, 1000.0f};
    g.Autoscale(0, ramp, 3);
    EXPECT_EQ(YRange(g), (std::pair{0.0f, 2000.0f}));

    // 0..230: raw step 23, step 30, anchor 240, lo -60 -> 0..300.
    const float r230[] = {230.0f, 0.0f};
    g.Autoscale(0, r230, 2);
    EXPECT_EQ(YRange(g), (std::pair{0.0f, 300.0f}));

    // Constant 5: step 2, anchor 6, lo 6 hi 26, lo = 5 - 1.
    const float five[] = {5.0f, 5.0f};
    g.Autoscale(0, five, 2);
    EXPECT_EQ(YRange(g), (std::pair{4.0f, 26.0f}));

    // Scale factor -1 turns 0..1000 into -1000..0: step 200, anchor -1200, hi = -1200 + 2000.
    g.SetYScale(-1.0f);
    g.Autoscale(0, ramp, 3);
    EXPECT_EQ(YRange(g), (std::pair{-1200.0f, 800.0f}));
}

TEST(GraphScaleTest, AutoscaleRefusesWhatItCannotScale) {
    GraphScale g = SpectrumPlot();
    g.SetRange(0, 1.0f, 2.0f);
    const float nan[] = {1.0f, std::numeric_limits<float>::quiet_NaN(),
                         std::numeric_limits<float>::infinity()};
    EXPECT_EQ(g.Autoscale(0, nan, 3), 0);
    EXPECT_EQ(g.Autoscale(0, nan, 0), 0);
    GraphScale unlaid; // no ticks before the layout
    EXPECT_EQ(unlaid.Autoscale(0, nan, 1), 0);
    EXPECT_EQ(YRange(g), (std::pair{1.0f, 2.0f}));
    // Huge values whose steps vanish in the rounding still end with a range that holds them.
    const float huge[] = {1e30f, 1e30f};
    ASSERT_EQ(g.Autoscale(0, huge, 2), 1);
    EXPECT_LE(g.Min(0), 1e30f);
    EXPECT_GE(g.Max(0), 1e30f);
    EXPECT_GT(g.Max(0), g.Min(0));
}

TEST(GraphScaleTest, MapsDataToPixels) {
    GraphScale g = SpectrumPlot();
    g.SetRange(1, 0.0f, 127.0f);
    g.SetRange(0, 0.0f, 2000.0f);
    EXPECT_EQ(g.Map(0.0f, 0.0f), (GraphScale::Point{785, 235}));
    EXPECT_EQ(g.Map(127.0f, 2000.0f), (GraphScale::Point{1035, 5}));
    // px = 785 + 250/127 * 63.5 + 0.5 = 910.5 -> 910; py = 235 - 230/2000 * 1000 + 0.5 = 120.5 -> 120.
    EXPECT_EQ(g.Map(63.5f, 1000.0f), (GraphScale::Point{910, 120}));
    EXPECT_EQ(g.Map(int16_t(127), int16_t(0)), (GraphScale::Point{1035, 235}));
    // Far away points stay representable.
    EXPECT_EQ(g.Map(0.0f, 1e30f).y, -1000000);
}

TEST(GraphScaleTest, GridPositions) {
    GraphScale g = SpectrumPlot();
    // x: step 25 from 785; y: step 23 from 5; minor steps 5 and 4.6.
    EXPECT_EQ(g.MajorPositions(1), (std::vector<int>{785, 810, 835, 860, 885, 910, 935, 960, 985, 1010}));
    EXPECT_EQ(g.MajorPositions(0), (std::vector<int>{5, 28, 51, 74, 97, 120, 143, 166, 189, 212}));
    const auto ym = g.MinorPositions(0);
    ASSERT_EQ(ym.size(), 50u);
    // 5 + 0, 4.6, 9.2, 13.8, 18.4 (+0.5, truncated) -> 5, 10, 14, 19, 23.
    EXPECT_EQ(std::vector<int>(ym.begin(), ym.begin() + 5), (std::vector<int>{5, 10, 14, 19, 23}));
}

TEST(GraphScaleTest, IntegerAndExponentLabels) {
    GraphScale g = SpectrumPlot();
    g.SetRange(0, 0.0f, 2000.0f);
    EXPECT_EQ(g.TickLabel(0, 0, 2, 400, 1, 0), "0");
    EXPECT_EQ(g.TickLabel(0, 3, 2, 400, 1, 0), "600");
    EXPECT_EQ(g.TickLabel(0, 10, 2, 400, 1, 0), "2000");
    g.SetRange(0, -1.0f, 22.0f);
    EXPECT_EQ(g.TickLabel(0, 1, 2, 400, 1, 0), "1"); // -1 + 2.3 = 1.3

    // A span of 200000 switches to the exponent form.
    g.SetRange(0, 0.0f, 200000.0f);
    EXPECT_EQ(g.TickLabel(0, 0, 2, 400, 1, 0), "0.00e+00");
    EXPECT_EQ(g.TickLabel(0, 5, 2, 400, 1, 0), "1.00e+05");
    EXPECT_EQ(g.TickLabel(0, 10, 2, 400, 1, 0), "2.00e+05");
    g.SetRange(0, 0.0f, 0.0001f);
    EXPECT_EQ(g.TickLabel(0, 10, 2, 400, 1, 0), "1.00e-04");
    g.SetRange(0, -150000.0f, 50000.0f);
    EXPECT_EQ(g.TickLabel(0, 0, 2, 400, 1, 0), "-1.50e+05");

    // A three-digit exponent (as other C libraries print it) loses its leading zero only.
    EXPECT_EQ(GraphScale::ExponentLabel(1e100), "1.00e+100");
    EXPECT_EQ(GraphScale::ExponentLabel(-2.5e-7), "-2.50e-07");
    EXPECT_EQ(GraphScale::IntegerLabel(-0.4), "-0");
    EXPECT_EQ(GraphScale::IntegerLabel(1234.7), "1235");
}

TEST(GraphScaleTest, WavelengthLabelsOfTheXAxis) {
    GraphScale g = SpectrumPlot();
    g.SetRange(1, 0.0f, 127.0f);
    // Code 2: M = 239, last = 400 + 239 = 639, d = 23.9.
    EXPECT_EQ(g.TickLabel(1, 0, 2, 400.0f, 1.0f, 0.0f), "400.0");
    EXPECT_EQ(g.TickLabel(1, 1, 2, 400.0f, 1.0f, 0.0f), "423.9");
    EXPECT_EQ(g.TickLabel(1, 5, 2, 400.0f, 1.0f, 0.0f), "519.5");
    EXPECT_EQ(g.TickLabel(1, 10, 2, 400.0f, 1.0f, 0.0f), "639.00");
    // Code 1: M = 479, last = 400 + 0.5*479 + 0.001*229441 = 868.941, d = 46.8941.
    EXPECT_EQ(g.TickLabel(1, 1, 1, 400.0f, 0.5f, 0.001f), "446.9");
    EXPECT_EQ(g.TickLabel(1, 10, 1, 400.0f, 0.5f, 0.001f), "868.94");
    // Code 8: M = 59, last = 400 + 59 = 459.
    EXPECT_EQ(g.TickLabel(1, 10, 8, 400.0f, 1.0f, 0.0f), "459.00");
    // An unknown code: a0 everywhere and 0.00 at the end.
    EXPECT_EQ(g.TickLabel(1, 4, 9, 400.0f, 1.0f, 0.0f), "400.0");
    EXPECT_EQ(g.TickLabel(1, 10, 0, 400.0f, 1.0f, 0.0f), "0.00");
    // The x labels do not depend on the range, unless the span forces the exponent form.
    g.SetRange(1, 10.0f, 20.0f);
    EXPECT_EQ(g.TickLabel(1, 1, 2, 400.0f, 1.0f, 0.0f), "423.9");
    g.SetRange(1, 0.0f, 1e6f);
    EXPECT_EQ(g.TickLabel(1, 1, 2, 400.0f, 1.0f, 0.0f), "1.00e+05");
}
