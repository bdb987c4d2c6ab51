#include "analysis/ImageProcess.h"
#include "support/DiskFaults.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace {

// Colour table 1 entries used below, computed by hand as trunc(255 * (i/255)^0.6):
//   i = 1:   (1/255)^0.6   = e^(0.6 * -5.5413)  = 0.035981 -> 9.175  -> 9
//   i = 25:  (25/255)^0.6  = e^(0.6 * -2.32239) = 0.248222 -> 63.297 -> 63
//   i = 26:  (26/255)^0.6  = e^(0.6 * -2.28318) = 0.254132 -> 64.804 -> 64
//   i = 128: (128/255)^0.6 = e^(0.6 * -0.68923) = 0.661305 -> 168.63 -> 168
constexpr uint8_t kT1 = 9, kT25 = 63, kT26 = 64, kT128 = 168;

// Blue, green, red bytes of the pixel at picture row r, column l (bitmap rows are bottom-up).
std::array<uint8_t, 3> Pixel(const ImageProcess& ip, int r, int l) {
    const std::vector<uint8_t> bmp = ip.BitmapFileImage();
    const size_t at = 54 + (size_t(ip.Height() - 1 - r) * ip.Width() + l) * 3;
    return {bmp[at], bmp[at + 1], bmp[at + 2]};
}
uint8_t Grey(const ImageProcess& ip, int r, int l) {
    const auto p = Pixel(ip, r, l);
    EXPECT_TRUE(p[0] == p[1] && p[1] == p[2]);
    return p[0];
}

uint32_t U32At(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24;
}

std::filesystem::path TempDir() {
    auto dir = std::filesystem::temp_directory_path() /
               ("arv_ip_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir);
    return dir;
}

std::string RunPython(const std::string& script) {
    const std::string cmd = "/usr/bin/python3 -c '" + script + "' 2>&1";
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p)
        return "popen failed";
    char buf[256];
    while (std::fgets(buf, sizeof buf, p))
        out += buf;
    pclose(p);
    return out;
}

} // namespace

TEST(ImageProcessTest, FreshObjectIsNeutral) {
    ImageProcess ip;
    EXPECT_EQ(ip.Gain(), 1.0f);
    EXPECT_EQ(ip.StoredMinimum(), 0);
    EXPECT_EQ(ip.MapSize(), 696 * 520);
    const auto index = ip.PixelIndexMap();
    const auto gains = ip.PixelGainMap();
    ASSERT_EQ(index.size(), 361920u);
    ASSERT_EQ(gains.size(), 361920u);
    EXPECT_EQ(index[0], 0);
    EXPECT_EQ(index[361919], 361919);
    EXPECT_EQ(gains[12345], 1.0f);
    EXPECT_FALSE(ip.IsReady());
    std::vector<uint32_t> px;
    int w = -1, h = -1;
    EXPECT_FALSE(ip.CopyTopDownRgb32(px, w, h));
    EXPECT_EQ(w, -1);

    // The maps follow the geometry given.
    ImageProcess wide(1392, 520);
    EXPECT_EQ(wide.MapSize(), 1392 * 520);
}

TEST(ImageProcessTest, ColorTableOne) {
    const auto& t = ImageProcess::GetColorTable(1);
    EXPECT_EQ(t[0], 0);
    EXPECT_EQ(t[1], kT1);
    EXPECT_EQ(t[128], kT128);
    EXPECT_EQ(t[255], 255);
}

