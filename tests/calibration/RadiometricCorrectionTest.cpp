// Flat-field gains, the calibration stack files they are made from, the gain file, and the radiance
// and reflectance of cube lines, against values worked out by hand.
#include "calibration/RadiometricCorrection.h"
#include "calibration/CalibrationFiles.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

class RadiometricFiles : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir =
            std::filesystem::temp_directory_path() /
            ("arv_radcal_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        std::filesystem::create_directories(m_dir);
    }
    void TearDown() override { std::filesystem::remove_all(m_dir); }
    std::string Path(const std::string& name) const { return (m_dir / name).string(); }
    static std::vector<uint8_t> Bytes(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    std::filesystem::path m_dir;
};

// 100 columns, 8 samples, 3 bands, 2 frames: the sample columns 88 ... 95 sit inside the frame as
// on the instrument (its automatic stack frames are 3 x 100 values).
CubeGeometry Small() {
    CubeGeometry g;
    g.width = 100;
    g.height = 8;
    g.bands = 3;
    g.darkLines = 2;
    return g;
}

} // namespace

TEST(FlatFieldGains, BandMeanOverDarkSubtractedPixelMeans) {
    // Bands 3, samples 3, frames 2. Dark: band 0 at 10, band 1 at 5, band 2 at 7.
    const std::vector<uint16_t> dark{10, 10, 10, 5, 5, 5, 7, 7, 7};
    const std::vector<uint16_t> stack{
        110, 70, 10, 25, 45, 65, 7, 7, 7, // frame 0
        130, 50, 8,  25, 45, 65, 7, 7, 6, // frame 1
    };
    const FlatFieldGains g = ComputeFlatFieldGains(stack.data(), 2, dark.data(), 3, 3);
    ASSERT_EQ(g.gains.size(), 9u);
    // Band 0: means 110, 50, -1; band mean 159/3 = 53. The pixel at -1 gets 0.
    EXPECT_FLOAT_EQ(g.gains[0], 53.0f / 110.0f);
    EXPECT_FLOAT_EQ(g.gains[1], 53.0f / 50.0f);
    EXPECT_EQ(g.gains[2], 0.0f);
    // Band 1: means 20, 40, 60; band mean 40.
    EXPECT_FLOAT_EQ(g.gains[3], 2.0f);
    EXPECT_FLOAT_EQ(g.gains[4], 1.0f);
    EXPECT_FLOAT_EQ(g.gains[5], 40.0f / 60.0f);
    // Band 2: no light above the dark (means 0, 0, -0.5): every gain 0, none negative.
    EXPECT_EQ(g.gains[6], 0.0f);
    EXPECT_EQ(g.gains[7], 0.0f);
    EXPECT_EQ(g.gains[8], 0.0f);
    EXPECT_EQ(g.zeroGains, 4u);
    EXPECT_EQ(FlatFieldSummary("flat.cal", g),
              "Radiometric calibration from flat.cal: 4 of 9 gains are 0 (no signal above the dark frame).");
}

TEST_F(RadiometricFiles, GainFileIsLittleEndianFloatsThatLoadRadCalReadsBack) {
    const std::vector<float> gains{0.5f, 2.0f, 1.0f, 0.0f};
    ASSERT_EQ(SaveRadCalFile(Path("g.rad"), gains.data(), gains.size()), FileResult::Ok);
    const std::vector<uint8_t> bytes = Bytes(Path("g.rad"));
    const std::vector<uint8_t> expected{0, 0, 0, 0x3F, 0, 0, 0, 0x40, 0, 0, 0x80, 0x3F, 0, 0, 0, 0};
    EXPECT_EQ(bytes, expected);
    std::vector<float> read(4, 7.0f);
    const RadCalLoad load = LoadRadCalFile(Path("g.rad"), read.data(), read.size());
    EXPECT_EQ(load.result, FileResult::Ok);
    EXPECT_EQ(read, gains);
    EXPECT_EQ(SaveRadCalFile((m_dir / "no" / "g.rad").string(), gains.data(), 4), FileResult::OpenFailed);
}

