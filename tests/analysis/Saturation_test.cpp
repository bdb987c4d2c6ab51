// Saturation: the counting rule of "Check Saturation" and its texts, the mask of the red overlay and
// the picture it paints, and the count of the last line kept by the engine.
#include "analysis/ImageProcess.h"
#include "analysis/Saturation.h"
#include "camera/EngineSupport.h"
#include "display/ImageDisplay.h"
#include "support/EngineTestAccess.h"

#include <gtest/gtest.h>

#include <vector>

namespace {
// A cube of 4 lines x 2 bands x 3 positions (24 values), every value 100 except those set.
struct SmallCube {
    CubeGeometry g{4, 3, 2, 2};
    std::vector<uint16_t> values = std::vector<uint16_t>(24, 100);
    uint16_t& At(int line, int band, int position) {
        return values[size_t(line) * 6 + size_t(band) * 3 + position];
    }
};
} // namespace

TEST(Saturation, CountsByTheRuleWithTheStaticTexts) {
    SmallCube c;
    c.At(0, 0, 0) = 4095; // at the ceiling
    c.At(1, 1, 2) = 4095;
    c.At(2, 0, 1) = 3000; // at a Max of 3000
    c.At(3, 1, 0) = 2999; // just below it
    c.At(0, 1, 1) = 10;   // at a Min of 10
    c.At(2, 1, 2) = 0;
    c.At(3, 0, 2) = 11; // just above it

    // Default limits (Max 4096, Min 0): the two values at 4095 are still clipped, one zero is low.
    SaturationCount n = CountSaturation(c.values.data(), c.g, SaturationLimits{});
    EXPECT_EQ(n.high, 2u);
    EXPECT_EQ(n.low, 1u);
    EXPECT_EQ(n.total, 24u);
    // 2 of 24 values: 8.333333 %; "%d %s%f%s" puts a blank before " Pixels (" as well.
    EXPECT_EQ(SaturationText(n.high, n.total), "2  Pixels (8.333333%)");
    EXPECT_EQ(SaturationText(n.low, n.total), "1  Pixels (4.166667%)");

    // Max 3000, Min 10: 4095, 4095, 3000 high; 10 and 0 low.
    n = CountSaturation(c.values.data(), c.g, SaturationLimits{3000, 10});
    EXPECT_EQ(n.high, 3u);
    EXPECT_EQ(n.low, 2u);
    EXPECT_EQ(SaturationText(n.high, n.total), "3  Pixels (12.500000%)");

    // Nothing at the limits.
    c = SmallCube{};
    n = CountSaturation(c.values.data(), c.g, SaturationLimits{4096, 0});
    EXPECT_EQ(n.high, 0u);
    EXPECT_EQ(n.low, 0u);
    EXPECT_EQ(SaturationText(n.high, n.total), "No saturated pixels found");
    // A Max of 0 makes every value high, a Max above the ceiling still means 4095; Min 100 is low.
    n = CountSaturation(c.values.data(), c.g, SaturationLimits{0, 100});
    EXPECT_EQ(n.high, 24u);
    EXPECT_EQ(n.low, 24u);
    EXPECT_EQ(SaturationText(n.high, n.total), "24  Pixels (100.000000%)");
    EXPECT_EQ((SaturationLimits{60000, 0}.HighThreshold()), 4095u);
    EXPECT_EQ((SaturationLimits{-5, 0}.HighThreshold()), 0u);
    EXPECT_FALSE((SaturationLimits{4096, -1}.IsLow(0)));
    EXPECT_EQ(CountSaturation(nullptr, c.g, SaturationLimits{}).total, 0u);
}

// The AVX2 count (on processors that have it) and the portable one agree for every threshold class
// and for lengths around the block size, on values spread over the whole 16-bit range.
TEST(Saturation, CountAtLeastGivesTheSameOnEveryPath) {
    std::vector<uint16_t> v(70003);
    uint32_t x = 2463534242u;
    for (auto& e : v) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        e = uint16_t(x % 5 == 0 ? 65535 : (x >> 8));
    }
    for (size_t n :
         {size_t(0), size_t(1), size_t(63), size_t(64), size_t(65), size_t(129), size_t(66560), v.size()})
        for (uint32_t t : {0u, 1u, 2048u, 4095u, 4096u, 40000u, 65535u, 65536u}) {
            uint64_t expected = 0;
            for (size_t i = 0; i < n; ++i)
                expected += v[i] >= t;
            EXPECT_EQ(CountAtLeast(v.data(), n, t), expected) << n << " values from " << t;
            EXPECT_EQ(CountAtLeastPortable(v.data(), n, t), expected) << n << " values from " << t;
        }
}

