// Files opened by independent readers: GDAL and Spectral Python for the ENVI cubes, Pillow for the
// bitmap. Also the full-size standard and BIL files.
#include "StorageTestSupport.h"
#include "storage/BmpWriter.h"
#include "storage/CubeWriters.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <numeric>
#include <sstream>

namespace {

struct ReaderView {
    std::string reader;
    long lines = 0, samples = 0, bands = 0;
    std::string type;
    std::vector<long long> values;
    std::vector<std::string> wavelengths;
};

std::vector<ReaderView> ReadEnvi(const std::string& python, const std::string& header,
                                 const std::string& data, bool summary = false) {
    const std::string cmd = python + " '" + ARV_SOURCE_DIR + "/tests/storage/read_envi.py' '" + header +
                            "' '" + data + "'" + (summary ? " --sum" : "");
    const auto out = RunCommand(cmd);
    std::vector<ReaderView> views;
    if (!out)
        return views;
    std::istringstream in(*out);
    std::string first, values, waves, done;
    while (std::getline(in, first) && std::getline(in, values) && std::getline(in, waves) &&
           std::getline(in, done)) {
        ReaderView v;
        std::istringstream f(first);
        f >> v.reader >> v.lines >> v.samples >> v.bands >> v.type;
        std::istringstream vs(values);
        long long x;
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

// 5 lines x 7 samples x 3 bands, values using all 16 bits.
struct SmallCube {
    CubeGeometry g = [] {
        CubeGeometry g;
        g.width = 5;
        g.height = 7;
        g.bands = 3;
        return g;
    }();
    std::vector<uint16_t> cube = [this] {
        std::vector<uint16_t> c(g.CubeValues());
        for (size_t i = 0; i < c.size(); ++i)
            c[i] = uint16_t(i * 613 + 17);
        return c;
    }();
    uint16_t At(int l, int b, int p) const { return cube[size_t(l) * 21 + size_t(b) * 7 + size_t(p)]; }
    // The values in [line][sample][band] order, lines in the given file order.
    std::vector<long long> InOrder(bool reversedLines) const {
        std::vector<long long> v;
        for (int i = 0; i < 5; ++i) {
            const int l = reversedLines ? 4 - i : i;
            for (int p = 0; p < 7; ++p)
                for (int b = 0; b < 3; ++b)
                    v.push_back(At(l, b, p));
        }
        return v;
    }
};

const float kCoeffs[3] = {400.0f, 2.5f, 0.5f}; // bands 0, 1, 2 at 400, 403, 407

class EnviReaders : public ::testing::Test {
protected:
    void SetUp() override {
        python = PythonWithGdal();
        if (python.empty())
            GTEST_SKIP() << "no python3 with GDAL";
    }
    void Check(const std::string& cubePath, bool reversedLines) {
        const auto views = ReadEnvi(python, EnviHeaderPath(cubePath), cubePath);
        ASSERT_EQ(views.size(), 2u) << "GDAL and Spectral Python both open " << cubePath;
        for (const ReaderView& v : views) {
            SCOPED_TRACE(v.reader);
            EXPECT_EQ(v.lines, 5);
            EXPECT_EQ(v.samples, 7);
            EXPECT_EQ(v.bands, 3);
            EXPECT_EQ(v.type, "uint16");
            EXPECT_EQ(v.values, c.InOrder(reversedLines));
            EXPECT_EQ(v.wavelengths, (std::vector<std::string>{"400.000000", "403.000000", "407.000000"}));
        }
    }
    std::string python;
    SmallCube c;
    TempDir dir;
};

} // namespace

TEST_F(EnviReaders, StandardFileWithHeaderOffset) {
    const std::string path = dir.File("std.cube");
    std::vector<uint16_t> dark(c.g.LineValues(), 7);
    ASSERT_TRUE(WriteStandardCubeFile(path, c.cube.data(), c.g, dark.data(), CubeHeaderInfo{}));
    ASSERT_TRUE(WriteEnviHeader(path, BuildEnviHeaderText(5, 7, 3, 32768, kInterleaveBil, kCoeffs, 0, 4)));
    Check(path, true);
}

TEST_F(EnviReaders, Bil) {
    const std::string path = dir.File("bil.cube");
    ASSERT_TRUE(WriteBilCubeFile(path, c.cube.data(), c.g));
    ASSERT_TRUE(WriteEnviHeader(path, BuildEnviHeaderText(5, 7, 3, 0, kInterleaveBil, kCoeffs, 0, 4)));
    Check(path, false);
}

TEST_F(EnviReaders, Bsq) {
    const std::string path = dir.File("bsq.cube");
    ASSERT_TRUE(WriteBsqCubeFile(path, c.cube.data(), c.g));
    ASSERT_TRUE(WriteEnviHeader(path, BuildEnviHeaderText(5, 7, 3, 0, kInterleaveBsq, kCoeffs, 0, 4)));
    Check(path, false);
}

TEST_F(EnviReaders, Bip) {
    const std::string path = dir.File("bip.cube");
    ASSERT_TRUE(WriteBipCubeFile(path, c.cube.data(), c.g));
    ASSERT_TRUE(WriteEnviHeader(path, BuildEnviHeaderText(5, 7, 3, 0, kInterleaveBip, kCoeffs, 0, 4)));
    Check(path, false);
}

TEST(FullSizeCube, StandardAndBilFilesOfTheExampleGeometry) {
    const CubeGeometry g; // 696 x 520 x 128
    std::vector<uint16_t> cube(g.CubeValues());
    for (size_t i = 0; i < cube.size(); ++i)
        cube[i] = uint16_t(((i * 2654435761u) >> 20) & 0x0FFF);
    std::vector<uint16_t> dark(g.LineValues());
    for (size_t i = 0; i < dark.size(); ++i)
        dark[i] = uint16_t(i % 4096);
    TempDir dir;
    const std::string stdPath = dir.File("std.cube");
    ASSERT_TRUE(WriteStandardCubeFile(stdPath, cube.data(), g, dark.data(), CubeHeaderInfo{}));
    ASSERT_TRUE(WriteBilCubeFile(dir.File("bil.cube"), cube.data(), g));

    {
        const auto standard = ReadFileBytes(stdPath);
        ASSERT_EQ(standard.size(), 92950528u);
        const size_t line = 133120; // bytes of one cube line
        EXPECT_EQ(0, std::memcmp(&standard[32768], &cube[695 * 66560], line)) << "first line is line 695";
        EXPECT_EQ(0, std::memcmp(&standard[32768 + 695 * line], &cube[0], line)) << "last line is line 0";
        EXPECT_EQ(0, std::memcmp(&standard[standard.size() - line], dark.data(), line));
        for (size_t i = standard.size() - 2 * line; i < standard.size() - line; i += 2)
            ASSERT_TRUE(standard[i] == 0xE8 && standard[i + 1] == 0x03) << "at " << i;
    }
    {
        const auto bil = ReadFileBytes(dir.File("bil.cube"));
        ASSERT_EQ(bil.size(), 92651520u);
        EXPECT_EQ(0, std::memcmp(bil.data(), cube.data(), bil.size()));
    }

    const std::string python = PythonWithGdal();
    if (python.empty())
        GTEST_SKIP() << "no python3 with GDAL";
    const float coeffs[3] = {400.0f, 2.5f, 0.0f};
    ASSERT_TRUE(
        WriteEnviHeader(stdPath, BuildEnviHeaderText(696, 520, 128, 32768, kInterleaveBil, coeffs, 0, 695)));
    const auto views = ReadEnvi(python, EnviHeaderPath(stdPath), stdPath, true);
    ASSERT_EQ(views.size(), 2u);
    // The sum of the W lines (not the trailing frames), then sample 0 of file line 0 (cube line
    // 695) and of the last file line (cube line 0), all bands.
    std::vector<long long> expected{std::accumulate(cube.begin(), cube.end(), 0LL)};
    for (int l : {695, 0})
        for (int b = 0; b < 128; ++b)
            expected.push_back(cube[size_t(l) * 66560 + size_t(b) * 520]);
    for (const ReaderView& v : views) {
        SCOPED_TRACE(v.reader);
        EXPECT_EQ(v.lines, 696);
        EXPECT_EQ(v.samples, 520);
        EXPECT_EQ(v.bands, 128);
        EXPECT_EQ(v.values, expected);
        ASSERT_EQ(v.wavelengths.size(), 128u);
        EXPECT_EQ(v.wavelengths[1], "402.500000");
        EXPECT_EQ(v.wavelengths[127], "717.500000");
    }
}

TEST(BitmapFile, PillowOpensA24BitBitmap) {
    const uint32_t W = 696, H = 520;
    std::vector<uint8_t> rows(DibStride(W) * H);
    // Blue = x & 255, green = row from the bottom & 255, red 200.
    for (uint32_t y = 0; y < H; ++y)
        for (uint32_t x = 0; x < W; ++x) {
            uint8_t* p = &rows[y * DibStride(W) + 3 * x];
            p[0] = uint8_t(x);
            p[1] = uint8_t(y);
            p[2] = 200;
        }
    TempDir dir;
    const std::string path = dir.File("view");
    ASSERT_TRUE(WriteBmp24(path, W, H, rows.data(), DibStride(W)));
    const auto file = ReadFileBytes(path);
    ASSERT_EQ(file.size(), 1085814u);
    const std::vector<uint8_t> header(file.begin(), file.begin() + 54);
    EXPECT_EQ(Hex(header), "42 4D 76 91 10 00 00 00 00 00 36 00 00 00 28 00 00 00 B8 02 00 00 08 02 00 00 "
                           "01 00 18 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
                           "00 00 ");

    const std::string python = PythonWithGdal();
    if (python.empty())
        GTEST_SKIP() << "no python3 with GDAL";
    // Pixel (x, y) from the top: red 200, green = (H - 1 - y) & 255, blue = x & 255.
    const auto out =
        RunCommand(python + " -c \"from PIL import Image; im = Image.open('" + path +
                   "'); print(im.format, im.size, im.mode, im.getpixel((0, 0)), im.getpixel((300, 519)))\"");
    ASSERT_TRUE(out.has_value());
    EXPECT_EQ(*out, "BMP (696, 520) RGB (200, 7, 0) (200, 0, 44)\n");
}