TEST_F(RadiometricFiles, CalibrationCubeFileReadsInItsOwnOrder) {
    const CubeGeometry g = Small();
    const size_t frame = g.LineValues(); // 24
    std::vector<uint16_t> stack(2 * frame);
    for (size_t i = 0; i < stack.size(); ++i)
        stack[i] = uint16_t(i * 37 % 4096);
    ASSERT_EQ(SaveCalibrationCubeFile(Path("c.cal"), stack.data(), g, StackHeaderInfo(g, 10, {})),
              FileResult::Ok);
    const CalStackLoad load = LoadCalibrationStackFile(Path("c.cal"), g);
    ASSERT_EQ(load.result, FileResult::Ok) << load.problem;
    EXPECT_FALSE(load.automatic);
    EXPECT_EQ(load.frames, 2);
    EXPECT_EQ(load.stack, stack);
}

TEST_F(RadiometricFiles, AutomaticCalibrationFileIsTurnedIntoTheCubesBandAndSampleOrder) {
    const CubeGeometry g = Small();
    const size_t W = 100;
    // Stack frames of 3 bands x 100 columns. The file's band j is cube band 2 - j; its column
    // W - H - 88 + p = 4 + p is cube position p; the other columns lie outside the cube's samples.
    std::vector<uint16_t> slots(2 * 3 * W, 4000);
    slots[0 * 3 * W + 0 * W + 4 + 0] = 11; // frame 0, file band 0, position 0 -> cube band 2
    slots[0 * 3 * W + 2 * W + 4 + 7] = 22; // frame 0, file band 2, position 7 -> cube band 0
    slots[1 * 3 * W + 1 * W + 4 + 3] = 33; // frame 1, file band 1, position 3 -> cube band 1
    ASSERT_EQ(SaveAutoCalibrationCubeFile(Path("a.cal"), slots.data(), g, StackHeaderInfo(g, 10, {})),
              FileResult::Ok);
    const CalStackLoad load = LoadCalibrationStackFile(Path("a.cal"), g);
    ASSERT_EQ(load.result, FileResult::Ok) << load.problem;
    EXPECT_TRUE(load.automatic);
    ASSERT_EQ(load.stack.size(), 2u * 24u);
    EXPECT_EQ(load.stack[0 * 24 + 2 * 8 + 0], 11);
    EXPECT_EQ(load.stack[0 * 24 + 0 * 8 + 7], 22);
    EXPECT_EQ(load.stack[1 * 24 + 1 * 8 + 3], 33);
    EXPECT_EQ(load.stack[1 * 24 + 0 * 8 + 0], 4000);
}

TEST_F(RadiometricFiles, FilesThatAreNoCalibrationStackAreRefusedWithTheReason) {
    const CubeGeometry g = Small();
    std::vector<uint16_t> stack(2 * g.LineValues(), 100);
    ASSERT_EQ(SaveCalibrationCubeFile(Path("c.cal"), stack.data(), g, StackHeaderInfo(g, 10, {})),
              FileResult::Ok);
    std::filesystem::resize_file(Path("c.cal"), 32768 + 2 * 24 * 2 - 1);
    CalStackLoad load = LoadCalibrationStackFile(Path("c.cal"), g);
    EXPECT_EQ(load.result, FileResult::Refused);
    EXPECT_EQ(load.problem,
              "c.cal is no calibration cube file: it holds 32863 bytes, where a calibration cube file "
              "of 2 frames of 3 bands has 32864 and an automatic calibration cube file 33968.");

    stack[5] = 4096;
    ASSERT_EQ(SaveCalibrationCubeFile(Path("c.cal"), stack.data(), g, StackHeaderInfo(g, 10, {})),
              FileResult::Ok);
    load = LoadCalibrationStackFile(Path("c.cal"), g);
    EXPECT_EQ(load.result, FileResult::Refused);
    // Frame 1 is written first, so stack value 5 is the file's value 24 + 5.
    EXPECT_NE(load.problem.find("value 29 is 4096"), std::string::npos) << load.problem;

    EXPECT_EQ(LoadCalibrationStackFile(Path("missing.cal"), g).result, FileResult::OpenFailed);
}