TEST(ImageProcessTest, ManualScalingCutsBelowMinAndAboveMax) {
    // min 100, max 1000: gain 32767/1000, so index = rnd(255 * v / 1000);
    // lower = rnd(25.5) = 26, upper = rnd(255) = 255.
    //   1000 -> 255;  99 -> rnd(25.245) = 25 < 26 -> 0;  500 -> rnd(127.5) = 128;
    //   100 -> rnd(25.5) = 26 (not below lower);  2000 -> rnd(510) -> 255;  0 -> 0.
    const uint32_t values[] = {1000, 99, 500, 100, 2000, 0};
    ImageProcess ip(3, 2);
    ip.MakeGreyBitmap(values, 2, 3, 1, true, 100, 1000);
    EXPECT_TRUE(ip.IsReady());
    EXPECT_EQ(Grey(ip, 0, 0), 255);
    EXPECT_EQ(Grey(ip, 0, 1), 0);
    EXPECT_EQ(Grey(ip, 0, 2), kT128);
    EXPECT_EQ(Grey(ip, 1, 0), kT26);
    EXPECT_EQ(Grey(ip, 1, 1), 255);
    EXPECT_EQ(Grey(ip, 1, 2), 0);
    EXPECT_NEAR(ip.Gain(), 32.767f, 1e-4);

    // Picture row 0 is the last row of the bitmap: the first pixel bytes are picture row 1.
    const auto bmp = ip.BitmapFileImage();
    EXPECT_EQ(bmp[54], kT26);
    EXPECT_EQ(bmp[54 + 9], 255);

    // "Image Scale" cleared: the gain stays 32767/1000, no cut at min any more:
    // 1000 -> 255, 500 -> 128, 99 -> rnd(25.245) = 25.
    const uint32_t later[] = {1000, 500, 99};
    ImageProcess& same = ip;
    same.MakeGreyBitmap(later, 1, 3, 1, false, 0, 1);
    EXPECT_EQ(Grey(same, 0, 0), 255);
    EXPECT_EQ(Grey(same, 0, 1), kT128);
    EXPECT_EQ(Grey(same, 0, 2), kT25);
    EXPECT_NEAR(same.Gain(), 32.767f, 1e-4);
}

TEST(ImageProcessTest, StartGainSpansZeroTo32767) {
    // Gain 1: index = rnd(255 * v / 32767). 32767 -> 255; 16384 -> rnd(127.504) = 128;
    // 129 -> rnd(1.0039) = 1; negative (as signed 32-bit) -> 0; 70000 -> 545 -> 255.
    const int32_t values[] = {32767, 16384, 129, -5, 70000, 0};
    ImageProcess ip(6, 1);
    ip.MakeGreyBitmap(values, 1, 6, 1, false, 0, 1);
    EXPECT_EQ(Grey(ip, 0, 0), 255);
    EXPECT_EQ(Grey(ip, 0, 1), kT128);
    EXPECT_EQ(Grey(ip, 0, 2), kT1);
    EXPECT_EQ(Grey(ip, 0, 3), 0);
    EXPECT_EQ(Grey(ip, 0, 4), 255);
    EXPECT_EQ(Grey(ip, 0, 5), 0);
    // The unsigned view reads the same bits as signed: 0xFFFFFFFB is -5.
    const uint32_t unsignedValues[] = {0xFFFFFFFBu};
    ip.MakeGreyBitmap(unsignedValues, 1, 1, 1, false, 0, 1);
    EXPECT_EQ(Grey(ip, 0, 0), 0);
    EXPECT_EQ(ip.Width(), 1); // a new size re-sizes the bitmap
}

TEST(ImageProcessTest, ColorMappingUsesGainWithoutCut) {
    // Gain 1: red 32767 -> 255; green 16384 -> 128; blue 129 -> 1.
    // Second pixel: red 40000 is -25536 as signed 16-bit -> 0; green 0 -> 0; blue 65535 (-1) -> 0.
    const uint16_t red[] = {32767, 40000}, green[] = {16384, 0}, blue[] = {129, 65535};
    ImageProcess ip(2, 1);
    ip.MakeColorBitmap(red, green, blue, 1, 2, 1);
    EXPECT_TRUE(ip.IsReady());
    EXPECT_EQ(Pixel(ip, 0, 0), (std::array<uint8_t, 3>{kT1, kT128, 255})); // blue, green, red
    EXPECT_EQ(Pixel(ip, 0, 1), (std::array<uint8_t, 3>{0, 0, 0}));

    // After a manual grey picture with max 1000 the colour mapping uses rnd(255 * v / 1000) with
    // no min/max cut: red 99 -> 25, green 500 -> 128, blue 5000 -> 1275 -> 255.
    const uint32_t grey[] = {0, 0};
    ip.MakeGreyBitmap(grey, 1, 2, 1, true, 100, 1000);
    const uint16_t r2[] = {99, 0}, g2[] = {500, 0}, b2[] = {5000, 0};
    ip.MakeColorBitmap(r2, g2, b2, 1, 2, 1);
    EXPECT_EQ(Pixel(ip, 0, 0), (std::array<uint8_t, 3>{255, kT128, kT25}));
}

