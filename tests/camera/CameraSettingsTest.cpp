#include "camera/CameraSettings.h"
#include "support/DiskFaults.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <clocale>
#include <filesystem>

namespace {
struct Loaded {
    CameraSettingsValues values;
    std::array<int32_t, 3> rgb = {1, 2, 3};
    CameraSettingsReadResult result;
};

Loaded Load(const TempDir& dir, const std::string& content) {
    dir.Write("cam.txt", content);
    Loaded l;
    l.result = ReadCameraSettingsFile(dir.File("cam.txt"), l.values, l.rgb, 128);
    return l;
}
} // namespace

TEST(CameraSettings, BandCountMapping) {
    EXPECT_EQ(BandCountFromCode(0), 60);
    EXPECT_EQ(BandCountFromCode(1), 128);
    EXPECT_EQ(BandCountFromCode(2), 180);
    EXPECT_EQ(BandCountFromCode(3), 240);
    EXPECT_EQ(BandCodeFromCount(240), 3);
    EXPECT_EQ(BandCodeFromCount(60), 0);
    // Any other count becomes 128.
    EXPECT_EQ(BandCountFromCode(BandCodeFromCount(100)), 128);
    EXPECT_EQ(BandCountFromCode(-5), 128);
}

TEST(CameraSettings, WritesTheDocumentedText) {
    CameraSettingsValues v;
    EXPECT_EQ(CameraSettingsText(v, {47, 27, 58}), "128 0 10.000000 1 0.000000 0\n47 27 58\n");
    v.exposure = 148.123456789;
    v.gain = 3;
    v.SetBands(240);
    v.secondExposure = 2.5;
    v.secondGain = -1;
    EXPECT_EQ(CameraSettingsText(v, {1, 2, 3}), "240 0 148.123457 3 2.500000 -1\n1 2 3\n");
}

TEST(CameraSettings, RoundTripThroughTheFile) {
    TempDir dir;
    CameraSettingsValues v;
    v.exposure = 33.5;
    v.gain = 4;
    ASSERT_TRUE(WriteCameraSettingsFile(dir.File("cam.txt"), v, {10, 20, 30}));
    EXPECT_EQ(dir.Read("cam.txt"), "128 0 33.500000 4 0.000000 0\n10 20 30\n");
    CameraSettingsValues back;
    std::array<int32_t, 3> rgb{};
    auto r = ReadCameraSettingsFile(dir.File("cam.txt"), back, rgb, 128);
    EXPECT_TRUE(r.opened);
    EXPECT_EQ(r.fieldsLine1, 6);
    EXPECT_DOUBLE_EQ(back.exposure, 33.5);
    EXPECT_EQ(back.gain, 4);
    EXPECT_EQ(rgb, (std::array<int32_t, 3>{10, 20, 30}));
}

TEST(CameraSettings, AFailedWriteKeepsTheFileThatWasThere) {
    TempDir dir;
    dir.Write("cam.txt", "128 0 33.500000 4 0.000000 0\n10 20 30\n");
    const int child = RunWithFileSizeLimit(10, [&] {
        return WriteCameraSettingsFile(dir.File("cam.txt"), CameraSettingsValues{}, {1, 2, 3}) ? 1 : 0;
    });
    EXPECT_EQ(child, 0);
    EXPECT_EQ(dir.Read("cam.txt"), "128 0 33.500000 4 0.000000 0\n10 20 30\n");
    EXPECT_EQ(
        std::distance(std::filesystem::directory_iterator(dir.Path()), std::filesystem::directory_iterator()),
        1);
}

TEST(CameraSettings, UnwritableFileIsReported) {
    EXPECT_FALSE(WriteCameraSettingsFile("/nonexistent-folder/cam.txt", CameraSettingsValues{}, {0, 0, 0}));
}

TEST(CameraSettings, MissingFileKeepsDefaults) {
    CameraSettingsValues v;
    std::array<int32_t, 3> rgb = {47, 27, 58};
    auto r = ReadCameraSettingsFile("/nonexistent-folder/cam.txt", v, rgb, 128);
    EXPECT_FALSE(r.opened);
    EXPECT_DOUBLE_EQ(v.exposure, 10.0);
    EXPECT_EQ(v.gain, 1);
}

