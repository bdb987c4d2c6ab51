#include "display/SpectrumProbe.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

// W = 4 lines, H = 3 samples, B = 3 bands, stacks of 2 lines.
CubeGeometry Small() {
    CubeGeometry g;
    g.width = 4;
    g.height = 3;
    g.bands = 3;
    g.darkLines = 2;
    return g;
}

size_t At(const CubeGeometry& g, int l, int b, int s) {
    return size_t(l) * g.LineValues() + size_t(b) * g.height + size_t(s);
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

} // namespace

TEST(SpectrumProbeTest, CubeValuesWithDarkAndLimits) {
    const CubeGeometry g = Small();
    std::vector<uint16_t> cube(g.CubeValues(), 0);
    // Pointer at line 2, row 0: sample H-1-0 = 2.
    cube[At(g, 2, 0, 2)] = 100;
    cube[At(g, 2, 1, 2)] = 5000; // above 4095
    cube[At(g, 2, 2, 2)] = 0;    // raw 0
    SpectrumSources src;
    src.cube = cube.data();
    std::vector<float> s(3, -1.0f);
    ASSERT_TRUE(ExtractSpectrum(2, 0, s.data(), g, src));
    EXPECT_EQ(s, (std::vector<float>{100.0f, 0.0f, 0.0f}));

    // Dark frame: band 0 sample 2 = 150 (100 - 150 < 0 -> 0), band 1 sample 2 = 1000
    // (5000 - 1000 = 4000 stays), band 2 sample 2 = 0 (raw 0 stays 0).
    std::vector<uint16_t> dark(g.LineValues(), 0);
    dark[0 * 3 + 2] = 150;
    dark[1 * 3 + 2] = 1000;
    src.darkFrame = dark.data();
    ASSERT_TRUE(ExtractSpectrum(2, 0, s.data(), g, src));
    EXPECT_EQ(s, (std::vector<float>{0.0f, 4000.0f, 0.0f}));

    // 4095 is kept, 4096 is not.
    cube[At(g, 2, 0, 2)] = 4095;
    cube[At(g, 2, 1, 2)] = 4096;
    src.darkFrame = nullptr;
    ASSERT_TRUE(ExtractSpectrum(2, 0, s.data(), g, src));
    EXPECT_EQ(s[0], 4095.0f);
    EXPECT_EQ(s[1], 0.0f);
}

TEST(SpectrumProbeTest, StacksWhileTheyAreAcquired) {
    const CubeGeometry g = Small();
    std::vector<uint16_t> cube(g.CubeValues(), 7);
    std::vector<uint16_t> dark(size_t(g.darkLines) * g.LineValues(), 0), cal(dark.size(), 0);
    // Row 1 -> sample 1. Stack values are taken as they are, even above 4095.
    dark[At(g, 1, 0, 1)] = 11, dark[At(g, 1, 1, 1)] = 5000, dark[At(g, 1, 2, 1)] = 13;
    cal[At(g, 1, 0, 1)] = 21, cal[At(g, 1, 1, 1)] = 22, cal[At(g, 1, 2, 1)] = 23;
    SpectrumSources src;
    src.cube = cube.data();
    src.darkCube = dark.data();
    src.calCube = cal.data();
    src.acquireDark = true;
    std::vector<float> s(3);
    ASSERT_TRUE(ExtractSpectrum(1, 1, s.data(), g, src));
    EXPECT_EQ(s, (std::vector<float>{11.0f, 5000.0f, 13.0f}));
    // Lines from darkLines on have no stack data: 0.
    ASSERT_TRUE(ExtractSpectrum(3, 1, s.data(), g, src));
    EXPECT_EQ(s, (std::vector<float>{0.0f, 0.0f, 0.0f}));
    src.acquireDark = false;
    src.acquireCalCube = true;
    ASSERT_TRUE(ExtractSpectrum(1, 1, s.data(), g, src));
    EXPECT_EQ(s, (std::vector<float>{21.0f, 22.0f, 23.0f}));
}

TEST(SpectrumProbeTest, OutsideThePictureLeavesTheSpectrum) {
    const CubeGeometry g = Small();
    std::vector<uint16_t> cube(g.CubeValues(), 7);
    SpectrumSources src;
    src.cube = cube.data();
    std::vector<float> s(3, -1.0f);
    EXPECT_FALSE(ExtractSpectrum(4, 0, s.data(), g, src));
    EXPECT_FALSE(ExtractSpectrum(0, 3, s.data(), g, src));
    EXPECT_FALSE(ExtractSpectrum(-1, 0, s.data(), g, src));
    src.acquireDark = true; // no dark stack given
    EXPECT_FALSE(ExtractSpectrum(0, 0, s.data(), g, src));
    EXPECT_EQ(s, (std::vector<float>{-1.0f, -1.0f, -1.0f}));
}

TEST(SpectrumProbeTest, SpectrumFileText) {
    const auto dir = std::filesystem::temp_directory_path() / "arv_spectrum_test";
    std::filesystem::create_directories(dir);
    const std::string path = (dir / "probe.txt").string();
    const float spectrum[] = {10.0f, 20.0f, 30.0f};
    ASSERT_TRUE(WriteSpectrumFile(path, 12, 345, {"400.00", "401.50", "403.00"}, spectrum, 3));
    EXPECT_EQ(ReadAll(path), "X: 12 Y: 345\n"
                             "400.00 10.000000\n"
                             "401.50 20.000000\n"
                             "403.00 30.000000\n");
    // Rewriting truncates.
    const float one[] = {0.125f};
    ASSERT_TRUE(WriteSpectrumFile(path, 0, 0, {"500.25"}, one, 1));
    EXPECT_EQ(ReadAll(path), "X: 0 Y: 0\n500.25 0.125000\n");
    std::filesystem::remove_all(dir);
}

TEST(SpectrumProbeTest, SpectrumFileFailures) {
    const float spectrum[] = {10.0f};
    EXPECT_FALSE(WriteSpectrumFile("/nonexistent-folder/s.txt", 0, 0, {"400.00"}, spectrum, 1));
    // Fewer wavelength texts than bands.
    EXPECT_FALSE(WriteSpectrumFile("/tmp/arv_never_written.txt", 0, 0, {}, spectrum, 1));
    EXPECT_FALSE(std::filesystem::exists("/tmp/arv_never_written.txt"));
    if (std::filesystem::exists("/dev/full")) {
        EXPECT_FALSE(WriteSpectrumFile("/dev/full", 0, 0, {"400.00"}, spectrum, 1));
    }
}
