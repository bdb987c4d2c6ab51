#include "display/DisplayMapping.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// W = 3 lines, H = 4 samples, B = 2 bands, stacks of 2 lines.
CubeGeometry Small() {
    CubeGeometry g;
    g.width = 3;
    g.height = 4;
    g.bands = 2;
    g.darkLines = 2;
    return g;
}

// Cube value of line l, band b, sample s: 100*l + 10*b + s + 1 (never 0).
std::vector<uint16_t> MakeCube(const CubeGeometry& g, int lines) {
    std::vector<uint16_t> cube(size_t(lines) * g.LineValues());
    for (int l = 0; l < lines; ++l)
        for (int b = 0; b < g.bands; ++b)
            for (int s = 0; s < g.height; ++s)
                cube[size_t(l) * g.LineValues() + size_t(b) * g.height + s] =
                    uint16_t(100 * l + 10 * b + s + 1);
    return cube;
}

struct CountingGuard : LineReadGuard {
    std::vector<int> locked;
    int depth = 0, maxDepth = 0, unlocks = 0;
    const uint16_t* buffer = nullptr;
    void LockLine(const uint16_t* b, int line) override {
        buffer = b;
        locked.push_back(line);
        maxDepth = std::max(maxDepth, ++depth);
    }
    void UnlockLine(const uint16_t*, int) override {
        --depth;
        ++unlocks;
    }
};

} // namespace

TEST(DisplayMappingTest, SourceFollowsTheAcquisitionFlags) {
    DisplayModeFlags f;
    EXPECT_EQ(SelectGreySource(f), GreySource::Cube);
    EXPECT_EQ(SelectColorSource(f), ColorSource::GreyDisplayBuffer);
    f.spectralDisplayMode = true;
    EXPECT_EQ(SelectGreySource(f), GreySource::DisplayBuffer);
    f.acquireCalCube = true;
    EXPECT_EQ(SelectGreySource(f), GreySource::CalStack);
    EXPECT_EQ(SelectColorSource(f), ColorSource::CalStack);
    f.acquireDark = true;
    EXPECT_EQ(SelectGreySource(f), GreySource::DarkStack);
    EXPECT_EQ(SelectColorSource(f), ColorSource::DarkStack);
    f.acquireCube = true;
    EXPECT_EQ(SelectGreySource(f), GreySource::CubeWithDark);
    EXPECT_EQ(SelectColorSource(f), ColorSource::CubeWithDark);
}

