// The movie export: scaling factors, frame contents read back through ffmpeg, the label, the
// failure paths, and ffprobe on a movie of the example geometry.
#include "storage/MovieExport.h"
#include "StorageTestSupport.h"
#include "core/UserPrompts.h"
#include "display/Drawing.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

CubeGeometry Geometry(int w, int h, int b) {
    CubeGeometry g;
    g.width = w;
    g.height = h;
    g.bands = b;
    return g;
}

// Decodes every frame to top-down, unpadded BGR.
std::vector<uint8_t> Decode(const std::string& movie, const TempDir& dir) {
    const std::string raw = dir.File("decoded.bgr");
    if (!RunCommand("ffmpeg -v error -i '" + movie + "' -f rawvideo -pix_fmt bgr24 -y '" + raw + "'"))
        return {};
    return ReadFileBytes(raw);
}

} // namespace

TEST(MovieExport, AviSuffix) {
    EXPECT_EQ(EnsureAviSuffix("run"), "run.avi");
    EXPECT_EQ(EnsureAviSuffix("run.avi"), "run.avi");
    EXPECT_EQ(EnsureAviSuffix("run.AVI"), "run.AVI.avi");
}

TEST(MovieExport, FactorsPerBandOrForAll) {
    // 2 lines x 2 samples x 3 bands: band maxima 100, 200 and 0.
    const CubeGeometry g = Geometry(2, 2, 3);
    const std::vector<uint16_t> cube = {10, 100, 50,  0, 0, 0,  // line 0: bands 0, 1, 2
                                        20, 30,  200, 7, 0, 0}; // line 1
    EXPECT_THAT(ComputeMovieFactors(cube.data(), g, true, false, nullptr), ElementsAre(2.55, 1.275, 0.0));
    EXPECT_THAT(ComputeMovieFactors(cube.data(), g, false, false, nullptr), ElementsAre(1.275, 1.275, 1.275));
    // Gains, band-major: band 0 doubled (maximum 200), band 1 at 0.25 (50), band 2 large (still 0).
    const std::vector<float> gains = {2, 2, 0.25f, 0.25f, 1000, 1000};
    EXPECT_THAT(ComputeMovieFactors(cube.data(), g, true, true, gains.data()), ElementsAre(1.275, 5.1, 0.0));
    EXPECT_THAT(ComputeMovieFactors(cube.data(), g, false, true, gains.data()),
                ElementsAre(1.275, 1.275, 1.275));
    // Truncation of the corrected value: 7 * 0.3 = 2.1 -> 2.
    const std::vector<uint16_t> one = {7};
    const float gain = 0.3f;
    EXPECT_THAT(ComputeMovieFactors(one.data(), Geometry(1, 1, 1), true, true, &gain), ElementsAre(127.5));
    EXPECT_THAT(
        ComputeMovieFactors(std::vector<uint16_t>(4, 0).data(), Geometry(2, 2, 1), false, false, nullptr),
        ElementsAre(0.0));
}

class MovieFrames : public ::testing::Test {
protected:
    void SetUp() override {
        if (!HaveFfmpeg())
            GTEST_SKIP() << "ffprobe/ffmpeg not installed";
    }
    TempDir dir;
};