TEST(ImageProcessTest, TopDownCopyForTheWindow) {
    const uint16_t red[] = {32767, 0, 0, 0}, green[] = {0, 32767, 0, 0}, blue[] = {0, 0, 32767, 129};
    ImageProcess ip(2, 2);
    ip.MakeColorBitmap(red, green, blue, 2, 2, 1);
    std::vector<uint32_t> px;
    int w = 0, h = 0;
    ASSERT_TRUE(ip.CopyTopDownRgb32(px, w, h));
    EXPECT_EQ(w, 2);
    EXPECT_EQ(h, 2);
    ASSERT_EQ(px.size(), 4u);
    EXPECT_EQ(px[0], 0xFFFF0000u); // row 0, column 0: red
    EXPECT_EQ(px[1], 0xFF00FF00u);
    EXPECT_EQ(px[2], 0xFF0000FFu);
    EXPECT_EQ(px[3], 0xFF000000u | kT1);
}

TEST(ImageProcessTest, BitmapFileHeaderAndSize) {
    ImageProcess ip;
    std::vector<uint32_t> values(696 * 520, 0);
    ip.MakeGreyBitmap(values.data(), 520, 696, 1, false, 0, 1);
    const auto bmp = ip.BitmapFileImage();
    ASSERT_EQ(bmp.size(), 1085814u); // 54 + 696 * 520 * 3
    EXPECT_EQ(bmp[0], 'B');
    EXPECT_EQ(bmp[1], 'M');
    EXPECT_EQ(U32At(bmp, 2), 1085814u);
    EXPECT_EQ(U32At(bmp, 6), 0u);
    EXPECT_EQ(U32At(bmp, 10), 54u);
    EXPECT_EQ(U32At(bmp, 14), 40u);
    EXPECT_EQ(U32At(bmp, 18), 696u);
    EXPECT_EQ(U32At(bmp, 22), 520u);
    EXPECT_EQ(bmp[26] | bmp[27] << 8, 1);
    EXPECT_EQ(bmp[28] | bmp[29] << 8, 24);
    for (size_t at = 30; at < 54; at += 4)
        EXPECT_EQ(U32At(bmp, at), 0u) << at;
}

TEST(ImageProcessTest, SavedBitmapOpensInPillow) {
    const auto dir = TempDir();
    const std::string path = (dir / "picture.bmp").string();
    // A red pixel at the top-left, a blue one at the bottom-right, grey 16384 elsewhere.
    std::vector<uint16_t> r(696 * 520, 16384), g(696 * 520, 16384), b(696 * 520, 16384);
    r[0] = 32767, g[0] = 0, b[0] = 0;
    const size_t last = 696 * 520 - 1;
    r[last] = 0, g[last] = 0, b[last] = 32767;
    ImageProcess ip;
    ip.MakeColorBitmap(r.data(), g.data(), b.data(), 520, 696, 1);
    ASSERT_EQ(ip.SaveBitmapFile(path), 1);
    EXPECT_EQ(std::filesystem::file_size(path), 1085814u);
    std::ifstream in(path, std::ios::binary);
    std::string start(2, '\0');
    in.read(start.data(), 2);
    EXPECT_EQ(start, "BM");

    const std::string out = RunPython("from PIL import Image; im = Image.open(\"" + path +
                                      "\"); print(im.format, im.size, im.mode, im.getpixel((0, 0)), "
                                      "im.getpixel((695, 519)), im.getpixel((300, 200)))");
    EXPECT_EQ(out, "BMP (696, 520) RGB (255, 0, 0) (0, 0, 255) (168, 168, 168)\n");
    std::filesystem::remove_all(dir);
}