TEST(CameraSettings, BadFilesLoadWhatCanBeReadAndKeepTheRest) {
    TempDir dir;
    // Empty file: everything keeps its default; the R, G, B indices given (1, 2, 3) are valid.
    {
        auto l = Load(dir, "");
        EXPECT_TRUE(l.result.opened);
        EXPECT_EQ(l.result.fieldsLine1, 0);
        EXPECT_DOUBLE_EQ(l.values.exposure, 10.0);
        EXPECT_EQ(l.rgb, (std::array<int32_t, 3>{1, 2, 3}));
    }
    // Short line 1: band count and binning code only.
    {
        auto l = Load(dir, "180 2\n");
        EXPECT_EQ(l.result.fieldsLine1, 2);
        EXPECT_EQ(l.values.Bands(), 180);
        EXPECT_EQ(l.values.binningCode, 2);
        EXPECT_DOUBLE_EQ(l.values.exposure, 10.0);
    }
    // Non-numeric exposure stops the line there; the gain after it is not guessed.
    {
        auto l = Load(dir, "128 0 fast 7 0 0\n5 6 7\n");
        EXPECT_EQ(l.result.fieldsLine1, 2);
        EXPECT_DOUBLE_EQ(l.values.exposure, 10.0);
        EXPECT_EQ(l.values.gain, 1);
        EXPECT_EQ(l.rgb, (std::array<int32_t, 3>{5, 6, 7}));
    }
    // A fractional gain is not an integer field value.
    {
        auto l = Load(dir, "128 0 20 1.5 0 0\n");
        EXPECT_EQ(l.result.fieldsLine1, 3);
        EXPECT_DOUBLE_EQ(l.values.exposure, 20.0);
        EXPECT_EQ(l.values.gain, 1);
    }
    // Band count 100 is read as 128; not-a-number and overflowing values are refused.
    {
        auto l = Load(dir, "100 0 nan 99999999999 0 0\n");
        EXPECT_EQ(l.values.Bands(), 128);
        EXPECT_DOUBLE_EQ(l.values.exposure, 10.0);
    }
    // R, G, B indices outside 0 ... B-1 are replaced by the defaults 47, 27, 58.
    {
        auto l = Load(dir, "128 0 10 1 0 0\n-1 128 5\n");
        EXPECT_TRUE(l.result.rgbReplaced);
        EXPECT_EQ(l.rgb, (std::array<int32_t, 3>{47, 27, 5}));
    }
    // A half-written second line keeps the indices it could not read.
    {
        auto l = Load(dir, "128 0 10 1 0 0\n9 x 11\n");
        EXPECT_EQ(l.result.fieldsLine2, 1);
        EXPECT_EQ(l.rgb, (std::array<int32_t, 3>{9, 2, 3}));
    }
}