TEST(RadiometricProducts, RadianceAndReflectanceOfASmallCube) {
    // 3 lines x 2 samples x 2 bands; line l, band b, position p at l*4 + b*2 + p.
    CubeGeometry g;
    g.width = 3;
    g.height = 2;
    g.bands = 2;
    const std::vector<uint16_t> cube{
        60,  110, 30, 50, // line 0
        210, 410, 80, 90, // line 1: the white panel is line 1, both samples
        35,  20,  25, 10, // line 2
    };
    const std::vector<uint16_t> dark{10, 10, 5, 5};
    const std::vector<float> gains{2.0f, 1.0f, 1.0f, 0.5f};

    std::vector<float> radiance(4);
    RadianceLine(&cube[8], dark.data(), gains.data(), 4, radiance.data());
    // (35-10)*2, (20-10)*1, (25-5)*1, (10-5)*0.5: a value below the dark stays negative only when it is.
    EXPECT_EQ(radiance, (std::vector<float>{50, 10, 20, 2.5f}));
    RadianceLine(&cube[0], nullptr, nullptr, 4, radiance.data());
    EXPECT_EQ(radiance, (std::vector<float>{60, 110, 30, 50}));

    WhiteRect white{1, 1, 0, 1};
    const std::vector<double> spectrum =
        WhiteReferenceSpectrum(cube.data(), g, dark.data(), gains.data(), white);
    // Band 0: (200*2 + 400*1) / 2 = 400; band 1: (75 + 85*0.5) / 2 = 58.75.
    ASSERT_EQ(spectrum.size(), 2u);
    EXPECT_DOUBLE_EQ(spectrum[0], 400.0);
    EXPECT_DOUBLE_EQ(spectrum[1], 58.75);
    const ReflectanceScale scale = ReflectanceFactors(spectrum, 0.8);
    std::vector<float> reflectance(4);
    ReflectanceLine(&cube[0], dark.data(), gains.data(), scale, 2, 2, reflectance.data());
    // Line 0: radiance 100, 100, 25, 22.5, times 0.8/400 and 0.8/58.75.
    EXPECT_FLOAT_EQ(reflectance[0], 0.2f);
    EXPECT_FLOAT_EQ(reflectance[1], 0.2f);
    EXPECT_FLOAT_EQ(reflectance[2], float(25 * 0.8 / 58.75));
    EXPECT_FLOAT_EQ(reflectance[3], float(22.5 * 0.8 / 58.75));
    // Every pixel of the panel reads the panel's reflectance on average.
    ReflectanceLine(&cube[4], dark.data(), gains.data(), scale, 2, 2, reflectance.data());
    EXPECT_FLOAT_EQ((reflectance[0] + reflectance[1]) / 2, 0.8f);
    EXPECT_FLOAT_EQ((reflectance[2] + reflectance[3]) / 2, 0.8f);

    // A band in which the panel gives nothing cannot be scaled: 0, and counted.
    const ReflectanceScale dim = ReflectanceFactors({400.0, 0.0}, 1.0);
    EXPECT_EQ(dim.darkBands, 1);
    EXPECT_EQ(dim.factors[1], 0.0);
}

TEST(WhiteReference, RectangleTextAndItsPlaceInTheCube) {
    WhiteRect r;
    std::string error;
    ASSERT_TRUE(ParseWhiteRect("260:399,40:239", r, error));
    EXPECT_EQ(r, (WhiteRect{260, 399, 40, 239}));
    ASSERT_TRUE(ParseWhiteRect("399:260,239:40", r, error));
    EXPECT_EQ(r, (WhiteRect{260, 399, 40, 239}));
    EXPECT_EQ(WhiteRectText(r), "260:399,40:239");
    for (const char* bad : {"260-399,40:239", "260:399", "a:b,c:d", "1:2,3:", "-1:5,0:3", "1:2,3:4,5"}) {
        EXPECT_FALSE(ParseWhiteRect(bad, r, error)) << bad;
        EXPECT_EQ(error.rfind("--white takes the white panel's lines and samples as L0:L1,S0:S1", 0), 0u)
            << error;
    }
    const CubeGeometry g; // 696 lines, 520 samples
    EXPECT_EQ(CheckWhiteRect({260, 399, 40, 239}, g), "");
    EXPECT_EQ(CheckWhiteRect({0, 695, 0, 519}, g), "");
    EXPECT_EQ(CheckWhiteRect({600, 700, 0, 10}, g),
              "The white reference's lines 600 to 700 leave the cube's lines 0 to 695.");
    EXPECT_EQ(CheckWhiteRect({0, 10, 500, 520}, g),
              "The white reference's samples 500 to 520 leave the cube's samples 0 to 519.");
    EXPECT_FALSE(ValidPanelReflectance(0.0));
    EXPECT_TRUE(ValidPanelReflectance(0.95));
    EXPECT_FALSE(ValidPanelReflectance(2.0));
}