TEST(ImageProcessTest, OddWidthIsSavedWithPaddedRows) {
    const auto dir = TempDir();
    const std::string path = (dir / "odd.bmp").string();
    // 3 x 2: rows of 9 bytes are padded to 12 in the file: 54 + 2 * 12 = 78 bytes.
    const uint32_t values[] = {32767, 0, 0, 0, 0, 32767};
    ImageProcess ip(3, 2);
    ip.MakeGreyBitmap(values, 2, 3, 1, false, 0, 1);
    ASSERT_EQ(ip.SaveBitmapFile(path), 1);
    EXPECT_EQ(std::filesystem::file_size(path), 78u);
    const std::string out = RunPython("from PIL import Image; im = Image.open(\"" + path +
                                      "\"); print(im.size, im.getpixel((0, 0)), im.getpixel((2, 1)), "
                                      "im.getpixel((1, 1)))");
    EXPECT_EQ(out, "(3, 2) (255, 255, 255) (255, 255, 255) (0, 0, 0)\n");
    std::filesystem::remove_all(dir);
}

TEST(ImageProcessTest, SaveFailuresReturnZero) {
    ImageProcess ip;
    EXPECT_EQ(ip.SaveBitmapFile("/nonexistent-folder/x.bmp"), 0);
    // The device accepts the open but no data: the failed write must not pass as success, and the
    // device is written directly, never replaced by a file.
    if (std::filesystem::exists("/dev/full")) {
        EXPECT_EQ(ip.SaveBitmapFile("/dev/full"), 0);
        EXPECT_TRUE(std::filesystem::is_character_file("/dev/full"));
        EXPECT_FALSE(std::filesystem::exists("/dev/full.part"));
    }
}

