// Radiance and reflectance cubes: ENVI BIL bodies of 32-bit floats with their header, byte for byte
// and as GDAL and Spectral Python read them.
#include "StorageTestSupport.h"
#include "calibration/RadiometricCorrection.h"
#include "storage/CubeWriters.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

namespace {

// 3 lines x 4 samples x 2 bands of raw counts, a dark frame and gains.
struct SmallRawCube {
    CubeGeometry g = [] {
        CubeGeometry g;
        g.width = 3;
        g.height = 4;
        g.bands = 2;
        return g;
    }();
    // line l, band b, position p at l*8 + b*4 + p: 100*(l+1) + 10*b + p + dark.
    std::vector<uint16_t> dark{1, 2, 3, 4, 5, 6, 7, 8};
    std::vector<float> gains{1.0f, 0.5f, 2.0f, 1.0f, 1.0f, 1.0f, 0.25f, 4.0f};
    std::vector<uint16_t> cube = [this] {
        std::vector<uint16_t> c(g.CubeValues());
        for (int l = 0; l < 3; ++l)
            for (int b = 0; b < 2; ++b)
                for (int p = 0; p < 4; ++p)
                    c[size_t(l * 8 + b * 4 + p)] =
                        uint16_t(100 * (l + 1) + 10 * b + p + dark[size_t(b * 4 + p)]);
        return c;
    }();
    // Radiance by hand: (100*(l+1) + 10*b + p) * gain.
    double Radiance(int l, int b, int p) const {
        return (100.0 * (l + 1) + 10.0 * b + p) * gains[size_t(b * 4 + p)];
    }
};

struct FloatView {
    std::string reader, type;
    long lines = 0, samples = 0, bands = 0;
    std::vector<double> values; // [line][sample][band]
    std::vector<std::string> wavelengths;
};

std::vector<FloatView> ReadFloatEnvi(const std::string& python, const std::string& header,
                                     const std::string& data) {
    const auto out = RunCommand(python + " '" + ARV_SOURCE_DIR + "/tests/storage/read_envi.py' '" + header +
                                "' '" + data + "'");
    std::vector<FloatView> views;
    if (!out)
        return views;
    std::istringstream in(*out);
    std::string first, values, waves, done;
    while (std::getline(in, first) && std::getline(in, values) && std::getline(in, waves) &&
           std::getline(in, done)) {
        FloatView v;
        std::istringstream(first) >> v.reader >> v.lines >> v.samples >> v.bands >> v.type;
        std::istringstream vs(values);
        double x;
        while (vs >> x)
            v.values.push_back(x);
        std::istringstream ws(waves);
        std::string w;
        while (ws >> w)
            v.wavelengths.push_back(w);
        views.push_back(v);
    }
    return views;
}

const float kCoeffs[3] = {400.0f, 2.5f, 0.0f};

} // namespace

TEST(CorrectedCubeHeader, FloatBilHeaderSaysWhatWasApplied) {
    const std::string text = BuildFloatEnviHeaderText(
        696, 520, 3, "radiance {counts}: dark frame d.drk subtracted\nno gains", kCoeffs, 0, 511);
    EXPECT_EQ(text, "ENVI\n"
                    "description = {radiance  counts : dark frame d.drk subtracted no gains}\n"
                    "samples = 520\n"
                    "lines   = 696\n"
                    "bands   = 3\n"
                    "header offset = 0\n"
                    "major frame offsets = {0, 0}\n"
                    "file type = ENVI Standard\n"
                    "data type = 4\n"
                    "interleave =  bil\n"
                    "sensor type = Unknown\n"
                    "byte order = 0\n"
                    "wavelength units = Unknown\n\n\n"
                    "wavelength = {\n"
                    "400.000000, 402.500000, 405.000000}\n"
                    "Scanner Limits (pixels) = 0\t511\n");
    // The raw cubes' header keeps its empty description and unsigned 16-bit type.
    const std::string raw = BuildEnviHeaderText(696, 520, 3, 0, kInterleaveBil, kCoeffs, 0, 511);
    EXPECT_NE(raw.find("description = {}\n"), std::string::npos);
    EXPECT_NE(raw.find("data type = 12\n"), std::string::npos);
}