TEST_F(MovieFrames, GreyPixelsLabelAndBlackBands) {
    // 64 lines x 48 samples x 3 bands. Band 0: value = line + 2*sample (max 157), band 1: all 0,
    // band 2: 1000 everywhere (grey above 255 is limited).
    const int W = 64, H = 48, B = 3;
    const CubeGeometry g = Geometry(W, H, B);
    std::vector<uint16_t> cube(g.CubeValues());
    for (int l = 0; l < W; ++l)
        for (int p = 0; p < H; ++p) {
            cube[size_t(l) * B * H + size_t(p)] = uint16_t(l + 2 * p);
            cube[size_t(l) * B * H + size_t(2) * H + size_t(p)] = 1000;
        }
    const std::vector<double> factors = {1.0, 5.0, 0.5};
    const std::vector<float> waves = {452.5f, 455.0f, 457.125f};
    const std::string path = dir.File("m.avi");
    const MovieResult r = WriteMovie(path, 250, factors, true, cube.data(), g, waves);
    ASSERT_TRUE(r) << r.errorText;
    EXPECT_THAT(dir.Entries(), ElementsAre("m.avi"));

    const std::vector<uint8_t> frames = Decode(path, dir);
    ASSERT_EQ(frames.size(), size_t(B) * W * H * 3);
    auto px = [&](int b, int x, int row) {
        return &frames[((size_t(b) * H + size_t(row)) * W + size_t(x)) * 3];
    };

    // The label: text box from (20, H - 30) down to the bottom.
    auto inLabel = [&](int x, int row) { return x >= 20 && row >= H - 30; };
    for (int b = 0; b < B; ++b) {
        int blue = 0;
        for (int row = 0; row < H; ++row)
            for (int x = 0; x < W; ++x) {
                const uint8_t* p = px(b, x, row);
                if (p[0] == 255 && p[1] == 0 && p[2] == 0) {
                    ++blue;
                    EXPECT_TRUE(inLabel(x, row)) << "blue outside the label at " << x << ", " << row;
                    continue;
                }
                int expected = 0;
                if (b == 0)
                    expected = x + 2 * row; // column = line, row from the top = sample
                else if (b == 2)
                    expected = 255; // trunc(1000 * 0.5) limited
                ASSERT_TRUE(p[0] == expected && p[1] == expected && p[2] == expected)
                    << "band " << b << " at " << x << ", " << row << ": " << int(p[0]) << " " << int(p[1])
                    << " " << int(p[2]) << " expected " << expected;
            }
        EXPECT_GT(blue, 30) << "band " << b;
    }
}

TEST_F(MovieFrames, LabelShowsTheWavelengthWithTwoDecimals) {
    // One black band: the decoded frame must equal "Wavelength: 452.50" drawn by hand in the same
    // place on a black bitmap.
    const int W = 260, H = 40;
    const CubeGeometry g = Geometry(W, H, 1);
    const std::vector<uint16_t> cube(g.CubeValues(), 0);
    const std::string path = dir.File("label.avi");
    ASSERT_TRUE(WriteMovie(path, 100, {0.0}, false, cube.data(), g, std::vector<float>{452.5f}));

    DibSection expected(W, H);
    MemoryDC dc;
    dc.SelectBitmap(expected);
    const Font font("Arial", 25, 0, false, false);
    dc.SelectFont(font);
    dc.SetBkMode(false);
    dc.TextOut(20, H - 30, "Wavelength: 452.50", RgbColor(0, 0, 255));
    dc.SelectBitmap(nullptr);

    const std::vector<uint8_t> frame = Decode(path, dir);
    ASSERT_EQ(frame.size(), size_t(W) * H * 3);
    for (int row = 0; row < H; ++row)
        for (int x = 0; x < W; ++x) {
            const RgbColor e = expected.ColorAt(uint32_t(x), uint32_t(H - 1 - row));
            const uint8_t* p = &frame[(size_t(row) * W + size_t(x)) * 3];
            ASSERT_EQ(RgbColor(p[2], p[1], p[0]), e) << x << ", " << row;
        }
}

TEST_F(MovieFrames, ExampleGeometryReadsAs128FramesAt10PerSecond) {
    const CubeGeometry g; // 696 x 520 x 128
    std::vector<uint16_t> cube(g.CubeValues());
    for (size_t i = 0; i < cube.size(); ++i)
        cube[i] = uint16_t(i % 4096);
    std::vector<float> waves(128);
    for (int b = 0; b < 128; ++b)
        waves[size_t(b)] = 400.0f + 5.0f * float(b);
    const std::string path = dir.File("full.avi");
    const auto factors = ComputeMovieFactors(cube.data(), g, true, false, nullptr);
    const MovieResult r = WriteMovie(path, 100, factors, true, cube.data(), g, waves);
    ASSERT_TRUE(r) << r.errorText;
    const auto probe = RunCommand("ffprobe -v error -count_frames -select_streams v:0 -show_entries "
                                  "stream=codec_name,width,height,pix_fmt,r_frame_rate,nb_read_frames "
                                  "-of default=noprint_wrappers=1 '" +
                                  path + "'");
    ASSERT_TRUE(probe.has_value());
    EXPECT_EQ(
        *probe,
        "codec_name=rawvideo\nwidth=696\nheight=520\npix_fmt=bgr24\nr_frame_rate=10/1\nnb_read_frames=128\n");
}