TEST(ImageProcessTest, ColumnsAloneOnlyOverAPictureMappedTheSameWay) {
    // 4 rows x 12 columns. After a whole picture, a change in columns 5 ... 6 mapped alone gives the
    // whole mapping of the new values, and the columns outside keep their bytes.
    constexpr int rows = 4, columns = 12;
    std::vector<uint32_t> v(rows * columns);
    for (size_t i = 0; i < v.size(); ++i)
        v[i] = uint32_t(i * 300);
    ImageProcess ip(columns, rows), reference(columns, rows);
    EXPECT_FALSE(ip.MakeGreyBitmapColumns(v.data(), rows, columns, 1, true, 0, 4000, 5, 7))
        << "nothing mapped yet: the whole picture";
    for (int r = 0; r < rows; ++r)
        for (int l = 5; l < 7; ++l)
            v[size_t(r * columns + l)] += 1000;
    EXPECT_TRUE(ip.MakeGreyBitmapColumns(v.data(), rows, columns, 1, true, 0, 4000, 5, 7));
    reference.MakeGreyBitmap(v.data(), rows, columns, 1, true, 0, 4000);
    EXPECT_EQ(ip.BitmapFileImage(), reference.BitmapFileImage());

    // A column range reaching past the picture is clipped; an empty one maps nothing.
    for (int r = 0; r < rows; ++r)
        v[size_t(r * columns + 11)] = 7;
    EXPECT_TRUE(ip.MakeGreyBitmapColumns(v.data(), rows, columns, 1, true, 0, 4000, 11, 40));
    EXPECT_TRUE(ip.MakeGreyBitmapColumns(v.data(), rows, columns, 1, true, 0, 4000, 3, 3));
    reference.MakeGreyBitmap(v.data(), rows, columns, 1, true, 0, 4000);
    EXPECT_EQ(ip.BitmapFileImage(), reference.BitmapFileImage());

    // The rest of the picture is not kept when the mapping changed: a new max, a colour picture in
    // between, a new size.
    for (auto& x : v)
        x += 11;
    EXPECT_FALSE(ip.MakeGreyBitmapColumns(v.data(), rows, columns, 1, true, 0, 3000, 0, 1));
    reference.MakeGreyBitmap(v.data(), rows, columns, 1, true, 0, 3000);
    EXPECT_EQ(ip.BitmapFileImage(), reference.BitmapFileImage());
    std::vector<uint16_t> plane(rows * columns, 500);
    ip.MakeColorBitmap(plane.data(), plane.data(), plane.data(), rows, columns, 1);
    EXPECT_FALSE(ip.MakeGreyBitmapColumns(v.data(), rows, columns, 1, true, 0, 3000, 0, 1));
    EXPECT_EQ(ip.BitmapFileImage(), reference.BitmapFileImage());
    std::vector<uint32_t> small(2 * 3, 100);
    EXPECT_FALSE(ip.MakeGreyBitmapColumns(small.data(), 2, 3, 1, true, 0, 3000, 0, 1));
    EXPECT_EQ(ip.Width(), 3);

    // Colour columns alone over a colour picture of the same gain and table.
    std::vector<uint16_t> red(rows * columns), green(rows * columns), blue(rows * columns);
    for (size_t i = 0; i < red.size(); ++i) {
        red[i] = uint16_t(i * 50);
        green[i] = uint16_t(4000 - i * 30);
        blue[i] = uint16_t(i % 5 == 0 ? 40000 : i * 7); // 40000 reads as negative: black
    }
    ip.MakeColorBitmap(red.data(), green.data(), blue.data(), rows, columns, 1);
    for (int r = 0; r < rows; ++r) {
        red[size_t(r * columns + 9)] = 3000;
        blue[size_t(r * columns + 10)] = 1234;
    }
    EXPECT_TRUE(ip.MakeColorBitmapColumns(red.data(), green.data(), blue.data(), rows, columns, 1, 9, 11));
    reference.MakeColorBitmap(red.data(), green.data(), blue.data(), rows, columns, 1);
    EXPECT_EQ(ip.BitmapFileImage(), reference.BitmapFileImage());
    EXPECT_FALSE(ip.MakeColorBitmapColumns(red.data(), green.data(), blue.data(), rows, columns, 0, 0, 1))
        << "another colour table";
}

namespace {
std::vector<std::string> Names(const std::filesystem::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        names.push_back(e.path().filename().string());
    return names;
}

// In a fault's child: an earlier picture "view" holding "old", then a save of the 1 085 814-byte
// bitmap over it. 0 when the save failed, left no other file and kept the earlier one.
int SaveOverEarlierPicture(const std::filesystem::path& dir) {
    const std::string path = (dir / "view").string();
    std::ofstream(path, std::ios::binary) << "old";
    ImageProcess ip;
    if (ip.SaveBitmapFile(path) != 0)
        return 1;
    if (Names(dir) != std::vector<std::string>{"view"})
        return 2;
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {}) == "old" ? 0 : 3;
}
} // namespace

TEST(ImageProcessTest, ASaveThatFailsPartWayKeepsTheEarlierPicture) {
    const auto dir = TempDir();
    EXPECT_EQ(RunWithFileSizeLimit(100000, [&] { return SaveOverEarlierPicture(dir); }), 0);
    const int full = RunOnFullDisk(dir.string(), 256 * 1024, [&] { return SaveOverEarlierPicture(dir); });
    if (full != kDiskFaultUnavailable) {
        EXPECT_EQ(full, 0);
    }
    // Without a fault the picture replaces the earlier file.
    std::ofstream((dir / "view").string(), std::ios::binary) << "old";
    ImageProcess ip;
    ASSERT_EQ(ip.SaveBitmapFile((dir / "view").string()), 1);
    EXPECT_EQ(std::filesystem::file_size(dir / "view"), 1085814u);
    EXPECT_EQ(Names(dir), std::vector<std::string>{"view"});
    std::filesystem::remove_all(dir);
}