TEST(CameraSettings, NumbersOutsideTheirRangeAreRefusedAndReported) {
    TempDir dir;
    // Each refused value keeps its field's value; the fields after it are still read.
    {
        auto l = Load(dir, "128 0 1e300 0 -1 5000\n");
        EXPECT_EQ(l.result.fieldsLine1, 6);
        EXPECT_DOUBLE_EQ(l.values.exposure, 10.0);
        EXPECT_EQ(l.values.gain, 1);
        EXPECT_DOUBLE_EQ(l.values.secondExposure, 0.0);
        EXPECT_EQ(l.values.secondGain, 0);
        EXPECT_EQ(CameraSettingsProblemText(l.result),
                  "ARV300_Camera_Settings.txt:\n"
                  "line 1, Integration 1e300 ms is not between 0.001 and 60000 ms; 10 ms kept\n"
                  "line 1, Gain 0 is not between 1 and 1000; 1 kept\n"
                  "line 1, the second integration -1 ms is not between 0 and 60000 ms; 0 ms kept\n"
                  "line 1, the second gain 5000 is not between 0 and 1000; 0 kept");
    }
    // Zero, shorter than a microsecond (1e-9 would be written back as 0.000000), negative, infinite,
    // not-a-number and too long integrations; then the shortest and longest accepted.
    for (const char* bad : {"0", "1e-9", "0.0009", "-5", "inf", "-inf", "nan", "60000.001"}) {
        auto l = Load(dir, std::string("128 0 ") + bad + " 2 0 0\n");
        EXPECT_DOUBLE_EQ(l.values.exposure, 10.0) << bad;
        EXPECT_EQ(l.values.gain, 2) << bad;
        EXPECT_EQ(l.result.problems.Problems().size(), 1u) << bad;
    }
    {
        auto l = Load(dir, "128 0 60000 1000 0 0\n");
        EXPECT_DOUBLE_EQ(l.values.exposure, 60000.0);
        EXPECT_EQ(l.values.gain, 1000);
        EXPECT_EQ(CameraSettingsProblemText(l.result), "");
        l = Load(dir, "128 0 0.001 1 0 0\n");
        EXPECT_DOUBLE_EQ(l.values.exposure, 0.001);
        EXPECT_EQ(l.values.gain, 1);
        EXPECT_EQ(CameraSettingsProblemText(l.result), "");
    }
    // Integers beyond 32 bits are numbers out of range, not garbage; text ends the line.
    {
        auto l = Load(dir, "99999999999 -99999999999 20 fast 0 0\n");
        EXPECT_EQ(l.values.Bands(), 128);
        EXPECT_EQ(l.values.binningCode, 0);
        EXPECT_DOUBLE_EQ(l.values.exposure, 20.0);
        EXPECT_EQ(l.result.fieldsLine1, 3);
        EXPECT_EQ(CameraSettingsProblemText(l.result),
                  "ARV300_Camera_Settings.txt:\n"
                  "line 1, the band count 99999999999 does not fit in 32 bits; 128 kept\n"
                  "line 1, the binning code -99999999999 does not fit in 32 bits; 0 kept\n"
                  "line 1, Gain: \"fast\" is not a whole number; it and the values after it are not read");
    }
    // Colour bands outside the lists are named too.
    {
        auto l = Load(dir, "128 0 10 1 0 0\n200 27 58\n");
        EXPECT_EQ(l.rgb, (std::array<int32_t, 3>{47, 27, 58}));
        EXPECT_EQ(CameraSettingsProblemText(l.result),
                  "ARV300_Camera_Settings.txt: line 2, the red band 200 is not between 0 and 127; 47 used");
    }
    // A file of the program's own writing has nothing to report.
    EXPECT_EQ(CameraSettingsProblemText(Load(dir, "128 0 10.000000 1 0.000000 0\n47 27 58\n").result), "");
}

TEST(CameraSettings, TheFileIsWrittenAndReadWithAPointWhateverTheLocale) {
    const std::string saved = std::setlocale(LC_NUMERIC, nullptr) ? std::setlocale(LC_NUMERIC, nullptr) : "C";
    const char* comma = nullptr;
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8"})
        if (std::setlocale(LC_NUMERIC, name)) {
            comma = name;
            break;
        }
    if (!comma)
        GTEST_SKIP() << "no locale with a decimal comma installed";
    TempDir dir;
    CameraSettingsValues v;
    v.exposure = 12.25;
    const bool written = WriteCameraSettingsFile(dir.File("cam.txt"), v, {1, 2, 3});
    CameraSettingsValues back;
    std::array<int32_t, 3> rgb{};
    ReadCameraSettingsFile(dir.File("cam.txt"), back, rgb, 128);
    std::setlocale(LC_NUMERIC, saved.c_str());
    ASSERT_TRUE(written);
    EXPECT_EQ(dir.Read("cam.txt"), "128 0 12.250000 1 0.000000 0\n1 2 3\n");
    EXPECT_DOUBLE_EQ(back.exposure, 12.25);
}