TEST(MovieFailures, UnopenableFileEndsWithoutFrames) {
    const CubeGeometry g = Geometry(4, 4, 2);
    const std::vector<uint16_t> cube(g.CubeValues(), 1);
    const MovieResult r = WriteMovie("/nonexistent-arv-dir/m.avi", 100, {1.0, 1.0}, true, cube.data(), g,
                                     std::vector<float>{1, 2});
    EXPECT_FALSE(r);
    EXPECT_EQ(r.error, AVIERR_FILEOPEN);
    EXPECT_EQ(r.errorText, "AVIERR_FILEOPEN: disk error while opening file");
}

TEST(MovieFailures, MissingArgumentsAreRefusedBeforeAnythingIsWritten) {
    const CubeGeometry g = Geometry(4, 4, 2);
    const std::vector<uint16_t> cube(g.CubeValues(), 1);
    TempDir dir;
    const std::string path = dir.File("m.avi");
    EXPECT_FALSE(WriteMovie(path, 100, {1.0, 1.0}, true, cube.data(), g, std::vector<float>{1}));
    EXPECT_FALSE(WriteMovie(path, 100, {1.0}, true, cube.data(), g, std::vector<float>{1, 2}));
    EXPECT_FALSE(WriteMovie(path, 0, {1.0, 1.0}, true, cube.data(), g, std::vector<float>{1, 2}));
    EXPECT_FALSE(WriteMovie(path, 100, {1.0, 1.0}, true, nullptr, g, std::vector<float>{1, 2}));
    EXPECT_THAT(dir.Entries(), IsEmpty());
    EXPECT_TRUE(WriteMovie(path, 100, {1.0}, false, cube.data(), g, std::vector<float>{1, 2}))
        << "one factor is enough without normalisation";
}

TEST(MovieFailures, AFrameThatCannotBeWrittenFailsTheMovieAndLeavesNoFile) {
    const CubeGeometry g = Geometry(40, 30, 4); // 3600 bytes a frame
    const std::vector<uint16_t> cube(g.CubeValues(), 9);
    TempDir dir;
    const std::string path = dir.File("m.avi");
    const int result = RunWithFileSizeLimit(9000, [&] {
        const MovieResult r =
            WriteMovie(path, 100, {1, 1, 1, 1}, true, cube.data(), g, std::vector<float>(4, 500));
        if (r || r.error != AVIERR_FILEWRITE ||
            r.errorText != "AVIERR_FILEWRITE: disk error while writing file")
            return 1;
        return dir.Entries().empty() ? 0 : 2;
    });
    EXPECT_EQ(result, 0);
}

TEST(MovieFailures, BitmapFailureIsShownAndEndsTheExport) {
    ScriptedPrompts prompts;
    SetDrawingPrompts(&prompts);
    const CubeGeometry g = Geometry(0, 4, 2); // a zero-width frame cannot be made
    TempDir dir;
    const std::vector<uint16_t> cube(1, 0);
    const MovieResult r =
        WriteMovie(dir.File("m.avi"), 100, {1, 1}, true, cube.data(), g, std::vector<float>{1, 2});
    SetDrawingPrompts(nullptr);
    EXPECT_FALSE(r);
    EXPECT_EQ(r.errorText, "CreateDIBSection failed");
    EXPECT_EQ(prompts.Texts(), std::vector<std::string>{"CreateDIBSection failed"});
    EXPECT_THAT(dir.Entries(), IsEmpty());
}