TEST(CorrectedCubeFile, RadianceBodyIsLittleEndianFloatsLineByLine) {
    SmallRawCube c;
    TempDir dir;
    const std::string path = dir.File("rad.cube");
    const auto line = [&](int l, float* out) {
        RadianceLine(c.cube.data() + size_t(l) * 8, c.dark.data(), c.gains.data(), 8, out);
    };
    ASSERT_TRUE(WriteFloatBilCubeFile(path, c.g, line));
    const std::vector<uint8_t> bytes = ReadFileBytes(path);
    ASSERT_EQ(bytes.size(), 3u * 8u * 4u);
    // Line 0, band 0, position 1: (100 + 1) * 0.5 = 50.5 = 0x424A0000.
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 4, bytes.begin() + 8),
              (std::vector<uint8_t>{0, 0, 0x4A, 0x42}));
    for (int l = 0; l < 3; ++l)
        for (int b = 0; b < 2; ++b)
            for (int p = 0; p < 4; ++p) {
                float v;
                std::memcpy(&v, &bytes[size_t(l * 8 + b * 4 + p) * 4], 4);
                EXPECT_FLOAT_EQ(v, float(c.Radiance(l, b, p))) << l << " " << b << " " << p;
            }
}

TEST(CorrectedCubeFile, GdalAndSpectralPythonReadRadianceAndReflectance) {
    const std::string python = PythonWithGdal();
    if (python.empty())
        GTEST_SKIP() << "no python3 with GDAL";
    SmallRawCube c;
    TempDir dir;
    // White panel: line 2, positions 0 and 1. Its mean radiance per band by hand:
    //   band 0: (300*1 + 301*0.5) / 2 = 225.25; band 1: (310*1 + 311*1) / 2 = 310.5.
    const WhiteRect white{2, 2, 0, 1};
    const std::vector<double> spectrum =
        WhiteReferenceSpectrum(c.cube.data(), c.g, c.dark.data(), c.gains.data(), white);
    ASSERT_DOUBLE_EQ(spectrum[0], 225.25);
    ASSERT_DOUBLE_EQ(spectrum[1], 310.5);
    const ReflectanceScale scale = ReflectanceFactors(spectrum, 0.9);

    for (const bool reflectance : {false, true}) {
        SCOPED_TRACE(reflectance ? "reflectance" : "radiance");
        const std::string path = dir.File(reflectance ? "refl.cube" : "rad.cube");
        ASSERT_TRUE(WriteFloatBilCubeFile(path, c.g, [&](int l, float* out) {
            const uint16_t* line = c.cube.data() + size_t(l) * 8;
            if (reflectance)
                ReflectanceLine(line, c.dark.data(), c.gains.data(), scale, 2, 4, out);
            else
                RadianceLine(line, c.dark.data(), c.gains.data(), 8, out);
        }));
        ASSERT_TRUE(WriteEnviHeader(path, BuildFloatEnviHeaderText(3, 4, 2, "test", kCoeffs, 0, 2)));
        const auto views = ReadFloatEnvi(python, EnviHeaderPath(path), path);
        ASSERT_EQ(views.size(), 2u);
        for (const FloatView& v : views) {
            SCOPED_TRACE(v.reader);
            EXPECT_EQ(v.type, "float32");
            EXPECT_EQ(v.lines, 3);
            EXPECT_EQ(v.samples, 4);
            EXPECT_EQ(v.bands, 2);
            EXPECT_EQ(v.wavelengths, (std::vector<std::string>{"400.000000", "402.500000"}));
            ASSERT_EQ(v.values.size(), 24u);
            for (int l = 0; l < 3; ++l)
                for (int p = 0; p < 4; ++p)
                    for (int b = 0; b < 2; ++b) {
                        const double expected = reflectance
                                                    ? c.Radiance(l, b, p) * 0.9 / (b == 0 ? 225.25 : 310.5)
                                                    : c.Radiance(l, b, p);
                        EXPECT_NEAR(v.values[size_t(l * 8 + p * 2 + b)], expected,
                                    1e-5 * std::max(1.0, expected))
                            << l << " " << p << " " << b;
                    }
        }
    }
}
