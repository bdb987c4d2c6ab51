// The 32768-byte file header, compared byte for byte with a buffer laid out by hand at the
// absolute offsets of the format.
#include "storage/CubeHeader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include <cstring>

namespace {

void PutBytes(std::vector<uint8_t>& b, size_t at, std::initializer_list<uint8_t> bytes) {
    for (uint8_t v : bytes)
        b[at++] = v;
}
void PutU16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
    PutBytes(b, at, {uint8_t(v), uint8_t(v >> 8)});
}
void PutI32(std::vector<uint8_t>& b, size_t at, int32_t v) {
    const uint32_t u = uint32_t(v);
    PutBytes(b, at, {uint8_t(u), uint8_t(u >> 8), uint8_t(u >> 16), uint8_t(u >> 24)});
}
void PutF32(std::vector<uint8_t>& b, size_t at, float f) {
    uint32_t u;
    std::memcpy(&u, &f, 4);
    PutI32(b, at, int32_t(u));
}

// Distinct values in every cell so that a swapped column or row shows.
DefaultCalibration Calibration() {
    DefaultCalibration cal;
    cal.coeffs[0] = 400.0f;  // 43C80000
    cal.coeffs[1] = 2.5f;    // 40200000
    cal.coeffs[2] = -0.125f; // BE000000
    for (int r = 0; r < 3; ++r) {
        cal.rows[r].column1 = 100 * (r + 1) + 1;
        for (int c = 0; c < 5; ++c)
            cal.rows[r].columns[c] = float(r + 1) * 10.0f + float(c + 2) + 0.5f; // row.column + 0.5
    }
    return cal;
}

float Col(const DefaultCalibration& cal, int row, int column) {
    return cal.rows[row].columns[column - 2];
}

std::vector<uint8_t> ExpectedHeader(int samples, int lines, int bands, int exposure,
                                    const DefaultCalibration& cal, bool cubeVariant) {
    std::vector<uint8_t> b(32768, 0);
    const char* version = "Ver 1.0 KORVA-Lite    ";
    std::memcpy(b.data(), version, 22);
    PutU16(b, 22, uint16_t(samples));
    PutU16(b, 28, uint16_t(lines));
    PutU16(b, 34, uint16_t(bands));
    for (int r = 0; r < 3; ++r) {
        PutF32(b, 3137 + 4 * r, Col(cal, r, 3));
        PutF32(b, 3149 + 4 * r, Col(cal, r, 4));
        PutF32(b, 3161 + 4 * r, Col(cal, r, 5));
        PutF32(b, 3173 + 4 * r, Col(cal, r, 6));
        PutF32(b, 3185 + 4 * r, Col(cal, r, 2));
    }
    PutI32(b, 3197, exposure);
    // 3201: 1189 floats 0.0 (zero bytes).
    for (int i = 0; i < 384; ++i)
        PutBytes(b, 7957 + 4 * i, {0x00, 0x00, 0x80, 0x3F});
    for (int i = 0; i < 768; ++i) {
        if (cubeVariant)
            PutBytes(b, 14531 + 4 * i, {0xED, 0x0D, 0x36, 0x40});
        else
            PutBytes(b, 14531 + 4 * i, {0x00, 0x00, 0x80, 0x3F});
    }
    for (size_t base : {size_t(18823), size_t(21859)}) {
        for (int r = 0; r < 3; ++r)
            PutI32(b, base + 4 * r, cal.rows[r].column1);
        PutBytes(b, base + 12, {0x00, 0x00, 0xC8, 0x43, 0x00, 0x00, 0x20, 0x40, 0x00, 0x00, 0x00, 0xBE});
    }
    PutBytes(b, 21699, {'N', 'o', 'n', 'e'});
    PutBytes(b, 21779, {'N', 'o', 'n', 'e'});
    return b;
}

void ExpectSameBytes(const std::vector<uint8_t>& actual, const std::vector<uint8_t>& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i)
        ASSERT_EQ(int(actual[i]), int(expected[i])) << "first difference at offset " << i;
}

} // namespace

TEST(CubeHeader, CubeVariantMatchesTheLayoutByteForByte) {
    CubeHeaderInfo info;
    info.samples = 520;
    info.lines = 696;
    info.bands = 128;
    info.exposureMs = 30.9; // truncated to 30
    info.calibration = Calibration();
    info.variant = CubeHeaderVariant::Cube;
    ExpectSameBytes(BuildCubeHeader(info), ExpectedHeader(520, 696, 128, 30, info.calibration, true));
}

TEST(CubeHeader, CalibrationVariantOfADarkStack) {
    CubeHeaderInfo info;
    info.samples = 520;
    info.lines = 25;
    info.bands = 240;
    info.exposureMs = -2.7; // toward zero: -2
    info.calibration = Calibration();
    info.variant = CubeHeaderVariant::Calibration;
    const std::vector<uint8_t> bytes = BuildCubeHeader(info);
    ExpectSameBytes(bytes, ExpectedHeader(520, 25, 240, -2, info.calibration, false));
    // A few fields spelled out as literal bytes.
    EXPECT_EQ(bytes[28], 25);
    EXPECT_EQ(bytes[29], 0);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 3197, bytes.begin() + 3201),
              (std::vector<uint8_t>{0xFE, 0xFF, 0xFF, 0xFF}));
}

TEST(CubeHeader, IntegrationFieldStaysDefinedForAnyValue) {
    // Values from outside are refused where they enter; whatever still reaches the header is held
    // inside the field's range instead of converting with undefined behaviour.
    EXPECT_EQ(HeaderExposureMs(2147483646.9), 2147483646);
    EXPECT_EQ(HeaderExposureMs(2147483647.5), 2147483647);
    EXPECT_EQ(HeaderExposureMs(1e300), 2147483647);
    EXPECT_EQ(HeaderExposureMs(std::numeric_limits<double>::infinity()), 2147483647);
    EXPECT_EQ(HeaderExposureMs(-2147483648.9), -2147483647 - 1);
    EXPECT_EQ(HeaderExposureMs(-std::numeric_limits<double>::infinity()), -2147483647 - 1);
    EXPECT_EQ(HeaderExposureMs(std::nan("")), 0);
    CubeHeaderInfo info;
    info.exposureMs = 1e300;
    const std::vector<uint8_t> bytes = BuildCubeHeader(info);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 3197, bytes.begin() + 3201),
              (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0x7F}));
}

TEST(CubeHeader, WriteLeavesTheStreamAfterTheHeader) {
    CubeHeaderInfo info;
    info.calibration = Calibration();
    FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    ASSERT_TRUE(WriteCubeHeader(f, info));
    EXPECT_EQ(std::ftell(f), 32768);
    std::rewind(f);
    std::vector<uint8_t> bytes(32768);
    ASSERT_EQ(std::fread(bytes.data(), 1, bytes.size(), f), bytes.size());
    std::fclose(f);
    ExpectSameBytes(bytes, ExpectedHeader(520, 696, 128, 10, info.calibration, true));
}
