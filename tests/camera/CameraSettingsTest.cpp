#include "camera/CameraSettings.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

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