// The low count of a cube (values at most Min) against a plain count, for Min values at and around
// the edges of the 16-bit range and of the samples, over lines longer than a counting block.
TEST(Saturation, LowCountMatchesAPlainCount) {
    const CubeGeometry g{3, 131, 2, 1};
    std::vector<uint16_t> cube(g.CubeValues());
    uint32_t x = 88172645u;
    for (auto& e : cube) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        // Many values sit on the Min values tried below, the rest anywhere in the 16-bit range.
        const uint16_t onEdge[] = {0, 1, 2, 4095, 4096, 65534, 65535};
        e = x % 3 == 0 ? onEdge[(x >> 4) % 7] : uint16_t(x >> 12);
    }
    for (int min : {-1, 0, 1, 2, 100, 4095, 65534, 65535, 70000}) {
        uint64_t expected = 0;
        for (uint16_t v : cube)
            expected += min >= 0 && int64_t(v) <= min;
        EXPECT_EQ(CountSaturation(cube.data(), g, SaturationLimits{4096, min}).low, expected)
            << "Min " << min;
    }
}

TEST(Saturation, CountAtLeastAtTheEdges) {
    const std::vector<uint16_t> v = {0, 1, 4094, 4095, 4096, 65535};
    EXPECT_EQ(CountAtLeast(v.data(), v.size(), 4095), 3u);
    EXPECT_EQ(CountAtLeast(v.data(), v.size(), 0), 6u);
    EXPECT_EQ(CountAtLeast(v.data(), v.size(), 65535), 1u);
    EXPECT_EQ(CountAtLeast(v.data(), v.size(), 65536), 0u);
    EXPECT_EQ(CountAtLeast(nullptr, 6, 1), 0u);
    // Longer runs are counted in blocks: every third of 200 values clipped (indices 0, 3, ... 198).
    std::vector<uint16_t> run(200, 4094);
    for (size_t i = 0; i < run.size(); i += 3)
        run[i] = 4095;
    EXPECT_EQ(CountAtLeast(run.data(), run.size(), 4095), 67u);
    EXPECT_EQ(CountAtLeast(run.data(), 199, 4095), 67u);
    EXPECT_EQ(CountAtLeast(run.data(), 198, 4095), 66u);
    // The same for the low values of lines longer than a block: 2 lines of 150 values, zeros at
    // every seventh value of each line (22 per line).
    const CubeGeometry g{2, 150, 1, 1};
    std::vector<uint16_t> cube(300, 9);
    for (size_t l = 0; l < 2; ++l)
        for (size_t p = 0; p < 150; p += 7)
            cube[l * 150 + p] = 0;
    const SaturationCount n = CountSaturation(cube.data(), g, SaturationLimits{4096, 0});
    EXPECT_EQ(n.low, 44u);
    EXPECT_EQ(n.high, 0u);
}