TEST(DisplayMappingTest, GreyFromCubeFlipsSamplesAndClampsDark) {
    const CubeGeometry g = Small();
    const auto cube = MakeCube(g, g.width);
    std::vector<uint32_t> display(12, 7777);
    CountingGuard guard;
    ASSERT_TRUE(FillDisplayFromCube(display.data(), cube.data(), g, 1, nullptr, &guard));
    // Row r shows sample 3 - r: band 1 gives 100*l + 10 + (3 - r) + 1.
    const std::vector<uint32_t> expected = {14, 114, 214, 13, 113, 213, 12, 112, 212, 11, 111, 211};
    EXPECT_EQ(display, expected);
    EXPECT_EQ(guard.locked, (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(guard.maxDepth, 1);
    EXPECT_EQ(guard.unlocks, 3);
    EXPECT_EQ(guard.buffer, cube.data());

    // Dark frame (band 1, samples 0..3) = 5, 12, 200, 0: sample 1 of line 0 is 12 - 12 = 0,
    // sample 2 of line 1 is 113 - 200 < 0 -> 0.
    std::vector<uint16_t> dark(8, 0);
    dark[4 + 0] = 5, dark[4 + 1] = 12, dark[4 + 2] = 200, dark[4 + 3] = 0;
    ASSERT_TRUE(FillDisplayFromCube(display.data(), cube.data(), g, 1, dark.data()));
    const std::vector<uint32_t> withDark = {14, 114, 214, 0, 0, 13, 0, 100, 200, 6, 106, 206};
    EXPECT_EQ(display, withDark);
}

TEST(DisplayMappingTest, GreyFromStackLeavesLaterColumns) {
    const CubeGeometry g = Small();
    const auto stack = MakeCube(g, g.darkLines);
    std::vector<uint32_t> display(12, 7777);
    ASSERT_TRUE(FillDisplayFromStack(display.data(), stack.data(), g, 0));
    const std::vector<uint32_t> expected = {4, 104, 7777, 3, 103, 7777, 2, 102, 7777, 1, 101, 7777};
    EXPECT_EQ(display, expected);
}

TEST(DisplayMappingTest, BadArgumentsChangeNothing) {
    const CubeGeometry g = Small();
    const auto cube = MakeCube(g, g.width);
    std::vector<uint32_t> display(12, 7777);
    EXPECT_FALSE(FillDisplayFromCube(display.data(), cube.data(), g, 2));
    EXPECT_FALSE(FillDisplayFromCube(display.data(), cube.data(), g, -1));
    EXPECT_FALSE(FillDisplayFromCube(display.data(), nullptr, g, 0));
    std::vector<uint16_t> r(12), gr(12), b(12);
    EXPECT_FALSE(FillPlanesFromCube(r.data(), gr.data(), b.data(), cube.data(), g, {0, 1, 2}));
    EXPECT_EQ(display, std::vector<uint32_t>(12, 7777));
}

TEST(DisplayMappingTest, ColourPlanesFromCubeAndStack) {
    const CubeGeometry g = Small();
    const auto cube = MakeCube(g, g.width);
    std::vector<uint16_t> r(12, 9), gr(12, 9), b(12, 9);
    // Dark frame: band 0 all 3, band 1 all 50.
    std::vector<uint16_t> dark = {3, 3, 3, 3, 50, 50, 50, 50};
    ASSERT_TRUE(FillPlanesFromCube(r.data(), gr.data(), b.data(), cube.data(), g, {1, 0, 1}, dark.data()));
    // Red = band 1 - 50: line 0 (11..14) -> 0, line 1 (111..114) -> 61..64, line 2 -> 161..164.
    EXPECT_EQ(r, (std::vector<uint16_t>{0, 64, 164, 0, 63, 163, 0, 62, 162, 0, 61, 161}));
    // Green = band 0 - 3: line l sample s: 100*l + s + 1 - 3.
    EXPECT_EQ(gr, (std::vector<uint16_t>{1, 101, 201, 0, 100, 200, 0, 99, 199, 0, 98, 198}));
    EXPECT_EQ(b, r);

    std::vector<uint16_t> r2(12, 9), g2(12, 9), b2(12, 9);
    const auto stack = MakeCube(g, g.darkLines);
    ASSERT_TRUE(FillPlanesFromStack(r2.data(), g2.data(), b2.data(), stack.data(), g, {0, 1, 0}));
    EXPECT_EQ(g2, (std::vector<uint16_t>{14, 114, 9, 13, 113, 9, 12, 112, 9, 11, 111, 9}));
    EXPECT_EQ(r2, (std::vector<uint16_t>{4, 104, 9, 3, 103, 9, 2, 102, 9, 1, 101, 9}));
}

TEST(DisplayMappingTest, StackLongerThanThePictureStopsAtItsWidth) {
    CubeGeometry g = Small();
    g.darkLines = 5; // more stack lines than picture columns: only W columns exist
    const auto stack = MakeCube(g, g.darkLines);
    std::vector<uint32_t> display(12, 7777);
    ASSERT_TRUE(FillDisplayFromStack(display.data(), stack.data(), g, 0));
    EXPECT_EQ(display[2], 204u);
}

TEST(DisplayMappingTest, BandListTexts) {
    const float coeffs[3] = {400.0f, 0.75f, 0.0f};
    const auto texts = BandListTexts(coeffs, 3);
    EXPECT_EQ(texts, (std::vector<std::string>{"400.00", "401.50", "403.00"}));
}