TEST(Saturation, MaskFollowsThePictureLayout) {
    SmallCube c;
    // Picture column l is line l, row r is stored position H-1-r (H = 3).
    c.At(1, 0, 0) = 4095; // band 0 -> row 2, column 1
    c.At(2, 1, 2) = 4095; // band 1 -> row 0, column 2
    c.At(3, 1, 1) = 4095; // band 1 -> row 1, column 3
    std::vector<uint8_t> mask(12, 7);
    const int band0 = 0;
    ASSERT_TRUE(MarkSaturatedLines(mask.data(), c.values.data(), c.g, &band0, 1, 4095, 0, 4));
    EXPECT_EQ(mask, (std::vector<uint8_t>{0, 0, 0, 0, /**/ 0, 0, 0, 0, /**/ 0, 1, 0, 0}));
    // Any of several bands marks the pixel.
    const int both[2] = {0, 1};
    ASSERT_TRUE(MarkSaturatedLines(mask.data(), c.values.data(), c.g, both, 2, 4095, 0, 4));
    EXPECT_EQ(mask, (std::vector<uint8_t>{0, 0, 1, 0, /**/ 0, 0, 0, 1, /**/ 0, 1, 0, 0}));
    // Only the columns of the lines asked for change (an incremental picture maps new columns
    // only); lines past the cube are ignored.
    std::fill(mask.begin(), mask.end(), uint8_t(7));
    ASSERT_TRUE(MarkSaturatedLines(mask.data(), c.values.data(), c.g, both, 2, 4095, 2, 9));
    EXPECT_EQ(mask, (std::vector<uint8_t>{7, 7, 1, 0, /**/ 7, 7, 0, 1, /**/ 7, 7, 0, 0}));
    // Refused: a band outside the cube, no band, null buffers.
    const int bad = 2;
    EXPECT_FALSE(MarkSaturatedLines(mask.data(), c.values.data(), c.g, &bad, 1, 4095, 0, 4));
    EXPECT_FALSE(MarkSaturatedLines(mask.data(), c.values.data(), c.g, both, 0, 4095, 0, 4));
    EXPECT_FALSE(MarkSaturatedLines(nullptr, c.values.data(), c.g, both, 2, 4095, 0, 4));

    // From display values (the live frame), columns [1, 3) only.
    const std::vector<uint32_t> display = {4095, 4095, 0, 4095, /**/ 3000, 4094, 4095, 0};
    std::vector<uint8_t> m(8, 7);
    ASSERT_TRUE(MarkSaturatedValues(m.data(), display.data(), 4, 2, 4095, 1, 3));
    EXPECT_EQ(m, (std::vector<uint8_t>{7, 1, 0, 7, /**/ 7, 0, 1, 7}));
}

TEST(Saturation, PaintMaskDrawsOnlyMarkedPixelsAfterAMapping) {
    ImageProcess p(4, 2);
    const std::vector<uint8_t> mask = {1, 0, 0, 0, /**/ 0, 0, 1, 1};
    // Nothing mapped yet: nothing to paint.
    p.PaintMask(mask.data(), 2, 4, 255, 0, 0);
    EXPECT_FALSE(p.IsReady());
    const std::vector<uint32_t> values(8, 0);
    p.MakeGreyBitmap(values.data(), 2, 4, 1, false, 0, 1);
    p.PaintMask(mask.data(), 2, 4, 255, 0, 0, 0, 3); // column 3 is outside the range
    std::vector<uint32_t> px;
    int w = 0, h = 0;
    ASSERT_TRUE(p.CopyTopDownRgb32(px, w, h));
    EXPECT_EQ(px, (std::vector<uint32_t>{0xFFFF0000u, 0xFF000000u, 0xFF000000u, 0xFF000000u, //
                                         0xFF000000u, 0xFF000000u, 0xFFFF0000u, 0xFF000000u}));
    // A mask of another size is not applied.
    const std::vector<uint8_t> all(6, 1);
    p.PaintMask(all.data(), 2, 3, 255, 0, 0);
    ASSERT_TRUE(p.CopyTopDownRgb32(px, w, h));
    EXPECT_EQ(px[1], 0xFF000000u);
}

namespace {
class SaturationDisplay : public ::testing::Test {
protected:
    void SetUp() override {
        engine.AllocateBuffers(g);
        engine.Calibration().SetDarkFrameValid(true);
        EngineTestAccess::WithCalibration(engine, [](std::vector<uint16_t>& dark, std::vector<float>&) {
            std::fill(dark.begin(), dark.end(), uint16_t(50));
        });
        // Line 2, band 1, position 3 (picture row 0) is clipped; line 5, band 0, position 0 (row 3)
        // sits at 3000.
        EngineTestAccess::Cube(engine)[2 * 12 + 1 * 4 + 3] = 4095;
        EngineTestAccess::Cube(engine)[5 * 12 + 0 * 4 + 0] = 3000;
    }
    // Red pixels of the picture as (column, row).
    std::vector<std::pair<int, int>> Red() {
        std::vector<uint32_t> px;
        int w = 0, h = 0;
        EXPECT_TRUE(display.Processor().CopyTopDownRgb32(px, w, h));
        std::vector<std::pair<int, int>> red;
        for (int r = 0; r < h; ++r)
            for (int l = 0; l < w; ++l)
                if (px[size_t(r) * size_t(w) + size_t(l)] == 0xFFFF0000u)
                    red.push_back({l, r});
        return red;
    }
    CubeGeometry g{8, 4, 3, 2};
    FakeHost host;
    FakeMirror mirror;
    AcquisitionEngine engine{host, mirror};
    ImageDisplay display{engine};
};
} // namespace

TEST_F(SaturationDisplay, RedWhereTheShownBandIsClippedInGreyAndColour) {
    display.controls.band = 1;
    display.controls.showSaturation = true;
    display.UpdateImage();
    EXPECT_EQ(Red(), (std::vector<std::pair<int, int>>{{2, 0}}));
    // During a scan with the dark frame subtracted the picture shows 4045, but the raw value is
    // clipped: still red.
    EngineTestAccess::SetAcquiringCube(engine, true);
    display.controls.applyDark = true;
    display.UpdateImage();
    EXPECT_EQ(EngineTestAccess::FrameImage(engine)[0 * 8 + 2], 4045u);
    EXPECT_EQ(Red(), (std::vector<std::pair<int, int>>{{2, 0}}));
    // Another band shows nothing clipped; a Max of 3000 finds the other value.
    display.controls.band = 0;
    display.UpdateImage();
    EXPECT_TRUE(Red().empty());
    display.controls.saturationMax = 3000;
    display.UpdateImage();
    EXPECT_EQ(Red(), (std::vector<std::pair<int, int>>{{5, 3}}));
    // Colour: any of the three bands.
    display.controls.color = true;
    display.controls.red = 2;
    display.controls.green = 1;
    display.controls.blue = 0;
    display.UpdateImage();
    EXPECT_EQ(Red(), (std::vector<std::pair<int, int>>{{2, 0}, {5, 3}}));
    // Unticked: no overlay.
    display.controls.showSaturation = false;
    display.UpdateImage();
    EXPECT_TRUE(Red().empty());
}

TEST_F(SaturationDisplay, LiveFrameMarksFullScaleSensorPixels) {
    EngineTestAccess::SetSpectralDisplayMode(engine, true);
    EngineTestAccess::WithFrameImage(engine, [](std::vector<uint32_t>& image) {
        std::fill(image.begin(), image.end(), 1000u);
        image[1 * 8 + 6] = 4095;
    });
    display.controls.showSaturation = true;
    display.UpdateImage();
    EXPECT_EQ(Red(), (std::vector<std::pair<int, int>>{{6, 1}}));
}

TEST(SaturationEngine, CountsTheLastLineAndTheLiveFrame) {
    FakeHost host;
    FakeMirror mirror;
    AcquisitionEngine engine(host, mirror);
    engine.AllocateBuffers(CubeGeometry{});
    engine.SetDataCameraOnline(true);
    engine.SetMinimumRedrawInterval(0);
    std::vector<uint16_t> frame(size_t(696) * 520, 0);
    // Three samples of band 0 (rows 508 ... 511) at full scale: 4095 after binning.
    for (int r = 508; r < 512; ++r)
        for (int column : {88, 89, 300})
            frame[size_t(r) * 696 + size_t(column)] = 65535;
    EXPECT_EQ(engine.LastLineHigh(), -1);
    engine.AcquisitionCommand(AcquisitionEngine::Mode::Cube);
    engine.OnDataFrame(frame.data());
    EXPECT_EQ(engine.LastLineHigh(), 3);
    // A threshold of 0 counts every value of the line.
    engine.SetSaturationThreshold(0);
    engine.OnDataFrame(frame.data());
    EXPECT_EQ(engine.LastLineHigh(), 128 * 520);
    engine.StopAcquisition();
    // The live frame: the 12 full-scale pixels of the whole frame.
    engine.SetSaturationThreshold(4095);
    engine.AcquisitionCommand(AcquisitionEngine::Mode::SpectralDisplay);
    engine.OnDataFrame(frame.data());
    EXPECT_EQ(engine.LastLineHigh(), 12);
    engine.StopAcquisition();
    engine.ShutdownDisplayThread();
}
